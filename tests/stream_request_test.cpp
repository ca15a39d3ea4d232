// Live video end to end through the built plugin and both emulators, and counterparts that misbehave: a platform
// server that is slow, cut short or malformed, and a cloud SDK that refuses, blocks or calls back late.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "HostSink.h"

using vantra_test::OnData;
using vantra_test::Plugin;
using vantra_test::Received;
using vantra_test::Request;
using vantra_test::ResidentBytes;
using vantra_test::SetEnv;
using vantra_test::TempInstall;
using vantra_test::UnsetEnv;

namespace {

class StreamRequests : public vantra_test::RunningPlugin {};

using vantra_test::Clock;
using vantra_test::ElapsedMs;

// Stops a stream, its own or another, at its first media packet once `peers` callbacks are inside a delivery.
struct Stopper {
    Plugin* plugin = nullptr;
    DeviceObjectHandle handle = -1, target = -1;
    std::string url;
    std::atomic<int>* inside = nullptr;
    int peers = 1;
    std::atomic<bool> asked{false};
    std::atomic<int> after{0};
    std::atomic<long long> stopMs{0};
    void Arm(Plugin* on, const std::string& serial) {
        plugin = on;
        handle = target = on->CreateInstance();
        url = "rtsp://sms/live?deviceseq=" + serial;
    }
};

int StopsAStream(intptr_t, uint32_t type, const DeviceDataDescriptor*, void* user) {
    auto* self = static_cast<Stopper*>(user);
    if (self->asked.load()) {
        if (self->target == self->handle) ++self->after;
        return 0;
    }
    if (type != kDeviceDataMedia) return 0;
    if (self->inside != nullptr) {
        ++*self->inside;
        vantra_test::WaitUntil([&] { return self->inside->load() >= self->peers; }, 5000);
    }
    const auto start = Clock::now();
    self->plugin->StopStream(self->target);
    self->stopMs = ElapsedMs(start);
    self->asked = true;
    return 0;
}

// One host request for a camera; the request record points into `url`, which lives as long as it.
struct HostStream {
    HostStream(Plugin& plugin, const std::string& serial)
        : url("rtsp://sms/live?deviceseq=" + serial),
          request(vantra_test::Request(url)),
          handle(plugin.CreateInstance()) {}
    int Start(Plugin& plugin) { return plugin.StartStream(handle, &request, &OnData, &received); }
    std::string url;
    DeviceStreamRequest request;
    DeviceObjectHandle handle;
    vantra_test::Received received;
};

struct PlatformFault {
    const char* what;
    std::vector<std::string> options;
    // The 3 s time-outs plus slack; a trickle is cut off once all three have passed.
    long long boundMs = 8000;
};

// Every way the platform server can fail one exchange; none may hang, crash or blow up memory.
const std::vector<PlatformFault> kPlatformFaults = {
    {"slower than the 3 s time-out", {"--fault-delay-ms", "4000"}},
    {"closing mid-reply", {"--fault-truncate"}},
    {"a 100 MiB body", {"--fault-huge-body", "100"}},
    {"truncated JSON", {"--fault-body", R"({"code":0,"data":{"accessToken":"ZW11","nubrixAddr":"cl)"}},
    {"wrong-typed JSON",
     {"--fault-body", R"({"code":0,"data":{"accessToken":7,"authAddr":[],"openAddr":{},"appKey":null,)"
                      R"("nubrixType":3,"TokenJson":false}})"}},
    {"code as text", {"--fault-body", R"({"code":"0","data":{}})"}},
    {"not an object", {"--fault-body", "[0,1,2]"}},
    {"trickling its headers forever", {"--fault-trickle", "1000"}, 14000},
    {"one endless header line", {"--fault-endless-header"}},
    {"an empty body", {"--fault-empty"}},
    {"a body that is no JSON", {"--fault-not-json"}},
    {"closing without a reply", {"--fault-close"}},
    {"a refusing code", {"--fault-code", "2001"}},
};

class FaultInjection : public vantra_test::RunningPlugin {
protected:
    void TearDown() override {
        for (const char* name : {"LUMAVEX_EMU_FAIL_INIT", "LUMAVEX_EMU_FAIL_ALLOC", "LUMAVEX_EMU_FAIL_PLAY",
                                 "LUMAVEX_EMU_SLOW_ALLOC", "LUMAVEX_EMU_SLOW_MS"}) {
            UnsetEnv(name);
        }
        if (emu) emu->ReleaseHung();
        RunningPlugin::TearDown();
    }
};

}  // namespace

TEST_F(StreamRequests, HandleRulesStopRestartAndRacingStartsAndStops) {
    Start({"--cloud-type", "1"});
    Received first, second;
    const std::string url = "rtsp://sms/live?deviceseq=CAM1";
    DeviceStreamRequest request = Request(url, 4);
    DeviceObjectHandle handle = plugin->CreateInstance();
    ASSERT_EQ(plugin->StartStream(handle, &request, &OnData, &first), 0);
    EXPECT_EQ(plugin->StartStream(handle, &request, &OnData, &second), -1);
    ASSERT_TRUE(first.WaitForMedia(3));
    EXPECT_EQ(second.Media(), 0u);
    // Another request for the same camera is a stream of its own, and stopping it leaves the first playing.
    Received twin;
    const DeviceObjectHandle other = plugin->CreateInstance();
    ASSERT_EQ(plugin->StartStream(other, &request, &OnData, &twin), 0);
    EXPECT_TRUE(vantra_test::WaitUntil([&] { return emu->OpenSessions() == 2; }));
    plugin->StopStream(other);
    EXPECT_TRUE(first.WaitForMedia(first.Media() + 1));
    plugin->StopStream(handle + 1000);  // unknown: ignored
    EXPECT_NE(emu->Journal().find("|CAM1|5||0\n"), std::string::npos) << "channel index 4 plays channel 5, level 0";
    // Each play is configured first, with key 2 and value 1.
    EXPECT_EQ(emu->Count("Pexlo_SetSessionConfig|"), emu->Count("|2|1\n"));
    EXPECT_EQ(emu->Count("Pexlo_SetSessionConfig|"), emu->Count("Pexlo_StartPlayWithStreamType|"));
    EXPECT_EQ(emu->Journal().find("Pexlo_SetDeviceTkTokens"), std::string::npos) << "no device token in this mode";

    // Destroyed without a stop, the handle stays taken until the request stops, across Fini and Init too.
    EXPECT_EQ(plugin->DestroyInstance(handle), 0);
    EXPECT_EQ(plugin->CreateInstance(), handle);
    EXPECT_TRUE(plugin->Fini());
    ASSERT_EQ(plugin->Init(), 0);
    EXPECT_EQ(plugin->StartStream(handle, &request, &OnData, &second), -1);
    plugin->StopStream(handle);
    first.stopped = true;

    // Starts and stops racing on the handle leave nothing behind, and it plays again after them.
    std::unique_ptr<Received[]> sinks(new Received[100]);
    std::atomic<int> round{-1}, stopsDone{0};
    std::thread stopper([&] {
        for (int i = 0; i < 100; ++i) {
            while (round.load() < i) std::this_thread::yield();
            plugin->StopStream(handle);
            ++stopsDone;
        }
    });
    int accepted = 0;
    for (int i = 0; i < 100; ++i) {
        round = i;
        if (plugin->StartStream(handle, &request, &OnData, &sinks[i]) == 0) ++accepted;
        while (stopsDone.load() <= i) std::this_thread::yield();
    }
    stopper.join();
    plugin->StopStream(handle);
    for (int i = 0; i < 100; ++i) sinks[i].stopped = true;
    EXPECT_GE(accepted, 1);
    ExpectSdkIdle();  // every session freed: no callback can still come
    for (int i = 0; i < 100; ++i) EXPECT_EQ(sinks[i].afterStop.load(), 0);
    EXPECT_EQ(first.afterStop.load(), 0);
    ExpectPlaysAgain(handle, request);
}

// A fault on the access information fails Init; one on the device token starts the request, whose play is refused.
TEST(PlatformFaults, EachFaultFailsOnlyItsOwnExchangeInTime) {
    for (const PlatformFault& fault : kPlatformFaults) {
        for (const std::string path : {"access", "token"}) {
            const std::string what = std::string(fault.what) + " on the " + path + " path";
            std::vector<std::string> options = fault.options;
            options.insert(options.end(), {"--fault-path", path, "--cloud-type", "3"});
            TempInstall install(options);
            ASSERT_GT(install.platform->port, 0) << what;
            Plugin plugin;
            const long long residentBefore = ResidentBytes();
            auto start = Clock::now();
            if (path == "access") {
                EXPECT_EQ(plugin.Init(), -1) << what;
                EXPECT_LT(ElapsedMs(start), fault.boundMs) << what;
                EXPECT_FALSE(plugin.Fini()) << what;
            } else {
                ASSERT_EQ(plugin.Init(), 0) << what;
                vantra_test::Emulator emu(install.PluginDir());
                HostStream stream(plugin, "CAMTOKEN");
                start = Clock::now();
                EXPECT_EQ(stream.Start(plugin), 0) << what;
                EXPECT_LT(ElapsedMs(start), fault.boundMs) << what;
                // Nothing is delivered after the refused play, and a malformed token never reaches the SDK.
                EXPECT_TRUE(vantra_test::WaitUntil([&] {
                    return emu.Journal().find("Pexlo_StartPlayWithStreamType|") != std::string::npos;
                })) << what;
                EXPECT_EQ(stream.received.Media(), 0u) << what;
                EXPECT_EQ(emu.Journal().find("Pexlo_SetDeviceTkTokens|{"), std::string::npos) << what;
                plugin.StopStream(stream.handle);
                EXPECT_EQ(emu.OpenSessions(), 0) << what;
                EXPECT_TRUE(plugin.Fini()) << what;
            }
            EXPECT_LT(ResidentBytes() - residentBefore, 48ll << 20) << what << ": the body was not bounded";
        }
    }
}

TEST_F(FaultInjection, SdkRefusalsAreReportedAndRecover) {
    Start({"--cloud-type", "1"});
    ASSERT_TRUE(plugin->Fini());
    SetEnv("LUMAVEX_EMU_FAIL_INIT", "1");
    EXPECT_EQ(plugin->Init(), -1);
    EXPECT_EQ(plugin->GetLastError(), 400010);
    UnsetEnv("LUMAVEX_EMU_FAIL_INIT");
    ASSERT_EQ(plugin->Init(), 0);

    for (const char* variable : {"LUMAVEX_EMU_FAIL_ALLOC", "LUMAVEX_EMU_FAIL_PLAY"}) {
        SetEnv(variable, "1");
        HostStream refused(*plugin, "CAMREFUSED");
        EXPECT_EQ(refused.Start(*plugin), 0) << variable;
        // The refusal is recorded once the refused call has returned: nothing can be delivered after it.
        EXPECT_TRUE(vantra_test::WaitUntil([&] { return plugin->GetLastError() == 400010; })) << variable;
        EXPECT_EQ(refused.received.Media(), 0u) << variable;
        plugin->StopStream(refused.handle);
        UnsetEnv(variable);
        ExpectSdkIdle();
        ExpectPlaysAgain(refused.handle, refused.request);
        plugin->DestroyInstance(refused.handle);
    }

    // A play refused late: the header and media that still come are delivered until the stop.
    HostStream late(*plugin, "LATE-CAM");
    ASSERT_EQ(late.Start(*plugin), 0);
    EXPECT_TRUE(late.received.WaitForMedia(5));
    EXPECT_EQ(plugin->GetLastError(), 400903);
    plugin->StopStream(late.handle);
    late.received.stopped = true;
    // The session is freed, and the SDK calls back for no freed session: any late call has been made already.
    EXPECT_EQ(emu->OpenSessions(), 0);
    EXPECT_EQ(late.received.afterStop.load(), 0);
    std::lock_guard<std::mutex> lock(late.received.mutex);
    ASSERT_GE(late.received.types.size(), 2u);
    EXPECT_EQ(late.received.types[0], 10u);
    EXPECT_EQ(late.received.types[1], 1u);
}

// One camera whose cloud blocks for seconds in its allocation, play start, stop and free, beside 32 others.
TEST_F(FaultInjection, ASlowCloudCameraHoldsUpNoOther) {
    constexpr int kSlowMs = 3000;
    SetEnv("LUMAVEX_EMU_SLOW_MS", std::to_string(kSlowMs));
    SetEnv("LUMAVEX_EMU_SLOW_ALLOC", "1:" + std::to_string(kSlowMs));  // the slow camera's is the first
    Start({"--cloud-type", "1"});
    enum Phase { kAllocating, kPlayStarting, kStopping, kDone };
    std::atomic<int> phase{kAllocating};
    std::thread slow([&] {
        HostStream stream(*plugin, "SLOW-CAM");
        EXPECT_EQ(stream.Start(*plugin), 0);
        phase = kPlayStarting;  // its watchdog's first pass is inside the blocked play start now
        EXPECT_TRUE(stream.received.WaitForMedia(1, 4 * kSlowMs));
        phase = kStopping;  // the play stop and the free block in turn, going on behind a StopStream that returns
        plugin->StopStream(stream.handle);
        phase = kDone;
        plugin->DestroyInstance(stream.handle);
    });
    for (int during : {kAllocating, kPlayStarting, kStopping}) {
        while (phase.load() < during) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // let the slow call get under way
        const std::string slowSession = emu->SessionOf("SLOW-CAM");
        std::vector<std::thread> threads;
        for (int i = 0; i < 32; ++i) {
            threads.emplace_back([&, i] {
                HostStream stream(*plugin, "CAM-" + std::to_string(during) + "-" + std::to_string(i));
                auto start = Clock::now();
                EXPECT_EQ(stream.Start(*plugin), 0);
                EXPECT_LT(ElapsedMs(start), kSlowMs / 2) << "a start during phase " << during;
                EXPECT_TRUE(stream.received.WaitForMedia(1)) << during;
                start = Clock::now();
                plugin->StopStream(stream.handle);
                EXPECT_LT(ElapsedMs(start), kSlowMs / 2) << "a stop during phase " << during;
                plugin->DestroyInstance(stream.handle);
                std::lock_guard<std::mutex> lock(stream.received.mutex);
                EXPECT_EQ(stream.received.types.empty() ? 0u : stream.received.types.front(), 10u)
                    << "the description block first, phase " << during;
            });
        }
        for (std::thread& thread : threads) thread.join();
        if (during == kStopping) {
            EXPECT_EQ(emu->Count("Pexlo_FreeSession|" + slowSession + "\n"), 0u)
                << "the others ended only after the slow play stop";
        } else {
            EXPECT_EQ(phase.load(), during) << "the others ended only after the slow call";
        }
    }
    slow.join();
    EXPECT_TRUE(plugin->Fini());
    ExpectSdkIdle();
    EXPECT_EQ(vantra_test::ThreadsNamed("vantra-watch") + vantra_test::ThreadsNamed("vantra-refresh"), 0);
}

// The SDK calls back after the free (with the user values it was given) or from inside the play stop, on the stopping
// thread.
TEST_F(FaultInjection, LateAndReentrantCallbacksReachNothing) {
    Start({"--cloud-type", "1"});
    for (const char* serial : {"GHOST-CAM", "REENTER-CAM"}) {
        HostStream stream(*plugin, serial);
        ASSERT_EQ(stream.Start(*plugin), 0) << serial;
        ASSERT_TRUE(stream.received.WaitForMedia(3)) << serial;
        const long long strays = emu->LateCallbacks() + emu->ReentrantCallbacks();
        stream.received.watched = std::this_thread::get_id();
        plugin->StopStream(stream.handle);
        stream.received.watched = std::thread::id();
        stream.received.stopped = true;
        // A data and a message callback, after the free or inside the stop.
        EXPECT_TRUE(vantra_test::WaitUntil([&] {
            return emu->LateCallbacks() + emu->ReentrantCallbacks() >= strays + 2;
        })) << serial;
        EXPECT_EQ(stream.received.afterStop.load(), 0) << serial;
        EXPECT_EQ(stream.received.onWatched.load(), 0) << serial << ": a callback inside the host's StopStream";
        EXPECT_EQ(stream.received.stray.load(), 0) << serial;
        ExpectPlaysAgain(stream.handle, HostStream(*plugin, "CAM-AFTER").request);
    }
}

// A play stop and a free that never return.
TEST_F(FaultInjection, AStopThatHangsReturnsAndTheReleaseGoesOnBehindIt) {
    Start({"--cloud-type", "1"});
    HostStream stream(*plugin, "HANG-CAM");
    ASSERT_EQ(stream.Start(*plugin), 0);
    ASSERT_TRUE(stream.received.WaitForMedia(3));
    const std::string session = emu->SessionOf("HANG-CAM");
    ASSERT_FALSE(session.empty());
    ASSERT_TRUE(vantra_test::ReturnsInTime([&] { plugin->StopStream(stream.handle); }, [&] { emu->ReleaseHung(); }))
        << "StopStream waited for the SDK";
    stream.received.stopped = true;
    EXPECT_EQ(emu->HungCalls(), 1) << "the play stop is still inside the SDK";
    const long long sent = emu->PacketsSent();
    EXPECT_TRUE(vantra_test::WaitUntil([&] { return emu->PacketsSent() > sent + 5; })) << "the play goes on";
    EXPECT_EQ(stream.received.afterStop.load(), 0);

    HostStream next(*plugin, "CAM-NEXT");
    ASSERT_EQ(plugin->StartStream(stream.handle, &next.request, &OnData, &next.received), 0);
    EXPECT_TRUE(next.received.WaitForMedia(2));
    plugin->StopStream(stream.handle);

    // A release slow in the stream's own deletion (a refused play leaves it only the free) holds up no other
    // camera's start.
    emu->Block("Pexlo_FreeSession=hang");
    HostStream refused(*plugin, "REFUSE-FREE");
    ASSERT_EQ(refused.Start(*plugin), 0);
    ASSERT_TRUE(vantra_test::WaitUntil([&] { return emu->Count("|REFUSE-FREE|") > 0; }));
    plugin->StopStream(refused.handle);
    ASSERT_TRUE(vantra_test::WaitUntil([&] { return emu->HungCalls() == 2; }));
    HostStream beside(*plugin, "CAM-BESIDE");
    ASSERT_EQ(beside.Start(*plugin), 0);
    EXPECT_TRUE(beside.received.WaitForMedia(2));
    emu->Block("");
    plugin->StopStream(beside.handle);

    emu->ReleaseHung();
    EXPECT_TRUE(vantra_test::WaitUntil([&] { return emu->OpenSessions() == 0 && emu->HungCalls() == 0; }));
    const std::string journal = emu->Journal();
    const size_t stop = journal.find("Pexlo_StopRealPlayEx|" + session + "\n");
    ASSERT_NE(stop, std::string::npos);
    EXPECT_NE(journal.find("Pexlo_FreeSession|" + session + "\n", stop), std::string::npos);
    EXPECT_NE(install.LogText().find("session:" + session + " still being released after "), std::string::npos);
}

// Once the SDK returns, the start that went on behind the call gives its session back without reaching the host.
TEST_F(FaultInjection, StartsAndTheErrorQueryReturnInTheirBoundWhateverCallNeverReturns) {
    constexpr int kBoundWithSlackMs = 3000;  // 1 s, and what sanitizers and a busy machine add
    Start({"--cloud-type", "3"});
    const auto release = [&] {
        emu->Block("");
        emu->ReleaseHung();
    };
    for (const std::string entry :
         {"Pexlo_AllocSessionEx", "Pexlo_Data_Free", "Pexlo_SetDeviceTkTokens", "Pexlo_GetLastErrorCode"}) {
        emu->Block((entry + "=hang").c_str());
        if (entry == "Pexlo_GetLastErrorCode") {
            EXPECT_TRUE(vantra_test::ReturnsInTime([&] { EXPECT_EQ(plugin->GetLastError(), 600002); }, release,
                                                   kBoundWithSlackMs));
        } else {
            HostStream stuck(*plugin, "CAM-STUCK");
            EXPECT_TRUE(
                vantra_test::ReturnsInTime([&] { EXPECT_EQ(stuck.Start(*plugin), 0); }, release, kBoundWithSlackMs))
                << entry;
            EXPECT_EQ(stuck.Start(*plugin), -1) << "registered";
            EXPECT_TRUE(
                vantra_test::ReturnsInTime([&] { plugin->StopStream(stuck.handle); }, release, kBoundWithSlackMs))
                << entry;
            stuck.received.stopped = true;
            emu->Block("");
            HostStream next(*plugin, "CAM-NEXT");
            ASSERT_EQ(plugin->StartStream(stuck.handle, &next.request, &OnData, &next.received), 0);
            EXPECT_TRUE(next.received.WaitForMedia(2)) << entry;
            plugin->StopStream(stuck.handle);
            emu->ReleaseHung();
            EXPECT_TRUE(vantra_test::WaitUntil([&] { return emu->OpenSessions() == 0 && emu->OutstandingIds() == 0; }))
                << entry;
            EXPECT_EQ(stuck.received.afterStop.load() + static_cast<int>(stuck.received.types.size()), 0) << entry;
        }
        release();
        EXPECT_NE(install.LogText().find(entry + " has not returned after"), std::string::npos) << entry;
    }
    // The device token for channel index 0 was fetched as channel 1 and handed to the SDK.
    EXPECT_NE(emu->Journal().find("Pexlo_SetDeviceTkTokens|{\"deviceSerial\":\"CAM-NEXT\",\"channelNo\":1"),
              std::string::npos);
    ExpectSdkIdle();
}

// The cloud holds every play stop. Two streams that stop each other must not deadlock; a stop from outside then finds
// a handle's new request and the one its callback stopped, and ends both.
TEST_F(FaultInjection, StopsFromCallbacksCutTheHostOffAtOnceAndRunSideBySide) {
    SetEnv("LUMAVEX_EMU_HANG_MS", "1500");
    SetEnv("LUMAVEX_EMU_FPS", "0");  // the next packet waits at the gate while the callback asks
    Start({"--cloud-type", "1"});
    constexpr int kSelf = 6, kStreams = kSelf + 2;
    std::atomic<int> crossing{0};
    Stopper streams[kStreams];
    for (int i = 0; i < kStreams; ++i)
        streams[i].Arm(plugin.get(), (i < kSelf ? "HANG-SELF-" : "HANG-CROSS-") + std::to_string(i));
    for (int i = kSelf; i < kStreams; ++i) {
        streams[i].target = streams[kSelf + kStreams - 1 - i].handle;
        streams[i].inside = &crossing;
        streams[i].peers = 2;
    }
    for (Stopper& stream : streams) {
        const DeviceStreamRequest request = Request(stream.url);
        ASSERT_EQ(plugin->StartStream(stream.handle, &request, &StopsAStream, &stream), 0);
    }
    for (Stopper& stream : streams) {
        ASSERT_TRUE(vantra_test::WaitUntil([&] { return stream.asked.load(); })) << stream.url;
        EXPECT_LT(stream.stopMs.load(), 1000) << stream.url;
    }
    // The play goes on in the SDK while each stop blocks there; the host hears none of it.
    const long long sent = emu->PacketsSent();
    ASSERT_TRUE(vantra_test::WaitUntil([&] { return emu->PacketsSent() > sent + 10; }));
    for (Stopper& stream : streams) EXPECT_EQ(stream.after.load(), 0) << stream.url;
    ASSERT_TRUE(vantra_test::WaitUntil([&] { return emu->Count("Pexlo_FreeSession|") >= kStreams; }));
    const std::string journal = emu->Journal();
    EXPECT_LT(journal.rfind("Pexlo_StopRealPlayEx|"), journal.find("Pexlo_FreeSession|"))
        << "every release began before the first had freed its session";
    ASSERT_TRUE(vantra_test::WaitUntil([&] { return emu->OpenSessions() == 0; }));
    for (int i : {0, kSelf}) ExpectPlaysAgain(streams[i].handle, HostStream(*plugin, "CAM-AGAIN").request);

    UnsetEnv("LUMAVEX_EMU_HANG_MS");  // from here the cloud holds a stop for good
    Stopper first;
    first.Arm(plugin.get(), "HANG-FIRST");
    const DeviceStreamRequest request = Request(first.url);
    ASSERT_EQ(plugin->StartStream(first.handle, &request, &StopsAStream, &first), 0);
    ASSERT_TRUE(vantra_test::WaitUntil([&] { return first.asked.load(); }));
    HostStream second(*plugin, "CAM-SECOND");
    ASSERT_EQ(plugin->StartStream(first.handle, &second.request, &OnData, &second.received), 0);
    ASSERT_TRUE(second.received.WaitForMedia(1));
    ASSERT_TRUE(
        vantra_test::ReturnsInTime([&] { plugin->StopStream(first.handle); }, [&] { emu->ReleaseHung(); }, 3000));
    second.received.stopped = true;
    EXPECT_NE(install.LogText().find("a stop asked for from a data callback is still under way"), std::string::npos);
    EXPECT_EQ(first.after.load() + second.received.afterStop.load(), 0);
    emu->ReleaseHung();
    EXPECT_TRUE(vantra_test::WaitUntil([&] { return emu->OpenSessions() == 0; }));
    UnsetEnv("LUMAVEX_EMU_FPS");
    EXPECT_TRUE(plugin->Fini());
    plugin.reset();  // unload flushes the log
    EXPECT_NE(install.LogText().find("called from a data callback: cut off now, stopped once the delivery ends"),
              std::string::npos);
}
