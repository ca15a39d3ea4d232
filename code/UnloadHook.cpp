#include "UnloadHook.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <vector>

#include "HttpClient/VantraLinkInterfaceMgr.h"
#include "PexloInterfaceMgr.h"
#include "PluginLog.h"
#include "RealStreamMgr.h"
#include "Singleton.h"
#include "VantraIotSMSPlugin.h"
#include "handleMgr.h"
#include "platform/Platform.h"

namespace PexloCommon {

namespace {
#if !defined(_WIN32)
void ShutdownPluginAtUnload() {
    if (CVantraIotSMSPlugin* plugin = CSingletonHolder<CVantraIotSMSPlugin>::Peek()) plugin->ShutdownAtUnload();
}
#endif
}  // namespace

void RegisterShutdownAtUnload() {
#if !defined(_WIN32)
    static std::atomic<bool> registered{false};
    if (!registered.exchange(true)) Zeph::Platform::RegisterUnloadHook(&ShutdownPluginAtUnload);
#endif
}

void CVantraIotSMSPlugin::ShutdownAtUnload() {
    std::vector<std::shared_ptr<CReciveData2SMS>> left;
    {
        Kestro_Guard guard(&m_mutexStream);
        for (auto& entry : m_mapRealStream) left.push_back(entry.second);
        m_mapRealStream.clear();
        m_iStreamCount.store(0);
    }
    if (!left.empty()) {
        VANTRA_LOG_HERE(
            kLogFailure, kLogModule,
            "[%s][Unload] %d stream(s) still running at unload: stopped before the library goes away[%s(%d)]",
            "PexloCommon::CVantraIotSMSPlugin::ShutdownAtUnload", static_cast<int>(left.size()), kSourcePath);
    }
    // All cut off and handed to their teardowns first, so that they are released side by side, not in turn.
    for (auto& delivery : left) delivery->StopWithin(std::chrono::milliseconds(0));
    // One bound for the rest: the refresher, the stops under way (those that callbacks asked for among them) and
    // the calls in the SDK. What an earlier wait left behind is not waited for again.
    const auto deadline = std::chrono::steady_clock::now() + CSdkWatch::CallLimit();
    StopRefresher(deadline);
    m_metrics.Stop();
    CSdkWatch& watch = CPexloInterfaceMgr::GetInstance()->Watch();
    watch.WaitForQuiet("Unload", deadline, false);
    watch.StopWorkers();
}

void ShutdownForHostUnload() {
    // Only what exists: at process exit this may come after the objects were destroyed.
    if (CVantraIotSMSPlugin* plugin = CSingletonHolder<CVantraIotSMSPlugin>::Peek()) plugin->ShutdownAtUnload();
    if (CPexloInterfaceMgr* sdk = CSingletonHolder<CPexloInterfaceMgr>::Peek()) sdk->ReleaseLibrary();
    CSingletonHolder<CVantraIotSMSPlugin>::Destroy();
    CSingletonHolder<CRealStreamMgr>::Destroy();
    CSingletonHolder<CPexloInterfaceMgr>::Destroy();
    CSingletonHolder<CVantraLinkInterfaceMgr>::Destroy();
    CSingletonHolder<CHandleMgr>::Destroy();
    Zeph::Base::details::ReopenLog();
}

}  // namespace PexloCommon
