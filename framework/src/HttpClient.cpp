#include "ZephNet/HttpClient.h"

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

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

// Ends an exchange that outlives its deadline. The per-read time-outs alone let a server trickle the status
// line or the headers forever, a byte per read; shutting the client's socket down from here ends any read in
// progress. Joined before the exchange's objects go away.
class DeadlineGuard {
public:
    DeadlineGuard(httplib::Client& client, std::chrono::steady_clock::time_point deadline) {
        try {
            m_thread = std::thread([this, &client, deadline] { Watch(client, deadline); });
        } catch (...) {
            // No thread to spare: the exchange keeps its per-read time-outs only.
        }
    }
    ~DeadlineGuard() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bDone = true;
        }
        m_cond.notify_all();
        if (m_thread.joinable()) m_thread.join();
    }
    DeadlineGuard(const DeadlineGuard&) = delete;
    DeadlineGuard& operator=(const DeadlineGuard&) = delete;

    bool Fired() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_bFired;
    }

private:
    void Watch(httplib::Client& client, std::chrono::steady_clock::time_point deadline) {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_cond.wait_until(lock, deadline, [this] { return m_bDone; })) return;
        m_bFired = true;
        // Again until the exchange ends: a stop that lands while the socket is still being connected finds
        // nothing to shut down.
        while (!m_bDone) {
            lock.unlock();
            client.stop();
            lock.lock();
            m_cond.wait_for(lock, std::chrono::milliseconds(20), [this] { return m_bDone; });
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_bDone = false;
    bool m_bFired = false;
    std::thread m_thread;
};

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
        // A reply announcing more than the limit counts as received with its announced length and no body:
        // the caller judges the length, and nothing beyond the limit is read.
        bool announced = false;
        bool announcedTooLarge = false;
        int announcedStatus = 0;
        uint64_t announcedLength = 0;
        std::string body;
        req.response_handler = [&](const httplib::Response& res) {
            if (res.has_header("Content-Length")) {
                const std::string text = res.get_header_value("Content-Length");
                char* end = nullptr;
                // Beyond 64 bits it reads as all bits set.
                const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
                announced = end != text.c_str();
                announcedLength = value;
                if (announced && value > kMaxBodyBytes) {
                    announcedTooLarge = true;
                    announcedStatus = res.status;
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
            body.append(data, length);
            return true;
        };

        httplib::Response res;
        httplib::Error libError = httplib::Error::Success;
        bool sent = false;
        bool stopped = false;
        {
            DeadlineGuard guard(client, deadline);
            sent = client.send(req, res, libError);
            stopped = guard.Fired();
        }
        if (!sent && announcedTooLarge) {
            response->m_bReceived = true;
            response->m_iStatus = announcedStatus;
            response->m_uContentLength = announcedLength;
            return true;
        }
        if (!sent) {
            err.code = tooLarge ? kErrorTooLarge : stopped ? kErrorDeadline : kErrorTransport;
            return false;
        }
        response->m_bReceived = true;
        response->m_iStatus = res.status;
        response->m_strBody.swap(body);
        response->m_uContentLength = announced ? announcedLength : response->m_strBody.size();
        return true;
    } catch (...) {
        err.code = kErrorTransport;
        *response = CHttpClientResponse();
        return false;
    }
}

}  // namespace Net
}  // namespace Zeph
