// What the plugin's tests do not already exercise of the platform emulator: its command line, its exit, the
// encoding of what it sends and the requests it refuses. Its faults are exercised through the plugin.
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <rapidjson/document.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Portable.h"

namespace {

const std::string kToken = "/videoWall/v1/DeviceTokenInfo/get";

std::string Read(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

// Runs the emulator to its end with `args`; its exit code, and what it wrote to stderr in `err`.
int RunEmulator(const std::string& args, std::string* err) {
    const std::string path = testing::TempDir() + "platform_emu_err";
    const int code = vantra_test::RunCommand(std::string(VANTRA_PLATFORM_EMU) + " " + args + " </dev/null 2>" + path);
    *err = Read(path);
    return code;
}

rapidjson::Document Post(int port, const std::string& path, const std::string& body, int* status = nullptr) {
    auto res = httplib::Client("127.0.0.1", port).Post(path.c_str(), body, "application/json");
    rapidjson::Document reply;
    if (status != nullptr) *status = res ? res->status : -1;
    if (res) reply.Parse(res->body.c_str());
    return reply;
}

TEST(PlatformEmu, StandardBase64RefusedRequestsAndTheEndOfStdin) {
    const std::string log = testing::TempDir() + "platform_emu_log";
    std::remove(log.c_str());
    vantra_test::ChildProcess emu;
    const std::string line =
        emu.Start({VANTRA_PLATFORM_EMU, "--port", "0", "--log-file", log, "--access-token", "tok~~~>>?!"});
    const std::string prefix = "vantra-platform-emu listening on 127.0.0.1:";
    ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
    const int port = std::stoi(line.substr(prefix.size()));
    const auto access = Post(port, "/videoWall/v1/NubrixAccessInfo/get", "");
    ASSERT_TRUE(access.IsObject() && access.HasMember("data"));
    EXPECT_STREQ(access["data"]["accessToken"].GetString(), "dG9rfn5+Pj4/IQ==");  // standard alphabet, padded
    for (const char* bad : {"not json", "[]", R"({"channelNo":1})", R"({"deviceSerial":"C","channelNo":"1"})",
                            R"({"deviceSerial":7,"channelNo":1})", R"({"deviceSerial":"C","channelNo":1.5})"}) {
        const auto reply = Post(port, kToken, bad);
        ASSERT_TRUE(reply.IsObject()) << bad;
        EXPECT_EQ(reply["code"].GetInt(), 1001) << bad;
        EXPECT_FALSE(reply.HasMember("data")) << bad;
    }
    int status = 0;
    Post(port, "/videoWall/v1/Other/get", "{}", &status);
    EXPECT_EQ(status, 404);
    EXPECT_EQ(emu.Stop(), 0);
    EXPECT_NE(Read(log).find("POST " + kToken + " body=8 -> code 1001"), std::string::npos) << Read(log);

    std::string err;
    EXPECT_EQ(RunEmulator("--port 0 --exit-on-stdin-eof", &err), 0);
    EXPECT_NE(err.find("stopping on end of stdin"), std::string::npos) << err;
}

TEST(PlatformEmu, CommandLineAndListenErrors) {
    for (const std::string args :
         {"--bogus", "--port 70000", "--fault-empty --fault-close", "--fault-path sideways", "--fault-huge-body 0",
          "--fault-truncate --fault-body x", "--fault-trickle 0", "--fault-trickle 60001", "--fault-trickle x",
          "--fault-trickle 50 --fault-huge-body 1", "--fault-endless-header --fault-close"}) {
        std::string err;
        EXPECT_EQ(RunEmulator(args, &err), 2) << args;
        EXPECT_NE(err.find(args.substr(0, args.find(' '))), std::string::npos) << err;  // names the option
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
    std::string err;
    EXPECT_EQ(RunEmulator("--port " + port, &err), 3);
    close(holder);
    EXPECT_NE(err.find("127.0.0.1:" + port + ": address in use"), std::string::npos) << err;
}

}  // namespace
