// Live-play control of one SDK session, and the table of the UE codes in the SDK's messages.
#pragma once

#include <atomic>
#include <string>

#include "PexloSdk.h"

namespace PexloCommon {

class CNubrixPexloPreview {
public:
    CNubrixPexloPreview() = default;

    bool SetDataCallBack(const char* sessionId, PexloDataCallBack callback, void* user);
    bool StartPlayWithStreamType(const std::string& sessionId, const std::string& deviceSerial, int channelNo,
                                 const std::string& key, int streamType);
    bool StopRealPlay(const std::string& sessionId);
    void SetIsStreamKeyCorrect(bool correct);
    bool IsStreamKeyCorrect() const { return m_bIsStreamKeyCorrect.load(); }

    // The number of a UE code ("UE101" -> 101), 0 for an empty text, -1 for anything else.
    static int GetUEErrorCode(const std::string& text);

private:
    std::atomic<bool> m_bIsStreamKeyCorrect{false};  // written from the SDK's message thread
};

}  // namespace PexloCommon
