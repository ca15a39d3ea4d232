// A running plugin in a temporary installation, and what a host's data callback sees of one stream.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "EmulatorProbe.h"
#include "TestInstall.h"
#include "VantraIotSMSPluginApi.h"

namespace vantra_test {

struct Received {
    std::mutex mutex;
    std::condition_variable arrived;  // notified with every call
    std::vector<uint32_t> types;
    size_t media = 0;
    unsigned checksum = 0;
    // Set by the test once StopStream has returned; any later call is counted.
    std::atomic<bool> stopped{false};
    std::atomic<int> afterStop{0};
    // Calls on the thread named here (one inside StopStream, say), and the SDK emulator's out-of-turn packet.
    std::atomic<std::thread::id> watched{};
    std::atomic<int> onWatched{0};
    std::atomic<int> stray{0};

    size_t Media() {
        std::lock_guard<std::mutex> lock(mutex);
        return media;
    }
    bool WaitForMedia(size_t count, int timeoutMs = 10000) {
        std::unique_lock<std::mutex> lock(mutex);
        return arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return media >= count; });
    }
};

// The host callback: records the call and reads every byte, so the sanitizers catch a pointer into freed memory.
inline int OnData(intptr_t, uint32_t type, const DeviceDataDescriptor* descriptor, void* user) {
    auto* received = static_cast<Received*>(user);
    if (received->stopped.load()) ++received->afterStop;
    if (received->watched.load() == std::this_thread::get_id()) ++received->onWatched;
    std::lock_guard<std::mutex> lock(received->mutex);
    received->types.push_back(type);
    const char* bytes = static_cast<const char*>(descriptor->pData);
    if (descriptor->uLength == 9 && std::memcmp(bytes, "\0\0\0\1STRAY", 9) == 0) ++received->stray;
    unsigned sum = 0;
    for (uint32_t i = 0; i < descriptor->uLength; ++i) sum += static_cast<unsigned char>(bytes[i]);
    received->checksum += sum;
    if (type == kDeviceDataMedia) ++received->media;
    received->arrived.notify_all();
    return 0;
}

class RunningPlugin : public ::testing::Test {
protected:
    void Start(const std::vector<std::string>& platformOptions) {
        install.Serve(platformOptions);
        plugin.reset(new Plugin());
        ASSERT_EQ(plugin->Init(), 0);
        emu.reset(new Emulator(install.PluginDir()));
    }
    void TearDown() override {
        if (plugin) plugin->Fini();
        emu.reset();
        plugin.reset();
    }
    void ExpectSdkIdle() const {
        EXPECT_EQ(emu->OpenSessions(), 0);
        EXPECT_EQ(emu->OutstandingIds(), 0);
        EXPECT_EQ(emu->ActivePlays(), 0);
    }
    void ExpectPlaysAgain(DeviceObjectHandle handle, const DeviceStreamRequest& request) const {
        Received again;
        ASSERT_EQ(plugin->StartStream(handle, &request, &OnData, &again), 0);
        EXPECT_TRUE(again.WaitForMedia(2));
        plugin->StopStream(handle);
        ExpectSdkIdle();
    }
    TempInstall install;
    std::unique_ptr<Plugin> plugin;
    std::unique_ptr<Emulator> emu;
};

}  // namespace vantra_test
