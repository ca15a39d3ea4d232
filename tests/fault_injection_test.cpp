// Counterparts that misbehave: a platform server that is slow, cuts its reply, floods it or sends malformed
// JSON, and a cloud SDK that refuses or calls back after a refusal (message floods: the stress test).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "HostSink.h"

using vantra_test::Emulator;
using vantra_test::OnData;
using vantra_test::PlatformEmulator;
using vantra_test::Plugin;
using vantra_test::Received;
using vantra_test::Request;
using vantra_test::ResidentBytes;
using vantra_test::SetEnv;
using vantra_test::TempInstall;
using vantra_test::UnsetEnv;

namespace {

using Clock = std::chrono::steady_clock;

long long ElapsedMs(Clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

void KeepMax(std::atomic<long long>& slowest, long long ms) {
    long long seen = slowest.load();
    while (ms > seen && !slowest.compare_exchange_weak(seen, ms)) {
    }
}

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
        UnsetEnv("LUMAVEX_EMU_FAIL_INIT");
        UnsetEnv("LUMAVEX_EMU_FAIL_ALLOC");
        UnsetEnv("LUMAVEX_EMU_FAIL_PLAY");
        UnsetEnv("LUMAVEX_EMU_SLOW_ALLOC");
        UnsetEnv("LUMAVEX_EMU_SLOW_MS");
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
        Emulator emu(install.PluginDir());
        const std::string url = "rtsp://sms/live?deviceseq=CAMTOKEN";
        DeviceStreamRequest request = Request(url);
        Received received;
        const DeviceObjectHandle handle = plugin.CreateInstance();
        const auto start = Clock::now();
        EXPECT_EQ(plugin.StartStream(handle, &request, &OnData, &received), 0) << fault.what;
        EXPECT_LT(ElapsedMs(start), fault.boundMs) << fault.what;
        // Without a device token the cloud refuses the play, after which nothing can be delivered; a malformed
        // token never reaches the SDK.
        EXPECT_TRUE(vantra_test::WaitUntil([&] {
            return emu.Journal().find("Pexlo_StartPlayWithStreamType|") != std::string::npos;
        })) << fault.what;
        EXPECT_EQ(received.Media(), 0u) << fault.what;
        EXPECT_EQ(emu.Journal().find("Pexlo_SetDeviceTkTokens|{"), std::string::npos) << fault.what;
        plugin.StopStream(handle);
        EXPECT_EQ(emu.OpenSessions(), 0) << fault.what;
        EXPECT_TRUE(plugin.Fini());
    }
}

TEST_F(FaultInjection, SdkRefusingInitAllocationOrPlayIsReportedAndRecovers) {
    Start({"--cloud-type", "1"});
    ASSERT_TRUE(plugin->Fini());
    SetEnv("LUMAVEX_EMU_FAIL_INIT", "1");
    EXPECT_EQ(plugin->Init(), -1);
    EXPECT_EQ(plugin->GetLastError(), 400010);
    UnsetEnv("LUMAVEX_EMU_FAIL_INIT");
    ASSERT_EQ(plugin->Init(), 0);

    const std::string url = "rtsp://sms/live?deviceseq=CAMREFUSED";
    DeviceStreamRequest request = Request(url);
    for (const char* variable : {"LUMAVEX_EMU_FAIL_ALLOC", "LUMAVEX_EMU_FAIL_PLAY"}) {
        SetEnv(variable, "1");
        Received refused;
        const DeviceObjectHandle handle = plugin->CreateInstance();
        EXPECT_EQ(plugin->StartStream(handle, &request, &OnData, &refused), 0) << variable;
        // The refusal is recorded once the refused call has returned: nothing can be delivered after it.
        EXPECT_TRUE(vantra_test::WaitUntil([&] { return plugin->GetLastError() == 400010; })) << variable;
        EXPECT_EQ(refused.Media(), 0u) << variable;
        plugin->StopStream(handle);
        UnsetEnv(variable);
        ExpectSdkIdle();
        ExpectPlaysAgain(handle, request);
        plugin->DestroyInstance(handle);
    }
    EXPECT_EQ(emu->OpenSessions(), 0);
}

TEST_F(FaultInjection, DataAfterARefusedPlayIsDeliveredUntilTheStop) {
    Start({"--cloud-type", "1"});
    const std::string url = "rtsp://sms/live?deviceseq=LATE-CAM";
    DeviceStreamRequest request = Request(url);
    Received received;
    const DeviceObjectHandle handle = plugin->CreateInstance();
    ASSERT_EQ(plugin->StartStream(handle, &request, &OnData, &received), 0);
    EXPECT_TRUE(received.WaitForMedia(5));
    EXPECT_EQ(plugin->GetLastError(), 400903);
    plugin->StopStream(handle);
    received.stopped = true;
    // The session is freed, and the SDK calls back for no freed session: any late call has been made already.
    EXPECT_EQ(emu->OpenSessions(), 0);
    EXPECT_EQ(received.afterStop.load(), 0);
    std::lock_guard<std::mutex> lock(received.mutex);
    ASSERT_GE(received.types.size(), 2u);
    EXPECT_EQ(received.types[0], 10u);
    EXPECT_EQ(received.types[1], 1u);
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
        const std::string url = "rtsp://sms/live?deviceseq=SLOW-CAM";
        DeviceStreamRequest request = Request(url);
        Received received;
        const DeviceObjectHandle handle = plugin->CreateInstance();
        EXPECT_EQ(plugin->StartStream(handle, &request, &OnData, &received), 0);
        phase = kPlayStarting;  // its watchdog's first pass is inside the blocked play start now
        EXPECT_TRUE(received.WaitForMedia(1, 4 * kSlowMs));
        phase = kStopping;  // the play stop and the free block in turn
        plugin->StopStream(handle);
        phase = kDone;
        plugin->DestroyInstance(handle);
    });
    auto others = [&](int during) {
        std::atomic<long long> slowestStart{0}, slowestStop{0};
        std::atomic<int> described{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < 32; ++i) {
            threads.emplace_back([&, i] {
                const std::string url =
                    "rtsp://sms/live?deviceseq=CAM-" + std::to_string(during) + "-" + std::to_string(i);
                DeviceStreamRequest request = Request(url);
                Received received;
                const DeviceObjectHandle handle = plugin->CreateInstance();
                auto start = Clock::now();
                EXPECT_EQ(plugin->StartStream(handle, &request, &OnData, &received), 0);
                KeepMax(slowestStart, ElapsedMs(start));
                if (received.WaitForMedia(1)) {
                    std::lock_guard<std::mutex> lock(received.mutex);
                    if (received.types.front() == 10u) ++described;
                }
                start = Clock::now();
                plugin->StopStream(handle);
                KeepMax(slowestStop, ElapsedMs(start));
                plugin->DestroyInstance(handle);
            });
        }
        for (std::thread& thread : threads) thread.join();
        EXPECT_EQ(phase.load(), during) << "the others ended only after the slow call";
        EXPECT_EQ(described.load(), 32) << during;
        EXPECT_LT(slowestStart.load(), kSlowMs / 2) << during;
        EXPECT_LT(slowestStop.load(), kSlowMs / 2) << during;
    };
    for (int during : {kAllocating, kPlayStarting, kStopping}) {
        while (phase.load() < during) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // let the slow call get under way
        others(during);
    }
    slow.join();
    EXPECT_TRUE(plugin->Fini());
    ExpectSdkIdle();
    EXPECT_EQ(vantra_test::ThreadsNamed("vantra-watch"), 0);
    EXPECT_EQ(vantra_test::ThreadsNamed("vantra-refresh"), 0);
}
