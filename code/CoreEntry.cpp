// The core's entry table: each entry brings the plugin object up and hands over to it, and nothing it calls may
// unwind into the host.
#include "CoreEntry.h"

#include "PexloInterfaceMgr.h"
#include "PluginLog.h"
#include "UnloadHook.h"
#include "VantraIotSMSPlugin.h"
#include "handleMgr.h"

namespace PexloCommon {
namespace {

constexpr const char* kPath = CVantraIotSMSPlugin::kSourcePath;

// An exception that reaches an entry becomes its fallback answer.
template <class Result, class Body>
Result Guarded(Result fallback, Body body) noexcept {
    try {
        return body();
    } catch (...) {
        return fallback;
    }
}

int Init() {
    return Guarded(-1, [] { return CVantraIotSMSPlugin::GetInstance()->DeviceObject_Init(); });
}

bool Fini() {
    return Guarded(false, [] { return CVantraIotSMSPlugin::GetInstance()->DeviceObject_Fini(); });
}

DeviceObjectHandle CreateInstance() {
    return Guarded<DeviceObjectHandle>(-1, [] {
        CVantraIotSMSPlugin::GetInstance();
        VANTRA_LOG_AT(kLogProgress, kLogModule, "[%s][DeviceObject_CreateInstance][%s(%d)]",
                      "PexloCommon::CVantraIotSMSPlugin::DeviceObject_CreateInstance", kPath, 391);
        return static_cast<DeviceObjectHandle>(CHandleMgr::GetInstance()->CreateHandle());
    });
}

int DestroyInstance(DeviceObjectHandle handle) {
    return Guarded(0, [handle] {
        CVantraIotSMSPlugin::GetInstance();
        VANTRA_LOG_AT(kLogProgress, kLogModule, "[%s][DeviceObject_DestroyInstance] handle:%d[%s(%d)]",
                      "PexloCommon::CVantraIotSMSPlugin::DeviceObject_DestroyInstance", static_cast<int>(handle), kPath,
                      397);
        CHandleMgr::GetInstance()->DestroyHandle(handle);
        return 0;
    });
}

int StartStream(DeviceObjectHandle handle, const DeviceStreamRequest* request, DeviceDataCallBack callback,
                void* user) {
    return Guarded(-1, [&] {
        return CVantraIotSMSPlugin::GetInstance()->DeviceObject_StartStream(handle, request, callback, user);
    });
}

void StopStream(DeviceObjectHandle handle) {
    Guarded(0, [handle] {
        CVantraIotSMSPlugin::GetInstance()->DeviceObject_StopStream(handle);
        return 0;
    });
}

int GetLastError() {
    return Guarded(CPexloInterfaceMgr::kErrorMissingEntry, [] {
        CVantraIotSMSPlugin::GetInstance();
        return CPexloInterfaceMgr::GetInstance()->GetLastErrorCodeWithin(CSdkWatch::StopBound());
    });
}

int Touch() {
    return Guarded(0, [] {
        CVantraIotSMSPlugin::GetInstance();
        return 0;
    });
}

void HostUnloading() {
    Guarded(0, [] {
        ShutdownForHostUnload();
        return 0;
    });
}

constexpr VantraCoreTable kTable = {&Init,       &Fini,         &CreateInstance, &DestroyInstance, &StartStream,
                                    &StopStream, &GetLastError, &Touch,          &HostUnloading};

}  // namespace
}  // namespace PexloCommon

extern "C" const VantraCoreTable* VantraIotSMSPluginCore(void) { return &PexloCommon::kTable; }
