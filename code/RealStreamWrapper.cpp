#include "RealStreamWrapper.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "PexloInterfaceMgr.h"
#include "PluginLog.h"
#include "RealStreamMgr.h"
#include "kestro/kestro.h"

namespace PexloCommon {

namespace {

constexpr const char* kPath = "..\\..\\code\\RealStreamWrapper";
constexpr const char* kWrapperFunc = "PexloCommon::CRealStreamWrapper::StartTakeStream";
constexpr int kStreamTimeoutSeconds = 30;
constexpr uint32_t kPayloadType = 96;
constexpr uint32_t kClockRate = 90000;
constexpr uint32_t kFlagsHeader = 0;
constexpr uint32_t kFlagsMedia = 0xFFFFFFFFu;
constexpr const char* kFormatParameters =
    "profile-level-id=8;config=000001B0F5000001B50900000100000001200886C400670C58112051";

// The default TLS model on purpose: initial-exec would save a call per delivery but takes static TLS, which a
// host that dlopens many plugins may not have left.
thread_local const CReciveData2SMS* t_pDelivering = nullptr;

void PutU32(unsigned char* block, size_t offset, uint32_t value) { std::memcpy(block + offset, &value, 4); }

uint16_t ReadU16(const unsigned char* data, size_t offset) {
    uint16_t value;
    std::memcpy(&value, data + offset, sizeof(value));
    return value;
}

// The "QMZX" fields are little-endian as stored: the reverse of network order, whatever this host's is.
uint16_t ReadLittleU16(const unsigned char* data, size_t offset) {
    const uint16_t network = Kestro_Ntohs(ReadU16(data, offset));
    return static_cast<uint16_t>((network >> 8) | (network << 8));
}

}  // namespace

void CRealStreamWrapper::StartTakeStream(bool* result, CRealStreamObserver* observer, const StreamParam& param) {
    StartTakeStream(result, observer, param, StartTicket());
}

uint64_t CRealStreamWrapper::StartTicket() {
    Kestro_Guard guard(&m_mutex);
    return m_iStops;
}

void CRealStreamWrapper::StartTakeStream(bool* result, CRealStreamObserver* observer, const StreamParam& param,
                                         uint64_t ticket) {
    VANTRA_LOG_HERE(kLogProgress, kLogModule,
                    "[%s][StartTakeStream] CreateRealStream Serial:%s, channel:%d start[%s(%d)]", kWrapperFunc,
                    param.strSerial.c_str(), param.iChannel, kPath);
    CRealStreamMgr* mgr = CRealStreamMgr::GetInstance();
    // Made without the lock: its allocation may wait on the cloud, and a stop must not wait for that.
    CRealStream* stream = mgr->CreateRealStream(param);
    Kestro_Guard guard(&m_mutex);
    if (m_iStops != ticket) {
        guard.Release();
        if (result != nullptr) *result = false;
        mgr->DestroyRealStream(stream);
        return;
    }
    // A start without a stop in between: give back the stream held so far rather than leak it attached.
    if (m_pRealStream != nullptr) {
        m_pRealStream->StopTakeStream(observer);
        mgr->DestroyRealStream(m_pRealStream);
        m_pRealStream = nullptr;
    }
    m_pRealStream = stream;
    m_pRealStream->m_iTimeout.store(kStreamTimeoutSeconds);
    if (m_pStats) m_pRealStream->SetStats(m_pStats);
    m_pRealStream->StartTakeStream(result, observer);
    if (result == nullptr || !*result) {
        VANTRA_LOG_HERE(kLogFailure, kLogModule,
                        "[%s][StartTakeStream] StartTakeStream failed Serial:%s, channel:%d[%s(%d)]", kWrapperFunc,
                        param.strSerial.c_str(), param.iChannel, kPath);
        mgr->DestroyRealStream(m_pRealStream);
        m_pRealStream = nullptr;
    }
}

void CRealStreamWrapper::StopTakeStream(CRealStreamObserver* observer) {
    StopTakeStream(observer, CSdkWatch::StopBound());
}

void CRealStreamWrapper::SetStats(std::shared_ptr<CStreamStats> stats) {
    Kestro_Guard guard(&m_mutex);
    m_pStats = std::move(stats);
}

void CRealStreamWrapper::StopTakeStream(CRealStreamObserver* observer, std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    std::shared_ptr<CSdkWatch::Job> teardown = CutOff(observer);
    if (teardown && bound.count() > 0) AwaitRelease(teardown, deadline);
}

std::shared_ptr<CSdkWatch::Job> CRealStreamWrapper::CutOff(CRealStreamObserver* observer) {
    std::string session;
    std::function<void()> release = TakeRelease(observer, &session);
    if (!release) return nullptr;
    return CPexloInterfaceMgr::GetInstance()->Watch().StartJob(session, std::move(release));
}

std::function<void()> CRealStreamWrapper::TakeRelease(CRealStreamObserver* observer, std::string* session) {
    Kestro_Guard guard(&m_mutex);
    ++m_iStops;
    if (m_pRealStream == nullptr) return nullptr;
    CRealStream* stream = m_pRealStream;
    m_pRealStream = nullptr;
    // The host is cut off here, with no SDK call; the stop and free of the session, and the watchdog's join, which
    // may wait on the cloud, follow in their usual order. The stream is this request's alone (every request gets a
    // stream of its own).
    stream->Detach(observer, true);
    if (session != nullptr) *session = stream->m_strSessionId;
    // The observer is only compared there, never called: it was detached above.
    return [stream, observer]() mutable {
        stream->StopTakeStream(observer);
        CRealStreamMgr::GetInstance()->DestroyRealStream(stream);
    };
}

void CRealStreamWrapper::AwaitRelease(const std::shared_ptr<CSdkWatch::Job>& teardown,
                                      std::chrono::steady_clock::time_point deadline) {
    if (CPexloInterfaceMgr::GetInstance()->Watch().AwaitJob(teardown, deadline)) return;
    VANTRA_LOG_HERE(kLogFailure, kLogModule,
                    "[%s][StopTakeStream] session:%s still being released after %lld ms: the release goes on "
                    "behind the stop[%s(%d)]",
                    "PexloCommon::CRealStreamWrapper::StopTakeStream", teardown->label.c_str(),
                    CSdkWatch::MsSince(teardown->start), kPath);
}

void CReciveData2SMS::startReciveData(DeviceDataCallBack callback, void* user, int32_t channel,
                                      const StreamParam& param) {
    uint64_t ticket = 0;
    {
        Zeph::Base::LockGuard control(m_mutexControl);
        if (m_bStopped) return;
        m_bStart = true;
        VANTRA_LOG_HERE(kLogProgress, kLogModule, "[%s][startReciveData] serial:%s start[%s(%d)]",
                        "PexloCommon::CReciveData2SMS::startReciveData", param.strSerial.c_str(), kPath);
        // Stored before the attach: the stream may connect and deliver its first header at once, and a header
        // that found no callback would leave the host without a description block until the next one. Before
        // the attach nothing can deliver to this object, and a refused attach never delivers at all.
        m_pUser.store(user, std::memory_order_relaxed);
        m_pfnDataCallBack.store(callback, std::memory_order_release);
        m_iChannel = channel;
        m_strSerial = param.strSerial;
        // Taken while no stop can have begun: a stop from here on cancels the attach below.
        ticket = m_wrapper.StartTicket();
    }
    m_wrapper.SetStats(m_pStats);
    bool attached = false;
    m_wrapper.StartTakeStream(&attached, this, param, ticket);
    Zeph::Base::LockGuard control(m_mutexControl);
    if (!m_bStopped) m_bStart = attached;
}

void CReciveData2SMS::SetStartJob(std::shared_ptr<CSdkWatch::Job> job) {
    Zeph::Base::LockGuard control(m_mutexControl);
    m_pStartJob = std::move(job);
}

bool CReciveData2SMS::Stopped() {
    Zeph::Base::LockGuard control(m_mutexControl);
    return m_bStopped;
}

void CReciveData2SMS::CutOffHost() { m_pfnDataCallBack.store(nullptr, std::memory_order_release); }

CReciveData2SMS::Ending CReciveData2SMS::End() {
    Ending ending;
    Zeph::Base::LockGuard control(m_mutexControl);
    m_bStopped = true;
    m_bStart = false;
    VANTRA_LOG_HERE(kLogProgress, kLogModule, "[%s][startReciveData] serial:%s,stop[%s(%d)]",
                    "PexloCommon::CReciveData2SMS::stopReciveData", m_strSerial.c_str(), kPath);
    ending.release = m_wrapper.TakeRelease(this, &ending.session);
    // Cleared only after the detach, which waited for any delivery in progress.
    m_iChannel = -1;
    m_pfnDataCallBack.store(nullptr, std::memory_order_release);
    m_pUser.store(nullptr, std::memory_order_relaxed);
    ending.serial.swap(m_strSerial);
    ending.start = m_pStartJob;
    return ending;
}

void CReciveData2SMS::StopHere() {
    Ending ending = End();
    if (ending.release) ending.release();
}

void CReciveData2SMS::stopReciveData() { StopWithin(CSdkWatch::StopBound()); }

void CReciveData2SMS::StopWithin(std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    Ending ending = End();
    CSdkWatch& watch = CPexloInterfaceMgr::GetInstance()->Watch();
    std::shared_ptr<CSdkWatch::Job> teardown;
    if (ending.release) teardown = watch.StartJob(ending.session, std::move(ending.release));
    if (bound.count() <= 0) return;
    if (teardown) CRealStreamWrapper::AwaitRelease(teardown, deadline);
    // A start still in the SDK gives its stream back by itself once it returns, which this waits for in its bound.
    if (ending.start && !watch.AwaitJob(ending.start, deadline)) {
        VANTRA_LOG_HERE(kLogFailure, kLogModule,
                        "[%s][startReciveData] serial:%s: its start is still in %s after %lld ms: it is given back "
                        "behind the stop[%s(%d)]",
                        "PexloCommon::CReciveData2SMS::stopReciveData", ending.serial.c_str(),
                        CSdkWatch::WhereIs(*ending.start), CSdkWatch::MsSince(ending.start->start), kPath);
    }
}

std::string CReciveData2SMS::GetCodecName(uint32_t value) {
    switch (value) {
        case 5:
        case 0xC003:
            return "H265";
        case 0x0100:
        case 0xC001:
            return "H264";
        default:
            return "MP4V-ES";
    }
}

void CReciveData2SMS::ParseHeader(const unsigned char* data, uint32_t length, uint32_t* codec, uint32_t* flag) {
    *codec = 0;
    *flag = 0;
    if (data == nullptr || length <= 4) return;
    if (std::memcmp(data, "ZPLC", 4) == 0) {
        if (length >= 12) *codec = Kestro_Ntohs(ReadU16(data, 10));
        if (length >= 35 && data[34] == 0) {
            const uint16_t form = Kestro_Ntohs(ReadU16(data, 8));
            *flag = (form == 0xC300 || form == 0xC400) ? 1 : 0;
        }
    } else if (std::memcmp(data, "QMZX", 4) == 0) {
        if (length >= 12) *codec = ReadLittleU16(data, 10);
        if (length >= 10) *flag = ReadLittleU16(data, 8) == 4 ? 1 : 0;
    }
}

bool CReciveData2SMS::IsDeliveringOnThisThread() { return t_pDelivering != nullptr; }

void CReciveData2SMS::Deliver(DeviceDataCallBack callback, void* user, uint32_t type, const void* data, uint32_t length,
                              uint32_t flags) {
    DeviceDataDescriptor descriptor{data, length, kPayloadType, 1, flags};
    callback(0, type, &descriptor, user);
}

void CReciveData2SMS::OnStreamData(const unsigned char* data, uint32_t length, uint32_t type) {
    DeviceDataCallBack callback = m_pfnDataCallBack.load(std::memory_order_acquire);
    if (callback == nullptr) return;
    void* user = m_pUser.load(std::memory_order_relaxed);

    const CReciveData2SMS* outer = t_pDelivering;
    t_pDelivering = this;
    try {
        if (type >= 2 && type <= 5) {
            Deliver(callback, user, kDeviceDataMedia, data, length, kFlagsMedia);
        } else if (type == 6) {
            Deliver(callback, user, kDeviceDataMediaPrivate, data, length, kFlagsMedia);
        } else if (type == 1) {
            uint32_t codec = 0;
            uint32_t flag = 0;
            ParseHeader(data, length, &codec, &flag);
            unsigned char block[VantraMediaBlock::kSize];
            std::memset(block, 0, sizeof(block));
            // NOLINTNEXTLINE(bugprone-not-null-terminated-result): the field is 32 bytes; the block is zeroed
            std::memcpy(block + VantraMediaBlock::kKindOffset, "video", 5);
            PutU32(block, VantraMediaBlock::kPayloadTypeOffset, kPayloadType);
            const std::string codecName = GetCodecName(codec);
            // NOLINTNEXTLINE(bugprone-not-null-terminated-result): at most the field less one; the block is zeroed
            std::memcpy(block + VantraMediaBlock::kCodecOffset, codecName.data(),
                        std::min(codecName.size(), VantraMediaBlock::kCodecCapacity - 1));
            PutU32(block, VantraMediaBlock::kClockRateOffset, kClockRate);
            // NOLINTNEXTLINE(bugprone-not-null-terminated-result): the field is 1240 bytes; the block is zeroed
            std::memcpy(block + VantraMediaBlock::kFormatOffset, kFormatParameters, std::strlen(kFormatParameters));
            PutU32(block, VantraMediaBlock::kPacketTypeOffset, 1);
            // The field holds 256 bytes; a longer header is cut there and its length says what the field holds.
            const uint32_t kept = std::min<uint32_t>(length, VantraMediaBlock::kHeaderCapacity);
            if (data != nullptr) std::memcpy(block + VantraMediaBlock::kHeaderOffset, data, kept);
            PutU32(block, VantraMediaBlock::kHeaderLengthOffset, data != nullptr ? kept : 0);
            PutU32(block, VantraMediaBlock::kFlagOffset, flag);
            Deliver(callback, user, kDeviceDataDescription, block, VantraMediaBlock::kSize, kFlagsHeader);
            Deliver(callback, user, kDeviceDataHeader, data, length, kFlagsHeader);
        }
        // The stream's observer lock is held: one writer at a time.
        if (m_pStats && type >= 1 && type <= 6) m_pStats->CountPacket(length);
    } catch (...) {
        // A host callback that throws must not unwind into the SDK's thread.
    }
    t_pDelivering = outer;
}

}  // namespace PexloCommon
