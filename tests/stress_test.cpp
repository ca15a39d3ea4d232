// Many host threads starting and stopping streams through the exports at once, against both emulators, with
// the SDK delivering as fast as it can and flooding messages. Sizes come from the environment so that
// scripts/stress can run the same test for longer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "HostSink.h"

using vantra_test::Emulator;
using vantra_test::PlatformEmulator;
using vantra_test::Plugin;
using vantra_test::Request;
using vantra_test::ResidentBytes;
using vantra_test::SetEnv;
using vantra_test::TempInstall;
using vantra_test::UnsetEnv;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;  // shadow memory and quarantines make resident size meaningless
#else
constexpr bool kSanitized = false;
#endif

int EnvInt(const char* name, int fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::atoi(text) : fallback;
}

// One stream's view from the host: counters only, so the host side costs next to nothing.
struct Sink {
    std::atomic<bool> stopped{false};
    std::atomic<int> afterStop{0};
    std::atomic<long long> calls{0};
    std::atomic<long long> bytes{0};
    std::atomic<unsigned> touched{0};
    std::atomic<long long> first{-1};  // the type of the first callback
    // The SDK's numbers of the packets this stream's callbacks carried; one SDK thread delivers them in turn.
    long long firstPacket = 0;
    long long lastPacket = 0;
    long long packets = 0;     // distinct SDK packets seen
    long long misordered = 0;  // a packet again, out of order, or after a gap
    uint32_t lastType = 0;
};

PFN_LumavexEmu_CurrentPacket g_currentPacket = nullptr;

// A stream header reaches the host as two callbacks, the description block and the header, for one packet.
void CountPacket(Sink* sink, uint32_t type) {
    const long long number = g_currentPacket();
    if (sink->packets == 0) {
        sink->firstPacket = number;
    } else if (type == 1 && sink->lastType == 10) {
        if (number != sink->lastPacket) ++sink->misordered;
        sink->lastType = type;
        return;
    } else if (number != sink->lastPacket + 1) {
        ++sink->misordered;
    }
    sink->lastPacket = number;
    sink->lastType = type;
    ++sink->packets;
}

int OnData(intptr_t, uint32_t type, const DeviceDataDescriptor* descriptor, void* user) {
    auto* sink = static_cast<Sink*>(user);
    if (sink->stopped.load()) ++sink->afterStop;
    long long none = -1;
    sink->first.compare_exchange_strong(none, type);
    CountPacket(sink, type);
    sink->calls.fetch_add(1, std::memory_order_relaxed);
    sink->bytes.fetch_add(descriptor->uLength, std::memory_order_relaxed);
    // Read both ends, so a pointer into freed or foreign memory is caught by the sanitizers.
    const auto* data = static_cast<const unsigned char*>(descriptor->pData);
    if (descriptor->uLength > 0) {
        sink->touched.fetch_xor(data[0] ^ data[descriptor->uLength - 1], std::memory_order_relaxed);
    }
    return 0;
}

// Aborts the process if the run outlives its deadline: a deadlock shows as a failure with a core, not a hang.
class Watchdog {
public:
    Watchdog(int seconds, std::atomic<long long>& progress) : m_progress(progress) {
        m_thread = std::thread([this, seconds] {
            std::unique_lock<std::mutex> lock(m_mutex);
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
            while (!m_done) {
                peak = std::max(peak.load(), ResidentBytes());
                if (m_wake.wait_until(
                        lock, std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(50)),
                        [this] { return m_done; })) {
                    break;
                }
                if (std::chrono::steady_clock::now() >= deadline) {
                    std::fprintf(stderr, "stress: no end after %d s, %lld cycles done: aborting\n", seconds,
                                 m_progress.load());
                    std::abort();
                }
            }
        });
    }
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_done = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }
    std::atomic<long long> peak{0};

private:
    std::atomic<long long>& m_progress;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_done = false;
    std::thread m_thread;
};

}  // namespace

TEST(Stress, ManyHostThreadsStartAndStopStreamsAtFullRate) {
    const int threads = EnvInt("VANTRA_STRESS_THREADS", 32);
    const int cycles = EnvInt("VANTRA_STRESS_CYCLES", 200);
    const int deadlineSeconds = EnvInt("VANTRA_STRESS_DEADLINE_S", 280);
    SetEnv("LUMAVEX_EMU_FPS", "0");
    SetEnv("LUMAVEX_EMU_FLOOD_US", "500");

    TempInstall install;
    PlatformEmulator platform({"--cloud-type", "3"});
    install.WriteConfig("127.0.0.1", platform.port);
    Plugin plugin;
    ASSERT_EQ(plugin.Init(), 0);
    Emulator emu(install.PluginDir());
    const long long packetsAtStart = emu.Get<PFN_LumavexEmu_PacketsSent>("LumavexEmu_PacketsSent")();
    g_currentPacket = emu.Get<PFN_LumavexEmu_CurrentPacket>("LumavexEmu_CurrentPacket");
    ASSERT_NE(g_currentPacket, nullptr);

    // Sinks outlive the run, so a late callback would be counted rather than write into freed memory.
    std::vector<std::unique_ptr<Sink[]>> sinks;
    for (int t = 0; t < threads; ++t) sinks.emplace_back(new Sink[cycles + 2]);
    std::atomic<long long> progress{0};
    std::atomic<int> failures{0};
    auto run = [&](int t, int from, int to) {
        std::mt19937 random(static_cast<unsigned>(t * 7919 + from));
        // FLOOD streams race messages into the stop and the free; MSGS and plain ones vary the mix.
        const char* kinds[] = {"FLOOD", "CAM", "MSGS", "FLOOD"};
        for (int c = from; c < to; ++c) {
            const DeviceObjectHandle handle = plugin.CreateInstance();
            if (handle < 0) {
                ++failures;
                continue;
            }
            const std::string url = "rtsp://sms/live?videolevel=" + std::to_string(c % 3) +
                                    "&deviceseq=" + kinds[(t + c) % 4] + "-" + std::to_string(t);
            DeviceStreamRequest request = Request(url, t % 4);
            if (plugin.StartStream(handle, &request, &OnData, &sinks[t][c]) != 0) ++failures;
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 5000));
            plugin.StopStream(handle);
            sinks[t][c].stopped = true;
            plugin.DestroyInstance(handle);
            ++progress;
        }
    };
    auto runAll = [&](int from, int to) {
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t) pool.emplace_back(run, t, from, to);
        for (auto& thread : pool) thread.join();
    };

    const auto start = std::chrono::steady_clock::now();
    long long peak = 0;
    long long baseline = 0;
    {
        Watchdog watchdog(deadlineSeconds, progress);
        // A warm-up round first: thread stacks, allocator arenas and the SDK's clip cache are then in place.
        runAll(cycles, cycles + 2);
        baseline = ResidentBytes();
        runAll(0, cycles);
        peak = watchdog.peak.load();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const long long final = ResidentBytes();

    EXPECT_EQ(failures.load(), 0);
    long long calls = 0;
    long long bytes = 0;
    int late = 0;
    int headless = 0;
    int lossy = 0;
    int checked = 0;
    long long checkedPackets = 0;
    for (int t = 0; t < threads; ++t) {
        for (int c = 0; c < cycles + 2; ++c) {
            const Sink& sink = sinks[t][c];
            late += sink.afterStop.load();
            if (sinks[t][c].calls.load() > 0 && sinks[t][c].first.load() != 10) ++headless;
            // Exactly the packets the SDK delivered from the stream's first callback to its last, in order,
            // starting with the SDK's first packet.
            if (sink.packets > 0 && (sink.misordered != 0 || sink.firstPacket != 1 ||
                                     sink.packets != sink.lastPacket - sink.firstPacket + 1)) {
                ++lossy;
            }
            if (sink.packets > 0) {
                ++checked;
                checkedPackets += sink.packets;
            }
            calls += sinks[t][c].calls.load();
            bytes += sinks[t][c].bytes.load();
        }
    }
    EXPECT_EQ(late, 0) << "callbacks after their StopStream returned";
    // However quickly the SDK sends its first header, the host sees the description block before anything else.
    EXPECT_EQ(headless, 0) << "streams whose first callback was not the description block";
    EXPECT_EQ(lossy, 0) << "streams that lost, repeated or reordered an SDK packet";
    EXPECT_EQ(emu.OpenSessions(), 0);
    EXPECT_EQ(emu.OutstandingIds(), 0);
    EXPECT_EQ(emu.ActivePlays(), 0);
    // Every handle came back: 0 to 4096 can all be issued again, and then no more.
    std::vector<DeviceObjectHandle> all;
    for (DeviceObjectHandle h = plugin.CreateInstance(); h >= 0 && all.size() <= 5000; h = plugin.CreateInstance()) {
        all.push_back(h);
    }
    EXPECT_EQ(all.size(), 4097u);
    for (DeviceObjectHandle h : all) plugin.DestroyInstance(h);
    EXPECT_TRUE(plugin.Fini());

    const long long packets = emu.Get<PFN_LumavexEmu_PacketsSent>("LumavexEmu_PacketsSent")() - packetsAtStart;
    std::printf(
        "stress: %d threads x %d cycles (+2 warm-up) in %.1f s; SDK packets %lld, host callbacks %lld, "
        "%.1f MB delivered; packet check: %d streams, %lld SDK packets, %d streams with one lost, repeated or out of "
        "order; "
        "resident MiB: baseline %.1f, peak %.1f, final %.1f\n",
        threads, cycles, seconds, packets, calls, static_cast<double>(bytes) / 1e6, checked, checkedPackets, lossy,
        baseline / 1048576.0, peak / 1048576.0, final / 1048576.0);
    if (!kSanitized && baseline > 0) {
        EXPECT_LT(final - baseline, 32ll << 20) << "memory did not come back to its level after the warm-up";
    }
    UnsetEnv("LUMAVEX_EMU_FPS");
    UnsetEnv("LUMAVEX_EMU_FLOOD_US");
}
