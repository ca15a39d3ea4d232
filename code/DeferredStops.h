// Stops that a host's data callback asked for: carried out on the SDK's workers once the callback has returned.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>

#include "RealStreamWrapper.h"
#include "SdkWatch.h"
#include "kestro/ThreadSafety.h"
#include "platform/Platform.h"

namespace PexloCommon {

// From inside a delivery a stop could wait for a delivery that waits for this one (its own, or one whose callback is
// stopping this thread's stream). So the request is cut off from the host at once, and the rest of its stop runs as a
// job of the SDK's watch: several such stops run side by side, each with its own bound, and Fini and the unload wait
// for them as for every job. A stop from outside any callback waits, within its own bound, for those of its handle.
class CDeferredStops {
public:
    CDeferredStops() = default;
    CDeferredStops(const CDeferredStops&) = delete;
    CDeferredStops& operator=(const CDeferredStops&) = delete;

    // `delivery`, a request of handle `key`, is cut off from the host here; its stop follows on a worker.
    void Defer(uint64_t key, const std::shared_ptr<CReciveData2SMS>& delivery) EXCLUDES(m_mutex);
    // Waits until `deadline` for the stops of `key` still under way. True when none is left.
    bool AwaitFor(uint64_t key, std::chrono::steady_clock::time_point deadline) EXCLUDES(m_mutex);

private:
    // Forgets the stops that are done.
    void Prune(CSdkWatch& watch) REQUIRES(m_mutex);

    // Held only for the map, never across a stop or a wait. Lock order: this one, then the watch's.
    Zeph::Base::Mutex m_mutex;
    std::multimap<uint64_t, std::shared_ptr<CSdkWatch::Job>> m_mapPending GUARDED_BY(m_mutex);
};

}  // namespace PexloCommon
