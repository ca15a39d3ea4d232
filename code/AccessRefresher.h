// The thread that refreshes the access information once a day: started by Init, ended by Fini within Fini's
// deadline.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "kestro/ThreadSafety.h"
#include "platform/Platform.h"

namespace PexloCommon {

// A refresher that Fini cannot end in time (it is inside its exchange with the platform server) is left to end by
// itself: it is no longer the one to run, even once a later Init has started another, and it is joined once it
// has ended. Every refresher is joined by the end.
class CAccessRefresher {
public:
    CAccessRefresher() = default;
    ~CAccessRefresher();
    CAccessRefresher(const CAccessRefresher&) = delete;
    CAccessRefresher& operator=(const CAccessRefresher&) = delete;

    // Runs `body` on a new refresher ("vantra-refresh"); false when no thread could be started.
    bool Start(std::function<void()> body);
    // On a refresher's thread: whether it is still the one to run.
    bool IsCurrent() const;
    // Waits until `deadline` for the current refresher to end (its body must have been told to return), and joins
    // it; one that has not ended by then is left behind with a level-5 record.
    void Join(std::chrono::steady_clock::time_point deadline);

private:
    struct Thread {
        Zeph::Platform::ModuleThread thread;
        bool ended = false;  // under m_mutex
    };
    // Joins the refreshers left behind that have ended since.
    void Reap();

    // Touched by Init and Fini, which take turns, and by the destructor.
    std::shared_ptr<Thread> m_pCurrent;
    std::vector<std::shared_ptr<Thread>> m_vLeft;
    uint64_t m_iStarted = 0;
    std::atomic<uint64_t> m_iCurrent{0};  // the generation that is to run

    // A leaf: guards only the ended flags.
    mutable Zeph::Base::Mutex m_mutex;
    std::condition_variable m_condEnded;
};

}  // namespace PexloCommon
