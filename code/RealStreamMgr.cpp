#include "RealStreamMgr.h"

#include "PluginLog.h"
#include "Singleton.h"

namespace PexloCommon {

namespace {
constexpr const char* kPath = "..\\..\\code\\RealStreamMgr";
}

CRealStreamMgr* CRealStreamMgr::GetInstance() { return CSingletonHolder<CRealStreamMgr>::Get(); }

CRealStream* CRealStreamMgr::CreateRealStream(const StreamParam& param) {
    Kestro_Guard guard(&m_mutex);
    VANTRA_LOG(kLogProgress, kLogModule,
               "[%s][tvq-v1.10.0]CreateRealStream. struParam not found, so create CRealStream[%s(%d)]",
               "PexloCommon::CRealStreamMgr::CreateRealStream", kPath, __LINE__);
    m_vStreamParam.push_back(param);
    CRealStream* stream = nullptr;
    try {
        stream = new CRealStream(m_vStreamParam.back());
        m_vRealStream.push_back(stream);
        m_vUseCount.push_back(1);
    } catch (...) {
        // Keep the lists parallel whatever failed.
        if (m_vRealStream.size() == m_vStreamParam.size()) m_vRealStream.pop_back();
        m_vStreamParam.pop_back();
        delete stream;
        throw;
    }
    return stream;
}

bool CRealStreamMgr::DestroyRealStream(CRealStream*& pRealStream) {
    static const char* kFunc = "PexloCommon::CRealStreamMgr::DestroyRealStream";
    Kestro_Guard guard(&m_mutex);
    VANTRA_LOG(kLogProgress, "[tvq-v1.10.0]DestroyRealStream begin.", kLogBare, kFunc, kPath, __LINE__);
    size_t index = 0;
    while (index < m_vRealStream.size() && m_vRealStream[index] != pRealStream) ++index;
    if (index == m_vRealStream.size()) return false;
    if (--m_vUseCount[index] > 0) return true;

    VANTRA_LOG(kLogProgress, kLogModule, "[%s][tvq-v1.10.0]DestroyRealStream. pRealStream erase.[%s(%d)]", kFunc, kPath,
               __LINE__);
    CRealStream* stream = m_vRealStream[index];
    m_vRealStream.erase(m_vRealStream.begin() + static_cast<std::ptrdiff_t>(index));
    m_vStreamParam.erase(m_vStreamParam.begin() + static_cast<std::ptrdiff_t>(index));
    m_vUseCount.erase(m_vUseCount.begin() + static_cast<std::ptrdiff_t>(index));
    delete stream;
    pRealStream = nullptr;
    return true;
}

size_t CRealStreamMgr::StreamCount() const {
    Kestro_Guard guard(&m_mutex);
    return m_vRealStream.size();
}

}  // namespace PexloCommon
