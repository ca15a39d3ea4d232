// Emulates the Lumavex cloud video SDK: the Pexlo_ entry points of PexloSdk.h plus LumavexEmu_ diagnostics.
// No emulator lock is ever held while a callback of the caller runs: the caller's callbacks may block on its
// own locks while another of its threads stops or frees a session.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "Emulator.h"
#include "LumavexEmu.h"
#include "PexloSdk.h"

#if defined(_WIN32)
#define LVX_EXPORT extern "C" __declspec(dllexport)
#else
#define LVX_EXPORT extern "C" __attribute__((visibility("default")))
#endif

using namespace lumavex_emu;

namespace {
// Where a real SDK would look for its own files: the current directory as the library was loaded.
std::string CurrentDirectory() {
    std::error_code ec;
    return std::filesystem::current_path(ec).string();
}
const std::string gLoadDirectory = CurrentDirectory();
}  // namespace

LVX_EXPORT int Pexlo_InitLib(const char* authAddr, const char* openAddr, const char* appKey, void* reserved) {
    (void)reserved;
    return Init("Pexlo_InitLib", authAddr, openAddr, appKey, false, 0);
}

LVX_EXPORT int Pexlo_InitClientLib(const char* authAddr, const char* openAddr, const char* appKey, void* reserved,
                                   int clientMode) {
    (void)reserved;
    return Init("Pexlo_InitClientLib", authAddr, openAddr, appKey, true, clientMode);
}

LVX_EXPORT int Pexlo_FiniLib(void) {
    gEmu.journal.Add({"Pexlo_FiniLib"});
    Stall("Pexlo_FiniLib");
    std::lock_guard<std::mutex> lock(gEmu.mutex);
    gEmu.initialized = false;
    gEmu.clientMode = false;
    return 0;
}

LVX_EXPORT int Pexlo_SetConfigInfo(int key, int value) {
    gEmu.journal.Add({"Pexlo_SetConfigInfo", std::to_string(key), std::to_string(value)});
    Stall("Pexlo_SetConfigInfo");
    std::lock_guard<std::mutex> lock(gEmu.mutex);
    gEmu.configInfo[key] = value;
    return 0;
}

LVX_EXPORT int Pexlo_SetPlatformAddr(const char* address) {
    return RememberText("Pexlo_SetPlatformAddr", address, gEmu.platformAddr);
}

LVX_EXPORT int Pexlo_SetAccessToken(const char* token) {
    return RememberText("Pexlo_SetAccessToken", token, gEmu.accessToken);
}

LVX_EXPORT int Pexlo_SetNonDeviceTkToken(const char* token) {
    return RememberText("Pexlo_SetNonDeviceTkToken", token, gEmu.accountToken);
}

LVX_EXPORT int Pexlo_SetDeviceTkTokens(const char* tokenJson) {
    gEmu.journal.Add({"Pexlo_SetDeviceTkTokens", JournalField(tokenJson)});
    Stall("Pexlo_SetDeviceTkTokens");
    if (Empty(tokenJson)) {
        return Fail(LVX_EMU_ERR_INVALID_ARGUMENT);
    }
    std::vector<std::pair<std::string, std::string>> tokens;
    if (!ParseDeviceTokens(tokenJson, tokens)) {
        return Fail(LVX_EMU_ERR_BAD_TOKEN_JSON);
    }
    std::lock_guard<std::mutex> lock(gEmu.mutex);
    for (auto& token : tokens) {
        gEmu.deviceTokens[token.first] = std::move(token.second);
    }
    return 0;
}

LVX_EXPORT int Pexlo_AllocSessionEx(PexloMsgCallBack callback, void* user, char** sessionId, int* length) {
    Stall("Pexlo_AllocSessionEx");
    if (sessionId == nullptr) {
        gEmu.journal.Add({"Pexlo_AllocSessionEx", ""});
        return Fail(LVX_EMU_ERR_INVALID_ARGUMENT);
    }
    if (EnvFlag("LUMAVEX_EMU_FAIL_ALLOC")) {
        gEmu.journal.Add({"Pexlo_AllocSessionEx", ""});
        return Fail(LVX_EMU_ERR_INJECTED);
    }
    BlockFor(SlowAllocMs(gAllocations.fetch_add(1) + 1));
    std::unique_lock<std::mutex> lock(gEmu.mutex);
    if (!gEmu.initialized) {
        lock.unlock();
        gEmu.journal.Add({"Pexlo_AllocSessionEx", ""});
        return Fail(LVX_EMU_ERR_NOT_INITIALIZED);
    }
    std::string id = "lvx-session-" + std::to_string(gEmu.nextSession++);
    auto* buffer = static_cast<char*>(std::malloc(id.size() + 1));
    std::memcpy(buffer, id.c_str(), id.size() + 1);
    gEmu.idBuffers.insert(buffer);
    gEmu.sessions.emplace(id, std::make_shared<Session>(id, callback, user));
    lock.unlock();
    gEmu.journal.Add({"Pexlo_AllocSessionEx", id});
    *sessionId = buffer;
    if (length != nullptr) {
        *length = static_cast<int>(id.size());
    }
    return 0;
}

LVX_EXPORT int Pexlo_Data_Free(void* data) {
    gEmu.journal.Add({"Pexlo_Data_Free"});
    Stall("Pexlo_Data_Free");
    {
        std::lock_guard<std::mutex> lock(gEmu.mutex);
        if (gEmu.idBuffers.erase(data) == 0) {
            return Fail(LVX_EMU_ERR_UNKNOWN_BUFFER);
        }
    }
    std::free(data);
    return 0;
}

LVX_EXPORT int Pexlo_FreeSession(const char* sessionId) {
    gEmu.journal.Add({"Pexlo_FreeSession", JournalField(sessionId)});
    Stall("Pexlo_FreeSession");
    std::shared_ptr<Session> session;
    bool refused = false;
    if (sessionId != nullptr) {
        std::lock_guard<std::mutex> lock(gEmu.mutex);
        auto found = gEmu.sessions.find(sessionId);
        if (found != gEmu.sessions.end()) {
            session = found->second;
            // A CLING session stays open, and calls back later as a GHOST one does.
            refused = session->cling;
            if (!refused) gEmu.sessions.erase(found);
        }
    }
    if (!session) {
        return Fail(LVX_EMU_ERR_UNKNOWN_SESSION);
    }
    if (refused) {
        gEmu.ghosts.Haunt(nullptr, nullptr, session->MsgCallback(), session->MsgUser(), session->id);
        return Fail(LVX_EMU_ERR_FREE_REFUSED);
    }
    if (session->slow) BlockFor(SlowMs());
    // Still delivering meanwhile: the play goes on until the free gets through.
    if (session->hang && gEmu.hang.Block()) session->hang = false;
    Emulator::Close(session);
    if (session->ghost) {
        PexloDataCallBack data;
        void* dataUser;
        {
            std::lock_guard<std::mutex> lock(session->mutex);
            data = session->dataCallback;
            dataUser = session->dataUser;
        }
        gEmu.ghosts.Haunt(data, dataUser, session->MsgCallback(), session->MsgUser(), session->id);
    }
    return 0;
}

LVX_EXPORT int Pexlo_SetDataCallBack(const char* sessionId, PexloDataCallBack callback, void* user) {
    gEmu.journal.Add({"Pexlo_SetDataCallBack", JournalField(sessionId)});
    Stall("Pexlo_SetDataCallBack");
    std::shared_ptr<Session> session = gEmu.Find(sessionId);
    if (!session) {
        return Fail(LVX_EMU_ERR_UNKNOWN_SESSION);
    }
    if (callback == nullptr) {
        return Fail(LVX_EMU_ERR_INVALID_ARGUMENT);
    }
    if (session->slow) BlockFor(SlowMs());
    std::lock_guard<std::mutex> lock(session->mutex);
    if (session->closed) {
        return Fail(LVX_EMU_ERR_UNKNOWN_SESSION);
    }
    session->dataCallback = callback;
    session->dataUser = user;
    return 0;
}

#ifndef LUMAVEX_EMU_REDUCED
LVX_EXPORT int Pexlo_SetSessionConfig(const char* sessionId, int key, int value) {
    gEmu.journal.Add({"Pexlo_SetSessionConfig", JournalField(sessionId), std::to_string(key), std::to_string(value)});
    std::shared_ptr<Session> session = gEmu.Find(sessionId);
    if (!session) {
        return Fail(LVX_EMU_ERR_UNKNOWN_SESSION);
    }
    std::lock_guard<std::mutex> lock(session->mutex);
    session->config[key] = value;
    return 0;
}
#endif

LVX_EXPORT int Pexlo_StartPlayWithStreamType(const char* sessionId, void* window, const char* deviceSerial,
                                             int channelNo, const char* streamKey, int streamType) {
    (void)window;
    gEmu.journal.Add({"Pexlo_StartPlayWithStreamType", JournalField(sessionId), JournalField(deviceSerial),
                      std::to_string(channelNo), JournalField(streamKey), std::to_string(streamType)});
    Stall("Pexlo_StartPlayWithStreamType");
    std::shared_ptr<Session> session = gEmu.Find(sessionId);
    if (!session) {
        return Fail(LVX_EMU_ERR_UNKNOWN_SESSION);
    }
    if (Empty(deviceSerial)) {
        return Fail(LVX_EMU_ERR_INVALID_ARGUMENT);
    }
    if (EnvFlag("LUMAVEX_EMU_FAIL_PLAY")) {
        return Fail(LVX_EMU_ERR_INJECTED);
    }
    {
        std::lock_guard<std::mutex> lock(session->mutex);
        if (session->closed) {
            return Fail(LVX_EMU_ERR_UNKNOWN_SESSION);
        }
        if (session->dataCallback == nullptr) {
            return Fail(LVX_EMU_ERR_NO_DATA_CALLBACK);
        }
        if (session->play) {
            return Fail(LVX_EMU_ERR_ALREADY_PLAYING);
        }
    }
    const std::string serial = deviceSerial;
    session->ghost = session->ghost || StartsWith(serial, "GHOST");
    session->reenter = session->reenter || StartsWith(serial, "REENTER");
    session->hang = session->hang || StartsWith(serial, "HANG");
    session->cling = session->cling || StartsWith(serial, "CLING");
    if (StartsWith(serial, "SLOW")) {
        session->slow = true;
        BlockFor(SlowMs());
    }
    if (StartsWith(serial, "REFUSE")) {
        gEmu.pump.Post(session, 0, LVX_EMU_ERR_DEVICE_REFUSED, "UE101");
        return Fail(LVX_EMU_ERR_DEVICE_REFUSED);
    }
    if (StartsWith(serial, "MUTE")) {
        return Fail(0);
    }
    if (StartsWith(serial, "LATE")) {
        auto clip = LoadClip(MediaDir() + "/clip.h264", Codec::H264);
        std::lock_guard<std::mutex> lock(session->mutex);
        if (clip && !session->closed && !session->sideThread.joinable()) {
            session->sideThread = std::thread(DeliverAfterRefusal, session, clip, StreamHeader(Codec::H264));
        }
        return Fail(LVX_EMU_ERR_LATE_REFUSAL);
    }
    bool covered;
    bool clientMode;
    {
        std::lock_guard<std::mutex> lock(gEmu.mutex);
        clientMode = gEmu.clientMode;
        covered = gEmu.deviceTokens.count(serial) != 0;
    }
    if (clientMode && !covered) {
        gEmu.pump.Post(session, 0, LVX_EMU_ERR_NO_DEVICE_TOKEN, "UE104");
        return Fail(LVX_EMU_ERR_NO_DEVICE_TOKEN);
    }

    const Codec codec = streamType == 2 ? Codec::H265 : Codec::H264;
    PlayPlan plan;
    plan.clip = LoadClip(MediaDir() + (codec == Codec::H265 ? "/clip.h265" : "/clip.h264"), codec);
    if (!plan.clip) {
        return Fail(LVX_EMU_ERR_MEDIA_UNAVAILABLE);
    }
    plan.header = StreamHeader(codec);
    plan.silent = StartsWith(serial, "SILENT");
    plan.fps = EnvNumber("LUMAVEX_EMU_FPS", kDefaultFps);
    plan.fadeMs = StartsWith(serial, "FADE") ? EnvNumber("LUMAVEX_EMU_FADE_MS", kDefaultFadeMs) : -1;
    {
        std::lock_guard<std::mutex> lock(session->mutex);
        // Re-checked: another thread may have freed, started or unset things since the first look.
        if (session->closed) {
            return Fail(LVX_EMU_ERR_UNKNOWN_SESSION);
        }
        if (session->play) {
            return Fail(LVX_EMU_ERR_ALREADY_PLAYING);
        }
        auto play = std::make_shared<Play>();
        play->thread = std::thread(Deliver, session, play, std::move(plan));
        session->play = std::move(play);
        ++gActivePlays;
    }
    if (StartsWith(serial, "FLOOD")) {
        const long pauseUs = EnvNumber("LUMAVEX_EMU_FLOOD_US", kDefaultFloodUs);
        std::lock_guard<std::mutex> lock(session->mutex);
        if (!session->closed && !session->sideThread.joinable()) {
            session->sideThread = std::thread(Flood, session, pauseUs);
        }
    }
    if (StartsWith(serial, "MSGS")) {
        static const struct {
            unsigned int type;
            int code;
            const char* info;
        } kMessages[] = {{0, 7, ""},  {4, 8, ""},  {16, 16, ""}, {17, 17, ""},    {18, 18, ""},   {18, 510255, ""},
                         {91, 0, ""}, {92, 0, ""}, {99, 0, ""},  {0, 9, "UE105"}, {0, 0, "UE104"}};
        for (const auto& message : kMessages) {
            gEmu.pump.Post(session, message.type, message.code, message.info);
        }
    }
    return 0;
}

LVX_EXPORT int Pexlo_StopRealPlayEx(const char* sessionId) {
    gEmu.journal.Add({"Pexlo_StopRealPlayEx", JournalField(sessionId)});
    Stall("Pexlo_StopRealPlayEx");
    std::shared_ptr<Session> session = gEmu.Find(sessionId);
    if (!session) {
        return Fail(LVX_EMU_ERR_UNKNOWN_SESSION);
    }
    if (session->slow) BlockFor(SlowMs());
    // A session whose call was released blocks no more.
    if (session->hang && gEmu.hang.Block()) session->hang = false;
    if (session->reenter) {
        // On the caller's own thread, before the call returns.
        if (session->SendData(2, kStrayPacket, sizeof(kStrayPacket))) ++gReentrantCallbacks;
        if (session->SendMessage(0, 7, "UE101")) ++gReentrantCallbacks;
    }
    std::shared_ptr<Play> play;
    {
        std::lock_guard<std::mutex> lock(session->mutex);
        play = std::move(session->play);
    }
    if (!play) {
        return Fail(LVX_EMU_ERR_NOT_PLAYING);
    }
    FinishPlay(play);
    return 0;
}

#ifndef LUMAVEX_EMU_REDUCED
LVX_EXPORT int Pexlo_GetLastErrorCode(void) {
    Stall("Pexlo_GetLastErrorCode");
    return gLastError;
}
#endif

LVX_EXPORT int LumavexEmu_OpenSessions(void) {
    std::lock_guard<std::mutex> lock(gEmu.mutex);
    return static_cast<int>(gEmu.sessions.size());
}

LVX_EXPORT int LumavexEmu_OutstandingIds(void) {
    std::lock_guard<std::mutex> lock(gEmu.mutex);
    return static_cast<int>(gEmu.idBuffers.size());
}

LVX_EXPORT int LumavexEmu_ActivePlays(void) { return gActivePlays; }

namespace {
int CopyOut(const std::string& text, char* buffer, int size) {
    if (buffer != nullptr && size > 0) {
        std::size_t count = std::min(text.size(), static_cast<std::size_t>(size) - 1);
        std::memcpy(buffer, text.data(), count);
        buffer[count] = '\0';
    }
    return static_cast<int>(text.size());
}
}  // namespace

LVX_EXPORT int LumavexEmu_Journal(char* buffer, int size) { return CopyOut(gEmu.journal.Dump(), buffer, size); }

LVX_EXPORT int LumavexEmu_LoadDirectory(char* buffer, int size) { return CopyOut(gLoadDirectory, buffer, size); }

LVX_EXPORT void LumavexEmu_Reset(void) {
    gEmu.journal.Clear();
    std::lock_guard<std::mutex> lock(gEmu.mutex);
    gEmu.initialized = false;
    gEmu.clientMode = false;
    gEmu.configInfo.clear();
    gEmu.platformAddr.clear();
    gEmu.accessToken.clear();
    gEmu.accountToken.clear();
    gEmu.deviceTokens.clear();
    gLastError = 0;
    gAllocations = 0;
    ResetCallCounts();
}

LVX_EXPORT int LumavexEmu_SendMessage(const char* sessionId, unsigned int msgType, int errorCode, const char* info) {
    std::shared_ptr<Session> session = gEmu.Find(sessionId);
    if (!session || !session->SendMessage(msgType, errorCode, info)) {
        return kFailure;
    }
    return 0;
}

LVX_EXPORT long long LumavexEmu_PacketsSent(void) { return gPacketsSent; }

LVX_EXPORT long long LumavexEmu_LateCallbacks(void) { return gLateCallbacks; }

LVX_EXPORT long long LumavexEmu_ReentrantCallbacks(void) { return gReentrantCallbacks; }

LVX_EXPORT int LumavexEmu_HungCalls(void) { return gEmu.hang.Blocked(); }

LVX_EXPORT void LumavexEmu_ReleaseHung(void) { gEmu.hang.ReleaseAll(); }

LVX_EXPORT void LumavexEmu_SetBlock(const char* rules) { SetBlockRules(rules); }

LVX_EXPORT long long LumavexEmu_CurrentPacket(void) { return tPacketNumber; }

#define LVX_SAME_SIGNATURE(name) \
    static_assert(std::is_same<decltype(&name), PFN_##name>::value, #name " must match its PFN_ typedef")
LVX_SAME_SIGNATURE(Pexlo_InitLib);
LVX_SAME_SIGNATURE(Pexlo_InitClientLib);
LVX_SAME_SIGNATURE(Pexlo_FiniLib);
LVX_SAME_SIGNATURE(Pexlo_SetConfigInfo);
LVX_SAME_SIGNATURE(Pexlo_SetPlatformAddr);
LVX_SAME_SIGNATURE(Pexlo_SetAccessToken);
LVX_SAME_SIGNATURE(Pexlo_SetNonDeviceTkToken);
LVX_SAME_SIGNATURE(Pexlo_SetDeviceTkTokens);
LVX_SAME_SIGNATURE(Pexlo_AllocSessionEx);
LVX_SAME_SIGNATURE(Pexlo_Data_Free);
LVX_SAME_SIGNATURE(Pexlo_FreeSession);
LVX_SAME_SIGNATURE(Pexlo_SetDataCallBack);
LVX_SAME_SIGNATURE(Pexlo_StartPlayWithStreamType);
LVX_SAME_SIGNATURE(Pexlo_StopRealPlayEx);
LVX_SAME_SIGNATURE(LumavexEmu_OpenSessions);
LVX_SAME_SIGNATURE(LumavexEmu_OutstandingIds);
LVX_SAME_SIGNATURE(LumavexEmu_ActivePlays);
LVX_SAME_SIGNATURE(LumavexEmu_Journal);
LVX_SAME_SIGNATURE(LumavexEmu_Reset);
LVX_SAME_SIGNATURE(LumavexEmu_SendMessage);
LVX_SAME_SIGNATURE(LumavexEmu_PacketsSent);
LVX_SAME_SIGNATURE(LumavexEmu_CurrentPacket);
LVX_SAME_SIGNATURE(LumavexEmu_LateCallbacks);
LVX_SAME_SIGNATURE(LumavexEmu_ReentrantCallbacks);
LVX_SAME_SIGNATURE(LumavexEmu_HungCalls);
LVX_SAME_SIGNATURE(LumavexEmu_ReleaseHung);
LVX_SAME_SIGNATURE(LumavexEmu_SetBlock);
#ifndef LUMAVEX_EMU_REDUCED
LVX_SAME_SIGNATURE(Pexlo_SetSessionConfig);
LVX_SAME_SIGNATURE(Pexlo_GetLastErrorCode);
#endif
