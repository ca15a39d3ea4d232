// The timer every cloud stream source carries. Nothing in the plugin starts it, so it stays idle.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace PexloCommon {

class CTimer {
public:
    CTimer();
    ~CTimer();
    CTimer(const CTimer&) = delete;
    CTimer& operator=(const CTimer&) = delete;

    // Writes its trace record; wakes and joins the worker only when one runs.
    void stop();

    enum : int { kIdle = 0, kRunning = 1, kStopping = 2 };

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::atomic<int> m_iState{kIdle};  // stop() is called from several threads at once
    std::thread m_thread;
};

}  // namespace PexloCommon
