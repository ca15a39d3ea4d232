#include "ZephNet/HttpClient.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "ZephNet/HttpReply.h"
#include "platform/Socket.h"

namespace Zeph {
namespace Net {

namespace {

bool ParsePort(const std::string& text, int* port) {
    if (text.empty() || text.size() > 5) return false;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > 65535) return false;
    *port = value;
    return true;
}

bool ValidHost(const std::string& host) {
    if (host.empty() || host.size() > 253) return false;
    for (unsigned char c : host) {
        // No white space, controls, or characters that would change the request line.
        if (c <= 0x20 || c >= 0x7F || c == '/' || c == '?' || c == '#' || c == '@') return false;
    }
    return true;
}

bool EqualsIgnoreCase(const std::string& a, const char* b) {
    size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i) {
        char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
        char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] - 'A' + 'a') : b[i];
        if (x != y) return false;
    }
    return i == a.size() && b[i] == '\0';
}

// A method, field name or value that would end its line early or start another.
bool FitsOnALine(const std::string& text) {
    for (unsigned char c : text) {
        if (c == '\r' || c == '\n' || c == '\0') return false;
    }
    return true;
}

bool IsToken(const std::string& text) {
    if (text.empty()) return false;
    for (unsigned char c : text) {
        if (c <= 0x20 || c >= 0x7F || std::strchr("\"(),/:;<=>?@[\\]{}", c) != nullptr) return false;
    }
    return true;
}

// Every wait of an exchange is bounded by its own time-out and by what is left of the whole exchange's.
class Budget {
public:
    explicit Budget(int64_t totalMs) : m_end(Clock::now() + std::chrono::milliseconds(totalMs)) {}
    int Wait(int stepMs) {
        const int64_t left = std::chrono::duration_cast<std::chrono::milliseconds>(m_end - Clock::now()).count();
        m_bDeadlineBinds = left <= stepMs;
        return static_cast<int>(std::max<int64_t>(0, std::min<int64_t>(left, stepMs)));
    }
    // The error for a wait that timed out.
    int TimedOut() const { return m_bDeadlineBinds ? HttpClient::kErrorDeadline : HttpClient::kErrorTransport; }

private:
    using Clock = std::chrono::steady_clock;
    Clock::time_point m_end;
    bool m_bDeadlineBinds = false;
};

std::string RequestHead(const CHttpClientRequest& request) {
    const URL& url = request.GetURL();
    std::string head = request.GetMethod() + " " + url.Path() + " HTTP/1.1\r\nHost: " + url.Host();
    if (url.Port() != 80) head += ":" + std::to_string(url.Port());
    head += "\r\n";
    for (const auto& header : request.GetHeaders()) {
        // The body's real size is framed here, so a caller's length can never disagree with it.
        if (EqualsIgnoreCase(header.first, "Content-Length")) continue;
        head += header.first + ": " + header.second + "\r\n";
    }
    if (!request.GetContentType().empty()) head += "Content-Type: " + request.GetContentType() + "\r\n";
    head += "Content-Length: " + std::to_string(request.GetData().size()) + "\r\n";
    head += "Accept: */*\r\nConnection: close\r\n\r\n";
    return head;
}

bool ValidRequest(const CHttpClientRequest& request) {
    if (!IsToken(request.GetMethod()) || !FitsOnALine(request.GetContentType())) return false;
    for (const auto& header : request.GetHeaders()) {
        if (!IsToken(header.first) || !FitsOnALine(header.second)) return false;
    }
    return true;
}

}  // namespace

URL::URL(const std::string& text) : m_strText(text) {
    const std::string scheme = "http://";
    if (text.compare(0, scheme.size(), scheme) != 0) return;
    std::string rest = text.substr(scheme.size());
    size_t slash = rest.find('/');
    std::string authority = slash == std::string::npos ? rest : rest.substr(0, slash);
    m_strPath = slash == std::string::npos ? "/" : rest.substr(slash);
    for (unsigned char c : m_strPath) {
        if (c <= 0x20 || c >= 0x7F) return;
    }
    size_t colon = authority.rfind(':');
    if (colon != std::string::npos) {
        m_strHost = authority.substr(0, colon);
        if (!ParsePort(authority.substr(colon + 1), &m_iPort)) return;
    } else {
        m_strHost = authority;
    }
    m_bValid = ValidHost(m_strHost);
}

URL::~URL() = default;

CHttpClientRequest::CHttpClientRequest(const std::string& method, const URL& url) : m_url(url), m_strMethod(method) {}
CHttpClientRequest::~CHttpClientRequest() = default;
void CHttpClientRequest::SetMethod(const std::string& method) { m_strMethod = method; }
void CHttpClientRequest::SetContentType(const std::string& contentType) { m_strContentType = contentType; }
void CHttpClientRequest::AddHeaderField(const std::string& name, const std::string& value) {
    m_vHeaders.emplace_back(name, value);
}
void CHttpClientRequest::SetData(const std::string& body) { m_strData = body; }
void CHttpClientRequest::SetConnectionTimeout(int ms) { m_iConnectionTimeout = ms; }
void CHttpClientRequest::SetSendTimeout(int ms) { m_iSendTimeout = ms; }
void CHttpClientRequest::SetReceiveTimeout(int ms) { m_iReceiveTimeout = ms; }

CHttpClientResponse::CHttpClientResponse() = default;
CHttpClientResponse::~CHttpClientResponse() = default;
uint64_t CHttpClientResponse::GetContentLength() const { return m_uContentLength; }
bool CHttpClientResponse::GetResponseData(std::string* out) const {
    if (out == nullptr || !m_bReceived) return false;
    *out = m_strBody;
    return true;
}

bool HttpClient::Send(const CHttpClientRequest& request, CHttpClientResponse* response, Error* error) {
    Error local{kErrorNone};
    Error& err = error != nullptr ? *error : local;
    err.code = kErrorNone;
    if (response == nullptr) return false;
    *response = CHttpClientResponse();
    const URL& url = request.GetURL();
    if (!url.IsValid()) {
        err.code = kErrorInvalidUrl;
        return false;
    }

    if (!ValidRequest(request)) {
        err.code = kErrorInvalidRequest;
        return false;
    }

    try {
        // The per-operation time-outs alone would let a server trickle a reply forever; the exchange as a whole
        // gets their sum.
        Budget budget(static_cast<int64_t>(std::max(0, request.GetConnectionTimeout())) +
                      std::max(0, request.GetSendTimeout()) + std::max(0, request.GetReceiveTimeout()));
        Platform::TcpConnection connection;
        using Io = Platform::TcpConnection::Io;
        Io io = connection.Connect(url.Host(), url.Port(), budget.Wait(request.GetConnectionTimeout()));
        if (io != Io::kOk) {
            err.code = io == Io::kTimeout ? budget.TimedOut() : kErrorTransport;
            return false;
        }

        const std::string message = RequestHead(request) + request.GetData();
        for (size_t done = 0; done < message.size();) {
            size_t sent = 0;
            io = connection.Send(message.data() + done, message.size() - done, &sent,
                                 budget.Wait(request.GetSendTimeout()));
            if (io != Io::kOk) {
                err.code = io == Io::kTimeout ? budget.TimedOut() : kErrorTransport;
                return false;
            }
            done += sent;
        }

        ReplyParser reply(kMaxBodyBytes);
        ReplyParser::Status status = ReplyParser::Status::kMore;
        std::vector<char> buffer(size_t{16} * 1024);
        while (status == ReplyParser::Status::kMore) {
            size_t received = 0;
            io = connection.Receive(buffer.data(), buffer.size(), &received, budget.Wait(request.GetReceiveTimeout()));
            if (io == Io::kOk) {
                status = reply.Feed(buffer.data(), received);
            } else if (io == Io::kClosed) {
                status = reply.End();
            } else {
                err.code = io == Io::kTimeout ? budget.TimedOut() : kErrorTransport;
                return false;
            }
        }
        if (status != ReplyParser::Status::kDone) {
            err.code = status == ReplyParser::Status::kTooLarge ? kErrorTooLarge : kErrorTransport;
            return false;
        }
        response->m_bReceived = true;
        response->m_iStatus = reply.StatusCode();
        response->m_strBody.swap(reply.Body());
        // A reply announced beyond the body bound counts with its announced length and no body: the caller
        // judges the length, and nothing beyond the bound is read.
        response->m_uContentLength = reply.Announced() ? reply.AnnouncedLength() : response->m_strBody.size();
        return true;
    } catch (...) {
        err.code = kErrorTransport;
        *response = CHttpClientResponse();
        return false;
    }
}

}  // namespace Net
}  // namespace Zeph
