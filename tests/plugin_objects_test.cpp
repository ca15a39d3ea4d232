// The plugin's own objects, linked in and driven directly. Suites "declared first" need their singleton untouched.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "EmulatorProbe.h"
#include "HttpClient/VantraLinkInterfaceMgr.h"
#include "LoopbackServer.h"
#include "NubrixPexloStream.h"
#include "PexloInterfaceMgr.h"
#include "RealStream.h"
#include "RealStreamMgr.h"
#include "RealStreamWrapper.h"
#include "TackStreamFromNubrix.h"
#include "TestInstall.h"
#include "ZephBase/Encrypt.h"
#include "ZephBase/Error.h"
#include "ZephBase/Log.h"
#include "handleMgr.h"

using PexloCommon::CHandleMgr;
using PexloCommon::CNubrixPexloPreview;
using PexloCommon::CPexloInterfaceMgr;
using PexloCommon::CRealStream;
using PexloCommon::CRealStreamMgr;
using PexloCommon::CTackStreamFromNubrix;
using PexloCommon::CVantraLinkInterfaceMgr;
using PexloCommon::NubrixAccessInfo;
using PexloCommon::StreamParam;
using Zeph::Base::Error;
using Zeph::Base::details::ScopedLogCapture;

namespace {

// Loads `dir` and initialises the SDK in plain mode.
bool LoadAndInit(const std::string& dir = vantra_test::EmulatorDir()) {
    return CPexloInterfaceMgr::GetInstance()->LoadDso(dir) &&
           CPexloInterfaceMgr::GetInstance()->InitLib("https://auth.example", "https://open.example", "APPKEY");
}

void ClearLastError() { Error::SetLastError(Error::ErrorCode(0, 0)); }

// The call failed, leaving the SDK's code (module 62) as the last error, which is cleared for the next check.
void ExpectFailure(bool succeeded, int code) {
    EXPECT_FALSE(succeeded);
    EXPECT_EQ(Error::GetLastError(), Error::ErrorCode(62, code));
    ClearLastError();
}

// Records of the interface manager: "[NubrixPexloComm][CPexloInterfaceMgr]" and its message, function and line.
size_t MgrRecords(const ScopedLogCapture& capture, const std::string& message, const std::string& function,
                  const std::string& where) {
    return capture.Count("[NubrixPexloComm][CPexloInterfaceMgr]" + message,
                         "[PexloCommon::CPexloInterfaceMgr::" + function + "][..\\..\\code\\" + where + "]");
}

// The one record captured, as its level and text.
std::string OnlyRecord(const ScopedLogCapture& capture) {
    const auto records = capture.Records();
    return records.size() == 1 ? std::to_string(records[0].level) + " " + records[0].text
                               : std::to_string(records.size()) + " records";
}

size_t TimerStops(const ScopedLogCapture& capture) {
    return capture.Count("11111111111111111111111", "[PexloCommon::CTimer::stop][..\\..\\code\\Timer(23)]");
}

// What a source reports: its states as "type/module/code ", and how many packets came.
struct Sink : PexloCommon::CAsyncTackStreamState {
    void NotifyState(const PexloCommon::TackStreamStateInfo* info) override {
        std::lock_guard<std::mutex> lock(mutex);
        states +=
            std::to_string(info->iType) + "/" + std::to_string(info->iModule) + "/" + std::to_string(info->iCode) + " ";
    }
    std::string States() {
        std::lock_guard<std::mutex> lock(mutex);
        return states;
    }
    PexloCommon::TackDataFunction Data() {
        return [this](unsigned long, const unsigned char*, unsigned long) { ++packets; };
    }
    std::mutex mutex;
    std::string states;
    std::atomic<size_t> packets{0};
};

// Source type 0 has no SDK source: attach, detach and fan-out without the cloud.
StreamParam Param(const std::string& serial = "X", int32_t sourceType = 0) { return {sourceType, 1, serial, "", 1}; }

struct RecordingObserver : PexloCommon::CRealStreamObserver {
    void OnStreamData(const unsigned char*, uint32_t, uint32_t) override { ++calls; }
    std::atomic<int> calls{0};
};

const unsigned char* Bytes(const std::string& text) { return reinterpret_cast<const unsigned char*>(text.data()); }

std::atomic<int64_t> g_now{1000};
int64_t FakeNow() { return g_now.load(); }

}  // namespace

// Declared first: in a fresh process nothing has been loaded yet.
TEST(PexloInterfaceMgr, MissingLibraryLogsTheReasonAndEveryCallFailsWith600002) {
    ScopedLogCapture capture;
    CPexloInterfaceMgr* mgr = CPexloInterfaceMgr::GetInstance();
    EXPECT_FALSE(mgr->LoadDso("/nonexistent/plugins\\vantraiot_plugin"));
    const std::string record = OnlyRecord(capture);
    EXPECT_EQ(record.rfind("5 [PexloCommon::CPexloInterfaceMgr::LoadDso][NubrixPexloComm][CPexloInterfaceMgr] "
                           "Failed to LoadDso, File path:/nonexistent/plugins\\vantraiot_plugin. Error:",
                           0),
              0u);
#if !defined(_WIN32)
    EXPECT_NE(record.find("libLumavex.so"), std::string::npos);  // the loader's own words
#endif
    EXPECT_NE(record.find(" ErrorNum:"), std::string::npos);
    EXPECT_NE(record.find("[..\\..\\code\\PexloInterfaceMgr(168)]"), std::string::npos);

    EXPECT_EQ(mgr->GetLastErrorCode(), 600002);
    ClearLastError();
    ExpectFailure(mgr->SetAccessToken("t"), 600002);
    std::string id;
    ExpectFailure(mgr->AllocSession(nullptr, id), 600002);
    EXPECT_FALSE(mgr->SetConfigInfo(1, 1));
    EXPECT_EQ(
        MgrRecords(capture, " SetConfigInfo not init pPexlo_SetConfigInfo.", "SetConfigInfo", "PexloInterfaceMgr(383)"),
        1u);
    // Starting, finishing and reading the error code: a missing entry point is told in the log only.
    ClearLastError();
    EXPECT_FALSE(mgr->InitLib("a", "b", "c"));
    EXPECT_EQ(MgrRecords(capture, " pexlo not init interface.", "InitLib", "PexloInterfaceMgr(293)"), 1u);
    EXPECT_FALSE(mgr->FiniLib());
    EXPECT_EQ(mgr->GetLastErrorCode(), 600002);
    EXPECT_EQ(Error::GetLastError(), Error::ErrorCode(0, 0));
}

TEST(PexloInterfaceMgr, WrappedCallsRecordTheSdkCodeAndKeepTheirState) {
    ScopedLogCapture capture;
    CPexloInterfaceMgr* mgr = CPexloInterfaceMgr::GetInstance();
    ASSERT_TRUE(mgr->LoadDso(vantra_test::EmulatorDir()));
    vantra_test::Emulator emu;
    ASSERT_TRUE(emu.Loaded());
    emu.Reset();

    EXPECT_FALSE(mgr->InitLib("", "https://open", "KEY"));  // the SDK refuses: no record of its code
    EXPECT_EQ(MgrRecords(capture, " Pexlo_InitLib init failed.", "InitLib", "PexloInterfaceMgr(299)"), 1u);
    ASSERT_TRUE(mgr->InitClientLib("https://auth", "https://open", "KEY"));
    EXPECT_EQ(MgrRecords(capture, "Pexlo_InitClientLib.", "InitClientLib", "PexloInterfaceMgr(368)"), 1u);
    EXPECT_EQ(mgr->m_strPlatformAddr, "https://open");
    EXPECT_TRUE(mgr->InitLib("x", "y", "z"));  // already initialised: the SDK is not called again
    EXPECT_TRUE(mgr->InitClientLib("x", "y", "z"));
    EXPECT_EQ(emu.Count("Pexlo_InitClientLib|"), 1u);
    EXPECT_EQ(emu.Count("Pexlo_InitLib|"), 1u);
    EXPECT_EQ(mgr->m_strAuthAddr, "https://auth");

    EXPECT_TRUE(mgr->SetConfigInfo(6, 64));
    EXPECT_EQ(MgrRecords(capture, " SetConfigInfo OK.", "SetConfigInfo", "PexloInterfaceMgr(389)"), 1u);
    mgr->SetPlatformAddr("platform.example:443");
    EXPECT_EQ(mgr->m_strPlatformAddr, "platform.example:443");

    ExpectFailure(mgr->SetAccessToken(""), LVX_EMU_ERR_INVALID_ARGUMENT);
    EXPECT_FALSE(mgr->SetNonDeviceTkToken(""));
    EXPECT_EQ(MgrRecords(capture, " Failed to SetNonDeviceTkToken.", "SetNonDeviceTkToken", "PexloInterfaceMgr(437)"),
              1u);
    ExpectFailure(mgr->SetDeviceTkTokens("not json"), LVX_EMU_ERR_BAD_TOKEN_JSON);
    EXPECT_EQ(MgrRecords(capture, " Failed to SetDeviceTkTokens.", "SetDeviceTkTokens", "PexloInterfaceMgr(482)"), 1u);
    EXPECT_TRUE(mgr->SetAccessToken("token"));
    EXPECT_NE(emu.Journal().find("Pexlo_SetAccessToken|token\n"), std::string::npos);

    ExpectFailure(mgr->StartPlayWithStreamType("no-such-session", "CAM", 1, "", 1), LVX_EMU_ERR_UNKNOWN_SESSION);
    EXPECT_EQ(capture.Count("VantraIotSMSPlugin",
                            "[PexloCommon::CPexloInterfaceMgr::StartPlayWithStreamType][NubrixPexloComm]"
                            "[CPexloInterfaceMgr] Failed to StartPlayWithStreamType. Error code: 400002, Error msg: ."
                            "[..\\..\\code\\PexloInterfaceMgr(664)]"),
              1u);
    EXPECT_FALSE(mgr->StopRealPlay("no-such-session"));
    EXPECT_FALSE(mgr->FreeSession("no-such-session"));
    ExpectFailure(mgr->DataFree(nullptr), 10005);

    vantra_test::SetEnv("LUMAVEX_EMU_FAIL_ALLOC", "1");
    std::string id;
    ExpectFailure(mgr->AllocSession(nullptr, id), LVX_EMU_ERR_INJECTED);
    vantra_test::UnsetEnv("LUMAVEX_EMU_FAIL_ALLOC");
    ASSERT_TRUE(mgr->AllocSession(nullptr, id));
    EXPECT_FALSE(id.empty());
    EXPECT_EQ(mgr->SessionCount(), 1u);
    EXPECT_EQ(emu.OutstandingIds(), 0);  // the id buffer went back to the SDK at once
    EXPECT_TRUE(mgr->FreeSession(id));
    EXPECT_EQ(mgr->SessionCount(), 0u);
    EXPECT_EQ(emu.OpenSessions(), 0);

    EXPECT_TRUE(mgr->FiniLib());
    EXPECT_FALSE(mgr->FiniLib());
    EXPECT_TRUE(mgr->m_strAuthAddr.empty() && mgr->m_strPlatformAddr.empty() && mgr->m_strAppKey.empty());
}

TEST(PexloInterfaceMgr, DuplicateIdsNullIdsAndAnUnreadableErrorCode) {
    CPexloInterfaceMgr* mgr = CPexloInterfaceMgr::GetInstance();
    mgr->pPexlo_SetDataCallBack.store(nullptr);  // a missing entry: the preview fails with the missing-entry code
    ClearLastError();
    ExpectFailure(CNubrixPexloPreview().SetDataCallBack("s", nullptr, nullptr), 600002);
    mgr->pPexlo_AllocSessionEx.store([](PexloMsgCallBack, void*, char** id, int* length) {
        static char same[] = "same-id";
        *id = same;
        *length = 7;
        return 0;
    });
    mgr->pPexlo_Data_Free.store([](void*) { return 0; });
    mgr->pPexlo_FreeSession.store([](const char*) { return 0; });
    std::string first, second;
    EXPECT_TRUE(mgr->AllocSession(nullptr, first));
    EXPECT_TRUE(mgr->AllocSession(nullptr, second));
    EXPECT_EQ(second, "same-id");
    EXPECT_EQ(mgr->SessionCount(), 1u);
    EXPECT_TRUE(mgr->FreeSession("same-id"));
    EXPECT_EQ(mgr->SessionCount(), 0u);

    mgr->pPexlo_AllocSessionEx.store([](PexloMsgCallBack, void*, char** id, int*) {
        *id = nullptr;
        return 0;
    });
    mgr->pPexlo_GetLastErrorCode.store(nullptr);
    ExpectFailure(mgr->AllocSession(nullptr, first), 600002);
    mgr->pPexlo_SetAccessToken.store([](const char*) { return -1; });
    ExpectFailure(mgr->SetAccessToken("t"), 600002);
    // Only a negative result is a failure.
    mgr->pPexlo_SetAccessToken.store([](const char*) { return 7; });
    EXPECT_TRUE(mgr->SetAccessToken("t"));
    EXPECT_EQ(Error::GetLastError(), Error::ErrorCode(0, 0));
}

TEST(PexloInterfaceMgr, ReducedLibraryStillPlaysWithoutSessionConfig) {
    CPexloInterfaceMgr* mgr = CPexloInterfaceMgr::GetInstance();
    mgr->FiniLib();
    {
        // Loaded all the same, with one record naming what it lacks.
        ScopedLogCapture capture;
        ASSERT_TRUE(LoadAndInit(vantra_test::ReducedEmulatorDir()));
        const std::string record = OnlyRecord(capture);
        EXPECT_EQ(record.rfind("5 ", 0), 0u) << record;
        EXPECT_NE(record.find("lacks entry points the plugin calls: Pexlo_SetSessionConfig Pexlo_GetLastErrorCode["),
                  std::string::npos);
    }
    EXPECT_EQ(mgr->pPexlo_SetSessionConfig.load(), nullptr);
    EXPECT_EQ(mgr->GetLastErrorCode(), 600002);

    std::string id;
    ASSERT_TRUE(mgr->AllocSession(nullptr, id));
    CNubrixPexloPreview preview;
    ASSERT_TRUE(preview.SetDataCallBack(
        id.c_str(), [](unsigned long, const unsigned char*, unsigned long, void*) {}, nullptr));
    ClearLastError();
    EXPECT_TRUE(preview.StartPlayWithStreamType(id, "CAM1", 1, "", 1));
    EXPECT_EQ(Error::GetLastError(), Error::ErrorCode(62, 600002));
    EXPECT_TRUE(preview.StopRealPlay(id));
    EXPECT_TRUE(mgr->FreeSession(id));
    mgr->FiniLib();
}

TEST(TackStreamFromNubrix, TranslatesMessagesIntoStateRecordsThenPlaysAndStopsInEitherOrder) {
    ASSERT_TRUE(LoadAndInit());
    vantra_test::Emulator emu;
    Sink sink;
    StreamParam param = Param("CAM1");
    std::string sessionId;
    auto* source = new CTackStreamFromNubrix(&param, sink.Data(), &sink, &sessionId);
    ASSERT_FALSE(sessionId.empty());
    EXPECT_EQ(source->m_strSessionId, sessionId);

    ScopedLogCapture capture;
    const std::tuple<unsigned, int, const char*> cases[] = {
        {0, 0, ""},       {0, 7, ""},       {0, 0, "UE104"},  {3, 9, "UE105"}, {5, 0, "UE101"},
        {4, 8, ""},       {4, 0, ""},       {16, 0, ""},      {17, 3, ""},     {18, 18, ""},
        {18, 510255, ""}, {91, 1, "UE101"}, {92, 1, "UE101"}, {99, 1, ""},     {2, 5, "UE107"}};
    for (const auto& [type, code, info] : cases) ASSERT_EQ(emu.SendMessage(sessionId, type, code, info), 0);

    EXPECT_EQ(sink.States(), "1/62/7 1/65/104 1/65/9 1/65/101 8/62/8 5/62/0 6/62/3 2/62/18 ");
    // What a message's UE text reads as: a known code, 0 for none, or -1.
    const std::pair<const char*, int> table[] = {{"UE111", 111}, {"UE001", 1},   {"", 0},
                                                 {"UE107", -1},  {"ue101", -1},  {"UE1011", -1},
                                                 {"UE10", -1},   {"UE101 ", -1}, {"x", -1}};
    for (const auto& c : table) EXPECT_EQ(CNubrixPexloPreview::GetUEErrorCode(c.first), c.second) << c.first;
    // Every message past the dropped types writes the key-flag trace; UE104 cleared the flag, UE107 set it.
    EXPECT_EQ(capture.Count(
                  "Set Stream Key Time",
                  "[PexloCommon::CNubrixPexloPreview::SetIsStreamKeyCorrect][..\\..\\code\\NubrixPexloStream(157)]"),
              12u);
    EXPECT_TRUE(source->m_pPreview->IsStreamKeyCorrect());
    EXPECT_EQ(capture.Count("VantraIotSMSPlugin",
                            "[PexloCommon::CTackStreamFromNubrix::NubrixMsgCallBack]Nubrix Msg CallBack[preview], "
                            "errorcode = 510255[..\\..\\code\\TackStreamFromNubrix(341)]"),
              1u);
    EXPECT_EQ(TimerStops(capture), 3u);  // positive UE codes
    ASSERT_EQ(emu.SendMessage(sessionId, 0, 0, "UE104"), 0);
    EXPECT_FALSE(source->m_pPreview->IsStreamKeyCorrect());
    delete source;
    EXPECT_EQ(emu.OpenSessions(), 0);

    // Without a session every message stops before the state is touched.
    vantra_test::SetEnv("LUMAVEX_EMU_FAIL_ALLOC", "1");
    std::string noSession;
    Sink untouched;
    CTackStreamFromNubrix orphan(&param, untouched.Data(), &untouched, &noSession);
    vantra_test::UnsetEnv("LUMAVEX_EMU_FAIL_ALLOC");
    EXPECT_TRUE(orphan.m_strSessionId.empty());
    capture.Clear();
    CTackStreamFromNubrix::MsgCallBackFunc("", 0, 7, "UE101", &orphan);
    EXPECT_TRUE(untouched.States().empty());
    EXPECT_EQ(capture.Records().size(), 0u);
    EXPECT_FALSE(orphan.Connect());

    // Closed while it plays, or disconnected twice, connected again and destroyed while it plays.
    for (bool close : {true, false}) {
        Sink player;
        capture.Clear();
        source = new CTackStreamFromNubrix(&param, player.Data(), &player, &sessionId);
        ASSERT_TRUE(source->Connect());
        EXPECT_EQ(capture.Count("VantraIotSMSPlugin",
                                "[PexloCommon::CTackStreamFromNubrix::Connect][tvq-v1.10.0]CTackStreamFromNubrix::"
                                "Connect begin.[..\\..\\code\\TackStreamFromNubrix(72)]"),
                  1u);
        EXPECT_EQ(source->m_iPlayHandle.load(), 0);
        ASSERT_TRUE(vantra_test::WaitUntil([&] { return player.packets >= 20; }));
        if (close) {
            source->Close();
            EXPECT_EQ(source->m_iPlayHandle.load(), -1);
            EXPECT_EQ(emu.OpenSessions(), 0);
            capture.Clear();
            delete source;  // closed, not playing: the destructor frees again and stops the timer twice
            EXPECT_EQ(TimerStops(capture), 2u);
        } else {
            source->Disconnect();
            source->Disconnect();
            EXPECT_EQ(emu.ActivePlays(), 0);
            EXPECT_EQ(emu.OpenSessions(), 1);  // the session stays until the destructor
            ASSERT_TRUE(source->Connect());
            capture.Clear();
            delete source;  // playing: stop, free, then the timer twice more
            EXPECT_EQ(TimerStops(capture), 3u);
            EXPECT_EQ(capture.Count("VantraIotSMSPlguin",
                                    "[PexloCommon::CNubrixPexloPreview::StopRealPlay][NubrixPexloComm]"
                                    "[CPexloInterfaceMgr] StopRealPlay[..\\..\\code\\NubrixPexloStream(102)]"),
                      1u);
        }
        EXPECT_EQ(emu.OpenSessions(), 0);
        EXPECT_EQ(emu.ActivePlays(), 0);
    }
}

// The fan-out itself is held to its model by the fan-out fuzz target's seeds.
TEST(RealStream, SignsOfLifeANullObserverAndOneWatchdogThread) {
    ScopedLogCapture capture;
    CRealStream stream(Param());
    // A null pointer with a length is no sign of life, an empty packet is; before the watchdog's connects write it too.
    stream.m_tLastData.store(-30);
    stream.DeliverPacket(2, nullptr, 100);
    EXPECT_EQ(stream.m_tLastData.load(), -30);
    stream.DeliverPacket(2, Bytes(""), 0);
    EXPECT_GT(stream.m_tLastData.load(), 0);

    bool flag = true;
    EXPECT_FALSE(stream.StartTakeStream(&flag, nullptr));
    EXPECT_TRUE(flag);  // untouched
    RecordingObserver observers[2];
    for (auto& observer : observers) ASSERT_TRUE(stream.StartTakeStream(&flag, &observer));
    EXPECT_EQ(capture.CountContaining("StartTakeStream BeginThread"), 1u);
    for (auto& observer : observers) stream.StopTakeStream(&observer);
    EXPECT_TRUE(stream.IsWatchdogRunning());  // only the destructor stops the thread
}

TEST(RealStream, WatchdogReconnectsOncePerSilenceAndOnlyWhileObserved) {
    ASSERT_TRUE(LoadAndInit());
    vantra_test::Emulator emu;
    emu.Reset();
    CPexloInterfaceMgr::GetInstance()->FiniLib();
    ASSERT_TRUE(LoadAndInit());
    CRealStream::SetClock(&FakeNow);
    // Every connect registers the data callback first, so its count is the count of attempts.
    auto attempts = [&] { return emu.Count("Pexlo_SetDataCallBack|"); };
    // A pass already under way may have read the clock before it moved: the second one counts.
    auto after = [&](CRealStream& stream, int64_t seconds) {
        g_now += seconds;
        for (int round = 0; round < 2; ++round) {
            const uint64_t seen = stream.WatchdogPasses();
            stream.WakeWatchdog();
            EXPECT_TRUE(stream.WaitForWatchdogPass(seen));
        }
        return attempts();
    };
    CRealStream stream(Param("SILENT-1", PexloCommon::kSourceTypeNubrix));  // plays, sends nothing
    RecordingObserver observer, second;
    bool flag = false;
    ASSERT_TRUE(stream.StartTakeStream(&flag, &observer));
    EXPECT_EQ(after(stream, 0), 1u) << "the first pass after the first attach connects";
    EXPECT_EQ(emu.ActivePlays(), 1);
    EXPECT_EQ(after(stream, 31), 1u) << "no data since the first connect: no second attempt";

    const std::string header = "QMZX" + std::string(36, '\0');
    stream.DeliverPacket(1, Bytes(header), 40);
    EXPECT_EQ(after(stream, 29), 1u) << "29 s is not yet silence";
    EXPECT_EQ(after(stream, 1), 2u) << "30 whole seconds are";
    EXPECT_EQ(stream.m_byHeader[0], 0) << "the reconnect forgot the stream's header";
    EXPECT_EQ(after(stream, 31), 2u);
    EXPECT_EQ(after(stream, 3600), 2u);

    // An attach or a detach allows one more attempt, at once when the silence is already long enough.
    ASSERT_TRUE(stream.StartTakeStream(&flag, &second));
    EXPECT_EQ(after(stream, 0), 3u);
    EXPECT_EQ(after(stream, 31), 3u);
    // The watchdog sleeps for a whole timeout now; the detach alone must wake it into its connecting pass.
    const uint64_t asleep = stream.WatchdogPasses();
    stream.StopTakeStream(&second);
    EXPECT_TRUE(stream.WaitForWatchdogPass(asleep)) << "the detach did not wake the watchdog";
    EXPECT_EQ(attempts(), 4u);

    // With no observer left the source is closed, and a watchdog pass does not connect it again.
    stream.StopTakeStream(&observer);
    EXPECT_EQ(emu.OpenSessions(), 0);
    EXPECT_EQ(after(stream, 31), 4u);
    EXPECT_EQ(after(stream, 3600), 4u);
    EXPECT_EQ(emu.ActivePlays(), 0);

    // An idle watchdog sleeps for an hour; an attach alone must wake it into its connecting pass.
    const uint64_t seen = stream.WatchdogPasses();
    ASSERT_TRUE(stream.StartTakeStream(&flag, &observer));
    EXPECT_TRUE(stream.WaitForWatchdogPass(seen)) << "the attach did not wake the idle watchdog";
    EXPECT_EQ(attempts(), 5u);
    stream.StopTakeStream(&observer);

    // A stop right after the start, before or after the first pass: nothing plays once the stop returned.
    for (int i = 0; i < 20; ++i) {
        CRealStream idle(Param("CAM-IDLE", PexloCommon::kSourceTypeNubrix));
        ASSERT_TRUE(idle.StartTakeStream(&flag, &observer));
        idle.StopTakeStream(&observer);
        const size_t stopped = attempts();
        EXPECT_EQ(after(idle, 31), stopped) << i;
        EXPECT_EQ(emu.ActivePlays(), 0) << i;
    }
    EXPECT_EQ(emu.OpenSessions(), 0);
    CRealStream::SetClock(nullptr);
}

TEST(RealStreamWrapper, RefusedAttachIsUndoneAndStopsAreHarmless) {
    ScopedLogCapture capture;
    CRealStreamMgr* mgr = CRealStreamMgr::GetInstance();
    const size_t before = mgr->StreamCount();
    PexloCommon::CRealStreamWrapper wrapper;
    wrapper.StopTakeStream(nullptr);  // nothing to stop
    RecordingObserver observer;
    // A refused attach (the stream leaves the flag false) is undone at once.
    bool flag = false;
    wrapper.StartTakeStream(&flag, nullptr, Param("REF"));
    EXPECT_FALSE(flag);
    EXPECT_EQ(wrapper.m_pRealStream, nullptr);
    EXPECT_EQ(mgr->StreamCount(), before);
    EXPECT_EQ(capture.CountContaining("[PexloCommon::CRealStreamWrapper::StartTakeStream][StartTakeStream] "
                                      "StartTakeStream failed Serial:REF, channel:1["),
              1u);
    flag = true;
    wrapper.StartTakeStream(&flag, &observer, Param("OK"));
    EXPECT_TRUE(flag);
    ASSERT_NE(wrapper.m_pRealStream, nullptr);
    EXPECT_EQ(wrapper.m_pRealStream->m_iTimeout.load(), 30);
    EXPECT_EQ(mgr->StreamCount(), before + 1);
    // A second start without a stop gives the first stream back instead of leaking it.
    wrapper.StartTakeStream(&flag, &observer, Param("OK2"));
    EXPECT_EQ(mgr->StreamCount(), before + 1);
    wrapper.StopTakeStream(&observer);
    wrapper.StopTakeStream(&observer);
    EXPECT_EQ(wrapper.m_pRealStream, nullptr);
    EXPECT_EQ(mgr->StreamCount(), before);
}

TEST(HandleMgr, ConcurrentUseThenExhaustionReuseAndOddValues) {
    CHandleMgr* mgr = CHandleMgr::GetInstance();
    // Threads that give back exactly what they took leave every handle available exactly once.
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([mgr] {
            for (int i = 0; i < 300; ++i) {
                const int a = mgr->CreateHandle(), b = mgr->CreateHandle();
                if (a != -1) mgr->DestroyHandle(a);
                if (b != -1) mgr->DestroyHandle(b);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    std::vector<int> issued;
    for (int h = mgr->CreateHandle(); h != -1; h = mgr->CreateHandle()) {
        issued.push_back(h);
        ASSERT_LE(issued.size(), 5000u) << "handles never run out";
    }
    const std::set<int> distinct(issued.begin(), issued.end());
    EXPECT_EQ(issued.size(), 4097u);
    ASSERT_EQ(distinct.size(), 4097u);
    EXPECT_EQ(*distinct.begin(), 0);
    EXPECT_EQ(*distinct.rbegin(), 4096);

    // Exhausted: -1 until something comes back, then the oldest returned value first, odd values as they are.
    const std::vector<std::pair<std::vector<int64_t>, std::vector<int>>> steps = {
        {{}, {-1}}, {{5, 3}, {5, 3, -1}}, {{7}, {7, -1}}, {{-1, 4294967301LL}, {-1, 5}}, {{9, 9}, {9, 9, -1}}};
    for (const auto& [givenBack, expected] : steps) {
        for (int64_t h : givenBack) mgr->DestroyHandle(h);
        for (int want : expected) EXPECT_EQ(mgr->CreateHandle(), want) << "after giving back " << givenBack.size();
    }
    // The list of handles given back is bounded.
    for (size_t i = 0; i < CHandleMgr::kMaxRecoveryHandles; ++i) mgr->DestroyHandle(11);
    ScopedLogCapture capture;
    mgr->DestroyHandle(12);
    EXPECT_EQ(capture.CountContaining("recovery list full, handle:12 dropped"), 1u);
    issued.clear();
    for (int h = mgr->CreateHandle(); h != -1 && issued.size() <= CHandleMgr::kMaxRecoveryHandles;
         h = mgr->CreateHandle())
        issued.push_back(h);
    EXPECT_EQ(issued, std::vector<int>(CHandleMgr::kMaxRecoveryHandles, 11));
}

namespace {

// An installation of our own, without the SDK, so the configuration file can be written freely.
const vantra_test::TempInstall g_dir(false);

// Writes `xml` as the configuration, reads it, and answers "address|port".
std::string Read(const std::string& xml) {
    std::ofstream(g_dir.PluginDir() + "/VantraIotSMSConfig.xml", std::ios::binary) << xml;
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
    // Comments inside an entity count too: 10000 references to 100 KB would make a gigabyte of address.
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

    // The metrics file: optional, anywhere among Config's children, relative to the plugin directory; empty is off.
    auto metrics = [](const std::string& text) { return "<VantraIotMetricsFile>" + text + "</VantraIotMetricsFile>"; };
#if defined(_WIN32)
    const std::string pluginDir = g_dir.root + "/bin/../plugins\\vantraiot_plugin\\";
#else
    const std::string pluginDir = g_dir.root + "/bin/../plugins/vantraiot_plugin/";
#endif
    const std::pair<std::string, std::string> files[] = {
        {Config(metrics("m/vantra.prom") + Server("h") + Port("1")), pluginDir + "m/vantra.prom"},
        {Config(Server("h") + metrics("/var/lib/node/vantra.prom") + Port("1") + metrics("second")),
         "/var/lib/node/vantra.prom"},
        {Config(Server("h") + Port("1") + metrics("")), ""},
        {Config("<Deep>" + metrics("x.prom") + "</Deep>" + Server("h") + Port("1")), ""},
        {Config(Server("h") + Port("1")), ""}};
    for (const auto& c : files) {
        EXPECT_EQ(Read(c.first), "h|1") << c.first;
        EXPECT_EQ(CVantraLinkInterfaceMgr::GetInstance()->MetricsFile(), c.second) << c.first;
    }
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
        EXPECT_EQ(capture.CountContaining("reply refused"), 0u) << "an unknown length is not a size";
    }
    // Over 1 MiB: announced, the body is not read; unannounced, the exchange is cut off.
    for (const bool announced : {true, false}) {
        ScopedLogCapture capture;
        server.handler = [announced](const httplib::Request&, httplib::Response& res) {
            const std::string block(256 * 1024, ' ');
            if (announced) return res.set_content("{\"code\":0}" + std::string(4 * block.size(), ' '), "text/plain");
            res.set_chunked_content_provider("text/plain", [block](size_t offset, httplib::DataSink& sink) {
                sink.write(block.data(), block.size());
                if (offset > 4 * block.size()) sink.done();
                return true;
            });
        };
        EXPECT_FALSE(link->GetNubrixAccessInfo(info));
        EXPECT_EQ(capture.CountContaining("::CVantraLinkInterfaceMgr::HttpSend][videowall]HttpSend reply refused: over "
                                          "1048576 bytes."),
                  1u)
            << announced;
    }
    // Without a length, chunked or ended by the close, a reply is taken whole, and its length is what came.
    for (const bool chunked : {true, false}) {
        ScopedLogCapture capture;
        server.handler = [chunked](const httplib::Request&, httplib::Response& res) {
            const auto halves = [](size_t, httplib::DataSink& sink) {
                const size_t half = kFullData.size() / 2;
                sink.write(kFullData.data(), half);
                sink.write(kFullData.data() + half, kFullData.size() - half);
                sink.done();
                return true;
            };
            if (chunked) return res.set_chunked_content_provider("application/json", halves);
            res.set_content_provider("application/json", halves);
        };
        info = {};
        ASSERT_TRUE(link->GetNubrixAccessInfo(info)) << chunked;
        EXPECT_EQ(Fields(info), "secret-token|cloud:1|K|3|https://a|https://o");
        EXPECT_EQ(capture.CountContaining("HttpSend GetContentLength : [" + std::to_string(kFullData.size()) + "]."),
                  1u);
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

// Declared last, as it leaves the SDK loaded: let go, the library stays mapped while a session runs, else it goes.
TEST(SdkRelease, TheLibraryStaysMappedWhileASessionRuns) {
    CPexloInterfaceMgr* mgr = CPexloInterfaceMgr::GetInstance();
    const std::string path = vantra_test::EmulatorDir() + "/" + vantra_test::kSdkFile;
    auto loaded = [&] {
        void* probe = vantra_test::OpenLoadedLibrary(path);
        if (probe != nullptr) vantra_test::CloseLibrary(probe);
        return probe != nullptr;
    };
    ASSERT_TRUE(LoadAndInit());
    ASSERT_TRUE(LoadAndInit());  // a second load takes no second reference
    mgr->ReleaseLibrary();
    // The emulator's own threads may hold it a moment longer.
    EXPECT_TRUE(vantra_test::WaitUntil([&] { return !loaded(); })) << "released without sessions, yet still loaded";
    ASSERT_TRUE(LoadAndInit());
    std::string id;
    ASSERT_TRUE(mgr->AllocSession(nullptr, id));
    mgr->ReleaseLibrary();
    EXPECT_TRUE(loaded()) << "unloaded under a running session";
}
