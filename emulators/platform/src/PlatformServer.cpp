#include "PlatformServer.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "Os.h"

namespace vantra_emu {

namespace {

constexpr char kAccessPath[] = "/videoWall/v1/NubrixAccessInfo/get";
constexpr char kTokenPath[] = "/videoWall/v1/DeviceTokenInfo/get";
constexpr char kJson[] = "application/json";
constexpr int kBadRequest = 1001;
constexpr size_t kMaxBodyBytes = 64 * 1024;
constexpr size_t kWorkers = 8;
// As many cameras as a media server starts at once, and then some; the system may cap it (somaxconn).
constexpr int kListenBacklog = 1024;

using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer>;

std::string Base64(const std::string& in) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((in.size() + 2) / 3 * 4);
    for (size_t i = 0; i < in.size(); i += 3) {
        const size_t n = in.size() - i < 3 ? in.size() - i : 3;
        uint32_t group = static_cast<uint32_t>(static_cast<unsigned char>(in[i])) << 16;
        if (n > 1) group |= static_cast<uint32_t>(static_cast<unsigned char>(in[i + 1])) << 8;
        if (n > 2) group |= static_cast<unsigned char>(in[i + 2]);
        out += kAlphabet[(group >> 18) & 63];
        out += kAlphabet[(group >> 12) & 63];
        out += n > 1 ? kAlphabet[(group >> 6) & 63] : '=';
        out += n > 2 ? kAlphabet[group & 63] : '=';
    }
    return out;
}

void Put(JsonWriter& w, const char* key, const std::string& value) {
    w.Key(key);
    w.String(value.c_str(), static_cast<rapidjson::SizeType>(value.size()));
}

std::string CodeOnly(int code, const char* msg) {
    rapidjson::StringBuffer buf;
    JsonWriter w(buf);
    w.StartObject();
    w.Key("code");
    w.Int(code);
    Put(w, "msg", msg);
    w.EndObject();
    return buf.GetString();
}

// Request text goes into one log line: keep it short and free of control characters.
std::string Printable(const std::string& text) {
    constexpr size_t kMaxChars = 200;
    std::string out;
    for (size_t i = 0; i < text.size() && i < kMaxChars; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        out += c < 0x20 || c >= 0x7F ? '?' : static_cast<char>(c);
    }
    if (text.size() > kMaxChars) out += "...";
    return out;
}

std::string UtcNow() {
    const std::tm tm = UtcTime(std::time(nullptr));
    char text[32];
    std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

bool SocketEnd(const sockaddr_storage& addr, socklen_t len, std::string* host, int* port) {
    char text[NI_MAXHOST];
    if (addr.ss_family != AF_INET && addr.ss_family != AF_INET6) return false;
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&addr), len, text, sizeof(text), nullptr, 0, NI_NUMERICHOST) != 0)
        return false;
    *host = text;
    *port = addr.ss_family == AF_INET ? ntohs(reinterpret_cast<const sockaddr_in*>(&addr)->sin_port)
                                      : ntohs(reinterpret_cast<const sockaddr_in6*>(&addr)->sin6_port);
    return true;
}

// cpp-httplib only reports that binding failed; binding again the same way tells why.
std::string BindFailure(const std::string& host, int port) {
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* info = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &info) != 0) return "bad address";
    std::string reason = "bind failed";
    const socket_t sock = OpenTcpSocket(info->ai_family);
    if (sock == INVALID_SOCKET) {
        reason = LastSocketError();
    } else {
        SetListenOptions(sock);
        if (bind(sock, info->ai_addr, static_cast<socklen_t>(info->ai_addrlen)) != 0 || listen(sock, 1) != 0)
            reason = LastSocketError();
        CloseSocket(sock);
    }
    freeaddrinfo(info);
    return reason;
}

int Milliseconds(time_t sec, time_t usec) { return static_cast<int>(sec * 1000 + usec / 1000); }

// The connection a worker thread is serving, for its handlers.
thread_local socket_t t_connection = INVALID_SOCKET;

// Mirrors the library's internal socket stream, which is not part of its interface.
class ConnectionStream : public httplib::Stream {
public:
    ConnectionStream(socket_t sock, int readTimeoutMs, int writeTimeoutMs)
        : m_sock(sock), m_readTimeoutMs(readTimeoutMs), m_writeTimeoutMs(writeTimeoutMs), m_buffer(4096) {}

    bool is_readable() const override { return WaitReadable(m_sock, m_readTimeoutMs) > 0; }
    // Like the library: no reply to a peer that has already closed.
    bool is_writable() const override {
        char byte = 0;
        return WaitWritable(m_sock, m_writeTimeoutMs) > 0 &&
               (WaitReadable(m_sock, 0) == 0 || RecvSome(m_sock, &byte, 1, true) > 0);
    }
    // Buffered, as the library reads request heads one byte at a time.
    ssize_t read(char* ptr, size_t size) override {
        if (m_offset == m_filled) {
            if (!is_readable()) return -1;
            if (size >= m_buffer.size()) return RecvSome(m_sock, ptr, size);
            const long got = RecvSome(m_sock, m_buffer.data(), m_buffer.size());
            if (got <= 0) return got;
            m_offset = 0;
            m_filled = static_cast<size_t>(got);
        }
        const size_t n = std::min(size, m_filled - m_offset);
        std::memcpy(ptr, m_buffer.data() + m_offset, n);
        m_offset += n;
        return static_cast<ssize_t>(n);
    }
    ssize_t write(const char* ptr, size_t size) override { return is_writable() ? SendSome(m_sock, ptr, size) : -1; }
    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        sockaddr_storage addr{};
        socklen_t len = sizeof(addr);
        if (getpeername(m_sock, reinterpret_cast<sockaddr*>(&addr), &len) == 0) SocketEnd(addr, len, &ip, &port);
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        sockaddr_storage addr{};
        socklen_t len = sizeof(addr);
        if (getsockname(m_sock, reinterpret_cast<sockaddr*>(&addr), &len) == 0) SocketEnd(addr, len, &ip, &port);
    }
    socket_t socket() const override { return m_sock; }

private:
    socket_t m_sock;
    int m_readTimeoutMs;
    int m_writeTimeoutMs;
    std::vector<char> m_buffer;
    size_t m_offset = 0;
    size_t m_filled = 0;
};

// False when the body cannot be taken; the reply status then says why.
bool ReadBody(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader,
              std::string* body) {
    // Without Content-Length or chunked coding a request has no body; the library would wait for EOF.
    if (!req.has_header("Content-Length") &&
        req.get_header_value("Transfer-Encoding").find("chunked") == std::string::npos)
        return true;
    // The library bounds only Content-Length bodies. An oversized chunked body is drained rather than cut off so
    // that the connection stays in step for the 413 reply.
    bool tooLarge = false;
    const bool ok = reader([&](const char* data, size_t length) {
        tooLarge = tooLarge || body->size() + length > kMaxBodyBytes;
        if (!tooLarge) body->append(data, length);
        return true;
    });
    if (ok && !tooLarge) return true;
    body->clear();
    res.status = tooLarge ? 413 : res.status == -1 ? 400 : res.status;
    if (!ok) res.set_header("Connection", "close");
    return false;
}

}  // namespace

std::string HostPort(const std::string& host, int port) {
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

void RequestLog::Write(const std::string& line) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::fprintf(m_out, "%s %s\n", UtcNow().c_str(), line.c_str());
    std::fflush(m_out);
}

bool ConnectionServer::DropCurrentConnection() {
    return t_connection != INVALID_SOCKET && ShutdownSocket(t_connection);
}

bool ConnectionServer::SendOnCurrentConnection(const char* data, size_t size) {
    if (t_connection == INVALID_SOCKET) return false;
    // A closed peer is seen here rather than by a later failed send, which may first take one more byte.
    char byte = 0;
    if (WaitReadable(t_connection, 0) != 0 && RecvSome(t_connection, &byte, 1, true) <= 0) return false;
    while (size > 0) {
        const long sent = SendSome(t_connection, data, size);
        if (sent <= 0) return false;
        data += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

void ConnectionServer::CloseConnections() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_closing = true;
    for (const socket_t sock : m_open) ShutdownSocket(sock);
}

// The library's own loop; the socket leaves m_open before it is closed, so CloseConnections() never shuts down a
// reused descriptor.
bool ConnectionServer::process_and_close_socket(socket_t sock) {
    bool serve = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        serve = !m_closing;
        if (serve) m_open.insert(sock);
    }
    bool ok = false;
    if (serve) {
        t_connection = sock;
        const int readMs = Milliseconds(read_timeout_sec_, read_timeout_usec_);
        const int writeMs = Milliseconds(write_timeout_sec_, write_timeout_usec_);
        for (size_t left = keep_alive_max_count_; left > 0 && svr_sock_ != INVALID_SOCKET && WaitForRequest(sock);
             --left) {
            ConnectionStream stream(sock, readMs, writeMs);
            bool closed = false;
            ok = process_request(stream, left == 1, closed, nullptr);
            if (!ok || closed) break;
        }
        t_connection = INVALID_SOCKET;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open.erase(sock);
    }
    ShutdownSocket(sock);
    CloseSocket(sock);
    return ok;
}

bool ConnectionServer::SetListenBacklog(int backlog) {
    const socket_t sock = svr_sock_;
    return sock != INVALID_SOCKET && ::listen(sock, backlog) == 0;
}

// Waits in slices, so that CloseConnections() is seen even where shutdown() does not wake a poll.
bool ConnectionServer::WaitForRequest(socket_t sock) const {
    constexpr int kSliceMs = 50;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(keep_alive_timeout_sec_);
    while (!m_closing) {
        const int ready = WaitReadable(sock, kSliceMs);
        if (ready != 0) return ready > 0;
        if (std::chrono::steady_clock::now() > end) return false;
    }
    return false;
}

PlatformServer::PlatformServer(const Options& options, RequestLog& log) : m_options(options), m_log(log) {
    m_server.new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
    m_server.set_payload_max_length(kMaxBodyBytes);
    m_server.set_read_timeout(5, 0);
    m_server.set_write_timeout(5, 0);
    m_server.set_keep_alive_timeout(2);
    m_server.set_keep_alive_max_count(100);
    m_server.set_tcp_nodelay(true);
    // The library default sets SO_REUSEPORT, which would let a second emulator share a busy port unnoticed.
    m_server.set_socket_options(SetListenOptions);

    // Content-reader handlers, so that a body-less POST without Content-Length is not read until EOF.
    using Reader = httplib::ContentReader;
    m_server.Post(kAccessPath, [this](const httplib::Request& req, httplib::Response& res, const Reader& reader) {
        Serve(Endpoint::kAccess, req, res, reader);
    });
    m_server.Post(kTokenPath, [this](const httplib::Request& req, httplib::Response& res, const Reader& reader) {
        Serve(Endpoint::kToken, req, res, reader);
    });
    // Catch-alls, so every 404 is ours and logged here; routes are tried in registration order.
    auto notFound = [this](const httplib::Request& req, httplib::Response& res, const Reader& reader) {
        std::string body;
        if (!ReadBody(req, res, reader, &body)) return;
        res.status = 404;
        LogRequest(req, body.size(), "HTTP 404");
    };
    auto notFoundNoReader = [this](const httplib::Request& req, httplib::Response& res) {
        res.status = 404;
        LogRequest(req, req.body.size(), "HTTP 404");
    };
    m_server.Post(".*", notFound).Put(".*", notFound).Patch(".*", notFound).Delete(".*", notFound);
    m_server.Get(".*", notFoundNoReader).Options(".*", notFoundNoReader);
    // Handlers log their own 200 and 404 replies; other statuses come from the library itself.
    m_server.set_logger([this](const httplib::Request& req, const httplib::Response& res) {
        if (res.status != 200 && res.status != 404)
            LogRequest(req, req.body.size(), "HTTP " + std::to_string(res.status));
    });
}

int PlatformServer::Bind(std::string* error) {
    const std::string& host = m_options.listenAddr;
    int port = m_options.port;
    if (port == 0) {
        port = m_server.bind_to_any_port(host);
    } else if (!m_server.bind_to_port(host, port)) {
        port = -1;
    }
    if (port < 0) {
        *error = "cannot listen on " + HostPort(host, m_options.port) + ": " + BindFailure(host, m_options.port);
    } else if (!m_server.SetListenBacklog(kListenBacklog)) {
        *error = "cannot widen the listen queue on " + HostPort(host, port) + ": " + LastSocketError();
        port = -1;
    }
    return port;
}

void PlatformServer::Run() { m_server.listen_after_bind(); }

void PlatformServer::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_stopCv.notify_all();
    m_server.stop();
    // Workers idle on keep-alive connections would otherwise wait out their time-outs before the pool can join.
    m_server.CloseConnections();
}

bool PlatformServer::IsStopping() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stopping;
}

bool PlatformServer::Delay(int ms) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return !m_stopCv.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_stopping; });
}

// Each byte alone keeps a client's per-read time-out from expiring, yet the header line never ends.
std::string PlatformServer::Trickle() {
    static const std::string kStatus = "HTTP/1.1 200 OK\r\n";
    static const std::string kName = "X-Trickle: ";
    size_t sent = 0;
    bool open = ConnectionServer::SendOnCurrentConnection(kStatus.data(), kStatus.size());
    while (open) {
        if (!Delay(m_options.faultTrickleMs)) break;
        const char byte = sent < kName.size() ? kName[sent] : 'a';
        open = ConnectionServer::SendOnCurrentConnection(&byte, 1);
        if (open) ++sent;
    }
    // Keeps the library's own reply off the wire; it can fail only where the peer is gone already.
    ConnectionServer::DropCurrentConnection();
    return "trickled " + std::to_string(sent) + " header bytes until " + (open ? "shutdown" : "the client closed") +
           " (fault)";
}

// As fast as the client reads: a client that holds the whole line before judging it grows until it gives up.
std::string PlatformServer::EndlessHeader() {
    static const std::string kStart = "HTTP/1.1 200 OK\r\nX-Endless: ";
    static const std::string kBlock(16 * 1024, 'a');
    bool open = ConnectionServer::SendOnCurrentConnection(kStart.data(), kStart.size());
    uint64_t sent = 0;
    while (open && !IsStopping()) {
        open = ConnectionServer::SendOnCurrentConnection(kBlock.data(), kBlock.size());
        if (open) sent += kBlock.size();
    }
    ConnectionServer::DropCurrentConnection();
    return "sent " + std::to_string(sent) + " bytes of one header line until " +
           (open ? "shutdown" : "the client closed") + " (fault)";
}

void PlatformServer::LogRequest(const httplib::Request& req, size_t bodyBytes, const std::string& outcome) {
    m_log.Write(Printable(req.method) + " " + Printable(req.path) + " body=" + std::to_string(bodyBytes) + " -> " +
                outcome);
}

void PlatformServer::Serve(Endpoint endpoint, const httplib::Request& req, httplib::Response& res,
                           const httplib::ContentReader& reader) {
    std::string body;
    if (!ReadBody(req, res, reader, &body)) return;
    const bool faulted = endpoint == Endpoint::kAccess ? m_options.faultAccess : m_options.faultToken;
    std::string delayed;
    if (faulted && m_options.faultDelayMs > 0) {
        delayed = Delay(m_options.faultDelayMs)
                      ? " after " + std::to_string(m_options.faultDelayMs) + " ms delay (fault)"
                      : " after a delay cut short by shutdown (fault)";
    }
    std::string outcome;
    switch (faulted ? m_options.fault : FaultKind::kNone) {
        case FaultKind::kCode:
            res.set_content(CodeOnly(m_options.faultCode, "emulated fault"), kJson);
            outcome = "code " + std::to_string(m_options.faultCode) + " (fault)";
            break;
        case FaultKind::kEmpty:
            res.set_content("", kJson);
            outcome = "empty body (fault)";
            break;
        case FaultKind::kNotJson:
            res.set_content("<html>oops</html>", "text/html");
            outcome = "not JSON (fault)";
            break;
        case FaultKind::kClose:
            if (!ConnectionServer::DropCurrentConnection()) {
                m_log.Write("cannot shut down the connection to close it; answering 500");
                res.status = 500;
                return;
            }
            outcome = "closed without reply (fault)";
            break;
        case FaultKind::kBody:
            res.set_content(m_options.faultBody, kJson);
            outcome = "body of " + std::to_string(m_options.faultBody.size()) + " bytes as given (fault)";
            break;
        case FaultKind::kTruncate: {
            // The normal reply announced in full, half of it sent, then the connection dropped.
            int code = 0;
            auto reply =
                std::make_shared<std::string>(endpoint == Endpoint::kAccess ? AccessReply() : TokenReply(body, &code));
            res.set_content_provider(reply->size(), kJson, [reply](size_t offset, size_t, httplib::DataSink& sink) {
                const size_t half = reply->size() / 2;
                if (offset < half) sink.write(reply->data() + offset, half - offset);
                return offset < half;
            });
            outcome = "reply cut after half of its body (fault)";
            break;
        }
        case FaultKind::kHugeBody: {
            // Spaces after a valid start: a client that reads it all holds a huge, still unfinished text.
            const size_t total = static_cast<size_t>(m_options.faultHugeMiB) * 1024 * 1024;
            res.set_content_provider(total, kJson, [this](size_t offset, size_t length, httplib::DataSink& sink) {
                static const std::string chunk = [] {
                    std::string text(64 * 1024, ' ');
                    text.replace(0, 10, "{\"code\":0, ");
                    return text;
                }();
                if (IsStopping()) return false;
                const size_t start = offset == 0 ? 0 : 10;
                return sink.write(chunk.data() + start, std::min(length, chunk.size() - start));
            });
            outcome = "body of " + std::to_string(m_options.faultHugeMiB) + " MiB (fault)";
            break;
        }
        case FaultKind::kTrickle:
            outcome = Trickle();
            break;
        case FaultKind::kEndlessHeader:
            outcome = EndlessHeader();
            break;
        case FaultKind::kNone:
            if (endpoint == Endpoint::kAccess) {
                res.set_content(AccessReply(), kJson);
                outcome = "code 0";
            } else {
                int code = 0;
                res.set_content(TokenReply(body, &code), kJson);
                outcome = "code " + std::to_string(code);
            }
            break;
    }
    LogRequest(req, body.size(), outcome + delayed);
}

std::string PlatformServer::AccessReply() const {
    rapidjson::StringBuffer buf;
    JsonWriter w(buf);
    w.StartObject();
    w.Key("code");
    w.Int(0);
    Put(w, "msg", "success");
    w.Key("data");
    w.StartObject();
    Put(w, "accessToken", Base64(m_options.accessToken));
    Put(w, "nubrixAddr", m_options.nubrixAddr);
    Put(w, "appKey", m_options.appKey);
    Put(w, "nubrixType", m_options.cloudType);
    Put(w, "authAddr", m_options.authAddr);
    Put(w, "openAddr", m_options.openAddr);
    w.EndObject();
    w.EndObject();
    return buf.GetString();
}

std::string PlatformServer::TokenReply(const std::string& body, int* code) const {
    rapidjson::Document request;
    request.Parse(body.c_str(), body.size());
    rapidjson::Value::ConstMemberIterator serial;
    rapidjson::Value::ConstMemberIterator channel;
    if (request.HasParseError() || !request.IsObject() ||
        (serial = request.FindMember("deviceSerial")) == request.MemberEnd() || !serial->value.IsString() ||
        (channel = request.FindMember("channelNo")) == request.MemberEnd() || !channel->value.IsInt()) {
        *code = kBadRequest;
        return CodeOnly(kBadRequest, "bad request");
    }
    const std::string serialText(serial->value.GetString(), serial->value.GetStringLength());
    const int channelNo = channel->value.GetInt();

    rapidjson::StringBuffer token;
    JsonWriter tw(token);
    tw.StartObject();
    Put(tw, "deviceSerial", serialText);
    tw.Key("channelNo");
    tw.Int(channelNo);
    Put(tw, "deviceToken", "emu-dt-" + serialText + "-" + std::to_string(channelNo));
    tw.EndObject();

    rapidjson::StringBuffer buf;
    JsonWriter w(buf);
    w.StartObject();
    w.Key("code");
    w.Int(0);
    Put(w, "msg", "success");
    w.Key("data");
    w.StartObject();
    Put(w, "TokenJson", Base64(std::string(token.GetString(), token.GetSize())));
    w.EndObject();
    w.EndObject();
    *code = 0;
    return buf.GetString();
}

}  // namespace vantra_emu
