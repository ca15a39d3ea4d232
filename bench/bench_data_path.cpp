// The cost of one packet from the SDK's data callback entry to the host's callback, against a baseline of what
// any delivery must at least do (one indirect call of the host callback and one uncontended lock), and the
// heap allocations per packet, counted by replacing the allocation functions of this binary.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "Metrics.h"
#include "RealStream.h"
#include "RealStreamWrapper.h"
#include "TackStreamFromNubrix.h"
#include "kestro/kestro.h"

// Every allocation of the process goes through these while the counter is armed.
namespace {
std::atomic<bool> g_counting{false};
std::atomic<long long> g_allocations{0};
void Count() {
    if (g_counting.load(std::memory_order_relaxed)) g_allocations.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);
void* malloc(size_t size) {
    Count();
    return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) {
    Count();
    return __libc_calloc(count, size);
}
void* realloc(void* p, size_t size) {
    Count();
    return __libc_realloc(p, size);
}
}
void* operator new(size_t size) {
    Count();
    if (void* p = __libc_malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void* operator new[](size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { __libc_free(p); }
void operator delete[](void* p) noexcept { __libc_free(p); }
void operator delete(void* p, size_t) noexcept { __libc_free(p); }
void operator delete[](void* p, size_t) noexcept { __libc_free(p); }

namespace {

using PexloCommon::CRealStream;
using PexloCommon::CReciveData2SMS;
using PexloCommon::CTackStreamFromNubrix;
using PexloCommon::StreamParam;

std::atomic<uint64_t> g_sink{0};

// A host that does the least a real one does: looks at what it got.
int HostCallback(intptr_t, uint32_t type, const DeviceDataDescriptor* descriptor, void*) {
    g_sink.fetch_add(descriptor->uLength + type, std::memory_order_relaxed);
    return 0;
}

// A media packet as the SDK emulator sends one: an access unit of about the clip's average size.
std::vector<unsigned char> MediaPacket() {
    std::vector<unsigned char> packet(1200, 0x5A);
    packet[0] = 0;
    packet[1] = 0;
    packet[2] = 0;
    packet[3] = 1;
    return packet;
}

std::vector<unsigned char> HeaderPacket() {
    std::vector<unsigned char> header(40, 0);
    std::memcpy(header.data(), "QMZX", 4);
    header[8] = 4;
    header[11] = 1;
    return header;
}

// A cloud stream whose source exists (its SDK session did not: no SDK is loaded) with `observers` armed
// delivery objects, so a packet takes the whole path: DataCallBackFunc, the source's function object, the
// fan-out under the observer lock, and each delivery object's host call.
class Path {
public:
    // `metrics`: with the figures the metrics file keeps, as when it is on.
    explicit Path(int observers, bool metrics = false) {
        StreamParam param;
        param.strSerial = "BENCH";
        param.iChannel = 1;
        m_stream.reset(new CRealStream(param));
        // As a play start does: from here on the gate lets the session's data in.
        m_stream->m_pGate->OpenData();
        auto stats = metrics ? std::make_shared<PexloCommon::CStreamStats>("BENCH", 1, 0, 0) : nullptr;
        if (stats) m_stream->SetStats(stats);
        for (int i = 0; i < observers; ++i) {
            m_deliveries.emplace_back(new CReciveData2SMS);
            m_deliveries.back()->m_pStats = stats;
            bool attached = false;
            m_stream->StartTakeStream(&attached, m_deliveries.back().get());
            m_deliveries.back()->m_pUser.store(nullptr);
            m_deliveries.back()->m_pfnDataCallBack.store(&HostCallback);
        }
    }
    ~Path() {
        for (auto& delivery : m_deliveries) m_stream->StopTakeStream(delivery.get());
    }
    void* User() const { return m_stream->CallbackKey(); }

private:
    std::unique_ptr<CRealStream> m_stream;
    std::vector<std::unique_ptr<CReciveData2SMS>> m_deliveries;
};

void BM_Baseline(benchmark::State& state) {
    const std::vector<unsigned char> packet = MediaPacket();
    Kestro_Mutex mutex;
    DeviceDataCallBack volatile callback = &HostCallback;
    for (auto _ : state) {
        mutex.Lock();
        DeviceDataDescriptor descriptor{packet.data(), static_cast<uint32_t>(packet.size()), 96, 1, 0xFFFFFFFFu};
        callback(0, 2, &descriptor, nullptr);
        mutex.Unlock();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Baseline);

void BM_MediaPacket(benchmark::State& state) {
    Path path(static_cast<int>(state.range(0)), state.range(1) != 0);
    const std::vector<unsigned char> packet = MediaPacket();
    void* user = path.User();
    // One header first, as a real stream starts, so the steady state is measured.
    const std::vector<unsigned char> header = HeaderPacket();
    CTackStreamFromNubrix::DataCallBackFunc(1, header.data(), header.size(), user);
    g_allocations = 0;
    g_counting = true;
    for (auto _ : state) {
        CTackStreamFromNubrix::DataCallBackFunc(2, packet.data(), packet.size(), user);
    }
    g_counting = false;
    state.SetItemsProcessed(state.iterations());
    state.counters["observers"] = static_cast<double>(state.range(0));
    state.counters["allocs_per_packet"] = static_cast<double>(g_allocations.load()) / state.iterations();
}
// The second argument: the metrics file on.
BENCHMARK(BM_MediaPacket)->Args({1, 0})->Args({8, 0})->Args({65, 0})->Args({1, 1});

// A stream header: the 1612-byte description block is built on the stack for every observer.
void BM_HeaderPacket(benchmark::State& state) {
    Path path(1);
    std::vector<unsigned char> header = HeaderPacket();
    void* user = path.User();
    g_allocations = 0;
    g_counting = true;
    for (auto _ : state) {
        // A new header each time, as after a reconnect, so the stream's cache is refreshed too.
        ++header[39];
        CTackStreamFromNubrix::DataCallBackFunc(1, header.data(), header.size(), user);
    }
    g_counting = false;
    state.SetItemsProcessed(state.iterations());
    state.counters["allocs_per_packet"] = static_cast<double>(g_allocations.load()) / state.iterations();
}
BENCHMARK(BM_HeaderPacket);

// The metrics file of 4097 streams (the handle limit): the figures read, the text made and the file replaced.
// Reported as CPU time per write.
void BM_MetricsFile(benchmark::State& state) {
    std::vector<std::unique_ptr<PexloCommon::CStreamStats>> stats;
    for (int i = 0; i < state.range(0); ++i) {
        stats.emplace_back(new PexloCommon::CStreamStats("CAM" + std::to_string(i), 1 + i % 4, i, 1000));
        stats.back()->packets = 25000u + static_cast<unsigned>(i);
        stats.back()->bytes = 7500000u + static_cast<unsigned>(i);
        stats.back()->lastPacket = 1990 + i % 20;
        stats.back()->connects = 1 + i % 3;
    }
    char dir[] = "/tmp/vantra-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        state.SkipWithError("no temporary directory");
        return;
    }
    const std::string path = std::string(dir) + "/vantra.prom";
    size_t bytes = 0;
    for (auto _ : state) {
        std::vector<PexloCommon::StreamFigures> figures;
        figures.reserve(stats.size());
        for (const auto& s : stats) figures.push_back(PexloCommon::StreamFigures::Of(*s, 2000));
        const std::string text = PexloCommon::FormatMetrics({}, figures);
        bytes = text.size();
        if (!Zeph::Platform::WriteFileReplacing(path, text, nullptr)) state.SkipWithError("cannot write");
    }
    state.counters["bytes"] = static_cast<double>(bytes);
    std::remove(path.c_str());
    rmdir(dir);
}
BENCHMARK(BM_MetricsFile)->Arg(4097)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    // The setup's records (attach, thread start) are of no interest here.
    setenv("VANTRA_LOG_LEVEL", "6", 0);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
