// Emulates the Lumavex cloud video SDK: the Pexlo_ entry points of PexloSdk.h plus LumavexEmu_ diagnostics.
// No emulator lock is ever held while a callback of the caller runs: the caller's callbacks may block on its
// own locks while another of its threads stops or frees a session.
#include "LumavexEmu.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <pthread.h>
#endif
#include <rapidjson/document.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <initializer_list>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "Clip.h"
#include "PexloSdk.h"

#if defined(_WIN32)
#define LVX_EXPORT extern "C" __declspec(dllexport)
#else
#define LVX_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace lumavex_emu {
namespace {

constexpr int kFailure = -1;
constexpr std::size_t kJournalLimit = 10000;
constexpr std::size_t kHeaderSize = 40;
constexpr long kDefaultFps = 25;
constexpr long kDefaultFadeMs = 3000;
constexpr long kDefaultFloodUs = 200;
constexpr long kDefaultSlowMs = 2000;

// Read on every call so a test can flip them with setenv between calls.
bool EnvFlag(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' && std::strcmp(value, "0") != 0;
}

long EnvNumber(const char* name, long fallback) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') {
        return fallback;
    }
    char* end = nullptr;
    long number = std::strtol(value, &end, 10);
    return (*end != '\0' || number < 0) ? fallback : number;
}

// A cloud that negotiates: the caller blocks, holding no emulator lock, so only its own session waits.
void BlockFor(long ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

long SlowMs() { return EnvNumber("LUMAVEX_EMU_SLOW_MS", kDefaultSlowMs); }

// LUMAVEX_EMU_SLOW_ALLOC=N:MS: the N-th allocation (counted from 1) takes MS ms.
long SlowAllocMs(unsigned long long allocation) {
    const char* value = std::getenv("LUMAVEX_EMU_SLOW_ALLOC");
    if (value == nullptr) return 0;
    char* end = nullptr;
    const unsigned long long which = std::strtoull(value, &end, 10);
    if (end == value || *end != ':') return 0;
    const char* msText = end + 1;
    const long ms = std::strtol(msText, &end, 10);
    return (end == msText || *end != '\0' || ms < 0 || which != allocation) ? 0 : ms;
}

// Lets a profiler tell the emulator's threads from the plugin's.
void NameThread(const char* name) {
#if defined(__linux__)
    pthread_setname_np(pthread_self(), name);
#else
    (void)name;
#endif
}

bool Empty(const char* text) { return text == nullptr || *text == '\0'; }

std::string JournalField(const char* text) { return text == nullptr ? "(null)" : text; }

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

class Journal {
public:
    void Add(std::initializer_list<std::string> fields) {
        std::string line;
        for (const std::string& field : fields) {
            if (&field != fields.begin()) {
                line += '|';
            }
            line += field;
        }
        // One entry per line even when an argument (token JSON) spans several.
        for (char& c : line) {
            if (c == '\n' || c == '\r') {
                c = ' ';
            }
        }
        const auto limit = static_cast<std::size_t>(EnvNumber("LUMAVEX_EMU_JOURNAL_LIMIT", kJournalLimit));
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(std::move(line));
        while (lines_.size() > limit) {
            lines_.pop_front();
        }
    }

    std::string Dump() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::string text;
        for (const std::string& line : lines_) {
            text += line;
            text += '\n';
        }
        return text;
    }

    void Clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.clear();
    }

private:
    std::mutex mutex_;
    std::deque<std::string> lines_;
};

std::atomic<long long> gPacketsSent{0};
std::atomic<int> gActivePlays{0};
std::atomic<unsigned long long> gAllocations{0};  // since load or LumavexEmu_Reset, for LUMAVEX_EMU_SLOW_ALLOC
std::atomic<int> gLastError{0};
std::atomic<long long> gLateCallbacks{0};       // GHOST callbacks made after their session was freed
std::atomic<long long> gReentrantCallbacks{0};  // REENTER callbacks made from inside a play stop

constexpr long kDefaultGhostMs = 150;
// What GHOST and REENTER deliver out of turn: a media packet no clip contains, so a host can tell it apart.
constexpr unsigned char kStrayPacket[] = {0, 0, 0, 1, 'S', 'T', 'R', 'A', 'Y'};

// HANG: play stops and frees block until LUMAVEX_EMU_HANG_MS has passed (unset: until the process ends) or
// LumavexEmu_ReleaseHung is called, as a cloud that has gone away does. No emulator lock is held meanwhile.
class Hang {
public:
    // True when LumavexEmu_ReleaseHung ended the wait.
    bool Block() {
        const long ms = EnvNumber("LUMAVEX_EMU_HANG_MS", -1);
        std::unique_lock<std::mutex> lock(mutex_);
        const unsigned long long release = release_;
        ++blocked_;
        auto released = [&] { return release_ != release; };
        if (ms < 0) {
            wake_.wait(lock, released);
        } else {
            wake_.wait_for(lock, std::chrono::milliseconds(ms), released);
        }
        --blocked_;
        return released();
    }
    void ReleaseAll() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++release_;
        }
        wake_.notify_all();
    }
    int Blocked() {
        std::lock_guard<std::mutex> lock(mutex_);
        return blocked_;
    }

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    unsigned long long release_ = 0;
    int blocked_ = 0;
};

// The session whose callback the current thread is running, so a callback that stops or frees its own session
// does not wait for itself.
thread_local const void* tCallbackOf = nullptr;

// The number of the data packet whose callback runs on this thread, 0 outside one.
thread_local long long tPacketNumber = 0;

class CallbackScope {
public:
    explicit CallbackScope(const void* session) : saved_(tCallbackOf) { tCallbackOf = session; }
    ~CallbackScope() { tCallbackOf = saved_; }
    CallbackScope(const CallbackScope&) = delete;
    CallbackScope& operator=(const CallbackScope&) = delete;

private:
    const void* saved_;
};

struct Play {
    std::mutex mutex;
    std::condition_variable wake;
    bool stop = false;
    std::thread thread;

    // True once a stop was asked.
    bool WaitUntil(std::chrono::steady_clock::time_point deadline) {
        std::unique_lock<std::mutex> lock(mutex);
        return wake.wait_until(lock, deadline, [this] { return stop; });
    }

    void WaitForStop() {
        std::unique_lock<std::mutex> lock(mutex);
        wake.wait(lock, [this] { return stop; });
    }

    bool Stopped() {
        std::lock_guard<std::mutex> lock(mutex);
        return stop;
    }

    void RequestStop() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stop = true;
        }
        wake.notify_all();
    }
};

class Session {
public:
    Session(std::string sessionId, PexloMsgCallBack callback, void* user)
        : id(std::move(sessionId)), msgCallback_(callback), msgUser_(user) {}

    const std::string id;

    std::mutex mutex;  // guards the fields below
    bool closed = false;
    PexloDataCallBack dataCallback = nullptr;
    void* dataUser = nullptr;
    std::shared_ptr<Play> play;
    std::map<int, int> config;
    // Set once the session played a SLOW serial: its later registrations, stops and its free block too.
    std::atomic<bool> slow{false};
    // Set by the serial of its play: GHOST calls back after the free, REENTER calls back from inside its play
    // stop, HANG blocks in its play stop and its free.
    std::atomic<bool> ghost{false};
    std::atomic<bool> reenter{false};
    std::atomic<bool> hang{false};
    // FLOOD and LATE serials: a thread that keeps calling back until the session is freed (joined by Close).
    std::thread sideThread;
    long long packets = 0;  // data packets handed to the callback so far, for their numbers

    // False once the session is closed; the callback itself runs without any emulator lock.
    bool SendData(unsigned long type, const unsigned char* data, unsigned long length) {
        PexloDataCallBack callback;
        void* user;
        long long number;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (closed) {
                return false;
            }
            callback = dataCallback;
            user = dataUser;
            number = ++packets;
            ++inFlight_;
        }
        {
            CallbackScope scope(this);
            const long long outer = tPacketNumber;
            tPacketNumber = number;
            callback(type, data, length, user);
            tPacketNumber = outer;
        }
        ++gPacketsSent;
        Leave();
        return true;
    }

    bool SendMessage(unsigned int type, int code, const char* info) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (closed) {
                return false;
            }
            ++inFlight_;
        }
        if (msgCallback_ != nullptr) {
            CallbackScope scope(this);
            msgCallback_(id.c_str(), type, code, info == nullptr ? "" : info, msgUser_);
        }
        Leave();
        return true;
    }

    PexloMsgCallBack MsgCallback() const { return msgCallback_; }
    void* MsgUser() const { return msgUser_; }

    // Call after setting `closed`: waits for callbacks already running, except one on this very thread.
    void WaitIdle() {
        int own = tCallbackOf == this ? 1 : 0;
        std::unique_lock<std::mutex> lock(mutex);
        idle_.wait(lock, [&] { return inFlight_ <= own; });
    }

private:
    void Leave() {
        std::lock_guard<std::mutex> lock(mutex);
        if (--inFlight_ == 0) {
            idle_.notify_all();
        }
    }

    const PexloMsgCallBack msgCallback_;
    void* const msgUser_;
    int inFlight_ = 0;
    std::condition_variable idle_;
};

// Joins the delivery thread, or lets it run out when a callback stops its own play.
void FinishPlay(const std::shared_ptr<Play>& play) {
    play->RequestStop();
    if (play->thread.get_id() == std::this_thread::get_id()) {
        play->thread.detach();
    } else if (play->thread.joinable()) {
        play->thread.join();
    }
    --gActivePlays;
}

// The message thread. On Windows it holds a reference to this DLL while it runs and drops it as its very last
// act, so an unload can only begin once the thread is done with the DLL's code, and never has to wait for the
// thread's exit, which needs the loader lock the unload holds.
class PumpThread {
public:
    PumpThread() = default;
    PumpThread(const PumpThread&) = delete;
    PumpThread& operator=(const PumpThread&) = delete;
    ~PumpThread() { Forget(); }

    template <class Fn>
    void Start(Fn fn) {
#if defined(_WIN32)
        HMODULE self = nullptr;
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&Main), &self);
        auto* body = new std::function<void()>(std::move(fn));
        auto* start = new Start_{body, self};
        handle_ = CreateThread(nullptr, 0, &Main, start, 0, nullptr);
        if (handle_ == nullptr) {
            delete body;
            delete start;
            if (self != nullptr) FreeLibrary(self);
        }
#else
        thread_ = std::thread(std::move(fn));
#endif
    }
    bool Joinable() const {
#if defined(_WIN32)
        return handle_ != nullptr;
#else
        return thread_.joinable();
#endif
    }
    void Join() {
#if defined(_WIN32)
        if (handle_ != nullptr) WaitForSingleObject(handle_, INFINITE);
        Forget();
#else
        if (thread_.joinable()) thread_.join();
#endif
    }
    // For a thread that has left the DLL's code: on Windows it is not waited for.
    void Forget() {
#if defined(_WIN32)
        if (handle_ != nullptr) CloseHandle(handle_);
        handle_ = nullptr;
#else
        Join();
#endif
    }

private:
#if defined(_WIN32)
    struct Start_ {
        std::function<void()>* body;
        HMODULE self;
    };
    static DWORD WINAPI Main(void* argument) {
        auto* start = static_cast<Start_*>(argument);
        const HMODULE self = start->self;
        (*start->body)();
        delete start->body;
        delete start;
        if (self != nullptr) FreeLibraryAndExitThread(self, 0);
        return 0;
    }
    HANDLE handle_ = nullptr;
#else
    std::thread thread_;
#endif
};

// One emulator thread delivers every asynchronous message, in posting order, so none is ever sent from inside
// an entry point the caller is still in. The thread ends whenever the queue runs dry: a DLL must not join a
// thread that is still running while Windows unloads it (thread exit needs the loader lock it holds).
class MessagePump {
public:
    void Post(std::shared_ptr<Session> session, unsigned int type, int code, std::string info) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) {
            return;
        }
        queue_.push_back(Item{std::move(session), type, code, std::move(info)});
        if (!running_) {
            thread_.Join();  // it has left Run() already; nothing of it needs the lock
            running_ = true;
            thread_.Start([this] { Run(); });
        }
    }

    // At unload or exit. A thread that has run dry is not waited for: on Windows it may be exiting right now,
    // blocked on the loader lock this unload holds.
    void Shutdown() {
        bool running = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
            running = running_;
        }
        if (running) {
            thread_.Join();
        } else {
            thread_.Forget();
        }
    }

private:
    struct Item {
        std::shared_ptr<Session> session;
        unsigned int type;
        int code;
        std::string info;
    };

    void Run() {
        NameThread("lvx-msg");
        std::unique_lock<std::mutex> lock(mutex_);
        while (!stopping_ && !queue_.empty()) {
            Item item = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            item.session->SendMessage(item.type, item.code, item.info.c_str());
            item.session.reset();
            lock.lock();
        }
        running_ = false;
    }

    std::mutex mutex_;
    std::deque<Item> queue_;
    bool stopping_ = false;
    bool running_ = false;
    PumpThread thread_;
};

// GHOST: once a session is freed, its data and message callbacks are called once more, LUMAVEX_EMU_GHOST_MS
// (default 150) ms later, with the user values they were registered with, as SDKs that race their own teardown
// do. Each waits on a thread of its own, joined once it is done or when the library goes (before which it calls
// nothing).
class Ghosts {
public:
    void Haunt(PexloDataCallBack data, void* dataUser, PexloMsgCallBack message, void* messageUser, std::string id) {
        const long ms = EnvNumber("LUMAVEX_EMU_GHOST_MS", kDefaultGhostMs);
        Reap();
        auto ghost = std::make_shared<Ghost>();
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return;
        ghost->thread.Start([this, ghost, data, dataUser, message, messageUser, id, ms] {
            NameThread("lvx-ghost");
            {
                std::unique_lock<std::mutex> wait(mutex_);
                wake_.wait_for(wait, std::chrono::milliseconds(ms), [this] { return stopping_; });
                if (stopping_) {
                    ghost->done = true;
                    return;
                }
            }
            if (data != nullptr) {
                data(2, kStrayPacket, sizeof(kStrayPacket), dataUser);
                ++gLateCallbacks;
            }
            if (message != nullptr) {
                message(id.c_str(), 0, 7, "UE101", messageUser);
                ++gLateCallbacks;
            }
            ghost->done = true;
        });
        ghosts_.push_back(ghost);
    }

    // At unload or exit: waiting ghosts give up.
    void Shutdown() {
        std::vector<std::shared_ptr<Ghost>> all;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
            all.swap(ghosts_);
        }
        wake_.notify_all();
        // One that is done may be the very thread unloading the DLL on Windows (its last act drops the DLL's
        // last reference), so it is not waited for; one still waiting holds a reference, so only at exit can
        // it be here, when the system has ended it already.
        for (auto& ghost : all) {
            if (ghost->done) {
                ghost->thread.Forget();
            } else {
                ghost->thread.Join();
            }
        }
    }

private:
    struct Ghost {
        PumpThread thread;
        std::atomic<bool> done{false};
    };
    void Reap() {
        std::vector<std::shared_ptr<Ghost>> ended;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (auto it = ghosts_.begin(); it != ghosts_.end();) {
                if ((*it)->done) {
                    ended.push_back(*it);
                    it = ghosts_.erase(it);
                } else {
                    ++it;
                }
            }
        }
        for (auto& ghost : ended) ghost->thread.Forget();
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::vector<std::shared_ptr<Ghost>> ghosts_;
};

class Emulator {
public:
    Emulator() = default;
    Emulator(const Emulator&) = delete;
    Emulator& operator=(const Emulator&) = delete;
    // Runs at unload or exit: no delivery or message thread may outlive the code it runs.
    ~Emulator() {
        std::unordered_map<std::string, std::shared_ptr<Session>> remaining;
        {
            std::lock_guard<std::mutex> lock(mutex);
            remaining.swap(sessions);
            for (void* buffer : idBuffers) {
                std::free(buffer);
            }
            idBuffers.clear();
        }
        hang.ReleaseAll();
        ghosts.Shutdown();
        for (auto& entry : remaining) {
            Close(entry.second);
        }
        pump.Shutdown();
    }

    static void Close(const std::shared_ptr<Session>& session) {
        std::shared_ptr<Play> play;
        std::thread side;
        {
            std::lock_guard<std::mutex> lock(session->mutex);
            session->closed = true;
            play = std::move(session->play);
            side = std::move(session->sideThread);
        }
        if (play) {
            FinishPlay(play);
        }
        if (side.joinable()) {
            // It ends at its next callback attempt, now refused; one of its own callbacks may be the caller.
            if (side.get_id() == std::this_thread::get_id()) {
                side.detach();
            } else {
                side.join();
            }
        }
        session->WaitIdle();
    }

    std::shared_ptr<Session> Find(const char* id) {
        if (id == nullptr) {
            return nullptr;
        }
        std::lock_guard<std::mutex> lock(mutex);
        auto found = sessions.find(id);
        return found == sessions.end() ? nullptr : found->second;
    }

    std::mutex mutex;  // guards the fields below
    bool initialized = false;
    bool clientMode = false;
    std::map<int, int> configInfo;
    std::string platformAddr;
    std::string accessToken;
    std::string accountToken;
    std::map<std::string, std::string> deviceTokens;  // serial -> token
    std::unordered_map<std::string, std::shared_ptr<Session>> sessions;
    std::set<void*> idBuffers;
    unsigned long long nextSession = 1;

    Journal journal;
    MessagePump pump;
    Ghosts ghosts;
    Hang hang;
};

Emulator gEmu;

int Fail(int code) {
    gLastError = code;
    return kFailure;
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

struct PlayPlan {
    std::shared_ptr<const Clip> clip;
    std::array<unsigned char, kHeaderSize> header;
    bool silent;
    long fps;     // 0: no pacing
    long fadeMs;  // negative: never fades
};

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

// FLOOD: every message kind the SDK sends, round and round, until the session is freed.
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

// LATE: the play was refused, yet a header and media keep coming until the session is freed.
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

bool AddTokenObject(const rapidjson::Value& value, std::vector<std::pair<std::string, std::string>>& out) {
    if (!value.IsObject()) {
        return false;
    }
    auto serial = value.FindMember("deviceSerial");
    auto channel = value.FindMember("channelNo");
    auto token = value.FindMember("deviceToken");
    if (serial == value.MemberEnd() || !serial->value.IsString() || serial->value.GetStringLength() == 0 ||
        channel == value.MemberEnd() || !channel->value.IsInt() || token == value.MemberEnd() ||
        !token->value.IsString()) {
        return false;
    }
    out.emplace_back(serial->value.GetString(), token->value.GetString());
    return true;
}

// Accepts one token object or an array of them; all or nothing.
bool ParseDeviceTokens(const char* text, std::vector<std::pair<std::string, std::string>>& out) {
    rapidjson::Document document;
    if (document.Parse(text).HasParseError()) {
        return false;
    }
    if (document.IsArray()) {
        for (const rapidjson::Value& item : document.GetArray()) {
            if (!AddTokenObject(item, out)) {
                return false;
            }
        }
        return true;
    }
    return AddTokenObject(document, out);
}

int Init(const char* entry, const char* authAddr, const char* openAddr, const char* appKey, bool client,
         int clientArg) {
    if (client) {
        gEmu.journal.Add(
            {entry, JournalField(authAddr), JournalField(openAddr), JournalField(appKey), std::to_string(clientArg)});
    } else {
        gEmu.journal.Add({entry, JournalField(authAddr), JournalField(openAddr), JournalField(appKey)});
    }
    if (Empty(authAddr) || Empty(openAddr) || Empty(appKey)) {
        return Fail(LVX_EMU_ERR_INVALID_ARGUMENT);
    }
    if (EnvFlag("LUMAVEX_EMU_FAIL_INIT")) {
        return Fail(LVX_EMU_ERR_INJECTED);
    }
    std::lock_guard<std::mutex> lock(gEmu.mutex);
    gEmu.initialized = true;
    gEmu.clientMode = client;
    return 0;
}

int RememberText(const char* entry, const char* text, std::string& slot) {
    gEmu.journal.Add({entry, JournalField(text)});
    if (Empty(text)) {
        return Fail(LVX_EMU_ERR_INVALID_ARGUMENT);
    }
    std::lock_guard<std::mutex> lock(gEmu.mutex);
    slot = text;
    return 0;
}

}  // namespace
}  // namespace lumavex_emu

using namespace lumavex_emu;

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
    std::lock_guard<std::mutex> lock(gEmu.mutex);
    gEmu.initialized = false;
    gEmu.clientMode = false;
    return 0;
}

LVX_EXPORT int Pexlo_SetConfigInfo(int key, int value) {
    gEmu.journal.Add({"Pexlo_SetConfigInfo", std::to_string(key), std::to_string(value)});
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
    std::shared_ptr<Session> session;
    if (sessionId != nullptr) {
        std::lock_guard<std::mutex> lock(gEmu.mutex);
        auto found = gEmu.sessions.find(sessionId);
        if (found != gEmu.sessions.end()) {
            session = std::move(found->second);
            gEmu.sessions.erase(found);
        }
    }
    if (!session) {
        return Fail(LVX_EMU_ERR_UNKNOWN_SESSION);
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
    if (StartsWith(serial, "SLOW")) {
        session->slow = true;
        BlockFor(SlowMs());
    }
    if (StartsWith(serial, "REFUSE")) {
        gEmu.pump.Post(session, 0, LVX_EMU_ERR_DEVICE_REFUSED, "UE101");
        return Fail(LVX_EMU_ERR_DEVICE_REFUSED);
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
LVX_EXPORT int Pexlo_GetLastErrorCode(void) { return gLastError; }
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

LVX_EXPORT int LumavexEmu_Journal(char* buffer, int size) {
    std::string text = gEmu.journal.Dump();
    if (buffer != nullptr && size > 0) {
        std::size_t count = std::min(text.size(), static_cast<std::size_t>(size) - 1);
        std::memcpy(buffer, text.data(), count);
        buffer[count] = '\0';
    }
    return static_cast<int>(text.size());
}

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
#ifndef LUMAVEX_EMU_REDUCED
LVX_SAME_SIGNATURE(Pexlo_SetSessionConfig);
LVX_SAME_SIGNATURE(Pexlo_GetLastErrorCode);
#endif
