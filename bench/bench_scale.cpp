// Many concurrent streams at the SDK emulator's 25 frames per second: CPU time per second of the plugin's own
// threads, of the emulator's threads (which run the plugin's data callbacks), resident memory per stream and
// thread counts.
//
//   bench_scale plugin N [seconds]   N streams through the plugin's exports, as a media server runs them
//   bench_scale sdk N [seconds]      N sessions straight on the SDK emulator with a do-nothing callback: the
//                                    emulator's own share, to subtract from the plugin run
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "PexloSdk.h"
#include "TestInstall.h"

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<long long> g_packets{0};

struct Counter {
    std::atomic<long long> media{0};
};

int OnHostData(intptr_t, uint32_t type, const DeviceDataDescriptor*, void* user) {
    if (type == 2) static_cast<Counter*>(user)->media.fetch_add(1, std::memory_order_relaxed);
    g_packets.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

void OnSdkData(unsigned long type, const unsigned char*, unsigned long, void* user) {
    if (type == 2) static_cast<Counter*>(user)->media.fetch_add(1, std::memory_order_relaxed);
    g_packets.fetch_add(1, std::memory_order_relaxed);
}

void OnSdkMessage(const char*, unsigned int, int, const char*, void*) {}

bool WaitForAll(const std::vector<std::unique_ptr<Counter>>& counters, int seconds) {
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < deadline) {
        size_t ready = 0;
        for (const auto& c : counters) ready += c->media.load() > 0 ? 1 : 0;
        if (ready == counters.size()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// One window of steady state: CPU per group, packets, threads, resident memory.
void Measure(const char* mode, int streams, int seconds, long long residentBefore) {
    std::this_thread::sleep_for(std::chrono::seconds(1));  // settle after the starts
    const auto before = vantra_bench::ThreadsByName();
    const long long packetsBefore = g_packets.load();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const auto after = vantra_bench::ThreadsByName();
    const long long packets = g_packets.load() - packetsBefore;
    const long long resident = vantra_test::ResidentBytes();
    const double pluginMs = vantra_bench::CpuNsBetween(before, after, {"vantra-watch", "vantra-refresh"}) / 1e6 / wall;
    const double emulatorMs =
        vantra_bench::CpuNsBetween(before, after, {"lvx-deliver", "lvx-msg", "lvx-side"}) / 1e6 / wall;
    auto count = [&](const char* name) {
        auto it = after.find(name);
        return it == after.end() ? 0 : it->second.threads;
    };
    int total = 0;
    for (const auto& group : after) total += group.second.threads;
    const int watchdogs = count("vantra-watch");
    const double wakeups = watchdogs == 0 ? 0.0
                                          : static_cast<double>(vantra_bench::GrowthBetween(
                                                before, after, {"vantra-watch"}, &vantra_bench::ThreadGroup::runs)) /
                                                wall / watchdogs;
    std::printf(
        "scale %s streams=%d plugin_threads_cpu_ms_per_s=%.2f emulator_threads_cpu_ms_per_s=%.2f "
        "callbacks_per_s=%.0f resident_delta_kb=%.0f resident_kb_per_stream=%.1f threads_total=%d "
        "threads_plugin=%d threads_emulator=%d watchdog_wakeups_per_s=%.3f\n",
        mode, streams, pluginMs, emulatorMs, static_cast<double>(packets) / wall,
        static_cast<double>(resident - residentBefore) / 1024.0,
        static_cast<double>(resident - residentBefore) / 1024.0 / streams, total,
        count("vantra-watch") + count("vantra-refresh"), count("lvx-deliver") + count("lvx-msg") + count("lvx-side"),
        wakeups);
}

int RunPlugin(int streams, int seconds) {
    using namespace vantra_test;
    TempInstall install;
    PlatformEmulator platform({"--cloud-type", "1"});
    install.WriteConfig("127.0.0.1", platform.port);
    Plugin plugin;
    if (plugin.handle == nullptr || plugin.Init() != 0) {
        std::fprintf(stderr, "bench_scale: the plugin did not start\n");
        return 1;
    }
    const long long residentBefore = vantra_test::ResidentBytes();
    std::vector<std::unique_ptr<Counter>> counters;
    std::vector<std::string> urls;
    std::vector<DeviceObjectHandle> handles;
    for (int i = 0; i < streams; ++i) {
        counters.emplace_back(new Counter);
        urls.push_back("rtsp://sms/live?videolevel=1&deviceseq=SCALE" + std::to_string(i));
        DeviceStreamRequest request{};
        request.iChannel = 0;
        request.pszUrl = urls.back().c_str();
        handles.push_back(plugin.CreateInstance());
        plugin.StartStream(handles.back(), &request, &OnHostData, counters.back().get());
    }
    if (!WaitForAll(counters, 60)) std::fprintf(stderr, "bench_scale: not every stream delivered\n");
    Measure("plugin", streams, seconds, residentBefore);
    for (DeviceObjectHandle handle : handles) plugin.StopStream(handle);
    plugin.Fini();
    return 0;
}

int RunSdk(int streams, int seconds) {
    const std::string path = std::string(VANTRA_BINARY_DIR) + "/plugins/vantraiot_plugin/libLumavex.so";
    void* sdk = vantra_test::OpenLibrary(path);
    if (sdk == nullptr) return 1;
#define SDK(name) auto name = reinterpret_cast<PFN_##name>(vantra_test::Symbol(sdk, #name))
    SDK(Pexlo_InitLib);
    SDK(Pexlo_AllocSessionEx);
    SDK(Pexlo_SetDataCallBack);
    SDK(Pexlo_StartPlayWithStreamType);
    SDK(Pexlo_StopRealPlayEx);
    SDK(Pexlo_FreeSession);
    SDK(Pexlo_Data_Free);
#undef SDK
    Pexlo_InitLib("https://auth", "https://open", "KEY", nullptr);
    const long long residentBefore = vantra_test::ResidentBytes();
    std::vector<std::unique_ptr<Counter>> counters;
    std::vector<std::string> ids;
    for (int i = 0; i < streams; ++i) {
        counters.emplace_back(new Counter);
        char* id = nullptr;
        int length = 0;
        if (Pexlo_AllocSessionEx(&OnSdkMessage, nullptr, &id, &length) != 0) return 1;
        ids.emplace_back(id);
        Pexlo_Data_Free(id);
        Pexlo_SetDataCallBack(ids.back().c_str(), &OnSdkData, counters.back().get());
        const std::string serial = "SCALE" + std::to_string(i);
        Pexlo_StartPlayWithStreamType(ids.back().c_str(), nullptr, serial.c_str(), 1, "", 1);
    }
    if (!WaitForAll(counters, 60)) std::fprintf(stderr, "bench_scale: not every session delivered\n");
    Measure("sdk", streams, seconds, residentBefore);
    for (const std::string& id : ids) {
        Pexlo_StopRealPlayEx(id.c_str());
        Pexlo_FreeSession(id.c_str());
    }
    vantra_test::CloseLibrary(sdk);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_scale plugin|sdk STREAMS [SECONDS]\n");
        return 2;
    }
    const int streams = std::atoi(argv[2]);
    const int seconds = argc > 3 ? std::atoi(argv[3]) : 5;
    return std::strcmp(argv[1], "sdk") == 0 ? RunSdk(streams, seconds) : RunPlugin(streams, seconds);
}
