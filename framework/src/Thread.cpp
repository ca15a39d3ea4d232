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
    m_thread.Join();  // a thread that ended because Run() returned false
    if (!m_thread.Start([this] { Loop(); })) {
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
    // From the thread itself: the loop ends after this pass and the owner's next EndThread joins it. It is
    // never detached, since its loop still touches this object after Run() returns.
    if (m_thread.IsCurrent()) return;
    m_thread.Join();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bRunning = false;
}

bool CSingleBaseThreadNoAssert::IsThreadRunning() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bRunning;
}

void CSingleBaseThreadNoAssert::WakeThread() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bWake = true;
    }
    m_cond.notify_all();
}

uint64_t CSingleBaseThreadNoAssert::PassCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_iPasses;
}

bool CSingleBaseThreadNoAssert::WaitForPass(uint64_t seen, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_condPass.wait_for(lock, timeout, [&] { return m_iPasses > seen; });
}

void CSingleBaseThreadNoAssert::SetNextPause(std::chrono::milliseconds pause) { m_nextPause = pause; }

void CSingleBaseThreadNoAssert::Loop() {
    if (m_pszName != nullptr) Zeph::Platform::SetCurrentThreadName(m_pszName);
    std::unique_lock<std::mutex> lock(m_mutex);
    // A pause is a period, not a deadline: a wake-up up to a quarter of the base pause late lets the system
    // serve many workers' timers with one interrupt. The slack is fixed from the base pause, so a long pause
    // chosen by Run() is not made later by it; wakes by WakeThread or EndThread are not timers.
    Zeph::Platform::SetTimerSlackMs(static_cast<unsigned int>(m_iPauseMs / 4));
    while (!m_bStop) {
        // A wake that came before this pass is served by it.
        m_bWake = false;
        m_nextPause = std::chrono::milliseconds(-1);
        lock.unlock();
        bool again = Run();
        lock.lock();
        ++m_iPasses;
        m_condPass.notify_all();
        if (!again) break;
        const auto pause = m_nextPause.count() >= 0 ? m_nextPause : std::chrono::milliseconds(m_iPauseMs);
        m_cond.wait_for(lock, pause, [this] { return m_bStop || m_bWake; });
    }
    m_bRunning = false;
    m_condPass.notify_all();
}
}  // namespace Base
}  // namespace Zeph
