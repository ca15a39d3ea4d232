#include "ZephNet/HttpClient.h"

#include <httplib.h>

#include <chrono>
#include <cstdlib>

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

time_t Seconds(int ms) { return ms <= 0 ? 0 : ms / 1000; }
time_t Micros(int ms) { return ms <= 0 ? 0 : (ms % 1000) * 1000; }

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

    try {
        httplib::Client client(url.Host(), url.Port());
        client.set_connection_timeout(Seconds(request.GetConnectionTimeout()), Micros(request.GetConnectionTimeout()));
        client.set_write_timeout(Seconds(request.GetSendTimeout()), Micros(request.GetSendTimeout()));
        client.set_read_timeout(Seconds(request.GetReceiveTimeout()), Micros(request.GetReceiveTimeout()));
        client.set_keep_alive(false);
        client.set_follow_location(false);

        httplib::Request req;
        req.method = request.GetMethod();
        req.path = url.Path();
        for (const auto& header : request.GetHeaders()) {
            // The body's real size is framed by the HTTP layer, so a caller's length can never disagree.
            if (EqualsIgnoreCase(header.first, "Content-Length")) continue;
            req.headers.emplace(header.first, header.second);
        }
        if (!request.GetContentType().empty()) req.headers.emplace("Content-Type", request.GetContentType());
        req.body = request.GetData();

        // The per-read time-out alone lets a server trickle a reply forever; bound the whole exchange.
        const auto deadline = std::chrono::steady_clock::now() +
                              std::chrono::milliseconds(static_cast<int64_t>(request.GetConnectionTimeout()) +
                                                        request.GetSendTimeout() + request.GetReceiveTimeout());
        bool tooLarge = false;
        bool late = false;
        std::string body;
        req.response_handler = [&](const httplib::Response& res) {
            if (res.has_header("Content-Length")) {
                const std::string text = res.get_header_value("Content-Length");
                char* end = nullptr;
                unsigned long long value = std::strtoull(text.c_str(), &end, 10);
                if (end != text.c_str() && value > kMaxBodyBytes) {
                    tooLarge = true;
                    return false;
                }
            }
            return true;
        };
        req.content_receiver = [&](const char* data, size_t length, uint64_t, uint64_t) {
            if (body.size() + length > kMaxBodyBytes) {
                tooLarge = true;
                return false;
            }
            if (std::chrono::steady_clock::now() > deadline) {
                late = true;
                return false;
            }
            body.append(data, length);
            return true;
        };

        httplib::Response res;
        httplib::Error libError = httplib::Error::Success;
        if (!client.send(req, res, libError)) {
            err.code = tooLarge ? kErrorTooLarge : late ? kErrorDeadline : kErrorTransport;
            return false;
        }
        response->m_bReceived = true;
        response->m_iStatus = res.status;
        response->m_strBody.swap(body);
        uint64_t length = response->m_strBody.size();
        if (res.has_header("Content-Length")) {
            const std::string text = res.get_header_value("Content-Length");
            char* end = nullptr;
            unsigned long long value = std::strtoull(text.c_str(), &end, 10);
            if (end != text.c_str()) length = value;
        }
        response->m_uContentLength = length;
        return true;
    } catch (...) {
        err.code = kErrorTransport;
        *response = CHttpClientResponse();
        return false;
    }
}

}  // namespace Net
}  // namespace Zeph
