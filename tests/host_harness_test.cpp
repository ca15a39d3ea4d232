// vantra-host against both emulators, as an integrator runs it: files, summaries and exit codes.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "Portable.h"
#include "TestInstall.h"

using vantra_test::PlatformEmulator;
using vantra_test::TempInstall;

namespace {

struct HostRun {
    int code;
    std::string output;
};

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// Runs vantra-host with `args` (the test's environment, so VANTRA_EXE_DIR points at the installation).
HostRun Host(const TempInstall& install, const std::string& args) {
    const std::string log = install.root + "/host.out";
    std::string quoted = args;
#if defined(_WIN32)
    for (char& c : quoted) c = c == '\'' ? '"' : c;  // cmd.exe quotes with double quotes only
#endif
    const int code =
        vantra_test::RunCommand(std::string("\"") + VANTRA_HOST + "\" --quiet " + quoted + " > \"" + log + "\" 2>&1");
    return HostRun{code, ReadFile(log)};
}

const std::string kPlugin = std::string("--plugin ") + VANTRA_PLUGIN_PATH;

}  // namespace

TEST(HostHarness, WritesDecodableVideoAndSummaries) {
    TempInstall install;
    PlatformEmulator platform({"--cloud-type", "3"});
    install.WriteConfig("127.0.0.1", platform.port);
    const std::string out = install.root + "/out";
    HostRun run = Host(install, kPlugin + " --seconds 2 --out " + out +
                                    " --stream 'rtsp://sms/live?deviceseq=CAM264&videolevel=1'"
                                    " --stream 'rtsp://sms/live?deviceseq=CAM265&videolevel=2' --channel 1");
    ASSERT_EQ(run.code, 0) << run.output;
    const struct {
        const char *serial, *file, *codec, *probed, *kind;
    } streams[] = {{"CAM264", "CAM264.h264", "H264", "h264", "QMZX"},
                   {"CAM265", "CAM265.h265", "H265", "hevc", "ZPLC"}};
    for (const auto& s : streams) {
        const std::string text = ReadFile(out + "/" + s.serial + ".json");
        rapidjson::Document doc;
        ASSERT_FALSE(doc.Parse(text.c_str()).HasParseError()) << text;
        EXPECT_STREQ(doc["codec"].GetString(), s.codec);
        EXPECT_STREQ(doc["headerKind"].GetString(), s.kind);
        EXPECT_EQ(doc["packetsByType"]["10"].GetUint64(), 1u);
        EXPECT_EQ(doc["packetsByType"]["1"].GetUint64(), 1u);
        const uint64_t media = doc["packetsByType"]["2"].GetUint64();
        // 25 frames a second for about two seconds.
        EXPECT_GE(media, 25u);
        EXPECT_LE(media, 100u);
        EXPECT_GE(doc["firstPacketLatencyMs"].GetDouble(), 0.0);
        const std::string video = out + "/" + s.file;
#if !defined(_WIN32)  // ffprobe is a host tool; the Windows run checks the files from outside
        vantra_test::RunCommand(
            "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
            "stream=codec_name,nb_read_frames -of csv=p=0 " +
            video + " > " + video + ".probe");
        EXPECT_EQ(ReadFile(video + ".probe"), std::string(s.probed) + "," + std::to_string(media) + "\n") << s.file;
#else
        EXPECT_GT(std::filesystem::file_size(video), 0u);
#endif
    }
    const std::string refused = " --seconds 1 --out " + out + " --stream 'rtsp://sms/live?deviceseq=REFUSE-9'";
    EXPECT_EQ(Host(install, kPlugin + refused).code, 5);
}

TEST(HostHarness, ExitCodesNameTheFailure) {
    TempInstall install;
    const std::string stream = " --out " + install.root + "/out --stream 'rtsp://x?deviceseq=A'";
    EXPECT_EQ(Host(install, kPlugin).code, 2);  // no stream
    EXPECT_EQ(Host(install, kPlugin + stream + " --channel x").code, 2);
    EXPECT_EQ(Host(install, kPlugin + stream + " --bogus").code, 2);
    EXPECT_EQ(Host(install, kPlugin + " --unload-early sideways" + stream).code, 2);
    HostRun missing = Host(install, "--plugin /nonexistent/libVantraIotSMSPlugin.so" + stream);
    EXPECT_EQ(missing.code, 3);
    EXPECT_NE(missing.output.find("cannot load the plugin"), std::string::npos);

    install.WriteConfig("127.0.0.1", 1);  // nothing listens there
    HostRun down = Host(install, kPlugin + stream);
    EXPECT_EQ(down.code, 4);
    EXPECT_NE(down.output.find("unreachable at 127.0.0.1:1"), std::string::npos) << down.output;
    EXPECT_NE(down.output.find("VantraIotSMSPlugin.log"), std::string::npos);

    TempInstall noSdk(false);
    PlatformEmulator platform;
    noSdk.WriteConfig("127.0.0.1", platform.port);
    HostRun withoutSdk = Host(noSdk, kPlugin + stream);
    EXPECT_EQ(withoutSdk.code, 4);
    EXPECT_NE(withoutSdk.output.find(std::string(vantra_test::kSdkFile) + " is not in " + noSdk.root +
                                     "/bin/../plugins/vantraiot_plugin (it is missing)"),
              std::string::npos)
        << withoutSdk.output;
}

// A host that unloads the library without DeviceObject_Fini, with its streams stopped or still running,
// must be able to run on and exit normally: no hang in the unload, no thread left running into unmapped code.
TEST(HostHarness, UnloadingWithoutFiniLeavesTheHostRunning) {
    TempInstall install;
    PlatformEmulator platform({"--cloud-type", "3"});
    install.WriteConfig("127.0.0.1", platform.port);
    for (const std::string mode : {"no-fini", "no-stop"}) {
        HostRun run = Host(install, kPlugin + " --seconds 2 --out " + install.root + "/out-" + mode +
                                        " --unload-early " + mode + " --stream 'rtsp://sms/live?deviceseq=EARLY1'" +
                                        " --stream 'rtsp://sms/live?deviceseq=EARLY2'");
        EXPECT_EQ(run.code, 0) << mode << ": " << run.output;
        EXPECT_NE(run.output.find("unloaded early (" + mode + ") and ran on for 1 s"), std::string::npos) << run.output;
    }
}
