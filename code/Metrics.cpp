#include "Metrics.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "PluginLog.h"

namespace PexloCommon {

namespace {
constexpr const char* kPath = "..\\..\\code\\Metrics";
constexpr const char* kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// Length of the UTF-8 sequence that starts at `at`, or 0 when the bytes there are not one.
size_t Utf8Length(const std::string& text, size_t at) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) return 1;
    size_t length = 0;
    uint32_t low = 0;  // the smallest code point of that length: anything below is an overlong form
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, low = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, low = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, low = 0x10000;
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    uint32_t code = lead & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) return 0;
        code = (code << 6) | (byte(at + i) & 0x3F);
    }
    if (code < low || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return length;
}

struct Metric {
    const char* name;
    const char* type;
    const char* help;
};

constexpr Metric kPackets{"vantra_stream_packets_total", "counter", "Packets handed to the host's data callback."};
constexpr Metric kBytes{"vantra_stream_bytes_total", "counter", "Bytes of the packets handed to the host."};
constexpr Metric kAge{"vantra_stream_last_packet_age_seconds", "gauge",
                      "Seconds since the last packet, or since the request started when none came."};
constexpr Metric kReconnects{"vantra_stream_reconnects_total", "counter",
                             "Reconnects the watchdog made after a silence."};
constexpr Metric kState{"vantra_stream_state", "gauge",
                        "The state the stream is in: 1 for that state, 0 for the others."};
constexpr Metric kRequests{"vantra_stream_requests", "gauge", "Stream requests registered."};
constexpr Metric kRealStreams{"vantra_real_streams", "gauge",
                              "Real streams, those still being released behind a stop included."};
constexpr Metric kPlatform{"vantra_platform_requests_total", "counter", "Requests to the platform server."};
constexpr Metric kInfoAge{"vantra_access_info_age_seconds", "gauge",
                          "Seconds since the access information was fetched."};
constexpr Metric kRefresh{"vantra_access_info_last_refresh_timestamp_seconds", "gauge",
                          "When the daily refresh last ran, in Unix time; 0 before the first."};
constexpr Metric kLoaded{"vantra_sdk_loaded", "gauge", "1 when the cloud SDK library is loaded."};
constexpr Metric kInitialised{"vantra_sdk_initialized", "gauge", "1 when the cloud SDK is initialised."};

constexpr const char* kStateNames[] = {"starting", "receiving", "silent", "reconnecting", "refused"};

void Head(std::string& out, const Metric& metric) {
    out += "# HELP ";
    out += metric.name;
    out += ' ';
    out += metric.help;
    out += "\n# TYPE ";
    out += metric.name;
    out += ' ';
    out += metric.type;
    out += '\n';
}

void Number(std::string& out, int64_t value) {
    char text[24];
    const int length = std::snprintf(text, sizeof(text), "%" PRId64, value);
    if (length > 0) out.append(text, static_cast<size_t>(length));
}

void Unsigned(std::string& out, uint64_t value) {
    char text[24];
    const int length = std::snprintf(text, sizeof(text), "%" PRIu64, value);
    if (length > 0) out.append(text, static_cast<size_t>(length));
}

// name{labels} value, the labels already formatted.
void Sample(std::string& out, const char* name, const std::string& labels, uint64_t value) {
    out += name;
    out += '{';
    out += labels;
    out += "} ";
    Unsigned(out, value);
    out += '\n';
}

void Sample(std::string& out, const char* name, uint64_t value) {
    out += name;
    out += ' ';
    Unsigned(out, value);
    out += '\n';
}
}  // namespace

std::string EscapeLabelValue(const std::string& value) {
    std::string out;
    out.reserve(std::min(value.size(), kMaxLabelBytes));
    for (size_t at = 0; at < value.size();) {
        const size_t length = Utf8Length(value, at);
        const char c = value[at];
        const char* piece = nullptr;
        size_t pieceLength = length;
        if (length == 0) {
            piece = kReplacement, pieceLength = 3;
        } else if (c == '\\') {
            piece = "\\\\", pieceLength = 2;
        } else if (c == '"') {
            piece = "\\\"", pieceLength = 2;
        } else if (c == '\n') {
            piece = "\\n", pieceLength = 2;
        } else {
            piece = value.data() + at;
        }
        if (out.size() + pieceLength > kMaxLabelBytes) break;
        out.append(piece, pieceLength);
        at += length == 0 ? 1 : length;
    }
    return out;
}

StreamFigures StreamFigures::Of(const CStreamStats& stats, int64_t now) {
    StreamFigures figures;
    figures.serial = stats.serial;
    figures.channel = stats.channel;
    figures.handle = stats.handle;
    figures.packets = stats.packets.load(std::memory_order_relaxed);
    figures.bytes = stats.bytes.load(std::memory_order_relaxed);
    const int64_t last = stats.lastPacket.load(std::memory_order_relaxed);
    figures.lastPacketAge = std::max<int64_t>(0, now - (last >= 0 ? last : stats.start));
    const uint32_t connects = stats.connects.load(std::memory_order_relaxed);
    figures.reconnects = connects > 1 ? connects - 1 : 0;
    const int32_t code = stats.refusedCode.load(std::memory_order_relaxed);
    if (stats.refused.load(std::memory_order_relaxed) &&
        figures.packets == stats.packetsAtRefusal.load(std::memory_order_relaxed)) {
        // Refused, and nothing has come since.
        figures.state = StreamState::kRefused;
        figures.code = code;
    } else if (figures.packets == 0) {
        figures.state = StreamState::kStarting;
    } else if (connects > 1 && figures.packets == stats.packetsAtConnect.load(std::memory_order_relaxed)) {
        figures.state = StreamState::kReconnecting;
    } else if (now - last >= kSilentSeconds) {
        figures.state = StreamState::kSilent;
    } else {
        figures.state = StreamState::kReceiving;
    }
    return figures;
}

std::string FormatMetrics(const PluginFigures& plugin, const std::vector<StreamFigures>& streams) {
    std::string out;
    out.reserve(1024 + streams.size() * 900);
    std::vector<std::string> labels;
    labels.reserve(streams.size());
    for (const StreamFigures& stream : streams) {
        std::string text = "serial=\"" + EscapeLabelValue(stream.serial) + "\",channel=\"";
        Number(text, stream.channel);
        text += "\",handle=\"";
        Number(text, stream.handle);
        text += '"';
        labels.push_back(std::move(text));
    }
    const struct {
        const Metric& metric;
        uint64_t (*value)(const StreamFigures&);
    } perStream[] = {
        {kPackets, [](const StreamFigures& s) { return s.packets; }},
        {kBytes, [](const StreamFigures& s) { return s.bytes; }},
        {kAge, [](const StreamFigures& s) { return static_cast<uint64_t>(s.lastPacketAge); }},
        {kReconnects, [](const StreamFigures& s) { return static_cast<uint64_t>(s.reconnects); }},
    };
    for (const auto& series : perStream) {
        Head(out, series.metric);
        for (size_t i = 0; i < streams.size(); ++i)
            Sample(out, series.metric.name, labels[i], series.value(streams[i]));
    }
    Head(out, kState);
    for (size_t i = 0; i < streams.size(); ++i) {
        for (int state = 0; state <= static_cast<int>(StreamState::kRefused); ++state) {
            std::string withState = labels[i] + ",state=\"" + kStateNames[state] + '"';
            if (state == static_cast<int>(StreamState::kRefused) && streams[i].state == StreamState::kRefused) {
                withState += ",code=\"";
                Number(withState, streams[i].code);
                withState += '"';
            }
            Sample(out, kState.name, withState, static_cast<int>(streams[i].state) == state ? 1 : 0);
        }
    }
    Head(out, kRequests);
    Sample(out, kRequests.name, plugin.requests);
    Head(out, kRealStreams);
    Sample(out, kRealStreams.name, plugin.realStreams);
    Head(out, kPlatform);
    Sample(out, kPlatform.name, "kind=\"access_info\",result=\"ok\"", plugin.accessOk);
    Sample(out, kPlatform.name, "kind=\"access_info\",result=\"failed\"", plugin.accessFailed);
    Sample(out, kPlatform.name, "kind=\"device_token\",result=\"ok\"", plugin.tokenOk);
    Sample(out, kPlatform.name, "kind=\"device_token\",result=\"failed\"", plugin.tokenFailed);
    if (plugin.accessInfoAge >= 0) {
        Head(out, kInfoAge);
        Sample(out, kInfoAge.name, static_cast<uint64_t>(plugin.accessInfoAge));
    }
    Head(out, kRefresh);
    Sample(out, kRefresh.name, static_cast<uint64_t>(std::max<int64_t>(0, plugin.lastRefresh)));
    Head(out, kLoaded);
    Sample(out, kLoaded.name, plugin.sdkLoaded ? 1 : 0);
    Head(out, kInitialised);
    Sample(out, kInitialised.name, plugin.sdkInitialised ? 1 : 0);
    return out;
}

CMetricsFile::~CMetricsFile() {
    {
        Zeph::Base::LockGuard lock(m_mutex);
        m_bRun = false;
    }
    m_cond.notify_all();
    m_thread.Join();
}

void CMetricsFile::Start(const std::string& path, Collect collect) {
    {
        Zeph::Base::LockGuard lock(m_mutex);
        if (m_bRun) return;
        m_strPath = path;
        m_collect = std::move(collect);
        m_bRun = true;
        m_bToldFailure = false;
    }
    m_thread.Join();
    if (!m_thread.Start([this] { Loop(); })) {
        Zeph::Base::LockGuard lock(m_mutex);
        m_bRun = false;
        VANTRA_LOG_HERE(kLogFailure, kLogModule, "[%s][Metrics] no thread to write %s: written at Fini only[%s(%d)]",
                        "PexloCommon::CMetricsFile::Start", m_strPath.c_str(), kPath);
    }
}

void CMetricsFile::Stop() {
    bool wasOn = false;
    {
        Zeph::Base::LockGuard lock(m_mutex);
        wasOn = m_collect != nullptr;
        m_bRun = false;
    }
    m_cond.notify_all();
    m_thread.Join();
    if (!wasOn) return;
    Write();
    Zeph::Base::LockGuard lock(m_mutex);
    m_collect = nullptr;
}

bool CMetricsFile::Running() const {
    Zeph::Base::LockGuard lock(m_mutex);
    return m_bRun;
}

bool CMetricsFile::Write() {
    std::string path;
    Collect collect;
    {
        Zeph::Base::LockGuard lock(m_mutex);
        path = m_strPath;
        collect = m_collect;
    }
    if (!collect) return false;
    std::string error;
    bool written = false;
    try {
        written = Zeph::Platform::WriteFileReplacing(path, collect(), &error);
    } catch (...) {
        error = "out of memory";
    }
    if (written) return true;
    {
        Zeph::Base::LockGuard lock(m_mutex);
        if (m_bToldFailure) return false;
        m_bToldFailure = true;
    }
    VANTRA_LOG_HERE(kLogFailure, kLogModule, "[%s][Metrics] the metrics file is not written: %s[%s(%d)]",
                    "PexloCommon::CMetricsFile::Write", error.c_str(), kPath);
    return false;
}

void CMetricsFile::Loop() {
    Zeph::Platform::SetCurrentThreadName("vantra-metrics");
    for (;;) {
        {
            Zeph::Base::UniqueLock lock(m_mutex);
            const auto until = std::chrono::steady_clock::now() + kPeriod;
            while (m_bRun) {
                if (m_cond.wait_until(lock.Native(), until) == std::cv_status::timeout) break;
            }
            if (!m_bRun) return;
        }
        Write();
    }
}

}  // namespace PexloCommon
