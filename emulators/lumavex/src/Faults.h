// The fault switches: what the environment and the prefix of a played serial make the emulator do, and the
// misbehaviours they switch on (HANG's blocked calls, GHOST's callbacks after a free).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "PexloSdk.h"
#include "Sessions.h"

namespace lumavex_emu {

constexpr long kDefaultFps = 25;
constexpr long kDefaultFadeMs = 3000;
constexpr long kDefaultFloodUs = 200;
constexpr long kDefaultSlowMs = 2000;
constexpr long kDefaultGhostMs = 150;
// What GHOST and REENTER deliver out of turn: a media packet no clip contains, so a host can tell it apart.
constexpr unsigned char kStrayPacket[] = {0, 0, 0, 1, 'S', 'T', 'R', 'A', 'Y'};

// Read on every call so a test can flip them with setenv between calls. A flag is on when set, non-empty and
// not "0"; a number that is negative or not one gives the fallback.
bool EnvFlag(const char* name);
long EnvNumber(const char* name, long fallback);
// A cloud that negotiates: the caller blocks, holding no emulator lock, so only its own session waits.
void BlockFor(long ms);
long SlowMs();
// LUMAVEX_EMU_SLOW_ALLOC=N:MS: the N-th allocation (counted from 1) takes MS ms.
long SlowAllocMs(unsigned long long allocation);
// LUMAVEX_EMU_BLOCK, a comma-separated list of ENTRY=MS or ENTRY=MS/EVERY: how long the `call`-th call (counted from
// 1) of `entry` blocks: 0 not at all, -1 until released (MS given as "hang"). The first rule that names the entry and
// whose EVERY divides `call` decides.
long BlockRuleMs(const char* rules, const char* entry, unsigned long long call);
// The calls of `entry` so far, this one included (counted since load or LumavexEmu_Reset).
unsigned long long CountCall(const char* entry);
void ResetCallCounts();

extern std::atomic<unsigned long long> gAllocations;  // since load or LumavexEmu_Reset, for LUMAVEX_EMU_SLOW_ALLOC
extern std::atomic<long long> gLateCallbacks;         // GHOST callbacks made after their session was freed
extern std::atomic<long long> gReentrantCallbacks;    // REENTER callbacks made from inside a play stop

// HANG: play stops and frees block until LUMAVEX_EMU_HANG_MS has passed (unset: until the process ends) or
// LumavexEmu_ReleaseHung is called, as a cloud that has gone away does. No emulator lock is held meanwhile.
class Hang {
public:
    // True when LumavexEmu_ReleaseHung ended the wait.
    bool Block() { return Block(EnvNumber("LUMAVEX_EMU_HANG_MS", -1)); }
    // The same for `ms` ms, or until released when it is negative.
    bool Block(long ms) {
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

}  // namespace lumavex_emu
