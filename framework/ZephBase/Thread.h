// A base class that owns one worker thread calling the derived class's Run() again and again.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "kestro/ThreadSafety.h"
#include "platform/Platform.h"

namespace Zeph {
namespace Base {

class CSingleBaseThreadNoAssert {
public:
    // Starts the thread, which calls Run() and then pauses, until EndThread() or until Run() returns false.
    // The pause is `pauseMs` milliseconds unless Run() chose another with SetNextPause(). A call while the
    // thread runs changes nothing and returns true.
    bool BeginThread(int pauseMs);
    // Wakes the thread at once (never waits out a pause) and joins it. Safe to call when no thread runs,
    // and from the thread itself: it then ends after the current Run() and is joined by the owner's next
    // call. The owner therefore never destroys the object on its own thread.
    void EndThread();
    bool IsThreadRunning() const;
    // Cuts the current pause short: the thread runs its next pass now. Harmless when no thread runs.
    void WakeThread();
    // Passes completed since construction. WaitForPass blocks until a pass completes after `seen` passes, or
    // until the time-out; tests use it to tell that a pass ran instead of sleeping.
    uint64_t PassCount() const;
    bool WaitForPass(uint64_t seen, std::chrono::milliseconds timeout) const;

protected:
    CSingleBaseThreadNoAssert();
    // A derived class must call EndThread() in its own destructor: Run() is gone by the time this runs.
    virtual ~CSingleBaseThreadNoAssert();
    virtual bool Run() = 0;
    // The name the thread gives itself when it starts (a literal: only the pointer is kept).
    void SetThreadName(const char* name) { m_pszName = name; }
    // From Run(): the pause after this pass, in place of the one given to BeginThread. Negative means none.
    void SetNextPause(std::chrono::milliseconds pause);

private:
    void Loop();

    // Lock order: m_mutexControl, then m_mutex. m_mutexControl serialises Begin/End; m_mutex guards the
    // flags, the pause and the pass count.
    Mutex m_mutexControl;
    mutable Mutex m_mutex ACQUIRED_AFTER(m_mutexControl);
    std::condition_variable m_cond;
    mutable std::condition_variable m_condPass;
    Zeph::Platform::ModuleThread m_thread GUARDED_BY(m_mutexControl);
    bool m_bStop GUARDED_BY(m_mutex) = false;
    bool m_bWake GUARDED_BY(m_mutex) = false;
    bool m_bRunning GUARDED_BY(m_mutex) = false;
    int m_iPauseMs GUARDED_BY(m_mutex) = 0;
    std::chrono::milliseconds m_nextPause{-1};  // set by Run() on the thread, used once
    uint64_t m_iPasses GUARDED_BY(m_mutex) = 0;
    const char* m_pszName = nullptr;
};

}  // namespace Base
}  // namespace Zeph
