// The plugin object: owns the request registry, the access information and the token refresher.
#pragma once

#include <atomic>
#include <cstdint>

#include "VantraIotSMSPluginApi.h"

namespace PexloCommon {

class CVantraIotSMSPlugin {
public:
    static CVantraIotSMSPlugin* GetInstance();

    int DeviceObject_Init();
    bool DeviceObject_Fini();
    int DeviceObject_StartStream(DeviceObjectHandle handle, const DeviceStreamRequest* request,
                                 DeviceDataCallBack callback, void* user);
    void DeviceObject_StopStream(DeviceObjectHandle handle);

private:
    template <class T>
    friend class CSingletonHolder;
    CVantraIotSMSPlugin() = default;

    std::atomic<bool> m_bRun{false};
};

}  // namespace PexloCommon
