#include "DeferredStops.h"

#include <vector>

#include "PexloInterfaceMgr.h"

namespace PexloCommon {

void CDeferredStops::Defer(uint64_t key, const std::shared_ptr<CReciveData2SMS>& delivery) {
    // Before the callback that asked returns: nothing of this request reaches the host after it.
    delivery->CutOffHost();
    CSdkWatch& watch = CPexloInterfaceMgr::GetInstance()->Watch();
    auto job = watch.StartJob("DeviceObject_StopStream", [delivery] { delivery->StopHere(); });
    Zeph::Base::LockGuard lock(m_mutex);
    Prune(watch);
    m_mapPending.emplace(key, std::move(job));
}

bool CDeferredStops::AwaitFor(uint64_t key, std::chrono::steady_clock::time_point deadline) {
    CSdkWatch& watch = CPexloInterfaceMgr::GetInstance()->Watch();
    std::vector<std::shared_ptr<CSdkWatch::Job>> pending;
    {
        Zeph::Base::LockGuard lock(m_mutex);
        Prune(watch);
        auto range = m_mapPending.equal_range(key);
        for (auto it = range.first; it != range.second; ++it) pending.push_back(it->second);
    }
    bool done = true;
    for (const auto& job : pending) done = watch.AwaitJob(job, deadline) && done;
    return done;
}

void CDeferredStops::Prune(CSdkWatch& watch) {
    for (auto it = m_mapPending.begin(); it != m_mapPending.end();) {
        it = watch.IsDone(it->second) ? m_mapPending.erase(it) : std::next(it);
    }
}

}  // namespace PexloCommon
