// Stream control through the exports, as a media server drives it, against both emulators on loopback:
// DeviceObject_Init, DeviceObject_StartStream to the first host callback, DeviceObject_StopStream and
// DeviceObject_Fini. Prints the median and the 99th percentile of each, in milliseconds.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "EmulatorProbe.h"
#include "TestInstall.h"

namespace {

using Clock = std::chrono::steady_clock;

struct FirstCall {
    std::atomic<int64_t> at{0};  // steady-clock nanoseconds of the first callback
};

int OnData(intptr_t, uint32_t, const DeviceDataDescriptor*, void* user) {
    auto* first = static_cast<FirstCall*>(user);
    int64_t expected = 0;
    first->at.compare_exchange_strong(expected, Clock::now().time_since_epoch().count());
    return 0;
}

void Report(const char* name, const std::vector<double>& ms) {
    std::printf("control %-22s n=%-4zu median_ms=%.3f p99_ms=%.3f max_ms=%.3f\n", name, ms.size(),
                vantra_bench::Percentile(ms, 0.5), vantra_bench::Percentile(ms, 0.99),
                vantra_bench::Percentile(ms, 1.0));
}

// One cycle of `streams` requests: StartStream's own return, its first host callback, and StopStream.
struct ControlTimes {
    std::vector<double> call, first, stop;
};

void RunStreams(vantra_test::Plugin& plugin, int streams, const char* prefix, ControlTimes& times) {
    for (int s = 0; s < streams; ++s) {
        const DeviceObjectHandle handle = plugin.CreateInstance();
        const std::string url = std::string("rtsp://sms/live?videolevel=1&deviceseq=") + prefix + std::to_string(s);
        DeviceStreamRequest request = vantra_test::Request(url, s);
        auto first = std::make_unique<FirstCall>();
        auto t0 = Clock::now();
        plugin.StartStream(handle, &request, &OnData, first.get());
        times.call.push_back(vantra_bench::MsSince(t0));
        while (first->at.load() == 0 && vantra_bench::MsSince(t0) < 5000) {
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
        times.first.push_back(static_cast<double>(first->at.load() - t0.time_since_epoch().count()) / 1e6);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a few packets flowing at the stop
        t0 = Clock::now();
        plugin.StopStream(handle);
        times.stop.push_back(vantra_bench::MsSince(t0));
        plugin.DestroyInstance(handle);
    }
}

// `starts` host threads call StartStream at one moment, each a camera of its own (client mode: each asks the
// platform server for a device token). Times count from that moment, so the slowest is the last start done.
void RunBurst(vantra_test::Plugin& plugin, int starts, ControlTimes& times) {
    std::vector<DeviceObjectHandle> handles;
    std::vector<std::unique_ptr<FirstCall>> firsts;
    for (int s = 0; s < starts; ++s) {
        handles.push_back(plugin.CreateInstance());
        firsts.push_back(std::make_unique<FirstCall>());
    }
    std::promise<Clock::time_point> release;
    std::shared_future<Clock::time_point> go = release.get_future().share();
    std::vector<double> call(static_cast<size_t>(starts));
    std::vector<std::thread> hosts;
    for (int s = 0; s < starts; ++s) {
        hosts.emplace_back([&, s] {
            const std::string url = "rtsp://sms/live?videolevel=1&deviceseq=BURST" + std::to_string(s);
            DeviceStreamRequest request = vantra_test::Request(url, 0);
            const Clock::time_point t0 = go.get();
            plugin.StartStream(handles[s], &request, &OnData, firsts[s].get());
            call[s] = vantra_bench::MsSince(t0);
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // every host thread waits on the release
    const Clock::time_point t0 = Clock::now();
    release.set_value(t0);
    for (std::thread& host : hosts) host.join();
    for (int s = 0; s < starts; ++s) {
        while (firsts[s]->at.load() == 0 && vantra_bench::MsSince(t0) < 5000)
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        times.call.push_back(call[s]);
        times.first.push_back(static_cast<double>(firsts[s]->at.load() - t0.time_since_epoch().count()) / 1e6);
    }
    for (const DeviceObjectHandle handle : handles) {
        plugin.StopStream(handle);
        plugin.DestroyInstance(handle);
    }
}

}  // namespace

// bench_control CYCLES release  plain mode, Init once; per cycle one camera whose cloud takes 3 s for each play
//                               stop and session free (HANG serials), started and stopped; then one whose stop
//                               never returns, Fini with it stuck, and Init again
// bench_control CYCLES stalled  plain mode; per cycle Init, then one camera started while the SDK takes 3 s to
//                               allocate its session, GetLastError while it takes 3 s to answer, and Fini while
//                               it takes 3 s to finish
// bench_control CYCLES burst    client mode, Init once; per cycle 64 cameras started at one moment
// bench_control [CYCLES]        Init, 5 streams (client mode: a device token each) and Fini per cycle
// bench_control CYCLES slow     plain mode, Init once; all the while one camera whose cloud blocks 2 s in its
//                               first allocation and in every play start, stop and free is started and stopped
//                               in the background
int main(int argc, char** argv) {
    const int cycles = argc > 1 ? std::atoi(argv[1]) : 50;
    const std::string mode = argc > 2 ? argv[2] : "";
    const bool slow = mode == "slow";
    const int streams = 5;
    using namespace vantra_test;
    TempInstall install;
    PlatformEmulator platform({"--cloud-type", slow ? "1" : "3"});
    if (platform.port <= 0) {
        std::fprintf(stderr, "bench_control: the platform emulator did not start\n");
        return 1;
    }
    install.WriteConfig("127.0.0.1", platform.port);
    Plugin plugin;
    if (plugin.handle == nullptr) {
        std::fprintf(stderr, "bench_control: cannot load %s\n", VANTRA_PLUGIN_PATH);
        return 1;
    }
    std::vector<double> init, fini;
    ControlTimes times;
    if (mode == "release") {
        SetEnv("LUMAVEX_EMU_HANG_MS", "3000");
        if (plugin.Init() != 0) {
            std::fprintf(stderr, "bench_control: DeviceObject_Init failed\n");
            return 1;
        }
        RunStreams(plugin, cycles, "HANG-", times);
        // Without a time the next stop blocks for good. Fini waits for the 3 s releases still under way behind
        // the stops, and leaves the stuck one behind.
        UnsetEnv("LUMAVEX_EMU_HANG_MS");
        ControlTimes stuck;
        RunStreams(plugin, 1, "HANG-STUCK-", stuck);
        auto t0 = Clock::now();
        const bool finished = plugin.Fini();
        fini.push_back(vantra_bench::MsSince(t0));
        t0 = Clock::now();
        const int again = plugin.Init();
        init.push_back(vantra_bench::MsSince(t0));
        Emulator(install.PluginDir()).Get<PFN_LumavexEmu_ReleaseHung>("LumavexEmu_ReleaseHung")();
        if (finished || again != 0 || !plugin.Fini()) {
            std::fprintf(stderr, "bench_control: Fini with a stuck stop finished the SDK, or Init failed after it\n");
            return 1;
        }
        Report("release3s:DeviceObject_StopStream", times.stop);
        Report("stuck:DeviceObject_StopStream", stuck.stop);
        Report("stuck:DeviceObject_Fini", fini);
        Report("stuck:DeviceObject_Init", init);
        return 0;
    }
    if (mode == "stalled") {
        std::vector<double> start, error;
        for (int c = 0; c < cycles; ++c) {
            if (plugin.Init() != 0) {
                std::fprintf(stderr, "bench_control: DeviceObject_Init failed\n");
                return 1;
            }
            const Emulator emu(install.PluginDir());
            emu.Block("Pexlo_AllocSessionEx=3000,Pexlo_GetLastErrorCode=3000,Pexlo_FiniLib=3000");
            const DeviceObjectHandle handle = plugin.CreateInstance();
            DeviceStreamRequest request = Request("rtsp://sms/live?deviceseq=STALLED", 0);
            FirstCall first;
            auto t0 = Clock::now();
            plugin.StartStream(handle, &request, &OnData, &first);
            start.push_back(vantra_bench::MsSince(t0));
            t0 = Clock::now();
            plugin.GetLastError();
            error.push_back(vantra_bench::MsSince(t0));
            plugin.StopStream(handle);
            plugin.DestroyInstance(handle);
            t0 = Clock::now();
            plugin.Fini();
            fini.push_back(vantra_bench::MsSince(t0));
            emu.Block("");
        }
        Report("stalled3s:StartStream_call", start);
        Report("stalled3s:GetLastError", error);
        Report("stalled3s:DeviceObject_Fini", fini);
        return 0;
    }
    if (mode == "burst") {
        if (plugin.Init() != 0) {
            std::fprintf(stderr, "bench_control: DeviceObject_Init failed\n");
            return 1;
        }
        for (int c = 0; c < cycles; ++c) RunBurst(plugin, 64, times);
        plugin.Fini();
        Report("burst64:StartStream_call", times.call);
        Report("burst64:StartStream_to_first", times.first);
        return 0;
    }
    if (slow) {
        // Set before any thread reads the environment: the first allocation is the background camera's.
        SetEnv("LUMAVEX_EMU_SLOW_MS", "2000");
        SetEnv("LUMAVEX_EMU_SLOW_ALLOC", "1:2000");
        if (plugin.Init() != 0) {
            std::fprintf(stderr, "bench_control: DeviceObject_Init failed\n");
            return 1;
        }
        std::atomic<bool> done{false};
        std::atomic<int> slowCycles{0};
        std::thread background([&] {
            while (!done.load()) {
                const DeviceObjectHandle handle = plugin.CreateInstance();
                const std::string url = "rtsp://sms/live?deviceseq=SLOW-BG";
                DeviceStreamRequest request = Request(url, 0);
                FirstCall first;
                plugin.StartStream(handle, &request, &OnData, &first);
                while (first.at.load() == 0 && !done.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
                plugin.StopStream(handle);
                plugin.DestroyInstance(handle);
                ++slowCycles;
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the slow allocation is under way
        for (int c = 0; c < cycles; ++c) RunStreams(plugin, streams, "BENCH", times);
        done = true;
        background.join();
        plugin.Fini();
        UnsetEnv("LUMAVEX_EMU_SLOW_MS");
        UnsetEnv("LUMAVEX_EMU_SLOW_ALLOC");
        std::printf("control slow_background_cycles n=%d\n", slowCycles.load());
        Report("slow:StartStream_call", times.call);
        Report("slow:StartStream_to_first", times.first);
        Report("slow:DeviceObject_StopStream", times.stop);
        return 0;
    }
    for (int c = 0; c < cycles; ++c) {
        auto t0 = Clock::now();
        if (plugin.Init() != 0) {
            std::fprintf(stderr, "bench_control: DeviceObject_Init failed\n");
            return 1;
        }
        init.push_back(vantra_bench::MsSince(t0));
        RunStreams(plugin, streams, "BENCH", times);
        t0 = Clock::now();
        plugin.Fini();
        fini.push_back(vantra_bench::MsSince(t0));
    }
    Report("DeviceObject_Init", init);
    Report("StartStream_call", times.call);
    Report("StartStream_to_first", times.first);
    Report("DeviceObject_StopStream", times.stop);
    Report("DeviceObject_Fini", fini);
    return 0;
}
