// Drives the built emulator through dlopen, the way the plugin does.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <future>
#include <iterator>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "LumavexEmu.h"
#include "PexloSdk.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Packet = std::pair<unsigned long, Bytes>;
using Message = std::tuple<std::string, unsigned int, int, std::string>;

struct Emu {
    void* handle = dlopen(LUMAVEX_EMU_LIBRARY, RTLD_NOW | RTLD_LOCAL);
#define LVX_SYMBOL(name) PFN_##name name = reinterpret_cast<PFN_##name>(handle ? dlsym(handle, #name) : nullptr)
    LVX_SYMBOL(Pexlo_InitLib);
    LVX_SYMBOL(Pexlo_InitClientLib);
    LVX_SYMBOL(Pexlo_FiniLib);
    LVX_SYMBOL(Pexlo_SetDeviceTkTokens);
    LVX_SYMBOL(Pexlo_AllocSessionEx);
    LVX_SYMBOL(Pexlo_Data_Free);
    LVX_SYMBOL(Pexlo_FreeSession);
    LVX_SYMBOL(Pexlo_SetDataCallBack);
    LVX_SYMBOL(Pexlo_StartPlayWithStreamType);
    LVX_SYMBOL(Pexlo_StopRealPlayEx);
    LVX_SYMBOL(Pexlo_GetLastErrorCode);
    LVX_SYMBOL(LumavexEmu_OpenSessions);
    LVX_SYMBOL(LumavexEmu_OutstandingIds);
    LVX_SYMBOL(LumavexEmu_ActivePlays);
    LVX_SYMBOL(LumavexEmu_Journal);
    LVX_SYMBOL(LumavexEmu_Reset);
#undef LVX_SYMBOL

    std::string Journal() {
        std::string text(LumavexEmu_Journal(nullptr, 0), '\0');
        LumavexEmu_Journal(text.data(), static_cast<int>(text.size()) + 1);
        return text;
    }
};

Emu& Lib() {
    static Emu emu;
    return emu;
}

// Collects what the emulator's threads hand over.
template <typename Item>
struct Recorder {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Item> items;

    template <typename Predicate>
    bool Wait(Predicate predicate) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(20), predicate);
    }
    std::vector<Item> WaitFor(std::size_t count) {
        Wait([&] { return items.size() >= count; });
        std::lock_guard<std::mutex> lock(mutex);
        return items;
    }
    std::size_t Count() {
        std::lock_guard<std::mutex> lock(mutex);
        return items.size();
    }
};

struct DataSink : Recorder<Packet> {
    bool hold = false;  // the next callback blocks until this is cleared
    bool held = false;
    std::vector<std::string> events;

    static void OnData(unsigned long type, const unsigned char* data, unsigned long length, void* user) {
        auto* self = static_cast<DataSink*>(user);
        std::unique_lock<std::mutex> lock(self->mutex);
        self->items.emplace_back(type, Bytes(data, data + length));
        self->held = self->hold;
        self->changed.notify_all();
        if (self->held) {
            self->changed.wait(lock, [&] { return !self->hold; });
            self->events.push_back("callback returned");
        }
    }
};

void OnMessage(const char* session, unsigned int type, int code, const char* info, void* user) {
    auto* self = static_cast<Recorder<Message>*>(user);
    std::lock_guard<std::mutex> lock(self->mutex);
    self->items.emplace_back(session, type, code, info);
    self->changed.notify_all();
}

class LumavexEmu : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(lib.handle, nullptr) << dlerror();
        for (const char* name :
             {"LUMAVEX_EMU_FAIL_INIT", "LUMAVEX_EMU_FAIL_ALLOC", "LUMAVEX_EMU_FAIL_PLAY", "LUMAVEX_EMU_FPS",
              "LUMAVEX_EMU_FADE_MS", "LUMAVEX_EMU_MEDIA_DIR", "LUMAVEX_EMU_FLOOD_US"}) {
            unsetenv(name);
        }
        lib.LumavexEmu_Reset();
    }

    void TearDown() override {
        if (lib.handle == nullptr) {
            return;
        }
        for (auto& session : sessions) {
            EXPECT_EQ(lib.Pexlo_FreeSession(session.first.c_str()), 0);
            EXPECT_EQ(lib.Pexlo_Data_Free(session.second), 0);
        }
        EXPECT_EQ(lib.LumavexEmu_OpenSessions(), 0);
        EXPECT_EQ(lib.LumavexEmu_OutstandingIds(), 0);
        EXPECT_EQ(lib.LumavexEmu_ActivePlays(), 0);
    }

    void Init() { ASSERT_EQ(lib.Pexlo_InitLib("https://auth", "https://open", "KEY", nullptr), 0); }

    int AllocRaw(char** id) {
        int length = -1;
        int result = lib.Pexlo_AllocSessionEx(&OnMessage, &messages, id, &length);
        if (result == 0) {
            EXPECT_EQ(std::string(*id).size(), static_cast<std::size_t>(length));
            sessions.emplace_back(*id, *id);
        }
        return result;
    }

    std::string Alloc() {
        char* id = nullptr;
        EXPECT_EQ(AllocRaw(&id), 0);
        return id == nullptr ? "" : id;
    }

    // Sinks live in the fixture so that a failed assertion cannot leave a play writing into a dead one.
    DataSink& Sink() { return sinks.emplace_back(); }

    int Play(const std::string& session, DataSink& sink, const char* serial, int streamType) {
        EXPECT_EQ(lib.Pexlo_SetDataCallBack(session.c_str(), &DataSink::OnData, &sink), 0);
        return lib.Pexlo_StartPlayWithStreamType(session.c_str(), nullptr, serial, 1, "", streamType);
    }

    // Checks the header, that each packet is one access unit, and that they add up to the clip file, looped.
    void ExpectClip(int streamType, const Bytes& headerStart, const char* clipName, std::size_t packetCount) {
        Init();
        DataSink& sink = Sink();
        std::string session = Alloc();
        ASSERT_EQ(Play(session, sink, "CAM001", streamType), 0);
        std::vector<Packet> packets = sink.WaitFor(packetCount + 1);
        ASSERT_EQ(lib.Pexlo_StopRealPlayEx(session.c_str()), 0);
        ASSERT_GT(packets.size(), packetCount);
        ASSERT_EQ(packets[0].first, 1u);
        ASSERT_EQ(packets[0].second.size(), 40u);
        EXPECT_EQ(Bytes(packets[0].second.begin(), packets[0].second.begin() + 12), headerStart);
        EXPECT_EQ(packets[0].second[34], 0);

        std::ifstream in(std::string(LUMAVEX_EMU_CLIP_DIR) + "/" + clipName, std::ios::binary);
        Bytes clip(std::istreambuf_iterator<char>(in), {}), joined, expected;
        ASSERT_FALSE(clip.empty());
        for (std::size_t i = 1; i < packets.size(); ++i) {
            ASSERT_EQ(packets[i].first, 2u);
            ASSERT_GE(packets[i].second.size(), 5u);
            EXPECT_TRUE(packets[i].second[0] == 0 && packets[i].second[1] == 0) << "no start code at " << i;
            joined.insert(joined.end(), packets[i].second.begin(), packets[i].second.end());
        }
        while (expected.size() < joined.size()) {
            expected.insert(expected.end(), clip.begin(), clip.end());
        }
        expected.resize(joined.size());
        EXPECT_TRUE(joined == expected) << "packets do not reproduce " << clipName;
    }

    Emu& lib = Lib();
    Recorder<Message> messages;
    std::list<DataSink> sinks;
    std::vector<std::pair<std::string, char*>> sessions;
};

TEST_F(LumavexEmu, InitChecksArgumentsAndGatesSessions) {
    char* id = nullptr;
    EXPECT_LT(AllocRaw(&id), 0);
    EXPECT_EQ(lib.Pexlo_GetLastErrorCode(), LVX_EMU_ERR_NOT_INITIALIZED);
    EXPECT_NE(lib.Pexlo_InitLib(nullptr, "https://open", "KEY", nullptr), 0);
    EXPECT_NE(lib.Pexlo_InitLib("https://auth", "", "KEY", nullptr), 0);
    EXPECT_NE(lib.Pexlo_InitClientLib("https://auth", "https://open", "", nullptr, 1), 0);
    EXPECT_EQ(lib.Pexlo_GetLastErrorCode(), LVX_EMU_ERR_INVALID_ARGUMENT);
    setenv("LUMAVEX_EMU_FAIL_INIT", "1", 1);
    EXPECT_NE(lib.Pexlo_InitLib("https://auth", "https://open", "KEY", nullptr), 0);
    EXPECT_EQ(lib.Pexlo_GetLastErrorCode(), LVX_EMU_ERR_INJECTED);
    unsetenv("LUMAVEX_EMU_FAIL_INIT");
    Init();

    setenv("LUMAVEX_EMU_FAIL_ALLOC", "1", 1);
    EXPECT_LT(AllocRaw(&id), 0);
    unsetenv("LUMAVEX_EMU_FAIL_ALLOC");
    std::string session = Alloc();
    lib.Pexlo_FiniLib();
    EXPECT_LT(AllocRaw(&id), 0);

    std::string journal = lib.Journal();
    for (std::string line : {"Pexlo_InitLib|https://auth|https://open|KEY\n",
                             "Pexlo_InitClientLib|https://auth|https://open||1\n", "Pexlo_FiniLib\n"}) {
        EXPECT_NE(journal.find(line), std::string::npos) << line << " not in\n" << journal;
    }
    EXPECT_NE(journal.find("Pexlo_AllocSessionEx|" + session + "\n"), std::string::npos) << journal;
}

TEST_F(LumavexEmu, H264PlayIsQmzxHeaderThenTheClipLooped) {
    setenv("LUMAVEX_EMU_FPS", "0", 1);
    ExpectClip(1, {'Q', 'M', 'Z', 'X', 0, 0, 0, 0, 0x04, 0x00, 0x00, 0x01}, "clip.h264", 250);
}

TEST_F(LumavexEmu, H265PlayIsZplcHeaderThenTheClip) {
    ExpectClip(2, {'Z', 'P', 'L', 'C', 0, 0, 0, 0, 0xC3, 0x00, 0xC0, 0x03}, "clip.h265", 8);
}

TEST_F(LumavexEmu, StopAndFreeEndCallbacksAndReleaseEverything) {
    setenv("LUMAVEX_EMU_FPS", "0", 1);
    Init();
    DataSink& stopped = Sink();
    DataSink& freed = Sink();
    std::string first = Alloc();
    std::string second = Alloc();
    EXPECT_LT(lib.Pexlo_StartPlayWithStreamType(first.c_str(), nullptr, "CAM001", 1, "", 1), 0);
    EXPECT_EQ(lib.Pexlo_GetLastErrorCode(), LVX_EMU_ERR_NO_DATA_CALLBACK);
    ASSERT_EQ(Play(first, stopped, "CAM001", 1), 0);
    EXPECT_LT(lib.Pexlo_StartPlayWithStreamType(first.c_str(), nullptr, "CAM001", 1, "", 1), 0);
    EXPECT_EQ(lib.Pexlo_GetLastErrorCode(), LVX_EMU_ERR_ALREADY_PLAYING);
    ASSERT_EQ(Play(second, freed, "CAM002", 2), 0);
    EXPECT_EQ(lib.LumavexEmu_ActivePlays(), 2);
    stopped.WaitFor(20);
    freed.WaitFor(20);

    ASSERT_EQ(lib.Pexlo_StopRealPlayEx(first.c_str()), 0);
    std::size_t afterStop = stopped.Count();
    EXPECT_LT(lib.Pexlo_StopRealPlayEx(first.c_str()), 0);
    EXPECT_EQ(lib.Pexlo_GetLastErrorCode(), LVX_EMU_ERR_NOT_PLAYING);
    ASSERT_EQ(lib.Pexlo_FreeSession(second.c_str()), 0);
    std::size_t afterFree = freed.Count();
    EXPECT_EQ(lib.LumavexEmu_ActivePlays(), 0);
    EXPECT_EQ(lib.LumavexEmu_OpenSessions(), 1);
    EXPECT_LT(lib.Pexlo_FreeSession(second.c_str()), 0);
    EXPECT_EQ(lib.Pexlo_GetLastErrorCode(), LVX_EMU_ERR_UNKNOWN_SESSION);
    EXPECT_EQ(lib.Pexlo_Data_Free(sessions[1].second), 0);
    EXPECT_EQ(lib.LumavexEmu_OutstandingIds(), 1);
    EXPECT_LT(lib.Pexlo_Data_Free(sessions[1].second), 0);
    EXPECT_EQ(lib.Pexlo_GetLastErrorCode(), LVX_EMU_ERR_UNKNOWN_BUFFER);
    sessions.pop_back();

    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(stopped.Count(), afterStop);
    EXPECT_EQ(freed.Count(), afterFree);
}

TEST_F(LumavexEmu, BlockedCallbackHoldsUpOnlyTheStopOfItsOwnSession) {
    Init();
    DataSink& blocked = Sink();
    DataSink& other = Sink();
    blocked.hold = true;
    std::string stuck = Alloc();
    std::string flowing = Alloc();
    ASSERT_EQ(Play(stuck, blocked, "CAM001", 1), 0);
    ASSERT_EQ(Play(flowing, other, "CAM002", 2), 0);
    ASSERT_TRUE(blocked.Wait([&] { return blocked.held; }));

    // The rest of the emulator carries on while one caller callback is stuck.
    ASSERT_EQ(other.WaitFor(3).size(), 3u);
    EXPECT_EQ(lib.Pexlo_StopRealPlayEx(flowing.c_str()), 0);
    EXPECT_FALSE(Alloc().empty());

    auto stopper = std::async(std::launch::async, [&] {
        int result = lib.Pexlo_StopRealPlayEx(stuck.c_str());
        std::lock_guard<std::mutex> lock(blocked.mutex);
        blocked.events.push_back("stop returned");
        return result;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    {
        std::lock_guard<std::mutex> lock(blocked.mutex);
        blocked.hold = false;
    }
    blocked.changed.notify_all();
    EXPECT_EQ(stopper.get(), 0);
    EXPECT_EQ(blocked.events, (std::vector<std::string>{"callback returned", "stop returned"}));
    EXPECT_EQ(blocked.Count(), 1u);
}

TEST_F(LumavexEmu, ClientModeNeedsADeviceTokenForTheSerial) {
    ASSERT_EQ(lib.Pexlo_InitClientLib("https://auth", "https://open", "KEY", nullptr, 1), 0);
    DataSink& sink = Sink();
    std::string session = Alloc();
    EXPECT_LT(Play(session, sink, "CAM001", 1), 0);
    EXPECT_EQ(lib.Pexlo_GetLastErrorCode(), LVX_EMU_ERR_NO_DEVICE_TOKEN);
    EXPECT_EQ(messages.WaitFor(1), std::vector<Message>{Message(session, 0, LVX_EMU_ERR_NO_DEVICE_TOKEN, "UE104")});

    EXPECT_LT(lib.Pexlo_SetDeviceTkTokens("{\"deviceSerial\":\"CAM001\"}"), 0);
    EXPECT_EQ(lib.Pexlo_GetLastErrorCode(), LVX_EMU_ERR_BAD_TOKEN_JSON);
    EXPECT_LT(lib.Pexlo_SetDeviceTkTokens("not json"), 0);
    EXPECT_EQ(lib.Pexlo_SetDeviceTkTokens("[{\"deviceSerial\":\"CAM002\",\"channelNo\":1,\"deviceToken\":\"t2\"}]"), 0);
    EXPECT_LT(Play(session, sink, "CAM001", 1), 0);
    EXPECT_EQ(lib.Pexlo_SetDeviceTkTokens("{\"deviceSerial\":\"CAM001\",\"channelNo\":1,\"deviceToken\":\"t1\"}"), 0);
    ASSERT_EQ(Play(session, sink, "CAM001", 1), 0);
    EXPECT_EQ(sink.WaitFor(1).at(0).first, 1u);
    EXPECT_EQ(lib.Pexlo_StopRealPlayEx(session.c_str()), 0);
    // Tokens accumulate: the earlier call still covers its serial.
    ASSERT_EQ(Play(session, sink, "CAM002", 2), 0);
    EXPECT_EQ(lib.Pexlo_StopRealPlayEx(session.c_str()), 0);
}

TEST_F(LumavexEmu, SerialPrefixesEnvironmentAndMissingClipsSelectFaults) {
    setenv("LUMAVEX_EMU_FADE_MS", "0", 1);
    Init();
    DataSink& silent = Sink();
    DataSink& faded = Sink();
    DataSink& normal = Sink();
    std::string refuse = Alloc();
    EXPECT_LT(Play(refuse, Sink(), "REFUSE-1", 1), 0);
    EXPECT_EQ(lib.Pexlo_GetLastErrorCode(), LVX_EMU_ERR_DEVICE_REFUSED);
    std::vector<Message> expected = {Message(refuse, 0, LVX_EMU_ERR_DEVICE_REFUSED, "UE101")};
    EXPECT_EQ(messages.WaitFor(1), expected);

    setenv("LUMAVEX_EMU_FAIL_PLAY", "1", 1);
    EXPECT_LT(Play(Alloc(), Sink(), "CAM001", 1), 0);
    EXPECT_EQ(lib.Pexlo_GetLastErrorCode(), LVX_EMU_ERR_INJECTED);
    unsetenv("LUMAVEX_EMU_FAIL_PLAY");
    setenv("LUMAVEX_EMU_MEDIA_DIR", "/nonexistent", 1);
    EXPECT_LT(Play(Alloc(), Sink(), "CAM001", 1), 0);
    EXPECT_EQ(lib.Pexlo_GetLastErrorCode(), LVX_EMU_ERR_MEDIA_UNAVAILABLE);
    unsetenv("LUMAVEX_EMU_MEDIA_DIR");

    ASSERT_EQ(Play(Alloc(), silent, "SILENT-1", 1), 0);
    ASSERT_EQ(Play(Alloc(), faded, "FADE-1", 1), 0);
    std::string chatty = Alloc();
    ASSERT_EQ(Play(chatty, normal, "MSGS-1", 1), 0);
    EXPECT_EQ(lib.LumavexEmu_ActivePlays(), 3);
    // Once the normal play is well under way, the others have had every chance to send.
    faded.WaitFor(1);
    normal.WaitFor(10);
    EXPECT_EQ(silent.Count(), 0u);
    EXPECT_EQ(faded.Count(), 1u);  // a zero fade lets only the header out

    const std::tuple<unsigned int, int, const char*> chatter[] = {
        {0, 7, ""},  {4, 8, ""},  {16, 16, ""}, {17, 17, ""},    {18, 18, ""},   {18, 510255, ""},
        {91, 0, ""}, {92, 0, ""}, {99, 0, ""},  {0, 9, "UE105"}, {0, 0, "UE104"}};
    for (const auto& [type, code, info] : chatter) {
        expected.emplace_back(chatty, type, code, info);
    }
    EXPECT_EQ(messages.WaitFor(expected.size()), expected);
}

TEST_F(LumavexEmu, FloodAndLateSerialsCallBackUntilTheFree) {
    Init();
    DataSink& late = Sink();
    std::string refused = Alloc();
    EXPECT_LT(Play(refused, late, "LATE-1", 1), 0);
    EXPECT_EQ(lib.Pexlo_GetLastErrorCode(), LVX_EMU_ERR_LATE_REFUSAL);
    std::vector<Packet> packets = late.WaitFor(3);
    ASSERT_GE(packets.size(), 3u);
    EXPECT_EQ(packets[0].first, 1u);
    EXPECT_EQ(packets[1].first, 2u);
    EXPECT_LT(lib.Pexlo_StopRealPlayEx(refused.c_str()), 0) << "a refused play is not playing";

    DataSink& flood = Sink();
    std::string chatty = Alloc();
    ASSERT_EQ(Play(chatty, flood, "FLOOD-1", 1), 0);
    EXPECT_GE(messages.WaitFor(200).size(), 200u);
    ASSERT_EQ(lib.Pexlo_StopRealPlayEx(chatty.c_str()), 0);
    const std::size_t afterStop = messages.Count();
    messages.Wait([&] { return messages.items.size() > afterStop; });
    EXPECT_GT(messages.Count(), afterStop) << "messages go on until the session is freed";

    // The free ends both side threads; nothing arrives afterwards.
    for (auto& session : sessions) {
        EXPECT_EQ(lib.Pexlo_FreeSession(session.first.c_str()), 0);
        EXPECT_EQ(lib.Pexlo_Data_Free(session.second), 0);
    }
    sessions.clear();
    const std::size_t packetsAtFree = late.Count();
    const std::size_t messagesAtFree = messages.Count();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(late.Count(), packetsAtFree);
    EXPECT_EQ(messages.Count(), messagesAtFree);
}

TEST(LumavexEmuReduced, LacksOnlyTheTwoOptionalEntries) {
    void* handle = dlopen(LUMAVEX_EMU_REDUCED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    EXPECT_EQ(dlsym(handle, "Pexlo_GetLastErrorCode"), nullptr);
    EXPECT_EQ(dlsym(handle, "Pexlo_SetSessionConfig"), nullptr);
    for (const char* name : {"Pexlo_InitLib", "Pexlo_InitClientLib", "Pexlo_FiniLib", "Pexlo_SetConfigInfo",
                             "Pexlo_SetPlatformAddr", "Pexlo_SetAccessToken", "Pexlo_SetNonDeviceTkToken",
                             "Pexlo_SetDeviceTkTokens", "Pexlo_AllocSessionEx", "Pexlo_Data_Free", "Pexlo_FreeSession",
                             "Pexlo_SetDataCallBack", "Pexlo_StartPlayWithStreamType", "Pexlo_StopRealPlayEx"}) {
        EXPECT_NE(dlsym(handle, name), nullptr) << name;
    }
    dlclose(handle);
}

}  // namespace
