#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "platform/Socket.h"

namespace Zeph {
namespace Platform {

namespace {

using Clock = std::chrono::steady_clock;

int LeftMs(Clock::time_point end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left);
}

// 1 ready, 0 timed out, -1 failed; a signal does not shorten or lengthen the wait.
int Wait(int fd, short events, int timeoutMs) {
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        pollfd entry{fd, events, 0};
        const int ready = poll(&entry, 1, LeftMs(end));
        if (ready >= 0) return ready > 0 ? 1 : 0;
        if (errno != EINTR) return -1;
    }
}

std::string Unbracketed(const std::string& host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') return host.substr(1, host.size() - 2);
    return host;
}

}  // namespace

TcpConnection::~TcpConnection() { Close(); }

void TcpConnection::Close() {
    if (m_socket >= 0) close(static_cast<int>(m_socket));
    m_socket = -1;
}

TcpConnection::Io TcpConnection::Connect(const std::string& host, int port, int timeoutMs) {
    Close();
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* list = nullptr;
    if (getaddrinfo(Unbracketed(host).c_str(), std::to_string(port).c_str(), &hints, &list) != 0) return Io::kError;
    Io result = Io::kError;
    for (addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
        // Close-on-exec: a host that starts a child must not hand it the plugin's connections.
        const int fd = socket(entry->ai_family, entry->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, entry->ai_protocol);
        if (fd < 0) continue;
        if (connect(fd, entry->ai_addr, entry->ai_addrlen) == 0) {
            m_socket = fd;
            result = Io::kOk;
            break;
        }
        if (errno != EINPROGRESS) {
            close(fd);
            continue;
        }
        const int ready = Wait(fd, POLLOUT, LeftMs(end));
        int error = 0;
        socklen_t size = sizeof(error);
        if (ready == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0) {
            m_socket = fd;
            result = Io::kOk;
            break;
        }
        close(fd);
        if (ready == 0) {
            result = Io::kTimeout;
            break;
        }
    }
    freeaddrinfo(list);
    return result;
}

TcpConnection::Io TcpConnection::Send(const char* data, size_t size, size_t* sent, int timeoutMs) {
    *sent = 0;
    if (m_socket < 0) return Io::kError;
    const int fd = static_cast<int>(m_socket);
    const int ready = Wait(fd, POLLOUT, timeoutMs);
    if (ready <= 0) return ready == 0 ? Io::kTimeout : Io::kError;
    const ssize_t count = send(fd, data, size, MSG_NOSIGNAL);
    if (count < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? Io::kOk : Io::kError;
    *sent = static_cast<size_t>(count);
    return Io::kOk;
}

TcpConnection::Io TcpConnection::Receive(char* buffer, size_t capacity, size_t* received, int timeoutMs) {
    *received = 0;
    if (m_socket < 0) return Io::kError;
    const int fd = static_cast<int>(m_socket);
    const int ready = Wait(fd, POLLIN, timeoutMs);
    if (ready <= 0) return ready == 0 ? Io::kTimeout : Io::kError;
    const ssize_t count = recv(fd, buffer, capacity, 0);
    if (count < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? Io::kOk : Io::kError;
    if (count == 0) return Io::kClosed;
    *received = static_cast<size_t>(count);
    return Io::kOk;
}

}  // namespace Platform
}  // namespace Zeph
