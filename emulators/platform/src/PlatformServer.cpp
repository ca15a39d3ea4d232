#include "PlatformServer.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netdb.h>
#include <netinet/in.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace vantra_emu {

namespace {

constexpr char kAccessPath[] = "/videoWall/v1/NubrixAccessInfo/get";
constexpr char kTokenPath[] = "/videoWall/v1/DeviceTokenInfo/get";
constexpr char kJson[] = "application/json";
constexpr int kBadRequest = 1001;
constexpr size_t kMaxBodyBytes = 64 * 1024;
constexpr size_t kWorkers = 8;

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
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
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

struct Connection {
    int fd = -1;
    std::string localHost;
    int localPort = -1;
    std::string peerHost;
    int peerPort = -1;
};

// cpp-httplib hides connection sockets from handlers, so they are found among the process's descriptors by
// their addresses. Calls `visit` for each connected TCP socket until it returns false.
template <class Visit>
void ForEachConnection(Visit visit) {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return;
    while (const dirent* entry = readdir(dir)) {
        char* end = nullptr;
        Connection c;
        c.fd = static_cast<int>(std::strtol(entry->d_name, &end, 10));
        if (end == entry->d_name || *end != '\0') continue;
        sockaddr_storage local{};
        sockaddr_storage peer{};
        socklen_t localLen = sizeof(local);
        socklen_t peerLen = sizeof(peer);
        if (getsockname(c.fd, reinterpret_cast<sockaddr*>(&local), &localLen) != 0 ||
            getpeername(c.fd, reinterpret_cast<sockaddr*>(&peer), &peerLen) != 0 ||
            !SocketEnd(local, localLen, &c.localHost, &c.localPort) ||
            !SocketEnd(peer, peerLen, &c.peerHost, &c.peerPort))
            continue;
        if (!visit(c)) break;
    }
    closedir(dir);
}

// The connection stays open while its handler runs, so a match cannot be a reused descriptor.
int FindConnectionSocket(const httplib::Request& req) {
    int found = -1;
    ForEachConnection([&](const Connection& c) {
        if (c.localPort == req.local_port && c.localHost == req.local_addr && c.peerPort == req.remote_port &&
            c.peerHost == req.remote_addr)
            found = c.fd;
        return found < 0;
    });
    return found;
}

// cpp-httplib only reports that binding failed; binding again the same way tells why.
std::string BindFailure(const std::string& host, int port) {
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* info = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &info) != 0) return "bad address";
    std::string reason = "bind failed";
    const int fd = socket(info->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        reason = std::strerror(errno);
    } else {
        int yes = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
        if (bind(fd, info->ai_addr, info->ai_addrlen) != 0 || listen(fd, 1) != 0)
            reason = errno == EADDRINUSE ? "address in use" : std::strerror(errno);
        close(fd);
    }
    freeaddrinfo(info);
    return reason;
}

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

PlatformServer::PlatformServer(const Options& options, RequestLog& log) : m_options(options), m_log(log) {
    m_server.new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
    m_server.set_payload_max_length(kMaxBodyBytes);
    m_server.set_read_timeout(5, 0);
    m_server.set_write_timeout(5, 0);
    m_server.set_keep_alive_timeout(2);
    m_server.set_keep_alive_max_count(100);
    m_server.set_tcp_nodelay(true);
    // The library default sets SO_REUSEPORT, which would let a second emulator share a busy port unnoticed.
    m_server.set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    });

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
    m_port = port;
    if (port < 0)
        *error = "cannot listen on " + HostPort(host, m_options.port) + ": " + BindFailure(host, m_options.port);
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
    if (m_port > 0) {
        ForEachConnection([this](const Connection& c) {
            if (c.localPort == m_port) shutdown(c.fd, SHUT_RDWR);
            return true;
        });
    }
}

bool PlatformServer::Delay() {
    std::unique_lock<std::mutex> lock(m_mutex);
    return !m_stopCv.wait_for(lock, std::chrono::milliseconds(m_options.faultDelayMs), [this] { return m_stopping; });
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
        delayed = Delay() ? " after " + std::to_string(m_options.faultDelayMs) + " ms delay (fault)"
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
        case FaultKind::kClose: {
            // After the shutdown the library's attempt to reply fails and it drops the connection.
            const int fd = FindConnectionSocket(req);
            if (fd < 0 || shutdown(fd, SHUT_RDWR) != 0) {
                m_log.Write("cannot find the connection's socket to close it; answering 500");
                res.status = 500;
                return;
            }
            outcome = "closed without reply (fault)";
            break;
        }
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
