// The built plugin as a host sees it: loaded with dlopen, every export resolved, nothing else exported.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

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

std::string RunCommand(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    char buffer[512];
    while (fgets(buffer, sizeof(buffer), pipe) != nullptr) out += buffer;
    pclose(pipe);
    return out;
}

}  // namespace

TEST(Exports, OnlyTheInterfaceAndLockMembersAreExported) {
    std::set<std::string> expected;
    for (const char* name : kLiveExports) expected.insert(name);
    for (const char* name : kIntExports) expected.insert(name);
    for (const char* name : kVoidExports) expected.insert(name);
    expected.insert("XPLUGIN_GetPluginInterface");
    for (const char* member :
         {"Kestro_Guard::Kestro_Guard(Kestro_Mutex*)", "Kestro_Guard::~Kestro_Guard()", "Kestro_Guard::Release()",
          "Kestro_Guard::operator=(Kestro_Guard const&)", "Kestro_Mutex::operator=(Kestro_Mutex const&)",
          "Kestro_Sema::operator=(Kestro_Sema const&)"}) {
        expected.insert(member);
    }
    std::istringstream lines(RunCommand(std::string("nm -D --defined-only ") + VANTRA_PLUGIN_PATH + " | c++filt"));
    std::set<std::string> exported;
    std::string line;
    while (std::getline(lines, line)) {
        // "<address> <kind> <name>"
        size_t second = line.find(' ', line.find(' ') + 1);
        ASSERT_NE(second, std::string::npos) << line;
        exported.insert(line.substr(second + 1));
    }
    EXPECT_EQ(exported, expected);
}

TEST(Exports, LoadedLikeAHostEveryExportAnswers) {
    std::string logDir = testing::TempDir() + "exports-log-" + std::to_string(getpid());
    setenv("VANTRA_LOG_DIR", logDir.c_str(), 1);
    void* plugin = dlopen(VANTRA_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(plugin, nullptr) << dlerror();
    for (const char* name : kLiveExports) EXPECT_NE(dlsym(plugin, name), nullptr) << name;

    // Inert functions answer 0 (or nothing) whatever arguments the host's declaration passes.
    for (const char* name : kIntExports) {
        auto fn = reinterpret_cast<int (*)(intptr_t, intptr_t, intptr_t, intptr_t)>(dlsym(plugin, name));
        ASSERT_NE(fn, nullptr) << name;
        EXPECT_EQ(fn(1, 2, 3, 4), 0) << name;
    }
    for (const char* name : kVoidExports) {
        auto fn = reinterpret_cast<void (*)(intptr_t, intptr_t)>(dlsym(plugin, name));
        ASSERT_NE(fn, nullptr) << name;
        fn(1, 2);
    }
    auto getInterface = reinterpret_cast<void* (*)()>(dlsym(plugin, "XPLUGIN_GetPluginInterface"));
    ASSERT_NE(getInterface, nullptr);
    EXPECT_EQ(getInterface(), nullptr);

    auto getLastError = reinterpret_cast<int (*)()>(dlsym(plugin, "DeviceObject_GetLastError"));
    EXPECT_EQ(getLastError(), 600002);
    auto create = reinterpret_cast<DeviceObjectHandle (*)()>(dlsym(plugin, "DeviceObject_CreateInstance"));
    auto destroy = reinterpret_cast<int (*)(DeviceObjectHandle)>(dlsym(plugin, "DeviceObject_DestroyInstance"));
    EXPECT_EQ(create(), 0);
    EXPECT_EQ(create(), 1);
    EXPECT_EQ(destroy(0), 0);
    EXPECT_EQ(create(), 0);
    for (int i = 2; i <= 4096; ++i) ASSERT_EQ(create(), i);
    EXPECT_EQ(create(), -1);  // all 64 bits set
    EXPECT_EQ(static_cast<uint64_t>(create()), UINT64_MAX);

    // Unloading flushes the log; the records carry the host-facing names and lines.
    ASSERT_EQ(dlclose(plugin), 0);
    std::ifstream file(logDir + "/VantraIotSMSPlugin.log");
    std::stringstream text;
    text << file.rdbuf();
    EXPECT_NE(text.str().find("VantraIotSMSPlugin [PexloCommon::CVantraIotSMSPlugin::DeviceObject_CreateInstance]"
                              "[DeviceObject_CreateInstance][..\\..\\code\\VantraIotSMSPlugin(391)]"),
              std::string::npos);
    EXPECT_NE(text.str().find("[DeviceObject_DestroyInstance] handle:0[..\\..\\code\\VantraIotSMSPlugin(397)]"),
              std::string::npos);
    std::filesystem::remove_all(logDir);
}
