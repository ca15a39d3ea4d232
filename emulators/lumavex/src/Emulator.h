// The emulator's state: its sessions, id buffers, settings and tokens, with the journal, the message thread and the
// fault machinery, in one object that the library's unload or the process's exit tears down.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "Faults.h"
#include "Journal.h"
#include "Sessions.h"

namespace lumavex_emu {

constexpr int kFailure = -1;
extern std::atomic<int> gLastError;
// Records the code for Pexlo_GetLastErrorCode and gives the entry point's failure result.
int Fail(int code);
// Blocks the caller of `entry` as LUMAVEX_EMU_BLOCK, or the rules LumavexEmu_SetBlock set, say, holding no
// emulator lock.
void Stall(const char* entry);
void SetBlockRules(const char* rules);

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

extern Emulator gEmu;

// Accepts one token object or an array of them; all or nothing.
bool ParseDeviceTokens(const char* text, std::vector<std::pair<std::string, std::string>>& out);
int Init(const char* entry, const char* authAddr, const char* openAddr, const char* appKey, bool client, int clientArg);
int RememberText(const char* entry, const char* text, std::string& slot);

}  // namespace lumavex_emu
