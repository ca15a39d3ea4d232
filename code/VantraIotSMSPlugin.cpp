#include "VantraIotSMSPlugin.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>

#include "InstallLayout.h"
#include "PexloInterfaceMgr.h"
#include "PluginLog.h"
#include "RealStreamMgr.h"
#include "RealStreamWrapper.h"
#include "Singleton.h"
#include "UnloadHook.h"
#include "ZephBase/FileUtil.h"
#include "handleMgr.h"
#include "platform/Platform.h"

namespace PexloCommon {

namespace {
constexpr const char* kPath = CVantraIotSMSPlugin::kSourcePath;
constexpr const char* kInitFunc = "PexloCommon::CVantraIotSMSPlugin::DeviceObject_Init";
constexpr const char* kRefreshFunc = "PexloCommon::CVantraIotSMSPlugin::UpdateAccessToken";
constexpr const char* kClientLibType = "3";

// The SDK's configuration pairs, in the order the SDK expects them (key 3 twice on purpose).
constexpr int kConfigPairs[][2] = {{1, 1}, {3, 1}, {6, 64}, {3, 0}, {13, 1}, {15, 1}};

std::atomic<void (*)()> g_refreshStep{nullptr};
using Clock = std::chrono::steady_clock;
// How often a refresher waiting for a slow token hand-over looks whether Fini wants it to end.
constexpr std::chrono::milliseconds kRefresherPoll{50};
}  // namespace

CVantraIotSMSPlugin* CVantraIotSMSPlugin::GetInstance() { return CSingletonHolder<CVantraIotSMSPlugin>::Get(); }

CVantraIotSMSPlugin::CVantraIotSMSPlugin() {
    // Placeholders until the first fetch replaces them.
    m_accessInfo.authAddr = "https://auth.nubrix.example";
    m_accessInfo.openAddr = "https://open.nubrix.example";
}

CVantraIotSMSPlugin::~CVantraIotSMSPlugin() {
    // The host should have called DeviceObject_Fini; never leave a thread running into unmapped code.
    StopRefresher(Clock::now() + CSdkWatch::CallLimit());
}

void CVantraIotSMSPlugin::StopRefresher(Clock::time_point deadline) {
    {
        // Under the wake lock, so the refresher cannot miss the notification between its test and its wait.
        Zeph::Base::LockGuard lock(m_mutexWake);
        m_bRun = false;
    }
    m_condWake.notify_all();
    m_refresher.Join(deadline);
}

bool CVantraIotSMSPlugin::Running() const {
    Zeph::Base::LockGuard lock(m_mutexWake);
    return m_bRun;
}

void CVantraIotSMSPlugin::SetRunning(bool run) {
    Zeph::Base::LockGuard lock(m_mutexWake);
    m_bRun = run;
}

bool CVantraIotSMSPlugin::RefresherRuns() const { return Running() && m_refresher.IsCurrent(); }

void CVantraIotSMSPlugin::SetRefreshStepForTest(void (*step)()) { g_refreshStep.store(step); }

NubrixAccessInfo CVantraIotSMSPlugin::AccessInfo() const {
    Zeph::Base::LockGuard lock(m_mutexAccess);
    return m_accessInfo;
}

void CVantraIotSMSPlugin::ReplaceAccessInfo(const NubrixAccessInfo& info) {
    Zeph::Base::LockGuard lock(m_mutexAccess);
    m_accessInfo = info;
}

class CVantraIotSMSPlugin::LifecycleTurn {
public:
    explicit LifecycleTurn(CVantraIotSMSPlugin& plugin) : m_plugin(plugin) {
        Zeph::Base::UniqueLock lock(m_plugin.m_mutexLifecycle);
        while (m_plugin.m_bLifecycleTurn) m_plugin.m_condLifecycle.wait(lock.Native());
        m_plugin.m_bLifecycleTurn = true;
    }
    ~LifecycleTurn() {
        {
            Zeph::Base::LockGuard lock(m_plugin.m_mutexLifecycle);
            m_plugin.m_bLifecycleTurn = false;
        }
        m_plugin.m_condLifecycle.notify_all();
    }
    LifecycleTurn(const LifecycleTurn&) = delete;
    LifecycleTurn& operator=(const LifecycleTurn&) = delete;

private:
    CVantraIotSMSPlugin& m_plugin;
};

int CVantraIotSMSPlugin::DeviceObject_Init() {
    LifecycleTurn turn(*this);
    const bool running = Running();
    VANTRA_LOG_AT(kLogProgress, kLogModule, "[%s][DeviceObject_Init] start:%d[%s(%d)]", kInitFunc, running ? 1 : 0,
                  kPath, 52);
    if (running) {
        VANTRA_LOG_AT(kLogProgress, kLogModule, "[%s][DeviceObject_Init] stop:%d[%s(%d)]", kInitFunc, 1, kPath, 126);
        return 0;
    }

    const std::string dir = Zeph::Base::FileUtil::GetCurExeDir() + kPluginDirSuffix;
    CPexloInterfaceMgr* sdk = CPexloInterfaceMgr::GetInstance();
    if (!sdk->LoadDso(dir)) {
        VANTRA_LOG_AT(kLogFailure, kLogModule, "[%s][LoadLib] Failed. Lib dir:%s[%s(%d)]", kInitFunc, dir.c_str(),
                      kPath, 106);
        return -1;
    }
    RegisterShutdownAtUnload();

    CVantraLinkInterfaceMgr* link = CVantraLinkInterfaceMgr::GetInstance();
    link->InitConfig();
    NubrixAccessInfo info = AccessInfo();
    if (!link->GetNubrixAccessInfo(info)) return -1;
    ReplaceAccessInfo(info);
    m_tAccessInfo.store(CRealStream::Now());

    if (InitSdk(info) != 0) return -1;

    SetRunning(true);
    if (!m_refresher.Start([this] { UpdateAccessToken(); })) {
        // Without its refresher the plugin is not initialised: the next Init tries again.
        SetRunning(false);
        VANTRA_LOG_HERE(kLogFailure, kLogModule, "[%s][DeviceObject_Init] refresher thread not started[%s(%d)]",
                        kInitFunc, kPath);
        return -1;
    }
    const std::string metrics = link->MetricsFile();
    if (!metrics.empty()) {
        VANTRA_LOG_HERE(kLogProgress, kLogModule, "[%s][Metrics] written to %s every %d s[%s(%d)]", kInitFunc,
                        metrics.c_str(), static_cast<int>(CMetricsFile::kPeriod.count()), kPath);
        m_metrics.Start(metrics, [this] { return MetricsText(); });
    }
    VANTRA_LOG_AT(kLogProgress, kLogModule, "[%s][DeviceObject_Init] stop:%d[%s(%d)]", kInitFunc, 1, kPath, 126);
    return 0;
}

int CVantraIotSMSPlugin::InitSdk(const NubrixAccessInfo& info) {
    CPexloInterfaceMgr* sdk = CPexloInterfaceMgr::GetInstance();
    CSdkWatch& watch = sdk->Watch();
    if (m_pLifecycleJob && !watch.IsDone(m_pLifecycleJob)) {
        VANTRA_LOG_HERE(kLogFailure, kLogModule,
                        "[%s][InitLib] %s of an earlier call has not returned after %lld ms: the SDK is not "
                        "initialised again until it has[%s(%d)]",
                        kInitFunc, CSdkWatch::WhereIs(*m_pLifecycleJob), CSdkWatch::MsSince(m_pLifecycleJob->start),
                        kPath);
        return -1;
    }
    m_pLifecycleJob.reset();
    // -1 while the initialisation has not returned, then 1 or 0. Once the host has been told that Init failed, a
    // late initialisation configures nothing: the next Init does that.
    auto outcome = std::make_shared<std::atomic<int>>(-1);
    auto abandoned = std::make_shared<std::atomic<bool>>(false);
    const bool clientLib = info.nubrixType == kClientLibType;
    auto job = watch.StartJob("DeviceObject_Init", [sdk, info, clientLib, outcome, abandoned] {
        const bool initialised = clientLib ? sdk->InitClientLib(info.authAddr, info.openAddr, info.appKey)
                                           : sdk->InitLib(info.authAddr, info.openAddr, info.appKey);
        outcome->store(initialised ? 1 : 0);
        if (!initialised || abandoned->load()) return;
        for (const auto& pair : kConfigPairs) sdk->SetConfigInfo(pair[0], pair[1]);
        sdk->SetPlatformAddr(info.nubrixAddr);
        if (clientLib) {
            sdk->SetNonDeviceTkToken(info.accessToken);
        } else {
            sdk->SetAccessToken(info.accessToken);
        }
    });
    if (!watch.AwaitJob(job, CSdkWatch::CallLimit())) {
        abandoned->store(true);
        if (outcome->load() != 1) {
            m_pLifecycleJob = job;
            VANTRA_LOG_HERE(kLogFailure, kLogModule,
                            "[%s][InitLib] %s has not returned after %lld ms: left behind, Init fails[%s(%d)]",
                            kInitFunc, CSdkWatch::WhereIs(*job), CSdkWatch::MsSince(job->start), kPath);
            VANTRA_LOG_AT(kLogFailure, kLogModule, "[%s][InitLib] Failed[%s(%d)]", kInitFunc, kPath, 99);
            return -1;
        }
        VANTRA_LOG_HERE(kLogFailure, kLogModule,
                        "[%s][DeviceObject_Init] %s has not returned after %lld ms: it goes on behind Init[%s(%d)]",
                        kInitFunc, CSdkWatch::WhereIs(*job), CSdkWatch::MsSince(job->start), kPath);
        return 0;
    }
    if (outcome->load() != 1) {
        VANTRA_LOG_AT(kLogFailure, kLogModule, "[%s][InitLib] Failed[%s(%d)]", kInitFunc, kPath, 99);
        return -1;
    }
    return 0;
}

std::string CVantraIotSMSPlugin::MetricsText() {
    const int64_t now = CRealStream::Now();
    std::vector<std::pair<uint64_t, std::shared_ptr<CStreamStats>>> requests;
    PluginFigures plugin;
    {
        Kestro_Guard guard(&m_mutexStream);
        plugin.requests = m_mapRealStream.size();
        requests.reserve(m_mapRealStream.size());
        for (const auto& entry : m_mapRealStream) requests.emplace_back(entry.first, entry.second->m_pStats);
    }
    std::vector<StreamFigures> streams;
    streams.reserve(requests.size());
    for (const auto& request : requests) {
        if (request.second) streams.push_back(StreamFigures::Of(*request.second, now));
    }
    plugin.realStreams = CRealStreamMgr::GetInstance()->StreamCount();
    const PlatformCounts counts = CVantraLinkInterfaceMgr::GetInstance()->Counts();
    plugin.accessOk = counts.accessOk;
    plugin.accessFailed = counts.accessFailed;
    plugin.tokenOk = counts.tokenOk;
    plugin.tokenFailed = counts.tokenFailed;
    const int64_t fetched = m_tAccessInfo.load();
    plugin.accessInfoAge = fetched >= 0 ? std::max<int64_t>(0, now - fetched) : -1;
    plugin.lastRefresh = m_tLastRefresh.load();
    CPexloInterfaceMgr* sdk = CPexloInterfaceMgr::GetInstance();
    plugin.sdkLoaded = sdk->IsLoaded();
    plugin.sdkInitialised = sdk->m_bInit.load();
    return FormatMetrics(plugin, streams);
}

bool CVantraIotSMSPlugin::DeviceObject_Fini() {
    LifecycleTurn turn(*this);
    // One deadline for all its waits: the refresher, what is under way in the SDK, and the SDK's finish.
    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline = start + CSdkWatch::CallLimit();
    StopRefresher(deadline);
    CPexloInterfaceMgr* sdk = CPexloInterfaceMgr::GetInstance();
    CSdkWatch& watch = sdk->Watch();
    // Finishing the SDK under a call still in it could pull the session away under that call. Such a call is
    // left behind (the watch writes which), the SDK stays initialised, and a later Init goes on with it.
    bool finished = false;
    if (watch.WaitForQuiet("DeviceObject_Fini", deadline) && sdk->m_bInit.load()) {
        auto result = std::make_shared<std::atomic<bool>>(false);
        auto job = watch.StartJob("DeviceObject_Fini", [sdk, result] { result->store(sdk->FiniLib()); });
        // The finish gets its own second when the wait above took the whole deadline.
        if (watch.AwaitJob(job, std::max(deadline, Clock::now() + CSdkWatch::StopBound()))) {
            finished = result->load();
        } else {
            m_pLifecycleJob = job;
            VANTRA_LOG_HERE(kLogFailure, kLogModule,
                            "[%s][DeviceObject_Fini] %s has not returned after %lld ms: left behind, Fini "
                            "fails[%s(%d)]",
                            "PexloCommon::CVantraIotSMSPlugin::DeviceObject_Fini", CSdkWatch::WhereIs(*job),
                            CSdkWatch::MsSince(job->start), kPath);
        }
    }
    if (finished) watch.StopWorkers();
    // Once more, with the SDK as Fini leaves it.
    m_metrics.Stop();
    return finished;
}

void CVantraIotSMSPlugin::WaitOneStep() {
    if (void (*step)() = g_refreshStep.load()) {
        step();
        return;
    }
    {
        Zeph::Base::UniqueLock lock(m_mutexWake);
        const auto until = Clock::now() + std::chrono::milliseconds(kRefreshStepMs);
        while (m_bRun && m_condWake.wait_until(lock.Native(), until) != std::cv_status::timeout) {
        }
    }
    // While the plugin runs, progress records reach the file within a step, so that an operator following the
    // log sees them as they happen (failure records are written through at once anyway).
    Zeph::Base::details::FlushLog();
}

void CVantraIotSMSPlugin::UpdateAccessToken() {
    Zeph::Platform::SetCurrentThreadName("vantra-refresh");
    VANTRA_LOG_AT(kLogFailure, kLogModule, "[%s][UpdateAccessToken] start[%s(%d)]", kRefreshFunc, kPath, 15);
    while (RefresherRuns()) {
        while (RefresherRuns() && m_iSleepCount < kRefreshSteps) {
            ++m_iSleepCount;
            WaitOneStep();
        }
        m_iSleepCount = 0;
        if (!RefresherRuns()) break;
        m_tLastRefresh.store(CRealStream::Now());
        try {
            NubrixAccessInfo info = AccessInfo();
            if (CVantraLinkInterfaceMgr::GetInstance()->GetNubrixAccessInfo(info)) {
                ReplaceAccessInfo(info);
                m_tAccessInfo.store(CRealStream::Now());
                // On a worker, so that a cloud that never returns holds no refresher that Fini must join: the
                // refresher waits for it in short steps, for as long as it is the one to run.
                CSdkWatch& watch = CPexloInterfaceMgr::GetInstance()->Watch();
                auto refused = std::make_shared<std::atomic<bool>>(false);
                auto job = watch.StartJob("UpdateAccessToken", [refused, token = info.accessToken] {
                    if (!CPexloInterfaceMgr::GetInstance()->SetNonDeviceTkToken(token)) refused->store(true);
                });
                while (!watch.AwaitJob(job, kRefresherPoll, false) && RefresherRuns()) {
                }
                if (refused->load()) {
                    VANTRA_LOG_AT(kLogFailure, kLogModule, "[%s][UpdateAccessToken] Failed[%s(%d)]", kRefreshFunc,
                                  kPath, 41);
                }
            }
        } catch (...) {
            // A failed refresh waits for the next cycle, whatever went wrong.
        }
    }
    VANTRA_LOG_AT(kLogFailure, kLogModule, "[%s][UpdateAccessToken] stop[%s(%d)]", kRefreshFunc, kPath, 47);
}

void CVantraIotSMSPlugin::SplitString(const std::string& text, const std::string& delimiter,
                                      std::vector<std::string>& out) {
    if (text.empty()) return;
    if (delimiter.empty()) {
        out.push_back(text);
        return;
    }
    // Cut a copy with the delimiter appended; a delimiter whose end overlaps its start (like "aa") can match
    // across the appended one, so the copy is real. Offsets stand in for the shrinking remainder.
    const std::string work = text + delimiter;
    for (size_t start = 0, at; (at = work.find(delimiter, start)) != std::string::npos; start = at + delimiter.size())
        out.push_back(work.substr(start, at - start));
}

void CVantraIotSMSPlugin::ParseUrl(const std::string& url, std::map<std::string, std::string>& params) {
    std::vector<std::string> parts;
    SplitString(url, "?", parts);
    std::vector<std::string> pieces;
    for (const std::string& part : parts) SplitString(part, "&", pieces);
    for (const std::string& piece : pieces) {
        std::vector<std::string> pair;
        SplitString(piece, "=", pair);
        if (pair.size() == 2) params.emplace(pair[0], pair[1]);  // the first value of a key wins
    }
}

void CVantraIotSMSPlugin::GetParam(const std::string& url, const std::string& key, std::string& value) {
    std::map<std::string, std::string> params;
    ParseUrl(url, params);
    auto it = params.find(key);
    if (it != params.end()) value = it->second;
}

int32_t CVantraIotSMSPlugin::LeadingInteger(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<int64_t>(INT32_MAX) + 1) value = static_cast<int64_t>(INT32_MAX) + 1;
    }
    if (negative) value = -value;
    return static_cast<int32_t>(std::max<int64_t>(INT32_MIN, std::min<int64_t>(INT32_MAX, value)));
}

int CVantraIotSMSPlugin::DeviceObject_StartStream(DeviceObjectHandle handle, const DeviceStreamRequest* request,
                                                  DeviceDataCallBack callback, void* user) {
    static const char* kFunc = "PexloCommon::CVantraIotSMSPlugin::DeviceObject_StartStream";
    const int logHandle = static_cast<int>(handle);
    VANTRA_LOG_AT(kLogProgress, kLogModule, "[%s][DeviceObject_StartStream] start[%s(%d)]", kFunc, kPath, 145);
    if (request == nullptr || request->pszUrl == nullptr) {
        VANTRA_LOG_HERE(kLogFailure, kLogModule, "[%s][DeviceObject_StartStream] Handle:%d has no request URL[%s(%d)]",
                        kFunc, logHandle, kPath);
        return -1;
    }
    // A stop that finds the request before its start is done cuts it off; the start then attaches nothing.
    auto delivery = std::make_shared<CReciveData2SMS>();
    {
        Kestro_Guard guard(&m_mutexStream);
        const uint64_t key = static_cast<uint64_t>(handle);
        if (m_mapRealStream.count(key) != 0) {
            guard.Release();
            VANTRA_LOG_AT(kLogFailure, kLogModule, "[%s][DeviceObject_StartStream] Handle:%d is exist[%s(%d)]", kFunc,
                          logHandle, kPath, 157);
            return -1;
        }
        m_mapRealStream.emplace(key, delivery);
        m_iStreamCount.store(m_mapRealStream.size());
    }
    VANTRA_LOG_AT(kLogProgress, kLogModule, "[%s][DeviceObject_StartStream] m_mapRealStream size:%d[%s(%d)]", kFunc,
                  static_cast<int>(m_iStreamCount.load()), kPath, 161);

    try {
        StartRegistered(request, callback, user, handle, delivery);
    } catch (...) {
        // Once registered the request stays, and its answer is 0 whatever fails; the host's stop cleans up.
        VANTRA_LOG_HERE(kLogFailure, kLogModule,
                        "[%s][DeviceObject_StartStream] Handle:%d start failed: out of resources[%s(%d)]", kFunc,
                        logHandle, kPath);
    }
    return 0;
}

void CVantraIotSMSPlugin::StartRegistered(const DeviceStreamRequest* request, DeviceDataCallBack callback, void* user,
                                          DeviceObjectHandle handle, const std::shared_ptr<CReciveData2SMS>& delivery) {
    static const char* kFunc = "PexloCommon::CVantraIotSMSPlugin::DeviceObject_StartStream";
    const int logHandle = static_cast<int>(handle);
    // The record is the host's: copy what is read now and keep no pointer into it.
    const int32_t channelIndex = request->iChannel;
    const std::string url = request->pszUrl;
    VANTRA_LOG_AT(kLogProgress, kLogModule, "[%s]SLSLSLSL[DeviceObject_StartStream] Handle:%d, url:%s[%s(%d)]", kFunc,
                  logHandle, url.c_str(), kPath, 164);

    StreamParam param;
    std::string level;
    GetParam(url, "videolevel", level);
    param.iVideoLevel = LeadingInteger(level);
    GetParam(url, "deviceseq", param.strSerial);
    param.iChannel = static_cast<int32_t>(static_cast<uint32_t>(channelIndex) + 1u);

    if (m_metrics.Running()) {
        auto stats = std::make_shared<CStreamStats>(param.strSerial, param.iChannel, static_cast<int64_t>(handle),
                                                    CRealStream::Now());
        // Under the registry's lock, where the metrics writer looks for it.
        Kestro_Guard guard(&m_mutexStream);
        delivery->m_pStats = std::move(stats);
    }

    bool haveToken = false;
    std::string tokenJson;
    if (AccessInfo().nubrixType == kClientLibType) {
        if (CVantraLinkInterfaceMgr::GetInstance()->GetDeviceTokenInfo(param.strSerial, param.iChannel, tokenJson)) {
            VANTRA_LOG_AT(kLogProgress, kLogModule,
                          "[%s][DeviceObject_StartStream] GetDeviceTokenInfo json:[%s][%s(%d)]", kFunc,
                          tokenJson.c_str(), kPath, 182);
            haveToken = true;
        }
    }

    // The token's hand-over and the session's allocation wait on the cloud: on a worker, for up to the stop bound.
    CSdkWatch& watch = CPexloInterfaceMgr::GetInstance()->Watch();
    const std::string serial = param.strSerial;
    auto job = watch.StartJob(serial, [delivery, haveToken, tokenJson = std::move(tokenJson), callback, user,
                                       channelIndex, param = std::move(param)]() {
        if (haveToken && !delivery->Stopped()) CPexloInterfaceMgr::GetInstance()->SetDeviceTkTokens(tokenJson);
        delivery->startReciveData(callback, user, channelIndex, param);
    });
    delivery->SetStartJob(job);
    if (!watch.AwaitJob(job, CSdkWatch::StopBound())) {
        VANTRA_LOG_HERE(kLogFailure, kLogModule,
                        "[%s][DeviceObject_StartStream] Handle:%d serial:%s: %s has not returned after %lld ms: the "
                        "start goes on behind the call[%s(%d)]",
                        kFunc, logHandle, serial.c_str(), CSdkWatch::WhereIs(*job), CSdkWatch::MsSince(job->start),
                        kPath);
    }
    VANTRA_LOG_AT(kLogProgress, kLogModule, "[%s][DeviceObject_StartStream] Handle:%d, url:%s start[%s(%d)]", kFunc,
                  logHandle, url.c_str(), kPath, 192);
}

void CVantraIotSMSPlugin::DeviceObject_StopStream(DeviceObjectHandle handle) {
    static const char* kFunc = "PexloCommon::CVantraIotSMSPlugin::DeviceObject_StopStream";
    const int logHandle = static_cast<int>(handle);
    VANTRA_LOG_AT(kLogProgress, kLogModule, "[%s][DeviceObject_StopStream] m_mapRealStream size:%d, Handle:%d[%s(%d)]",
                  kFunc, static_cast<int>(m_iStreamCount.load()), logHandle, kPath, 199);
    const uint64_t key = static_cast<uint64_t>(handle);
    const Clock::time_point deadline = Clock::now() + CSdkWatch::StopBound();
    std::shared_ptr<CReciveData2SMS> delivery;
    {
        Kestro_Guard guard(&m_mutexStream);
        auto it = m_mapRealStream.find(key);
        if (it != m_mapRealStream.end()) delivery = it->second;
    }
    const auto forget = [&] {
        Kestro_Guard guard(&m_mutexStream);
        auto it = m_mapRealStream.find(key);
        if (it != m_mapRealStream.end() && it->second == delivery) {
            m_mapRealStream.erase(it);
            m_iStreamCount.store(m_mapRealStream.size());
        }
    };
    if (CReciveData2SMS::IsDeliveringOnThisThread()) {
        if (!delivery) return;
        // From inside a data callback a stop would wait for the delivery in progress: its own, or one whose
        // callback is stopping this thread's stream. The request is cut off from the host now and leaves the
        // registry, so that its handle takes a new request at once; the rest follows on a worker.
        VANTRA_LOG_HERE(
            kLogProgress, kLogModule,
            "[%s][DeviceObject_StopStream] Handle:%d called from a data callback: cut off now, stopped once the "
            "delivery ends[%s(%d)]",
            kFunc, logHandle, kPath);
        m_deferred.Defer(key, delivery);
        forget();
        return;
    }
    // Every request of the handle ends: the registered one, and any whose stop a callback asked for.
    if (delivery) {
        delivery->StopWithin(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
        forget();
    }
    if (!m_deferred.AwaitFor(key, deadline)) {
        VANTRA_LOG_HERE(kLogFailure, kLogModule,
                        "[%s][DeviceObject_StopStream] Handle:%d: a stop asked for from a data callback is still "
                        "under way: it goes on behind the stop[%s(%d)]",
                        kFunc, logHandle, kPath);
    }
}

}  // namespace PexloCommon
