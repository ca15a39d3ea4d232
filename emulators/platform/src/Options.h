#pragma once

#include <string>

namespace vantra_emu {

enum class FaultKind { kNone, kCode, kEmpty, kNotJson, kClose, kBody, kTruncate, kHugeBody, kTrickle, kEndlessHeader };

struct Options {
    std::string listenAddr = VANTRA_PLATFORM_EMU_DEFAULT_ADDR;
    int port = VANTRA_PLATFORM_EMU_DEFAULT_PORT;
    std::string cloudType = "3";
    std::string accessToken = "emu-access-token";
    std::string appKey = "emu-app-key";
    std::string nubrixAddr = "emu.platform.local:8443";
    std::string authAddr = "https://auth.emu.local";
    std::string openAddr = "https://open.emu.local";
    FaultKind fault = FaultKind::kNone;
    int faultCode = 0;
    int faultDelayMs = 0;
    std::string faultBody;   // kBody: the reply body, sent as given
    int faultHugeMiB = 0;    // kHugeBody: announced and streamed body size
    int faultTrickleMs = 0;  // kTrickle: pause before each header byte
    bool faultAccess = true;
    bool faultToken = true;
    std::string logFile;
    bool exitOnStdinEof = false;
};

enum class ParseResult { kRun, kHelp, kError };

// On kError `error` holds a one-line reason for the user.
ParseResult ParseOptions(int argc, char** argv, Options* options, std::string* error);
std::string Usage();

}  // namespace vantra_emu
