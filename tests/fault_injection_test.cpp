// Counterparts that misbehave: a platform server that is slow, cuts its reply, floods it or sends malformed
// JSON, and a cloud SDK that refuses or calls back after a refusal (message floods: the stress test).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "HostSink.h"

using vantra_test::OnData;
using vantra_test::PlatformEmulator;
using vantra_test::Plugin;
using vantra_test::ResidentBytes;
using vantra_test::SetEnv;
using vantra_test::TempInstall;
using vantra_test::UnsetEnv;

namespace {

using Clock = std::chrono::steady_clock;

long long ElapsedMs(Clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
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
    // One exchange, bounded by its 3 s time-outs plus scheduling slack on a loaded machine; a server that
    // keeps every read alive is cut off once the three have passed together.
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
        RunningPlugin::TearDown();
    }
};

}  // namespace

TEST(PlatformFaults, AccessInformationFaultsFailInitPromptlyAndBounded) {
    for (const PlatformFault& fault : kPlatformFaults) {
        TempInstall install;
        std::vector<std::string> options = fault.options;
        options.insert(options.end(), {"--fault-path", "access"});
        PlatformEmulator platform(options);
        ASSERT_GT(platform.port, 0) << fault.what;
        install.WriteConfig("127.0.0.1", platform.port);
        Plugin plugin;
        const long long residentBefore = ResidentBytes();
        const auto start = Clock::now();
        EXPECT_EQ(plugin.Init(), -1) << fault.what;
        EXPECT_LT(ElapsedMs(start), fault.boundMs) << fault.what;
        EXPECT_LT(ResidentBytes() - residentBefore, 48ll << 20) << fault.what << ": the body was not bounded";
        EXPECT_FALSE(plugin.Fini()) << fault.what;
    }
}

TEST(PlatformFaults, DeviceTokenFaultsStillStartTheRequest) {
    for (const PlatformFault& fault : kPlatformFaults) {
        TempInstall install;
        std::vector<std::string> options = fault.options;
        options.insert(options.end(), {"--fault-path", "token", "--cloud-type", "3"});
        PlatformEmulator platform(options);
        install.WriteConfig("127.0.0.1", platform.port);
        Plugin plugin;
        ASSERT_EQ(plugin.Init(), 0) << fault.what;
        vantra_test::Emulator emu(install.PluginDir());
        HostStream stream(plugin, "CAMTOKEN");
        const auto start = Clock::now();
        EXPECT_EQ(stream.Start(plugin), 0) << fault.what;
        EXPECT_LT(ElapsedMs(start), fault.boundMs) << fault.what;
        // Without a device token the cloud refuses the play, after which nothing can be delivered; a malformed
        // token never reaches the SDK.
        EXPECT_TRUE(vantra_test::WaitUntil([&] {
            return emu.Journal().find("Pexlo_StartPlayWithStreamType|") != std::string::npos;
        })) << fault.what;
        EXPECT_EQ(stream.received.Media(), 0u) << fault.what;
        EXPECT_EQ(emu.Journal().find("Pexlo_SetDeviceTkTokens|{"), std::string::npos) << fault.what;
        plugin.StopStream(stream.handle);
        EXPECT_EQ(emu.OpenSessions(), 0) << fault.what;
        EXPECT_TRUE(plugin.Fini());
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

// One camera whose cloud blocks for seconds in its allocation, its play start and its stop and free. While each
// of those calls is under way, 32 other cameras on other host threads start, get their description block and
// stop, and none of their calls waits for the slow one.
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
        phase = kStopping;  // the play stop and the free block in turn
        plugin->StopStream(stream.handle);
        phase = kDone;
        plugin->DestroyInstance(stream.handle);
    });
    for (int during : {kAllocating, kPlayStarting, kStopping}) {
        while (phase.load() < during) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // let the slow call get under way
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
        EXPECT_EQ(phase.load(), during) << "the others ended only after the slow call";
    }
    slow.join();
    EXPECT_TRUE(plugin->Fini());
    ExpectSdkIdle();
    EXPECT_EQ(vantra_test::ThreadsNamed("vantra-watch"), 0);
    EXPECT_EQ(vantra_test::ThreadsNamed("vantra-refresh"), 0);
}
