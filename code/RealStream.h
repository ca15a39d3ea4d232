// One live cloud stream: its source, a watchdog thread that reconnects after silence, and its observers.
#pragma once

#include <atomic>
#include <chrono>
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
    bool Connect() EXCLUDES(m_mutexSource, m_mutexObserver);
    void Disconnect() EXCLUDES(m_mutexSource, m_mutexObserver);
    void OnSourceData(uint32_t type, const unsigned char* data, uint32_t length);
    bool Run() override;
    void NotifyState(const TackStreamStateInfo*) override {}

    bool IsWatchdogRunning() const { return IsThreadRunning(); }
    // The watchdog's passes, for tests that advance the clock: wake it, then wait for the pass that follows.
    uint64_t WatchdogPasses() const { return PassCount(); }
    void WakeWatchdog() { WakeThread(); }
    bool WaitForWatchdogPass(uint64_t seen) const { return WaitForPass(seen, std::chrono::seconds(10)); }

    // Seconds on the calendar clock; tests replace it to pass 30 s of silence in milliseconds.
    using Clock = int64_t (*)();
    static void SetClock(Clock clock);
    static int64_t Now();

    static constexpr int kMaxConnectSize = 64;
    static constexpr int kHeaderSize = 40;
    static constexpr uint32_t kTypeHeader = 1;
    static constexpr uint32_t kTypePrivate = 107;
    static constexpr int kThreadPauseMs = 100;
    // A watchdog with nothing to watch sleeps until an attach, a detach or the teardown wakes it.
    static constexpr std::chrono::milliseconds kIdlePause = std::chrono::hours(1);
    // Past the second in which a silence reaches the timeout, so the pass finds it reached.
    static constexpr std::chrono::milliseconds kDeadlineMargin{20};

    // Lock order: m_mutexRef, then either m_mutexObserver or m_mutexSource, never both of the last two. All
    // three are this stream's own; m_mutexSource is held across the source's SDK calls, which hold up only
    // this stream.
    std::vector<CRealStreamObserver*> m_vObserver GUARDED_BY(m_mutexObserver);
    std::vector<CRealStreamObserver*> m_vNewObserver GUARDED_BY(m_mutexObserver);  // still owed the header
    Kestro_Mutex m_mutexObserver ACQUIRED_AFTER(m_mutexRef);                       // held for a packet's whole fan-out
    int32_t m_iMaxReconnect = 1;
    std::atomic<int32_t> m_iReconnectCount{0};
    StreamParam m_struParam;
    std::atomic<int64_t> m_tLastData{-1};
    std::atomic<int32_t> m_iTimeout{30};
    unsigned char m_byHeader[kHeaderSize] GUARDED_BY(m_mutexObserver) = {0};
    int32_t m_iRefCount GUARDED_BY(m_mutexRef) = 0;
    Kestro_Mutex m_mutexRef;  // attach, detach, and a watchdog pass that may connect
    Kestro_Mutex m_mutexSource ACQUIRED_AFTER(m_mutexRef);
    // Set by the constructor, deleted by the destructor. Its play calls go under m_mutexSource; the attach
    // reads only its atomic play handle and wakes it.
    CTackStreamBehavior* m_pSource = nullptr;
    std::string m_strSessionId;

private:
    void ClearHeader() EXCLUDES(m_mutexObserver);
    // How long the watchdog may sleep before the silence could reach the timeout.
    std::chrono::milliseconds PauseUntilTimeout() const;
};

}  // namespace PexloCommon
