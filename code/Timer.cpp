#include "Timer.h"

#include "PluginLog.h"

namespace PexloCommon {

CTimer::CTimer() = default;

CTimer::~CTimer() { stop(); }

void CTimer::stop() {
    VANTRA_LOG(kLogProgress, "11111111111111111111111", kLogBare, "PexloCommon::CTimer::stop", "..\\..\\code\\Timer",
               23);
    int running = kRunning;
    if (!m_iState.compare_exchange_strong(running, kStopping)) return;
    m_cond.notify_one();
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) m_thread.join();
    m_iState.store(kIdle);
}

}  // namespace PexloCommon
