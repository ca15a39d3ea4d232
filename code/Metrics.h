// The operator's view of every camera: a Prometheus text file that node_exporter's textfile collector reads.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kestro/ThreadSafety.h"
#include "platform/Platform.h"

namespace PexloCommon {

// What one stream request has done, for the metrics file. Created at the start of a request when the file is
// on, shared by the request's delivery object, its real stream and the writer, which may outlive the others.
struct CStreamStats {
    CStreamStats(std::string serialText, int32_t channelNumber, int64_t hostHandle, int64_t startTime)
        : serial(std::move(serialText)), channel(channelNumber), handle(hostHandle), start(startTime) {}

    const std::string serial;
    const int32_t channel;  // as the cloud counts it: the host's index plus one
    const int64_t handle;
    const int64_t start;  // seconds, the real stream's clock

    // Written under the stream's observer lock, one writer at a time, so a load and a store count: the packet
    // path takes no read-modify-write for them.
    std::atomic<uint64_t> packets{0};
    std::atomic<uint64_t> bytes{0};
    std::atomic<int64_t> lastPacket{-1};
    // Connects by the watchdog (the first is no reconnect), and how many packets had come by the last one.
    std::atomic<uint32_t> connects{0};
    std::atomic<uint64_t> packetsAtConnect{0};
    // The last code the cloud refused with (an SDK or UE code, 0 too), and how many packets had come by then.
    std::atomic<bool> refused{false};
    std::atomic<int32_t> refusedCode{0};
    std::atomic<uint64_t> packetsAtRefusal{0};

    // Adds one packet; the caller holds the stream's observer lock.
    void CountPacket(uint32_t length) {
        packets.store(packets.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        bytes.store(bytes.load(std::memory_order_relaxed) + length, std::memory_order_relaxed);
    }
    void Refused(int32_t code) {
        packetsAtRefusal.store(packets.load(std::memory_order_relaxed), std::memory_order_relaxed);
        refusedCode.store(code, std::memory_order_relaxed);
        refused.store(true, std::memory_order_relaxed);
    }
};

enum class StreamState { kStarting, kReceiving, kSilent, kReconnecting, kRefused };

// One request as the writer found it.
struct StreamFigures {
    std::string serial;
    int32_t channel = 0;
    int64_t handle = 0;
    uint64_t packets = 0;
    uint64_t bytes = 0;
    int64_t lastPacketAge = 0;  // seconds since the last packet, or since the start when none came
    uint32_t reconnects = 0;
    StreamState state = StreamState::kStarting;
    int32_t code = 0;  // the refusal's, with kRefused

    static StreamFigures Of(const CStreamStats& stats, int64_t now);
};

// The plugin as the writer found it.
struct PluginFigures {
    uint64_t requests = 0;
    uint64_t realStreams = 0;
    uint64_t accessOk = 0, accessFailed = 0, tokenOk = 0, tokenFailed = 0;
    int64_t accessInfoAge = -1;  // seconds since the access information was fetched; -1: never
    int64_t lastRefresh = 0;     // calendar seconds of the last daily refresh; 0: none yet
    bool sdkLoaded = false;
    bool sdkInitialised = false;
};

// No packet for this long makes a stream silent (the watchdog reconnects after 30 s).
constexpr int64_t kSilentSeconds = 5;

// The file's text: Prometheus text exposition format 0.0.4, with HELP and TYPE for every metric.
std::string FormatMetrics(const PluginFigures& plugin, const std::vector<StreamFigures>& streams);
// A label value as the format wants it: backslash, double quote and line feed escaped; bytes that are not
// UTF-8 replaced by U+FFFD (a reader refuses the whole file otherwise); cut to kMaxLabelBytes.
std::string EscapeLabelValue(const std::string& value);
constexpr size_t kMaxLabelBytes = 256;

// Writes the file every kPeriod on a thread of its own ("vantra-metrics") from Start to Stop, and once more
// at Stop. A write that fails is told once, with a level-5 record; nothing else fails.
class CMetricsFile {
public:
    using Collect = std::function<std::string()>;
    CMetricsFile() = default;
    ~CMetricsFile();
    CMetricsFile(const CMetricsFile&) = delete;
    CMetricsFile& operator=(const CMetricsFile&) = delete;

    // `path` as the host's file system takes it; `collect` makes the text.
    void Start(const std::string& path, Collect collect) EXCLUDES(m_mutex);
    void Stop() EXCLUDES(m_mutex);
    bool Running() const EXCLUDES(m_mutex);
    // Writes now; false when the write failed.
    bool Write() EXCLUDES(m_mutex);

    static constexpr std::chrono::seconds kPeriod{10};

private:
    void Loop() EXCLUDES(m_mutex);

    // A leaf: held for the fields, never across the write or the join.
    mutable Zeph::Base::Mutex m_mutex;
    std::condition_variable m_cond;
    std::string m_strPath GUARDED_BY(m_mutex);
    Collect m_collect GUARDED_BY(m_mutex);
    bool m_bRun GUARDED_BY(m_mutex) = false;
    bool m_bToldFailure GUARDED_BY(m_mutex) = false;
    Zeph::Platform::ModuleThread m_thread;  // started and joined by Start and Stop, which the host calls in turn
};

}  // namespace PexloCommon
