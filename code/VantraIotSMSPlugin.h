// The plugin object: owns the request registry, the access information and the token refresher.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "AccessRefresher.h"
#include "DeferredStops.h"
#include "HttpClient/VantraLinkInterfaceMgr.h"
#include "Metrics.h"
#include "RealStreamWrapper.h"
#include "VantraIotSMSPluginApi.h"
#include "kestro/kestro.h"
#include "platform/Platform.h"

namespace PexloCommon {

class CVantraIotSMSPlugin {
public:
    static CVantraIotSMSPlugin* GetInstance();
    ~CVantraIotSMSPlugin();

    int DeviceObject_Init();
    bool DeviceObject_Fini();
    int DeviceObject_StartStream(DeviceObjectHandle handle, const DeviceStreamRequest* request,
                                 DeviceDataCallBack callback, void* user);
    void DeviceObject_StopStream(DeviceObjectHandle handle);
    void UpdateAccessToken();
    // At the host's unload or at process exit, before the SDK is released: every request still registered is cut
    // off and stopped, and every plugin thread ended within the unload's bound (UnloadHook.cpp).
    void ShutdownAtUnload();

    static void SplitString(const std::string& text, const std::string& delimiter, std::vector<std::string>& out);
    static void ParseUrl(const std::string& url, std::map<std::string, std::string>& params);
    static void GetParam(const std::string& url, const std::string& key, std::string& value);
    // The text's leading decimal integer (white space, sign, digits), 0 without digits, clamped to 32 bits.
    static int32_t LeadingInteger(const std::string& text);

    // A copy of the current access information; safe against the refresher's replacement.
    NubrixAccessInfo AccessInfo() const;
    // The metrics file's text as it would be written now.
    std::string MetricsText();

    // The refresher's day: kRefreshSteps waits of kRefreshStepMs each.
    static constexpr int kRefreshStepMs = 1000;
    static constexpr int kRefreshSteps = 86400;
    // A test clock: while set, each of those waits is a call of `step` instead (null: real waits again). The
    // refresher notices a Fini only between steps, so a step must return for Fini to end.
    static void SetRefreshStepForTest(void (*step)());
    // The source file its records (and the exports') name.
    static constexpr const char* kSourcePath = "..\\..\\code\\VantraIotSMSPlugin";

private:
    template <class T>
    friend class CSingletonHolder;
    CVantraIotSMSPlugin();

    // Waits one refresher step; returns early when m_bRun is cleared.
    void WaitOneStep();
    void ReplaceAccessInfo(const NubrixAccessInfo& info);
    // The part of a start that follows registration. Its SDK part runs as a job that the host waits for up to the
    // stop bound; the rest of it goes on behind the call.
    void StartRegistered(const DeviceStreamRequest* request, DeviceDataCallBack callback, void* user,
                         DeviceObjectHandle handle, const std::shared_ptr<CReciveData2SMS>& delivery);
    // Init's SDK part as a job, bounded by the call limit: -1 when the initialisation failed or did not return.
    int InitSdk(const NubrixAccessInfo& info);
    // Ends the refresher, waiting until `deadline` at most; one that has not ended by then is left behind.
    void StopRefresher(std::chrono::steady_clock::time_point deadline);
    // True while the calling refresher is the one to run.
    bool RefresherRuns() const;
    bool Running() const;
    void SetRunning(bool run);

    // Guards m_mapRealStream only; never held across a call out of the map (HTTP, SDK, a start or a stop).
    // Lock order: a request's control lock, then this one; nothing is taken while it is held.
    Kestro_Mutex m_mutexStream;
    std::map<uint64_t, std::shared_ptr<CReciveData2SMS>> m_mapRealStream GUARDED_BY(m_mutexStream);
    std::atomic<size_t> m_iStreamCount{0};  // the map's size for log records, read without the lock

    // Readers copy under it and the refresher swaps a fetched record in under it; never held during a
    // request or an SDK call. Lock order: a leaf.
    mutable Zeph::Base::Mutex m_mutexAccess;
    NubrixAccessInfo m_accessInfo GUARDED_BY(m_mutexAccess);

    // Wakes the refresher out of its one-second step when DeviceObject_Fini clears m_bRun. The flag is under it, so
    // the refresher cannot test it just before Fini clears it and then miss the wake-up. A leaf.
    mutable Zeph::Base::Mutex m_mutexWake;
    bool m_bRun GUARDED_BY(m_mutexWake) = false;
    std::condition_variable m_condWake;
    int m_iSleepCount = 0;  // touched only by the refresher
    CAccessRefresher m_refresher;
    // Stops asked for from inside host callbacks, until they are done.
    CDeferredStops m_deferred;
    // An initialisation or finish that did not return in its bound: until it has, Init fails clearly rather than
    // initialise an SDK that is still starting or finishing. Touched by Init and Fini, which take turns.
    std::shared_ptr<CSdkWatch::Job> m_pLifecycleJob;

    // When the access information was last fetched (-1: never) and when the daily refresh last ran (0: never),
    // in the real streams' calendar seconds; for the metrics file.
    std::atomic<int64_t> m_tAccessInfo{-1};
    std::atomic<int64_t> m_tLastRefresh{0};

    // DeviceObject_Init and DeviceObject_Fini take turns: each waits until no other turn is in progress, then
    // runs its exchange, SDK calls and join with no lock held. m_mutexLifecycle guards only m_bLifecycleTurn
    // and is taken alone; stream requests never take it.
    class LifecycleTurn;
    Zeph::Base::Mutex m_mutexLifecycle;
    std::condition_variable m_condLifecycle;
    bool m_bLifecycleTurn GUARDED_BY(m_mutexLifecycle) = false;

    // Last, so that its thread, which reads the rest, ends first.
    CMetricsFile m_metrics;
};

}  // namespace PexloCommon
