#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <mutex>
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

// Winsock is started on first use, never from DllMain, and stays up for the life of the process.
bool Started() {
    static std::once_flag once;
    static bool started = false;
    std::call_once(once, [] {
        WSADATA data;
        started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    });
    return started;
}

// select rather than WSAPoll: older WSAPoll never reports a refused connect.
// 1 ready, 0 timed out, -1 failed.
int Wait(SOCKET socket, bool write, int timeoutMs) {
    fd_set ready;
    fd_set failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(socket, &ready);
    FD_SET(socket, &failed);
    timeval limit;
    limit.tv_sec = timeoutMs < 0 ? 0 : timeoutMs / 1000;
    limit.tv_usec = timeoutMs < 0 ? 0 : (timeoutMs % 1000) * 1000;
    const int count = select(0, write ? nullptr : &ready, write ? &ready : nullptr, &failed, &limit);
    if (count == SOCKET_ERROR) return -1;
    if (count == 0) return 0;
    return FD_ISSET(socket, &failed) && !FD_ISSET(socket, &ready) ? -1 : 1;
}

std::string Unbracketed(const std::string& host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') return host.substr(1, host.size() - 2);
    return host;
}

bool WouldBlock() { return WSAGetLastError() == WSAEWOULDBLOCK; }

}  // namespace

TcpConnection::~TcpConnection() { Close(); }

void TcpConnection::Close() {
    if (m_socket != -1) closesocket(static_cast<SOCKET>(m_socket));
    m_socket = -1;
}

TcpConnection::Io TcpConnection::Connect(const std::string& host, int port, int timeoutMs) {
    Close();
    if (!Started()) return Io::kError;
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* list = nullptr;
    if (getaddrinfo(Unbracketed(host).c_str(), std::to_string(port).c_str(), &hints, &list) != 0) return Io::kError;
    Io result = Io::kError;
    for (addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
        // Not inherited: a host that starts a child must not hand it the plugin's connections.
        const SOCKET socket = WSASocketW(entry->ai_family, entry->ai_socktype, entry->ai_protocol, nullptr, 0,
                                         WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
        if (socket == INVALID_SOCKET) continue;
        u_long nonBlocking = 1;
        if (ioctlsocket(socket, FIONBIO, &nonBlocking) != 0) {
            closesocket(socket);
            continue;
        }
        if (connect(socket, entry->ai_addr, static_cast<int>(entry->ai_addrlen)) == 0) {
            m_socket = static_cast<intptr_t>(socket);
            result = Io::kOk;
            break;
        }
        if (!WouldBlock()) {
            closesocket(socket);
            continue;
        }
        const int ready = Wait(socket, true, LeftMs(end));
        int error = 0;
        int size = sizeof(error);
        if (ready == 1 && getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) == 0 &&
            error == 0) {
            m_socket = static_cast<intptr_t>(socket);
            result = Io::kOk;
            break;
        }
        closesocket(socket);
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
    if (m_socket == -1) return Io::kError;
    const SOCKET socket = static_cast<SOCKET>(m_socket);
    const int ready = Wait(socket, true, timeoutMs);
    if (ready <= 0) return ready == 0 ? Io::kTimeout : Io::kError;
    const int chunk = size > 1024 * 1024 ? 1024 * 1024 : static_cast<int>(size);
    const int count = send(socket, data, chunk, 0);
    if (count == SOCKET_ERROR) return WouldBlock() ? Io::kOk : Io::kError;
    *sent = static_cast<size_t>(count);
    return Io::kOk;
}

TcpConnection::Io TcpConnection::Receive(char* buffer, size_t capacity, size_t* received, int timeoutMs) {
    *received = 0;
    if (m_socket == -1) return Io::kError;
    const SOCKET socket = static_cast<SOCKET>(m_socket);
    const int ready = Wait(socket, false, timeoutMs);
    if (ready <= 0) return ready == 0 ? Io::kTimeout : Io::kError;
    const int chunk = capacity > 1024 * 1024 ? 1024 * 1024 : static_cast<int>(capacity);
    const int count = recv(socket, buffer, chunk, 0);
    if (count == SOCKET_ERROR) return WouldBlock() ? Io::kOk : Io::kError;
    if (count == 0) return Io::kClosed;
    *received = static_cast<size_t>(count);
    return Io::kOk;
}

}  // namespace Platform
}  // namespace Zeph
