#include "Os.h"

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <poll.h>
#include <signal.h>
#include <unistd.h>
#endif

namespace vantra_emu {

namespace {

struct StopState {
    std::mutex mutex;
    std::condition_variable changed;
    std::string reason;
};

// Never freed: the console handler and the stdin thread may still run while the process exits.
StopState& Stops() {
    static StopState* const state = new StopState;
    return *state;
}

#if defined(_WIN32)

BOOL WINAPI OnConsoleEvent(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
            StopWaiter::Notify("Ctrl-C");
            return TRUE;
        case CTRL_BREAK_EVENT:
            StopWaiter::Notify("Ctrl-Break");
            return TRUE;
        case CTRL_CLOSE_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            StopWaiter::Notify(event == CTRL_CLOSE_EVENT ? "console close" : "system shutdown");
            // Windows ends the process as soon as this returns; main's clean stop is to end it first.
            Sleep(INFINITE);
            return TRUE;
        default:
            return FALSE;
    }
}

void WatchStdinLoop() {
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    char buffer[256];
    DWORD got = 0;
    while (in != nullptr && in != INVALID_HANDLE_VALUE && ReadFile(in, buffer, sizeof(buffer), &got, nullptr) &&
           got > 0) {
    }
    StopWaiter::Notify("end of stdin");
}

int Poll(socket_t sock, short events, int timeoutMs) {
    WSAPOLLFD pfd{};
    pfd.fd = sock;
    pfd.events = events;
    return WSAPoll(&pfd, 1, timeoutMs);
}

#else

// SIGUSR1 carries Notify() to the thread in sigwait.
sigset_t WaitedSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);
    return signals;
}

void WatchStdinLoop() {
    char buffer[256];
    ssize_t got = 0;
    while ((got = read(STDIN_FILENO, buffer, sizeof(buffer))) > 0 || (got < 0 && errno == EINTR)) {
    }
    StopWaiter::Notify("end of stdin");
}

int Poll(socket_t sock, short events, int timeoutMs) {
    pollfd pfd{sock, events, 0};
    int ready = 0;
    while ((ready = poll(&pfd, 1, timeoutMs)) < 0 && errno == EINTR) {
    }
    return ready;
}

#endif

}  // namespace

#if defined(_WIN32)

StopWaiter::StopWaiter() { SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }

void StopWaiter::Notify(const std::string& reason) {
    StopState& state = Stops();
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        if (state.reason.empty()) state.reason = reason;
    }
    state.changed.notify_all();
}

std::string StopWaiter::Wait() {
    StopState& state = Stops();
    std::unique_lock<std::mutex> lock(state.mutex);
    state.changed.wait(lock, [&] { return !state.reason.empty(); });
    return state.reason;
}

std::FILE* OpenForAppend(const std::string& path) { return std::fopen(path.c_str(), "aN"); }

void UseBinaryStdout() { _setmode(_fileno(stdout), _O_BINARY); }

std::tm UtcTime(std::time_t time) {
    std::tm tm{};
    gmtime_s(&tm, &time);
    return tm;
}

socket_t OpenTcpSocket(int family) {
    return WSASocketW(family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
}

void CloseSocket(socket_t sock) { closesocket(sock); }

void SetListenOptions(socket_t sock) {
    const int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&yes), sizeof(yes));
}

std::string LastSocketError() {
    const int code = WSAGetLastError();
    if (code == WSAEADDRINUSE) return "address in use";
    char text[256] = {};
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                  static_cast<DWORD>(code), 0, text, sizeof(text), nullptr);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == '.')) --length;
    return length > 0 ? std::string(text, length) : "socket error " + std::to_string(code);
}

long RecvSome(socket_t sock, char* data, size_t size, bool peek) {
    return recv(sock, data, static_cast<int>(size), peek ? MSG_PEEK : 0);
}

long SendSome(socket_t sock, const char* data, size_t size) { return send(sock, data, static_cast<int>(size), 0); }

bool ShutdownSocket(socket_t sock) { return shutdown(sock, SD_BOTH) == 0; }

#else

StopWaiter::StopWaiter() {
    const sigset_t signals = WaitedSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    // A client that vanishes mid-reply must not kill the process.
    signal(SIGPIPE, SIG_IGN);
}

void StopWaiter::Notify(const std::string& reason) {
    StopState& state = Stops();
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        if (state.reason.empty()) state.reason = reason;
    }
    kill(getpid(), SIGUSR1);
}

std::string StopWaiter::Wait() {
    const sigset_t signals = WaitedSignals();
    StopState& state = Stops();
    for (;;) {
        int sig = 0;
        if (sigwait(&signals, &sig) != 0) return "a failed sigwait";
        if (sig == SIGINT) return "SIGINT";
        if (sig == SIGTERM) return "SIGTERM";
        std::lock_guard<std::mutex> lock(state.mutex);
        if (!state.reason.empty()) return state.reason;
    }
}

std::FILE* OpenForAppend(const std::string& path) { return std::fopen(path.c_str(), "ae"); }

void UseBinaryStdout() {}

std::tm UtcTime(std::time_t time) {
    std::tm tm{};
    gmtime_r(&time, &tm);
    return tm;
}

socket_t OpenTcpSocket(int family) { return socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0); }

void CloseSocket(socket_t sock) { close(sock); }

void SetListenOptions(socket_t sock) {
    const int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
}

std::string LastSocketError() { return errno == EADDRINUSE ? "address in use" : std::strerror(errno); }

long RecvSome(socket_t sock, char* data, size_t size, bool peek) {
    ssize_t got = 0;
    while ((got = recv(sock, data, size, peek ? MSG_PEEK : 0)) < 0 && errno == EINTR) {
    }
    return static_cast<long>(got);
}

long SendSome(socket_t sock, const char* data, size_t size) {
    ssize_t sent = 0;
    while ((sent = send(sock, data, size, MSG_NOSIGNAL)) < 0 && errno == EINTR) {
    }
    return static_cast<long>(sent);
}

bool ShutdownSocket(socket_t sock) { return shutdown(sock, SHUT_RDWR) == 0; }

#endif

void StopWaiter::WatchStdin() { std::thread(WatchStdinLoop).detach(); }

bool IsNumericAddress(const std::string& text) {
    unsigned char address[sizeof(in6_addr)];
    return inet_pton(AF_INET, text.c_str(), address) == 1 || inet_pton(AF_INET6, text.c_str(), address) == 1;
}

int WaitReadable(socket_t sock, int timeoutMs) { return Poll(sock, POLLIN, timeoutMs); }

int WaitWritable(socket_t sock, int timeoutMs) { return Poll(sock, POLLOUT, timeoutMs); }

}  // namespace vantra_emu
