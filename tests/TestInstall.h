// A media server's installation in a temporary directory, the platform emulator as a child, the plugin loaded.
#pragma once

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "Portable.h"
#include "VantraIotSMSPluginApi.h"

namespace vantra_test {

namespace fs = std::filesystem;

// vantra-platform-emu on 127.0.0.1 with an ephemeral port; stopped at scope end.
class PlatformEmulator {
public:
    explicit PlatformEmulator(const std::vector<std::string>& options = {}) {
        std::vector<std::string> args = {VANTRA_PLATFORM_EMU, "--port", "0"};
        args.insert(args.end(), options.begin(), options.end());
        const std::string line = m_process.Start(args);
        const size_t colon = line.rfind(':');
        if (colon != std::string::npos) port = std::atoi(line.c_str() + colon + 1);
    }
    int Stop() { return m_process.Stop(); }
    int port = 0;

private:
    ChildProcess m_process;
};

// <root>/bin (the executable directory), <root>/plugins/vantraiot_plugin, <root>/log.
class TempInstall {
public:
    explicit TempInstall(bool withSdk = true) {
        root = MakeTempDir("vantra-install-");
        fs::create_directories(root + "/bin");
        fs::create_directories(PluginDir());
        if (withSdk) InstallSdk(std::string(VANTRA_BINARY_DIR) + "/plugins/vantraiot_plugin");
        SetEnv("VANTRA_EXE_DIR", root + "/bin/");
        SetEnv("VANTRA_LOG_DIR", root + "/log");
    }
    // With a platform emulator, started with `options`, that the configuration names.
    explicit TempInstall(const std::vector<std::string>& options, bool withSdk = true) : TempInstall(withSdk) {
        Serve(options);
    }
    ~TempInstall() {
        UnsetEnv("VANTRA_EXE_DIR");
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
    std::string PluginDir() const { return root + "/plugins/vantraiot_plugin"; }
    void InstallSdk(const std::string& fromDir) const {
        fs::copy_file(fromDir + "/" + kSdkFile, PluginDir() + "/" + kSdkFile, fs::copy_options::overwrite_existing);
        fs::copy(std::string(VANTRA_BINARY_DIR) + "/plugins/vantraiot_plugin/lumavex-media",
                 PluginDir() + "/lumavex-media", fs::copy_options::overwrite_existing | fs::copy_options::recursive);
    }
    void WriteConfig(const std::string& addr, int port) const {
        std::ofstream(PluginDir() + "/VantraIotSMSConfig.xml")
            << "<?xml version=\"1.0\"?>\n<Config>\n<VantraIotServer>" << addr
            << "</VantraIotServer>\n<VantraIotServerPort>" << port << "</VantraIotServerPort>\n</Config>\n";
    }
    void Serve(const std::vector<std::string>& options) {
        platform.reset(new PlatformEmulator(options));
        WriteConfig("127.0.0.1", platform->port);
    }
    std::string LogText() const { return ReadFile(root + "/log/VantraIotSMSPlugin.log"); }

    std::string root;
    std::unique_ptr<PlatformEmulator> platform;
};

struct Plugin : vantra_host::PluginExports {
    void* handle = OpenLibrary(VANTRA_PLUGIN_PATH);
    Plugin() { Resolve(handle); }
    // Unloading destroys the plugin's singletons, so the next test starts from a fresh library.
    ~Plugin() {
        if (handle != nullptr) CloseLibrary(handle);
    }
};

// The request record keeps a pointer into `url`, which must outlive it.
inline DeviceStreamRequest Request(const std::string& url, int channel = 0) {
    DeviceStreamRequest request{};
    request.iChannel = channel;
    request.pszUrl = url.c_str();
    return request;
}

}  // namespace vantra_test
