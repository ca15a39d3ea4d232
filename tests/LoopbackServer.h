// An HTTP server on an ephemeral loopback port whose replies a test writes, for the HTTP client's own tests.
#pragma once

#include <httplib.h>

#include <chrono>
#include <string>
#include <thread>

namespace vantra_test {

// Stopped and joined at scope end.
class LoopbackServer {
public:
    httplib::Server server;
    int port = 0;
    void Start() {
        port = server.bind_to_any_port("127.0.0.1");
        m_thread = std::thread([this] { server.listen_after_bind(); });
        while (!server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~LoopbackServer() {
        server.stop();
        if (m_thread.joinable()) m_thread.join();
    }
    std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port) + path; }

private:
    std::thread m_thread;
};

}  // namespace vantra_test
