// Synchronous HTTP client. Every exchange uses its own connection, so concurrent sends are independent.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace Zeph {
namespace Net {

// A parsed "http://host[:port][/path]" URL. Anything else is invalid, and sending to it fails.
class URL {
public:
    explicit URL(const std::string& text);
    ~URL();
    bool IsValid() const { return m_bValid; }
    const std::string& Host() const { return m_strHost; }
    int Port() const { return m_iPort; }
    const std::string& Path() const { return m_strPath; }
    const std::string& Text() const { return m_strText; }

private:
    std::string m_strText;
    std::string m_strHost;
    std::string m_strPath;
    int m_iPort = 80;
    bool m_bValid = false;
};

class CHttpClientRequest {
public:
    CHttpClientRequest(const std::string& method, const URL& url);
    ~CHttpClientRequest();
    void SetMethod(const std::string& method);
    void SetContentType(const std::string& contentType);
    void AddHeaderField(const std::string& name, const std::string& value);
    void SetData(const std::string& body);
    void SetConnectionTimeout(int ms);
    void SetSendTimeout(int ms);
    void SetReceiveTimeout(int ms);

    const URL& GetURL() const { return m_url; }
    const std::string& GetMethod() const { return m_strMethod; }
    const std::string& GetContentType() const { return m_strContentType; }
    const std::vector<std::pair<std::string, std::string>>& GetHeaders() const { return m_vHeaders; }
    const std::string& GetData() const { return m_strData; }
    int GetConnectionTimeout() const { return m_iConnectionTimeout; }
    int GetSendTimeout() const { return m_iSendTimeout; }
    int GetReceiveTimeout() const { return m_iReceiveTimeout; }

private:
    URL m_url;
    std::string m_strMethod;
    std::string m_strContentType;
    std::vector<std::pair<std::string, std::string>> m_vHeaders;
    std::string m_strData;
    int m_iConnectionTimeout = 3000;
    int m_iSendTimeout = 3000;
    int m_iReceiveTimeout = 3000;
};

class CHttpClientResponse {
public:
    CHttpClientResponse();
    ~CHttpClientResponse();
    // The reply's Content-Length. A reply without one (chunked, or ended by closing the connection)
    // reports the number of body bytes received. 0 before a successful Send.
    uint64_t GetContentLength() const;
    // Copies the body out; false when no reply has been received.
    bool GetResponseData(std::string* out) const;
    int GetStatusCode() const { return m_iStatus; }

private:
    friend class HttpClient;
    bool m_bReceived = false;
    int m_iStatus = 0;
    uint64_t m_uContentLength = 0;
    std::string m_strBody;
};

class HttpClient {
public:
    struct Error {
        int code;  // 0 none; otherwise one of the values below
    };
    enum : int {
        kErrorNone = 0,
        kErrorInvalidUrl = 1,
        kErrorTransport = 2,
        kErrorTooLarge = 3,
        kErrorDeadline = 4,
        kErrorInvalidRequest = 5,  // a method or header that does not fit on its line
    };

    // Largest reply body read. A reply whose Content-Length announces more counts as received, with that
    // length and an empty body; one that sends more without announcing it fails the exchange, as does one
    // whose status line and headers pass ReplyParser::kMaxHeaderBytes (kErrorTooLarge both).
    static constexpr uint64_t kMaxBodyBytes = uint64_t{1024} * 1024;

    // Performs the exchange on the calling thread, within the sum of its three time-outs as a whole. True when
    // a reply (any status) was received whole.
    static bool Send(const CHttpClientRequest& request, CHttpClientResponse* response, Error* error);
};

}  // namespace Net
}  // namespace Zeph
