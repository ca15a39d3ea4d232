// The built plugin as a host sees it, each export answering and no other exported; vantra-host as integrators run it.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "PluginLibrary.h"
#include "Portable.h"
#include "TestInstall.h"
#include "VantraIotSMSPluginApi.h"

using vantra_test::TempInstall;

namespace {

const char* const kLiveExports[] = {"DeviceObject_Init",           "DeviceObject_Fini",
                                    "DeviceObject_CreateInstance", "DeviceObject_DestroyInstance",
                                    "DeviceObject_StartStream",    "DeviceObject_StopStream",
                                    "DeviceObject_GetLastError"};
const char* const kIntExports[] = {"DeviceObject_GetVideoThumbnails",  "DeviceObject_SetLocalIP",
                                   "DeviceObject_SetModeChange",       "DeviceObject_SetMsgCB",
                                   "DeviceObject_SetVideoParam",       "DeviceObject_ForceIFrame",
                                   "DeviceObject_PauseStream",         "DeviceObject_ResumeStream",
                                   "DeviceObject_SeekStreamByAbsTime", "DeviceObject_SeekStreamByAbsTimeEx",
                                   "DeviceObject_SeekStreamByRelTime", "DeviceObject_SendVoiceDataEx",
                                   "DeviceObject_SetExtractFrame",     "DeviceObject_SetStreamScale",
                                   "DeviceObject_StartPlayBack",       "DeviceObject_StartPlayBackByReverse",
                                   "DeviceObject_StartVoiceEx",        "DeviceObject_StopVoiceEx"};
const char* const kVoidExports[] = {"DeviceObject_SetLogCB", "DeviceObject_StopPlayBack",
                                    "DeviceObject_StopPlayBackByReverse"};

std::set<std::string> ExportedNames() {
    std::set<std::string> names;
#if defined(_WIN32)
    HMODULE module = LoadLibraryA(VANTRA_PLUGIN_PATH);
    if (module == nullptr) return names;
    const auto* base = reinterpret_cast<const unsigned char*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const auto& entry = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + entry.VirtualAddress);
    const auto* nameRvas = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) names.insert(reinterpret_cast<const char*>(base + nameRvas[i]));
    FreeLibrary(module);
#else
    const std::string command = std::string("nm -DCj --defined-only ") + VANTRA_PLUGIN_PATH;  // demangled, one a line
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return names;
    char buffer[512];
    while (fgets(buffer, sizeof(buffer), pipe) != nullptr)
        names.insert(std::string(buffer, std::strcspn(buffer, "\n")));
    pclose(pipe);
#endif
    return names;
}

}  // namespace

using vantra_test::Symbol;

TEST(Exports, OnlyTheInterfaceAndLockMembersAreExported) {
#if defined(_WIN32)
    // As an MSVC x64 build records them.
    const char* const members[] = {"??0Kestro_Guard@@QEAA@PEAVKestro_Mutex@@@Z",
                                   "??1Kestro_Guard@@QEAA@XZ",
                                   "?Release@Kestro_Guard@@QEAAXXZ",
                                   "??4Kestro_Guard@@QEAAAEAV0@AEBV0@@Z",
                                   "??4Kestro_Mutex@@QEAAAEAV0@AEBV0@@Z",
                                   "??4Kestro_Sema@@QEAAAEAV0@AEBV0@@Z",
                                   "?__autoclassinit2@Kestro_Guard@@QEAAX_K@Z",
                                   "?__autoclassinit2@Kestro_Sema@@QEAAX_K@Z"};
#else
    const char* const members[] = {"Kestro_Guard::Kestro_Guard(Kestro_Mutex*)",
                                   "Kestro_Guard::~Kestro_Guard()",
                                   "Kestro_Guard::Release()",
                                   "Kestro_Guard::operator=(Kestro_Guard const&)",
                                   "Kestro_Mutex::operator=(Kestro_Mutex const&)",
                                   "Kestro_Sema::operator=(Kestro_Sema const&)",
                                   "Kestro_Guard::__autoclassinit2(unsigned long long)",
                                   "Kestro_Sema::__autoclassinit2(unsigned long long)"};
#endif
    std::set<std::string> expected(std::begin(members), std::end(members));
    expected.insert(std::begin(kLiveExports), std::end(kLiveExports));
    expected.insert(std::begin(kIntExports), std::end(kIntExports));
    expected.insert(std::begin(kVoidExports), std::end(kVoidExports));
    expected.insert("XPLUGIN_GetPluginInterface");
    EXPECT_EQ(ExportedNames(), expected);
}

#if defined(_WIN32)
TEST(Exports, TheShippedBinariesCarryTheirVersionResource) {
    for (const std::string file : {VANTRA_PLUGIN_PATH, VANTRA_HOST}) {
        std::string data(GetFileVersionInfoSizeA(file.c_str(), nullptr), '\0');
        ASSERT_FALSE(data.empty()) << file;
        ASSERT_TRUE(GetFileVersionInfoA(file.c_str(), 0, static_cast<DWORD>(data.size()), data.data())) << file;
        const auto value = [&](const char* key) {
            char* text = nullptr;
            UINT length = 0;
            const std::string path = std::string("\\StringFileInfo\\040904b0\\") + key;
            return VerQueryValueA(data.data(), path.c_str(), reinterpret_cast<void**>(&text), &length) &&
                           text != nullptr
                       ? std::string(text)
                       : std::string();
        };
        EXPECT_EQ(value("OriginalFilename"), file.substr(file.find_last_of("/\\") + 1)) << file;
        EXPECT_EQ(value("ProductName"), "VantraIot SMS plugin") << file;
        EXPECT_EQ(value("FileVersion"), VANTRA_VERSION) << file;
        EXPECT_EQ(value("ProductVersion"), VANTRA_VERSION) << file;
        EXPECT_FALSE(value("FileDescription").empty()) << file;
    }
}
#endif

#if defined(_WIN32)
// MSVC constructors return `this` in rax, and a host built with MSVC may take the object from there.
TEST(Exports, TheGuardConstructorHandsBackItsObject) {
    void* plugin = vantra_test::OpenLibrary(VANTRA_PLUGIN_PATH);
    using Constructor = void* (*)(void* self, void* mutex);  // `this` in rcx, the mutex in rdx, the result in rax
    const auto construct = reinterpret_cast<Constructor>(Symbol(plugin, "??0Kestro_Guard@@QEAA@PEAVKestro_Mutex@@@Z"));
    const auto destroy = reinterpret_cast<void (*)(void*)>(Symbol(plugin, "??1Kestro_Guard@@QEAA@XZ"));
    ASSERT_TRUE(construct != nullptr && destroy != nullptr);
    alignas(16) unsigned char guard[16] = {};  // a guard over no mutex locks nothing
    EXPECT_EQ(construct(guard, nullptr), static_cast<void*>(guard));
    destroy(guard);
    vantra_test::CloseLibrary(plugin);
}
#endif

TEST(Exports, LoadedLikeAHostEveryExportAnswers) {
    const std::string logDir = vantra_test::MakeTempDir("exports-log-");
    vantra_test::SetEnv("VANTRA_LOG_DIR", logDir);
    void* plugin = vantra_test::OpenLibrary(VANTRA_PLUGIN_PATH);
    vantra_host::PluginExports api;
    ASSERT_EQ(api.Resolve(plugin), nullptr);  // loaded, with every live export

    // Inert functions answer 0 (or nothing) whatever arguments the host's declaration passes.
    using IntFn = int (*)(intptr_t, intptr_t, intptr_t, intptr_t);
    for (const char* name : kIntExports)
        EXPECT_EQ(reinterpret_cast<IntFn>(Symbol(plugin, name))(1, 2, 3, 4), 0) << name;
    for (const char* name : kVoidExports) reinterpret_cast<void (*)(intptr_t, intptr_t)>(Symbol(plugin, name))(1, 2);
    EXPECT_EQ(reinterpret_cast<void* (*)()>(Symbol(plugin, "XPLUGIN_GetPluginInterface"))(), nullptr);

    EXPECT_EQ(api.GetLastError(), 600002);
    EXPECT_EQ(api.CreateInstance(), 0);
    EXPECT_EQ(api.CreateInstance(), 1);
    EXPECT_EQ(api.DestroyInstance(0), 0);
    EXPECT_EQ(api.CreateInstance(), 0);
    for (int i = 2; i <= 4096; ++i) ASSERT_EQ(api.CreateInstance(), i);
    EXPECT_EQ(api.CreateInstance(), -1);  // all 64 bits set
    EXPECT_EQ(static_cast<uint64_t>(api.CreateInstance()), UINT64_MAX);

    // Unloading flushes the log; the records carry the host-facing names and lines.
    ASSERT_EQ(vantra_test::CloseLibrary(plugin), 0);
    const std::string text = vantra_test::ReadFile(logDir + "/VantraIotSMSPlugin.log");
    const std::string handles = "VantraIotSMSPlugin [PexloCommon::CHandleMgr::";
    for (const std::string& record :
         {std::string("VantraIotSMSPlugin [PexloCommon::CVantraIotSMSPlugin::DeviceObject_CreateInstance]"
                      "[DeviceObject_CreateInstance][..\\..\\code\\VantraIotSMSPlugin(391)]"),
          std::string("[DeviceObject_DestroyInstance] handle:0[..\\..\\code\\VantraIotSMSPlugin(397)]"),
          handles + "CreateHandle][CreateHandle] handle:1[..\\..\\code\\handleMgr(34)]",
          handles + "DestroyHandle][DestroyHandle] handle:0[..\\..\\code\\handleMgr(50)]",
          handles + "CreateHandle][CreateHandle] m_vsRecoveryHandle size:1[..\\..\\code\\handleMgr(38)]",
          handles + "CreateHandle][CreateHandle] m_vsRecoveryHandle size:0, handle:0[..\\..\\code\\handleMgr(42)]"}) {
        EXPECT_NE(text.find(record), std::string::npos) << record;
    }
    std::error_code ignored;  // a loader may keep the file open a little longer
    std::filesystem::remove_all(logDir, ignored);
}

namespace {

// Runs vantra-host in the installation and expects its exit code and each of `says` in what it printed.
void ExpectHost(const TempInstall& install, std::string args, int code, const std::vector<std::string>& says = {}) {
    const std::string log = install.root + "/host.out";
#if defined(_WIN32)
    for (char& c : args) c = c == '\'' ? '"' : c;  // cmd.exe quotes with double quotes only
#endif
    const int exit =
        vantra_test::RunCommand(std::string("\"") + VANTRA_HOST + "\" --quiet " + args + " > \"" + log + "\" 2>&1");
    const std::string output = vantra_test::ReadFile(log);
    EXPECT_EQ(exit, code) << args << "\n" << output;
    for (const std::string& text : says) EXPECT_NE(output.find(text), std::string::npos) << text << "\n" << output;
}

const std::string kPlugin = std::string("--plugin ") + VANTRA_PLUGIN_PATH;

}  // namespace

TEST(HostHarness, WritesDecodableVideoAndSummaries) {
    TempInstall install({"--cloud-type", "3"});
    const std::string out = install.root + "/out";
    ExpectHost(install,
               kPlugin + " --seconds 2 --out " + out +
                   " --stream 'rtsp://sms/live?deviceseq=CAM264&videolevel=1'"
                   " --stream 'rtsp://sms/live?deviceseq=CAM265&videolevel=2' --channel 1",
               0);
    const struct {
        const char *serial, *file, *codec, *probed, *kind, *clip;
    } streams[] = {{"CAM264", "CAM264.h264", "H264", "h264", "QMZX", "clip.h264"},
                   {"CAM265", "CAM265.h265", "H265", "hevc", "ZPLC", "clip.h265"}};
    for (const auto& s : streams) {
        const std::string text = vantra_test::ReadFile(out + "/" + s.serial + ".json");
        rapidjson::Document doc;
        ASSERT_FALSE(doc.Parse(text.c_str()).HasParseError()) << text;
        EXPECT_STREQ(doc["codec"].GetString(), s.codec);
        EXPECT_STREQ(doc["headerKind"].GetString(), s.kind);
        EXPECT_EQ(doc["packetsByType"]["10"].GetUint64(), 1u);
        EXPECT_EQ(doc["packetsByType"]["1"].GetUint64(), 1u);
        const uint64_t media = doc["packetsByType"]["2"].GetUint64();
        EXPECT_TRUE(media >= 25 && media <= 100) << "25 frames a second for about two seconds: " << media;
        EXPECT_GE(doc["firstPacketLatencyMs"].GetDouble(), 0.0);
        const std::string video = out + "/" + s.file;
        // The media packets in order, from the clip's start: the SDK's bytes, untouched.
        const std::string clip = vantra_test::ReadFile(install.PluginDir() + "/lumavex-media/" + s.clip);
        const std::string written = vantra_test::ReadFile(video);
        const size_t common = std::min(clip.size(), written.size());
        EXPECT_TRUE(common > 1000 && written.compare(0, common, clip, 0, common) == 0) << s.file;
#if !defined(_WIN32)  // ffprobe is a host tool; the Windows run checks the files from outside
        vantra_test::RunCommand(
            "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
            "stream=codec_name,nb_read_frames -of csv=p=0 " +
            video + " > " + video + ".probe");
        EXPECT_EQ(vantra_test::ReadFile(video + ".probe"), std::string(s.probed) + "," + std::to_string(media) + "\n")
            << s.file;
#else
        EXPECT_GT(std::filesystem::file_size(video), 0u);
#endif
    }
    ExpectHost(install, kPlugin + " --seconds 1 --out " + out + " --stream 'rtsp://sms/live?deviceseq=REFUSE-9'", 5);
#if !defined(_WIN32)
    // A full disk, for one stream's video and for another's summary: said, with the file, and its own exit code.
    for (const char* file : {"/FULLA.h264", "/FULLB.json"}) std::filesystem::create_symlink("/dev/full", out + file);
    ExpectHost(install,
               kPlugin + " --seconds 1 --out " + out + " --stream 'rtsp://sms/live?deviceseq=FULLA'" +
                   " --stream 'rtsp://sms/live?deviceseq=FULLB'",
               6,
               {"cannot write " + out + "/FULLA.h264: No space left on device",
                "cannot write " + out + "/FULLB.json: No space left on device"});
#endif
}

TEST(HostHarness, ExitCodesNameTheFailure) {
    TempInstall install;
    const std::string stream = " --out " + install.root + "/out --stream 'rtsp://x?deviceseq=A'";
    for (const std::string args : {"", " --channel x", " --bogus", " --unload-early sideways"})
        ExpectHost(install, kPlugin + (args.empty() ? "" : stream + args), 2);  // the first: no stream
    ExpectHost(install, "--plugin /nonexistent/libVantraIotSMSPlugin.so" + stream, 3, {"cannot load the plugin"});
    install.WriteConfig("127.0.0.1", 1);  // nothing listens there
    ExpectHost(install, kPlugin + stream, 4, {"unreachable at 127.0.0.1:1", "VantraIotSMSPlugin.log"});
    TempInstall noSdk({}, false);
    ExpectHost(noSdk, kPlugin + stream, 4,
               {std::string(vantra_test::kSdkFile) + " is not in " + noSdk.root +
                "/bin/../plugins/vantraiot_plugin (it is missing)"});
}

TEST(HostHarness, UnloadingWithoutFiniLeavesTheHostRunning) {
    TempInstall install({"--cloud-type", "3"});
    for (const std::string mode : {"no-fini", "no-stop"}) {
        ExpectHost(install,
                   kPlugin + " --seconds 2 --out " + install.root + "/out-" + mode + " --unload-early " + mode +
                       " --stream 'rtsp://sms/live?deviceseq=EARLY1' --stream 'rtsp://sms/live?deviceseq=EARLY2'",
                   0, {"unloaded early (" + mode + ") and ran on for 1 s"});
    }
}

TEST(HostHarness, TheInstallationCheckNamesTheStepThatFails) {
    const std::string sdkAt = std::string(vantra_test::kSdkFile) + " is not in ";
    const struct {
        const char* what;
        std::vector<std::string> platform;  // empty: no platform server
        int code;
        std::vector<std::string> says;
    } cases[] = {
        {"all well", {"--cloud-type", "3"}, 0, {"ok   5. cloud SDK start     started in client-library mode (cloud"}},
        {"no SDK", {"--cloud-type", "3"}, 4, {"FAIL 2. cloud SDK", sdkAt}},
        {"a reduced SDK", {"--cloud-type", "1"}, 0, {"lacks Pexlo_SetSessionConfig Pexlo_GetLastErrorCode;", "plain"}},
        {"no configuration", {"--cloud-type", "3"}, 4, {"FAIL 3. configuration file", "does not exist"}},
        {"a blank in the address", {"--cloud-type", "3"}, 4, {"address [ 127.0.0.1]", "white space", "not reached"}},
        {"no platform server", {}, 4, {"FAIL 4. platform server", "was not reached"}},
        {"a refusing code", {"--fault-code", "2001", "--fault-path", "access"}, 4, {"answered with code 2001"}},
        {"empty fields",
         {"--fault-body", R"({"code":0,"data":{}})", "--fault-path", "access"},
         4,
         {"empty in its answer: accessToken nubrixAddr appKey nubrixType authAddr openAddr",
          "FAIL 5. cloud SDK start     the SDK refused to start in plain mode"}},
        {"the SDK refusing", {"--cloud-type", "3"}, 4, {"the SDK refused to start in client-library mode"}},
    };
    for (const auto& c : cases) {
        const std::string what = c.what;
        TempInstall install(what != "no SDK");
        if (what == "a reduced SDK") install.InstallSdk(std::string(VANTRA_BINARY_DIR) + "/emulators/reduced");
        if (c.platform.empty()) install.WriteConfig("127.0.0.1", 1);  // nothing listens there
        if (!c.platform.empty()) install.Serve(c.platform);
        if (what == "a blank in the address") install.WriteConfig(" 127.0.0.1", install.platform->port);
        if (what == "no configuration") std::filesystem::remove(install.PluginDir() + "/VantraIotSMSConfig.xml");
        if (what == "the SDK refusing") vantra_test::SetEnv("LUMAVEX_EMU_FAIL_INIT", "1");
        SCOPED_TRACE(what);
        ExpectHost(install, kPlugin + " --check", c.code, c.says);
        vantra_test::UnsetEnv("LUMAVEX_EMU_FAIL_INIT");
    }
    ExpectHost(TempInstall(), "--check --plugin /nonexistent/plugin", 3, {"FAIL 1. plugin library"});
}
