// vantra-platform-emu: stands in for the IoT platform server the plugin asks for access info and device tokens.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "Options.h"
#include "Os.h"
#include "PlatformServer.h"

#if defined(__SANITIZE_THREAD__)
// Debian's cpp-httplib is not built for TSan, which then misses the guard of the library's function-local statics
// and reports one worker reading what another set up. Only accesses made by the library code itself are skipped.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_suppressions() {
    return "called_from_lib:libcpp-httplib.so\n";
}
#endif

namespace {

constexpr char kServerEnded[] = "the end of the accept loop";

const char* FaultName(const vantra_emu::Options& options) {
    switch (options.fault) {
        case vantra_emu::FaultKind::kCode:
            return "code";
        case vantra_emu::FaultKind::kEmpty:
            return "empty";
        case vantra_emu::FaultKind::kNotJson:
            return "not-json";
        case vantra_emu::FaultKind::kClose:
            return "close";
        case vantra_emu::FaultKind::kBody:
            return "body";
        case vantra_emu::FaultKind::kTruncate:
            return "truncate";
        case vantra_emu::FaultKind::kHugeBody:
            return "huge-body";
        case vantra_emu::FaultKind::kTrickle:
            return "trickle";
        case vantra_emu::FaultKind::kEndlessHeader:
            return "endless-header";
        case vantra_emu::FaultKind::kNone:
            break;
    }
    return "none";
}

}  // namespace

int main(int argc, char** argv) {
    using vantra_emu::ParseResult;
    vantra_emu::UseBinaryStdout();
    vantra_emu::Options options;
    std::string error;
    switch (vantra_emu::ParseOptions(argc, argv, &options, &error)) {
        case ParseResult::kHelp:
            std::fputs(vantra_emu::Usage().c_str(), stdout);
            return 0;
        case ParseResult::kError:
            std::fprintf(stderr, "vantra-platform-emu: %s (see --help)\n", error.c_str());
            return 2;
        case ParseResult::kRun:
            break;
    }

    // Before any thread exists.
    vantra_emu::StopWaiter stops;

    std::FILE* logOut = stderr;
    if (!options.logFile.empty()) {
        logOut = vantra_emu::OpenForAppend(options.logFile);
        if (logOut == nullptr) {
            std::perror(("vantra-platform-emu: cannot open log file " + options.logFile).c_str());
            return 2;
        }
    }

    int status = 0;
    {
        vantra_emu::RequestLog log(logOut);
        vantra_emu::PlatformServer server(options, log);
        const int port = server.Bind(&error);
        if (port < 0) {
            std::fprintf(stderr, "vantra-platform-emu: %s\n", error.c_str());
            if (logOut != stderr) std::fclose(logOut);
            return 3;
        }

        std::atomic<bool> ended{false};
        std::thread serving([&] {
            server.Run();
            ended = true;
            vantra_emu::StopWaiter::Notify(kServerEnded);
        });
        // stop() is a no-op until the accept loop runs, so a stop must not be taken before that.
        while (!server.IsRunning() && !ended) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (!ended) {
            std::printf("vantra-platform-emu listening on %s\n",
                        vantra_emu::HostPort(options.listenAddr, port).c_str());
            std::fflush(stdout);
            log.Write("serving cloud type '" + options.cloudType + "', fault " + FaultName(options) +
                      (options.faultDelayMs > 0 ? ", delay " + std::to_string(options.faultDelayMs) + " ms" : "") +
                      (options.faultAccess ? (options.faultToken ? ", fault path both" : ", fault path access")
                                           : ", fault path token"));
        }

        if (options.exitOnStdinEof) stops.WatchStdin();
        const std::string reason = stops.Wait();
        if (reason == kServerEnded) {
            log.Write("accept loop ended unexpectedly");
            status = 1;
        } else {
            log.Write("stopping on " + reason);
        }
        server.Stop();
        serving.join();
    }
    if (logOut != stderr) std::fclose(logOut);
    return status;
}
