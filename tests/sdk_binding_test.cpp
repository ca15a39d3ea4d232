// The cloud SDK binding against the SDK emulator (and its reduced build), with fakes where the emulator
// cannot reach: an id handed out twice, a success without an id.
#include <gtest/gtest.h>

#include <mutex>
#include <vector>

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
using PexloCommon::TackStreamStateInfo;
using Zeph::Base::Error;
using Zeph::Base::details::ScopedLogCapture;

namespace {

const char* kTimerTrace = "11111111111111111111111";

Error::ErrorCode LastError() { return Error::GetLastError(); }

// The call failed and left the SDK's code (module 62) as the last error.
void ExpectFailure(bool succeeded, int code) {
    EXPECT_FALSE(succeeded);
    EXPECT_EQ(LastError(), Error::ErrorCode(62, code));
}

void ClearLastError() { Error::SetLastError(Error::ErrorCode(0, 0)); }

class Recorder : public PexloCommon::CAsyncTackStreamState {
public:
    void NotifyState(const TackStreamStateInfo* info) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_states.push_back(*info);
    }
    std::vector<TackStreamStateInfo> States() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_states;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_states.clear();
    }

private:
    std::mutex m_mutex;
    std::vector<TackStreamStateInfo> m_states;
};

// The first packet a source hands over, and how many came.
class PacketSink {
public:
    PexloCommon::TackDataFunction Function() {
        return [this](unsigned long type, const unsigned char* data, unsigned long length) {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_count++ == 0)
                m_first = std::to_string(type) + ":" + std::string(reinterpret_cast<const char*>(data), length);
        };
    }
    bool WaitFor(size_t count) {
        return vantra_test::WaitUntil([&] {
            std::lock_guard<std::mutex> lock(m_mutex);
            return m_count >= count;
        });
    }
    std::string First() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_first;
    }

private:
    std::mutex m_mutex;
    size_t m_count = 0;
    std::string m_first;
};

}  // namespace

namespace PexloCommon {
// Found by argument lookup from the standard algorithms.
static bool operator==(const TackStreamStateInfo& a, const TackStreamStateInfo& b) {
    return a.iType == b.iType && a.iModule == b.iModule && a.iCode == b.iCode;
}
}  // namespace PexloCommon

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
    ClearLastError();
    ExpectFailure(mgr->AllocSession(nullptr, id), 600002);
    EXPECT_FALSE(mgr->SetConfigInfo(1, 1));
    EXPECT_EQ(capture.Count("[NubrixPexloComm][CPexloInterfaceMgr] SetConfigInfo not init pPexlo_SetConfigInfo.",
                            "[PexloCommon::CPexloInterfaceMgr::SetConfigInfo][..\\..\\code\\PexloInterfaceMgr(383)]"),
              1u);
    EXPECT_FALSE(mgr->InitLib("a", "b", "c"));
    EXPECT_EQ(capture.Count("[NubrixPexloComm][CPexloInterfaceMgr] pexlo not init interface.",
                            "[PexloCommon::CPexloInterfaceMgr::InitLib][..\\..\\code\\PexloInterfaceMgr(293)]"),
              1u);
    EXPECT_FALSE(mgr->FiniLib());
}

TEST(PexloInterfaceMgr, WrappedCallsRecordTheSdkCodeAndKeepTheirState) {
    ScopedLogCapture capture;
    CPexloInterfaceMgr* mgr = CPexloInterfaceMgr::GetInstance();
    ASSERT_TRUE(mgr->LoadDso(vantra_test::EmulatorDir()));
    vantra_test::Emulator emu;
    ASSERT_TRUE(emu.Loaded());
    emu.Reset();

    EXPECT_FALSE(mgr->FiniLib());
    EXPECT_FALSE(mgr->InitLib("", "https://open", "KEY"));  // the SDK refuses: no record of its code
    EXPECT_EQ(capture.Count("[NubrixPexloComm][CPexloInterfaceMgr] Pexlo_InitLib init failed.",
                            "[PexloCommon::CPexloInterfaceMgr::InitLib][..\\..\\code\\PexloInterfaceMgr(299)]"),
              1u);
    ASSERT_TRUE(mgr->InitClientLib("https://auth", "https://open", "KEY"));
    EXPECT_EQ(capture.Count("[NubrixPexloComm][CPexloInterfaceMgr]Pexlo_InitClientLib.",
                            "[PexloCommon::CPexloInterfaceMgr::InitClientLib][..\\..\\code\\PexloInterfaceMgr(368)]"),
              1u);
    EXPECT_EQ(mgr->m_strPlatformAddr, "https://open");
    EXPECT_TRUE(mgr->InitLib("x", "y", "z"));  // already initialised: the SDK is not called again
    EXPECT_TRUE(mgr->InitClientLib("x", "y", "z"));
    EXPECT_EQ(emu.Count("Pexlo_InitClientLib|"), 1u);
    EXPECT_EQ(emu.Count("Pexlo_InitLib|"), 1u);
    EXPECT_EQ(mgr->m_strAuthAddr, "https://auth");

    EXPECT_TRUE(mgr->SetConfigInfo(6, 64));
    EXPECT_EQ(capture.Count("[NubrixPexloComm][CPexloInterfaceMgr] SetConfigInfo OK.",
                            "[PexloCommon::CPexloInterfaceMgr::SetConfigInfo][..\\..\\code\\PexloInterfaceMgr(389)]"),
              1u);
    mgr->SetPlatformAddr("platform.example:443");
    EXPECT_EQ(mgr->m_strPlatformAddr, "platform.example:443");

    ExpectFailure(mgr->SetAccessToken(""), LVX_EMU_ERR_INVALID_ARGUMENT);
    EXPECT_FALSE(mgr->SetNonDeviceTkToken(""));
    EXPECT_EQ(
        capture.Count("[NubrixPexloComm][CPexloInterfaceMgr] Failed to SetNonDeviceTkToken.",
                      "[PexloCommon::CPexloInterfaceMgr::SetNonDeviceTkToken][..\\..\\code\\PexloInterfaceMgr(437)]"),
        1u);
    ExpectFailure(mgr->SetDeviceTkTokens("not json"), LVX_EMU_ERR_BAD_TOKEN_JSON);
    EXPECT_EQ(
        capture.Count("[NubrixPexloComm][CPexloInterfaceMgr] Failed to SetDeviceTkTokens.",
                      "[PexloCommon::CPexloInterfaceMgr::SetDeviceTkTokens][..\\..\\code\\PexloInterfaceMgr(482)]"),
        1u);
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

namespace {
char g_fakeId[] = "same-id";
int FakeAllocSame(PexloMsgCallBack, void*, char** id, int* length) {
    *id = g_fakeId;
    *length = 7;
    return 0;
}
int FakeAllocNull(PexloMsgCallBack, void*, char** id, int*) {
    *id = nullptr;
    return 0;
}
int FakeDataFree(void*) { return 0; }
int FakeFreeSession(const char*) { return 0; }
int FakeFailingToken(const char*) { return -1; }
int FakePositiveToken(const char*) { return 7; }
}  // namespace

TEST(PexloInterfaceMgr, DuplicateIdsNullIdsAndAnUnreadableErrorCode) {
    CPexloInterfaceMgr* mgr = CPexloInterfaceMgr::GetInstance();
    mgr->pPexlo_AllocSessionEx.store(&FakeAllocSame);
    mgr->pPexlo_Data_Free.store(&FakeDataFree);
    std::string first, second;
    EXPECT_TRUE(mgr->AllocSession(nullptr, first));
    EXPECT_TRUE(mgr->AllocSession(nullptr, second));
    EXPECT_EQ(second, "same-id");
    EXPECT_EQ(mgr->SessionCount(), 1u);
    mgr->pPexlo_FreeSession.store(&FakeFreeSession);
    EXPECT_TRUE(mgr->FreeSession("same-id"));
    EXPECT_EQ(mgr->SessionCount(), 0u);

    mgr->pPexlo_AllocSessionEx.store(&FakeAllocNull);
    mgr->pPexlo_GetLastErrorCode.store(nullptr);
    std::string none;
    ExpectFailure(mgr->AllocSession(nullptr, none), 600002);
    mgr->pPexlo_SetAccessToken.store(&FakeFailingToken);
    ClearLastError();
    ExpectFailure(mgr->SetAccessToken("t"), 600002);
    // Only a negative result is a failure.
    mgr->pPexlo_SetAccessToken.store(&FakePositiveToken);
    ClearLastError();
    EXPECT_TRUE(mgr->SetAccessToken("t"));
    EXPECT_EQ(LastError(), Error::ErrorCode(0, 0));
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
    EXPECT_EQ(LastError(), Error::ErrorCode(62, 600002));
    EXPECT_TRUE(preview.StopRealPlay(id));
    EXPECT_TRUE(mgr->FreeSession(id));
    mgr->FiniLib();
}

TEST(NubrixPexloPreview, UECodeTableAndMissingDataCallbackEntry) {
    EXPECT_EQ(CNubrixPexloPreview::GetUEErrorCode("UE111"), 111);
    EXPECT_EQ(CNubrixPexloPreview::GetUEErrorCode("UE001"), 1);
    EXPECT_EQ(CNubrixPexloPreview::GetUEErrorCode(""), 0);
    for (const char* other : {"UE107", "ue101", "UE1011", "UE10", "UE101 ", "x"}) {
        EXPECT_EQ(CNubrixPexloPreview::GetUEErrorCode(other), -1) << other;
    }
    CPexloInterfaceMgr* mgr = CPexloInterfaceMgr::GetInstance();
    auto saved = mgr->pPexlo_SetDataCallBack.exchange(nullptr);
    CNubrixPexloPreview preview;
    ClearLastError();
    ExpectFailure(preview.SetDataCallBack("s", nullptr, nullptr), 600002);
    mgr->pPexlo_SetDataCallBack.store(saved);
}

TEST(TackStreamFromNubrix, TranslatesMessagesIntoStateRecords) {
    ASSERT_TRUE(vantra_test::LoadAndInit());
    vantra_test::Emulator emu;
    Recorder recorder;
    StreamParam param;
    param.strSerial = "CAM1";
    param.iChannel = 1;
    std::string sessionId;
    auto* source = new CTackStreamFromNubrix(
        &param, [](unsigned long, const unsigned char*, unsigned long) {}, &recorder, &sessionId);
    ASSERT_FALSE(sessionId.empty());
    EXPECT_EQ(source->m_strSessionId, sessionId);

    ScopedLogCapture capture;
    struct Case {
        unsigned type;
        int code;
        const char* info;
    };
    const Case cases[] = {{0, 0, ""},       {0, 7, ""},       {0, 0, "UE104"},  {3, 9, "UE105"}, {5, 0, "UE101"},
                          {4, 8, ""},       {4, 0, ""},       {16, 0, ""},      {17, 3, ""},     {18, 18, ""},
                          {18, 510255, ""}, {91, 1, "UE101"}, {92, 1, "UE101"}, {99, 1, ""},     {2, 5, "UE107"}};
    for (const Case& c : cases) ASSERT_EQ(emu.SendMessage(sessionId, c.type, c.code, c.info), 0);

    const std::vector<TackStreamStateInfo> expected = {{1, 62, 7}, {1, 65, 104}, {1, 65, 9}, {1, 65, 101},
                                                       {8, 62, 8}, {5, 62, 0},   {6, 62, 3}, {2, 62, 18}};
    EXPECT_EQ(recorder.States(), expected);
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
    EXPECT_EQ(capture.Count(kTimerTrace, "[PexloCommon::CTimer::stop][..\\..\\code\\Timer(23)]"),
              3u);  // positive UE codes
    recorder.Clear();
    ASSERT_EQ(emu.SendMessage(sessionId, 0, 0, "UE104"), 0);
    EXPECT_FALSE(source->m_pPreview->IsStreamKeyCorrect());
    delete source;
    EXPECT_EQ(emu.OpenSessions(), 0);

    // Without a session every message stops before the state is touched.
    vantra_test::SetEnv("LUMAVEX_EMU_FAIL_ALLOC", "1");
    std::string noSession;
    CTackStreamFromNubrix orphan(
        &param, [](unsigned long, const unsigned char*, unsigned long) {}, &recorder, &noSession);
    vantra_test::UnsetEnv("LUMAVEX_EMU_FAIL_ALLOC");
    EXPECT_TRUE(orphan.m_strSessionId.empty());
    capture.Clear();
    recorder.Clear();
    CTackStreamFromNubrix::MsgCallBackFunc("", 0, 7, "UE101", &orphan);
    EXPECT_TRUE(recorder.States().empty());
    EXPECT_EQ(capture.Records().size(), 0u);
    EXPECT_FALSE(orphan.Connect());
}

TEST(TackStreamFromNubrix, PlaysTheClipAndStopsCleanlyInEveryOrder) {
    ASSERT_TRUE(vantra_test::LoadAndInit());
    vantra_test::Emulator emu;
    Recorder recorder;

    for (int level : {1, 2}) {
        StreamParam param;
        param.strSerial = "CAM" + std::to_string(level);
        param.iChannel = 1;
        param.iVideoLevel = level;
        PacketSink sink;
        std::string sessionId;
        ScopedLogCapture capture;
        auto* source = new CTackStreamFromNubrix(&param, sink.Function(), &recorder, &sessionId);
        ASSERT_TRUE(source->Connect());
        EXPECT_EQ(source->m_iPlayHandle.load(), 0);
        EXPECT_NE(emu.Journal().find("Pexlo_StartPlayWithStreamType|" + sessionId + "|" + param.strSerial + "|1||" +
                                     std::to_string(level) + "\n"),
                  std::string::npos);
        ASSERT_TRUE(sink.WaitFor(20));
        source->Close();
        EXPECT_EQ(source->m_iPlayHandle.load(), -1);
        EXPECT_EQ(emu.OpenSessions(), 0);
        // The stream header first, as the SDK sent it; what follows it is the clip (checked where the host gets it).
        const std::string first = sink.First();
        EXPECT_EQ(first.size(), 42u);
        EXPECT_EQ(first.substr(0, 6), level == 2 ? "1:ZPLC" : "1:QMZX");

        capture.Clear();
        delete source;  // closed, not playing: the destructor frees again and stops the timer twice
        EXPECT_EQ(capture.Count(kTimerTrace, "[PexloCommon::CTimer::stop][..\\..\\code\\Timer(23)]"), 2u);
    }

    // Connect, Disconnect, destroy: play stops once, the session stays until the destructor.
    StreamParam param;
    param.strSerial = "CAM9";
    param.iChannel = 2;
    std::string sessionId;
    ScopedLogCapture capture;
    auto* source = new CTackStreamFromNubrix(
        &param, [](unsigned long, const unsigned char*, unsigned long) {}, &recorder, &sessionId);
    ASSERT_TRUE(source->Connect());
    EXPECT_EQ(capture.Count("VantraIotSMSPlugin",
                            "[PexloCommon::CTackStreamFromNubrix::Connect][tvq-v1.10.0]CTackStreamFromNubrix::Connect "
                            "begin.[..\\..\\code\\TackStreamFromNubrix(72)]"),
              1u);
    source->Disconnect();
    source->Disconnect();
    EXPECT_EQ(emu.ActivePlays(), 0);
    EXPECT_EQ(emu.OpenSessions(), 1);
    ASSERT_TRUE(source->Connect());
    capture.Clear();
    delete source;  // playing: stop, free, then the timer twice more
    EXPECT_EQ(capture.Count(kTimerTrace, "[PexloCommon::CTimer::stop][..\\..\\code\\Timer(23)]"), 3u);
    EXPECT_EQ(capture.Count("VantraIotSMSPlguin",
                            "[PexloCommon::CNubrixPexloPreview::StopRealPlay][NubrixPexloComm][CPexloInterfaceMgr] "
                            "StopRealPlay[..\\..\\code\\NubrixPexloStream(102)]"),
              1u);
    EXPECT_EQ(emu.OpenSessions(), 0);
    EXPECT_EQ(emu.ActivePlays(), 0);
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
