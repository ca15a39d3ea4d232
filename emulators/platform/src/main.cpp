// vantra-platform-emu: stands in for the IoT platform server the plugin asks for access info and device tokens.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "Options.h"
#include "PlatformServer.h"

namespace {

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
        case vantra_emu::FaultKind::kNone:
            break;
    }
    return "none";
}

}  // namespace

int main(int argc, char** argv) {
    using vantra_emu::ParseResult;
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

    std::FILE* logOut = stderr;
    if (!options.logFile.empty()) {
        logOut = std::fopen(options.logFile.c_str(), "ae");
        if (logOut == nullptr) {
            std::perror(("vantra-platform-emu: cannot open log file " + options.logFile).c_str());
            return 2;
        }
    }

    // Blocked before any thread exists, so every thread inherits the mask and only sigwait below sees them.
    // SIGUSR1 is the serving thread's way to wake main if the accept loop dies.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    // A client that vanishes mid-reply must not kill the process.
    signal(SIGPIPE, SIG_IGN);

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
            kill(getpid(), SIGUSR1);
        });
        // stop() is a no-op until the accept loop runs, so a signal must not be taken before that.
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

        int sig = 0;
        do {
            if (sigwait(&signals, &sig) != 0) break;
        } while (sig == SIGUSR1 && !ended);
        if (sig == SIGUSR1) {
            log.Write("accept loop ended unexpectedly");
            status = 1;
        } else {
            log.Write(std::string("stopping on ") + (sig == SIGINT ? "SIGINT" : "SIGTERM"));
        }
        server.Stop();
        serving.join();
    }
    if (logOut != stderr) std::fclose(logOut);
    return status;
}
