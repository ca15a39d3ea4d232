// Live video end to end: the built plugin in a temporary installation, both emulators, a host callback.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "HostSink.h"
#include "TestInstall.h"

using vantra_test::Emulator;
using vantra_test::OnData;
using vantra_test::PlatformEmulator;
using vantra_test::Plugin;
using vantra_test::Received;
using vantra_test::Request;
using vantra_test::TempInstall;

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

class StreamRequests : public vantra_test::RunningPlugin {};

}  // namespace

TEST_F(StreamRequests, H264AndH265PlayTogetherAndStopCleanly) {
    Start({"--cloud-type", "3"});
    const std::string urls[] = {"rtsp://sms/live?videolevel=1&deviceseq=CAM264",
                                "rtsp://sms/live?videolevel=2&deviceseq=CAM265"};
    Received received[2];
    DeviceObjectHandle handles[2];
    for (int i = 0; i < 2; ++i) {
        handles[i] = plugin->CreateInstance();
        DeviceStreamRequest request = Request(urls[i]);
        ASSERT_EQ(plugin->StartStream(handles[i], &request, &OnData, &received[i]), 0);
    }
    for (auto& r : received) ASSERT_TRUE(r.WaitForMedia(25));
    // The device token for channel index 0 was fetched as channel 1 and handed to the SDK.
    EXPECT_NE(emu->Journal().find("Pexlo_SetDeviceTkTokens|{\"deviceSerial\":\"CAM264\",\"channelNo\":1"),
              std::string::npos);
    for (int i = 0; i < 2; ++i) {
        plugin->StopStream(handles[i]);
        received[i].stopped = true;
        EXPECT_EQ(plugin->DestroyInstance(handles[i]), 0);
    }
    // Both sessions are freed, so any callback after a stop would have been made already.
    EXPECT_EQ(emu->OpenSessions(), 0);
    const std::string dir = install.PluginDir() + "/lumavex-media/";
    const char* codecs[] = {"H264", "H265"};
    const char* clips[] = {"clip.h264", "clip.h265"};
    for (int i = 0; i < 2; ++i) {
        Received& r = received[i];
        EXPECT_EQ(r.afterStop.load(), 0) << "no callback after StopStream returned";
        std::lock_guard<std::mutex> lock(r.mutex);
        ASSERT_GE(r.types.size(), 3u);
        EXPECT_EQ(r.types[0], 10u);
        EXPECT_EQ(r.types[1], 1u);
        EXPECT_EQ(r.codec, codecs[i]);
        EXPECT_EQ(r.header.size(), 40u);
        for (size_t k = 2; k < r.types.size(); ++k) EXPECT_EQ(r.types[k], 2u);
        const std::string clip = ReadFile(dir + clips[i]);
        ASSERT_LE(r.video.size(), clip.size());
        EXPECT_EQ(clip.compare(0, r.video.size(), r.video), 0) << codecs[i];
    }
    EXPECT_EQ(emu->OpenSessions(), 0);
    EXPECT_TRUE(plugin->Fini());
}

TEST_F(StreamRequests, HandleRulesStopAndRestart) {
    Start({"--cloud-type", "1"});
    Received first, second, third;
    const std::string url = "rtsp://sms/live?deviceseq=CAM1";
    DeviceStreamRequest request = Request(url, 4);
    DeviceObjectHandle handle = plugin->CreateInstance();
    ASSERT_EQ(plugin->StartStream(handle, &request, &OnData, &first), 0);
    EXPECT_EQ(plugin->StartStream(handle, &request, &OnData, &second), -1);
    ASSERT_TRUE(first.WaitForMedia(3));
    EXPECT_EQ(second.Media(), 0u);
    plugin->StopStream(handle + 1000);  // unknown: ignored
    EXPECT_NE(emu->Journal().find("Pexlo_StartPlayWithStreamType|"), std::string::npos);
    EXPECT_NE(emu->Journal().find("|CAM1|5||0\n"), std::string::npos) << "channel index 4 plays channel 5, level 0";
    EXPECT_EQ(emu->Journal().find("Pexlo_SetDeviceTkTokens"), std::string::npos) << "no device token in this mode";

    // Destroyed without a stop, the handle comes back but stays taken until the request stops.
    EXPECT_EQ(plugin->DestroyInstance(handle), 0);
    EXPECT_EQ(plugin->CreateInstance(), handle);
    EXPECT_EQ(plugin->StartStream(handle, &request, &OnData, &second), -1);
    plugin->StopStream(handle);
    first.stopped = true;
    ASSERT_EQ(plugin->StartStream(handle, &request, &OnData, &third), 0);
    EXPECT_TRUE(third.WaitForMedia(3));
    plugin->StopStream(handle);
    EXPECT_EQ(first.afterStop.load(), 0);
    EXPECT_EQ(emu->OpenSessions(), 0);
}

TEST_F(StreamRequests, ClientModeWithThePlatformDownStillStarts) {
    Start({"--cloud-type", "3"});
    platform->Stop();
    Received received;
    const std::string url = "rtsp://sms/live?deviceseq=NOTOKEN";
    DeviceStreamRequest request = Request(url);
    DeviceObjectHandle handle = plugin->CreateInstance();
    EXPECT_EQ(plugin->StartStream(handle, &request, &OnData, &received), 0);
    EXPECT_TRUE(vantra_test::WaitUntil(
        [&] { return emu->Journal().find("Pexlo_StartPlayWithStreamType|") != std::string::npos; }));
    EXPECT_EQ(received.Media(), 0u) << "the cloud refuses a device without a token";
    plugin->StopStream(handle);
    EXPECT_EQ(emu->OpenSessions(), 0);
}

namespace {
// A host callback that stops a stream: its own, or another one, once `peers` callbacks (its own included) are
// inside a delivery at the same moment.
struct Stopper {
    Plugin* plugin = nullptr;
    DeviceObjectHandle target = -1;
    std::atomic<int>* inside = nullptr;
    int peers = 1;
    std::atomic<int> stops{0};
    std::atomic<long long> slowestStopMs{0};
};

int StopsAStream(intptr_t, uint32_t, const DeviceDataDescriptor*, void* user) {
    auto* self = static_cast<Stopper*>(user);
    if (self->stops.load() > 0) return 0;
    ++*self->inside;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (self->inside->load() < self->peers && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    const auto start = std::chrono::steady_clock::now();
    self->plugin->StopStream(self->target);
    self->slowestStopMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    ++self->stops;
    return 0;
}
}  // namespace

// A stop from inside a data callback, of the callback's own stream or of another stream whose callback is
// stopping this one at the same moment, returns at once and is carried out once the delivery ends.
TEST_F(StreamRequests, StopsFromInsideCallbacksAreCarriedOutAfterTheDelivery) {
    Start({"--cloud-type", "1"});
    auto sessionsGone = [&] {
        for (int i = 0; i < 500 && emu->OpenSessions() > 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return emu->OpenSessions() == 0;
    };
    const std::string url = "rtsp://sms/live?deviceseq=CALLBACK-STOP";
    DeviceStreamRequest request = Request(url);

    std::atomic<int> alone{0};
    Stopper self;
    self.plugin = plugin.get();
    self.inside = &alone;
    self.target = plugin->CreateInstance();
    ASSERT_EQ(plugin->StartStream(self.target, &request, &StopsAStream, &self), 0);
    EXPECT_TRUE(sessionsGone()) << "the stream stopped itself";
    EXPECT_EQ(self.stops.load(), 1);
    EXPECT_LT(self.slowestStopMs.load(), 1000);
    ExpectPlaysAgain(self.target, request);  // the handle was given back to the registry

    std::atomic<int> both{0};
    Stopper cross[2];
    DeviceObjectHandle handles[2] = {plugin->CreateInstance(), plugin->CreateInstance()};
    for (int i = 0; i < 2; ++i) {
        cross[i].plugin = plugin.get();
        cross[i].inside = &both;
        cross[i].peers = 2;
        cross[i].target = handles[1 - i];
    }
    for (int i = 0; i < 2; ++i) ASSERT_EQ(plugin->StartStream(handles[i], &request, &StopsAStream, &cross[i]), 0);
    EXPECT_TRUE(sessionsGone()) << "each stream stopped the other";
    for (Stopper& stopper : cross) {
        EXPECT_EQ(stopper.stops.load(), 1);
        EXPECT_LT(stopper.slowestStopMs.load(), 1000);
    }
    // Stopping them again from outside is harmless, and their handles take new requests.
    for (DeviceObjectHandle handle : handles) {
        plugin->StopStream(handle);
        ExpectPlaysAgain(handle, request);
    }
    ExpectSdkIdle();
    EXPECT_TRUE(plugin->Fini());
    plugin.reset();  // unload flushes the log
    EXPECT_NE(install.LogText().find("called from a data callback: stopped once the delivery ends"), std::string::npos);
}

TEST_F(StreamRequests, StartAndStopRacingOnOneHandleLeaveNothingBehind) {
    Start({"--cloud-type", "1"});
    const std::string url = "rtsp://sms/live?deviceseq=RACE";
    DeviceStreamRequest request = Request(url);
    const DeviceObjectHandle handle = plugin->CreateInstance();
    std::vector<std::unique_ptr<Received>> sinks;
    for (int i = 0; i < 100; ++i) sinks.emplace_back(new Received);
    std::atomic<int> round{-1};
    std::atomic<int> stopsDone{0};
    std::thread stopper([&] {
        for (int i = 0; i < 100; ++i) {
            while (round.load() < i) std::this_thread::yield();
            plugin->StopStream(handle);
            ++stopsDone;
        }
    });
    int accepted = 0;
    for (int i = 0; i < 100; ++i) {
        round = i;
        if (plugin->StartStream(handle, &request, &OnData, sinks[i].get()) == 0) ++accepted;
        while (stopsDone.load() <= i) std::this_thread::yield();
    }
    stopper.join();
    plugin->StopStream(handle);
    for (auto& sink : sinks) sink->stopped = true;
    EXPECT_GE(accepted, 1);
    ExpectSdkIdle();  // every session freed: no callback can still come
    for (auto& sink : sinks) EXPECT_EQ(sink->afterStop.load(), 0);
    ExpectPlaysAgain(handle, request);
}

TEST_F(StreamRequests, FiniWithStreamsRunningThenInitAgain) {
    Start({"--cloud-type", "1"});
    const std::string url = "rtsp://sms/live?deviceseq=KEEP";
    DeviceStreamRequest request = Request(url);
    Received before[3];
    DeviceObjectHandle handles[3];
    for (int i = 0; i < 3; ++i) {
        handles[i] = plugin->CreateInstance();
        ASSERT_EQ(plugin->StartStream(handles[i], &request, &OnData, &before[i]), 0);
    }
    for (auto& r : before) ASSERT_TRUE(r.WaitForMedia(2));
    EXPECT_TRUE(plugin->Fini());
    ASSERT_EQ(plugin->Init(), 0);
    // The requests outlived the restart: their handles are still taken, and they stop cleanly.
    Received refused;
    EXPECT_EQ(plugin->StartStream(handles[0], &request, &OnData, &refused), -1);
    for (int i = 0; i < 3; ++i) {
        plugin->StopStream(handles[i]);
        before[i].stopped = true;
    }
    EXPECT_EQ(emu->OpenSessions(), 0);
    ExpectPlaysAgain(handles[0], request);
    for (auto& r : before) EXPECT_EQ(r.afterStop.load(), 0);
    EXPECT_EQ(emu->OpenSessions(), 0);
    EXPECT_EQ(refused.Media(), 0u);
}
