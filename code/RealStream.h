// One live cloud stream: its source, a watchdog thread that reconnects after silence, and its observers.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "CallbackGate.h"
#include "Metrics.h"
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
    // Takes the observer off the fan-out alone, without the SDK: once it returns, no packet reaches the
    // observer, and none is being handed to it. A stop does this on the host's thread and leaves the rest of
    // StopTakeStream, which may wait on the cloud, to a teardown thread. `last`: the stream is being given up,
    // so its session's data is shut out from here on, whoever else is still attached.
    void Detach(CRealStreamObserver* observer, bool last = false) EXCLUDES(m_mutexObserver);
    bool Connect() EXCLUDES(m_mutexSource, m_mutexObserver);
    void Disconnect() EXCLUDES(m_mutexSource, m_mutexObserver);
    // The source's data function: runs under the observer lock, which the SDK's callback took at the gate.
    void OnSourceData(uint32_t type, const unsigned char* data, uint32_t length) REQUIRES(m_mutexObserver);
    // A packet as the source hands one over, for a caller that holds no lock.
    void DeliverPacket(uint32_t type, const unsigned char* data, uint32_t length) EXCLUDES(m_mutexObserver) {
        GateLock lock(m_mutexObserver);
        OnSourceData(type, data, length);
    }
    // What the SDK is handed as user data for this stream's session.
    void* CallbackKey() const { return m_pGate->Key(); }
    bool Run() override;
    // Nothing for the stream to do; a code the cloud refused with goes to the metrics, when they are on.
    void NotifyState(const TackStreamStateInfo* info) override;
    // Where the stream keeps its figures for the metrics file: set once, before the first attach.
    void SetStats(std::shared_ptr<CStreamStats> stats) EXCLUDES(m_mutexObserver);

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

    // Leased for the stream's life. Its lock is the observer lock, so the SDK's callbacks take one lock to be
    // let in and fanned out.
    CCallbackGate* const m_pGate;
    // Lock order: m_mutexRef, then m_mutexSource, then m_mutexObserver. All three are this stream's own;
    // m_mutexSource is held across the source's SDK calls, which hold up only this stream, and a callback the SDK
    // makes inside one of them, as well as the source's stopping or starting a play, takes m_mutexObserver.
    // Nothing takes m_mutexSource or m_mutexRef with m_mutexObserver held.
    std::vector<CRealStreamObserver*> m_vObserver GUARDED_BY(m_mutexObserver);
    std::vector<CRealStreamObserver*> m_vNewObserver GUARDED_BY(m_mutexObserver);  // still owed the header
    Kestro_Mutex& m_mutexObserver;  // the gate's; held for a packet's whole fan-out
    int32_t m_iMaxReconnect = 1;
    std::atomic<int32_t> m_iReconnectCount{0};
    StreamParam m_struParam;
    std::atomic<int64_t> m_tLastData{-1};
    std::atomic<int32_t> m_iTimeout{30};
    unsigned char m_byHeader[kHeaderSize] GUARDED_BY(m_mutexObserver) = {0};
    int32_t m_iRefCount GUARDED_BY(m_mutexRef) = 0;
    Kestro_Mutex m_mutexRef;  // attach, detach, and a watchdog pass that may connect
    Kestro_Mutex m_mutexSource ACQUIRED_AFTER(m_mutexRef) ACQUIRED_BEFORE(m_mutexObserver);
    // Set by the constructor, deleted by the destructor. Its play calls go under m_mutexSource; the attach
    // reads only its atomic play handle and wakes it.
    CTackStreamBehavior* m_pSource = nullptr;
    std::string m_strSessionId;
    // Written under m_mutexObserver (the SDK's message callbacks read it under that lock) before the watchdog
    // starts and before anything is delivered; fixed after.
    std::shared_ptr<CStreamStats> m_pStats;

private:
    void ClearHeader() EXCLUDES(m_mutexObserver);
    // How long the watchdog may sleep before the silence could reach the timeout.
    std::chrono::milliseconds PauseUntilTimeout() const;
};

}  // namespace PexloCommon
