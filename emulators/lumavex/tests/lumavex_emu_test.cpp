// What the plugin's tests do not already exercise of the SDK emulator: the order its calls must come in, the
// clip looped without pacing, and device tokens that accumulate. Driven through dlopen, as the plugin drives it.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "LumavexEmu.h"
#include "PexloSdk.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct Emu {
    void* handle = dlopen(LUMAVEX_EMU_LIBRARY, RTLD_NOW | RTLD_LOCAL);
#define LVX_SYMBOL(name) PFN_##name name = reinterpret_cast<PFN_##name>(handle ? dlsym(handle, #name) : nullptr)
    LVX_SYMBOL(Pexlo_InitLib);
    LVX_SYMBOL(Pexlo_InitClientLib);
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
    LVX_SYMBOL(LumavexEmu_Reset);
#undef LVX_SYMBOL
};

struct Sink {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::pair<unsigned long, Bytes>> packets;

    static void OnData(unsigned long type, const unsigned char* data, unsigned long length, void* user) {
        auto* self = static_cast<Sink*>(user);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->packets.emplace_back(type, Bytes(data, data + length));
        self->changed.notify_all();
    }
    std::vector<std::pair<unsigned long, Bytes>> WaitFor(size_t count) {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait_for(lock, std::chrono::seconds(20), [&] { return packets.size() >= count; });
        return packets;
    }
};

class LumavexEmu : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(lib.handle, nullptr) << dlerror();
        unsetenv("LUMAVEX_EMU_FPS");
        lib.LumavexEmu_Reset();
    }
    void TearDown() override {
        EXPECT_EQ(lib.LumavexEmu_OpenSessions(), 0);
        EXPECT_EQ(lib.LumavexEmu_OutstandingIds(), 0);
        EXPECT_EQ(lib.LumavexEmu_ActivePlays(), 0);
    }
    // A session whose id buffer has gone back already.
    std::string Alloc() {
        char* id = nullptr;
        int length = -1;
        if (lib.Pexlo_AllocSessionEx(nullptr, nullptr, &id, &length) != 0) return "";
        const std::string session(id, static_cast<size_t>(length));
        EXPECT_EQ(lib.Pexlo_Data_Free(id), 0);
        return session;
    }
    int Play(const std::string& session, Sink& sink, const char* serial, int streamType) {
        EXPECT_EQ(lib.Pexlo_SetDataCallBack(session.c_str(), &Sink::OnData, &sink), 0);
        return lib.Pexlo_StartPlayWithStreamType(session.c_str(), nullptr, serial, 1, "", streamType);
    }
    void ExpectError(int result, int code) {
        EXPECT_LT(result, 0);
        EXPECT_EQ(lib.Pexlo_GetLastErrorCode(), code);
    }

    Emu lib;
};

TEST_F(LumavexEmu, CallsOutOfOrderAreRefusedWithTheirCodes) {
    char* id = nullptr;
    int length = 0;
    ExpectError(lib.Pexlo_AllocSessionEx(nullptr, nullptr, &id, &length), LVX_EMU_ERR_NOT_INITIALIZED);
    ASSERT_EQ(lib.Pexlo_InitLib("https://auth", "https://open", "KEY", nullptr), 0);
    const std::string session = Alloc();
    ASSERT_FALSE(session.empty());
    ExpectError(lib.Pexlo_StartPlayWithStreamType(session.c_str(), nullptr, "CAM001", 1, "", 1),
                LVX_EMU_ERR_NO_DATA_CALLBACK);
    Sink sink;
    ASSERT_EQ(Play(session, sink, "CAM001", 1), 0);
    ExpectError(lib.Pexlo_StartPlayWithStreamType(session.c_str(), nullptr, "CAM001", 1, "", 1),
                LVX_EMU_ERR_ALREADY_PLAYING);
    ASSERT_EQ(lib.Pexlo_StopRealPlayEx(session.c_str()), 0);
    ExpectError(lib.Pexlo_StopRealPlayEx(session.c_str()), LVX_EMU_ERR_NOT_PLAYING);
    ASSERT_EQ(lib.Pexlo_FreeSession(session.c_str()), 0);
    ExpectError(lib.Pexlo_FreeSession(session.c_str()), LVX_EMU_ERR_UNKNOWN_SESSION);
    ASSERT_EQ(lib.Pexlo_AllocSessionEx(nullptr, nullptr, &id, &length), 0);
    const std::string second(id, static_cast<size_t>(length));
    EXPECT_EQ(lib.Pexlo_Data_Free(id), 0);
    ExpectError(lib.Pexlo_Data_Free(id), LVX_EMU_ERR_UNKNOWN_BUFFER);  // looked up, never dereferenced
    EXPECT_EQ(lib.Pexlo_FreeSession(second.c_str()), 0) << "the buffer went back, not the session";
}

// Unpaced, the packets are one access unit each and add up to the clip, looped.
TEST_F(LumavexEmu, UnpacedPlayLoopsTheClip) {
    setenv("LUMAVEX_EMU_FPS", "0", 1);
    ASSERT_EQ(lib.Pexlo_InitLib("https://auth", "https://open", "KEY", nullptr), 0);
    Sink sink;
    const std::string session = Alloc();
    ASSERT_EQ(Play(session, sink, "CAM001", 1), 0);
    auto packets = sink.WaitFor(251);
    ASSERT_EQ(lib.Pexlo_StopRealPlayEx(session.c_str()), 0);
    ASSERT_EQ(lib.Pexlo_FreeSession(session.c_str()), 0);
    ASSERT_GT(packets.size(), 250u);
    EXPECT_EQ(packets[0].first, 1u);
    EXPECT_EQ(packets[0].second.size(), 40u);

    std::ifstream in(std::string(LUMAVEX_EMU_CLIP_DIR) + "/clip.h264", std::ios::binary);
    const Bytes clip(std::istreambuf_iterator<char>(in), {});
    ASSERT_FALSE(clip.empty());
    Bytes joined, expected;
    for (size_t i = 1; i < packets.size(); ++i) {
        ASSERT_EQ(packets[i].first, 2u);
        ASSERT_GE(packets[i].second.size(), 5u);
        EXPECT_TRUE(packets[i].second[0] == 0 && packets[i].second[1] == 0) << "no start code at " << i;
        joined.insert(joined.end(), packets[i].second.begin(), packets[i].second.end());
    }
    ASSERT_GT(joined.size(), clip.size()) << "not looped";
    while (expected.size() < joined.size()) expected.insert(expected.end(), clip.begin(), clip.end());
    expected.resize(joined.size());
    EXPECT_TRUE(joined == expected);
}

TEST_F(LumavexEmu, DeviceTokensAccumulateAndMustMatchTheSerial) {
    ASSERT_EQ(lib.Pexlo_InitClientLib("https://auth", "https://open", "KEY", nullptr, 1), 0);
    Sink sink;
    const std::string session = Alloc();
    ExpectError(lib.Pexlo_SetDeviceTkTokens("{\"deviceSerial\":\"CAM001\"}"), LVX_EMU_ERR_BAD_TOKEN_JSON);
    ASSERT_EQ(lib.Pexlo_SetDeviceTkTokens("[{\"deviceSerial\":\"CAM002\",\"channelNo\":1,\"deviceToken\":\"t2\"}]"), 0);
    ExpectError(Play(session, sink, "CAM001", 1), LVX_EMU_ERR_NO_DEVICE_TOKEN);
    ASSERT_EQ(lib.Pexlo_SetDeviceTkTokens("{\"deviceSerial\":\"CAM001\",\"channelNo\":1,\"deviceToken\":\"t1\"}"), 0);
    ASSERT_EQ(Play(session, sink, "CAM001", 1), 0);
    EXPECT_EQ(lib.Pexlo_StopRealPlayEx(session.c_str()), 0);
    // The earlier call still covers its serial.
    ASSERT_EQ(Play(session, sink, "CAM002", 2), 0);
    EXPECT_EQ(lib.Pexlo_StopRealPlayEx(session.c_str()), 0);
    EXPECT_EQ(lib.Pexlo_FreeSession(session.c_str()), 0);
}

}  // namespace
