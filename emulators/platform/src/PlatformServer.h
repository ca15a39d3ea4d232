#pragma once

#include <httplib.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <set>
#include <string>

#include "Options.h"

namespace vantra_emu {

// "host:port", with IPv6 hosts in brackets.
std::string HostPort(const std::string& host, int port);

// One line per event, safe to call from any thread.
class RequestLog {
public:
    explicit RequestLog(std::FILE* out) : m_out(out) {}
    void Write(const std::string& line);

private:
    std::mutex m_mutex;
    std::FILE* m_out;
};

// Runs the library's connections itself: each is served and closed by one worker thread, so a handler can drop its
// own connection, and Stop() can wake idle ones, without touching a socket another thread may have closed.
class ConnectionServer : public httplib::Server {
public:
    // Shuts down the calling handler's connection: the library's reply then fails and none is sent.
    static bool DropCurrentConnection();
    // Writes all of `data` on the calling handler's connection, past the library; false once the peer has gone.
    static bool SendOnCurrentConnection(const char* data, size_t size);
    // Wakes every open connection, and shuts new ones at once, so that the worker pool can join quickly.
    void CloseConnections();
    // Debian's compiled library listens with a queue of 5, so a burst of clients met SYN retries (a second each).
    // Listening again on the bound socket sets the queue on Linux; on Windows the header-only build is told
    // through CPPHTTPLIB_LISTEN_BACKLOG instead, since there a second listen() keeps the first queue.
    bool SetListenBacklog(int backlog);

private:
    bool process_and_close_socket(socket_t sock) override;
    bool WaitForRequest(socket_t sock) const;

    std::mutex m_mutex;
    std::set<socket_t> m_open;
    std::atomic<bool> m_closing{false};
};

class PlatformServer {
public:
    PlatformServer(const Options& options, RequestLog& log);

    // Returns the bound port, or -1 with a reason in `error`.
    int Bind(std::string* error);
    // Serves until Stop().
    void Run();
    bool IsRunning() const { return m_server.is_running(); }
    // Thread-safe; not for use inside a signal handler.
    void Stop();

private:
    enum class Endpoint { kAccess, kToken };

    void Serve(Endpoint endpoint, const httplib::Request& req, httplib::Response& res,
               const httplib::ContentReader& reader);
    std::string AccessReply() const;
    std::string TokenReply(const std::string& body, int* code) const;
    // False if Stop() cut the wait short.
    bool Delay(int ms);
    // Returns the log outcome.
    std::string Trickle();
    std::string EndlessHeader();
    bool IsStopping();
    void LogRequest(const httplib::Request& req, size_t bodyBytes, const std::string& outcome);

    const Options& m_options;
    RequestLog& m_log;
    ConnectionServer m_server;
    std::mutex m_mutex;
    std::condition_variable m_stopCv;
    bool m_stopping = false;
};

}  // namespace vantra_emu
