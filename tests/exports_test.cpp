// The built plugin as a host sees it: loaded with dlopen, every export resolved, nothing else exported.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "Portable.h"
#include "VantraIotSMSPluginApi.h"

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

// The names in the plugin's export table.
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
    const std::string command = std::string("nm -D --defined-only ") + VANTRA_PLUGIN_PATH + " | c++filt";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return names;
    char buffer[512];
    while (fgets(buffer, sizeof(buffer), pipe) != nullptr) {
        // "<address> <kind> <name>"
        std::string line(buffer);
        if (!line.empty() && line.back() == '\n') line.pop_back();
        size_t second = line.find(' ', line.find(' ') + 1);
        if (second != std::string::npos) names.insert(line.substr(second + 1));
    }
    pclose(pipe);
#endif
    return names;
}

}  // namespace

TEST(Exports, OnlyTheInterfaceAndLockMembersAreExported) {
    std::set<std::string> expected;
    for (const char* name : kLiveExports) expected.insert(name);
    for (const char* name : kIntExports) expected.insert(name);
    for (const char* name : kVoidExports) expected.insert(name);
    expected.insert("XPLUGIN_GetPluginInterface");
#if defined(_WIN32)
    // Mangled, as the export table holds them, with both constructor and destructor variants.
    const char* const members[] = {"_ZN12Kestro_GuardC1EP12Kestro_Mutex",
                                   "_ZN12Kestro_GuardC2EP12Kestro_Mutex",
                                   "_ZN12Kestro_GuardD1Ev",
                                   "_ZN12Kestro_GuardD2Ev",
                                   "_ZN12Kestro_Guard7ReleaseEv",
                                   "_ZN12Kestro_GuardaSERKS_",
                                   "_ZN12Kestro_MutexaSERKS_",
                                   "_ZN11Kestro_SemaaSERKS_",
                                   "_ZN12Kestro_Guard16__autoclassinit2Ey",
                                   "_ZN11Kestro_Sema16__autoclassinit2Ey"};
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
    for (const char* member : members) expected.insert(member);
    const std::set<std::string> exported = ExportedNames();
    EXPECT_EQ(exported, expected);
}

TEST(Exports, LoadedLikeAHostEveryExportAnswers) {
    const std::string logDir = vantra_test::MakeTempDir("exports-log-");
    vantra_test::SetEnv("VANTRA_LOG_DIR", logDir);
    void* plugin = vantra_test::OpenLibrary(VANTRA_PLUGIN_PATH);
    ASSERT_NE(plugin, nullptr);
    for (const char* name : kLiveExports) EXPECT_NE(vantra_test::Symbol(plugin, name), nullptr) << name;

    // Inert functions answer 0 (or nothing) whatever arguments the host's declaration passes.
    for (const char* name : kIntExports) {
        auto fn = reinterpret_cast<int (*)(intptr_t, intptr_t, intptr_t, intptr_t)>(vantra_test::Symbol(plugin, name));
        ASSERT_NE(fn, nullptr) << name;
        EXPECT_EQ(fn(1, 2, 3, 4), 0) << name;
    }
    for (const char* name : kVoidExports) {
        auto fn = reinterpret_cast<void (*)(intptr_t, intptr_t)>(vantra_test::Symbol(plugin, name));
        ASSERT_NE(fn, nullptr) << name;
        fn(1, 2);
    }
    auto getInterface = reinterpret_cast<void* (*)()>(vantra_test::Symbol(plugin, "XPLUGIN_GetPluginInterface"));
    ASSERT_NE(getInterface, nullptr);
    EXPECT_EQ(getInterface(), nullptr);

    auto getLastError = reinterpret_cast<int (*)()>(vantra_test::Symbol(plugin, "DeviceObject_GetLastError"));
    EXPECT_EQ(getLastError(), 600002);
    auto create =
        reinterpret_cast<DeviceObjectHandle (*)()>(vantra_test::Symbol(plugin, "DeviceObject_CreateInstance"));
    auto destroy =
        reinterpret_cast<int (*)(DeviceObjectHandle)>(vantra_test::Symbol(plugin, "DeviceObject_DestroyInstance"));
    EXPECT_EQ(create(), 0);
    EXPECT_EQ(create(), 1);
    EXPECT_EQ(destroy(0), 0);
    EXPECT_EQ(create(), 0);
    for (int i = 2; i <= 4096; ++i) ASSERT_EQ(create(), i);
    EXPECT_EQ(create(), -1);  // all 64 bits set
    EXPECT_EQ(static_cast<uint64_t>(create()), UINT64_MAX);

    // Unloading flushes the log; the records carry the host-facing names and lines.
    ASSERT_EQ(vantra_test::CloseLibrary(plugin), 0);
    std::ifstream file(logDir + "/VantraIotSMSPlugin.log");
    std::stringstream text;
    text << file.rdbuf();
    EXPECT_NE(text.str().find("VantraIotSMSPlugin [PexloCommon::CVantraIotSMSPlugin::DeviceObject_CreateInstance]"
                              "[DeviceObject_CreateInstance][..\\..\\code\\VantraIotSMSPlugin(391)]"),
              std::string::npos);
    EXPECT_NE(text.str().find("[DeviceObject_DestroyInstance] handle:0[..\\..\\code\\VantraIotSMSPlugin(397)]"),
              std::string::npos);
    std::error_code ignored;  // a loader may keep the file open a little longer
    std::filesystem::remove_all(logDir, ignored);
}
