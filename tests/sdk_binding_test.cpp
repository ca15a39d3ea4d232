// The cloud SDK binding against the SDK emulator (and its reduced build), with fakes where the emulator
// cannot reach: an id handed out twice, a success without an id.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <tuple>
#include <utility>

#include "NubrixPexloStream.h"
#include "PexloInterfaceMgr.h"
#include "SdkTestSupport.h"
#include "TackStreamFromNubrix.h"
#include "ZephBase/Error.h"
#include "ZephBase/Log.h"

using PexloCommon::CNubrixPexloPreview;
using PexloCommon::CPexloInterfaceMgr;
using PexloCommon::CTackStreamFromNubrix;
using PexloCommon::StreamParam;
using Zeph::Base::Error;
using Zeph::Base::details::ScopedLogCapture;

namespace {

void ClearLastError() { Error::SetLastError(Error::ErrorCode(0, 0)); }

// The call failed and left the SDK's code (module 62) as the last error. Clears it after, so the next
// failure checked has to set it again.
void ExpectFailure(bool succeeded, int code) {
    EXPECT_FALSE(succeeded);
    EXPECT_EQ(Error::GetLastError(), Error::ErrorCode(62, code));
    ClearLastError();
}

// Records of the interface manager: "[NubrixPexloComm][CPexloInterfaceMgr]" and its message, then the
// function and the source line.
size_t MgrRecords(const ScopedLogCapture& capture, const std::string& message, const std::string& function,
                  const std::string& where) {
    return capture.Count("[NubrixPexloComm][CPexloInterfaceMgr]" + message,
                         "[PexloCommon::CPexloInterfaceMgr::" + function + "][..\\..\\code\\" + where + "]");
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

}  // namespace

// Declared first: in a fresh process nothing has been loaded yet.
TEST(PexloInterfaceMgr, MissingLibraryLogsTheReasonAndEveryCallFailsWith600002) {
    ScopedLogCapture capture;
    CPexloInterfaceMgr* mgr = CPexloInterfaceMgr::GetInstance();
    EXPECT_FALSE(mgr->LoadDso("/nonexistent/plugins\\vantraiot_plugin"));
    auto records = capture.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, 5);
    EXPECT_EQ(records[0].text.rfind("[PexloCommon::CPexloInterfaceMgr::LoadDso][NubrixPexloComm][CPexloInterfaceMgr] "
                                    "Failed to LoadDso, File path:/nonexistent/plugins\\vantraiot_plugin. Error:",
                                    0),
              0u);
#if !defined(_WIN32)
    EXPECT_NE(records[0].text.find("libLumavex.so"), std::string::npos);  // the loader's own words
#endif
    EXPECT_NE(records[0].text.find(" ErrorNum:"), std::string::npos);
    EXPECT_NE(records[0].text.find("[..\\..\\code\\PexloInterfaceMgr(168)]"), std::string::npos);

    EXPECT_EQ(mgr->GetLastErrorCode(), 600002);
    ClearLastError();
    ExpectFailure(mgr->SetAccessToken("t"), 600002);
    std::string id;
    ExpectFailure(mgr->AllocSession(nullptr, id), 600002);
    EXPECT_FALSE(mgr->SetConfigInfo(1, 1));
    EXPECT_EQ(
        MgrRecords(capture, " SetConfigInfo not init pPexlo_SetConfigInfo.", "SetConfigInfo", "PexloInterfaceMgr(383)"),
        1u);
    EXPECT_FALSE(mgr->InitLib("a", "b", "c"));
    EXPECT_EQ(MgrRecords(capture, " pexlo not init interface.", "InitLib", "PexloInterfaceMgr(293)"), 1u);
    EXPECT_FALSE(mgr->FiniLib());
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
        ASSERT_TRUE(vantra_test::LoadAndInit(vantra_test::ReducedEmulatorDir()));
        auto records = capture.Records();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].level, 5);
        EXPECT_NE(records[0].text.find("lacks entry points the plugin calls: Pexlo_SetSessionConfig "
                                       "Pexlo_GetLastErrorCode["),
                  std::string::npos)
            << records[0].text;
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

TEST(NubrixPexloPreview, UECodeTable) {
    const std::pair<const char*, int> table[] = {{"UE111", 111}, {"UE001", 1},   {"", 0},
                                                 {"UE107", -1},  {"ue101", -1},  {"UE1011", -1},
                                                 {"UE10", -1},   {"UE101 ", -1}, {"x", -1}};
    for (const auto& c : table) EXPECT_EQ(CNubrixPexloPreview::GetUEErrorCode(c.first), c.second) << c.first;
}

TEST(TackStreamFromNubrix, TranslatesMessagesIntoStateRecords) {
    ASSERT_TRUE(vantra_test::LoadAndInit());
    vantra_test::Emulator emu;
    Sink sink;
    StreamParam param;
    param.strSerial = "CAM1";
    param.iChannel = 1;
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
}

// Closed while it plays, or disconnected twice, connected again and destroyed while it plays.
TEST(TackStreamFromNubrix, PlaysAndStopsCleanlyInEitherOrder) {
    ASSERT_TRUE(vantra_test::LoadAndInit());
    vantra_test::Emulator emu;
    StreamParam param;
    param.strSerial = "CAM1";
    param.iChannel = 1;
    for (bool close : {true, false}) {
        Sink sink;
        std::string sessionId;
        ScopedLogCapture capture;
        auto* source = new CTackStreamFromNubrix(&param, sink.Data(), &sink, &sessionId);
        ASSERT_TRUE(source->Connect());
        EXPECT_EQ(capture.Count("VantraIotSMSPlugin",
                                "[PexloCommon::CTackStreamFromNubrix::Connect][tvq-v1.10.0]CTackStreamFromNubrix::"
                                "Connect begin.[..\\..\\code\\TackStreamFromNubrix(72)]"),
                  1u);
        EXPECT_EQ(source->m_iPlayHandle.load(), 0);
        ASSERT_TRUE(vantra_test::WaitUntil([&] { return sink.packets >= 20; }));
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

// Declared last: it leaves the SDK loaded. A library that still runs a session stays mapped when the manager
// lets go of it, and one that runs none goes.
TEST(SdkRelease, TheLibraryStaysMappedWhileASessionRuns) {
    CPexloInterfaceMgr* mgr = CPexloInterfaceMgr::GetInstance();
    const std::string path = vantra_test::EmulatorDir() + "/" + vantra_test::kSdkFile;
    auto loaded = [&] {
        void* probe = vantra_test::OpenLoadedLibrary(path);
        if (probe != nullptr) vantra_test::CloseLibrary(probe);
        return probe != nullptr;
    };
    ASSERT_TRUE(vantra_test::LoadAndInit());
    ASSERT_TRUE(vantra_test::LoadAndInit());  // a second load takes no second reference
    mgr->ReleaseLibrary();
    // The emulator's own threads may hold it a moment longer.
    EXPECT_TRUE(vantra_test::WaitUntil([&] { return !loaded(); })) << "released without sessions, yet still loaded";
    ASSERT_TRUE(vantra_test::LoadAndInit());
    std::string id;
    ASSERT_TRUE(mgr->AllocSession(nullptr, id));
    mgr->ReleaseLibrary();
    EXPECT_TRUE(loaded()) << "unloaded under a running session";
}
