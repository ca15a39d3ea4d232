// What the plugin's tests do not already exercise of the platform emulator: its command line, its exit, the
// encoding of what it sends and the requests it refuses. Its faults are exercised through the plugin.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <rapidjson/document.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

const std::string kAccess = "/videoWall/v1/NubrixAccessInfo/get";
const std::string kToken = "/videoWall/v1/DeviceTokenInfo/get";

// The emulator as a child process, its standard error in a file; killed and reaped at scope end.
class Emulator {
public:
    explicit Emulator(std::vector<std::string> args) {
        args.insert(args.begin(), VANTRA_PLATFORM_EMU);
        std::vector<char*> argv;
        for (auto& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        int in[2], out[2];
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
        close(out[1]);
        close(errFd);
        m_in = in[1];
        // The first line names the port; end of file instead means the emulator has exited.
        std::string line;
        char c = 0;
        while (m_pid > 0 && read(out[0], &c, 1) == 1 && c != '\n') line += c;
        close(out[0]);
        const std::string prefix = "vantra-platform-emu listening on 127.0.0.1:";
        if (line.rfind(prefix, 0) == 0) port = std::stoi(line.substr(prefix.size()));
    }
    ~Emulator() {
        if (m_pid > 0) kill(m_pid, SIGKILL);
        Finish(0);
        CloseStdin();
        unlink(m_errPath.c_str());
    }
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
    rapidjson::Document Post(const std::string& path, const std::string& body, int* status = nullptr) const {
        auto res = httplib::Client("127.0.0.1", port).Post(path.c_str(), body, "application/json");
        rapidjson::Document reply;
        if (status != nullptr) *status = res ? res->status : -1;
        if (res) reply.Parse(res->body.c_str());
        return reply;
    }
    int port = 0;

private:
    pid_t m_pid = -1;
    int m_in = -1;
    std::string m_errPath;
};

TEST(PlatformEmu, RepliesInStandardBase64AndRefusesBadRequests) {
    Emulator emu({"--port", "0", "--access-token", "tok~~~>>?!"});
    ASSERT_GT(emu.port, 0);
    emu.CloseStdin();  // ignored without --exit-on-stdin-eof
    const auto access = emu.Post(kAccess, "");
    ASSERT_TRUE(access.IsObject() && access.HasMember("data"));
    EXPECT_STREQ(access["data"]["accessToken"].GetString(), "dG9rfn5+Pj4/IQ==");  // standard alphabet, padded
    for (const char* bad : {"not json", "[]", R"({"channelNo":1})", R"({"deviceSerial":"C","channelNo":"1"})",
                            R"({"deviceSerial":7,"channelNo":1})", R"({"deviceSerial":"C","channelNo":1.5})"}) {
        const auto reply = emu.Post(kToken, bad);
        ASSERT_TRUE(reply.IsObject()) << bad;
        EXPECT_EQ(reply["code"].GetInt(), 1001) << bad;
        EXPECT_FALSE(reply.HasMember("data")) << bad;
    }
    int status = 0;
    emu.Post("/videoWall/v1/Other/get", "{}", &status);
    EXPECT_EQ(status, 404);
    EXPECT_EQ(emu.Finish(SIGINT), 0);
    EXPECT_NE(emu.Stderr().find("POST " + kToken + " body=8 -> code 1001"), std::string::npos) << emu.Stderr();
}

TEST(PlatformEmu, StopsAtEndOfStdinWhenAsked) {
    Emulator emu({"--port", "0", "--exit-on-stdin-eof"});
    ASSERT_GT(emu.port, 0);
    emu.CloseStdin();
    EXPECT_EQ(emu.Finish(0), 0);
    EXPECT_NE(emu.Stderr().find("stopping on end of stdin"), std::string::npos) << emu.Stderr();
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
        EXPECT_EQ(emu.port, 0);
        EXPECT_EQ(emu.Finish(0), 2) << args[0];
        EXPECT_NE(emu.Stderr().find(args[0]), std::string::npos) << emu.Stderr();
    }

    // A port held by another socket: the emulator's bind must fail.
    const int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(holder, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&addr), len), 0);
    ASSERT_EQ(listen(holder, 1), 0);
    ASSERT_EQ(getsockname(holder, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    const std::string port = std::to_string(ntohs(addr.sin_port));
    Emulator emu({"--port", port});
    close(holder);
    EXPECT_EQ(emu.port, 0);
    EXPECT_EQ(emu.Finish(0), 3);
    EXPECT_NE(emu.Stderr().find("127.0.0.1:" + port + ": address in use"), std::string::npos) << emu.Stderr();
}

}  // namespace
