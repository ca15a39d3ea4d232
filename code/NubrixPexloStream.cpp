#include "NubrixPexloStream.h"

#include "PexloInterfaceMgr.h"
#include "PluginLog.h"

namespace PexloCommon {

namespace {

constexpr const char* kPath = "..\\..\\code\\NubrixPexloStream";
// The two preview records carry the tag as the original component spelled it.
constexpr const char* kPreviewModule = "VantraIotSMSPlguin";

struct UECode {
    const char* text;
    int number;
};
constexpr UECode kUECodes[] = {{"UE001", 1},   {"UE101", 101}, {"UE102", 102}, {"UE103", 103},
                               {"UE104", 104}, {"UE105", 105}, {"UE106", 106}, {"UE108", 108},
                               {"UE109", 109}, {"UE110", 110}, {"UE111", 111}};

}  // namespace

bool CNubrixPexloPreview::SetDataCallBack(const char* sessionId, PexloDataCallBack callback, void* user) {
    CPexloInterfaceMgr* mgr = CPexloInterfaceMgr::GetInstance();
    return mgr->Call(mgr->pPexlo_SetDataCallBack, sessionId, callback, user) == CPexloInterfaceMgr::CallResult::kOk;
}

bool CNubrixPexloPreview::StartPlayWithStreamType(const std::string& sessionId, const std::string& deviceSerial,
                                                  int channelNo, const std::string& key, int streamType) {
    VANTRA_LOG_AT(kLogProgress, kPreviewModule,
                  "[%s][NubrixPexloComm][CPexloInterfaceMgr] StartPlayWithStreamType. DeviceSN[%s][%s(%d)]",
                  "PexloCommon::CNubrixPexloPreview::StartPlayWithStreamType", deviceSerial.c_str(), kPath, 87);
    CPexloInterfaceMgr* mgr = CPexloInterfaceMgr::GetInstance();
    // Its result is not read.
    mgr->Invoke(mgr->pPexlo_SetSessionConfig, CPexloInterfaceMgr::Missing::kRecord, nullptr, sessionId.c_str(), 2, 1);
    return mgr->StartPlayWithStreamType(sessionId, deviceSerial, channelNo, key, streamType);
}

bool CNubrixPexloPreview::StopRealPlay(const std::string& sessionId) {
    VANTRA_LOG_AT(kLogProgress, kPreviewModule, "[%s][NubrixPexloComm][CPexloInterfaceMgr] StopRealPlay[%s(%d)]",
                  "PexloCommon::CNubrixPexloPreview::StopRealPlay", kPath, 102);
    return CPexloInterfaceMgr::GetInstance()->StopRealPlay(sessionId);
}

void CNubrixPexloPreview::SetIsStreamKeyCorrect(bool correct) {
    VANTRA_LOG_AT(kLogProgress, "Set Stream Key Time", kLogBare,
                  "PexloCommon::CNubrixPexloPreview::SetIsStreamKeyCorrect", kPath, 157);
    m_bIsStreamKeyCorrect.store(correct);
}

int CNubrixPexloPreview::GetUEErrorCode(const std::string& text) {
    if (text.empty()) return 0;
    for (const UECode& code : kUECodes) {
        if (text == code.text) return code.number;
    }
    return -1;
}

}  // namespace PexloCommon
