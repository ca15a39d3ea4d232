// Live video end to end: the built plugin in a temporary installation, both emulators, a host callback.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "HostSink.h"

using vantra_test::OnData;
using vantra_test::Plugin;
using vantra_test::Received;
using vantra_test::Request;

namespace {
class StreamRequests : public vantra_test::RunningPlugin {};
}  // namespace

TEST_F(StreamRequests, H264AndH265PlayTogetherAndStopCleanly) {
    Start({"--cloud-type", "3"});
    const std::string urls[] = {"rtsp://sms/live?videolevel=1&deviceseq=CAM264",
                                "rtsp://sms/live?videolevel=2&deviceseq=CAM265"};
    const char* codecs[] = {"H264", "H265"};
    const char* clips[] = {"clip.h264", "clip.h265"};
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
        std::ifstream file(install.PluginDir() + "/lumavex-media/" + clips[i], std::ios::binary);
        const std::string clip{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
        EXPECT_EQ(clip.compare(0, r.video.size(), r.video), 0) << codecs[i];
    }
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

namespace {
// A host callback that stops a stream, its own or another one, once `peers` callbacks (its own included) are
// inside a delivery at the same moment.
struct Stopper {
    Plugin* plugin;
    DeviceObjectHandle target;
    std::atomic<int>* inside;
    int peers;
    std::atomic<int> stops{0};
    std::atomic<long long> stopMs{0};
};

int StopsAStream(intptr_t, uint32_t, const DeviceDataDescriptor*, void* user) {
    auto* self = static_cast<Stopper*>(user);
    if (self->stops.load() > 0) return 0;
    ++*self->inside;
    vantra_test::WaitUntil([&] { return self->inside->load() >= self->peers; }, 5000);
    const auto start = std::chrono::steady_clock::now();
    self->plugin->StopStream(self->target);
    self->stopMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    ++self->stops;
    return 0;
}
}  // namespace

// A stop from inside a data callback, of the callback's own stream or of another stream whose callback is
// stopping this one at the same moment, returns at once and is carried out once the delivery ends.
TEST_F(StreamRequests, StopsFromInsideCallbacksAreCarriedOutAfterTheDelivery) {
    Start({"--cloud-type", "1"});
    auto sessionsGone = [&] { return vantra_test::WaitUntil([&] { return emu->OpenSessions() == 0; }); };
    const std::string url = "rtsp://sms/live?deviceseq=CALLBACK-STOP";
    DeviceStreamRequest request = Request(url);

    std::atomic<int> alone{0};
    Stopper self{plugin.get(), plugin->CreateInstance(), &alone, 1};
    ASSERT_EQ(plugin->StartStream(self.target, &request, &StopsAStream, &self), 0);
    EXPECT_TRUE(sessionsGone()) << "the stream stopped itself";
    ExpectPlaysAgain(self.target, request);  // the handle was given back to the registry

    std::atomic<int> both{0};
    DeviceObjectHandle handles[2] = {plugin->CreateInstance(), plugin->CreateInstance()};
    Stopper cross[2] = {{plugin.get(), handles[1], &both, 2}, {plugin.get(), handles[0], &both, 2}};
    for (int i = 0; i < 2; ++i) ASSERT_EQ(plugin->StartStream(handles[i], &request, &StopsAStream, &cross[i]), 0);
    EXPECT_TRUE(sessionsGone()) << "each stream stopped the other";
    for (Stopper* stopper : {&self, &cross[0], &cross[1]}) {
        EXPECT_EQ(stopper->stops.load(), 1);
        EXPECT_LT(stopper->stopMs.load(), 1000) << "a stop from a callback returns at once";
    }
    // Stopping them again from outside is harmless, and their handles take new requests.
    for (DeviceObjectHandle handle : handles) {
        plugin->StopStream(handle);
        ExpectPlaysAgain(handle, request);
    }
    EXPECT_TRUE(plugin->Fini());
    plugin.reset();  // unload flushes the log
    EXPECT_NE(install.LogText().find("called from a data callback: stopped once the delivery ends"), std::string::npos);
}

TEST_F(StreamRequests, StartAndStopRacingOnOneHandleLeaveNothingBehind) {
    Start({"--cloud-type", "1"});
    const std::string url = "rtsp://sms/live?deviceseq=RACE";
    DeviceStreamRequest request = Request(url);
    const DeviceObjectHandle handle = plugin->CreateInstance();
    std::unique_ptr<Received[]> sinks(new Received[100]);
    std::atomic<int> round{-1}, stopsDone{0};
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
        if (plugin->StartStream(handle, &request, &OnData, &sinks[i]) == 0) ++accepted;
        while (stopsDone.load() <= i) std::this_thread::yield();
    }
    stopper.join();
    plugin->StopStream(handle);
    for (int i = 0; i < 100; ++i) sinks[i].stopped = true;
    EXPECT_GE(accepted, 1);
    ExpectSdkIdle();  // every session freed: no callback can still come
    for (int i = 0; i < 100; ++i) EXPECT_EQ(sinks[i].afterStop.load(), 0);
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
    EXPECT_EQ(emu->OpenSessions(), 0);  // every session freed: no callback can still come
    for (auto& r : before) EXPECT_EQ(r.afterStop.load(), 0);
    EXPECT_EQ(refused.Media(), 0u);
    ExpectPlaysAgain(handles[0], request);
}
