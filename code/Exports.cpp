// The exported C interface: each export hands over to the plugin's core. On Linux this file is a library of its own,
// the one the host loads and unloads; the core, which the SDK's threads call back into, stays loaded under it.
#include "CoreEntry.h"
#include "VantraIotSMSPluginApi.h"

namespace {

const VantraCoreTable& Core() {
    static const VantraCoreTable* const table = VantraIotSMSPluginCore();
    return *table;
}

#if !defined(_WIN32)
// Runs when the host unloads this library, and at process exit: the host is cut off and the plugin stopped before
// this code goes. Windows keeps the plugin loaded instead, since nothing may be waited for under its loader lock.
__attribute__((destructor)) void HostLetsGo() { Core().HostUnloading(); }
#endif

}  // namespace

extern "C" {

int DeviceObject_Init(void) { return Core().Init(); }
bool DeviceObject_Fini(void) { return Core().Fini(); }
DeviceObjectHandle DeviceObject_CreateInstance(void) { return Core().CreateInstance(); }
int DeviceObject_DestroyInstance(DeviceObjectHandle handle) { return Core().DestroyInstance(handle); }
int DeviceObject_StartStream(DeviceObjectHandle handle, const DeviceStreamRequest* request, DeviceDataCallBack callback,
                             void* user) {
    return Core().StartStream(handle, request, callback, user);
}
void DeviceObject_StopStream(DeviceObjectHandle handle) { Core().StopStream(handle); }
int DeviceObject_GetLastError(void) { return Core().GetLastError(); }

int DeviceObject_GetVideoThumbnails(DeviceObjectHandle, const void*, void*) { return 0; }
int DeviceObject_SetLocalIP(const char*) { return 0; }
int DeviceObject_SetModeChange(int) { return 0; }
int DeviceObject_SetMsgCB(void*, void*) { return 0; }
int DeviceObject_SetVideoParam(DeviceObjectHandle, const void*) { return 0; }
void* XPLUGIN_GetPluginInterface(void) { return nullptr; }
void DeviceObject_SetLogCB(void*, void*) {}

int DeviceObject_ForceIFrame(DeviceObjectHandle) { return Core().Touch(); }
int DeviceObject_PauseStream(DeviceObjectHandle) { return Core().Touch(); }
int DeviceObject_ResumeStream(DeviceObjectHandle) { return Core().Touch(); }
int DeviceObject_SeekStreamByAbsTime(DeviceObjectHandle, int64_t) { return Core().Touch(); }
int DeviceObject_SeekStreamByAbsTimeEx(DeviceObjectHandle, int64_t, int64_t) { return Core().Touch(); }
int DeviceObject_SeekStreamByRelTime(DeviceObjectHandle, int64_t) { return Core().Touch(); }
int DeviceObject_SendVoiceDataEx(DeviceObjectHandle, const void*, uint32_t) { return Core().Touch(); }
int DeviceObject_SetExtractFrame(DeviceObjectHandle, int) { return Core().Touch(); }
int DeviceObject_SetStreamScale(DeviceObjectHandle, int) { return Core().Touch(); }
int DeviceObject_StartPlayBack(DeviceObjectHandle, const void*, DeviceDataCallBack, void*) { return Core().Touch(); }
int DeviceObject_StartPlayBackByReverse(DeviceObjectHandle, const void*, DeviceDataCallBack, void*) {
    return Core().Touch();
}
int DeviceObject_StartVoiceEx(DeviceObjectHandle, const void*, DeviceDataCallBack, void*) { return Core().Touch(); }
int DeviceObject_StopVoiceEx(DeviceObjectHandle) { return Core().Touch(); }
void DeviceObject_StopPlayBack(DeviceObjectHandle) { Core().Touch(); }
void DeviceObject_StopPlayBackByReverse(DeviceObjectHandle) { Core().Touch(); }

}  // extern "C"
