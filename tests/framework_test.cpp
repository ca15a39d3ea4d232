// The framework services the plugin builds on: log, thread base, JSON, HTTP, locks.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "ZephBase/Log.h"
#include "ZephBase/Thread.h"
#include "ZephNet/HttpClient.h"
#include "ZephNet/HttpReply.h"
#include "ZephProto/RapidJsonProto.h"
#include "kestro/kestro.h"

namespace Net = Zeph::Net;
using Zeph::Base::details::SarnFormatLog;
using Zeph::Base::details::ScopedLogCapture;

TEST(Log, FormatsBoundsAndKeepsLineBreaksInsideRecords) {
    ScopedLogCapture capture;
    SarnFormatLog(3, "VantraIotSMSPlugin", "[%s][x] value:%d[%s(%d)]", "A::B", 42, "..\\..\\code\\X", 7);
    // A record far longer than the stack buffer is kept, and a hostile size is bounded.
    const std::string longText(5000, 'u'), huge(200000, 'h');
    SarnFormatLog(5, "m", "%s", longText.c_str());
    SarnFormatLog(5, "m", "%s", huge.c_str());
    auto records = capture.Records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].level, 3);
    EXPECT_EQ(records[0].module, "VantraIotSMSPlugin");
    EXPECT_EQ(records[0].text, "[A::B][x] value:42[..\\..\\code\\X(7)]");
    EXPECT_EQ(records[1].text, longText);
    EXPECT_LT(records[2].text.size(), huge.size());

    // Line breaks from outside stay inside their record in the file (runs share it: found by this run's mark).
    const std::string mark = std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    const std::string url = "rtsp://x/live?a=" + mark + "\n2026-01-01 00:00:00.000 5 1 m forged\r\nend";
    SarnFormatLog(5, "m", "url:%s", url.c_str());
    EXPECT_EQ(capture.Count("m", "url:" + url), 1u);
    Zeph::Base::details::FlushLog();
    const std::string path = Zeph::Base::details::LogFilePath();
    EXPECT_NE(path.find("VantraIotSMSPlugin.log"), std::string::npos);
    std::ifstream file(path, std::ios::binary);
    int kept = 0, forged = 0;
    for (std::string line; std::getline(file, line);) {
        forged += line.rfind("2026-01-01 00:00:00.000", 0) == 0;
        kept += line.find("url:rtsp://x/live?a=" + mark + "\\n2026-01-01 00:00:00.000 5 1 m forged\\r\\nend") !=
                std::string::npos;
    }
    EXPECT_EQ(forged, 0);
    EXPECT_EQ(kept, 1);
}

namespace {
class CountingThread : public Zeph::Base::CSingleBaseThreadNoAssert {
public:
    ~CountingThread() override { EndThread(); }
    std::atomic<int> calls{0};
    std::atomic<bool> keepGoing{true};
    std::atomic<int> selfEnd{0};  // set to 1: the first pass calls EndThread (2), then goes on working (3)

protected:
    bool Run() override {
        ++calls;
        if (selfEnd.load() == 1) {
            EndThread();
            selfEnd = 2;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            selfEnd = 3;
        }
        return keepGoing.load();
    }
};
}  // namespace

TEST(ThreadBase, PassesPausesWakesAndEnds) {
    CountingThread thread;
    ASSERT_TRUE(thread.BeginThread(5));
    EXPECT_TRUE(thread.BeginThread(5));  // already running: no second thread
    ASSERT_TRUE(thread.WaitForPass(2, std::chrono::seconds(10)));
    thread.EndThread();
    EXPECT_FALSE(thread.IsThreadRunning());
    EXPECT_EQ(static_cast<uint64_t>(thread.calls.load()), thread.PassCount()) << "joined: every pass complete";

    // A pause of an hour: a wake runs the next pass at once, and EndThread still returns at once.
    CountingThread slow;
    ASSERT_TRUE(slow.BeginThread(3600 * 1000));
    ASSERT_TRUE(slow.WaitForPass(0, std::chrono::seconds(10)));
    slow.WakeThread();
    ASSERT_TRUE(slow.WaitForPass(1, std::chrono::seconds(10)));
    slow.EndThread();
    EXPECT_EQ(slow.calls.load(), 2);

    // Run() returning false ends the loop; the thread can be started again.
    CountingThread once;
    once.keepGoing = false;
    ASSERT_TRUE(once.BeginThread(1));
    while (once.IsThreadRunning()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(once.calls.load(), 1);
    ASSERT_TRUE(once.BeginThread(1));
    ASSERT_TRUE(once.WaitForPass(1, std::chrono::seconds(10)));

    // EndThread from inside Run(): the owner's EndThread still waits for the pass, whose object it may then destroy.
    CountingThread self;
    self.selfEnd = 1;
    ASSERT_TRUE(self.BeginThread(1));
    while (self.selfEnd.load() < 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    self.EndThread();
    EXPECT_EQ(self.selfEnd.load(), 3);
    EXPECT_EQ(self.calls.load(), 1);
}

TEST(Json, GetSetAtPointersWithDefaultsAndMemberOrder) {
    // Writing, member order included, is pinned by the device token request the platform client tests check.
    proto::CRapidJsonProto in;
    EXPECT_TRUE(in.Parse(R"({"code":0,"data":{"appKey":"k","n":"7","big":4294967296,"f":1.5}})"));
    EXPECT_EQ(in.GetInt("/code", -1), 0);
    EXPECT_EQ(in.GetString("/data/appKey", ""), "k");
    EXPECT_EQ(in.GetString("/data/missing", "def"), "def");
    EXPECT_EQ(in.GetInt("/data/n", -1), -1);    // a string is not an integer
    EXPECT_EQ(in.GetInt("/data/big", -1), -1);  // beyond 32 bits
    EXPECT_EQ(in.GetInt("/data/f", -1), -1);
    EXPECT_EQ(in.GetString("/data/appKey/x", "d"), "d");
    EXPECT_EQ(in.GetString("no-leading-slash", "d"), "d");

    for (const char* bad : {"", "not json", "{\"code\":0", "{\"code\":0} trailing", "[1,2]", "7"}) {
        proto::CRapidJsonProto doc;
        doc.Parse(bad);
        EXPECT_EQ(doc.GetInt("/code", -1), -1) << bad;
        EXPECT_EQ(doc.GetString("/data/appKey", ""), "") << bad;
    }
    // Refused whole: numbers beyond a double (some the parser lets through as infinity), nesting that overflows.
    for (const std::string& refused : {std::string(R"({"code":0,"n":1e400})"), std::string(200000, '['),
                                       std::string(R"({"code":0,"n":[-22222222e302]})"),
                                       std::string(R"({"code":0,"d":{"n":17976931348623158e292}})")}) {
        proto::CRapidJsonProto doc;
        EXPECT_FALSE(doc.Parse(refused)) << refused.substr(0, 40);
        EXPECT_EQ(doc.GetInt("/code", -1), -1) << refused.substr(0, 40);
        EXPECT_EQ(doc.Serialize(0), "{}") << refused.substr(0, 40);
    }
    proto::CRapidJsonProto largest;
    EXPECT_TRUE(largest.Parse(R"({"code":0,"n":17976931348623157e292,"tiny":1e-400})"));
    EXPECT_EQ(largest.Serialize(0), R"({"code":0,"n":1.7976931348623157e308,"tiny":0.0})");
}

// Exchanges are pinned by the platform client's tests, which send through this client; these never get that far.
TEST(Http, BadRequestsAreRefusedBeforeAnyExchange) {
    Net::CHttpClientResponse response;
    // A header that would start another line, then URLs the client cannot use.
    using Client = Net::HttpClient;
    const std::pair<const char*, int> cases[] = {{"http://127.0.0.1:1/json", Client::kErrorInvalidRequest},
                                                 {"http://:/videoWall", Client::kErrorInvalidUrl},
                                                 {"https://127.0.0.1:1/x", Client::kErrorInvalidUrl},
                                                 {"http://127.0.0.1:99999/x", Client::kErrorInvalidUrl},
                                                 {"http://127.0.0.1: 80/x", Client::kErrorInvalidUrl},
                                                 {"http://host name:80/x", Client::kErrorInvalidUrl}};
    for (const auto& [url, code] : cases) {
        Net::CHttpClientRequest request("POST", Net::URL(url));
        if (code == Client::kErrorInvalidRequest) request.AddHeaderField("X-Note", "a\r\nX-Injected: 1");
        Client::Error error{0};
        EXPECT_FALSE(Client::Send(request, &response, &error)) << url;
        EXPECT_EQ(error.code, code) << url;
    }
}

namespace {
using Status = Net::ReplyParser::Status;
struct ReplyCase {
    const char* what;
    std::string bytes;
    bool close;  // the peer closes after the bytes
    Status status;
    int code = 0;
    std::string body = "";
    uint64_t reported = 0;  // announced length, or body size when none was announced
};

// `text` grown by `line` until it passes `bound` bytes.
std::string Grow(std::string text, const std::string& line, size_t bound) {
    while (text.size() <= bound) text += line;
    return text;
}
}  // namespace

// Every case is fed whole and then byte by byte: framing must not depend on how the bytes arrive.
TEST(Http, ReplyFramingAndBounds) {
    const size_t kHead = Net::ReplyParser::kMaxHeaderBytes;
    const std::string ok = "HTTP/1.1 200 OK\r\n", chunked = ok + "Transfer-Encoding: chunked\r\n\r\n";
    // A status line and one header line that with the blank line make exactly `total` bytes.
    const auto head = [&ok](size_t total) { return ok + "X: " + std::string(total - ok.size() - 7, 'h') + "\r\n\r\n"; };
    const std::vector<ReplyCase> cases = {
        {"length", ok + "content-length: 5\r\n\r\nhelloEXTRA", false, Status::kDone, 200, "hello", 5},
        {"chunked wins over a length",
         ok + "Transfer-Encoding: gzip, chunked\r\nContent-Length: 99\r\n\r\n3;x=y\r\nabc"
              "\r\n2 \r\nde\r\n0\r\nTrailer: v\r\n\r\n",
         false, Status::kDone, 200, "abcde", 5},
        {"interim replies first", "\r\nHTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 500 Boom\r\nContent-Length: 2\r\n\r\nok",
         false, Status::kDone, 500, "ok", 2},
        {"ended by the close", "HTTP/1.0 200 OK\n\nabc", true, Status::kDone, 200, "abc", 3},
        {"no body", "HTTP/1.1 204 No Content\r\nContent-Length: 7\r\n\r\n", false, Status::kDone, 204, "", 7},
        {"announced beyond the body bound", ok + "Content-Length: 99999999999999999999999\r\n\r\nxx", false,
         Status::kDone, 200, "", UINT64_MAX},
        {"announced one byte over the bound", ok + "Content-Length: 17\r\n\r\n" + std::string(17, 'b'), false,
         Status::kDone, 200, "", 17},
        {"headers of exactly the bound", head(kHead), true, Status::kDone, 200, "", 0},
        {"headers one byte over", head(kHead + 1), true, Status::kTooLarge},
        {"one endless header line", ok + "X-Endless: " + std::string(kHead, 'a'), false, Status::kTooLarge},
        {"endless short header lines", Grow(ok, "X-Many: 1\r\n", kHead), false, Status::kTooLarge},
        {"endless interim replies", Grow("", "HTTP/1.1 100 Continue\r\n\r\n", kHead), false, Status::kTooLarge},
        {"unannounced body over the bound", ok + "\r\n" + std::string(17, 'b'), true, Status::kTooLarge},
        {"chunk over the bound", chunked + "11\r\n", false, Status::kTooLarge},
        {"endless chunk line", chunked + "1;" + std::string(1100, 'e'), false, Status::kTooLarge},
        {"cut short", ok + "Content-Length: 5\r\n\r\nhel", true, Status::kBad},
        {"cut in the headers", ok + "Content-Length: 5\r\n", true, Status::kBad},
        {"HTTP/2", "HTTP/2 200 OK\r\n\r\n", false, Status::kBad},
        {"not HTTP", "ICY 200 OK\r\n\r\n", false, Status::kBad},
        {"status out of range", "HTTP/1.1 999 Odd\r\n\r\n", false, Status::kBad},
        {"protocol switch", "HTTP/1.1 101 Switching\r\n\r\n", false, Status::kBad},
        {"field without a colon", ok + "Broken\r\n\r\n", false, Status::kBad},
        {"space in a field name", ok + "Content Length: 1\r\n\r\nx", false, Status::kBad},
        {"negative length", ok + "Content-Length: -1\r\n\r\n", false, Status::kBad},
        {"two lengths", ok + "Content-Length: 1\r\nContent-Length: 2\r\n\r\nxy", false, Status::kBad},
        {"chunk size not hex", chunked + "zz\r\n", false, Status::kBad},
        {"chunk without its line end", chunked + "1\r\nxyzw", false, Status::kBad},
    };
    for (const ReplyCase& c : cases) {
        for (const size_t piece : {c.bytes.size(), size_t{1}}) {
            Net::ReplyParser parser(16);
            Status status = Status::kMore;
            for (size_t at = 0; at < c.bytes.size() && status == Status::kMore; at += piece) {
                status = parser.Feed(c.bytes.data() + at, std::min(piece, c.bytes.size() - at));
            }
            if (c.close && status == Status::kMore) status = parser.End();
            EXPECT_EQ(status, c.status) << c.what << ", pieces of " << piece;
            if (status != Status::kDone) continue;
            EXPECT_EQ(parser.StatusCode(), c.code) << c.what;
            EXPECT_EQ(parser.Body(), c.body) << c.what;
            EXPECT_EQ(parser.Announced() ? parser.AnnouncedLength() : parser.Body().size(), c.reported) << c.what;
        }
    }
}

// A copy would unlock twice or free a semaphore twice; the assignments stay, since the plugin exports them.
static_assert(!std::is_copy_constructible_v<Kestro_Mutex> && !std::is_copy_constructible_v<Kestro_Guard> &&
              !std::is_copy_constructible_v<Kestro_Sema>);
static_assert(std::is_copy_assignable_v<Kestro_Mutex> && std::is_copy_assignable_v<Kestro_Guard> &&
              std::is_copy_assignable_v<Kestro_Sema>);

TEST(Kestro, GuardReleasesOnceAndNtohsSwaps) {
    Kestro_Mutex mutex;
    {
        Kestro_Guard guard(&mutex);
        guard.Release();
        Kestro_Guard second(&mutex);  // released early: the lock is free again, and is not unlocked twice
    }
    {
        // The zero-fill empties the guard and never writes past it, whatever size it is given.
        struct {
            Kestro_Guard guard;
            unsigned char after[16];
        } held{Kestro_Guard(&mutex), {}};
        std::memset(held.after, 0xAB, sizeof(held.after));
        held.guard.__autoclassinit2(1u << 20);
        for (unsigned char byte : held.after) EXPECT_EQ(byte, 0xAB);
        mutex.Unlock();
    }
    Kestro_Guard last(&mutex);
    last.Release();
    EXPECT_EQ(Kestro_Ntohs(0x0100), 0x0001);
    Kestro_Sema sema(0);
    sema.Post();
    sema.Wait();
}
