// The framework services the plugin builds on: log, last error, thread base, Base64, JSON, HTTP, locks.
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "LoopbackServer.h"
#include "ZephBase/Encrypt.h"
#include "ZephBase/FileUtil.h"
#include "ZephBase/Log.h"
#include "ZephBase/Thread.h"
#include "ZephNet/HttpClient.h"
#include "ZephNet/HttpReply.h"
#include "ZephProto/RapidJsonProto.h"
#include "kestro/kestro.h"

using Zeph::Base::details::SarnFormatLog;
using Zeph::Base::details::ScopedLogCapture;

TEST(Log, FormatsRecordsAndDeliversThemFromManyThreads) {
    ScopedLogCapture capture;
    SarnFormatLog(3, "VantraIotSMSPlugin", "[%s][x] value:%d[%s(%d)]", "A::B", 42, "..\\..\\code\\X", 7);
    auto records = capture.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, 3);
    EXPECT_EQ(records[0].module, "VantraIotSMSPlugin");
    EXPECT_EQ(records[0].text, "[A::B][x] value:42[..\\..\\code\\X(7)]");

    // A record far longer than the stack buffer is kept, and a hostile size is bounded.
    std::string longText(5000, 'u');
    SarnFormatLog(5, "m", "%s", longText.c_str());
    std::string huge(200000, 'h');
    SarnFormatLog(5, "m", "%s", huge.c_str());
    records = capture.Records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[1].text, longText);
    EXPECT_LT(records[2].text.size(), huge.size());

    capture.Clear();
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) SarnFormatLog(3, "m", "t%d i%d", t, i);
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(capture.Records().size(), 1600u);
    EXPECT_EQ(capture.Count("m", "t7 i199"), 1u);

    // Line breaks from outside stay inside their record in the file; the capture keeps the text as written.
    SarnFormatLog(5, "m", "url:%s", "rtsp://x/live?a=1\n2026-01-01 00:00:00.000 5 1 m forged\r\nend");
    EXPECT_EQ(capture.Count("m", "url:rtsp://x/live?a=1\n2026-01-01 00:00:00.000 5 1 m forged\r\nend"), 1u);
    Zeph::Base::details::FlushLog();
    const std::string path = Zeph::Base::details::LogFilePath();
    EXPECT_NE(path.find("VantraIotSMSPlugin.log"), std::string::npos);
    std::ifstream file(path, std::ios::binary);
    std::string line;
    int kept = 0;
    int forged = 0;
    while (std::getline(file, line)) {
        if (line.rfind("2026-01-01 00:00:00.000", 0) == 0) ++forged;
        if (line.find("url:rtsp://x/live?a=1\\n2026-01-01 00:00:00.000 5 1 m forged\\r\\nend") != std::string::npos) {
            ++kept;
        }
    }
    EXPECT_EQ(forged, 0);
    EXPECT_EQ(kept, 1);
}

#if !defined(_WIN32)
// Threads still writing records while the process exits: the logger is torn down under them, and the exit
// must still be clean.
TEST(Log, ThreadsStillLoggingWhenTheProcessExits) {
    SarnFormatLog(5, "m", "logger up");  // the children inherit a logger that exit() will destroy
    for (int round = 0; round < 20; ++round) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (int t = 0; t < 4; ++t) {
                std::thread([] {
                    const std::string text(3000, 'x');
                    for (;;) SarnFormatLog(5, "m", "%s", text.c_str());
                }).detach();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
            std::exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "round " << round << ", status " << status;
    }
}
#endif

namespace {
class CountingThread : public Zeph::Base::CSingleBaseThreadNoAssert {
public:
    ~CountingThread() override { EndThread(); }
    std::atomic<int> calls{0};
    std::atomic<bool> keepGoing{true};
    std::atomic<bool> endFromRun{false};  // the first pass calls EndThread and then goes on working
    std::atomic<bool> endCalled{false};
    std::atomic<bool> workAfterEnd{false};

protected:
    bool Run() override {
        ++calls;
        if (endFromRun.load() && !endCalled.load()) {
            EndThread();
            endCalled = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            workAfterEnd = true;
        }
        return keepGoing.load();
    }
};
}  // namespace

TEST(ThreadBase, PassesPausesWakesAndEnds) {
    CountingThread thread;
    ASSERT_TRUE(thread.BeginThread(5));
    EXPECT_TRUE(thread.BeginThread(5));  // already running: no second thread
    while (thread.calls.load() < 3) std::this_thread::sleep_for(std::chrono::milliseconds(1));
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
    while (once.calls.load() < 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));

    // EndThread from inside Run() ends the loop after that pass, and the owner's EndThread still waits for
    // the pass: a detached thread would go on inside an object its owner is free to destroy.
    auto self = std::make_unique<CountingThread>();
    self->endFromRun = true;
    ASSERT_TRUE(self->BeginThread(1));
    while (!self->endCalled.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    self->EndThread();
    EXPECT_TRUE(self->workAfterEnd.load());
    EXPECT_EQ(self->calls.load(), 1);
    self.reset();
}

TEST(Base64, StandardAlphabetOptionalPaddingAndBadInput) {
    using Zeph::Base::Encrypt::Base64Decode;
    using Zeph::Base::Encrypt::Base64Encode;
    // Round trips and canonical forms are the platform reply fuzz target's; these pin the alphabet and padding.
    EXPECT_EQ(Base64Encode("tok~~~>>?!"), "dG9rfn5+Pj4/IQ==");
    EXPECT_EQ(Base64Encode(std::string("\x00\xff\x10", 3)), "AP8Q");
    std::string out;
    EXPECT_TRUE(Base64Decode(out, "Zm8"));
    EXPECT_EQ(out, "fo");
    // Bad input leaves the output empty, whatever it held.
    for (const char* bad : {"Zm9v!", "Z", "Zm=9", "Zm9vY===", "Zh==", " Zm9v", "Zm9v\n", "Zm9v_-"}) {
        out = "previous";
        EXPECT_FALSE(Base64Decode(out, bad)) << bad;
        EXPECT_EQ(out, "") << bad;
    }
}

TEST(FileUtil, ExecutableDirEndsInSeparator) {
    std::string dir = Zeph::Base::FileUtil::GetCurExeDir();
    ASSERT_FALSE(dir.empty());
    EXPECT_TRUE(dir.back() == '/' || dir.back() == '\\') << dir;
    EXPECT_TRUE(std::filesystem::path(dir).is_absolute()) << dir;
}

TEST(Json, GetSetAtPointersWithDefaultsAndMemberOrder) {
    proto::CRapidJsonProto out;
    out.SetString("/deviceSerial", "AB12");
    out.SetInt("/channelNo", 3);
    out.SetString("/nested/deeper", "x");
    EXPECT_EQ(out.Serialize(0), R"({"deviceSerial":"AB12","channelNo":3,"nested":{"deeper":"x"}})");

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
    // Numbers beyond a double are refused, including those the parser itself lets through as infinity.
    for (const char* huge : {R"({"code":0,"n":1e400})", R"({"code":0,"n":[-22222222e302]})",
                             R"({"code":0,"d":{"n":17976931348623158e292}})"}) {
        proto::CRapidJsonProto doc;
        EXPECT_FALSE(doc.Parse(huge)) << huge;
        EXPECT_EQ(doc.GetInt("/code", -1), -1) << huge;
        EXPECT_EQ(doc.Serialize(0), "{}") << huge;
    }
    proto::CRapidJsonProto largest;
    EXPECT_TRUE(largest.Parse(R"({"code":0,"n":17976931348623157e292,"tiny":1e-400})"));
    EXPECT_EQ(largest.Serialize(0), R"({"code":0,"n":1.7976931348623157e308,"tiny":0.0})");
    // Deep nesting must not overflow the stack.
    std::string deep(200000, '[');
    proto::CRapidJsonProto doc;
    EXPECT_FALSE(doc.Parse(deep));
    EXPECT_EQ(doc.GetInt("/code", -1), -1);
}

namespace {

using vantra_test::LoopbackServer;

bool Post(const std::string& url, const std::string& body, Zeph::Net::CHttpClientResponse* response,
          int timeoutMs = 3000) {
    Zeph::Net::URL parsed(url);
    Zeph::Net::CHttpClientRequest request("POST", parsed);
    request.SetContentType("application/json");
    if (!body.empty()) {
        request.AddHeaderField("Content-Length", std::to_string(body.size()));
        request.SetData(body);
    }
    request.SetReceiveTimeout(timeoutMs);
    request.SetSendTimeout(timeoutMs);
    request.SetConnectionTimeout(timeoutMs);
    Zeph::Net::HttpClient::Error error{0};
    return Zeph::Net::HttpClient::Send(request, response, &error);
}
}  // namespace

TEST(Http, ExchangesWithALoopbackServer) {
    LoopbackServer srv;
    std::mutex mutex;
    std::string seenBody, seenType, seenLength;
    srv.server.Post("/echo", [&](const httplib::Request& req, httplib::Response& res) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            seenBody = req.body;
            seenType = req.get_header_value("Content-Type");
            seenLength = req.get_header_value("Content-Length");
        }
        res.status = 500;  // the status is the caller's business, not the transport's
        res.set_content("{\"code\":0}", "application/json");
    });
    srv.server.Post("/chunked", [](const httplib::Request&, httplib::Response& res) {
        res.set_chunked_content_provider("application/json", [](size_t, httplib::DataSink& sink) {
            sink.write("{\"a\":", 5);
            sink.write("1}", 2);
            sink.done();
            return true;
        });
    });
    srv.server.Post("/huge", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(std::string(2 * 1024 * 1024, 'x'), "text/plain");
    });
    srv.server.Post("/huge-chunked", [](const httplib::Request&, httplib::Response& res) {
        res.set_chunked_content_provider("text/plain", [](size_t offset, httplib::DataSink& sink) {
            std::string block(64 * 1024, 'y');
            sink.write(block.data(), block.size());
            if (offset > 4 * 1024 * 1024) sink.done();
            return true;
        });
    });
    srv.Start();

    Zeph::Net::CHttpClientResponse response;
    ASSERT_TRUE(Post(srv.Url("/echo"), R"({"deviceSerial":"A","channelNo":1})", &response));
    std::string body;
    ASSERT_TRUE(response.GetResponseData(&body));
    EXPECT_EQ(body, "{\"code\":0}");
    EXPECT_EQ(response.GetContentLength(), 10u);
    EXPECT_EQ(response.GetStatusCode(), 500);
    {
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_EQ(seenBody, R"({"deviceSerial":"A","channelNo":1})");
        EXPECT_EQ(seenType, "application/json");
        EXPECT_EQ(seenLength, "34");  // one consistent length, not two headers
    }

    // Without Content-Length the body's received size is reported.
    ASSERT_TRUE(Post(srv.Url("/chunked"), "", &response));
    EXPECT_EQ(response.GetContentLength(), 7u);

    // A body announced beyond the limit is not read: the reply counts with its announced length and no body.
    ASSERT_TRUE(Post(srv.Url("/huge"), "", &response));
    ASSERT_TRUE(response.GetResponseData(&body));
    EXPECT_EQ(body, "");
    EXPECT_EQ(response.GetContentLength(), 2u * 1024 * 1024);
    // Sent beyond the limit without announcing it: the exchange fails.
    EXPECT_FALSE(Post(srv.Url("/huge-chunked"), "", &response));
    EXPECT_FALSE(response.GetResponseData(&body));

    // A header that would start another line is refused before any exchange.
    {
        Zeph::Net::CHttpClientRequest request("POST", Zeph::Net::URL(srv.Url("/echo")));
        request.AddHeaderField("X-Note", "a\r\nX-Injected: 1");
        Zeph::Net::HttpClient::Error error{0};
        EXPECT_FALSE(Zeph::Net::HttpClient::Send(request, &response, &error));
        EXPECT_EQ(error.code, Zeph::Net::HttpClient::kErrorInvalidRequest);
    }

    // Bad URLs fail without an exchange.
    for (const char* bad : {"http://:/videoWall", "https://127.0.0.1:1/x", "http://127.0.0.1:99999/x",
                            "http://127.0.0.1: 80/x", "http://host name:80/x"}) {
        EXPECT_FALSE(Post(bad, "", &response)) << bad;
    }
}

namespace {
struct ReplyCase {
    const char* what;
    std::string bytes;
    bool close;  // the peer closes after the bytes
    Zeph::Net::ReplyParser::Status status;
    int code;
    std::string body;
    uint64_t reported;  // announced length, or body size when none was announced
};

std::string Head(size_t total) {
    // A status line and one header line that together with the blank line make exactly `total` bytes.
    const std::string start = "HTTP/1.1 200 OK\r\nX: ";
    return start + std::string(total - start.size() - 4, 'h') + "\r\n\r\n";
}
}  // namespace

// Every case is fed whole and then byte by byte: framing must not depend on how the bytes arrive.
TEST(Http, ReplyFramingAndBounds) {
    using Status = Zeph::Net::ReplyParser::Status;
    const size_t kHead = Zeph::Net::ReplyParser::kMaxHeaderBytes;
    const std::string ok = "HTTP/1.1 200 OK\r\n";
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
        {"headers of exactly the bound", Head(kHead), true, Status::kDone, 200, "", 0},
        {"headers one byte over", Head(kHead + 1), true, Status::kTooLarge, 0, "", 0},
        {"one endless header line", ok + "X-Endless: " + std::string(kHead, 'a'), false, Status::kTooLarge, 0, "", 0},
        {"endless short header lines",
         [&] {
             std::string text = ok;
             while (text.size() <= kHead) text += "X-Many: 1\r\n";
             return text;
         }(),
         false, Status::kTooLarge, 0, "", 0},
        {"endless interim replies",
         [] {
             std::string text;
             while (text.size() <= kHead) text += "HTTP/1.1 100 Continue\r\n\r\n";
             return text;
         }(),
         false, Status::kTooLarge, 0, "", 0},
        {"unannounced body over the bound", "HTTP/1.1 200 OK\r\n\r\n" + std::string(17, 'b'), true, Status::kTooLarge,
         0, "", 0},
        {"chunk over the bound", ok + "Transfer-Encoding: chunked\r\n\r\n11\r\n", false, Status::kTooLarge, 0, "", 0},
        {"endless chunk line", ok + "Transfer-Encoding: chunked\r\n\r\n1;" + std::string(1100, 'e'), false,
         Status::kTooLarge, 0, "", 0},
        {"cut short", ok + "Content-Length: 5\r\n\r\nhel", true, Status::kBad, 0, "", 0},
        {"cut in the headers", ok + "Content-Length: 5\r\n", true, Status::kBad, 0, "", 0},
        {"HTTP/2", "HTTP/2 200 OK\r\n\r\n", false, Status::kBad, 0, "", 0},
        {"not HTTP", "ICY 200 OK\r\n\r\n", false, Status::kBad, 0, "", 0},
        {"status out of range", "HTTP/1.1 999 Odd\r\n\r\n", false, Status::kBad, 0, "", 0},
        {"protocol switch", "HTTP/1.1 101 Switching\r\n\r\n", false, Status::kBad, 0, "", 0},
        {"field without a colon", ok + "Broken\r\n\r\n", false, Status::kBad, 0, "", 0},
        {"space in a field name", ok + "Content Length: 1\r\n\r\nx", false, Status::kBad, 0, "", 0},
        {"negative length", ok + "Content-Length: -1\r\n\r\n", false, Status::kBad, 0, "", 0},
        {"two lengths", ok + "Content-Length: 1\r\nContent-Length: 2\r\n\r\nxy", false, Status::kBad, 0, "", 0},
        {"chunk size not hex", ok + "Transfer-Encoding: chunked\r\n\r\nzz\r\n", false, Status::kBad, 0, "", 0},
        {"chunk without its line end", ok + "Transfer-Encoding: chunked\r\n\r\n1\r\nxyzw", false, Status::kBad, 0, "",
         0},
    };
    for (const ReplyCase& c : cases) {
        for (const size_t piece : {c.bytes.size(), size_t{1}}) {
            Zeph::Net::ReplyParser parser(16);
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

TEST(Kestro, GuardReleasesOnceAndNtohsSwaps) {
    Kestro_Mutex mutex;
    {
        Kestro_Guard guard(&mutex);
        guard.Release();
        // Released early: the lock is free again, and the destructor must not unlock twice.
        Kestro_Guard second(&mutex);
    }
    Kestro_Guard again(&mutex);
    again.Release();
    {
        // The zero-fill empties the guard (its destructor then has nothing to unlock) and never writes past it,
        // whatever size it is given.
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
