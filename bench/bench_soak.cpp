// Hours of operation in minutes: 200 streams through the exports with churn, silences that reconnect, slow
// cloud sessions and a platform server whose faults come and go. Resident memory, the heap in use, threads and
// descriptors are sampled every 10 s; between two quiet points (every stream stopped), the end of the warm-up and
// the end, none of the last three may grow. Run by scripts/soak (VANTRA_SOAK_MINUTES, default 1); exits 1 when any
// grew.
#include <malloc.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "EmulatorProbe.h"
#include "TestInstall.h"

using Clock = std::chrono::steady_clock;
using vantra_test::PlatformEmulator;
using vantra_test::Plugin;
using vantra_test::Request;
using vantra_test::SetEnv;
using vantra_test::TempInstall;

namespace {

struct Sample {
    long long resident = 0;
    long long heap = 0;  // bytes the allocator has handed out and not had back
    long long threads = 0;
    long long descriptors = 0;
};

long long Entries(const char* dir) {
    long long n = 0;
    for (auto it = std::filesystem::directory_iterator(dir); it != std::filesystem::directory_iterator(); ++it) ++n;
    return n;
}

Sample Take() {
    const struct mallinfo2 heap = mallinfo2();
    return Sample{vantra_test::ResidentBytes(), static_cast<long long>(heap.uordblks + heap.hblkhd),
                  Entries("/proc/self/task"), Entries("/proc/self/fd")};
}

// Counts and reads what arrives, keeping none of it: the soak watches the plugin's memory, not the host's.
struct Counter {
    std::atomic<long long> packets{0};
    std::atomic<unsigned> touched{0};
};

int OnData(intptr_t, uint32_t, const DeviceDataDescriptor* descriptor, void* user) {
    auto* counter = static_cast<Counter*>(user);
    ++counter->packets;
    const auto* data = static_cast<const unsigned char*>(descriptor->pData);
    if (descriptor->uLength > 0) counter->touched ^= data[0] ^ data[descriptor->uLength - 1];
    return 0;
}

void Print(const char* what, double minute, const Sample& s, int live) {
    std::printf(
        "soak %-9s t=%6.2f min  resident %8.1f MiB  heap in use %8.0f KiB  threads %5lld  descriptors %5lld  streams "
        "%d\n",
        what, minute, s.resident / 1048576.0, s.heap / 1024.0, s.threads, s.descriptors, live);
    std::fflush(stdout);
}

int Minutes() {
    const char* text = std::getenv("VANTRA_SOAK_MINUTES");
    const int minutes = text != nullptr ? std::atoi(text) : 1;
    return minutes > 0 ? minutes : 1;
}

}  // namespace

int main() {
    constexpr int kSlots = 200;
    const auto total = std::chrono::seconds(60 * Minutes());
    const auto warmup = total / 3;
    SetEnv("LUMAVEX_EMU_FADE_MS", "2000");       // FADE streams fall silent and reconnect after 30 s
    SetEnv("LUMAVEX_EMU_SLOW_MS", "300");        // SLOW streams block their play start, stop and free
    SetEnv("LUMAVEX_EMU_JOURNAL_LIMIT", "100");  // the emulator's own record, which would fill for minutes

    TempInstall install;
    std::unique_ptr<PlatformEmulator> platform(new PlatformEmulator({"--cloud-type", "3"}));
    const int port = platform->port;
    install.WriteConfig("127.0.0.1", port);
    Plugin plugin;
    if (port <= 0 || plugin.Init() != 0) {
        std::fprintf(stderr, "soak: the plugin did not start\n");
        return 1;
    }

    std::atomic<bool> quiet{false};  // every slot stops its stream and waits
    std::atomic<int> live{0};
    std::atomic<int> quietSlots{0};
    std::atomic<bool> done{false};
    auto slot = [&](int index) {
        std::mt19937 random(static_cast<unsigned>(index * 7919 + 1));
        const char* kinds[] = {"CAM", "CAM", "FADE", "SLOW", "MSGS"};
        const std::string url = "rtsp://sms/live?videolevel=" + std::to_string(index % 3) +
                                "&deviceseq=" + kinds[index % 5] + "-SOAK" + std::to_string(index);
        DeviceStreamRequest request = Request(url);
        while (!done.load()) {
            if (quiet.load()) {
                ++quietSlots;
                while (quiet.load() && !done.load()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
                --quietSlots;
                continue;
            }
            Counter received;
            const DeviceObjectHandle handle = plugin.CreateInstance();
            plugin.StartStream(handle, &request, &OnData, &received);
            ++live;
            // A life of up to 40 s, cut short by a quiet point.
            const auto end = Clock::now() + std::chrono::milliseconds(500 + random() % 40000);
            while (Clock::now() < end && !quiet.load() && !done.load()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            plugin.StopStream(handle);
            --live;
            plugin.DestroyInstance(handle);
        }
    };
    auto quietPoint = [&] {
        quiet = true;
        while (quietSlots.load() < kSlots) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::this_thread::sleep_for(std::chrono::seconds(1));  // the SDK's threads settle
        // The plugin's teardown workers end 2 s after the last release they ran (a slow cloud's take seconds).
        vantra_test::WaitUntil([] { return vantra_test::ThreadsNamed("vantra-teardown") == 0; }, 20000);
        // Free pages the allocator keeps for its 200 threads' arenas go back first, so that what is compared
        // is memory in use.
        malloc_trim(0);
        return Take();
    };

    std::vector<std::thread> slots;
    for (int i = 0; i < kSlots; ++i) slots.emplace_back(slot, i);
    const auto start = Clock::now();
    auto minute = [&] { return std::chrono::duration<double>(Clock::now() - start).count() / 60.0; };
    auto nextSample = start + std::chrono::seconds(10);
    auto nextFault = start + std::chrono::seconds(20);
    bool faulty = false;
    bool warmedUp = false;
    auto nextQuiet = start;
    Sample baseline;
    while (Clock::now() - start < total) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (Clock::now() >= nextFault) {
            // The platform server goes away and comes back, in turn answering normally or refusing tokens.
            faulty = !faulty;
            platform.reset();
            std::vector<std::string> options = {"--cloud-type", "3", "--port", std::to_string(port)};
            if (faulty) options.insert(options.end(), {"--fault-path", "token", "--fault-code", "1"});
            platform.reset(new PlatformEmulator(options));
            if (platform->port != port) std::fprintf(stderr, "soak: the platform server did not come back\n");
            nextFault += std::chrono::seconds(20);
        }
        if (!warmedUp && Clock::now() - start >= warmup) {
            baseline = quietPoint();
            Print("warm-up", minute(), baseline, live.load());
            quiet = false;
            warmedUp = true;
            nextQuiet = Clock::now() + std::chrono::minutes(1);
        }
        if (Clock::now() >= nextSample) {
            Print("sample", minute(), Take(), live.load());
            nextSample += std::chrono::seconds(10);
        }
        if (warmedUp && Clock::now() >= nextQuiet) {
            Print("quiet", minute(), quietPoint(), live.load());
            quiet = false;
            nextQuiet += std::chrono::minutes(1);
        }
    }
    const Sample final = quietPoint();
    Print("end", minute(), final, live.load());
    done = true;
    for (std::thread& thread : slots) thread.join();
    bool grew = !plugin.Fini();
    const std::pair<bool, const char*> checks[] = {
        // What the allocator holds is what a leak grows. Resident memory also counts code pages first touched
        // late and thread stacks touched a page deeper, which a one-minute run does not see settle.
        {final.heap > baseline.heap + baseline.heap / 50, "heap in use grew by over 2 %"},
        {final.threads > baseline.threads + 2, "threads grew"},
        {final.descriptors > baseline.descriptors + 2, "descriptors grew"}};
    for (const auto& [failed, what] : checks) {
        if (failed) std::fprintf(stderr, "soak: %s\n", what);
        grew = grew || failed;
    }
    return grew ? 1 : 0;
}
