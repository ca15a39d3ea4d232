#include "VantraLinkInterfaceMgr.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "InstallLayout.h"
#include "PluginLog.h"
#include "Singleton.h"
#include "ZephBase/Encrypt.h"
#include "ZephBase/FileUtil.h"
#include "ZephProto/RapidJsonProto.h"
#include "platform/Platform.h"

namespace PexloCommon {

namespace {

constexpr const char* kPath = "..\\..\\code\\HttpClient\\VantraLinkInterfaceMgr";
constexpr const char* kConfigFileName = "VantraIotSMSConfig.xml";
constexpr const char* kAccessInfoPath = "/videoWall/v1/NubrixAccessInfo/get";
constexpr const char* kDeviceTokenPath = "/videoWall/v1/DeviceTokenInfo/get";
constexpr int kTimeoutMs = 3000;
constexpr uint64_t kUnknownLength = 18446744073709551615ULL;

// Keeps libxml2's complaints about a malformed file out of the host's standard error.
void SilentXmlError(void*, const char*, ...) {}  // NOLINT(cert-dcl50-cpp): libxml2's handler type

class XmlErrorsSilenced {
public:
    XmlErrorsSilenced() {
        m_previous = xmlGenericError;
        m_context = xmlGenericErrorContext;
        xmlSetGenericErrorFunc(nullptr, &SilentXmlError);
    }
    ~XmlErrorsSilenced() { xmlSetGenericErrorFunc(m_context, m_previous); }
    // A copy's destructor would put back the handler a second time, after the first had already left.
    XmlErrorsSilenced(const XmlErrorsSilenced&) = delete;
    XmlErrorsSilenced& operator=(const XmlErrorsSilenced&) = delete;

private:
    xmlGenericErrorFunc m_previous;
    void* m_context;
};

struct ContentBudget {
    size_t bytes = CVantraLinkInterfaceMgr::kMaxValueBytes;
    size_t visits = 100000;  // entity references to empty text cost nothing in bytes
};

// True when the node's text, entity references expanded, stays within the budget. Walks the tree without
// building the text, so a nested-entity bomb is caught before anything grows.
bool ContentWithinBudget(xmlNodePtr node, ContentBudget& budget, int depth) {
    if (depth > 64) return false;
    for (xmlNodePtr child = node->children; child != nullptr; child = child->next) {
        if (budget.visits-- == 0) return false;
        switch (child->type) {
            case XML_PI_NODE:
            case XML_COMMENT_NODE:
                // xmlNodeGetContent takes these in too, but only at the top of an entity's text.
                if (node->type != XML_ENTITY_DECL) break;
                [[fallthrough]];
            case XML_TEXT_NODE:
            case XML_CDATA_SECTION_NODE: {
                size_t length = child->content != nullptr ? static_cast<size_t>(xmlStrlen(child->content)) : 0;
                if (length > budget.bytes) return false;
                budget.bytes -= length;
                break;
            }
            case XML_ENTITY_REF_NODE: {
                xmlEntityPtr entity = xmlGetDocEntity(child->doc, child->name);
                if (entity != nullptr &&
                    !ContentWithinBudget(reinterpret_cast<xmlNodePtr>(entity), budget, depth + 1)) {
                    return false;
                }
                break;
            }
            case XML_ELEMENT_NODE:
                if (!ContentWithinBudget(child, budget, depth + 1)) return false;
                break;
            default:
                break;
        }
    }
    return true;
}

bool ReadElementText(xmlNodePtr node, std::string& out) {
    ContentBudget budget;
    if (!ContentWithinBudget(node, budget, 0)) return false;
    xmlChar* content = xmlNodeGetContent(node);
    out = content != nullptr ? reinterpret_cast<const char*>(content) : "";
    if (content != nullptr) xmlFree(content);
    return true;
}

bool IsElement(xmlNodePtr node, const char* name) {
    return node->type == XML_ELEMENT_NODE && xmlStrcmp(node->name, reinterpret_cast<const xmlChar*>(name)) == 0;
}

// The whole file as text, or empty when it is missing, empty, unreadable or too large.
std::string ReadConfigText(const std::string& path) {
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file) return std::string();
    if (std::fseek(file.get(), 0, SEEK_END) != 0) return std::string();
    long size = std::ftell(file.get());
    if (size <= 0 || size > CVantraLinkInterfaceMgr::kMaxConfigBytes) return std::string();
    std::string text(static_cast<size_t>(size), '\0');
    if (std::fseek(file.get(), 0, SEEK_SET) != 0) return std::string();
    size_t read = std::fread(&text[0], 1, text.size(), file.get());
    text.resize(read);
    return text;
}

}  // namespace

CVantraLinkInterfaceMgr* CVantraLinkInterfaceMgr::GetInstance() {
    return CSingletonHolder<CVantraLinkInterfaceMgr>::Get();
}

std::string CVantraLinkInterfaceMgr::ServerAddr() const {
    Zeph::Base::ReaderLock lock(m_mutexConfig);
    return m_strServerAddr;
}

std::string CVantraLinkInterfaceMgr::ServerPort() const {
    Zeph::Base::ReaderLock lock(m_mutexConfig);
    return m_strServerPort;
}

ConfigValues CVantraLinkInterfaceMgr::ParseConfigText(const std::string& text) {
    ConfigValues values;
    xmlDocPtr doc = nullptr;
    if (!text.empty()) {
        // The parser reads up to the first NUL, as it would from the zero-terminated file buffer.
        XmlErrorsSilenced silenced;
        doc = xmlParseDoc(reinterpret_cast<const xmlChar*>(text.c_str()));
    }
    xmlNodePtr config = nullptr;
    if (doc != nullptr) {
        for (xmlNodePtr node = xmlDocGetRootElement(doc); node != nullptr; node = node->next) {
            if (IsElement(node, "Config")) {
                config = node;
                break;
            }
        }
    }
    if (config != nullptr) {
        xmlNodePtr portStart = config->children;
        for (xmlNodePtr node = config->children; node != nullptr; node = node->next) {
            if (IsElement(node, "VantraIotServer")) {
                values.haveAddr = ReadElementText(node, values.addr);
                portStart = node->next;
                break;
            }
        }
        for (xmlNodePtr node = portStart; node != nullptr; node = node->next) {
            if (IsElement(node, "VantraIotServerPort")) {
                values.havePort = ReadElementText(node, values.port);
                break;
            }
        }
        for (xmlNodePtr node = config->children; node != nullptr; node = node->next) {
            if (IsElement(node, "VantraIotMetricsFile")) {
                if (!ReadElementText(node, values.metricsFile)) values.metricsFile.clear();
                break;
            }
        }
    }
    if (doc != nullptr) xmlFreeDoc(doc);
    return values;
}

void CVantraLinkInterfaceMgr::InitConfig() {
    static const char* kFunc = "PexloCommon::CVantraLinkInterfaceMgr::InitConfig";
    const std::string path = Zeph::Base::FileUtil::GetCurExeDir() + kPluginDirSuffix + "\\" + kConfigFileName;
    VANTRA_LOG_HERE(kLogProgress, kLogModule, "[%s][videowall][InitConfig]xml_setup_file_path:[%s][%s(%d)]", kFunc,
                    path.c_str(), kPath);

    const ConfigValues values = ParseConfigText(ReadConfigText(Zeph::Platform::NativePath(path)));

    std::string metrics = values.metricsFile;
    if (!metrics.empty() && !Zeph::Platform::IsAbsolutePath(metrics)) {
        metrics = Zeph::Base::FileUtil::GetCurExeDir() + kPluginDirSuffix + "\\" + metrics;
    }
    std::string currentAddr;
    std::string currentPort;
    {
        Zeph::Base::WriterLock lock(m_mutexConfig);
        if (values.haveAddr) m_strServerAddr = values.addr;
        if (values.havePort) m_strServerPort = values.port;
        m_strMetricsFile = metrics.empty() ? metrics : Zeph::Platform::NativePath(metrics);
        currentAddr = m_strServerAddr;
        currentPort = m_strServerPort;
    }
    VANTRA_LOG_HERE(kLogProgress, kLogModule,
                    "[%s][videowall][InitConfig] success! m_strServerAddr:[%s], m_strServerPort[%s].[%s(%d)]", kFunc,
                    currentAddr.c_str(), currentPort.c_str(), kPath);
}

std::string CVantraLinkInterfaceMgr::MetricsFile() const {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): the plugin only reads its environment, never writes it
    const char* forced = std::getenv("VANTRA_METRICS_FILE");
    if (forced != nullptr && *forced != '\0') return forced;
    Zeph::Base::ReaderLock lock(m_mutexConfig);
    return m_strMetricsFile;
}

PlatformCounts CVantraLinkInterfaceMgr::Counts() const {
    PlatformCounts counts;
    counts.accessOk = m_iAccessOk.load();
    counts.accessFailed = m_iAccessFailed.load();
    counts.tokenOk = m_iTokenOk.load();
    counts.tokenFailed = m_iTokenFailed.load();
    return counts;
}

std::string CVantraLinkInterfaceMgr::BuildUrl(const char* path) const {
    Zeph::Base::ReaderLock lock(m_mutexConfig);
    return "http://" + m_strServerAddr + ":" + m_strServerPort + path;
}

bool CVantraLinkInterfaceMgr::HttpSend(Zeph::Net::CHttpClientRequest& request,
                                       Zeph::Net::CHttpClientResponse& response) {
    static const char* kFunc = "PexloCommon::CVantraLinkInterfaceMgr::HttpSend";
    VANTRA_LOG_HERE(kLogProgress, kLogModule, "[%s][videowall]HttpSend timeout : [%d].[%s(%d)]", kFunc, kTimeoutMs,
                    kPath);
    request.SetReceiveTimeout(kTimeoutMs);
    request.SetSendTimeout(kTimeoutMs);
    request.SetConnectionTimeout(kTimeoutMs);
    Zeph::Net::HttpClient::Error error{};
    // A reply over the body bound is refused (unread when announced, cut off when not); only a record of our own
    // tells an operator why the exchange came to nothing.
    const auto refusedForSize = [&] {
        VANTRA_LOG_HERE(kLogFailure, kLogModule, "[%s][videowall]HttpSend reply refused: over %llu bytes.[%s(%d)]",
                        kFunc, static_cast<unsigned long long>(Zeph::Net::HttpClient::kMaxBodyBytes), kPath);
    };
    if (!Zeph::Net::HttpClient::Send(request, &response, &error)) {
        if (error.code == Zeph::Net::HttpClient::kErrorTooLarge) refusedForSize();
        return false;
    }
    const uint64_t length = response.GetContentLength();
    VANTRA_LOG_HERE(kLogProgress, kLogModule, "[%s][videowall]HttpSend GetContentLength : [%llu].[%s(%d)]", kFunc,
                    static_cast<unsigned long long>(length), kPath);
    if (length > Zeph::Net::HttpClient::kMaxBodyBytes && length != kUnknownLength) refusedForSize();
    return length != 0 && length != kUnknownLength;
}

bool CVantraLinkInterfaceMgr::Post(const char* path, const std::string* body, std::string& reply) {
    Zeph::Net::URL url(BuildUrl(path));
    Zeph::Net::CHttpClientRequest request("POST", url);
    request.SetMethod("POST");
    request.SetContentType("application/json");
    if (body != nullptr) {
        request.AddHeaderField("Content-Length", std::to_string(body->size()));
        request.SetData(*body);
    }
    Zeph::Net::CHttpClientResponse response;
    if (!HttpSend(request, response)) return false;
    reply.clear();
    response.GetResponseData(&reply);
    return true;
}

bool CVantraLinkInterfaceMgr::ParseAccessInfoReply(const std::string& body, NubrixAccessInfo& info) {
    proto::CRapidJsonProto reply;
    reply.Parse(body);
    if (reply.GetInt("/code", -1) != 0) return false;
    Zeph::Base::Encrypt::Base64Decode(info.accessToken, reply.GetString("/data/accessToken", ""));
    info.nubrixAddr = reply.GetString("/data/nubrixAddr", "");
    info.appKey = reply.GetString("/data/appKey", "");
    info.nubrixType = reply.GetString("/data/nubrixType", "");
    info.authAddr = reply.GetString("/data/authAddr", "");
    info.openAddr = reply.GetString("/data/openAddr", "");
    return true;
}

bool CVantraLinkInterfaceMgr::ParseDeviceTokenReply(const std::string& body, std::string& tokenJson) {
    proto::CRapidJsonProto reply;
    reply.Parse(body);
    if (reply.GetInt("/code", -1) != 0) return false;
    Zeph::Base::Encrypt::Base64Decode(tokenJson, reply.GetString("/data/TokenJson", ""));
    return true;
}

bool CVantraLinkInterfaceMgr::GetNubrixAccessInfo(NubrixAccessInfo& info) {
    static const char* kFunc = "PexloCommon::CVantraLinkInterfaceMgr::GetNubrixAccessInfo";
    std::string reply;
    if (!Post(kAccessInfoPath, nullptr, reply)) {
        ++m_iAccessFailed;
        VANTRA_LOG_HERE(kLogFailure, kLogModule, "[%s][GetNubrixAccessInfo] HttpSend failed! [%s(%d)]", kFunc, kPath);
        return false;
    }
    if (!ParseAccessInfoReply(reply, info)) {
        ++m_iAccessFailed;
        return false;
    }
    ++m_iAccessOk;
    VANTRA_LOG_HERE(kLogProgress, kLogModule, "[%s][GetNubrixAccessInfo] success! [%s(%d)]", kFunc, kPath);
    return true;
}

bool CVantraLinkInterfaceMgr::GetDeviceTokenInfo(const std::string& deviceSerial, int channelNo,
                                                 std::string& tokenJson) {
    static const char* kFunc = "PexloCommon::CVantraLinkInterfaceMgr::GetDeviceTokenInfo";
    auto request = std::make_shared<proto::CRapidJsonProto>();
    request->SetString("/deviceSerial", deviceSerial);
    request->SetInt("/channelNo", channelNo);
    const std::string body = request->Serialize(0);
    std::string reply;
    if (!Post(kDeviceTokenPath, &body, reply)) {
        ++m_iTokenFailed;
        VANTRA_LOG_HERE(kLogFailure, kLogModule, "[%s][GetDeviceTokenInfo] HttpSend failed! [%s(%d)]", kFunc, kPath);
        return false;
    }
    const bool ok = ParseDeviceTokenReply(reply, tokenJson);
    ++(ok ? m_iTokenOk : m_iTokenFailed);
    return ok;
}

}  // namespace PexloCommon
