#include "AccessRefresher.h"

#include "PluginLog.h"
#include "SdkWatch.h"

namespace PexloCommon {

namespace {
constexpr const char* kPath = "..\\..\\code\\AccessRefresher";
// The generation of the refresher running on this thread (0 on any other thread).
thread_local uint64_t t_iGeneration = 0;
}  // namespace

// A refresher left behind marks the plugin as having left something behind, so its objects, this one among them,
// are kept for it rather than destroyed.
CAccessRefresher::~CAccessRefresher() { Join(std::chrono::steady_clock::now() + CSdkWatch::CallLimit()); }

bool CAccessRefresher::Start(std::function<void()> body) {
    Reap();
    auto refresher = std::make_shared<Thread>();
    const uint64_t generation = ++m_iStarted;
    m_iCurrent.store(generation);
    if (!refresher->thread.Start([this, refresher, generation, body = std::move(body)] {
            t_iGeneration = generation;
            body();
            {
                Zeph::Base::LockGuard lock(m_mutex);
                refresher->ended = true;
            }
            m_condEnded.notify_all();
        })) {
        return false;
    }
    m_pCurrent = std::move(refresher);
    return true;
}

bool CAccessRefresher::IsCurrent() const { return t_iGeneration != 0 && t_iGeneration == m_iCurrent.load(); }

void CAccessRefresher::Join(std::chrono::steady_clock::time_point deadline) {
    std::shared_ptr<Thread> refresher = std::move(m_pCurrent);
    // Whatever it is doing, it is no longer the one to run.
    m_iCurrent.store(0);
    if (refresher) {
        bool ended = false;
        {
            Zeph::Base::UniqueLock lock(m_mutex);
            m_condEnded.wait_until(lock.Native(), deadline, [&] { return refresher->ended; });
            ended = refresher->ended;
        }
        if (ended) {
            refresher->thread.Join();
        } else {
            VANTRA_LOG_HERE(kLogFailure, kLogModule,
                            "[%s][DeviceObject_Fini] the refresher has not ended in time: left to end on its "
                            "own[%s(%d)]",
                            "PexloCommon::CAccessRefresher::Join", kPath);
            CSdkWatch::LeaveBehind();
            m_vLeft.push_back(std::move(refresher));
        }
    }
    Reap();
}

void CAccessRefresher::Reap() {
    for (auto it = m_vLeft.begin(); it != m_vLeft.end();) {
        bool ended = false;
        {
            Zeph::Base::LockGuard lock(m_mutex);
            ended = (*it)->ended;
        }
        if (ended) {
            (*it)->thread.Join();
            it = m_vLeft.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace PexloCommon
