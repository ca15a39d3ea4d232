// Creates real streams and deletes each when its use count falls to zero.
#pragma once

#include <cstdint>
#include <vector>

#include "RealStream.h"
#include "StreamParam.h"
#include "kestro/kestro.h"

namespace PexloCommon {

class CRealStreamMgr {
public:
    static CRealStreamMgr* GetInstance();

    // Always a new entry and a new stream with use count 1.
    CRealStream* CreateRealStream(const StreamParam& param);
    // Releases one use; at zero deletes the stream and nulls the caller's pointer. False when not listed.
    bool DestroyRealStream(CRealStream*& pRealStream);

    size_t StreamCount() const;

    // Parallel lists: index i of each refers to the same entry. Guarded by m_mutex, which guards nothing else
    // and is held only while the lists change: never across a stream's construction or destruction (an SDK
    // session's allocation and free, a watchdog's join). Lock order: a wrapper's m_mutex, then this one;
    // nothing is taken while it is held, and no stream's thread takes it.
    std::vector<StreamParam> m_vStreamParam GUARDED_BY(m_mutex);
    std::vector<CRealStream*> m_vRealStream GUARDED_BY(m_mutex);
    std::vector<int32_t> m_vUseCount GUARDED_BY(m_mutex);
    mutable Kestro_Mutex m_mutex;

private:
    template <class T>
    friend class CSingletonHolder;
    CRealStreamMgr() = default;
};

}  // namespace PexloCommon
