// What the plugin's tests do not already exercise of the SDK emulator: the order its calls must come in, which the
// plugin never breaks. Driven through dlopen, as the plugin drives it.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "LumavexEmu.h"
#include "PexloSdk.h"

namespace {

struct Emu {
    void* handle = dlopen(LUMAVEX_EMU_LIBRARY, RTLD_NOW | RTLD_LOCAL);
#define LVX_SYMBOL(name) PFN_##name name = reinterpret_cast<PFN_##name>(handle ? dlsym(handle, #name) : nullptr)
    LVX_SYMBOL(Pexlo_InitLib);
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

void OnData(unsigned long, const unsigned char*, unsigned long, void*) {}

class LumavexEmu : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(lib.handle, nullptr) << dlerror();
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
    int Play(const std::string& session, const char* serial, int streamType) {
        EXPECT_EQ(lib.Pexlo_SetDataCallBack(session.c_str(), &OnData, nullptr), 0);
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
    ASSERT_EQ(Play(session, "CAM001", 1), 0);
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

}  // namespace
