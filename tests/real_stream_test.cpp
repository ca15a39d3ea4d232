// Real streams, the manager, the wrapper and media delivery, driven directly; the watchdog against the SDK
// emulator with a fake clock; the request URL rules.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "RealStream.h"
#include "RealStreamMgr.h"
#include "RealStreamWrapper.h"
#include "SdkTestSupport.h"
#include "VantraIotSMSPlugin.h"
#include "ZephBase/Log.h"

using PexloCommon::CRealStream;
using PexloCommon::CRealStreamMgr;
using PexloCommon::CRealStreamObserver;
using PexloCommon::CRealStreamWrapper;
using PexloCommon::CReciveData2SMS;
using PexloCommon::CVantraIotSMSPlugin;
using PexloCommon::StreamParam;
using Zeph::Base::details::ScopedLogCapture;

namespace {

// A stream with no SDK source: attach, detach and fan-out without the cloud.
StreamParam Sourceless(const std::string& serial = "X") {
    StreamParam param;
    param.iSourceType = 0;
    param.strSerial = serial;
    param.iChannel = 1;
    return param;
}

struct Seen {
    uint32_t type;
    std::string bytes;
};

class RecordingObserver : public CRealStreamObserver {
public:
    void OnStreamData(const unsigned char* data, uint32_t length, uint32_t type) override {
        std::lock_guard<std::mutex> lock(mutex);
        seen.push_back(Seen{type, std::string(reinterpret_cast<const char*>(data), length)});
    }
    std::vector<Seen> Take() {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<Seen> out;
        out.swap(seen);
        return out;
    }
    std::mutex mutex;
    std::vector<Seen> seen;
};

std::string Header(const char* magic, uint8_t first = 0) {
    std::string header(40, '\0');
    std::memcpy(&header[0], magic, 4);
    header[4] = static_cast<char>(first);
    return header;
}

// A media packet: a zero byte, then `second`, then text (a literal with NULs would end at the first one).
std::string Media(uint8_t second, const std::string& text) {
    return std::string(1, '\0') + static_cast<char>(second) + text;
}

void Feed(CRealStream& stream, uint32_t type, const std::string& bytes) {
    stream.OnSourceData(type, reinterpret_cast<const unsigned char*>(bytes.data()),
                        static_cast<uint32_t>(bytes.size()));
}

std::atomic<int64_t> g_now{1000};
int64_t FakeNow() { return g_now.load(); }

}  // namespace

TEST(RequestUrl, SplitParseAndLeadingInteger) {
    auto split = [](const std::string& text, const std::string& delimiter = "&") {
        std::vector<std::string> out;
        CVantraIotSMSPlugin::SplitString(text, delimiter, out);
        return out;
    };
    EXPECT_EQ(split("a&b"), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(split("a&&b"), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_EQ(split("a&"), (std::vector<std::string>{"a", ""}));
    EXPECT_EQ(split("&a"), (std::vector<std::string>{"", "a"}));
    EXPECT_EQ(split(""), (std::vector<std::string>{}));
    // A delimiter that overlaps itself can match across the one appended to the working copy.
    EXPECT_EQ(split("ba", "aa"), (std::vector<std::string>{"b"}));
    EXPECT_EQ(split("aaa", "aa"), (std::vector<std::string>{"", ""}));
    EXPECT_EQ(split("x&", "&&"), (std::vector<std::string>{"x"}));

    auto get = [](const std::string& url, const std::string& key) {
        std::string value = "unset";
        CVantraIotSMSPlugin::GetParam(url, key, value);
        return value;
    };
    const std::string base = "rtsp://host/live";
    EXPECT_EQ(get(base + "?videolevel=2&deviceseq=AB12", "videolevel"), "2");
    EXPECT_EQ(get(base + "?videolevel=2&deviceseq=AB12", "deviceseq"), "AB12");
    EXPECT_EQ(get(base + "?deviceseq=A&deviceseq=B", "deviceseq"), "A");
    EXPECT_EQ(get(base + "?deviceseq=A=B", "deviceseq"), "unset");
    EXPECT_EQ(get(base + "?DeviceSeq=A", "deviceseq"), "unset");
    EXPECT_EQ(get(base + "?videolevel=2?deviceseq=AB12", "deviceseq"), "AB12");
    EXPECT_EQ(get("a=1?b=2", "a"), "1");  // the part before "?" counts like any other
    EXPECT_EQ(get(base + "?deviceseq=%41", "deviceseq"), "%41");

    EXPECT_EQ(CVantraIotSMSPlugin::LeadingInteger("2"), 2);
    EXPECT_EQ(CVantraIotSMSPlugin::LeadingInteger("  -7x"), -7);
    EXPECT_EQ(CVantraIotSMSPlugin::LeadingInteger("+3"), 3);
    EXPECT_EQ(CVantraIotSMSPlugin::LeadingInteger("abc"), 0);
    EXPECT_EQ(CVantraIotSMSPlugin::LeadingInteger(""), 0);
    EXPECT_EQ(CVantraIotSMSPlugin::LeadingInteger("99999999999999"), INT32_MAX);
    EXPECT_EQ(CVantraIotSMSPlugin::LeadingInteger("-99999999999999"), INT32_MIN);
}

TEST(RealStreamMgr, EveryCreateIsANewEntryAndTheLastReleaseDeletes) {
    CRealStreamMgr* mgr = CRealStreamMgr::GetInstance();
    const size_t before = mgr->StreamCount();
    CRealStream* first = mgr->CreateRealStream(Sourceless("SAME"));
    CRealStream* second = mgr->CreateRealStream(Sourceless("SAME"));
    ASSERT_NE(first, second);
    ASSERT_EQ(mgr->StreamCount(), before + 2);
    EXPECT_EQ(mgr->m_vUseCount[before], 1);
    EXPECT_EQ(mgr->m_vUseCount[before + 1], 1);

    CRealStream* released = first;
    EXPECT_TRUE(mgr->DestroyRealStream(released));
    EXPECT_EQ(released, nullptr);
    ASSERT_EQ(mgr->StreamCount(), before + 1);
    EXPECT_EQ(mgr->m_vRealStream[before], second);
    EXPECT_EQ(mgr->m_vStreamParam.size(), mgr->m_vUseCount.size());
    EXPECT_FALSE(mgr->DestroyRealStream(released));
    CRealStream* stale = first;
    EXPECT_FALSE(mgr->DestroyRealStream(stale));
    EXPECT_EQ(stale, first);
    EXPECT_TRUE(mgr->DestroyRealStream(second));
    EXPECT_EQ(mgr->StreamCount(), before);
}

TEST(RealStream, AttachLimitThreadStartAndDetach) {
    ScopedLogCapture capture;
    CRealStream stream(Sourceless());
    bool flag = true;
    EXPECT_FALSE(stream.StartTakeStream(&flag, nullptr));
    EXPECT_TRUE(flag);  // untouched
    std::vector<RecordingObserver> observers(66);
    for (int i = 0; i < 65; ++i) ASSERT_TRUE(stream.StartTakeStream(&flag, &observers[i])) << i;
    EXPECT_FALSE(stream.StartTakeStream(&flag, &observers[65]));
    EXPECT_FALSE(flag);
    EXPECT_EQ(capture.CountContaining("[PexloCommon::CRealStream::StartTakeStream][Realplay]StartTakeStream failed, "
                                      "m_iRefCount > kMaxConnectSize["),
              1u);
    EXPECT_EQ(capture.CountContaining("StartTakeStream BeginThread"), 1u);
    EXPECT_TRUE(stream.IsWatchdogRunning());
    stream.StopTakeStream(&observers[0]);
    EXPECT_TRUE(stream.StartTakeStream(&flag, &observers[65]));
    EXPECT_TRUE(flag);
    EXPECT_EQ(stream.m_vObserver.size(), 65u);
    for (int i = 1; i < 66; ++i) stream.StopTakeStream(&observers[i]);
    EXPECT_TRUE(stream.m_vObserver.empty());
    EXPECT_TRUE(stream.IsWatchdogRunning());  // only the destructor stops the thread
}

TEST(RealStream, FanOutHeaderCacheAndRetyping) {
    CRealStream stream(Sourceless());
    RecordingObserver early, late;
    bool flag = false;
    ASSERT_TRUE(stream.StartTakeStream(&flag, &early));
    Feed(stream, 2, Media(1, "media-before-header"));
    const std::string header = Header("QMZX", 1);
    Feed(stream, 1, header);
    auto seen = early.Take();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].type, 2u);
    EXPECT_EQ(seen[1].type, 1u);

    // A late observer gets the cached header exactly once, before the next packet.
    ASSERT_TRUE(stream.StartTakeStream(&flag, &late));
    Feed(stream, 2, Media(2, "p1"));
    Feed(stream, 2, Media(3, "p2"));
    seen = late.Take();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].type, 1u);
    EXPECT_EQ(seen[0].bytes, header);
    EXPECT_EQ(seen[1].bytes.substr(2), "p1");
    EXPECT_EQ(early.Take().size(), 2u);

    // An equal header is delivered but not cached again; a different one replaces the cache.
    Feed(stream, 1, header);
    EXPECT_EQ(std::memcmp(stream.m_byHeader, header.data(), 40), 0);
    const std::string other = Header("ZPLC", 2);
    Feed(stream, 1, other);
    EXPECT_EQ(std::memcmp(stream.m_byHeader, other.data(), 40), 0);
    EXPECT_EQ(late.Take().size(), 2u);
    EXPECT_EQ(early.Take().size(), 2u);

    // 0x6B or 0xEB in the second byte makes any packet type 107.
    Feed(stream, 2, Media(0x6B, "a"));
    Feed(stream, 6, Media(0xEB, "b"));
    Feed(stream, 1, std::string("Z\x6B", 2) + std::string(38, 'c'));
    seen = early.Take();
    ASSERT_EQ(seen.size(), 3u);
    for (const Seen& s : seen) EXPECT_EQ(s.type, 107u);
    EXPECT_EQ(std::memcmp(stream.m_byHeader, other.data(), 40), 0);

    // A short header is passed on but never cached. A null pointer with a length is dropped and is no sign of
    // life; an empty packet is passed on and is one.
    Feed(stream, 1, "QMZX\x01");
    EXPECT_EQ(std::memcmp(stream.m_byHeader, other.data(), 40), 0);
    stream.m_tLastData.store(-30);
    stream.OnSourceData(2, nullptr, 100);
    EXPECT_EQ(stream.m_tLastData.load(), -30);
    Feed(stream, 2, "");
    EXPECT_GT(stream.m_tLastData.load(), 0);
    seen = early.Take();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].bytes, "QMZX\x01");
    EXPECT_EQ(seen[1].type, 2u);
    EXPECT_EQ(seen[1].bytes, "");
    stream.StopTakeStream(&early);
    stream.StopTakeStream(&late);
    EXPECT_EQ(stream.m_byHeader[0], 0);  // the last detach clears the cache
}

// Runs the watchdog through passes that all see the clock as it is now: a pass already under way when the
// clock moved may have read it before, so the second pass is the one that counts.
void SettledPasses(CRealStream& stream) {
    for (int round = 0; round < 2; ++round) {
        const uint64_t seen = stream.WatchdogPasses();
        stream.WakeWatchdog();
        ASSERT_TRUE(stream.WaitForWatchdogPass(seen));
    }
}

TEST(RealStream, WatchdogReconnectsOncePerSilenceAndOnlyWhileObserved) {
    auto* mgr = PexloCommon::CPexloInterfaceMgr::GetInstance();
    ASSERT_TRUE(mgr->LoadDso(vantra_test::EmulatorDir()));
    vantra_test::Emulator emu;
    emu.Reset();
    ASSERT_TRUE(mgr->InitLib("https://auth", "https://open", "KEY"));
    CRealStream::SetClock(&FakeNow);
    // Every connect registers the data callback first, so its count is the count of attempts.
    auto attempts = [&] {
        const std::string journal = emu.Journal();
        size_t n = 0;
        for (size_t at = journal.find("Pexlo_SetDataCallBack|"); at != std::string::npos;
             at = journal.find("Pexlo_SetDataCallBack|", at + 1)) {
            ++n;
        }
        return n;
    };
    auto after = [&](CRealStream& stream, int64_t seconds) {
        g_now += seconds;
        SettledPasses(stream);
        return attempts();
    };
    {
        StreamParam param;
        param.strSerial = "SILENT-1";  // plays, sends nothing
        param.iChannel = 1;
        CRealStream stream(param);
        RecordingObserver observer, second;
        bool flag = false;
        ASSERT_TRUE(stream.StartTakeStream(&flag, &observer));
        EXPECT_EQ(after(stream, 0), 1u) << "the first pass after the first attach connects";
        EXPECT_EQ(emu.ActivePlays(), 1);
        EXPECT_EQ(after(stream, 31), 1u) << "no data since the first connect: no second attempt";

        Feed(stream, 2, Media(1, "data"));
        EXPECT_EQ(after(stream, 29), 1u) << "29 s is not yet silence";
        EXPECT_EQ(after(stream, 1), 2u) << "30 whole seconds are";
        EXPECT_EQ(after(stream, 31), 2u);
        EXPECT_EQ(after(stream, 3600), 2u);

        // An attach or a detach allows one more attempt, at once when the silence is already long enough.
        ASSERT_TRUE(stream.StartTakeStream(&flag, &second));
        EXPECT_EQ(after(stream, 0), 3u);
        EXPECT_EQ(after(stream, 31), 3u);
        stream.StopTakeStream(&second);
        EXPECT_EQ(after(stream, 0), 4u);

        // With no observer left the source is closed, and a watchdog pass does not connect it again.
        stream.StopTakeStream(&observer);
        EXPECT_EQ(emu.OpenSessions(), 0);
        EXPECT_EQ(after(stream, 31), 4u);
        EXPECT_EQ(after(stream, 3600), 4u);
        EXPECT_EQ(emu.ActivePlays(), 0);

        // An idle watchdog sleeps for an hour; an attach alone must wake it into its connecting pass.
        const uint64_t seen = stream.WatchdogPasses();
        ASSERT_TRUE(stream.StartTakeStream(&flag, &observer));
        EXPECT_TRUE(stream.WaitForWatchdogPass(seen)) << "the attach did not wake the idle watchdog";
        EXPECT_EQ(attempts(), 5u);
        stream.StopTakeStream(&observer);
    }
    // A stop right after the start, before or after the first pass: nothing plays once the stop returned.
    for (int i = 0; i < 20; ++i) {
        StreamParam param;
        param.strSerial = "CAM-IDLE";
        param.iChannel = 1;
        CRealStream stream(param);
        RecordingObserver observer;
        bool flag = false;
        ASSERT_TRUE(stream.StartTakeStream(&flag, &observer));
        stream.StopTakeStream(&observer);
        const size_t stopped = attempts();
        g_now += 31;
        SettledPasses(stream);
        EXPECT_EQ(emu.ActivePlays(), 0) << i;
        EXPECT_EQ(attempts(), stopped) << i;
    }
    EXPECT_EQ(emu.OpenSessions(), 0);
    EXPECT_EQ(emu.ActivePlays(), 0);
    CRealStream::SetClock(nullptr);
}

namespace {

struct HostCall {
    uint32_t type;
    std::string bytes;
    DeviceDataDescriptor descriptor;
    void* user;
};

std::mutex g_hostMutex;
std::vector<HostCall> g_host;

int HostCallback(intptr_t first, uint32_t type, const DeviceDataDescriptor* descriptor, void* user) {
    EXPECT_EQ(first, 0);
    std::lock_guard<std::mutex> lock(g_hostMutex);
    g_host.push_back(HostCall{type, std::string(static_cast<const char*>(descriptor->pData), descriptor->uLength),
                              *descriptor, user});
    return 0;
}

std::vector<HostCall> TakeHost() {
    std::lock_guard<std::mutex> lock(g_hostMutex);
    std::vector<HostCall> out;
    out.swap(g_host);
    return out;
}

uint32_t U32(const std::string& block, size_t offset) {
    uint32_t value;
    std::memcpy(&value, block.data() + offset, 4);
    return value;
}

std::string CString(const std::string& block, size_t offset) { return std::string(block.c_str() + offset); }

void Deliver(CReciveData2SMS& delivery, uint32_t type, const std::string& bytes) {
    delivery.OnStreamData(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<uint32_t>(bytes.size()),
                          type);
}

}  // namespace

TEST(ReciveData2SMS, BlockDescriptorAndTypeCodes) {
    namespace B = VantraMediaBlock;
    // The layout hosts are compiled against: a change here breaks every one of them.
    static_assert(B::kSize == 1612 && B::kHeaderOffset == 32 && B::kHeaderLengthOffset == 288 &&
                      B::kPayloadTypeOffset == 292 && B::kClockRateOffset == 296 && B::kCodecOffset == 300 &&
                      B::kFormatOffset == 364 && B::kPacketTypeOffset == 1604 && B::kFlagOffset == 1608,
                  "media-description block layout");
    CReciveData2SMS delivery;
    int user = 0;
    Deliver(delivery, 2, "before start");
    delivery.startReciveData(&HostCallback, &user, 0, Sourceless("SER"));
    EXPECT_TRUE(delivery.m_bStart);
    EXPECT_TRUE(TakeHost().empty());

    struct Case {
        std::string header;
        std::string codec;
        uint32_t flag;
    };
    auto zplc = [](uint8_t b8, uint8_t b9, uint8_t b10, uint8_t b11, uint8_t b34) {
        std::string h = Header("ZPLC");
        h[8] = static_cast<char>(b8), h[9] = static_cast<char>(b9), h[10] = static_cast<char>(b10);
        h[11] = static_cast<char>(b11), h[34] = static_cast<char>(b34);
        return h;
    };
    auto qmzx = [](uint16_t form, uint16_t codec) {
        std::string h = Header("QMZX");
        std::memcpy(&h[8], &form, 2);
        std::memcpy(&h[10], &codec, 2);
        return h;
    };
    const Case cases[] = {{zplc(0xC3, 0x00, 0xC0, 0x03, 0), "H265", 1},
                          {zplc(0xC4, 0x00, 0xC0, 0x01, 0), "H264", 1},
                          {zplc(0xC3, 0x00, 0xC0, 0x03, 7), "H265", 0},
                          {qmzx(4, 256), "H264", 1},
                          {qmzx(3, 5), "H265", 0},
                          {qmzx(4, 0), "MP4V-ES", 1},
                          {Header("ABCD"), "MP4V-ES", 0}};
    for (const Case& c : cases) {
        Deliver(delivery, 1, c.header);
        auto calls = TakeHost();
        ASSERT_EQ(calls.size(), 2u);
        const std::string& block = calls[0].bytes;
        EXPECT_EQ(calls[0].type, 10u);
        ASSERT_EQ(block.size(), B::kSize);
        EXPECT_EQ(calls[0].user, &user);
        EXPECT_EQ(calls[0].descriptor.uPayloadType, 96u);
        EXPECT_EQ(calls[0].descriptor.uReserved, 1u);
        EXPECT_EQ(calls[0].descriptor.uFlags, 0u);
        EXPECT_EQ(CString(block, B::kKindOffset), "video");
        EXPECT_EQ(block.substr(B::kHeaderOffset, 40), c.header);
        EXPECT_EQ(U32(block, B::kHeaderLengthOffset), 40u);
        EXPECT_EQ(U32(block, B::kPayloadTypeOffset), 96u);
        EXPECT_EQ(U32(block, B::kClockRateOffset), 90000u);
        EXPECT_EQ(CString(block, B::kCodecOffset), c.codec);
        EXPECT_EQ(CString(block, B::kFormatOffset),
                  "profile-level-id=8;config=000001B0F5000001B50900000100000001200886C400670C58112051");
        EXPECT_EQ(U32(block, B::kPacketTypeOffset), 1u);
        EXPECT_EQ(U32(block, B::kFlagOffset), c.flag) << c.codec;
        EXPECT_EQ(calls[1].type, 1u);
        EXPECT_EQ(calls[1].bytes, c.header);
        EXPECT_EQ(calls[1].descriptor.uFlags, 0u);
    }

    for (uint32_t type : {2u, 3u, 4u, 5u, 6u, 0u, 7u, 107u}) Deliver(delivery, type, "m" + std::to_string(type));
    auto calls = TakeHost();
    ASSERT_EQ(calls.size(), 5u);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(calls[i].type, 2u);
    EXPECT_EQ(calls[1].bytes, "m3");
    EXPECT_EQ(calls[4].type, 11u);
    EXPECT_EQ(calls[4].descriptor.uFlags, 0xFFFFFFFFu);
    EXPECT_EQ(calls[4].descriptor.uPayloadType, 96u);

    // A header longer than the block's field is cut at 256; a short recognised one reads nothing past its end.
    std::string longHeader = qmzx(4, 256) + std::string(300, 'z');
    Deliver(delivery, 1, longHeader);
    calls = TakeHost();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(U32(calls[0].bytes, B::kHeaderLengthOffset), 256u);
    EXPECT_EQ(calls[0].bytes.substr(B::kHeaderOffset, 256), longHeader.substr(0, 256));
    EXPECT_EQ(U32(calls[0].bytes, B::kHeaderLengthOffset + 4), 96u);
    EXPECT_EQ(calls[1].bytes.size(), longHeader.size());
    for (size_t length = 5; length < 36; ++length) {
        Deliver(delivery, 1, zplc(0xC3, 0x00, 0xC0, 0x03, 0).substr(0, length));
        calls = TakeHost();
        ASSERT_EQ(calls.size(), 2u);
        EXPECT_EQ(U32(calls[0].bytes, B::kHeaderLengthOffset), length);
        EXPECT_EQ(CString(calls[0].bytes, B::kCodecOffset), length >= 12 ? "H265" : "MP4V-ES") << length;
        EXPECT_EQ(U32(calls[0].bytes, B::kFlagOffset), length >= 35 ? 1u : 0u) << length;
    }

    delivery.stopReciveData();
    Deliver(delivery, 2, "after stop");
    EXPECT_TRUE(TakeHost().empty());
    EXPECT_EQ(delivery.m_wrapper.m_pRealStream, nullptr);

    // Started again, it attaches to a new stream.
    delivery.startReciveData(&HostCallback, &user, 3, Sourceless("AGAIN"));
    EXPECT_NE(delivery.m_wrapper.m_pRealStream, nullptr);
    EXPECT_EQ(delivery.m_iChannel, 3);
    delivery.stopReciveData();
    EXPECT_EQ(CReciveData2SMS::GetCodecName(0xC001), "H264");
    EXPECT_EQ(CReciveData2SMS::GetCodecName(0xC003), "H265");
    EXPECT_EQ(CReciveData2SMS::GetCodecName(6), "MP4V-ES");
}

TEST(RealStreamWrapper, RefusedAttachIsUndoneAndStopsAreHarmless) {
    ScopedLogCapture capture;
    CRealStreamMgr* mgr = CRealStreamMgr::GetInstance();
    const size_t before = mgr->StreamCount();
    CRealStreamWrapper wrapper;
    wrapper.StopTakeStream(nullptr);  // nothing to stop
    RecordingObserver observer;
    // A refused attach (the stream leaves the flag false) is undone at once.
    bool flag = false;
    wrapper.StartTakeStream(&flag, nullptr, Sourceless("REF"));
    EXPECT_FALSE(flag);
    EXPECT_EQ(wrapper.m_pRealStream, nullptr);
    EXPECT_EQ(mgr->StreamCount(), before);
    EXPECT_EQ(capture.CountContaining("[PexloCommon::CRealStreamWrapper::StartTakeStream][StartTakeStream] "
                                      "StartTakeStream failed Serial:REF, channel:1["),
              1u);
    flag = true;
    wrapper.StartTakeStream(&flag, &observer, Sourceless("OK"));
    EXPECT_TRUE(flag);
    ASSERT_NE(wrapper.m_pRealStream, nullptr);
    EXPECT_EQ(wrapper.m_pRealStream->m_iTimeout.load(), 30);
    EXPECT_EQ(mgr->StreamCount(), before + 1);
    // A second start without a stop gives the first stream back instead of leaking it.
    wrapper.StartTakeStream(&flag, &observer, Sourceless("OK2"));
    EXPECT_EQ(mgr->StreamCount(), before + 1);
    wrapper.StopTakeStream(&observer);
    wrapper.StopTakeStream(&observer);
    EXPECT_EQ(wrapper.m_pRealStream, nullptr);
    EXPECT_EQ(mgr->StreamCount(), before);
}
