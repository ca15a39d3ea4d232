#include "Sessions.h"

#if !defined(_WIN32)
#include <dlfcn.h>
#endif

#include <cstdlib>
#include <cstring>

namespace lumavex_emu {

std::atomic<long long> gPacketsSent{0};
std::atomic<int> gActivePlays{0};
thread_local const void* tCallbackOf = nullptr;
thread_local long long tPacketNumber = 0;

void NameThread(const char* name) {
#if defined(__linux__)
    pthread_setname_np(pthread_self(), name);
#else
    (void)name;
#endif
}

bool Empty(const char* text) { return text == nullptr || *text == '\0'; }

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

void FinishPlay(const std::shared_ptr<Play>& play) {
    play->RequestStop();
    if (play->thread.get_id() == std::this_thread::get_id()) {
        play->thread.detach();
    } else if (play->thread.joinable()) {
        play->thread.join();
    }
    --gActivePlays;
}

std::string MediaDir() {
    const char* overridden = std::getenv("LUMAVEX_EMU_MEDIA_DIR");
    if (!Empty(overridden)) {
        return overridden;
    }
#if defined(_WIN32)
    HMODULE self = nullptr;
    char path[MAX_PATH] = {0};
    if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCSTR>(&MediaDir), &self) &&
        GetModuleFileNameA(self, path, MAX_PATH) > 0) {
        std::string file = path;
        std::size_t slash = file.find_last_of("\\/");
        return (slash == std::string::npos ? std::string(".") : file.substr(0, slash)) + "\\lumavex-media";
    }
#else
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&MediaDir), &info) != 0 && info.dli_fname != nullptr) {
        std::string self = info.dli_fname;
        std::size_t slash = self.rfind('/');
        return (slash == std::string::npos ? std::string(".") : self.substr(0, slash)) + "/lumavex-media";
    }
#endif
    return "lumavex-media";
}

std::array<unsigned char, kHeaderSize> StreamHeader(Codec codec) {
    std::array<unsigned char, kHeaderSize> header{};
    if (codec == Codec::H264) {
        std::memcpy(header.data(), "QMZX", 4);
        header[8] = 0x04;  // little-endian 4
        header[10] = 0x00;
        header[11] = 0x01;  // little-endian 0x0100: H.264
    } else {
        std::memcpy(header.data(), "ZPLC", 4);
        header[8] = 0xC3;  // big-endian 0xC300
        header[10] = 0xC0;
        header[11] = 0x03;  // big-endian 0xC003: H.265
        header[34] = 0x00;
    }
    return header;
}

void Deliver(std::shared_ptr<Session> session, std::shared_ptr<Play> play, PlayPlan plan) {
    NameThread("lvx-deliver");
    using Clock = std::chrono::steady_clock;
    if (plan.silent) {
        play->WaitForStop();
        return;
    }
    if (!session->SendData(1, plan.header.data(), kHeaderSize)) {
        return;
    }
    const Clip& clip = *plan.clip;
    const auto period = plan.fps > 0 ? std::chrono::nanoseconds(1000000000L / plan.fps) : Clock::duration::zero();
    const auto start = Clock::now();
    auto next = start;
    for (std::size_t index = 0; !play->Stopped(); index = (index + 1) % clip.units.size()) {
        if (plan.fadeMs >= 0 && Clock::now() - start >= std::chrono::milliseconds(plan.fadeMs)) {
            play->WaitForStop();  // faded: still playing, never sending
            return;
        }
        const AccessUnit& unit = clip.units[index];
        if (!session->SendData(2, clip.bytes.data() + unit.offset, unit.size)) {
            return;
        }
        if (period == Clock::duration::zero()) {
            continue;
        }
        next += period;
        // A slow consumer gets the stream late, not in a burst.
        auto now = Clock::now();
        if (next < now - period) {
            next = now;
        }
        if (play->WaitUntil(next)) {
            return;
        }
    }
}

void Flood(std::shared_ptr<Session> session, long pauseUs) {
    NameThread("lvx-side");
    static const struct {
        unsigned int type;
        int code;
        const char* info;
    } kMessages[] = {{0, 7, ""},       {4, 8, ""},  {16, 16, ""},  {17, 17, ""},     {18, 18, ""},
                     {18, 510255, ""}, {91, 0, ""}, {92, 0, ""},   {99, 0, ""},      {0, 9, "UE105"},
                     {0, 0, "UE104"},  {0, 0, ""},  {0, 3, "UE1"}, {5, -1, "UE111"}, {0, 0, "UE107"}};
    for (std::size_t i = 0;; i = (i + 1) % (sizeof(kMessages) / sizeof(kMessages[0]))) {
        if (!session->SendMessage(kMessages[i].type, kMessages[i].code, kMessages[i].info)) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(pauseUs));
    }
}

void DeliverAfterRefusal(std::shared_ptr<Session> session, std::shared_ptr<const Clip> clip,
                         std::array<unsigned char, kHeaderSize> header) {
    NameThread("lvx-side");
    if (!session->SendData(1, header.data(), kHeaderSize)) {
        return;
    }
    for (std::size_t index = 0;; index = (index + 1) % clip->units.size()) {
        const AccessUnit& unit = clip->units[index];
        if (!session->SendData(2, clip->bytes.data() + unit.offset, unit.size)) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace lumavex_emu
