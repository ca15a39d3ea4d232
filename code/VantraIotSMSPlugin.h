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
    // At library unload or process exit, before the SDK is released: every request still registered is
    // stopped and every plugin thread joined, so none runs into code that is about to go away.
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
    // A stop asked for from inside a host callback: the request leaves the registry at once and the stopper
    // thread stops it once no delivery holds it up.
    void DeferStop(uint64_t key, const std::shared_ptr<CReciveData2SMS>& delivery);
    void StopperLoop();
    // Carries out every deferred stop and joins the stopper.
    void DrainStopper();
    // The deferred stop of this handle still in the stopper's list, if any.
    std::shared_ptr<CReciveData2SMS> PendingStop(uint64_t key);
    void ReplaceAccessInfo(const NubrixAccessInfo& info);
    // The part of a start that follows registration. Its SDK part runs as a job that the host waits for up to the
    // stop bound; the rest of it goes on behind the call.
    void StartRegistered(const DeviceStreamRequest* request, DeviceDataCallBack callback, void* user,
                         DeviceObjectHandle handle, const std::shared_ptr<CReciveData2SMS>& delivery);
    // Init's SDK part as a job, bounded by the call limit: -1 when the initialisation failed or did not return.
    int InitSdk(const NubrixAccessInfo& info);
    // Ends the refresher, waiting until `deadline` at most; one that has not ended by then is left behind.
    void StopRefresher(std::chrono::steady_clock::time_point deadline);
    // Joins the refreshers left behind that have ended since.
    void ReapRefreshers();
    // True while the calling refresher is the one to run.
    bool RefresherRuns() const;

    // Guards m_mapRealStream only; never held across a call out of the map (HTTP, SDK, a start or a stop).
    // Lock order: a request's control lock, then this one; nothing is taken while it is held.
    Kestro_Mutex m_mutexStream;
    std::map<uint64_t, std::shared_ptr<CReciveData2SMS>> m_mapRealStream GUARDED_BY(m_mutexStream);
    std::atomic<size_t> m_iStreamCount{0};  // the map's size for log records, read without the lock

    // Readers copy under it and the refresher swaps a fetched record in under it; never held during a
    // request or an SDK call. Lock order: a leaf.
    mutable Zeph::Base::Mutex m_mutexAccess;
    NubrixAccessInfo m_accessInfo GUARDED_BY(m_mutexAccess);

    std::atomic<bool> m_bRun{false};
    int m_iSleepCount = 0;  // touched only by the refresher
    // Which refresher is the one to run: one that Fini left behind (inside its exchange with the platform server)
    // ends as soon as that returns, even when a later Init has set m_bRun again.
    std::atomic<uint64_t> m_iRefresher{0};
    struct Refresher {
        Zeph::Platform::ModuleThread thread;
        bool ended = false;  // under m_mutexWake
    };
    // The refresher of the last Init (touched by Init and Fini, which take turns), and those that Fini left
    // behind, joined once they have ended.
    std::shared_ptr<Refresher> m_pRefresher;
    std::vector<std::shared_ptr<Refresher>> m_vLeftRefresher;

    // Wakes the refresher out of its one-second step when DeviceObject_Fini clears m_bRun, and Fini when a
    // refresher ends. A leaf.
    Zeph::Base::Mutex m_mutexWake;
    std::condition_variable m_condWake;
    // An initialisation or finish that did not return in its bound: until it has, Init fails clearly rather than
    // initialise an SDK that is still starting or finishing. Touched by Init and Fini, which take turns.
    std::shared_ptr<CSdkWatch::Job> m_pLifecycleJob;
    // Deferred stops, kept listed until they are done so that a stop from outside a callback can wait for
    // one. A leaf lock; the stopper calls out only after releasing it.
    Zeph::Base::Mutex m_mutexStopper;
    std::condition_variable m_condStopper;
    std::vector<std::pair<uint64_t, std::shared_ptr<CReciveData2SMS>>> m_vPendingStop GUARDED_BY(m_mutexStopper);
    bool m_bStopperQuit GUARDED_BY(m_mutexStopper) = false;
    Zeph::Platform::ModuleThread m_stopper GUARDED_BY(m_mutexStopper);

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
