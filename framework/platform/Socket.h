// The only place that knows the operating system's sockets: one outgoing TCP connection, every wait bounded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace Zeph {
namespace Platform {

class TcpConnection {
public:
    enum class Io { kOk, kClosed, kTimeout, kError };

    TcpConnection() = default;
    ~TcpConnection();
    TcpConnection(const TcpConnection&) = delete;
    TcpConnection& operator=(const TcpConnection&) = delete;

    // Resolves `host` (a name, an IPv4 address or a bracketed IPv6 one) and connects to the first address that
    // answers, all within `timeoutMs`. Name resolution itself is the system's and is not bounded.
    Io Connect(const std::string& host, int port, int timeoutMs);
    // Sends some of the bytes, waiting at most `timeoutMs` for room. Never raises SIGPIPE.
    Io Send(const char* data, size_t size, size_t* sent, int timeoutMs);
    // Receives what is there, waiting at most `timeoutMs` for something; kClosed at the peer's end of stream.
    Io Receive(char* buffer, size_t capacity, size_t* received, int timeoutMs);
    void Close();

private:
    intptr_t m_socket = -1;
};

}  // namespace Platform
}  // namespace Zeph
