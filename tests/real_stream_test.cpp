// Real streams, the manager, the wrapper and media delivery, driven directly; the watchdog against the SDK
// emulator with a fake clock.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "RealStream.h"
#include "RealStreamMgr.h"
#include "RealStreamWrapper.h"
#include "SdkTestSupport.h"
#include "ZephBase/Log.h"

using PexloCommon::CRealStream;
using PexloCommon::CRealStreamMgr;
using PexloCommon::StreamParam;
using Zeph::Base::details::ScopedLogCapture;

namespace {

// Source type 0 has no SDK source: attach, detach and fan-out without the cloud.
StreamParam Param(const std::string& serial = "X", int32_t sourceType = 0) {
    StreamParam param;
    param.iSourceType = sourceType;
    param.strSerial = serial;
    param.iChannel = 1;
    return param;
}

struct RecordingObserver : PexloCommon::CRealStreamObserver {
    void OnStreamData(const unsigned char*, uint32_t, uint32_t) override { ++calls; }
    std::atomic<int> calls{0};
};

const unsigned char* Bytes(const std::string& text) { return reinterpret_cast<const unsigned char*>(text.data()); }

std::atomic<int64_t> g_now{1000};
int64_t FakeNow() { return g_now.load(); }

// Counts the host's calls in the atomic its user pointer names.
int HostCallback(intptr_t, uint32_t, const DeviceDataDescriptor*, void* user) {
    ++*static_cast<std::atomic<int>*>(user);
    return 0;
}

}  // namespace

TEST(RealStreamMgr, EveryCreateIsANewEntryAndTheLastReleaseDeletes) {
    CRealStreamMgr* mgr = CRealStreamMgr::GetInstance();
    const size_t before = mgr->StreamCount();
    CRealStream* first = mgr->CreateRealStream(Param("SAME"));
    CRealStream* second = mgr->CreateRealStream(Param("SAME"));
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

// The fan-out itself (header cache, retyping, limits) is held to its model by the fan-out fuzz target's seeds.
TEST(RealStream, AttachLimitThreadStartDetachAndSignsOfLife) {
    ScopedLogCapture capture;
    CRealStream stream(Param());
    // Only data that arrives is a sign of life: a null pointer with a length is not, an empty packet is.
    // Checked before the first attach starts the watchdog, whose connects write the time too.
    stream.m_tLastData.store(-30);
    stream.OnSourceData(2, nullptr, 100);
    EXPECT_EQ(stream.m_tLastData.load(), -30);
    stream.OnSourceData(2, Bytes(""), 0);
    EXPECT_GT(stream.m_tLastData.load(), 0);

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
    stream.OnSourceData(2, nullptr, 100);  // dropped
    stream.OnSourceData(2, Bytes(""), 0);  // passed on
    EXPECT_EQ(observers[0].calls.load(), 1);

    stream.StopTakeStream(&observers[0]);
    EXPECT_TRUE(stream.StartTakeStream(&flag, &observers[65]));
    EXPECT_TRUE(flag);
    EXPECT_EQ(stream.m_vObserver.size(), 65u);
    for (int i = 1; i < 66; ++i) stream.StopTakeStream(&observers[i]);
    EXPECT_TRUE(stream.m_vObserver.empty());
    EXPECT_TRUE(stream.IsWatchdogRunning());  // only the destructor stops the thread
}

TEST(RealStream, WatchdogReconnectsOncePerSilenceAndOnlyWhileObserved) {
    ASSERT_TRUE(vantra_test::LoadAndInit());
    vantra_test::Emulator emu;
    CRealStream::SetClock(&FakeNow);
    // Every connect registers the data callback first, so its count is the count of attempts.
    auto attempts = [&] { return emu.Count("Pexlo_SetDataCallBack|"); };
    // Moves the clock, then runs passes that all see it moved: a pass already under way may have read it
    // before, so the second pass is the one that counts.
    auto after = [&](CRealStream& stream, int64_t seconds) {
        g_now += seconds;
        for (int round = 0; round < 2; ++round) {
            const uint64_t seen = stream.WatchdogPasses();
            stream.WakeWatchdog();
            EXPECT_TRUE(stream.WaitForWatchdogPass(seen));
        }
        return attempts();
    };
    CRealStream stream(Param("SILENT-1", PexloCommon::kSourceTypeNubrix));  // plays, sends nothing
    RecordingObserver observer, second;
    bool flag = false;
    ASSERT_TRUE(stream.StartTakeStream(&flag, &observer));
    EXPECT_EQ(after(stream, 0), 1u) << "the first pass after the first attach connects";
    EXPECT_EQ(emu.ActivePlays(), 1);
    EXPECT_EQ(after(stream, 31), 1u) << "no data since the first connect: no second attempt";

    stream.OnSourceData(2, Bytes("data"), 4);
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

    // A stop right after the start, before or after the first pass: nothing plays once the stop returned.
    for (int i = 0; i < 20; ++i) {
        CRealStream idle(Param("CAM-IDLE", PexloCommon::kSourceTypeNubrix));
        ASSERT_TRUE(idle.StartTakeStream(&flag, &observer));
        idle.StopTakeStream(&observer);
        const size_t stopped = attempts();
        EXPECT_EQ(after(idle, 31), stopped) << i;
        EXPECT_EQ(emu.ActivePlays(), 0) << i;
    }
    EXPECT_EQ(emu.OpenSessions(), 0);
    CRealStream::SetClock(nullptr);
}

// What each packet becomes for the host is held to its model by the delivery fuzz target's seeds.
TEST(ReciveData2SMS, DeliversOnlyBetweenStartAndStopAndStartsAgain) {
    namespace B = VantraMediaBlock;
    // The layout hosts are compiled against: a change here breaks every one of them.
    static_assert(B::kSize == 1612 && B::kHeaderOffset == 32 && B::kHeaderLengthOffset == 288 &&
                      B::kPayloadTypeOffset == 292 && B::kClockRateOffset == 296 && B::kCodecOffset == 300 &&
                      B::kFormatOffset == 364 && B::kPacketTypeOffset == 1604 && B::kFlagOffset == 1608,
                  "media-description block layout");
    PexloCommon::CReciveData2SMS delivery;
    std::atomic<int> hostCalls{0};
    delivery.OnStreamData(Bytes("before start"), 12, 2);
    delivery.startReciveData(&HostCallback, &hostCalls, 0, Param("SER"));
    EXPECT_EQ(hostCalls.load(), 0);
    delivery.OnStreamData(Bytes("QMZX" + std::string(36, '\0')), 40, 1);
    delivery.OnStreamData(Bytes("media"), 5, 2);
    EXPECT_EQ(hostCalls.load(), 3);
    delivery.stopReciveData();
    delivery.OnStreamData(Bytes("after stop"), 10, 2);
    EXPECT_EQ(hostCalls.load(), 3);
    EXPECT_EQ(delivery.m_wrapper.m_pRealStream, nullptr);

    // Started again, it attaches to a new stream.
    delivery.startReciveData(&HostCallback, &hostCalls, 3, Param("AGAIN"));
    EXPECT_NE(delivery.m_wrapper.m_pRealStream, nullptr);
    EXPECT_EQ(delivery.m_iChannel, 3);
    delivery.stopReciveData();
}

TEST(RealStreamWrapper, RefusedAttachIsUndoneAndStopsAreHarmless) {
    ScopedLogCapture capture;
    CRealStreamMgr* mgr = CRealStreamMgr::GetInstance();
    const size_t before = mgr->StreamCount();
    PexloCommon::CRealStreamWrapper wrapper;
    wrapper.StopTakeStream(nullptr);  // nothing to stop
    RecordingObserver observer;
    // A refused attach (the stream leaves the flag false) is undone at once.
    bool flag = false;
    wrapper.StartTakeStream(&flag, nullptr, Param("REF"));
    EXPECT_FALSE(flag);
    EXPECT_EQ(wrapper.m_pRealStream, nullptr);
    EXPECT_EQ(mgr->StreamCount(), before);
    EXPECT_EQ(capture.CountContaining("[PexloCommon::CRealStreamWrapper::StartTakeStream][StartTakeStream] "
                                      "StartTakeStream failed Serial:REF, channel:1["),
              1u);
    flag = true;
    wrapper.StartTakeStream(&flag, &observer, Param("OK"));
    EXPECT_TRUE(flag);
    ASSERT_NE(wrapper.m_pRealStream, nullptr);
    EXPECT_EQ(wrapper.m_pRealStream->m_iTimeout.load(), 30);
    EXPECT_EQ(mgr->StreamCount(), before + 1);
    // A second start without a stop gives the first stream back instead of leaking it.
    wrapper.StartTakeStream(&flag, &observer, Param("OK2"));
    EXPECT_EQ(mgr->StreamCount(), before + 1);
    wrapper.StopTakeStream(&observer);
    wrapper.StopTakeStream(&observer);
    EXPECT_EQ(wrapper.m_pRealStream, nullptr);
    EXPECT_EQ(mgr->StreamCount(), before);
}
