// The metrics file, as the format's reference parser and node_exporter read it.
#include "Metrics.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "HostSink.h"
#include "RealStream.h"
#include "VantraIotSMSPlugin.h"
#include "ZephBase/Log.h"

#if !defined(_WIN32)
#include "LoopbackServer.h"
#endif

using PexloCommon::CMetricsFile;
using PexloCommon::CStreamStats;
using PexloCommon::StreamFigures;
using PexloCommon::StreamState;

TEST(Metrics, StatesFollowTheFiguresOfTheStream) {
    // The figures, now 1000, and the state, code, age and reconnects read off them.
    const std::tuple<uint64_t, int64_t, uint32_t, uint64_t, int32_t, uint64_t, const char*> cases[] = {
        // A refusal code of -1: none came.
        {0, -1, 1, 0, -1, 0, "starting 0 100 0"},       {0, -1, 1, 0, 400901, 0, "refused 400901 100 0"},
        {0, -1, 1, 0, 0, 0, "refused 0 100 0"},         {5, 999, 1, 0, 400903, 0, "receiving 0 1 0"},
        {10, 996, 1, 0, -1, 0, "receiving 0 4 0"},      {10, 995, 1, 0, -1, 0, "silent 0 5 0"},
        {10, 960, 2, 10, -1, 0, "reconnecting 0 40 1"}, {12, 999, 3, 10, -1, 0, "receiving 0 1 2"},
        {10, 960, 2, 10, 101, 10, "refused 101 40 1"},
    };
    const char* names[] = {"starting", "receiving", "silent", "reconnecting", "refused"};
    for (const auto& [packets, last, connects, atConnect, refused, atRefusal, expected] : cases) {
        CStreamStats stats("CAM", 1, 7, 900);
        stats.packets = packets;
        stats.lastPacket = last;
        stats.connects = connects;
        stats.packetsAtConnect = atConnect;
        if (refused >= 0) stats.Refused(refused);
        stats.packetsAtRefusal = atRefusal;
        const StreamFigures f = StreamFigures::Of(stats, 1000);
        EXPECT_EQ(std::string(names[static_cast<int>(f.state)]) + " " + std::to_string(f.code) + " " +
                      std::to_string(f.lastPacketAge) + " " + std::to_string(f.reconnects),
                  expected);
    }
}

TEST(Metrics, TheFileIsReplacedWholeAndAFailedWriteIsToldOnce) {
    const std::string dir = vantra_test::MakeTempDir("vantra-metrics-"), path = dir + "/later/vantra.prom";
    Zeph::Base::details::ScopedLogCapture capture;
    CMetricsFile file;
    std::atomic<int> writes{0};
    file.Start(path, [&] { return "vantra_stream_requests " + std::to_string(++writes) + "\n"; });
    EXPECT_FALSE(file.Write() || file.Write());  // no directory
    std::filesystem::create_directories(dir + "/later");
    ASSERT_TRUE(file.Write());
    EXPECT_EQ(vantra_test::ReadFile(path), "vantra_stream_requests 3\n");
    file.Stop();  // once more
    EXPECT_EQ(vantra_test::ReadFile(path), "vantra_stream_requests 4\n");
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
    EXPECT_EQ(capture.CountContaining("[Metrics] the metrics file is not written: "), 1u);
    std::filesystem::remove_all(dir);
}

#if !defined(_WIN32)
namespace {

std::atomic<int64_t> g_now{1000000};
int64_t FakeNow() { return g_now.load(); }

std::string Hex(const std::string& bytes) {
    static const char* kDigits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) out += {kDigits[c >> 4], kDigits[c & 15]};
    return out;
}

}  // namespace

// Serials come from the host's URL as they are: read back whole, or with non-UTF-8 bytes replaced, cut at 256 bytes.
TEST(Metrics, HostileSerialsReadBackAsTheyWereOrReplaced) {
    const std::string fffd = "\xEF\xBF\xBD";
    const std::string kInjection = "}\n# TYPE vantra_stream_requests counter\nvantra_stream_requests 99";
    const std::pair<std::string, std::string> serials[] = {
        {"CAM001", "CAM001"},
        {"we\"ird\\", "we\"ird\\"},
        {"line\nbreak\rcr\ttab", "line\nbreak\rcr\ttab"},
        {kInjection, kInjection},
        {"caf\xC3\xA9 \xF0\x9F\x8E\xA5", "caf\xC3\xA9 \xF0\x9F\x8E\xA5"},
        {"bad\xFF", "bad" + fffd},
        {"cut\xE2\x82", "cut" + fffd + fffd},
        {"\xC0\x80", fffd + fffd},
        {"\xED\xA0\x80", fffd + fffd + fffd},
        {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},
        {std::string(1000, 'x'), std::string(256, 'x')},
        {std::string(200, '\\'), std::string(128, '\\')},
        {"", ""},
    };
    std::vector<StreamFigures> streams(sizeof(serials) / sizeof(serials[0]));
    for (size_t i = 0; i < streams.size(); ++i) streams[i].serial = serials[i].first, streams[i].handle = i;
    const std::string dir = vantra_test::MakeTempDir("vantra-metrics-");
    std::ofstream(dir + "/hostile.prom", std::ios::binary) << FormatMetrics({}, streams);
    ASSERT_EQ(vantra_test::RunCommand("/usr/bin/python3 " VANTRA_SOURCE_DIR "/tests/scripts/parse_metrics.py " + dir +
                                      "/hostile.prom > " + dir + "/parsed.txt"),
              0);
    const std::string parsed = vantra_test::ReadFile(dir + "/parsed.txt");
    // One sample a stream, and the plugin's own value, never the injected one.
    EXPECT_EQ(std::count(parsed.begin(), parsed.end(), '\n'), 13 * (4 + 5) + 9) << parsed;
    EXPECT_NE(parsed.find("vantra_stream_requests  0\n"), std::string::npos);
    for (size_t i = 0; i < streams.size(); ++i) {
        EXPECT_NE(parsed.find("handle=" + Hex(std::to_string(i)) + " serial=" + Hex(serials[i].second) + " "),
                  std::string::npos)
            << "serial " << i;
    }
    std::filesystem::remove_all(dir);
}

namespace {

// The value of the first sample of `metric` whose labels include all of `labels` (`name="value"`); "" when none.
std::string Scraped(const std::string& scrape, const std::string& metric, const std::vector<std::string>& labels) {
    for (size_t at = scrape.find(metric + "{"); at != std::string::npos; at = scrape.find(metric + "{", at + 1)) {
        if (at != 0 && scrape[at - 1] != '\n') continue;
        const size_t end = scrape.find('\n', at);
        const std::string line = scrape.substr(at, end - at);
        bool all = true;
        for (const std::string& label : labels) all = all && line.find(label) != std::string::npos;
        if (all) return line.substr(line.rfind(' ') + 1);
    }
    return "";
}

}  // namespace

// node_exporter is the reader operators run; Fini writes the file once more.
TEST(Metrics, NodeExporterReadsEachCamerasState) {
    using PexloCommon::CRealStream;
    using PexloCommon::CVantraIotSMSPlugin;
    CRealStream::SetClock(&FakeNow);
    vantra_test::SetEnv("LUMAVEX_EMU_FADE_MS", "0");  // the header, then silence
    vantra_test::TempInstall install({"--cloud-type", "1"});
    std::ofstream(install.PluginDir() + "/VantraIotSMSConfig.xml")
        << "<Config><VantraIotServer>127.0.0.1</VantraIotServer><VantraIotServerPort>" << install.platform->port
        << "</VantraIotServerPort><VantraIotMetricsFile>metrics/vantra.prom</VantraIotMetricsFile></Config>";
    const std::string metricsDir = install.PluginDir() + "/metrics";
    std::filesystem::create_directories(metricsDir);
    auto* plugin = CVantraIotSMSPlugin::GetInstance();
    ASSERT_EQ(plugin->DeviceObject_Init(), 0);

    const std::string serials[] = {"CAM-OK", "FADE-SILENT", "REFUSE-CAM", "EVIL\"}\n\xFF", "MUTE-CAM"};
    vantra_test::Received received[5];
    std::string urls[5];
    for (int i = 0; i < 5; ++i) {
        urls[i] = "rtsp://sms/live?deviceseq=" + serials[i];
        const DeviceStreamRequest request = vantra_test::Request(urls[i]);
        ASSERT_EQ(plugin->DeviceObject_StartStream(i, &request, &vantra_test::OnData, &received[i]), 0);
    }
    for (int i : {0, 3}) ASSERT_TRUE(received[i].WaitForMedia(3));
    ASSERT_TRUE(vantra_test::WaitUntil([&] {
        std::lock_guard<std::mutex> lock(received[1].mutex);
        return received[1].types.size() >= 2;  // the description block and the header
    }));
    for (const char* refused : {"serial=\"REFUSE-CAM\",channel=\"1\",handle=\"2\",state=\"refused\",code=",
                                "serial=\"MUTE-CAM\",channel=\"1\",handle=\"4\",state=\"refused\",code=\"0\""}) {
        ASSERT_TRUE(vantra_test::WaitUntil([&] { return plugin->MetricsText().find(refused) != std::string::npos; }));
    }
    g_now += 6;
    for (int i : {0, 3}) {
        const size_t media = received[i].Media();
        ASSERT_TRUE(received[i].WaitForMedia(media + 1)) << "a packet after the clock moved";
    }
    EXPECT_TRUE(plugin->DeviceObject_Fini());

    // A loopback port nobody listens on once the probe is gone.
    const int port = [] {
        vantra_test::LoopbackServer probe;
        probe.Start();
        return probe.port;
    }();
    vantra_test::ChildProcess exporter;
    exporter.Start({"/bin/sh", "-c",
                    "echo up; exec prometheus-node-exporter --collector.disable-defaults --collector.textfile "
                    "--collector.textfile.directory=" +
                        metricsDir + " --web.listen-address=127.0.0.1:" + std::to_string(port)});
    httplib::Client client("127.0.0.1", port);
    std::string scrape;
    ASSERT_TRUE(vantra_test::WaitUntil([&] {
        auto reply = client.Get("/metrics");
        if (!reply || reply->status != 200) return false;
        scrape = reply->body;
        return true;
    })) << "node_exporter did not answer";

    EXPECT_NE(scrape.find("\nnode_textfile_scrape_error 0\n"), std::string::npos) << scrape;
    const std::string evil = "serial=\"EVIL\\\"}\\n\xEF\xBF\xBD\"";
    const std::vector<std::pair<std::vector<std::string>, std::string>> samples = {
        {{"serial=\"CAM-OK\"", "state=\"receiving\""}, "1"},
        {{"serial=\"FADE-SILENT\"", "state=\"silent\""}, "1"},
        {{"serial=\"REFUSE-CAM\"", "state=\"refused\""}, "1"},
        {{evil, "state=\"receiving\""}, "1"},
        {{"serial=\"MUTE-CAM\"", "state=\"refused\"", "code=\"0\""}, "1"}};
    for (const auto& [labels, value] : samples) EXPECT_EQ(Scraped(scrape, "vantra_stream_state", labels), value);
    // The refused play's SDK code or the UE code of the message that came with it, whichever came last.
    EXPECT_TRUE(Scraped(scrape, "vantra_stream_state", {"serial=\"REFUSE-CAM\"", "code=\"400901\""}) == "1" ||
                Scraped(scrape, "vantra_stream_state", {"serial=\"REFUSE-CAM\"", "code=\"101\""}) == "1");
    EXPECT_GT(std::atof(Scraped(scrape, "vantra_stream_packets_total", {"serial=\"CAM-OK\""}).c_str()), 3);
    EXPECT_GT(std::atof(Scraped(scrape, "vantra_stream_bytes_total", {"serial=\"CAM-OK\""}).c_str()), 1000);
    EXPECT_EQ(Scraped(scrape, "vantra_stream_packets_total", {"serial=\"FADE-SILENT\""}), "1");
    EXPECT_EQ(Scraped(scrape, "vantra_stream_last_packet_age_seconds", {"serial=\"FADE-SILENT\""}), "6");
    EXPECT_EQ(Scraped(scrape, "vantra_stream_packets_total", {"serial=\"REFUSE-CAM\""}), "0");
    EXPECT_NE(scrape.find("\nvantra_stream_requests 5\n"), std::string::npos);
    EXPECT_NE(scrape.find("\nvantra_sdk_initialized 0\n"), std::string::npos) << "written after the SDK finished";

    for (int i = 0; i < 5; ++i) plugin->DeviceObject_StopStream(i);
    vantra_test::UnsetEnv("LUMAVEX_EMU_FADE_MS");
    CRealStream::SetClock(nullptr);
}
#endif
