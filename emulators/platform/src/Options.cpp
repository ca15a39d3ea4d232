#include "Options.h"

#include <cerrno>
#include <cstdlib>
#include <limits>

#include "Os.h"

namespace vantra_emu {

namespace {

constexpr int kMaxDelayMs = 600000;
constexpr int kMaxHugeMiB = 4096;
constexpr int kMaxTrickleMs = 60000;

#define VANTRA_EMU_STR2(x) #x
#define VANTRA_EMU_STR(x) VANTRA_EMU_STR2(x)

bool ParseInt(const std::string& text, long min, long max, int* out) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long value = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value < min || value > max) return false;
    *out = static_cast<int>(value);
    return true;
}

bool SetFault(Options* options, FaultKind kind, const std::string& name, std::string* error) {
    if (options->fault != FaultKind::kNone && options->fault != kind) {
        *error = name +
                 ": only one of --fault-code, --fault-empty, --fault-not-json, --fault-close, --fault-body, "
                 "--fault-truncate, --fault-huge-body, --fault-trickle, --fault-endless-header may be given";
        return false;
    }
    options->fault = kind;
    return true;
}

}  // namespace

std::string Usage() {
    return "Usage: vantra-platform-emu [options]\n"
           "Emulates the IoT platform (video wall) server the VantraIot SMS plugin asks for cloud access\n"
           "information and device tokens.\n"
           "\n"
           "  --listen ADDR          numeric IPv4/IPv6 address to listen on (default " VANTRA_PLATFORM_EMU_DEFAULT_ADDR
           ")\n"
           "  --port N               TCP port, 0 picks a free one (default " VANTRA_EMU_STR(VANTRA_PLATFORM_EMU_DEFAULT_PORT)
           ")\n"
           "  --cloud-type T         nubrixType in the access info; 3 selects the SDK client-library mode (default 3)\n"
           "  --access-token TEXT    access token text, sent Base64-encoded (default emu-access-token)\n"
           "  --app-key K            appKey (default emu-app-key)\n"
           "  --nubrix-addr A        nubrixAddr (default emu.platform.local:8443)\n"
           "  --auth-addr A          authAddr (default https://auth.emu.local)\n"
           "  --open-addr A          openAddr (default https://open.emu.local)\n"
           "  --log-file PATH        append the request log to PATH instead of stderr\n"
           "  --exit-on-stdin-eof    also stop cleanly when standard input reaches end-of-file\n"
           "\n"
           "Faults (at most one, though the delay and the path combine with any):\n"
           "  --fault-code N         reply {\"code\":N,\"msg\":\"emulated fault\"} without data\n"
           "  --fault-empty          reply with an empty body (Content-Length: 0)\n"
           "  --fault-not-json       reply with a body that is not JSON\n"
           "  --fault-close          close the connection without any reply\n"
           "  --fault-body TEXT      reply with exactly TEXT as the JSON body (truncated or wrong-typed JSON)\n"
           "  --fault-truncate       send the headers and half of the normal reply, then close the connection\n"
           "  --fault-huge-body MIB  reply with a body of MIB mebibytes (1..4096), streamed, never held in memory\n"
           "  --fault-trickle MS     send the status line, then one header byte every MS ms (1..60000), never ending\n"
           "                         the headers, until the client closes the connection\n"
           "  --fault-endless-header send the status line, then one header line that never ends, as fast as read\n"
           "  --fault-delay-ms N     wait N ms (0..600000) before answering\n"
           "  --fault-path P         endpoints the faults apply to: access, token or both (default both)\n"
           "\n"
           "  -h, --help             show this help\n"
           "\n"
           "Values may also be given as --option=value. Exit codes: 0 clean stop (SIGINT/SIGTERM, Ctrl-C on\n"
           "Windows, or end of stdin), 1 runtime failure, 2 bad command line, 3 cannot listen.\n";
}

ParseResult ParseOptions(int argc, char** argv, Options* options, std::string* error) {
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        std::string value;
        bool inlineValue = false;
        const size_t eq = name.find('=');
        if (name.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
            inlineValue = true;
        }
        // Reads the option's value from "--name=value" or the next argument.
        auto take = [&]() -> bool {
            if (inlineValue) return true;
            if (i + 1 >= argc) {
                *error = name + " needs a value";
                return false;
            }
            value = argv[++i];
            return true;
        };
        auto flag = [&]() -> bool {
            if (inlineValue) *error = name + " takes no value";
            return !inlineValue;
        };
        std::string* text = nullptr;
        if (name == "-h" || name == "--help") return ParseResult::kHelp;
        if (name == "--cloud-type") text = &options->cloudType;
        if (name == "--access-token") text = &options->accessToken;
        if (name == "--app-key") text = &options->appKey;
        if (name == "--nubrix-addr") text = &options->nubrixAddr;
        if (name == "--auth-addr") text = &options->authAddr;
        if (name == "--open-addr") text = &options->openAddr;
        if (text != nullptr) {
            if (!take()) return ParseResult::kError;
            *text = value;
        } else if (name == "--listen") {
            if (!take()) return ParseResult::kError;
            if (!IsNumericAddress(value)) {
                *error = "--listen: '" + value + "' is not a numeric IPv4 or IPv6 address";
                return ParseResult::kError;
            }
            options->listenAddr = value;
        } else if (name == "--port") {
            if (!take()) return ParseResult::kError;
            if (!ParseInt(value, 0, 65535, &options->port)) {
                *error = "--port: '" + value + "' is not a port number (0..65535)";
                return ParseResult::kError;
            }
        } else if (name == "--log-file") {
            if (!take()) return ParseResult::kError;
            if (value.empty()) {
                *error = "--log-file needs a path";
                return ParseResult::kError;
            }
            options->logFile = value;
        } else if (name == "--fault-code") {
            if (!take() || !SetFault(options, FaultKind::kCode, name, error)) return ParseResult::kError;
            if (!ParseInt(value, std::numeric_limits<int>::min(), std::numeric_limits<int>::max(),
                          &options->faultCode)) {
                *error = "--fault-code: '" + value + "' is not an integer";
                return ParseResult::kError;
            }
        } else if (name == "--exit-on-stdin-eof") {
            if (!flag()) return ParseResult::kError;
            options->exitOnStdinEof = true;
        } else if (name == "--fault-empty") {
            if (!flag() || !SetFault(options, FaultKind::kEmpty, name, error)) return ParseResult::kError;
        } else if (name == "--fault-not-json") {
            if (!flag() || !SetFault(options, FaultKind::kNotJson, name, error)) return ParseResult::kError;
        } else if (name == "--fault-close") {
            if (!flag() || !SetFault(options, FaultKind::kClose, name, error)) return ParseResult::kError;
        } else if (name == "--fault-body") {
            if (!take() || !SetFault(options, FaultKind::kBody, name, error)) return ParseResult::kError;
            options->faultBody = value;
        } else if (name == "--fault-truncate") {
            if (!flag() || !SetFault(options, FaultKind::kTruncate, name, error)) return ParseResult::kError;
        } else if (name == "--fault-huge-body") {
            if (!take() || !SetFault(options, FaultKind::kHugeBody, name, error)) return ParseResult::kError;
            if (!ParseInt(value, 1, kMaxHugeMiB, &options->faultHugeMiB)) {
                *error = "--fault-huge-body: '" + value + "' is not a size in MiB (1..4096)";
                return ParseResult::kError;
            }
        } else if (name == "--fault-trickle") {
            if (!take() || !SetFault(options, FaultKind::kTrickle, name, error)) return ParseResult::kError;
            if (!ParseInt(value, 1, kMaxTrickleMs, &options->faultTrickleMs)) {
                *error = "--fault-trickle: '" + value + "' is not a number of milliseconds (1..60000)";
                return ParseResult::kError;
            }
        } else if (name == "--fault-endless-header") {
            if (!SetFault(options, FaultKind::kEndlessHeader, name, error)) return ParseResult::kError;
        } else if (name == "--fault-delay-ms") {
            if (!take()) return ParseResult::kError;
            if (!ParseInt(value, 0, kMaxDelayMs, &options->faultDelayMs)) {
                *error = "--fault-delay-ms: '" + value + "' is not a number of milliseconds (0..600000)";
                return ParseResult::kError;
            }
        } else if (name == "--fault-path") {
            if (!take()) return ParseResult::kError;
            if (value != "access" && value != "token" && value != "both") {
                *error = "--fault-path: '" + value + "' is not one of access, token, both";
                return ParseResult::kError;
            }
            options->faultAccess = value != "token";
            options->faultToken = value != "access";
        } else {
            *error = "unknown option '" + name + "'";
            return ParseResult::kError;
        }
    }
    return ParseResult::kRun;
}

}  // namespace vantra_emu
