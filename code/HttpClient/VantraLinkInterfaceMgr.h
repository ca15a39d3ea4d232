// The platform server client: the XML configuration file and the two HTTP/JSON requests.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "ZephNet/HttpClient.h"
#include "kestro/ThreadSafety.h"

namespace PexloCommon {

struct NubrixAccessInfo {
    std::string accessToken;  // decoded
    std::string nubrixAddr;
    std::string appKey;
    std::string nubrixType;  // "3" selects the SDK's client-library mode
    std::string authAddr;
    std::string openAddr;
};

// What a configuration text yields: each value only when its element was found and within bounds.
struct ConfigValues {
    bool haveAddr = false;
    bool havePort = false;
    std::string addr;
    std::string port;
    // Optional, anywhere among the Config element's children: the metrics file, taken from the plugin
    // directory when relative. Empty (or absent) means no metrics.
    std::string metricsFile;
};

// The platform requests made, by kind and outcome, for the metrics file.
struct PlatformCounts {
    uint64_t accessOk = 0, accessFailed = 0, tokenOk = 0, tokenFailed = 0;
};

class CVantraLinkInterfaceMgr {
public:
    static CVantraLinkInterfaceMgr* GetInstance();

    // Reads the server address and port from the configuration file; values it lacks stay as they were.
    void InitConfig();
    // The configuration file's text as InitConfig reads it; empty text or text with a NUL yields nothing.
    static ConfigValues ParseConfigText(const std::string& text);
    bool GetNubrixAccessInfo(NubrixAccessInfo& info);
    bool GetDeviceTokenInfo(const std::string& deviceSerial, int channelNo, std::string& tokenJson);
    bool HttpSend(Zeph::Net::CHttpClientRequest& request, Zeph::Net::CHttpClientResponse& response);

    // Reply bodies of the two requests: true when the reply's code is 0, and only then are the outputs set.
    static bool ParseAccessInfoReply(const std::string& body, NubrixAccessInfo& info);
    static bool ParseDeviceTokenReply(const std::string& body, std::string& tokenJson);

    std::string ServerAddr() const;
    std::string ServerPort() const;
    // The metrics file as the last InitConfig read it, resolved against the plugin directory; empty when off.
    // VANTRA_METRICS_FILE, when set, stands in for the configuration's element (vantra-host --metrics).
    std::string MetricsFile() const;
    PlatformCounts Counts() const;

    // Files larger than this are not read: a configuration holds two short values.
    static constexpr long kMaxConfigBytes = 1024L * 1024;
    // Bound on an element's text, entity expansions included.
    static constexpr size_t kMaxValueBytes = size_t{64} * 1024;

private:
    template <class T>
    friend class CSingletonHolder;
    CVantraLinkInterfaceMgr() = default;

    std::string BuildUrl(const char* path) const;
    // One POST to the platform server (with a JSON body when given): false when the exchange failed,
    // otherwise the reply body in `reply`.
    bool Post(const char* path, const std::string* body, std::string& reply);

    // A new reading (DeviceObject_Init after Fini) may overlap requests on other threads; requests copy
    // the two members under the shared lock and never hold it during the exchange. Lock order: a leaf.
    mutable Zeph::Base::SharedMutex m_mutexConfig;
    std::string m_strServerAddr GUARDED_BY(m_mutexConfig);
    std::string m_strServerPort GUARDED_BY(m_mutexConfig);
    std::string m_strMetricsFile GUARDED_BY(m_mutexConfig);

    std::atomic<uint64_t> m_iAccessOk{0}, m_iAccessFailed{0}, m_iTokenOk{0}, m_iTokenFailed{0};
};

}  // namespace PexloCommon
