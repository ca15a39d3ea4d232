#include "RealStream.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <functional>

#include "PexloInterfaceMgr.h"
#include "PluginLog.h"

namespace PexloCommon {

namespace {
constexpr const char* kPath = "..\\..\\code\\RealStream";

int64_t CalendarNow() { return static_cast<int64_t>(std::time(nullptr)); }
std::atomic<CRealStream::Clock> g_clock{&CalendarNow};
}  // namespace

void CRealStream::SetClock(Clock clock) { g_clock.store(clock != nullptr ? clock : &CalendarNow); }
int64_t CRealStream::Now() { return g_clock.load()(); }

CRealStream::CRealStream(const StreamParam& param)
    : m_pGate(CCallbackGate::Lease()), m_mutexObserver(m_pGate->m_mutex), m_struParam(param) {
    SetThreadName("vantra-watch");
    if (m_struParam.iSourceType == kSourceTypeNubrix) {
        using namespace std::placeholders;
        TackDataFunction fn = std::bind(&CRealStream::OnSourceData, this, _1, _2, _3);
        m_pSource = new CTackStreamFromNubrix(&m_struParam, fn, this, &m_strSessionId, m_pGate);
    }
}

CRealStream::~CRealStream() {
    EndThread();
    Disconnect();
    // The source shuts the gate before it frees its session; after that no callback can reach the stream.
    delete m_pSource;
    m_pSource = nullptr;
    CCallbackGate::Release(m_pGate);
}

bool CRealStream::StartTakeStream(bool* result, CRealStreamObserver* observer) {
    static const char* kFunc = "PexloCommon::CRealStream::StartTakeStream";
    if (observer == nullptr) return false;
    Kestro_Guard ref(&m_mutexRef);
    if (result != nullptr) *result = false;
    // Tested before the count rises: 65 observers fit, the 66th is refused.
    if (m_iRefCount > kMaxConnectSize) {
        VANTRA_LOG_HERE(kLogFailure, kLogModule,
                        "[%s][Realplay]StartTakeStream failed, m_iRefCount > kMaxConnectSize[%s(%d)]", kFunc, kPath);
        return false;
    }
    {
        Kestro_Guard guard(&m_mutexObserver);
        m_vObserver.push_back(observer);
        m_vNewObserver.push_back(observer);
    }
    if (result != nullptr) *result = true;
    if (m_iRefCount > 0 && m_pSource != nullptr && m_pSource->m_iPlayHandle.load() != -1) {
        m_pSource->NotifyAttach();
    } else {
        // The next watchdog pass finds the stream silent and connects it.
        m_tLastData.store(-static_cast<int64_t>(m_iTimeout.load()));
    }
    m_iReconnectCount.store(0);
    ++m_iRefCount;
    if (m_iRefCount == 1) {
        VANTRA_LOG_HERE(kLogProgress, kLogModule, "[%s][Realplay]StartTakeStream BeginThread[%s(%d)]", kFunc, kPath);
        BeginThread(kThreadPauseMs);
    }
    // A watchdog already running may be asleep until a far deadline; the attach changed what it must do.
    WakeThread();
    return true;
}

void CRealStream::StopTakeStream(CRealStreamObserver* observer) {
    Kestro_Guard ref(&m_mutexRef);
    --m_iRefCount;
    if (m_iRefCount <= 0) {
        {
            Kestro_Guard source(&m_mutexSource);
            if (m_pSource != nullptr) m_pSource->Close();
        }
        ClearHeader();
    }
    Detach(observer);
    m_iReconnectCount.store(0);
    WakeThread();
}

void CRealStream::Detach(CRealStreamObserver* observer, bool last) {
    // Shut first: a session that delivers without pause then stops taking the lock this waits for.
    if (last) m_pGate->CloseData();
    Kestro_Guard guard(&m_mutexObserver);
    for (auto* list : {&m_vObserver, &m_vNewObserver}) {
        for (auto it = list->begin(); it != list->end(); ++it) {
            if (*it == observer) {
                list->erase(it);
                break;
            }
        }
    }
}

bool CRealStream::Connect() {
    Kestro_Guard source(&m_mutexSource);
    m_tLastData.store(Now());
    VANTRA_LOG_HERE(kLogProgress, "[tvq-v1.10.0]CRealStream::Connect begin.", kLogBare,
                    "PexloCommon::CRealStream::Connect", kPath);
    return m_pSource != nullptr && m_pSource->Connect();
}

void CRealStream::Disconnect() {
    {
        Kestro_Guard source(&m_mutexSource);
        if (m_pSource != nullptr) m_pSource->Disconnect();
    }
    ClearHeader();
}

// The cache belongs to the fan-out, so it is cleared under the observer lock, after the source lock is gone.
void CRealStream::ClearHeader() {
    Kestro_Guard guard(&m_mutexObserver);
    std::memset(m_byHeader, 0, sizeof(m_byHeader));
}

// Under m_mutexRef, so a detach either comes before the pass (which then finds nobody to connect for) or
// after it (and its Close stops what the pass connected). Only this stream's attach and detach wait for it.
bool CRealStream::Run() {
    Kestro_Guard ref(&m_mutexRef);
    if (m_iRefCount <= 0) {
        SetNextPause(kIdlePause);
        return true;
    }
    const bool cloud = m_struParam.iSourceType == kSourceTypeNubrix;
    if (cloud && m_iReconnectCount.load() >= m_iMaxReconnect) {
        // Only a packet (which resets the count without waking anyone) can make a new attempt due, and not
        // before a full timeout after it: a check every timeout finds it in time.
        SetNextPause(std::chrono::seconds(std::max(1, m_iTimeout.load())));
        return true;
    }
    if (Now() - m_tLastData.load() < m_iTimeout.load()) {
        SetNextPause(PauseUntilTimeout());
        return true;
    }
    Disconnect();
    if (m_pStats) {
        m_pStats->packetsAtConnect.store(m_pStats->packets.load(std::memory_order_relaxed), std::memory_order_relaxed);
        m_pStats->connects.store(m_pStats->connects.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }
    CPexloInterfaceMgr::ForgetThreadFailure();
    int code = 0;
    // A refusal whatever its code: the SDK may refuse with 0.
    if (!Connect() && m_pStats && CPexloInterfaceMgr::ThreadFailure(&code)) m_pStats->Refused(code);
    if (cloud) ++m_iReconnectCount;
    SetNextPause(cloud ? std::chrono::seconds(std::max(1, m_iTimeout.load())) : PauseUntilTimeout());
    return true;
}

void CRealStream::NotifyState(const TackStreamStateInfo* info) {
    if (m_pStats && info != nullptr && info->iCode != 0) m_pStats->Refused(info->iCode);
}

void CRealStream::SetStats(std::shared_ptr<CStreamStats> stats) {
    GateLock lock(m_mutexObserver);
    m_pStats = std::move(stats);
}

std::chrono::milliseconds CRealStream::PauseUntilTimeout() const {
    using std::chrono::milliseconds;
    const int64_t deadline = m_tLastData.load() + m_iTimeout.load();  // whole seconds, like the check
    const int64_t left = deadline - Now();
    if (left > kIdlePause.count() / 1000) return kIdlePause;
    // The calendar clock counts whole seconds; on the real one, the finer clock says how much of the current
    // second is gone. time() may trail it by a tick, so a deadline it already passed is checked again soon.
    int64_t leftMs = left * 1000;
    if (g_clock.load() == &CalendarNow) {
        const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
        leftMs = deadline * 1000 - std::chrono::duration_cast<milliseconds>(sinceEpoch).count();
    }
    return milliseconds(std::max<int64_t>(leftMs, 0)) + kDeadlineMargin;
}

void CRealStream::OnSourceData(uint32_t type, const unsigned char* data, uint32_t length) {
    // A length without bytes behind it is nothing a host could safely read. An empty packet is still a
    // packet: it is passed on and keeps the stream from counting as silent.
    if (data == nullptr && length != 0) return;
    if (length >= 2 && (data[1] & 0x7F) == kTypePrivate) type = kTypePrivate;
    if (m_byHeader[0] != 0) {
        for (CRealStreamObserver* observer : m_vNewObserver) observer->OnStreamData(m_byHeader, kHeaderSize, 1);
    }
    m_vNewObserver.clear();
    // Only a whole header is cached; a shorter one is passed on but never read past its end.
    if (type == kTypeHeader && length >= static_cast<uint32_t>(kHeaderSize) &&
        std::memcmp(data, m_byHeader, kHeaderSize) != 0) {
        std::memcpy(m_byHeader, data, kHeaderSize);
    }
    for (CRealStreamObserver* observer : m_vObserver) observer->OnStreamData(data, length, type);
    // Relaxed, and written only when they change: the watchdog reads them in whole seconds, and a store per
    // packet would be a full barrier and a contended cache line on every delivery.
    const int64_t now = Now();
    if (m_tLastData.load(std::memory_order_relaxed) != now) m_tLastData.store(now, std::memory_order_relaxed);
    if (m_pStats && m_pStats->lastPacket.load(std::memory_order_relaxed) != now) {
        m_pStats->lastPacket.store(now, std::memory_order_relaxed);
    }
    if (m_iReconnectCount.load(std::memory_order_relaxed) != 0) m_iReconnectCount.store(0, std::memory_order_relaxed);
}

}  // namespace PexloCommon
