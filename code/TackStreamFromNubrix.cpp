#include "TackStreamFromNubrix.h"

#include "PexloInterfaceMgr.h"
#include "PluginLog.h"

namespace PexloCommon {

namespace {
constexpr const char* kPath = "..\\..\\code\\TackStreamFromNubrix";
constexpr int kErrorModuleSdk = 62;
constexpr int kErrorModuleUE = 65;
constexpr int kUEStreamKey = 104;
constexpr int kUEDeviceCode = 105;
constexpr int kErrorPreviewIgnored = 510255;
}  // namespace

CTackStreamFromNubrix::CTackStreamFromNubrix(const StreamParam* param, const TackDataFunction& fn,
                                             CAsyncTackStreamState* state, std::string* sessionId)
    : CTackStreamBehavior(param, fn, state) {
    m_pPreview = new CNubrixPexloPreview();
    std::string local;
    std::string& out = sessionId != nullptr ? *sessionId : local;
    CPexloInterfaceMgr::GetInstance()->AllocSession(this, out);
    m_strSessionId = out;
    m_bSession.store(!m_strSessionId.empty(), std::memory_order_release);
}

CTackStreamFromNubrix::~CTackStreamFromNubrix() {
    if (m_pPreview != nullptr) {
        if (!m_strSessionId.empty() && m_iPlayHandle.load() != -1) StopPlay();
        if (!m_strSessionId.empty()) CPexloInterfaceMgr::GetInstance()->FreeSession(m_strSessionId);
        delete m_pPreview;
        m_pPreview = nullptr;
    }
    m_timer.stop();
}

void CTackStreamFromNubrix::StopPlay() {
    m_pPreview->StopRealPlay(m_strSessionId);
    m_iPlayHandle.store(-1);
    m_timer.stop();
}

bool CTackStreamFromNubrix::Connect() {
    VANTRA_LOG_AT(kLogProgress, kLogModule, "[%s][tvq-v1.10.0]CTackStreamFromNubrix::Connect begin.[%s(%d)]",
                  "PexloCommon::CTackStreamFromNubrix::Connect", kPath, 72);
    m_timer.stop();
    if (m_pPreview == nullptr || m_strSessionId.empty()) return false;
    if (!m_pPreview->SetDataCallBack(m_strSessionId.c_str(), &CTackStreamFromNubrix::DataCallBackFunc, this)) {
        return false;
    }
    if (!m_pPreview->StartPlayWithStreamType(m_strSessionId, m_pParam->strSerial, m_pParam->iChannel,
                                             m_pParam->strStreamKey, m_pParam->iVideoLevel)) {
        return false;
    }
    m_iPlayHandle.store(0);
    return true;
}

void CTackStreamFromNubrix::Disconnect() {
    if (m_pPreview != nullptr && !m_strSessionId.empty() && m_iPlayHandle.load() != -1) StopPlay();
}

void CTackStreamFromNubrix::Close() {
    if (m_pPreview == nullptr || m_strSessionId.empty() || m_iPlayHandle.load() == -1) return;
    m_pPreview->StopRealPlay(m_strSessionId);
    CPexloInterfaceMgr::GetInstance()->FreeSession(m_strSessionId);
    m_iPlayHandle.store(-1);
}

bool CTackStreamFromNubrix::NotifyAttach() { return false; }

void CTackStreamFromNubrix::DataCallBackFunc(unsigned long type, const unsigned char* data, unsigned long length,
                                             void* user) {
    auto* source = static_cast<CTackStreamFromNubrix*>(user);
    // The fan-out below catches what a host callback throws; a source already gone delivers nothing.
    if (source == nullptr || !source->m_fnDataCallBack) return;
    source->m_fnDataCallBack(type, data, length);
}

void CTackStreamFromNubrix::MsgCallBackFunc(const char*, unsigned int msgType, int errorCode, const char* info,
                                            void* user) {
    auto* source = static_cast<CTackStreamFromNubrix*>(user);
    if (source == nullptr) return;
    try {
        source->NubrixMsgCallBack(msgType, errorCode, info);
    } catch (...) {
    }
}

void CTackStreamFromNubrix::NubrixMsgCallBack(unsigned int msgType, int errorCode, const char* info) {
    if (msgType == 91 || msgType == 92 || msgType == 99) return;
    const int ue = CNubrixPexloPreview::GetUEErrorCode(info != nullptr ? info : "");
    if (!m_bSession.load(std::memory_order_acquire) || m_pState == nullptr) return;
    m_pPreview->SetIsStreamKeyCorrect(ue != kUEStreamKey);

    if (ue > 0) {
        TackStreamStateInfo state{1, kErrorModuleUE, ue == kUEDeviceCode ? errorCode : ue};
        m_pState->NotifyState(&state);
        m_timer.stop();
        return;
    }
    TackStreamStateInfo state{0, kErrorModuleSdk, errorCode};
    switch (msgType) {
        case 0:
            if (errorCode == 0) return;
            state.iType = 1;
            break;
        case 4:
            if (errorCode == 0) return;
            state.iType = 8;
            break;
        case 16:
            state.iType = 5;
            break;
        case 17:
            state.iType = 6;
            break;
        case 18:
            if (errorCode == 0) return;
            if (errorCode == kErrorPreviewIgnored) {
                VANTRA_LOG_AT(kLogProgress, kLogModule, "[%s]Nubrix Msg CallBack[preview], errorcode = 510255[%s(%d)]",
                              "PexloCommon::CTackStreamFromNubrix::NubrixMsgCallBack", kPath, 341);
                return;
            }
            state.iType = 2;
            break;
        default:
            return;
    }
    m_pState->NotifyState(&state);
}

}  // namespace PexloCommon
