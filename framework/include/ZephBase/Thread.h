// A base class that owns one worker thread calling the derived class's Run() again and again.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

namespace Zeph {
namespace Base {

class CSingleBaseThreadNoAssert {
public:
    // Starts the thread, which calls Run() and then pauses `pauseMs` milliseconds, until EndThread()
    // or until Run() returns false. A call while the thread runs changes nothing and returns true.
    bool BeginThread(int pauseMs);
    // Wakes the thread at once (never waits out a pause) and joins it. Safe to call when no thread
    // runs, and from the thread itself (which then ends after the current Run()).
    void EndThread();
    bool IsThreadRunning() const;

protected:
    CSingleBaseThreadNoAssert();
    // A derived class must call EndThread() in its own destructor: Run() is gone by the time this runs.
    virtual ~CSingleBaseThreadNoAssert();
    virtual bool Run() = 0;
    // The name the thread gives itself when it starts (a literal: only the pointer is kept).
    void SetThreadName(const char* name) { m_pszName = name; }

private:
    void Loop();

    // Lock order: m_mutexControl, then m_mutex. m_mutexControl serialises Begin/End; m_mutex guards the
    // stop flag and the pause.
    std::mutex m_mutexControl;
    mutable std::mutex m_mutex;
    std::condition_variable m_cond;
    std::thread m_thread;
    bool m_bStop = false;
    bool m_bRunning = false;
    int m_iPauseMs = 0;
    const char* m_pszName = nullptr;
};

}  // namespace Base
}  // namespace Zeph
