// The exported C interface: each export brings the plugin object up and hands over to it, and nothing it
// calls may unwind into the host.
#include "PexloInterfaceMgr.h"
#include "PluginLog.h"
#include "VantraIotSMSPlugin.h"
#include "VantraIotSMSPluginApi.h"
#include "handleMgr.h"

using PexloCommon::CHandleMgr;
using PexloCommon::CPexloInterfaceMgr;
using PexloCommon::CVantraIotSMSPlugin;

namespace {

constexpr const char* kPath = CVantraIotSMSPlugin::kSourcePath;

// An exception that reaches an export becomes its fallback answer.
template <class Result, class Body>
Result Guarded(Result fallback, Body body) noexcept {
    try {
        return body();
    } catch (...) {
        return fallback;
    }
}

// Unsupported operations still bring the plugin object up, as every live export does.
int TouchPlugin() {
    return Guarded(0, [] {
        CVantraIotSMSPlugin::GetInstance();
        return 0;
    });
}

}  // namespace

extern "C" {

int DeviceObject_Init(void) {
    return Guarded(-1, [] { return CVantraIotSMSPlugin::GetInstance()->DeviceObject_Init(); });
}

bool DeviceObject_Fini(void) {
    return Guarded(false, [] { return CVantraIotSMSPlugin::GetInstance()->DeviceObject_Fini(); });
}

DeviceObjectHandle DeviceObject_CreateInstance(void) {
    return Guarded<DeviceObjectHandle>(-1, [] {
        CVantraIotSMSPlugin::GetInstance();
        VANTRA_LOG_AT(PexloCommon::kLogProgress, PexloCommon::kLogModule, "[%s][DeviceObject_CreateInstance][%s(%d)]",
                      "PexloCommon::CVantraIotSMSPlugin::DeviceObject_CreateInstance", kPath, 391);
        return static_cast<DeviceObjectHandle>(CHandleMgr::GetInstance()->CreateHandle());
    });
}

int DeviceObject_DestroyInstance(DeviceObjectHandle handle) {
    return Guarded(0, [handle] {
        CVantraIotSMSPlugin::GetInstance();
        VANTRA_LOG_AT(
            PexloCommon::kLogProgress, PexloCommon::kLogModule, "[%s][DeviceObject_DestroyInstance] handle:%d[%s(%d)]",
            "PexloCommon::CVantraIotSMSPlugin::DeviceObject_DestroyInstance", static_cast<int>(handle), kPath, 397);
        CHandleMgr::GetInstance()->DestroyHandle(handle);
        return 0;
    });
}

int DeviceObject_StartStream(DeviceObjectHandle handle, const DeviceStreamRequest* request, DeviceDataCallBack callback,
                             void* user) {
    return Guarded(-1, [&] {
        return CVantraIotSMSPlugin::GetInstance()->DeviceObject_StartStream(handle, request, callback, user);
    });
}

void DeviceObject_StopStream(DeviceObjectHandle handle) {
    Guarded(0, [handle] {
        CVantraIotSMSPlugin::GetInstance()->DeviceObject_StopStream(handle);
        return 0;
    });
}

int DeviceObject_GetLastError(void) {
    return Guarded(CPexloInterfaceMgr::kErrorMissingEntry, [] {
        CVantraIotSMSPlugin::GetInstance();
        return CPexloInterfaceMgr::GetInstance()->GetLastErrorCodeWithin(PexloCommon::CSdkWatch::StopBound());
    });
}

int DeviceObject_GetVideoThumbnails(DeviceObjectHandle, const void*, void*) { return 0; }
int DeviceObject_SetLocalIP(const char*) { return 0; }
int DeviceObject_SetModeChange(int) { return 0; }
int DeviceObject_SetMsgCB(void*, void*) { return 0; }
int DeviceObject_SetVideoParam(DeviceObjectHandle, const void*) { return 0; }
void* XPLUGIN_GetPluginInterface(void) { return nullptr; }
void DeviceObject_SetLogCB(void*, void*) {}

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
