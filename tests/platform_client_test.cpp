// The platform server client: the configuration file as the plugin reads it, and both requests against a
// loopback server whose replies the test controls.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>

#include "HttpClient/VantraLinkInterfaceMgr.h"
#include "LoopbackServer.h"
#include "Portable.h"
#include "ZephBase/Encrypt.h"
#include "ZephBase/Log.h"

using PexloCommon::CVantraLinkInterfaceMgr;
using PexloCommon::NubrixAccessInfo;
using Zeph::Base::details::ScopedLogCapture;

namespace {

namespace fs = std::filesystem;

// An executable directory of our own, so the configuration file can be written freely.
struct ConfigDir {
    const std::string root = vantra_test::MakeTempDir("vantra-config-");
    ConfigDir() {
        fs::create_directories(root + "/bin");
        fs::create_directories(root + "/plugins/vantraiot_plugin");
        vantra_test::SetEnv("VANTRA_EXE_DIR", root + "/bin/");
    }
    ~ConfigDir() {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
} g_dir;

// Writes `xml` as the configuration, reads it, and answers "address|port".
std::string Read(const std::string& xml) {
    std::ofstream(g_dir.root + "/plugins/vantraiot_plugin/VantraIotSMSConfig.xml", std::ios::binary) << xml;
    CVantraLinkInterfaceMgr* link = CVantraLinkInterfaceMgr::GetInstance();
    link->InitConfig();
    return link->ServerAddr() + "|" + link->ServerPort();
}

std::string Config(const std::string& inner) { return "<Config>" + inner + "</Config>"; }
std::string Server(const std::string& text) { return "<VantraIotServer>" + text + "</VantraIotServer>"; }
std::string Port(const std::string& text) { return "<VantraIotServerPort>" + text + "</VantraIotServerPort>"; }

}  // namespace

// Declared first: the members start empty in a fresh process.
TEST(ConfigFile, UnusableFilesChangeNothingAndElementRulesHold) {
    const std::string path = g_dir.root + "/bin/../plugins\\vantraiot_plugin\\VantraIotSMSConfig.xml";
    ScopedLogCapture capture;
    CVantraLinkInterfaceMgr::GetInstance()->InitConfig();  // missing
    const std::string head = "[PexloCommon::CVantraLinkInterfaceMgr::InitConfig][videowall][InitConfig]";
    const std::string starts[] = {
        head + "xml_setup_file_path:[" + path + "][..\\..\\code\\HttpClient\\VantraLinkInterfaceMgr(",
        head + " success! m_strServerAddr:[], m_strServerPort[].["};
    auto records = capture.Records();
    ASSERT_EQ(records.size(), 2u);
    for (size_t i = 0; i < 2; ++i) EXPECT_EQ(records[i].text.rfind(starts[i], 0), 0u) << records[i].text;

    // Nested entities that would expand to gigabytes: refused, nothing grows, nothing changes.
    std::string bomb = "<?xml version=\"1.0\"?><!DOCTYPE Config [<!ENTITY a \"" + std::string(32, 'a') + "\">";
    for (char name = 'b'; name <= 'j'; ++name) {
        bomb += std::string("<!ENTITY ") + name + " \"";
        for (int i = 0; i < 10; ++i) bomb += std::string("&") + static_cast<char>(name - 1) + ";";
        bomb += "\">";
    }
    // Comments and processing instructions inside an entity count too: 10000 references to 100 KB would make
    // a gigabyte of address.
    std::string quiet =
        "<?xml version=\"1.0\"?><!DOCTYPE Config [<!ENTITY c \"<!--" + std::string(100000, 'c') + "-->\"><!ENTITY m \"";
    for (int i = 0; i < 10000; ++i) quiet += "&c;";
    const std::string unusable[] = {
        "", "<Config>" + Server("1.2.3.4"), "<Other>" + Server("1") + "</Other>", "\x01\x02binary\xff",
        bomb + "]>" + Config(Server("&j;") + Port("1")), quiet + "\">]>" + Config(Server("&m;")),
        // Too large to be a configuration: not read at all, even with a valid address inside.
        Config(Server("9.9.9.9")) + std::string(CVantraLinkInterfaceMgr::kMaxConfigBytes, ' ')};
    for (const std::string& text : unusable) EXPECT_EQ(Read(text), "|") << text.substr(0, 60);
    // Within the file limit, but one element's text beyond what a value may hold.
    EXPECT_EQ(Read(Config(Server(std::string(CVantraLinkInterfaceMgr::kMaxValueBytes + 1, '7')) + Port("1"))), "|1");
    EXPECT_EQ(capture.CountContaining("success!"), 9u);

    // Read in turn: an element a reading does not find keeps the earlier reading's value.
    const std::pair<std::string, const char*> cases[] = {
        {Config(Server("10.0.0.5") + Port("8080")), "10.0.0.5|8080"},
        {Config(Port("9") + Server("10.0.0.6")), "10.0.0.6|8080"},  // the port before the server is not found
        {Config(Port("9090")), "10.0.0.6|9090"},
        {Config(Server("first") + Port("1") + Server("second") + Port("2")), "first|1"},
        {Config("<vantraiotserver>x</vantraiotserver>" + Port("3")), "first|3"},
        {Config("\n  " + Server("\n    host.local\n  ") + "\n  " + Port("80<!-- note -->81") + "\n"),
         "\n    host.local\n  |8081"},
        {Config("<Deep>" + Server("no") + "</Deep>" + Server("a<b>c</b>d")), "acd|8081"},
        // A file padded with NULs (or with anything after one) is read up to its first NUL.
        {std::string("<Config><VantraIotServer>z</VantraIotServer></Config>\0\0<Config>\0", 64), "z|8081"}};
    for (const auto& c : cases) EXPECT_EQ(Read(c.first), c.second) << c.first;
}

namespace {

// The platform server's two paths, answered by `handler`; the configuration points at it.
class PlatformServer : public vantra_test::LoopbackServer {
public:
    std::function<void(const httplib::Request&, httplib::Response&)> handler;

    PlatformServer() {
        auto serve = [this](const httplib::Request& req, httplib::Response& res) {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_last = req;
            }
            handler(req, res);
        };
        server.Post("/videoWall/v1/NubrixAccessInfo/get", serve);
        server.Post("/videoWall/v1/DeviceTokenInfo/get", serve);
        Start();
        Read(Config(Server("127.0.0.1") + Port(std::to_string(port))));
    }
    void Reply(int status, const std::string& body) {
        handler = [status, body](const httplib::Request&, httplib::Response& res) {
            res.status = status;
            res.set_content(body, "application/json");
        };
    }
    httplib::Request Last() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_last;
    }

private:
    std::mutex m_mutex;
    httplib::Request m_last;
};

const std::string kFullData = R"({"code":0,"msg":"ok","data":{"accessToken":")" +
                              Zeph::Base::Encrypt::Base64Encode("secret-token") +
                              R"(","nubrixAddr":"cloud:1","appKey":"K","nubrixType":"3","authAddr":"https://a",)"
                              R"("openAddr":"https://o"}})";

std::string Fields(const NubrixAccessInfo& info) {
    return info.accessToken + "|" + info.nubrixAddr + "|" + info.appKey + "|" + info.nubrixType + "|" + info.authAddr +
           "|" + info.openAddr;
}

}  // namespace

TEST(PlatformRequests, AccessInformationReplies) {
    CVantraLinkInterfaceMgr* link = CVantraLinkInterfaceMgr::GetInstance();
    NubrixAccessInfo info;
    {
        // Not yet pointed at a server: the send itself fails.
        ScopedLogCapture capture;
        EXPECT_FALSE(link->GetNubrixAccessInfo(info));
        EXPECT_EQ(capture.CountContaining("[videowall]HttpSend timeout : [3000]."), 1u);
        EXPECT_EQ(capture.CountContaining("[GetNubrixAccessInfo] HttpSend failed! ["), 1u);
    }
    PlatformServer server;
    server.Reply(500, kFullData);  // the status is not looked at
    ASSERT_TRUE(link->GetNubrixAccessInfo(info));
    EXPECT_EQ(Fields(info), "secret-token|cloud:1|K|3|https://a|https://o");
    httplib::Request seen = server.Last();
    EXPECT_EQ(seen.body, "");
    EXPECT_EQ(seen.get_header_value("Content-Type"), "application/json");

    // Refused replies leave the information as it was; an empty body fails the send itself.
    for (const std::string failing :
         {R"({"code":1,"data":{"appKey":"X"}})", "not json", R"({"data":{}})", R"({"code":"0"})", ""}) {
        ScopedLogCapture capture;
        server.Reply(200, failing);
        EXPECT_FALSE(link->GetNubrixAccessInfo(info)) << failing;
        EXPECT_EQ(info.appKey, "K");
        EXPECT_EQ(capture.CountContaining("HttpSend failed!"), failing.empty() ? 1u : 0u) << failing;
        EXPECT_EQ(capture.CountContaining("HttpSend GetContentLength : [" + std::to_string(failing.size()) + "]."), 1u);
    }
    {
        // A length of all 64 bits set fails the send after both records, whatever body follows.
        ScopedLogCapture capture;
        server.handler = [](const httplib::Request&, httplib::Response& res) {
            res.set_content_provider(SIZE_MAX, "application/json", [](size_t, size_t, httplib::DataSink& sink) {
                sink.write(kFullData.data(), kFullData.size());
                return false;
            });
        };
        EXPECT_FALSE(link->GetNubrixAccessInfo(info));
        EXPECT_EQ(capture.CountContaining("HttpSend GetContentLength : [18446744073709551615]."), 1u);
        EXPECT_EQ(capture.CountContaining("[GetNubrixAccessInfo] HttpSend failed! ["), 1u);
    }
    server.Reply(200, R"({"code":0})");
    ASSERT_TRUE(link->GetNubrixAccessInfo(info));
    EXPECT_EQ(Fields(info), "|||||");
}

TEST(PlatformRequests, DeviceTokenRequestBodyAndReply) {
    PlatformServer server;
    CVantraLinkInterfaceMgr* link = CVantraLinkInterfaceMgr::GetInstance();
    const std::string token = R"({"deviceSerial":"AB12","channelNo":2,"deviceToken":"t"})";
    server.Reply(200, R"({"code":0,"data":{"TokenJson":")" + Zeph::Base::Encrypt::Base64Encode(token) + "\"}}");
    std::string json;
    ASSERT_TRUE(link->GetDeviceTokenInfo("AB12", 2, json));
    EXPECT_EQ(json, token);
    httplib::Request seen = server.Last();
    EXPECT_EQ(seen.body, R"({"deviceSerial":"AB12","channelNo":2})");
    EXPECT_EQ(seen.get_header_value("Content-Length"), std::to_string(seen.body.size()));
    EXPECT_EQ(seen.get_header_value_count("Content-Length"), 1u);

    server.Reply(200, R"({"code":3})");
    std::string untouched = "before";
    EXPECT_FALSE(link->GetDeviceTokenInfo("AB12", 2, untouched));
    EXPECT_EQ(untouched, "before");
}
