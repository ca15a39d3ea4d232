// Instance handles: fresh ones from a counter, returned ones again (oldest first) before any fresh one.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>

#include "kestro/kestro.h"

namespace PexloCommon {

class CHandleMgr {
public:
    static CHandleMgr* GetInstance();

    // A handle from 0 to kMaxHandle, a value given back earlier, or -1 when none is left.
    int CreateHandle();
    // Takes any value back for reuse; only its low 32 bits are issued again.
    void DestroyHandle(int64_t handle);

    static constexpr int kMaxHandle = 4096;
    // A host that gives back far more values than it ever received must not grow the list without
    // bound; beyond this many waiting values a given-back value is dropped with a failure record.
    static constexpr size_t kMaxRecoveryHandles = 65536;

private:
    template <class T>
    friend class CSingletonHolder;
    CHandleMgr() = default;

    // Guards m_vsRecoveryHandle only. Lock order: a leaf, taken alone; nothing is called while it is held.
    Kestro_Mutex m_mutex;
    std::deque<int64_t> m_vsRecoveryHandle GUARDED_BY(m_mutex);  // in the order given back
    int32_t m_iNextHandle GUARDED_BY(m_mutex) = 0;               // next never-issued handle
};

}  // namespace PexloCommon
