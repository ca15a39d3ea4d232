#include "SdkWatch.h"

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "PluginLog.h"

namespace PexloCommon {

namespace {
constexpr const char* kPath = "..\\..\\code\\SdkWatch";

std::atomic<bool> g_leftBehind{false};
std::atomic<int64_t> g_stopBoundMs{0};
std::atomic<int64_t> g_callLimitMs{0};
std::atomic<size_t> g_workerCap{0};
// The job this thread is running, so that each SDK call it makes is noted as where it is.
thread_local CSdkWatch::Job* t_pJob = nullptr;

using Clock = std::chrono::steady_clock;
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

size_t CSdkWatch::WorkerCap() {
    const size_t cap = g_workerCap.load();
    return cap > 0 ? cap : kWorkerCap;
}

void CSdkWatch::SetWorkerCapForTest(size_t cap) { g_workerCap.store(cap); }

bool CSdkWatch::LeftBehind() { return g_leftBehind.load(); }

void CSdkWatch::LeaveBehind() {
    if (!g_leftBehind.exchange(true)) Zeph::Platform::PinModule();
}

CSdkWatch::Call::Call(CSdkWatch& watch, const char* entry, const char* session) : m_watch(watch), m_iId(0) {
    if (t_pJob != nullptr) t_pJob->entry.store(entry);
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
    if (t_pJob != nullptr) t_pJob->entry.store(nullptr);
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

std::shared_ptr<CSdkWatch::Job> CSdkWatch::StartJob(const std::string& label, std::function<void()> body) {
    Reap();
    auto job = std::make_shared<Job>();
    job->label = label;
    job->start = Clock::now();
    job->body = std::move(body);
    std::shared_ptr<Worker> worker;
    {
        Zeph::Base::LockGuard lock(m_mutex);
        m_listJobs.push_back(job);
        if (!m_vIdle.empty() && !m_bStopWorkers) {
            Worker* idle = m_vIdle.back();
            m_vIdle.pop_back();
            idle->next = job;
            idle->wake.notify_one();
            return job;
        }
        // In line, in the order the jobs came: a new worker takes the oldest.
        m_queueJobs.push_back(job);
        if (m_iLiveWorkers >= WorkerCap()) return job;
        worker = std::make_shared<Worker>();
        worker->next = m_queueJobs.front();
        m_queueJobs.pop_front();
        ++m_iLiveWorkers;
    }
    // Listed only once its thread is recorded, so that nobody joins a thread that is still being started.
    if (worker->thread.Start([this, worker] { WorkerLoop(worker); })) {
        Zeph::Base::LockGuard lock(m_mutex);
        m_listWorkers.push_back(worker);
        return job;
    }
    {
        Zeph::Base::LockGuard lock(m_mutex);
        --m_iLiveWorkers;
        m_queueJobs.push_front(worker->next);
    }
    VANTRA_LOG_HERE(kLogFailure, kLogModule,
                    "[%s][Job] %s: no thread could be started: it waits for a free worker[%s(%d)]",
                    "PexloCommon::CSdkWatch::StartJob", label.c_str(), kPath);
    return job;
}

void CSdkWatch::Run(const std::shared_ptr<Job>& job, Worker* worker) {
    job->running.store(true);
    t_pJob = job.get();
    try {
        job->body();
    } catch (...) {
        // What the job did not finish stays undone; the host's call is not the place to hear of it.
    }
    t_pJob = nullptr;
    job->body = nullptr;
    bool waited = false;
    {
        // The worker is free again in the same step as its job is done, so that whoever sees the watch quiet finds
        // every worker free to be stopped and joined.
        Zeph::Base::LockGuard lock(m_mutex);
        job->done = true;
        job->finished.store(true, std::memory_order_release);
        m_listJobs.remove(job);
        worker->running = false;
        waited = m_iQuietWaiters > 0;
    }
    job->ended.notify_all();
    if (waited) m_condQuiet.notify_all();
}

void CSdkWatch::WorkerLoop(const std::shared_ptr<Worker>& worker) {
    Zeph::Platform::SetCurrentThreadName("vantra-teardown");
    Zeph::Base::UniqueLock lock(m_mutex);
    for (;;) {
        if (!worker->next && !m_queueJobs.empty()) {
            worker->next = m_queueJobs.front();
            m_queueJobs.pop_front();
        }
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
        std::shared_ptr<Job> job = std::move(worker->next);
        worker->running = true;
        lock.Unlock();
        Run(job, worker.get());
        lock.Lock();
    }
    // Workers that ended before this one are joined by it, so that a quiet plugin keeps at most one ended thread
    // (with its stack) until the next job, Fini or the unload joins that one.
    std::vector<std::shared_ptr<Worker>> ended = TakeEnded();
    worker->ended = true;
    --m_iLiveWorkers;
    lock.Unlock();
    for (auto& other : ended) other->thread.Join();
}

bool CSdkWatch::AwaitJob(const std::shared_ptr<Job>& job, Clock::time_point deadline, bool leaveBehind) {
    // A healthy SDK is done within a fraction of a millisecond: looking a while first spares the waiter the
    // scheduler's wake-up, which would cost about as much again. Only a few waiters at once look, so that many of
    // them never keep the workers from the cores.
    static std::atomic<unsigned> spinning{0};
    static const unsigned spinners = std::max(1u, std::thread::hardware_concurrency() / 2);
    if (spinning.fetch_add(1) < spinners) {
        const Clock::time_point spinUntil = std::min(deadline, Clock::now() + kSpin);
        while (!job->finished.load(std::memory_order_acquire) && Clock::now() < spinUntil) std::this_thread::yield();
    }
    spinning.fetch_sub(1);
    if (job->finished.load(std::memory_order_acquire)) return true;
    {
        Zeph::Base::UniqueLock lock(m_mutex);
        while (!job->done && Clock::now() < deadline) job->ended.wait_until(lock.Native(), deadline);
        if (job->done) return true;
    }
    if (leaveBehind) LeaveBehind();
    return false;
}

long long CSdkWatch::MsSince(Clock::time_point start) {
    return static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

bool CSdkWatch::IsDone(const std::shared_ptr<Job>& job) const {
    Zeph::Base::LockGuard lock(m_mutex);
    return job->done;
}

const char* CSdkWatch::WhereIs(const Job& job) {
    if (const char* entry = job.entry.load()) return entry;
    return job.running.load() ? "(between SDK calls)" : "(waiting for a free worker)";
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
        // A worker still inside a job now was left behind: it is not waited for.
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

bool CSdkWatch::Busy(bool again) const {
    for (const auto& call : m_mapCalls) {
        if (again || !call.second.left) return true;
    }
    for (const auto& job : m_listJobs) {
        if (again || !job->left) return true;
    }
    return false;
}

bool CSdkWatch::WaitForQuiet(const char* caller, Clock::time_point deadline, bool again) {
    const Clock::time_point start = Clock::now();
    std::vector<InFlight> left;
    size_t jobsLeft = 0;
    bool leftBefore = false;
    {
        Zeph::Base::UniqueLock lock(m_mutex);
        ++m_iQuietWaiters;
        while (Busy(again) && Clock::now() < deadline) m_condQuiet.wait_until(lock.Native(), deadline);
        for (auto& call : m_mapCalls) {
            if (call.second.left) {
                leftBefore = true;
                continue;
            }
            call.second.left = true;
            left.push_back(call.second);
        }
        for (auto& job : m_listJobs) {
            if (job->left) {
                leftBefore = true;
                continue;
            }
            job->left = true;
            ++jobsLeft;
        }
        --m_iQuietWaiters;
    }
    Reap();
    if (left.empty() && jobsLeft == 0) return !leftBefore;
    for (const InFlight& call : left) {
        VANTRA_LOG_HERE(kLogFailure, kLogModule,
                        "[%s][%s] %s(%s) has not returned after %lld ms: left behind, the SDK is not finished[%s(%d)]",
                        "PexloCommon::CSdkWatch::WaitForQuiet", caller, call.entry, call.session.c_str(),
                        MsSince(call.start), kPath);
    }
    if (left.empty()) {
        VANTRA_LOG_HERE(kLogFailure, kLogModule,
                        "[%s][%s] %d job(s) on the SDK not done after %lld ms: left behind, the SDK is not "
                        "finished[%s(%d)]",
                        "PexloCommon::CSdkWatch::WaitForQuiet", caller, static_cast<int>(jobsLeft), MsSince(start),
                        kPath);
    }
    LeaveBehind();
    return false;
}

size_t CSdkWatch::CallsInProgress() const {
    Zeph::Base::LockGuard lock(m_mutex);
    return m_mapCalls.size();
}

size_t CSdkWatch::WorkersAlive() const {
    Zeph::Base::LockGuard lock(m_mutex);
    return m_iLiveWorkers;
}

size_t CSdkWatch::JobsInProgress() const {
    Zeph::Base::LockGuard lock(m_mutex);
    return m_listJobs.size();
}

}  // namespace PexloCommon
