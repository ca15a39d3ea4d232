#include "handleMgr.h"

#include "PluginLog.h"
#include "Singleton.h"

namespace PexloCommon {

namespace {
constexpr const char* kPath = "..\\..\\code\\handleMgr";
}

CHandleMgr* CHandleMgr::GetInstance() { return CSingletonHolder<CHandleMgr>::Get(); }

int CHandleMgr::CreateHandle() {
    static const char* kFunc = "PexloCommon::CHandleMgr::CreateHandle";
    Kestro_Guard guard(&m_mutex);
    if (!m_vsRecoveryHandle.empty()) {
        VANTRA_LOG_AT(kLogProgress, kLogModule, "[%s][CreateHandle] m_vsRecoveryHandle size:%d[%s(%d)]", kFunc,
                      static_cast<int>(m_vsRecoveryHandle.size()), kPath, 38);
        int handle = static_cast<int>(static_cast<uint32_t>(static_cast<uint64_t>(m_vsRecoveryHandle.front())));
        m_vsRecoveryHandle.pop_front();
        VANTRA_LOG_AT(kLogProgress, kLogModule, "[%s][CreateHandle] m_vsRecoveryHandle size:%d, handle:%d[%s(%d)]",
                      kFunc, static_cast<int>(m_vsRecoveryHandle.size()), handle, kPath, 42);
        return handle;
    }
    // Under the guard, like the recovery list: the limit's test and the increment cannot be split.
    int handle = -1;
    if (m_iNextHandle <= kMaxHandle) handle = m_iNextHandle++;
    VANTRA_LOG_AT(kLogProgress, kLogModule, "[%s][CreateHandle] handle:%d[%s(%d)]", kFunc, handle, kPath, 34);
    return handle;
}

void CHandleMgr::DestroyHandle(int64_t handle) {
    static const char* kFunc = "PexloCommon::CHandleMgr::DestroyHandle";
    VANTRA_LOG_AT(kLogProgress, kLogModule, "[%s][DestroyHandle] handle:%d[%s(%d)]", kFunc, static_cast<int>(handle),
                  kPath, 50);
    Kestro_Guard guard(&m_mutex);
    if (m_vsRecoveryHandle.size() >= kMaxRecoveryHandles) {
        guard.Release();
        VANTRA_LOG_HERE(kLogFailure, kLogModule, "[%s][DestroyHandle] recovery list full, handle:%d dropped[%s(%d)]",
                        kFunc, static_cast<int>(handle), kPath);
        return;
    }
    m_vsRecoveryHandle.push_back(handle);
}

}  // namespace PexloCommon
