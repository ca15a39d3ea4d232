// Bounds what the host waits for in the cloud SDK: the plugin's calls into it, and stream teardowns on threads
// of their own.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "kestro/ThreadSafety.h"
#include "platform/Platform.h"

namespace PexloCommon {

// The closed SDK may take seconds to stop or free a session, or never return. A stream's teardown therefore
// runs on a worker thread of the watch's ("vantra-teardown"), and a host call waits for it only up to a bound;
// what is not done by then goes on behind the call. Every call into the SDK is listed from its start to its
// return, so that Fini and the unload can wait for what is under way and leave behind, by name, what has not
// come back.
//
// Workers wait for the next teardown for a while before they end, so that a stop hands its teardown to a thread
// that is already there: a woken thread is scheduled at once where a new one queues behind every busy one.
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

    struct Teardown;
    // Hands `job`, the teardown of the stream whose session is `session`, to a worker (runs it on the caller's
    // own thread when no worker can be had).
    std::shared_ptr<Teardown> StartTeardown(const std::string& session, std::function<void()> job);
    // Waits up to `bound` for it. True when it is done; otherwise a level-5 record says how long the session's
    // release has taken so far, the teardown goes on behind the caller, and the module is pinned.
    bool AwaitTeardown(const std::shared_ptr<Teardown>& teardown, std::chrono::milliseconds bound);

    // Waits until no teardown and no SDK call is under way, for CallLimit() at most. True when nothing is left;
    // otherwise each call left is written as a level-5 record naming `caller`, and the module is pinned.
    bool WaitForQuiet(const char* caller);
    // Ends and joins the idle workers (at unload, after WaitForQuiet); one still inside a teardown is left.
    void StopWorkers();

    size_t CallsInProgress() const;
    size_t TeardownsInProgress() const;

    // True once anything was left behind in the SDK: nothing the SDK may still return into or call back into
    // is torn down or freed after that.
    static bool LeftBehind();

    // How long a stop waits for its teardown, and how long Fini and the unload wait for a call.
    static constexpr std::chrono::milliseconds kStopBound{1000};
    static constexpr std::chrono::milliseconds kCallLimit{10000};
    // How long a worker waits for the next teardown before it ends.
    static constexpr std::chrono::milliseconds kWorkerIdle{2000};
    static std::chrono::milliseconds StopBound();
    static std::chrono::milliseconds CallLimit();
    // Shorter bounds for tests; zero restores the defaults.
    static void SetBoundsForTest(std::chrono::milliseconds stop, std::chrono::milliseconds calls);

private:
    struct InFlight {
        const char* entry;
        std::string session;
        std::chrono::steady_clock::time_point start;
    };
    // The fields are under the watch's lock.
    struct Worker {
        Zeph::Platform::ModuleThread thread;
        std::shared_ptr<Teardown> next;  // handed over, not yet taken
        bool running = false;            // inside a teardown
        bool ended = false;
        std::condition_variable wake;  // a teardown was handed over, or the workers are to end
    };
    void WorkerLoop(const std::shared_ptr<Worker>& worker);
    // Runs a teardown on `worker`'s thread (null: on the caller's).
    void Run(const std::shared_ptr<Teardown>& teardown, Worker* worker);
    // Joins the workers that have ended, outside the lock.
    void Reap();
    // Takes the ended workers off the list, for the caller to join once the lock is released.
    std::vector<std::shared_ptr<Worker>> TakeEnded() REQUIRES(m_mutex);
    void LeaveBehind();

    // A leaf, held only for the lists' bookkeeping: never across an SDK call, a teardown or a join.
    mutable Zeph::Base::Mutex m_mutex;
    std::condition_variable m_condQuiet;  // a call returned or a teardown ended, while m_iQuietWaiters > 0
    std::map<uint64_t, InFlight> m_mapCalls GUARDED_BY(m_mutex);
    uint64_t m_iNextCall GUARDED_BY(m_mutex) = 0;
    std::list<std::shared_ptr<Teardown>> m_listTeardowns GUARDED_BY(m_mutex);  // not yet done
    std::list<std::shared_ptr<Worker>> m_listWorkers GUARDED_BY(m_mutex);
    std::vector<Worker*> m_vIdle GUARDED_BY(m_mutex);  // waiting for a teardown, the latest last
    bool m_bStopWorkers GUARDED_BY(m_mutex) = false;
    int m_iQuietWaiters GUARDED_BY(m_mutex) = 0;
};

struct CSdkWatch::Teardown {
    std::string session;
    std::chrono::steady_clock::time_point start;
    std::function<void()> job;
    bool done = false;              // under the watch's lock
    std::condition_variable ended;  // its waiter's alone: a busy plugin has many stops waiting at once
};

}  // namespace PexloCommon
