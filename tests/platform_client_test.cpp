// The platform server client: the configuration file as the plugin reads it, and both requests against a
// loopback server whose replies the test controls.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>

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
class ConfigDir {
public:
    ConfigDir() {
        m_root = vantra_test::MakeTempDir("vantra-config-");
        fs::create_directories(m_root + "/bin");
        fs::create_directories(m_root + "/plugins/vantraiot_plugin");
        vantra_test::SetEnv("VANTRA_EXE_DIR", m_root + "/bin/");
    }
    ~ConfigDir() {
        vantra_test::UnsetEnv("VANTRA_EXE_DIR");
        std::error_code ignored;
        fs::remove_all(m_root, ignored);
    }
    std::string Path() const { return m_root + "/plugins/vantraiot_plugin/VantraIotSMSConfig.xml"; }
    void Write(const std::string& text) const { std::ofstream(Path(), std::ios::binary) << text; }
    void Remove() const { fs::remove(Path()); }
    std::string Root() const { return m_root; }

private:
    std::string m_root;
};

std::string Read(const std::string& xml) {
    static ConfigDir dir;
    dir.Write(xml);
    CVantraLinkInterfaceMgr::GetInstance()->InitConfig();
    return CVantraLinkInterfaceMgr::GetInstance()->ServerAddr() + "|" +
           CVantraLinkInterfaceMgr::GetInstance()->ServerPort();
}

}  // namespace

// Declared first: the members start empty in a fresh process.
TEST(ConfigFile, UnusableFilesLeaveTheMembersAndStillReportSuccess) {
    ConfigDir dir;
    CVantraLinkInterfaceMgr* link = CVantraLinkInterfaceMgr::GetInstance();
    ScopedLogCapture capture;
    link->InitConfig();  // missing
    const std::string path = dir.Root() + "/bin/../plugins\\vantraiot_plugin\\VantraIotSMSConfig.xml";
    auto records = capture.Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].text.rfind("[PexloCommon::CVantraLinkInterfaceMgr::InitConfig][videowall][InitConfig]"
                                    "xml_setup_file_path:[" +
                                        path + "][..\\..\\code\\HttpClient\\VantraLinkInterfaceMgr(",
                                    0),
              0u);
    EXPECT_EQ(records[1].text.rfind("[PexloCommon::CVantraLinkInterfaceMgr::InitConfig][videowall][InitConfig] "
                                    "success! m_strServerAddr:[], m_strServerPort[].[",
                                    0),
              0u);
    for (const char* bad : {"", "<Config><VantraIotServer>1.2.3.4</VantraIotServer>",
                            "<Other><VantraIotServer>1"
                            "</VantraIotServer></Other>",
                            "\x01\x02binary\xff"}) {
        dir.Write(bad);
        link->InitConfig();
        EXPECT_EQ(link->ServerAddr(), "") << bad;
        EXPECT_EQ(link->ServerPort(), "") << bad;
    }
    // Nested entities that would expand to gigabytes: refused, nothing grows, nothing changes.
    std::string bomb = "<?xml version=\"1.0\"?><!DOCTYPE Config [<!ENTITY a \"" + std::string(32, 'a') + "\">";
    for (char name = 'b'; name <= 'j'; ++name) {
        bomb += std::string("<!ENTITY ") + name + " \"";
        for (int i = 0; i < 10; ++i) bomb += std::string("&") + static_cast<char>(name - 1) + ";";
        bomb += "\">";
    }
    bomb += "]><Config><VantraIotServer>&j;</VantraIotServer><VantraIotServerPort>1</VantraIotServerPort></Config>";
    dir.Write(bomb);
    link->InitConfig();
    EXPECT_EQ(link->ServerAddr(), "");
    EXPECT_EQ(link->ServerPort(), "");
    // Comments and processing instructions inside an entity count too: 10000 references to 100 KB would make
    // a gigabyte of address.
    std::string quiet =
        "<?xml version=\"1.0\"?><!DOCTYPE Config [<!ENTITY c \"<!--" + std::string(100000, 'c') + "-->\"><!ENTITY m \"";
    for (int i = 0; i < 10000; ++i) quiet += "&c;";
    dir.Write(quiet + "\">]><Config><VantraIotServer>&m;</VantraIotServer></Config>");
    link->InitConfig();
    EXPECT_EQ(link->ServerAddr(), "");
    // Too large to be a configuration: not read at all, even with a valid address inside.
    const std::string valid = "<Config><VantraIotServer>9.9.9.9</VantraIotServer></Config>";
    dir.Write(valid + std::string(CVantraLinkInterfaceMgr::kMaxConfigBytes, ' '));
    link->InitConfig();
    EXPECT_EQ(link->ServerAddr(), "");
    // Within the file limit, but one element's text beyond what a value may hold.
    dir.Write("<Config><VantraIotServer>" + std::string(CVantraLinkInterfaceMgr::kMaxValueBytes + 1, '7') +
              "</VantraIotServer><VantraIotServerPort>1</VantraIotServerPort></Config>");
    link->InitConfig();
    EXPECT_EQ(link->ServerAddr(), "");
    EXPECT_EQ(link->ServerPort(), "1");
    EXPECT_EQ(capture.CountContaining("success!"), 9u);
}

TEST(ConfigFile, ElementRulesOrderCaseDuplicatesAndTextContent) {
    EXPECT_EQ(Read("<Config><VantraIotServer>10.0.0.5</VantraIotServer>"
                   "<VantraIotServerPort>8080</VantraIotServerPort></Config>"),
              "10.0.0.5|8080");
    // Port before the server is not found; the earlier reading's port stays.
    EXPECT_EQ(Read("<Config><VantraIotServerPort>9</VantraIotServerPort>"
                   "<VantraIotServer>10.0.0.6</VantraIotServer></Config>"),
              "10.0.0.6|8080");
    EXPECT_EQ(Read("<Config><VantraIotServerPort>9090</VantraIotServerPort></Config>"), "10.0.0.6|9090");
    EXPECT_EQ(Read("<Config><VantraIotServer>first</VantraIotServer><VantraIotServerPort>1</VantraIotServerPort>"
                   "<VantraIotServer>second</VantraIotServer><VantraIotServerPort>2</VantraIotServerPort></Config>"),
              "first|1");
    EXPECT_EQ(Read("<Config><vantraiotserver>x</vantraiotserver><VantraIotServerPort>3</VantraIotServerPort></Config>"),
              "first|3");
    EXPECT_EQ(Read("<Config>\n  <VantraIotServer>\n    host.local\n  </VantraIotServer>\n"
                   "  <VantraIotServerPort>80<!-- note -->81</VantraIotServerPort>\n</Config>"),
              "\n    host.local\n  |8081");
    EXPECT_EQ(Read("<Config><Deep><VantraIotServer>no</VantraIotServer></Deep>"
                   "<VantraIotServer>a<b>c</b>d</VantraIotServer></Config>"),
              "acd|8081");
    // A file padded with NULs (or with anything after one) is read up to its first NUL.
    EXPECT_EQ(Read(std::string("<Config><VantraIotServer>z</VantraIotServer></Config>\0\0<Config>\0", 64)), "z|8081");
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
        Read("<Config><VantraIotServer>127.0.0.1</VantraIotServer><VantraIotServerPort>" + std::to_string(port) +
             "</VantraIotServerPort></Config>");
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

}  // namespace

TEST(PlatformRequests, AccessInformationReplies) {
    CVantraLinkInterfaceMgr* link = CVantraLinkInterfaceMgr::GetInstance();
    {
        // No configuration read: the URL is the scheme, ":" and the path, and the attempt fails.
        ScopedLogCapture capture;
        NubrixAccessInfo info;
        EXPECT_FALSE(link->GetNubrixAccessInfo(info));
        EXPECT_EQ(capture.CountContaining("[videowall]HttpSend timeout : [3000]."), 1u);
        EXPECT_EQ(capture.CountContaining("[GetNubrixAccessInfo] HttpSend failed! ["), 1u);
    }
    PlatformServer server;
    server.Reply(500, kFullData);
    NubrixAccessInfo info;
    ASSERT_TRUE(link->GetNubrixAccessInfo(info));
    EXPECT_EQ(info.accessToken, "secret-token");
    EXPECT_EQ(info.nubrixAddr, "cloud:1");
    EXPECT_EQ(info.appKey, "K");
    EXPECT_EQ(info.nubrixType, "3");
    EXPECT_EQ(info.authAddr, "https://a");
    EXPECT_EQ(info.openAddr, "https://o");
    httplib::Request seen = server.Last();
    EXPECT_EQ(seen.method, "POST");
    EXPECT_EQ(seen.body, "");
    EXPECT_EQ(seen.get_header_value("Content-Type"), "application/json");

    const NubrixAccessInfo before = info;
    for (const char* failing :
         {R"({"code":1,"data":{"appKey":"X"}})", "not json", R"({"data":{}})", R"({"code":"0"})"}) {
        ScopedLogCapture capture;
        server.Reply(200, failing);
        EXPECT_FALSE(link->GetNubrixAccessInfo(info)) << failing;
        EXPECT_EQ(info.appKey, before.appKey);
        EXPECT_EQ(capture.CountContaining("HttpSend failed!"), 0u);
        EXPECT_EQ(capture.CountContaining("HttpSend GetContentLength : ["), 1u);
    }
    {
        ScopedLogCapture capture;
        server.Reply(200, "");
        EXPECT_FALSE(link->GetNubrixAccessInfo(info));
        EXPECT_EQ(capture.CountContaining("HttpSend GetContentLength : [0]."), 1u);
        EXPECT_EQ(capture.CountContaining("[GetNubrixAccessInfo] HttpSend failed! ["), 1u);
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
        EXPECT_EQ(info.appKey, before.appKey);
        EXPECT_EQ(capture.CountContaining("HttpSend timeout : [3000]."), 1u);
        EXPECT_EQ(capture.CountContaining("HttpSend GetContentLength : [18446744073709551615]."), 1u);
        EXPECT_EQ(capture.CountContaining("[GetNubrixAccessInfo] HttpSend failed! ["), 1u);
    }
    server.Reply(200, R"({"code":0})");
    ASSERT_TRUE(link->GetNubrixAccessInfo(info));
    EXPECT_TRUE(info.accessToken.empty() && info.nubrixAddr.empty() && info.appKey.empty() && info.nubrixType.empty() &&
                info.authAddr.empty() && info.openAddr.empty());
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
