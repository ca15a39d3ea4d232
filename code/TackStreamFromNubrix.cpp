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
                                             CAsyncTackStreamState* state, std::string* sessionId, CCallbackGate* gate)
    : CTackStreamBehavior(param, fn, state), m_pGate(gate) {
    if (m_pGate == nullptr) {
        m_pGate = CCallbackGate::Lease();
        m_bOwnGate = true;
    }
    m_pPreview = new CNubrixPexloPreview();
    // Before the allocation: the SDK may send the new session's first message before it returns.
    m_pGate->Bind(this);
    std::string local;
    std::string& out = sessionId != nullptr ? *sessionId : local;
    if (m_pGate->IsInert()) {
        // No key to hand out: a session would call back into nothing, so none is allocated.
        VANTRA_LOG_HERE(kLogFailure, kLogModule, "[%s][tvq-v1.10.0]no callback gate left: no session for %s[%s(%d)]",
                        "PexloCommon::CTackStreamFromNubrix::CTackStreamFromNubrix", m_pParam->strSerial.c_str(),
                        kPath);
    } else {
        CPexloInterfaceMgr::GetInstance()->AllocSession(m_pGate->Key(), out);
    }
    m_strSessionId = out;
    m_bSession.store(!m_strSessionId.empty(), std::memory_order_release);
}

CTackStreamFromNubrix::~CTackStreamFromNubrix() {
    if (m_pPreview != nullptr) {
        if (!m_strSessionId.empty() && m_iPlayHandle.load() != -1) StopPlay();
        if (!m_strSessionId.empty()) FreeSession();
        delete m_pPreview;
        m_pPreview = nullptr;
    }
    m_timer.stop();
    m_pGate->Revoke();
    if (m_bOwnGate) CCallbackGate::Release(m_pGate);
}

void CTackStreamFromNubrix::StopPlay() {
    m_pGate->CloseData();
    m_pPreview->StopRealPlay(m_strSessionId);
    m_iPlayHandle.store(-1);
    m_timer.stop();
}

void CTackStreamFromNubrix::FreeSession() {
    m_pGate->Revoke();
    CPexloInterfaceMgr::GetInstance()->FreeSession(m_strSessionId);
}

bool CTackStreamFromNubrix::Connect() {
    VANTRA_LOG_AT(kLogProgress, kLogModule, "[%s][tvq-v1.10.0]CTackStreamFromNubrix::Connect begin.[%s(%d)]",
                  "PexloCommon::CTackStreamFromNubrix::Connect", kPath, 72);
    m_timer.stop();
    if (m_pPreview == nullptr || m_strSessionId.empty()) return false;
    if (!m_pPreview->SetDataCallBack(m_strSessionId.c_str(), &CTackStreamFromNubrix::DataCallBackFunc,
                                     m_pGate->Key())) {
        return false;
    }
    // Open before the start: the SDK may deliver the first packet before the call returns.
    m_pGate->OpenData();
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
    m_pGate->CloseData();
    m_pPreview->StopRealPlay(m_strSessionId);
    FreeSession();
    m_iPlayHandle.store(-1);
}

bool CTackStreamFromNubrix::NotifyAttach() { return false; }

void CTackStreamFromNubrix::DataCallBackFunc(unsigned long type, const unsigned char* data, unsigned long length,
                                             void* user) {
    CCallbackGate* gate = CCallbackGate::Find(user);
    // A gate shut to data is left alone: an SDK that keeps delivering into it must not keep its lock from the
    // stop that shut it.
    if (gate == nullptr || !gate->DataOpen()) return;
    GateLock lock(*gate);
    CTackStreamFromNubrix* source = gate->Admit(user, true);
    if (source == nullptr) return;
    try {
        // The owner's function runs with the gate's lock held: it is the owner's observer lock.
        source->m_fnDataCallBack(type, data, length);
    } catch (...) {
        // Nothing unwinds into the SDK's thread.
    }
}

void CTackStreamFromNubrix::MsgCallBackFunc(const char*, unsigned int msgType, int errorCode, const char* info,
                                            void* user) {
    CCallbackGate* gate = CCallbackGate::Find(user);
    if (gate == nullptr) return;
    GateLock lock(*gate);
    CTackStreamFromNubrix* source = gate->Admit(user, false);
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
