// Real streams, the manager, the wrapper and media delivery, driven directly; the watchdog against the SDK
// emulator with a fake clock.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
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

class RecordingObserver : public CRealStreamObserver {
public:
    void OnStreamData(const unsigned char*, uint32_t, uint32_t) override { ++calls; }
    std::atomic<int> calls{0};
};

void Feed(CRealStream& stream, uint32_t type, const std::string& bytes) {
    stream.OnSourceData(type, reinterpret_cast<const unsigned char*>(bytes.data()),
                        static_cast<uint32_t>(bytes.size()));
}

std::atomic<int64_t> g_now{1000};
int64_t FakeNow() { return g_now.load(); }

}  // namespace

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

// The fan-out itself (header cache, retyping, limits) is held to its model by the fan-out fuzz target's seeds.
TEST(RealStream, OnlyDataThatArrivesIsASignOfLife) {
    CRealStream stream(Sourceless());
    RecordingObserver observer;
    bool flag = false;
    ASSERT_TRUE(stream.StartTakeStream(&flag, &observer));
    stream.m_tLastData.store(-30);
    stream.OnSourceData(2, nullptr, 100);
    EXPECT_EQ(stream.m_tLastData.load(), -30);
    Feed(stream, 2, "");
    EXPECT_GT(stream.m_tLastData.load(), 0);
    EXPECT_EQ(observer.calls.load(), 1);
    stream.StopTakeStream(&observer);
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
    auto attempts = [&] { return emu.Count("Pexlo_SetDataCallBack|"); };
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

        Feed(stream, 2, "data");
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

std::atomic<int> g_hostCalls{0};

int HostCallback(intptr_t, uint32_t, const DeviceDataDescriptor*, void*) {
    ++g_hostCalls;
    return 0;
}

void Deliver(CReciveData2SMS& delivery, uint32_t type, const std::string& bytes) {
    delivery.OnStreamData(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<uint32_t>(bytes.size()),
                          type);
}

}  // namespace

// What each packet becomes for the host is held to its model by the delivery fuzz target's seeds.
TEST(ReciveData2SMS, DeliversOnlyBetweenStartAndStopAndStartsAgain) {
    namespace B = VantraMediaBlock;
    // The layout hosts are compiled against: a change here breaks every one of them.
    static_assert(B::kSize == 1612 && B::kHeaderOffset == 32 && B::kHeaderLengthOffset == 288 &&
                      B::kPayloadTypeOffset == 292 && B::kClockRateOffset == 296 && B::kCodecOffset == 300 &&
                      B::kFormatOffset == 364 && B::kPacketTypeOffset == 1604 && B::kFlagOffset == 1608,
                  "media-description block layout");
    CReciveData2SMS delivery;
    Deliver(delivery, 2, "before start");
    delivery.startReciveData(&HostCallback, nullptr, 0, Sourceless("SER"));
    EXPECT_TRUE(delivery.m_bStart);
    EXPECT_EQ(g_hostCalls.load(), 0);
    Deliver(delivery, 1, "QMZX" + std::string(36, '\0'));
    Deliver(delivery, 2, "media");
    EXPECT_EQ(g_hostCalls.load(), 3);
    delivery.stopReciveData();
    Deliver(delivery, 2, "after stop");
    EXPECT_EQ(g_hostCalls.load(), 3);
    EXPECT_EQ(delivery.m_wrapper.m_pRealStream, nullptr);

    // Started again, it attaches to a new stream.
    delivery.startReciveData(&HostCallback, nullptr, 3, Sourceless("AGAIN"));
    EXPECT_NE(delivery.m_wrapper.m_pRealStream, nullptr);
    EXPECT_EQ(delivery.m_iChannel, 3);
    delivery.stopReciveData();
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
