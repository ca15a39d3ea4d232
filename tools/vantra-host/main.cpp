// vantra-host: plays the media server's part. Loads the plugin, starts one stream per --stream URL,
// writes what arrives, and reports.
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>
#include <signal.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "Check.h"
#include "PluginLibrary.h"

namespace {

namespace fs = std::filesystem;
using vantra_host::CloseLibrary;
using vantra_host::kSdkFile;
using vantra_host::LoadError;
using vantra_host::OpenLibrary;
using vantra_host::ReadFile;

#if defined(_WIN32)
const char* kDefaultPlugin = "VantraIotSMSPlugin.dll";
std::string SelfPath() {
    char path[MAX_PATH] = {0};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    return path;
}
#else
const char* kDefaultPlugin = "../lib/libVantraIotSMSPlugin.so";
std::string SelfPath() {
    std::error_code ec;
    return fs::read_symlink("/proc/self/exe", ec).string();
}
#endif
using Clock = std::chrono::steady_clock;

enum ExitCode { kOk = 0, kBadArguments = 2, kPluginUnusable = 3, kInitFailed = 4, kNoVideo = 5, kWriteFailed = 6 };

const char* kUsage =
    "Usage: vantra-host [options] --stream URL [--channel N] [--stream URL [--channel N]]...\n"
    "       vantra-host --check [--root DIR] [--plugin PATH]\n"
    "\n"
    "Plays a media server: loads the VantraIot SMS plugin, calls DeviceObject_Init, starts one stream\n"
    "per --stream, writes what arrives, then stops every stream and calls DeviceObject_Fini.\n"
    "\n"
    "--check starts the plugin once in the installation at DIR (default: the directory above this program)\n"
    "and says which step fails and what to do: the plugin library, the cloud SDK in plugins/vantraiot_plugin,\n"
    "the configuration file, the platform server, the cloud SDK's start. Exit code 0 when the plugin starts.\n"
    "\n"
    "Options:\n"
    "  --plugin PATH    plugin library to load (default: ../lib/libVantraIotSMSPlugin.so beside this program)\n"
    "  --stream URL     request URL of one stream, e.g. rtsp://sms/live?deviceseq=CAM001&videolevel=1\n"
    "                   (deviceseq: device serial; videolevel: SDK stream type). Repeatable.\n"
    "  --channel N      0-based channel index of the stream given just before (default 0)\n"
    "  --seconds S      run for S seconds (default 10); Ctrl-C stops earlier\n"
    "  --out DIR        write <serial>.<h264|h265|m4v> and <serial>.json per stream (default: out)\n"
    "  --quiet          no live line per second\n"
    "  --metrics FILE   have the plugin write its metrics file (Prometheus text) to FILE for this run, as\n"
    "                   <VantraIotMetricsFile> in VantraIotSMSConfig.xml does\n"
    "  --unload-early M a host's mistake, to see that the plugin survives it: at the end, unload the\n"
    "                   library without DeviceObject_Fini, after stopping the streams (M = no-fini) or\n"
    "                   with them still running (M = no-stop); then run on for a second\n"
    "  -h, --help       this text\n"
    "\n"
    "Exit codes: 0 every stream delivered video; 2 bad arguments; 3 plugin cannot be loaded or lacks\n"
    "an export; 4 DeviceObject_Init failed; 5 a stream delivered no video; 6 an output file could not be\n"
    "written (full disk, unwritable --out).\n";

std::atomic<bool> g_stop{false};
void OnSignal(int) { g_stop = true; }

struct Stream {
    std::string url;
    int channel = 0;
    std::string serial;
    DeviceObjectHandle handle = -1;
    Clock::time_point started;

    std::mutex mutex;  // the plugin calls back on its own threads
    std::map<uint32_t, uint64_t> packets;
    uint64_t videoBytes = 0;
    uint64_t secondPackets = 0;
    uint64_t secondBytes = 0;
    double firstPacketMs = -1;
    std::string codec;
    std::string headerKind;
    uint32_t headerFlag = 0;
    Clock::time_point lastVideo;
    bool haveVideo = false;
    int gaps = 0;
    double maxGapMs = 0;
    std::string outDir;
    std::string filePath;
    FILE* file = nullptr;
    std::string writeError;  // the first failed write, said at the end; nothing more is written after it
    bool done = false;       // summarised: packets that still arrive are not counted or written
};

std::string Extension(const std::string& codec) {
    if (codec == "H264") return "h264";
    if (codec == "H265") return "h265";
    return "m4v";
}

std::string SerialOf(const std::string& url, size_t index) {
    // The plugin's own rule: the first "deviceseq=" pair between "?" or "&".
    size_t at = 0;
    while ((at = url.find("deviceseq=", at)) != std::string::npos) {
        if (at > 0 && (url[at - 1] == '?' || url[at - 1] == '&')) {
            size_t end = url.find_first_of("&?", at);
            std::string serial = url.substr(at + 10, end == std::string::npos ? std::string::npos : end - at - 10);
            std::string safe;
            for (char c : serial)
                safe += (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_') ? c : '_';
            if (!safe.empty()) return safe;
        }
        at += 10;
    }
    return "stream" + std::to_string(index);
}

std::string WriteError(const std::string& path) {
    // errno first, before the text's allocations; strerror's buffer is shared by the plugin's threads that call us.
    const int error = errno;
    return "vantra-host: cannot write " + path + ": " + std::generic_category().message(error);
}

// Writes `text` as the whole file; the message of the failure otherwise.
std::string WriteFile(const std::string& path, const std::string& text) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return WriteError(path);
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    std::string error = written ? std::string() : WriteError(path);
    // The close flushes, so a full disk may only show here.
    if (std::fclose(file) != 0 && error.empty()) error = WriteError(path);
    return error;
}

int OnData(intptr_t, uint32_t type, const DeviceDataDescriptor* descriptor, void* user) {
    auto* s = static_cast<Stream*>(user);
    if (s == nullptr || descriptor == nullptr) return 0;
    const auto now = Clock::now();
    std::lock_guard<std::mutex> lock(s->mutex);
    if (s->done) return 0;
    ++s->packets[type];
    if (s->firstPacketMs < 0) s->firstPacketMs = std::chrono::duration<double, std::milli>(now - s->started).count();
    const auto* bytes = static_cast<const unsigned char*>(descriptor->pData);
    if (type == kDeviceDataDescription && descriptor->uLength >= VantraMediaBlock::kSize && bytes != nullptr) {
        char codec[VantraMediaBlock::kCodecCapacity + 1] = {0};
        std::memcpy(codec, bytes + VantraMediaBlock::kCodecOffset, VantraMediaBlock::kCodecCapacity);
        s->codec = codec;
        std::memcpy(&s->headerFlag, bytes + VantraMediaBlock::kFlagOffset, 4);
    } else if (type == kDeviceDataHeader && descriptor->uLength >= 4 && bytes != nullptr) {
        s->headerKind.assign(reinterpret_cast<const char*>(bytes), 4);
        for (char& c : s->headerKind) c = std::isprint(static_cast<unsigned char>(c)) ? c : '?';
    } else if (type == kDeviceDataMedia && bytes != nullptr) {
        if (s->file == nullptr && s->writeError.empty()) {
            s->filePath = s->outDir + "/" + s->serial + "." + Extension(s->codec);
            s->file = std::fopen(s->filePath.c_str(), "wb");
            if (s->file == nullptr) s->writeError = WriteError(s->filePath);
        }
        if (s->file != nullptr && std::fwrite(bytes, 1, descriptor->uLength, s->file) != descriptor->uLength) {
            s->writeError = WriteError(s->filePath);
            (void)std::fclose(s->file);  // already failed: the write's error is the one to tell
            s->file = nullptr;
        }
        if (s->haveVideo) {
            const double gap = std::chrono::duration<double, std::milli>(now - s->lastVideo).count();
            if (gap > 1000) ++s->gaps;
            if (gap > s->maxGapMs) s->maxGapMs = gap;
        }
        s->haveVideo = true;
        s->lastVideo = now;
        s->videoBytes += descriptor->uLength;
        s->secondBytes += descriptor->uLength;
        ++s->secondPackets;
    }
    return 0;
}

std::string WriteSummary(const Stream& s) {
    rapidjson::StringBuffer buffer;
    rapidjson::PrettyWriter<rapidjson::StringBuffer> w(buffer);
    w.StartObject();
    w.Key("serial"), w.String(s.serial.c_str());
    w.Key("url"), w.String(s.url.c_str());
    w.Key("channel"), w.Int(s.channel);
    w.Key("codec"), w.String(s.codec.c_str());
    w.Key("headerKind"), w.String(s.headerKind.c_str());
    w.Key("headerFlag"), w.Uint(s.headerFlag);
    w.Key("packetsByType");
    w.StartObject();
    for (const auto& [type, count] : s.packets) {
        w.Key(std::to_string(type).c_str());
        w.Uint64(count);
    }
    w.EndObject();
    w.Key("videoBytes"), w.Uint64(s.videoBytes);
    w.Key("firstPacketLatencyMs");
    if (s.firstPacketMs < 0) {
        w.Null();
    } else {
        w.Double(s.firstPacketMs);
    }
    w.Key("gapsOverOneSecond"), w.Int(s.gaps);
    w.Key("longestGapMs"), w.Double(s.maxGapMs);
    w.Key("file"), w.String(s.filePath.c_str());
    w.EndObject();
    return WriteFile(s.outDir + "/" + s.serial + ".json", std::string(buffer.GetString()) + "\n");
}

std::string ExecutableDir() {
    const char* overrideDir = std::getenv("VANTRA_EXE_DIR");  // NOLINT(concurrency-mt-unsafe): only this thread sets it
    if (overrideDir != nullptr && *overrideDir != '\0') {
        std::string dir = overrideDir;
        return dir.back() == '/' ? dir : dir + "/";
    }
    return fs::path(SelfPath()).parent_path().string() + "/";
}

// The configured platform address, for the failure message; empty when the file cannot be read.
std::string ConfiguredServer(const std::string& pluginDir) {
    const std::string text = ReadFile(pluginDir + "/VantraIotSMSConfig.xml");
    auto value = [&](const std::string& tag) {
        size_t start = text.find("<" + tag + ">");
        size_t end = text.find("</" + tag + ">");
        if (start == std::string::npos || end == std::string::npos || end < start) return std::string("?");
        return text.substr(start + tag.size() + 2, end - start - tag.size() - 2);
    };
    if (text.empty()) return std::string();
    return value("VantraIotServer") + ":" + value("VantraIotServerPort");
}

}  // namespace

int main(int argc, char** argv) {
    std::string pluginPath;
    std::string outDir = "out";
    double seconds = 10;
    bool quiet = false;
    std::string unloadEarly;
    std::string metrics;
    bool check = false;
    std::string root;
    std::vector<std::unique_ptr<Stream>> streams;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](const char* name) -> std::string {
            if (i + 1 >= argc) {
                (void)std::fprintf(stderr, "vantra-host: %s needs a value\n%s", name, kUsage);
                std::exit(kBadArguments);  // NOLINT(concurrency-mt-unsafe): no thread runs yet
            }
            return argv[++i];
        };
        if (arg == "-h" || arg == "--help") {
            (void)std::fputs(kUsage, stdout);
            return kOk;
        } else if (arg == "--plugin") {
            pluginPath = value("--plugin");
        } else if (arg == "--stream") {
            streams.push_back(std::make_unique<Stream>());
            streams.back()->url = value("--stream");
        } else if (arg == "--channel") {
            std::string text = value("--channel");
            char* end = nullptr;
            long channel = std::strtol(text.c_str(), &end, 10);
            if (streams.empty() || end == text.c_str() || *end != '\0' || channel < 0 || channel > 65535) {
                (void)std::fprintf(stderr, "vantra-host: --channel needs a number 0..65535 after a --stream\n");
                return kBadArguments;
            }
            streams.back()->channel = static_cast<int>(channel);
        } else if (arg == "--seconds") {
            std::string text = value("--seconds");
            char* end = nullptr;
            seconds = std::strtod(text.c_str(), &end);
            if (end == text.c_str() || *end != '\0' || !(seconds > 0) || seconds > 86400 * 365) {
                (void)std::fprintf(stderr, "vantra-host: --seconds needs a positive number\n");
                return kBadArguments;
            }
        } else if (arg == "--out") {
            outDir = value("--out");
        } else if (arg == "--unload-early") {
            unloadEarly = value("--unload-early");
            if (unloadEarly != "no-fini" && unloadEarly != "no-stop") {
                (void)std::fprintf(stderr, "vantra-host: --unload-early needs no-fini or no-stop\n");
                return kBadArguments;
            }
        } else if (arg == "--quiet") {
            quiet = true;
        } else if (arg == "--metrics") {
            metrics = value("--metrics");
        } else if (arg == "--check") {
            check = true;
        } else if (arg == "--root") {
            root = value("--root");
        } else {
            (void)std::fprintf(stderr, "vantra-host: unknown option %s\n%s", arg.c_str(), kUsage);
            return kBadArguments;
        }
    }
    std::error_code ec;
    if (check) {
        // The plugin finds its directory from the executable's, so a root elsewhere is handed to it that way.
        std::string exeDir = ExecutableDir();
        if (!root.empty()) {
            exeDir = fs::absolute(root, ec).lexically_normal().string() + "/bin/";
            vantra_host::SetEnv("VANTRA_EXE_DIR", exeDir);
        }
        return vantra_host::RunCheck(exeDir, pluginPath.empty() ? exeDir + kDefaultPlugin : pluginPath);
    }
    if (!root.empty()) {
        (void)std::fprintf(stderr, "vantra-host: --root goes with --check\n%s", kUsage);
        return kBadArguments;
    }
    if (streams.empty()) {
        (void)std::fprintf(stderr, "vantra-host: give at least one --stream URL\n%s", kUsage);
        return kBadArguments;
    }
    // Absolute now: the plugin makes its own directory the current one while it starts.
    outDir = fs::absolute(outDir, ec).lexically_normal().string();
    fs::create_directories(outDir, ec);
    if (ec) {
        (void)std::fprintf(stderr, "vantra-host: cannot create %s: %s\n", outDir.c_str(), ec.message().c_str());
        return kBadArguments;
    }
    if (!metrics.empty()) {
        // Absolute too; the plugin reads it in DeviceObject_Init.
        metrics = fs::absolute(metrics, ec).lexically_normal().string();
        vantra_host::SetEnv("VANTRA_METRICS_FILE", metrics);
        std::printf("metrics: %s\n", metrics.c_str());
    }
    const std::string exeDir = ExecutableDir();
    if (pluginPath.empty()) pluginPath = exeDir + kDefaultPlugin;
    pluginPath = fs::absolute(pluginPath, ec).string();

    void* plugin = OpenLibrary(pluginPath);
    if (plugin == nullptr) {
        (void)std::fprintf(stderr, "vantra-host: cannot load the plugin %s: %s\n", pluginPath.c_str(),
                           LoadError().c_str());
        return kPluginUnusable;
    }
    vantra_host::PluginExports api;
    if (const char* missing = api.Resolve(plugin)) {
        (void)std::fprintf(stderr, "vantra-host: the plugin %s lacks the export %s\n", pluginPath.c_str(), missing);
        return kPluginUnusable;
    }

    if (api.Init() != 0) {
        const std::string pluginDir = exeDir + "../plugins/vantraiot_plugin";
        const char* logDir = std::getenv("VANTRA_LOG_DIR");  // NOLINT(concurrency-mt-unsafe): only this thread sets it
        const std::string logFile = (logDir != nullptr && *logDir != '\0' ? std::string(logDir) : exeDir + "../log") +
                                    "/VantraIotSMSPlugin.log";
        const std::string server = ConfiguredServer(pluginDir);
        (void)std::fprintf(stderr,
                           "vantra-host: DeviceObject_Init failed. Likely causes, in order:\n"
                           "  1. the SDK library %s is not in %s%s\n"
                           "  2. the platform server is unreachable at %s (from %s/VantraIotSMSConfig.xml)\n"
                           "  3. the SDK refused to initialise with the access information it was given\n"
                           "Read %s for the plugin's own account.\n",
                           kSdkFile, pluginDir.c_str(),
                           fs::exists(pluginDir + "/" + kSdkFile) ? " (it is there now)" : " (it is missing)",
                           server.empty() ? "(no configuration file)" : server.c_str(), pluginDir.c_str(),
                           logFile.c_str());
        return kInitFailed;
    }

    (void)signal(SIGINT, &OnSignal);
    (void)signal(SIGTERM, &OnSignal);
    for (size_t i = 0; i < streams.size(); ++i) {
        Stream& s = *streams[i];
        s.serial = SerialOf(s.url, i);
        s.outDir = outDir;
        s.handle = api.CreateInstance();
        DeviceStreamRequest request{};
        request.iChannel = s.channel;
        request.pszUrl = s.url.c_str();
        s.started = Clock::now();
        if (api.StartStream(s.handle, &request, &OnData, &s) != 0) {
            (void)std::fprintf(stderr, "vantra-host: DeviceObject_StartStream refused %s\n", s.url.c_str());
        }
    }

    const auto deadline = Clock::now() + std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
    auto nextLine = Clock::now() + std::chrono::seconds(1);
    while (!g_stop && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (Clock::now() < nextLine) continue;
        nextLine += std::chrono::seconds(1);
        for (auto& sp : streams) {
            std::lock_guard<std::mutex> lock(sp->mutex);
            if (!quiet) {
                std::printf("%-16s %5llu pkt/s %8.1f kbit/s  %s\n", sp->serial.c_str(),
                            static_cast<unsigned long long>(sp->secondPackets),
                            static_cast<double>(sp->secondBytes) * 8 / 1000.0,
                            sp->codec.empty() ? "-" : sp->codec.c_str());
            }
            sp->secondPackets = sp->secondBytes = 0;
        }
        if (!quiet) (void)std::fflush(stdout);  // the final flush below is checked
    }

    if (unloadEarly.empty()) {
        for (auto& sp : streams) {
            api.StopStream(sp->handle);
            api.DestroyInstance(sp->handle);
        }
        api.Fini();
    } else {
        if (unloadEarly == "no-fini") {
            for (auto& sp : streams) api.StopStream(sp->handle);
        }
        CloseLibrary(plugin);
        plugin = nullptr;
        // A plugin that left a thread behind runs into unmapped code within this second.
        std::this_thread::sleep_for(std::chrono::seconds(1));
        std::printf("unloaded early (%s) and ran on for 1 s\n", unloadEarly.c_str());
    }

    int result = kOk;
    std::vector<std::string> writeErrors;
    std::printf("\n%-16s %-8s %-6s %10s %12s %12s %6s\n", "stream", "codec", "header", "packets", "bytes", "first ms",
                "gaps");
    for (auto& sp : streams) {
        std::lock_guard<std::mutex> lock(sp->mutex);
        sp->done = true;
        if (sp->file != nullptr && std::fclose(sp->file) != 0 && sp->writeError.empty()) {
            sp->writeError = WriteError(sp->filePath);
        }
        sp->file = nullptr;
        if (!sp->writeError.empty()) writeErrors.push_back(sp->writeError);
        std::string summaryError = WriteSummary(*sp);
        if (!summaryError.empty()) writeErrors.push_back(std::move(summaryError));
        const uint64_t video = sp->packets.count(kDeviceDataMedia) != 0 ? sp->packets[kDeviceDataMedia] : 0;
        char first[32] = "-";
        if (sp->firstPacketMs >= 0) (void)std::snprintf(first, sizeof(first), "%.1f", sp->firstPacketMs);
        std::printf("%-16s %-8s %-6s %10llu %12llu %12s %6d%s\n", sp->serial.c_str(),
                    sp->codec.empty() ? "-" : sp->codec.c_str(), sp->headerKind.empty() ? "-" : sp->headerKind.c_str(),
                    static_cast<unsigned long long>(video), static_cast<unsigned long long>(sp->videoBytes), first,
                    sp->gaps, video == 0 ? "  NO VIDEO" : "");
        if (video == 0) result = kNoVideo;
    }
    // The table above went to standard output; a failed write there (a full disk under a redirect) counts too.
    if (std::fflush(stdout) != 0) writeErrors.push_back(WriteError("standard output"));
    for (const std::string& error : writeErrors) (void)std::fprintf(stderr, "%s\n", error.c_str());
    if (!writeErrors.empty()) result = kWriteFailed;
    if (plugin != nullptr) CloseLibrary(plugin);
    // Streams a plugin may still be running keep their user values until the process is gone: held from a
    // static, so they stay reachable and are never freed.
    if (unloadEarly == "no-stop") {
        static auto* kept = new std::vector<std::unique_ptr<Stream>>();
        for (auto& sp : streams) kept->push_back(std::move(sp));
    }
    return result;
}
