#include "SdkWatch.h"

#include <algorithm>
#include <atomic>
#include <vector>

#include "PluginLog.h"

namespace PexloCommon {

namespace {
constexpr const char* kPath = "..\\..\\code\\SdkWatch";

std::atomic<bool> g_leftBehind{false};
std::atomic<int64_t> g_stopBoundMs{0};
std::atomic<int64_t> g_callLimitMs{0};

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
    return static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}
}  // namespace

std::chrono::milliseconds CSdkWatch::StopBound() {
    const int64_t ms = g_stopBoundMs.load();
    return ms > 0 ? std::chrono::milliseconds(ms) : kStopBound;
}

std::chrono::milliseconds CSdkWatch::CallLimit() {
    const int64_t ms = g_callLimitMs.load();
    return ms > 0 ? std::chrono::milliseconds(ms) : kCallLimit;
}

void CSdkWatch::SetBoundsForTest(std::chrono::milliseconds stop, std::chrono::milliseconds calls) {
    g_stopBoundMs.store(stop.count());
    g_callLimitMs.store(calls.count());
}

bool CSdkWatch::LeftBehind() { return g_leftBehind.load(); }

void CSdkWatch::LeaveBehind() {
    if (!g_leftBehind.exchange(true)) Zeph::Platform::PinModule();
}

CSdkWatch::Call::Call(CSdkWatch& watch, const char* entry, const char* session) : m_watch(watch), m_iId(0) {
    try {
        InFlight call{entry, session != nullptr ? session : "", Clock::now()};
        Zeph::Base::LockGuard lock(m_watch.m_mutex);
        m_iId = ++m_watch.m_iNextCall;
        m_watch.m_mapCalls.emplace(m_iId, std::move(call));
    } catch (...) {
        m_iId = 0;  // out of memory: the call goes unlisted rather than not at all
    }
}

CSdkWatch::Call::~Call() {
    if (m_iId == 0) return;
    bool waited = false;
    {
        Zeph::Base::LockGuard lock(m_watch.m_mutex);
        m_watch.m_mapCalls.erase(m_iId);
        waited = m_watch.m_iQuietWaiters > 0;
    }
    if (waited) m_watch.m_condQuiet.notify_all();
}

CSdkWatch::~CSdkWatch() { StopWorkers(); }

std::shared_ptr<CSdkWatch::Teardown> CSdkWatch::StartTeardown(const std::string& session, std::function<void()> job) {
    Reap();
    auto teardown = std::make_shared<Teardown>();
    teardown->session = session;
    teardown->start = Clock::now();
    teardown->job = std::move(job);
    {
        Zeph::Base::LockGuard lock(m_mutex);
        m_listTeardowns.push_back(teardown);
        if (!m_vIdle.empty() && !m_bStopWorkers) {
            Worker* worker = m_vIdle.back();
            m_vIdle.pop_back();
            worker->next = teardown;
            worker->wake.notify_one();
            return teardown;
        }
    }
    auto worker = std::make_shared<Worker>();
    worker->next = teardown;
    // Listed only once its thread is recorded, so that nobody joins a thread that is still being started.
    if (worker->thread.Start([this, worker] { WorkerLoop(worker); })) {
        Zeph::Base::LockGuard lock(m_mutex);
        m_listWorkers.push_back(worker);
        return teardown;
    }
    VANTRA_LOG_HERE(kLogFailure, kLogModule,
                    "[%s][Teardown] session:%s no thread for its release: released on the caller's thread[%s(%d)]",
                    "PexloCommon::CSdkWatch::StartTeardown", session.c_str(), kPath);
    Run(teardown, nullptr);
    return teardown;
}

void CSdkWatch::Run(const std::shared_ptr<Teardown>& teardown, Worker* worker) {
    try {
        teardown->job();
    } catch (...) {
        // What the teardown did not finish stays undone; the host's call is not the place to hear of it.
    }
    teardown->job = nullptr;
    bool waited = false;
    {
        // The worker is free again in the same step as its teardown is done, so that whoever sees the watch
        // quiet finds every worker free to be stopped and joined.
        Zeph::Base::LockGuard lock(m_mutex);
        teardown->done = true;
        m_listTeardowns.remove(teardown);
        if (worker != nullptr) worker->running = false;
        waited = m_iQuietWaiters > 0;
    }
    teardown->ended.notify_all();
    if (waited) m_condQuiet.notify_all();
}

void CSdkWatch::WorkerLoop(const std::shared_ptr<Worker>& worker) {
    Zeph::Platform::SetCurrentThreadName("vantra-teardown");
    Zeph::Base::UniqueLock lock(m_mutex);
    for (;;) {
        if (!worker->next) {
            if (m_bStopWorkers) break;
            m_vIdle.push_back(worker.get());
            const Clock::time_point until = Clock::now() + kWorkerIdle;
            while (!worker->next && !m_bStopWorkers) {
                if (worker->wake.wait_until(lock.Native(), until) == std::cv_status::timeout) break;
            }
            if (!worker->next) {
                m_vIdle.erase(std::find(m_vIdle.begin(), m_vIdle.end(), worker.get()));
                break;
            }
        }
        std::shared_ptr<Teardown> teardown = std::move(worker->next);
        worker->running = true;
        lock.Unlock();
        Run(teardown, worker.get());
        lock.Lock();
    }
    // Workers that ended before this one are joined by it, so that a quiet plugin keeps at most one ended thread
    // (with its stack) until the next teardown, Fini or the unload joins that one.
    std::vector<std::shared_ptr<Worker>> ended = TakeEnded();
    worker->ended = true;
    lock.Unlock();
    for (auto& other : ended) other->thread.Join();
}

bool CSdkWatch::AwaitTeardown(const std::shared_ptr<Teardown>& teardown, std::chrono::milliseconds bound) {
    {
        Zeph::Base::UniqueLock lock(m_mutex);
        const Clock::time_point until = teardown->start + bound;
        while (!teardown->done && Clock::now() < until) teardown->ended.wait_until(lock.Native(), until);
        if (teardown->done) return true;
    }
    VANTRA_LOG_HERE(kLogFailure, kLogModule,
                    "[%s][StopTakeStream] session:%s still being released after %lld ms: the release goes on "
                    "behind the stop[%s(%d)]",
                    "PexloCommon::CRealStreamWrapper::StopTakeStream", teardown->session.c_str(),
                    MsSince(teardown->start), kPath);
    LeaveBehind();
    return false;
}

std::vector<std::shared_ptr<CSdkWatch::Worker>> CSdkWatch::TakeEnded() {
    std::vector<std::shared_ptr<Worker>> ended;
    for (auto it = m_listWorkers.begin(); it != m_listWorkers.end();) {
        if ((*it)->ended) {
            ended.push_back(*it);
            it = m_listWorkers.erase(it);
        } else {
            ++it;
        }
    }
    return ended;
}

void CSdkWatch::Reap() {
    std::vector<std::shared_ptr<Worker>> ended;
    {
        Zeph::Base::LockGuard lock(m_mutex);
        ended = TakeEnded();
    }
    for (auto& worker : ended) worker->thread.Join();
}

void CSdkWatch::StopWorkers() {
    std::vector<std::shared_ptr<Worker>> workers;
    {
        Zeph::Base::LockGuard lock(m_mutex);
        m_bStopWorkers = true;
        // A worker still inside a teardown now was left behind: it is not waited for.
        for (auto it = m_listWorkers.begin(); it != m_listWorkers.end();) {
            if (!(*it)->running && !(*it)->next) {
                (*it)->wake.notify_one();
                workers.push_back(*it);
                it = m_listWorkers.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& worker : workers) worker->thread.Join();
    Zeph::Base::LockGuard lock(m_mutex);
    m_bStopWorkers = false;
}

bool CSdkWatch::WaitForQuiet(const char* caller) {
    const Clock::time_point start = Clock::now();
    const Clock::duration limit = CallLimit();
    std::vector<InFlight> left;
    size_t teardownsLeft = 0;
    {
        Zeph::Base::UniqueLock lock(m_mutex);
        ++m_iQuietWaiters;
        for (;;) {
            if (m_listTeardowns.empty() && m_mapCalls.empty()) break;
            const Clock::time_point giveUp = start + limit;
            if (Clock::now() >= giveUp) {
                for (const auto& call : m_mapCalls) left.push_back(call.second);
                teardownsLeft = m_listTeardowns.size();
                break;
            }
            m_condQuiet.wait_until(lock.Native(), giveUp);
        }
        --m_iQuietWaiters;
    }
    Reap();
    if (left.empty() && teardownsLeft == 0) return true;
    for (const InFlight& call : left) {
        VANTRA_LOG_HERE(kLogFailure, kLogModule,
                        "[%s][%s] %s(%s) has not returned after %lld ms: left behind, the SDK is not finished[%s(%d)]",
                        "PexloCommon::CSdkWatch::WaitForQuiet", caller, call.entry, call.session.c_str(),
                        MsSince(call.start), kPath);
    }
    if (left.empty()) {
        VANTRA_LOG_HERE(kLogFailure, kLogModule,
                        "[%s][%s] %d stream release(s) not done after %lld ms: left behind, the SDK is not "
                        "finished[%s(%d)]",
                        "PexloCommon::CSdkWatch::WaitForQuiet", caller, static_cast<int>(teardownsLeft), MsSince(start),
                        kPath);
    }
    LeaveBehind();
    return false;
}

size_t CSdkWatch::CallsInProgress() const {
    Zeph::Base::LockGuard lock(m_mutex);
    return m_mapCalls.size();
}

size_t CSdkWatch::TeardownsInProgress() const {
    Zeph::Base::LockGuard lock(m_mutex);
    return m_listTeardowns.size();
}

}  // namespace PexloCommon
