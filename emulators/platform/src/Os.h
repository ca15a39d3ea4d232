#pragma once

// The few things that differ between POSIX and Windows; the rest of the emulator is written once.
#include <httplib.h>

#include <cstdio>
#include <ctime>
#include <string>

namespace vantra_emu {

// Ends main()'s wait: the user's stop (SIGINT or SIGTERM; Ctrl-C, Ctrl-Break or console close on Windows) or a
// reason given by the program itself. One per process.
class StopWaiter {
public:
    // Before any other thread starts: on POSIX every thread must inherit the blocked signals.
    StopWaiter();
    StopWaiter(const StopWaiter&) = delete;
    StopWaiter& operator=(const StopWaiter&) = delete;

    // Thread-safe, not for signal handlers; the first reason wins.
    static void Notify(const std::string& reason);
    // Returns the reason, e.g. "SIGTERM".
    std::string Wait();
    // Notifies "end of stdin" once standard input reaches end-of-file (or cannot be read).
    void WatchStdin();
};

// Appends, without handing the file to child processes.
std::FILE* OpenForAppend(const std::string& path);
// The "listening on" line is read by scripts: no CR before its LF on Windows either.
void UseBinaryStdout();
std::tm UtcTime(std::time_t time);

bool IsNumericAddress(const std::string& text);
socket_t OpenTcpSocket(int family);
void CloseSocket(socket_t sock);
// A second emulator must not share a busy port (Windows' SO_REUSEADDR would even let it take one).
void SetListenOptions(socket_t sock);
// "address in use" or the system's text for the last failed socket call.
std::string LastSocketError();
// > 0 ready, 0 timed out, < 0 error.
int WaitReadable(socket_t sock, int timeoutMs);
int WaitWritable(socket_t sock, int timeoutMs);
long RecvSome(socket_t sock, char* data, size_t size, bool peek = false);
long SendSome(socket_t sock, const char* data, size_t size);
bool ShutdownSocket(socket_t sock);

}  // namespace vantra_emu
