// Sessions and their delivery: a session's callbacks, its play and the thread that delivers the clip, the
// message thread, and the threads that keep the DLL loaded while they run on Windows.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#endif

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "Clip.h"
#include "PexloSdk.h"

namespace lumavex_emu {

constexpr std::size_t kHeaderSize = 40;

// Lets a profiler tell the emulator's threads from the plugin's.
void NameThread(const char* name);
bool Empty(const char* text);
bool StartsWith(const std::string& text, const char* prefix);

extern std::atomic<long long> gPacketsSent;
extern std::atomic<int> gActivePlays;

// The session whose callback the current thread is running, so a callback that stops or frees its own session
// does not wait for itself.
extern thread_local const void* tCallbackOf;

// The number of the data packet whose callback runs on this thread, 0 outside one.
extern thread_local long long tPacketNumber;

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
    std::atomic<bool> cling{false};  // CLING: its free is refused, and it calls back later all the same
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
void FinishPlay(const std::shared_ptr<Play>& play);

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

std::string MediaDir();
std::array<unsigned char, kHeaderSize> StreamHeader(Codec codec);

struct PlayPlan {
    std::shared_ptr<const Clip> clip;
    std::array<unsigned char, kHeaderSize> header;
    bool silent;
    long fps;     // 0: no pacing
    long fadeMs;  // negative: never fades
};

// Sends the header, then the clip's access units at the plan's rate, until the play is stopped.
void Deliver(std::shared_ptr<Session> session, std::shared_ptr<Play> play, PlayPlan plan);
// FLOOD: every message kind the SDK sends, round and round, until the session is freed.
void Flood(std::shared_ptr<Session> session, long pauseUs);
// LATE: the play was refused, yet a header and media keep coming until the session is freed.
void DeliverAfterRefusal(std::shared_ptr<Session> session, std::shared_ptr<const Clip> clip,
                         std::array<unsigned char, kHeaderSize> header);

}  // namespace lumavex_emu
