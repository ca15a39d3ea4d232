// Bounds what the host waits for in the cloud SDK: the plugin's calls into it, and stream teardowns on threads
// of their own.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "kestro/ThreadSafety.h"
#include "platform/Platform.h"

namespace PexloCommon {

// The closed SDK may take seconds in any call, or never return. What a host call needs of it (a stream's
// teardown, a start's allocation, the initialisation, the error code) therefore runs as a job on a worker thread of
// the watch's ("vantra-teardown"), and the host call waits for it only up to a bound; what is not done by then goes
// on behind the call. Every call into the SDK is listed from its start to its return, so that Fini and the unload
// can wait for what is under way and leave behind, by name, what has not come back.
//
// Workers wait for the next job for a while before they end, so that a host call hands its job to a thread that is
// already there: a woken thread is scheduled at once where a new one queues behind every busy one. There are at
// most WorkerCap() workers: past it, or when no thread can be started, a job waits in line for a free worker, so
// a cloud that never returns costs a bounded number of threads.
//
// Anything left behind pins the plugin's module: a thread still inside the SDK returns into the plugin's code,
// which an unload must then not take away.
class CSdkWatch {
public:
    CSdkWatch() = default;
    ~CSdkWatch();
    CSdkWatch(const CSdkWatch&) = delete;
    CSdkWatch& operator=(const CSdkWatch&) = delete;

    // One call into the SDK, listed while it runs.
    class Call {
    public:
        Call(CSdkWatch& watch, const char* entry, const char* session);
        ~Call();
        Call(const Call&) = delete;
        Call& operator=(const Call&) = delete;

    private:
        CSdkWatch& m_watch;
        uint64_t m_iId;
    };

    struct Job;
    // Hands `body` to a worker; `label` names it in records (a stream's session, or what the job does). Never
    // runs it on the caller's thread.
    std::shared_ptr<Job> StartJob(const std::string& label, std::function<void()> body);
    // Waits until `deadline` for it. True when it is done; otherwise it goes on behind the caller, and the module is
    // pinned unless `leaveBehind` is false (a caller that will wait again). The caller writes the record.
    bool AwaitJob(const std::shared_ptr<Job>& job, std::chrono::steady_clock::time_point deadline,
                  bool leaveBehind = true);
    bool AwaitJob(const std::shared_ptr<Job>& job, std::chrono::milliseconds bound, bool leaveBehind = true) {
        return AwaitJob(job, std::chrono::steady_clock::now() + bound, leaveBehind);
    }
    bool IsDone(const std::shared_ptr<Job>& job) const;
    // The SDK entry point the job is inside now, or a text that says it waits for a worker or is between calls.
    static const char* WhereIs(const Job& job);
    // Whole milliseconds since `start`, for records.
    static long long MsSince(std::chrono::steady_clock::time_point start);

    // Waits until no job and no SDK call is under way, until `deadline` at most (CallLimit() from now when not
    // given). True when nothing is left; otherwise each call left is written as a level-5 record naming `caller`,
    // and the module is pinned. With `again` false, what an earlier wait left behind is not waited for again (the
    // unload and the exit), though true is still not returned while it is there.
    bool WaitForQuiet(const char* caller, std::chrono::steady_clock::time_point deadline, bool again = true);
    bool WaitForQuiet(const char* caller) {
        return WaitForQuiet(caller, std::chrono::steady_clock::now() + CallLimit());
    }
    // Ends and joins the idle workers (at unload, after WaitForQuiet); one still inside a teardown is left.
    void StopWorkers();

    size_t CallsInProgress() const;
    size_t JobsInProgress() const;
    // Workers started and not ended, idle or not.
    size_t WorkersAlive() const;

    // True once anything was left behind in the SDK: nothing the SDK may still return into or call back into
    // is torn down or freed after that.
    static bool LeftBehind();
    // Notes that something was left behind in the SDK, and pins the module the first time.
    static void LeaveBehind();

    // How long a stop, a start's SDK part and the error query wait for their job, and how long Init's SDK calls,
    // Fini and the unload wait for what is under way.
    static constexpr std::chrono::milliseconds kStopBound{1000};
    static constexpr std::chrono::milliseconds kCallLimit{10000};
    // How long a waiter looks at its job before it sleeps until the job wakes it.
    static constexpr std::chrono::microseconds kSpin{1000};
    // How long a worker waits for the next job before it ends.
    static constexpr std::chrono::milliseconds kWorkerIdle{2000};
    // The most workers at once, and so the most jobs that a cloud that never returns can hold.
    static constexpr size_t kWorkerCap = 64;
    static std::chrono::milliseconds StopBound();
    static std::chrono::milliseconds CallLimit();
    static size_t WorkerCap();
    // Shorter bounds and a smaller cap for tests; zero restores the defaults.
    static void SetBoundsForTest(std::chrono::milliseconds stop, std::chrono::milliseconds calls);
    static void SetWorkerCapForTest(size_t cap);

private:
    struct InFlight {
        const char* entry;
        std::string session;
        std::chrono::steady_clock::time_point start;
        bool left = false;  // an earlier wait left it behind: no wait waits for it again
    };
    // Whether anything is under way (with `again` false: anything not yet left behind).
    bool Busy(bool again) const REQUIRES(m_mutex);
    // The fields are under the watch's lock.
    struct Worker {
        Zeph::Platform::ModuleThread thread;
        std::shared_ptr<Job> next;  // handed over, not yet taken
        bool running = false;       // inside a job
        bool ended = false;
        std::condition_variable wake;  // a job was handed over or is waiting in line, or the workers are to end
    };
    void WorkerLoop(const std::shared_ptr<Worker>& worker);
    // Runs a job on `worker`'s thread.
    void Run(const std::shared_ptr<Job>& job, Worker* worker);
    // Joins the workers that have ended, outside the lock.
    void Reap();
    // Takes the ended workers off the list, for the caller to join once the lock is released.
    std::vector<std::shared_ptr<Worker>> TakeEnded() REQUIRES(m_mutex);

    // A leaf, held only for the lists' bookkeeping: never across an SDK call, a teardown or a join.
    mutable Zeph::Base::Mutex m_mutex;
    std::condition_variable m_condQuiet;  // a call returned or a teardown ended, while m_iQuietWaiters > 0
    std::map<uint64_t, InFlight> m_mapCalls GUARDED_BY(m_mutex);
    uint64_t m_iNextCall GUARDED_BY(m_mutex) = 0;
    std::list<std::shared_ptr<Job>> m_listJobs GUARDED_BY(m_mutex);    // every job not yet done
    std::deque<std::shared_ptr<Job>> m_queueJobs GUARDED_BY(m_mutex);  // waiting for a worker, oldest first
    std::list<std::shared_ptr<Worker>> m_listWorkers GUARDED_BY(m_mutex);
    size_t m_iLiveWorkers GUARDED_BY(m_mutex) = 0;     // started and not ended: what the cap counts
    std::vector<Worker*> m_vIdle GUARDED_BY(m_mutex);  // waiting for a job, the latest last
    bool m_bStopWorkers GUARDED_BY(m_mutex) = false;
    int m_iQuietWaiters GUARDED_BY(m_mutex) = 0;
};

struct CSdkWatch::Job {
    std::string label;
    std::chrono::steady_clock::time_point start;
    std::function<void()> body;
    std::atomic<const char*> entry{nullptr};  // the SDK entry point it is inside, while it is
    std::atomic<bool> running{false};         // taken by a worker
    std::atomic<bool> finished{false};        // done, for a waiter that looks without the lock
    bool done = false;                        // under the watch's lock
    bool left = false;                        // under the watch's lock: an earlier WaitForQuiet left it behind
    std::condition_variable ended;            // its waiter's alone: a busy plugin has many calls waiting at once
};

}  // namespace PexloCommon
