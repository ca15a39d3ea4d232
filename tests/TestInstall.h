// A temporary installation laid out as a media server's, the platform server emulator as a child
// process, and the built plugin loaded through dlopen as a host loads it.
#pragma once

#include <dlfcn.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "VantraIotSMSPluginApi.h"

extern char** environ;

namespace vantra_test {

namespace fs = std::filesystem;

// <root>/bin (the executable directory), <root>/plugins/vantraiot_plugin, <root>/log.
class TempInstall {
public:
    explicit TempInstall(bool withSdk = true) {
        char pattern[] = "/tmp/vantra-install-XXXXXX";
        root = mkdtemp(pattern);
        fs::create_directories(root + "/bin");
        fs::create_directories(PluginDir());
        if (withSdk) InstallSdk(std::string(VANTRA_BINARY_DIR) + "/plugins/vantraiot_plugin");
        setenv("VANTRA_EXE_DIR", (root + "/bin/").c_str(), 1);
        setenv("VANTRA_LOG_DIR", (root + "/log").c_str(), 1);
    }
    ~TempInstall() {
        unsetenv("VANTRA_EXE_DIR");
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
    std::string PluginDir() const { return root + "/plugins/vantraiot_plugin"; }
    void InstallSdk(const std::string& fromDir) const {
        fs::copy_file(fromDir + "/libLumavex.so", PluginDir() + "/libLumavex.so", fs::copy_options::overwrite_existing);
        fs::copy(std::string(VANTRA_BINARY_DIR) + "/plugins/vantraiot_plugin/lumavex-media",
                 PluginDir() + "/lumavex-media", fs::copy_options::overwrite_existing | fs::copy_options::recursive);
    }
    void WriteConfig(const std::string& addr, int port) const {
        std::ofstream(PluginDir() + "/VantraIotSMSConfig.xml")
            << "<?xml version=\"1.0\"?>\n<Config>\n<VantraIotServer>" << addr
            << "</VantraIotServer>\n<VantraIotServerPort>" << port << "</VantraIotServerPort>\n</Config>\n";
    }
    std::string LogText() const {
        std::ifstream file(root + "/log/VantraIotSMSPlugin.log");
        return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }

    std::string root;
};

// vantra-platform-emu on 127.0.0.1 with an ephemeral port; killed and reaped at scope end.
class PlatformEmulator {
public:
    explicit PlatformEmulator(const std::vector<std::string>& options = {}) {
        std::vector<std::string> args = {VANTRA_PLATFORM_EMU, "--port", "0"};
        args.insert(args.end(), options.begin(), options.end());
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        int out[2];
        if (pipe(out) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", 0x1 /* O_WRONLY */, 0);
        if (posix_spawn(&m_pid, args[0].c_str(), &actions, nullptr, argv.data(), environ) != 0) m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        FILE* stream = fdopen(out[0], "r");
        char line[256] = {0};
        if (stream != nullptr && fgets(line, sizeof(line), stream) != nullptr) {
            std::string text(line);
            size_t colon = text.rfind(':');
            if (colon != std::string::npos) port = std::atoi(text.c_str() + colon + 1);
        }
        if (stream != nullptr) fclose(stream);
    }
    ~PlatformEmulator() { Stop(); }
    void Stop() {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            int status = 0;
            waitpid(m_pid, &status, 0);
            m_pid = -1;
        }
    }
    int port = 0;

private:
    pid_t m_pid = -1;
};

// The exports a host resolves.
struct Plugin {
    void* handle = nullptr;
    int (*Init)() = nullptr;
    bool (*Fini)() = nullptr;
    DeviceObjectHandle (*CreateInstance)() = nullptr;
    int (*DestroyInstance)(DeviceObjectHandle) = nullptr;
    int (*StartStream)(DeviceObjectHandle, const DeviceStreamRequest*, DeviceDataCallBack, void*) = nullptr;
    void (*StopStream)(DeviceObjectHandle) = nullptr;
    int (*GetLastError)() = nullptr;

    Plugin() {
        handle = dlopen(VANTRA_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) return;
        Init = reinterpret_cast<decltype(Init)>(dlsym(handle, "DeviceObject_Init"));
        Fini = reinterpret_cast<decltype(Fini)>(dlsym(handle, "DeviceObject_Fini"));
        CreateInstance = reinterpret_cast<decltype(CreateInstance)>(dlsym(handle, "DeviceObject_CreateInstance"));
        DestroyInstance = reinterpret_cast<decltype(DestroyInstance)>(dlsym(handle, "DeviceObject_DestroyInstance"));
        StartStream = reinterpret_cast<decltype(StartStream)>(dlsym(handle, "DeviceObject_StartStream"));
        StopStream = reinterpret_cast<decltype(StopStream)>(dlsym(handle, "DeviceObject_StopStream"));
        GetLastError = reinterpret_cast<decltype(GetLastError)>(dlsym(handle, "DeviceObject_GetLastError"));
    }
    // Unloading destroys the plugin's singletons, so the next test starts from a fresh library.
    ~Plugin() {
        if (handle != nullptr) dlclose(handle);
    }
};

}  // namespace vantra_test
