#include "VantraIotSMSPlugin.h"

#include "PluginLog.h"
#include "Singleton.h"
#include "handleMgr.h"

namespace PexloCommon {

namespace {
constexpr const char* kPath = "..\\..\\code\\VantraIotSMSPlugin";
constexpr int kErrorSdkUnavailable = 600002;
}  // namespace

CVantraIotSMSPlugin* CVantraIotSMSPlugin::GetInstance() { return CSingletonHolder<CVantraIotSMSPlugin>::Get(); }

int CVantraIotSMSPlugin::DeviceObject_Init() { return -1; }

bool CVantraIotSMSPlugin::DeviceObject_Fini() { return false; }

int CVantraIotSMSPlugin::DeviceObject_StartStream(DeviceObjectHandle, const DeviceStreamRequest*, DeviceDataCallBack,
                                                  void*) {
    return 0;
}

void CVantraIotSMSPlugin::DeviceObject_StopStream(DeviceObjectHandle) {}

}  // namespace PexloCommon

using PexloCommon::CHandleMgr;
using PexloCommon::CVantraIotSMSPlugin;

// Every export catches everything: an exception must never unwind into the host.
#define VANTRA_GUARD(fallback, body) \
    try {                            \
        body                         \
    } catch (...) {                  \
        return fallback;             \
    }

extern "C" {

int DeviceObject_Init(void) { VANTRA_GUARD(-1, return CVantraIotSMSPlugin::GetInstance()->DeviceObject_Init();) }

bool DeviceObject_Fini(void) { VANTRA_GUARD(false, return CVantraIotSMSPlugin::GetInstance()->DeviceObject_Fini();) }

DeviceObjectHandle DeviceObject_CreateInstance(void) {
    VANTRA_GUARD(-1, {
        CVantraIotSMSPlugin::GetInstance();
        VANTRA_LOG(PexloCommon::kLogProgress, PexloCommon::kLogModule, "[%s][DeviceObject_CreateInstance][%s(%d)]",
                   "PexloCommon::CVantraIotSMSPlugin::DeviceObject_CreateInstance", PexloCommon::kPath, 391);
        return static_cast<DeviceObjectHandle>(CHandleMgr::GetInstance()->CreateHandle());
    })
}

int DeviceObject_DestroyInstance(DeviceObjectHandle handle) {
    VANTRA_GUARD(0, {
        CVantraIotSMSPlugin::GetInstance();
        VANTRA_LOG(PexloCommon::kLogProgress, PexloCommon::kLogModule,
                   "[%s][DeviceObject_DestroyInstance] handle:%d[%s(%d)]",
                   "PexloCommon::CVantraIotSMSPlugin::DeviceObject_DestroyInstance", static_cast<int>(handle),
                   PexloCommon::kPath, 397);
        CHandleMgr::GetInstance()->DestroyHandle(handle);
        return 0;
    })
}

int DeviceObject_StartStream(DeviceObjectHandle handle, const DeviceStreamRequest* request, DeviceDataCallBack callback,
                             void* user) {
    VANTRA_GUARD(-1, return CVantraIotSMSPlugin::GetInstance()->DeviceObject_StartStream(handle, request, callback,
                                                                                         user);)
}

void DeviceObject_StopStream(DeviceObjectHandle handle) {
    try {
        CVantraIotSMSPlugin::GetInstance()->DeviceObject_StopStream(handle);
    } catch (...) {
    }
}

int DeviceObject_GetLastError(void) {
    VANTRA_GUARD(PexloCommon::kErrorSdkUnavailable, {
        CVantraIotSMSPlugin::GetInstance();
        return PexloCommon::kErrorSdkUnavailable;
    })
}

int DeviceObject_GetVideoThumbnails(DeviceObjectHandle, const void*, void*) { return 0; }
int DeviceObject_SetLocalIP(const char*) { return 0; }
int DeviceObject_SetModeChange(int) { return 0; }
int DeviceObject_SetMsgCB(void*, void*) { return 0; }
int DeviceObject_SetVideoParam(DeviceObjectHandle, const void*) { return 0; }
void* XPLUGIN_GetPluginInterface(void) { return nullptr; }
void DeviceObject_SetLogCB(void*, void*) {}

// Unsupported operations still bring the plugin object up, as every live export does.
static int TouchPlugin() {
    try {
        CVantraIotSMSPlugin::GetInstance();
    } catch (...) {
    }
    return 0;
}

int DeviceObject_ForceIFrame(DeviceObjectHandle) { return TouchPlugin(); }
int DeviceObject_PauseStream(DeviceObjectHandle) { return TouchPlugin(); }
int DeviceObject_ResumeStream(DeviceObjectHandle) { return TouchPlugin(); }
int DeviceObject_SeekStreamByAbsTime(DeviceObjectHandle, int64_t) { return TouchPlugin(); }
int DeviceObject_SeekStreamByAbsTimeEx(DeviceObjectHandle, int64_t, int64_t) { return TouchPlugin(); }
int DeviceObject_SeekStreamByRelTime(DeviceObjectHandle, int64_t) { return TouchPlugin(); }
int DeviceObject_SendVoiceDataEx(DeviceObjectHandle, const void*, uint32_t) { return TouchPlugin(); }
int DeviceObject_SetExtractFrame(DeviceObjectHandle, int) { return TouchPlugin(); }
int DeviceObject_SetStreamScale(DeviceObjectHandle, int) { return TouchPlugin(); }
int DeviceObject_StartPlayBack(DeviceObjectHandle, const void*, DeviceDataCallBack, void*) { return TouchPlugin(); }
int DeviceObject_StartPlayBackByReverse(DeviceObjectHandle, const void*, DeviceDataCallBack, void*) {
    return TouchPlugin();
}
int DeviceObject_StartVoiceEx(DeviceObjectHandle, const void*, DeviceDataCallBack, void*) { return TouchPlugin(); }
int DeviceObject_StopVoiceEx(DeviceObjectHandle) { return TouchPlugin(); }
void DeviceObject_StopPlayBack(DeviceObjectHandle) { TouchPlugin(); }
void DeviceObject_StopPlayBackByReverse(DeviceObjectHandle) { TouchPlugin(); }

}  // extern "C"
