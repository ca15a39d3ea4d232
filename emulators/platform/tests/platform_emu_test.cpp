// The platform emulator's command line, exit, log file and encoding; the plugin's tests exercise its faults.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <rapidjson/document.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "Portable.h"

namespace {

// Runs the emulator to its end with `args`; its exit code, and what it wrote to stderr in `err`.
int RunEmulator(const std::string& args, std::string* err) {
    const std::string path = testing::TempDir() + "platform_emu_err." + std::to_string(getpid());  // one per test
    const int code = vantra_test::RunCommand(std::string(VANTRA_PLATFORM_EMU) + " " + args + " </dev/null 2>" + path);
    *err = vantra_test::ReadFile(path);
    return code;
}

rapidjson::Document Post(int port, const std::string& path) {
    auto res = httplib::Client("127.0.0.1", port).Post(path.c_str(), "", "application/json");
    rapidjson::Document reply;
    if (res) reply.Parse(res->body.c_str());
    return reply;
}

TEST(PlatformEmu, StandardBase64ALogFileAndTheEndOfStdin) {
    const std::string log = testing::TempDir() + "platform_emu_log." + std::to_string(getpid());
    std::remove(log.c_str());
    vantra_test::ChildProcess emu;
    const std::string line =
        emu.Start({VANTRA_PLATFORM_EMU, "--port", "0", "--log-file", log, "--access-token", "tok~~~>>?!"});
    const std::string prefix = "vantra-platform-emu listening on 127.0.0.1:";
    ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
    const int port = std::stoi(line.substr(prefix.size()));
    const auto access = Post(port, "/videoWall/v1/NubrixAccessInfo/get");
    ASSERT_TRUE(access.IsObject() && access.HasMember("data"));
    EXPECT_STREQ(access["data"]["accessToken"].GetString(), "dG9rfn5+Pj4/IQ==");  // standard alphabet, padded
    EXPECT_EQ(emu.Stop(), 0);
    EXPECT_NE(vantra_test::ReadFile(log).find("POST /videoWall/v1/NubrixAccessInfo/get body=0 -> code 0"),
              std::string::npos)
        << vantra_test::ReadFile(log);

    std::string err;
    EXPECT_EQ(RunEmulator("--port 0 --exit-on-stdin-eof", &err), 0);
    EXPECT_NE(err.find("stopping on end of stdin"), std::string::npos) << err;
}

TEST(PlatformEmu, CommandLineErrors) {
    for (const std::string args :
         {"--bogus", "--port 70000", "--fault-empty --fault-close", "--fault-path sideways", "--fault-huge-body 0",
          "--fault-truncate --fault-body x", "--fault-trickle 0", "--fault-trickle 60001", "--fault-trickle x",
          "--fault-trickle 50 --fault-huge-body 1", "--fault-endless-header --fault-close"}) {
        std::string err;
        EXPECT_EQ(RunEmulator(args, &err), 2) << args;
        EXPECT_NE(err.find(args.substr(0, args.find(' '))), std::string::npos) << err;  // names the option
    }
}

// Cameras started together connect together. With the emulator not accepting at all, the kernel's queue alone
// must complete 256 connections; a short queue drops the rest's SYNs, and each then waits a second for a retry.
TEST(PlatformEmu, QueuesABurstOf256Connections) {
    vantra_test::ChildProcess emu;
    const std::string line = emu.Start({VANTRA_PLATFORM_EMU, "--port", "0"});
    const int port = std::atoi(line.c_str() + line.rfind(':') + 1);
    ASSERT_GT(port, 0) << line;
    ASSERT_EQ(kill(emu.Pid(), SIGSTOP), 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // One connection after another, each given 2 s: one the queue cannot hold would wait for a SYN retry.
    const timeval limit{2, 0};
    std::vector<int> sockets;
    int connected = 0;
    for (int i = 0; i < 256 && connected == i; ++i) {
        sockets.push_back(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        setsockopt(sockets.back(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
        connected += connect(sockets.back(), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == 0;
    }
    EXPECT_EQ(connected, 256);
    kill(emu.Pid(), SIGCONT);
    for (int sock : sockets) close(sock);
    EXPECT_EQ(emu.Stop(), 0);
}

}  // namespace
