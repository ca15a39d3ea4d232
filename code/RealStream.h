// One live cloud stream: its source, a watchdog thread that reconnects after silence, and its observers.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "StreamParam.h"
#include "TackStreamFromNubrix.h"
#include "ZephBase/Noncopyable.h"
#include "ZephBase/Thread.h"
#include "kestro/kestro.h"

namespace PexloCommon {

class CRealStreamObserver {
public:
    virtual ~CRealStreamObserver() = default;
    virtual void OnStreamData(const unsigned char* data, uint32_t length, uint32_t type) = 0;
};

class CRealStream : private Zeph::Base::CSingleBaseThreadNoAssert,
                    private Zeph::Base::CNonThreadSafe,
                    private Zeph::Base::CNoncopyable,
                    private CAsyncTackStreamState {
public:
    explicit CRealStream(const StreamParam& param);
    ~CRealStream() override;

    bool StartTakeStream(bool* result, CRealStreamObserver* observer);
    void StopTakeStream(CRealStreamObserver* observer);
    bool Connect();
    void Disconnect();
    void OnSourceData(uint32_t type, const unsigned char* data, uint32_t length);
    bool Run() override;
    void NotifyState(const TackStreamStateInfo*) override {}

    bool IsWatchdogRunning() const { return IsThreadRunning(); }

    // Seconds on the calendar clock; tests replace it to pass 30 s of silence in milliseconds.
    using Clock = int64_t (*)();
    static void SetClock(Clock clock);
    static int64_t Now();

    static constexpr int kMaxConnectSize = 64;
    static constexpr int kHeaderSize = 40;
    static constexpr uint32_t kTypeHeader = 1;
    static constexpr uint32_t kTypePrivate = 107;
    static constexpr int kThreadPauseMs = 100;

    // Lock order: m_mutexRef, then either m_mutexObserver or m_mutexSource, never both of the last two.
    std::vector<CRealStreamObserver*> m_vObserver;     // guarded by m_mutexObserver
    std::vector<CRealStreamObserver*> m_vNewObserver;  // guarded by m_mutexObserver; still owed the header
    Kestro_Mutex m_mutexObserver;                      // held for a packet's whole fan-out
    int32_t m_iMaxReconnect = 1;
    std::atomic<int32_t> m_iReconnectCount{0};
    StreamParam m_struParam;
    std::atomic<int64_t> m_tLastData{-1};
    std::atomic<int32_t> m_iTimeout{30};
    unsigned char m_byHeader[kHeaderSize] = {0};  // guarded by m_mutexObserver
    int32_t m_iRefCount = 0;                      // guarded by m_mutexRef
    Kestro_Mutex m_mutexRef;
    Kestro_Mutex m_mutexSource;
    CTackStreamBehavior* m_pSource = nullptr;
    std::string m_strSessionId;

private:
    void ClearHeader();
};

}  // namespace PexloCommon
