// Drives the real vantra-platform-emu executable over HTTP, the way the plugin does.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <rapidjson/document.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ZephBase/Encrypt.h"

extern char** environ;

namespace {

const std::string kAccess = "/videoWall/v1/NubrixAccessInfo/get";
const std::string kToken = "/videoWall/v1/DeviceTokenInfo/get";
const std::string kDevice = R"({"deviceSerial":"CAM001","channelNo":1})";

// The emulator as a child process; whatever a test asserts, the child is killed and reaped.
class Emulator {
public:
    explicit Emulator(std::vector<std::string> args) {
        args.insert(args.begin(), VANTRA_PLATFORM_EMU);
        std::vector<char*> argv;
        for (auto& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        int in[2] = {-1, -1};
        int out[2] = {-1, -1};
        m_errPath = testing::TempDir() + "platform_emu_XXXXXX";
        const int errFd = mkostemp(m_errPath.data(), O_CLOEXEC);
        if (errFd < 0 || pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, errFd, STDERR_FILENO);
        if (posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        m_in = in[1];
        close(out[1]);
        close(errFd);
        m_out = out[0];
        // The first line names the port; EOF instead means the emulator has exited.
        std::string line;
        char c = 0;
        pollfd pfd{m_out, POLLIN, 0};
        while (m_pid > 0 && poll(&pfd, 1, 30000) == 1 && read(m_out, &c, 1) == 1 && c != '\n') line += c;
        const std::string prefix = "vantra-platform-emu listening on 127.0.0.1:";
        if (line.rfind(prefix, 0) == 0) m_port = std::stoi(line.substr(prefix.size()));
    }
    ~Emulator() {
        if (m_pid > 0) kill(m_pid, SIGKILL);
        Finish(0);
        CloseStdin();
        if (m_out >= 0) close(m_out);
        unlink(m_errPath.c_str());
    }
    int port() const { return m_port; }
    void CloseStdin() {
        if (m_in >= 0) close(m_in);
        m_in = -1;
    }
    // Sends `sig` (0: none) and returns the exit code, or -1 when the child did not exit normally.
    int Finish(int sig = SIGTERM) {
        if (m_pid <= 0) return -1;
        if (sig != 0) kill(m_pid, sig);
        int status = 0;
        const pid_t pid = waitpid(m_pid, &status, 0);
        m_pid = -1;
        return pid > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string Stderr() const {
        std::ostringstream text;
        text << std::ifstream(m_errPath).rdbuf();
        return text.str();
    }
    httplib::Result Post(const std::string& path, const std::string& body) const {
        httplib::Client client("127.0.0.1", m_port);
        return client.Post(path.c_str(), body, "application/json");
    }

private:
    pid_t m_pid = -1;
    int m_in = -1;
    int m_out = -1;
    int m_port = 0;
    std::string m_errPath;
};

rapidjson::Document Json(const std::string& text) {
    rapidjson::Document doc;
    doc.Parse(text.c_str(), text.size());
    return doc;
}

int Code(const rapidjson::Value& reply) {
    return reply.IsObject() && reply.HasMember("code") && reply["code"].IsInt() ? reply["code"].GetInt() : INT_MIN;
}

std::string Text(const rapidjson::Value& obj, const char* key) {
    if (!obj.IsObject() || !obj.HasMember(key) || !obj[key].IsString()) return std::string("<no ") + key + ">";
    return obj[key].GetString();
}

const rapidjson::Value& Data(const rapidjson::Value& reply) {
    static const rapidjson::Value kNone;
    return reply.IsObject() && reply.HasMember("data") ? reply["data"] : kNone;
}

std::string Decode(const std::string& base64) {
    std::string out;
    EXPECT_TRUE(Zeph::Base::Encrypt::Base64Decode(out, base64)) << base64;
    return out;
}

TEST(PlatformEmu, AccessInfoReflectsOptions) {
    Emulator emu({"--port", "0", "--access-token", "tok~~~>>?!", "--cloud-type", "1", "--app-key", "k1",
                  "--nubrix-addr", "nx:1", "--auth-addr", "https://a", "--open-addr", "https://o"});
    ASSERT_GT(emu.port(), 0);
    auto res = emu.Post(kAccess, "");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->get_header_value("Content-Type"), "application/json");
    EXPECT_EQ(res->get_header_value("Content-Length"), std::to_string(res->body.size()));
    const auto reply = Json(res->body);
    EXPECT_EQ(Code(reply), 0);
    const auto& data = Data(reply);
    EXPECT_EQ(Text(data, "accessToken"), "dG9rfn5+Pj4/IQ==");  // standard alphabet, padded
    EXPECT_EQ(Decode(Text(data, "accessToken")), "tok~~~>>?!");
    const std::pair<const char*, const char*> fields[] = {{"nubrixType", "1"},
                                                          {"appKey", "k1"},
                                                          {"nubrixAddr", "nx:1"},
                                                          {"authAddr", "https://a"},
                                                          {"openAddr", "https://o"}};
    for (const auto& [key, value] : fields) EXPECT_EQ(Text(data, key), value) << key;
    EXPECT_EQ(emu.Finish(), 0);
}

TEST(PlatformEmu, DefaultsDeviceTokensAndBadRequests) {
    Emulator emu({"--port", "0"});
    ASSERT_GT(emu.port(), 0);
    emu.CloseStdin();  // ignored without --exit-on-stdin-eof
    auto access = emu.Post(kAccess, "");
    ASSERT_TRUE(access);
    EXPECT_EQ(Text(Data(Json(access->body)), "nubrixType"), "3");
    EXPECT_EQ(Decode(Text(Data(Json(access->body)), "accessToken")), "emu-access-token");

    struct Device {
        std::string body;
        std::string serial;
        int channel;
    };
    const std::vector<Device> devices = {{R"({"deviceSerial":"CAM001","channelNo":1})", "CAM001", 1},
                                         {R"({"deviceSerial":"Q\"7","channelNo":12})", "Q\"7", 12}};
    for (const auto& [body, serial, channel] : devices) {
        auto res = emu.Post(kToken, body);
        ASSERT_TRUE(res);
        const auto reply = Json(res->body);
        EXPECT_EQ(Code(reply), 0) << res->body;
        const auto token = Json(Decode(Text(Data(reply), "TokenJson")));
        ASSERT_TRUE(token.IsObject());
        EXPECT_EQ(token.MemberCount(), 3u);
        EXPECT_EQ(Text(token, "deviceSerial"), serial);
        EXPECT_TRUE(token.HasMember("channelNo") && token["channelNo"].IsInt() && token["channelNo"] == channel);
        EXPECT_NE(Text(token, "deviceToken").find(serial), std::string::npos);
    }
    for (const char* bad : {"not json", "[]", R"({"channelNo":1})", R"({"deviceSerial":"C","channelNo":"1"})",
                            R"({"deviceSerial":7,"channelNo":1})", R"({"deviceSerial":"C","channelNo":1.5})"}) {
        auto res = emu.Post(kToken, bad);
        ASSERT_TRUE(res);
        const auto reply = Json(res->body);
        EXPECT_EQ(Code(reply), 1001) << bad;
        EXPECT_FALSE(reply.HasMember("data")) << bad;
    }
    auto unknown = emu.Post("/videoWall/v1/Other/get", "{}");
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->status, 404);
    EXPECT_EQ(emu.Finish(SIGINT), 0);
    EXPECT_NE(emu.Stderr().find("POST " + kToken + " body=39 -> code 0"), std::string::npos) << emu.Stderr();
}

TEST(PlatformEmu, FaultCodeAndEmptyBodyFollowFaultPath) {
    {
        Emulator emu({"--port", "0", "--fault-code", "2001", "--fault-path", "token"});
        ASSERT_GT(emu.port(), 0);
        auto access = emu.Post(kAccess, "");
        auto token = emu.Post(kToken, R"({"deviceSerial":"CAM001","channelNo":1})");
        ASSERT_TRUE(access && token);
        EXPECT_EQ(Code(Json(access->body)), 0);
        EXPECT_EQ(Code(Json(token->body)), 2001);
        EXPECT_FALSE(Json(token->body).HasMember("data"));
        EXPECT_EQ(emu.Finish(), 0);
    }
    Emulator emu({"--port", "0", "--fault-empty", "--fault-path", "access"});
    ASSERT_GT(emu.port(), 0);
    auto access = emu.Post(kAccess, "");
    auto token = emu.Post(kToken, R"({"deviceSerial":"CAM001","channelNo":1})");
    ASSERT_TRUE(access && token);
    EXPECT_EQ(access->body, "");
    EXPECT_EQ(access->get_header_value("Content-Length"), "0");
    EXPECT_EQ(Code(Json(token->body)), 0);
    EXPECT_EQ(emu.Finish(), 0);
}

TEST(PlatformEmu, FaultNotJsonAndCloseHitBothEndpoints) {
    for (const char* fault : {"--fault-not-json", "--fault-close"}) {
        Emulator emu({"--port", "0", fault});
        ASSERT_GT(emu.port(), 0);
        for (const auto& path : {kAccess, kToken}) {
            auto res = emu.Post(path, R"({"deviceSerial":"CAM001","channelNo":1})");
            if (std::string(fault) == "--fault-close") {
                EXPECT_FALSE(res) << path;
                EXPECT_NE(res.error(), httplib::Error::Success) << path;
            } else {
                ASSERT_TRUE(res) << path;
                EXPECT_FALSE(res->body.empty());
                EXPECT_TRUE(Json(res->body).HasParseError()) << res->body;
            }
        }
        EXPECT_EQ(emu.Finish(), 0) << fault << emu.Stderr();
    }
}

TEST(PlatformEmu, FaultBodyTruncateAndHugeBody) {
    {
        Emulator emu({"--port", "0", "--fault-body", R"({"code":0,"data":{"acc)"});
        auto res = emu.Post(kAccess, "");
        ASSERT_TRUE(res);
        EXPECT_EQ(res->body, R"({"code":0,"data":{"acc)");
        EXPECT_EQ(emu.Finish(), 0) << emu.Stderr();
    }
    {
        Emulator emu({"--port", "0", "--fault-truncate", "--fault-path", "token"});
        auto cut = emu.Post(kToken, kDevice);
        EXPECT_FALSE(cut) << "a reply cut short is a transport error";
        auto whole = emu.Post(kAccess, "");
        ASSERT_TRUE(whole);
        EXPECT_EQ(Code(Json(whole->body)), 0);
        EXPECT_EQ(emu.Finish(), 0) << emu.Stderr();
    }
    {
        Emulator emu({"--port", "0", "--fault-huge-body", "3"});
        auto res = emu.Post(kAccess, "");
        ASSERT_TRUE(res);
        EXPECT_EQ(res->body.size(), 3u << 20);
        EXPECT_EQ(res->body.rfind("{\"code\":0, ", 0), 0u);
        EXPECT_EQ(emu.Finish(), 0) << emu.Stderr();
    }
}

// Many connections at once, kept alive between requests, half of them dropped by the fault.
TEST(PlatformEmu, FaultCloseUnderLoadSparesTheOtherPath) {
    Emulator emu({"--port", "0", "--fault-close", "--fault-path", "token"});
    ASSERT_GT(emu.port(), 0);
    std::atomic<int> answered{0};
    std::atomic<int> closed{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < 4; ++i) {
        clients.emplace_back([&] {
            httplib::Client client("127.0.0.1", emu.port());
            client.set_keep_alive(true);
            for (int n = 0; n < 25; ++n) {
                auto access = client.Post(kAccess.c_str(), "", "application/json");
                auto token = client.Post(kToken.c_str(), kDevice, "application/json");
                answered += access && Code(Json(access->body)) == 0;
                closed += !token;
            }
        });
    }
    for (auto& client : clients) client.join();
    EXPECT_EQ(answered, 100);
    EXPECT_EQ(closed, 100);
    EXPECT_EQ(emu.Finish(), 0) << emu.Stderr();
}

TEST(PlatformEmu, StopsAtEndOfStdinWhenAsked) {
    Emulator emu({"--port", "0", "--exit-on-stdin-eof"});
    ASSERT_GT(emu.port(), 0);
    ASSERT_TRUE(emu.Post(kAccess, ""));
    emu.CloseStdin();
    EXPECT_EQ(emu.Finish(0), 0);
    EXPECT_NE(emu.Stderr().find("stopping on end of stdin"), std::string::npos) << emu.Stderr();
}

TEST(PlatformEmu, FaultDelayHoldsTheReply) {
    Emulator emu({"--port", "0", "--fault-delay-ms", "300"});
    ASSERT_GT(emu.port(), 0);
    const auto start = std::chrono::steady_clock::now();
    auto res = emu.Post(kToken, R"({"deviceSerial":"CAM001","channelNo":1})");
    const auto elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(res);
    EXPECT_EQ(Code(Json(res->body)), 0);
    EXPECT_GE(elapsed, std::chrono::milliseconds(300));
    EXPECT_EQ(emu.Finish(), 0);
}

TEST(PlatformEmu, CommandLineAndListenErrors) {
    const std::vector<std::vector<std::string>> bad = {{"--bogus"},
                                                       {"--port", "70000"},
                                                       {"--fault-empty", "--fault-close"},
                                                       {"--fault-path", "sideways"},
                                                       {"--fault-huge-body", "0"},
                                                       {"--fault-truncate", "--fault-body", "x"}};
    for (const auto& args : bad) {
        Emulator emu(args);
        EXPECT_EQ(emu.port(), 0);
        EXPECT_EQ(emu.Finish(0), 2) << args[0];
        EXPECT_NE(emu.Stderr().find(args[0]), std::string::npos) << emu.Stderr();
    }

    // Hold a port so the emulator's bind must fail.
    const int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(holder, 0);
    std::unique_ptr<const int, void (*)(const int*)> closer(&holder, [](const int* fd) { close(*fd); });
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&addr), len), 0);
    ASSERT_EQ(listen(holder, 1), 0);
    ASSERT_EQ(getsockname(holder, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    const std::string port = std::to_string(ntohs(addr.sin_port));
    Emulator emu({"--port", port});
    EXPECT_EQ(emu.port(), 0);
    EXPECT_EQ(emu.Finish(0), 3);
    EXPECT_NE(emu.Stderr().find("127.0.0.1:" + port + ": address in use"), std::string::npos) << emu.Stderr();
}

}  // namespace
