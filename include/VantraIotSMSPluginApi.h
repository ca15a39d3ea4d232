// The VantraIot SMS plugin's exported C interface, as the media server declares and calls it, and the layout
// of the media-description block it hands over. The one header a host, or a test playing one, needs.
#pragma once

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define VANTRA_EXPORT __declspec(dllexport)
#else
#define VANTRA_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Instance handle: pointer-sized; issued as a 32-bit signed value widened with its sign.
typedef int64_t DeviceObjectHandle;

// The host's stream request record. The plugin reads only the channel index and the URL pointer.
typedef struct DeviceStreamRequest {
    uint8_t reserved0[20];
    int32_t iChannel;  // 0-based channel index as the host counts it
    uint8_t reserved1[32];
    const char* pszUrl;  // NUL-terminated request URL, never null
} DeviceStreamRequest;

// Passed by pointer with every data callback; valid only during the call.
typedef struct DeviceDataDescriptor {
    const void* pData;
    uint32_t uLength;
    uint32_t uPayloadType;  // 96
    uint32_t uReserved;     // 1
    uint32_t uFlags;        // 0 for the description block and the stream header, 0xFFFFFFFF for media
} DeviceDataDescriptor;

// Data types handed to the host callback.
enum {
    kDeviceDataHeader = 1,
    kDeviceDataMedia = 2,
    kDeviceDataDescription = 10,
    kDeviceDataMediaPrivate = 11,
};

// The host's data callback; its result is not read.
typedef int (*DeviceDataCallBack)(intptr_t reserved, uint32_t dataType, const DeviceDataDescriptor* descriptor,
                                  void* user);

VANTRA_EXPORT int DeviceObject_Init(void);
VANTRA_EXPORT bool DeviceObject_Fini(void);
VANTRA_EXPORT DeviceObjectHandle DeviceObject_CreateInstance(void);
VANTRA_EXPORT int DeviceObject_DestroyInstance(DeviceObjectHandle handle);
VANTRA_EXPORT int DeviceObject_StartStream(DeviceObjectHandle handle, const DeviceStreamRequest* request,
                                           DeviceDataCallBack callback, void* user);
VANTRA_EXPORT void DeviceObject_StopStream(DeviceObjectHandle handle);
VANTRA_EXPORT int DeviceObject_GetLastError(void);

// Not supported: they answer 0 (or null, or nothing) and act on nothing; those from DeviceObject_ForceIFrame on
// still bring the plugin object up, as every supported export does. Arguments follow the host's declaration
// and are not read.
VANTRA_EXPORT int DeviceObject_GetVideoThumbnails(DeviceObjectHandle handle, const void* param, void* result);
VANTRA_EXPORT int DeviceObject_SetLocalIP(const char* ip);
VANTRA_EXPORT int DeviceObject_SetModeChange(int mode);
VANTRA_EXPORT int DeviceObject_SetMsgCB(void* callback, void* user);
VANTRA_EXPORT int DeviceObject_SetVideoParam(DeviceObjectHandle handle, const void* param);
VANTRA_EXPORT void* XPLUGIN_GetPluginInterface(void);
VANTRA_EXPORT void DeviceObject_SetLogCB(void* callback, void* user);
VANTRA_EXPORT int DeviceObject_ForceIFrame(DeviceObjectHandle handle);
VANTRA_EXPORT int DeviceObject_PauseStream(DeviceObjectHandle handle);
VANTRA_EXPORT int DeviceObject_ResumeStream(DeviceObjectHandle handle);
VANTRA_EXPORT int DeviceObject_SeekStreamByAbsTime(DeviceObjectHandle handle, int64_t time);
VANTRA_EXPORT int DeviceObject_SeekStreamByAbsTimeEx(DeviceObjectHandle handle, int64_t start, int64_t end);
VANTRA_EXPORT int DeviceObject_SeekStreamByRelTime(DeviceObjectHandle handle, int64_t offset);
VANTRA_EXPORT int DeviceObject_SendVoiceDataEx(DeviceObjectHandle handle, const void* data, uint32_t length);
VANTRA_EXPORT int DeviceObject_SetExtractFrame(DeviceObjectHandle handle, int interval);
VANTRA_EXPORT int DeviceObject_SetStreamScale(DeviceObjectHandle handle, int scale);
VANTRA_EXPORT int DeviceObject_StartPlayBack(DeviceObjectHandle handle, const void* request,
                                             DeviceDataCallBack callback, void* user);
VANTRA_EXPORT int DeviceObject_StartPlayBackByReverse(DeviceObjectHandle handle, const void* request,
                                                      DeviceDataCallBack callback, void* user);
VANTRA_EXPORT int DeviceObject_StartVoiceEx(DeviceObjectHandle handle, const void* request, DeviceDataCallBack callback,
                                            void* user);
VANTRA_EXPORT int DeviceObject_StopVoiceEx(DeviceObjectHandle handle);
VANTRA_EXPORT void DeviceObject_StopPlayBack(DeviceObjectHandle handle);
VANTRA_EXPORT void DeviceObject_StopPlayBackByReverse(DeviceObjectHandle handle);

#ifdef __cplusplus
}  // extern "C"

// Layout of the media-description block (data type kDeviceDataDescription) handed to the host before every
// stream header: byte offsets, numbers in the host's byte order, texts NUL-padded.
namespace VantraMediaBlock {
constexpr size_t kSize = 1612;
constexpr size_t kKindOffset = 0;     // "video"
constexpr size_t kHeaderOffset = 32;  // the stream header, at most kHeaderCapacity bytes of it
constexpr size_t kHeaderCapacity = 256;
constexpr size_t kHeaderLengthOffset = 288;
constexpr size_t kPayloadTypeOffset = 292;
constexpr size_t kClockRateOffset = 296;
constexpr size_t kCodecOffset = 300;  // "H264", "H265" or "MP4V-ES"
constexpr size_t kCodecCapacity = 64;
constexpr size_t kFormatOffset = 364;
constexpr size_t kPacketTypeOffset = 1604;
constexpr size_t kFlagOffset = 1608;  // the stream header's form flag
}  // namespace VantraMediaBlock

static_assert(offsetof(DeviceStreamRequest, iChannel) == 20, "host reads the channel index at offset 20");
static_assert(offsetof(DeviceStreamRequest, pszUrl) == 56, "host passes the URL pointer at offset 56");
static_assert(sizeof(DeviceDataDescriptor) == 24, "the data descriptor is 24 bytes");
static_assert(offsetof(DeviceDataDescriptor, uLength) == 8 && offsetof(DeviceDataDescriptor, uPayloadType) == 12 &&
                  offsetof(DeviceDataDescriptor, uReserved) == 16 && offsetof(DeviceDataDescriptor, uFlags) == 20,
              "descriptor fields sit where the host reads them");
#endif
