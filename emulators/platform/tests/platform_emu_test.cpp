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

// A bare connection, for a reply no HTTP client would finish reading.
class RawPost {
public:
    RawPost(int port, const std::string& path) : m_fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port));
        const std::string request = "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 0\r\n\r\n";
        if (m_fd < 0 || connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
            send(m_fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
            Close();
    }
    ~RawPost() { Close(); }
    void Close() {
        if (m_fd >= 0) close(m_fd);
        m_fd = -1;
    }
    // Appends what arrives within `timeoutMs`; returns its length, 0 at end of stream, -1 on time-out or error.
    long Read(std::string* out, int timeoutMs) {
        pollfd pfd{m_fd, POLLIN, 0};
        char buffer[256];
        if (m_fd < 0 || poll(&pfd, 1, timeoutMs) != 1) return -1;
        const ssize_t got = recv(m_fd, buffer, sizeof(buffer), 0);
        if (got > 0) out->append(buffer, static_cast<size_t>(got));
        return got;
    }

private:
    int m_fd;
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

TEST(PlatformEmu, FaultTrickleNeverEndsTheHeadersYetStopsPromptly) {
    using std::chrono::milliseconds;
    using std::chrono::steady_clock;
    const std::string status = "HTTP/1.1 200 OK\r\n";
    {
        Emulator emu({"--port", "0", "--fault-trickle", "50", "--fault-path", "access"});
        ASSERT_GT(emu.port(), 0);
        RawPost post(emu.port(), kAccess);
        std::string got;
        while (got.size() < status.size() && post.Read(&got, 2000) > 0) {
        }
        ASSERT_EQ(got.substr(0, status.size()), status);
        // A client reading with a 300 ms time-out never times out, yet never sees the headers end.
        const auto end = steady_clock::now() + milliseconds(400);
        while (steady_clock::now() < end) ASSERT_GT(post.Read(&got, 300), 0) << got;
        const std::string header = got.substr(status.size());
        EXPECT_GE(header.size(), 3u) << header;
        EXPECT_LE(header.size(), 12u) << "not one byte per 50 ms: " << header;
        EXPECT_EQ(header.find_first_of("\r\n"), std::string::npos) << header;

        post.Close();
        const auto deadline = steady_clock::now() + std::chrono::seconds(3);
        while (emu.Stderr().find("until the client closed (fault)") == std::string::npos &&
               steady_clock::now() < deadline)
            std::this_thread::sleep_for(milliseconds(20));
        auto token = emu.Post(kToken, kDevice);
        ASSERT_TRUE(token);
        EXPECT_EQ(Code(Json(token->body)), 0);
        EXPECT_EQ(emu.Finish(), 0);
        EXPECT_NE(emu.Stderr().find("header bytes until the client closed (fault)"), std::string::npos) << emu.Stderr();
    }
    // With a minute between bytes, only a stop that does not wait out the pause is quick.
    Emulator emu({"--port", "0", "--fault-trickle", "60000"});
    ASSERT_GT(emu.port(), 0);
    RawPost post(emu.port(), kToken);
    std::string got;
    while (got.size() < status.size() && post.Read(&got, 2000) > 0) {
    }
    ASSERT_EQ(got, status);
    const auto start = steady_clock::now();
    EXPECT_EQ(emu.Finish(), 0);
    EXPECT_LT(std::chrono::duration_cast<milliseconds>(steady_clock::now() - start).count(), 3000);
    EXPECT_NE(emu.Stderr().find("trickled 0 header bytes until shutdown (fault)"), std::string::npos) << emu.Stderr();
}

TEST(PlatformEmu, CommandLineAndListenErrors) {
    const std::vector<std::vector<std::string>> bad = {{"--bogus"},
                                                       {"--port", "70000"},
                                                       {"--fault-empty", "--fault-close"},
                                                       {"--fault-path", "sideways"},
                                                       {"--fault-huge-body", "0"},
                                                       {"--fault-truncate", "--fault-body", "x"},
                                                       {"--fault-trickle", "0"},
                                                       {"--fault-trickle", "60001"},
                                                       {"--fault-trickle", "x"},
                                                       {"--fault-trickle", "50", "--fault-huge-body", "1"},
                                                       {"--fault-endless-header", "--fault-close"}};
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
