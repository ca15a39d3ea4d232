// Stream sources: the abstract one, and the cloud SDK session source.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "CallbackGate.h"
#include "NubrixPexloStream.h"
#include "StreamParam.h"
#include "Timer.h"
#include "ZephBase/Noncopyable.h"

namespace PexloCommon {

struct TackStreamStateInfo {
    int32_t iType;
    int32_t iModule;  // 62: the SDK's own code; 65: a UE code
    int32_t iCode;
};

class CAsyncTackStreamState {
public:
    virtual ~CAsyncTackStreamState() = default;
    virtual void NotifyState(const TackStreamStateInfo* info) = 0;
};

using TackDataFunction = std::function<void(unsigned long, const unsigned char*, unsigned long)>;

class CTackStreamBehavior : public Zeph::Base::CNoncopyable {
public:
    CTackStreamBehavior(const StreamParam* param, const TackDataFunction& fn, CAsyncTackStreamState* state)
        : m_pParam(param), m_fnDataCallBack(fn), m_pState(state) {}
    virtual ~CTackStreamBehavior() = default;
    virtual bool Connect() = 0;
    virtual void Disconnect() = 0;
    virtual void Close() = 0;
    virtual bool NotifyAttach() = 0;

    const StreamParam* m_pParam;  // the owner's copy, not owned
    TackDataFunction m_fnDataCallBack;
    CAsyncTackStreamState* m_pState;  // not owned
    // -1 while not playing, 0 while playing; the owner reads it from other threads.
    std::atomic<int> m_iPlayHandle{-1};
};

class CTackStreamFromNubrix : public CTackStreamBehavior {
public:
    // `gate` is the owner's callback gate, whose key the SDK is handed as user data for both callbacks and whose
    // lock they run under; without one, the source leases a gate of its own.
    CTackStreamFromNubrix(const StreamParam* param, const TackDataFunction& fn, CAsyncTackStreamState* state,
                          std::string* sessionId, CCallbackGate* gate = nullptr);
    ~CTackStreamFromNubrix() override;

    bool Connect() override;
    void Disconnect() override;
    void Close() override;
    bool NotifyAttach() override;

    // The SDK's callbacks. `user` is a gate's key: a callback whose key is no longer good, or never was, does
    // nothing, whenever and on whatever thread it comes.
    static void DataCallBackFunc(unsigned long type, const unsigned char* data, unsigned long length, void* user);
    static void MsgCallBackFunc(const char* sessionId, unsigned int msgType, int errorCode, const char* info,
                                void* user);
    void NubrixMsgCallBack(unsigned int msgType, int errorCode, const char* info);

    CNubrixPexloPreview* m_pPreview = nullptr;
    std::string m_strSessionId;
    CTimer m_timer;

private:
    void StopPlay();
    // Shuts the gate before a session is freed: nothing the SDK calls after that reaches this source.
    void FreeSession();

    CCallbackGate* m_pGate;
    bool m_bOwnGate = false;
    // Set once m_strSessionId holds the id; the SDK's message thread may ask before the constructor ends.
    std::atomic<bool> m_bSession{false};
};

}  // namespace PexloCommon
