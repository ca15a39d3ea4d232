// The built plugin as a host sees it: loaded with dlopen, every export resolved, nothing else exported.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "PluginLibrary.h"
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
    std::set<std::string> expected(std::begin(members), std::end(members));
    expected.insert(std::begin(kLiveExports), std::end(kLiveExports));
    expected.insert(std::begin(kIntExports), std::end(kIntExports));
    expected.insert(std::begin(kVoidExports), std::end(kVoidExports));
    expected.insert("XPLUGIN_GetPluginInterface");
    EXPECT_EQ(ExportedNames(), expected);
}

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
    std::ifstream file(logDir + "/VantraIotSMSPlugin.log");
    const std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    EXPECT_NE(text.find("VantraIotSMSPlugin [PexloCommon::CVantraIotSMSPlugin::DeviceObject_CreateInstance]"
                        "[DeviceObject_CreateInstance][..\\..\\code\\VantraIotSMSPlugin(391)]"),
              std::string::npos);
    EXPECT_NE(text.find("[DeviceObject_DestroyInstance] handle:0[..\\..\\code\\VantraIotSMSPlugin(397)]"),
              std::string::npos);
    std::error_code ignored;  // a loader may keep the file open a little longer
    std::filesystem::remove_all(logDir, ignored);
}
