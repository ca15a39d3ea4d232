#include "ZephBase/Thread.h"

#include <chrono>

#include "platform/Platform.h"

namespace Zeph {
namespace Base {

CSingleBaseThreadNoAssert::CSingleBaseThreadNoAssert() = default;

CSingleBaseThreadNoAssert::~CSingleBaseThreadNoAssert() { EndThread(); }

bool CSingleBaseThreadNoAssert::BeginThread(int pauseMs) {
    LockGuard control(m_mutexControl);
    {
        LockGuard lock(m_mutex);
        if (m_bRunning) return true;
        m_bStop = false;
        m_iPauseMs = pauseMs < 0 ? 0 : pauseMs;
        m_bRunning = true;
    }
    m_thread.Join();  // a thread that ended because Run() returned false
    if (!m_thread.Start([this] { Loop(); })) {
        LockGuard lock(m_mutex);
        m_bRunning = false;
        return false;
    }
    return true;
}

void CSingleBaseThreadNoAssert::EndThread() {
    LockGuard control(m_mutexControl);
    {
        LockGuard lock(m_mutex);
        m_bStop = true;
    }
    m_cond.notify_all();
    // From the thread itself: the loop ends after this pass and the owner's next EndThread joins it. It is
    // never detached, since its loop still touches this object after Run() returns.
    if (m_thread.IsCurrent()) return;
    m_thread.Join();
    LockGuard lock(m_mutex);
    m_bRunning = false;
}

bool CSingleBaseThreadNoAssert::IsThreadRunning() const {
    LockGuard lock(m_mutex);
    return m_bRunning;
}

void CSingleBaseThreadNoAssert::WakeThread() {
    {
        LockGuard lock(m_mutex);
        m_bWake = true;
    }
    m_cond.notify_all();
}

uint64_t CSingleBaseThreadNoAssert::PassCount() const {
    LockGuard lock(m_mutex);
    return m_iPasses;
}

bool CSingleBaseThreadNoAssert::WaitForPass(uint64_t seen, std::chrono::milliseconds timeout) const {
    UniqueLock lock(m_mutex);
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (m_iPasses <= seen) {
        if (m_condPass.wait_until(lock.Native(), end) == std::cv_status::timeout) return m_iPasses > seen;
    }
    return true;
}

void CSingleBaseThreadNoAssert::SetNextPause(std::chrono::milliseconds pause) { m_nextPause = pause; }

void CSingleBaseThreadNoAssert::Loop() {
    if (m_pszName != nullptr) Zeph::Platform::SetCurrentThreadName(m_pszName);
    UniqueLock lock(m_mutex);
    // A pause is a period, not a deadline: a wake-up up to a quarter of the base pause late lets the system
    // serve many workers' timers with one interrupt. The slack is fixed from the base pause, so a long pause
    // chosen by Run() is not made later by it; wakes by WakeThread or EndThread are not timers.
    Zeph::Platform::SetTimerSlackMs(static_cast<unsigned int>(m_iPauseMs / 4));
    while (!m_bStop) {
        // A wake that came before this pass is served by it.
        m_bWake = false;
        m_nextPause = std::chrono::milliseconds(-1);
        lock.Unlock();
        bool again = Run();
        lock.Lock();
        ++m_iPasses;
        m_condPass.notify_all();
        if (!again) break;
        const auto pause = m_nextPause.count() >= 0 ? m_nextPause : std::chrono::milliseconds(m_iPauseMs);
        const auto end = std::chrono::steady_clock::now() + pause;
        while (!m_bStop && !m_bWake) {
            if (m_cond.wait_until(lock.Native(), end) == std::cv_status::timeout) break;
        }
    }
    m_bRunning = false;
    m_condPass.notify_all();
}
}  // namespace Base
}  // namespace Zeph
