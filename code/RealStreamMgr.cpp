#include "RealStreamMgr.h"

#include <memory>

#include "PluginLog.h"
#include "Singleton.h"

namespace PexloCommon {

namespace {
constexpr const char* kPath = "..\\..\\code\\RealStreamMgr";
}

CRealStreamMgr* CRealStreamMgr::GetInstance() { return CSingletonHolder<CRealStreamMgr>::Get(); }

// The stream (and with it its SDK session) is made before its entry is listed, and deleted (its watchdog
// joined, its session freed) after its entry is gone: m_mutex is never held across either, so one camera's
// slow cloud holds up no other camera's start or stop.
CRealStream* CRealStreamMgr::CreateRealStream(const StreamParam& param) {
    VANTRA_LOG_HERE(kLogProgress, kLogModule,
                    "[%s][tvq-v1.10.0]CreateRealStream. struParam not found, so create CRealStream[%s(%d)]",
                    "PexloCommon::CRealStreamMgr::CreateRealStream", kPath);
    std::unique_ptr<CRealStream> stream(new CRealStream(param));
    Kestro_Guard guard(&m_mutex);
    // Reserved first, so the three appends below cannot fail half-way and the lists stay parallel.
    m_vStreamParam.reserve(m_vStreamParam.size() + 1);
    m_vRealStream.reserve(m_vRealStream.size() + 1);
    m_vUseCount.reserve(m_vUseCount.size() + 1);
    m_vStreamParam.push_back(param);
    m_vRealStream.push_back(stream.get());
    m_vUseCount.push_back(1);
    return stream.release();
}

bool CRealStreamMgr::DestroyRealStream(CRealStream*& pRealStream) {
    static const char* kFunc = "PexloCommon::CRealStreamMgr::DestroyRealStream";
    CRealStream* stream = nullptr;
    {
        Kestro_Guard guard(&m_mutex);
        VANTRA_LOG_HERE(kLogProgress, "[tvq-v1.10.0]DestroyRealStream begin.", kLogBare, kFunc, kPath);
        size_t index = 0;
        while (index < m_vRealStream.size() && m_vRealStream[index] != pRealStream) ++index;
        if (index == m_vRealStream.size()) return false;
        if (--m_vUseCount[index] > 0) return true;

        VANTRA_LOG_HERE(kLogProgress, kLogModule, "[%s][tvq-v1.10.0]DestroyRealStream. pRealStream erase.[%s(%d)]",
                        kFunc, kPath);
        stream = m_vRealStream[index];
        m_vRealStream.erase(m_vRealStream.begin() + static_cast<std::ptrdiff_t>(index));
        m_vStreamParam.erase(m_vStreamParam.begin() + static_cast<std::ptrdiff_t>(index));
        m_vUseCount.erase(m_vUseCount.begin() + static_cast<std::ptrdiff_t>(index));
    }
    delete stream;
    pRealStream = nullptr;
    return true;
}

size_t CRealStreamMgr::StreamCount() const {
    Kestro_Guard guard(&m_mutex);
    return m_vRealStream.size();
}

}  // namespace PexloCommon
