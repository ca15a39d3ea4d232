// Reaches the diagnostic exports of the SDK emulator the plugin loaded, from outside the plugin.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "LumavexEmu.h"
#include "Portable.h"

namespace vantra_test {

using Clock = std::chrono::steady_clock;

inline long long ElapsedMs(Clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

// Waits for something to have happened (never for something not to happen); false at the time-out.
inline bool WaitUntil(const std::function<bool()>& happened, int timeoutMs = 10000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!happened()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Runs `call` on a thread; false, once `unstick` has made it return, when it took longer than `timeoutMs`.
inline bool ReturnsInTime(const std::function<void()>& call, const std::function<void()>& unstick,
                          int timeoutMs = 15000) {
    std::atomic<bool> returned{false};
    std::thread caller([&] {
        call();
        returned = true;
    });
    const bool inTime = WaitUntil([&] { return returned.load(); }, timeoutMs);
    if (!inTime) unstick();
    caller.join();
    return inTime;
}

inline std::string EmulatorDir() { return std::string(VANTRA_BINARY_DIR) + "/plugins/vantraiot_plugin"; }
inline std::string ReducedEmulatorDir() { return std::string(VANTRA_BINARY_DIR) + "/emulators/reduced"; }

// The emulator instance the manager loaded from `dir`, for its LumavexEmu_ diagnostics.
class Emulator {
public:
    explicit Emulator(const std::string& dir = EmulatorDir()) { m_handle = OpenLoadedLibrary(dir + "/" + kSdkFile); }
    ~Emulator() {
        if (m_handle != nullptr) CloseLibrary(m_handle);
    }
    bool Loaded() const { return m_handle != nullptr; }
    template <class Fn>
    Fn Get(const char* name) const {
        return reinterpret_cast<Fn>(Symbol(m_handle, name));
    }
    std::string Journal() const { return Text<PFN_LumavexEmu_Journal>("LumavexEmu_Journal"); }
    std::string LoadDirectory() const { return Text<PFN_LumavexEmu_LoadDirectory>("LumavexEmu_LoadDirectory"); }
    template <class Fn>
    std::string Text(const char* name) const {
        auto fn = Get<Fn>(name);
        int size = fn(nullptr, 0);
        std::string text(static_cast<size_t>(size) + 1, '\0');
        fn(&text[0], size + 1);
        text.resize(static_cast<size_t>(size));
        return text;
    }
    size_t Count(const std::string& what) const {
        const std::string journal = Journal();
        size_t n = 0;
        for (size_t at = journal.find(what); at != std::string::npos; at = journal.find(what, at + 1)) ++n;
        return n;
    }
    void Reset() const { Get<PFN_LumavexEmu_Reset>("LumavexEmu_Reset")(); }
    // The id of the session that was last asked to play `serial`, from the journal; empty when none was.
    std::string SessionOf(const std::string& serial) const {
        const std::string journal = Journal();
        const std::string entry = "Pexlo_StartPlayWithStreamType|";
        const size_t at = journal.rfind("|" + serial + "|");
        const size_t start = at == std::string::npos ? std::string::npos : journal.rfind(entry, at);
        return start == std::string::npos ? "" : journal.substr(start + entry.size(), at - start - entry.size());
    }
    int OpenSessions() const { return Get<PFN_LumavexEmu_OpenSessions>("LumavexEmu_OpenSessions")(); }
    int OutstandingIds() const { return Get<PFN_LumavexEmu_OutstandingIds>("LumavexEmu_OutstandingIds")(); }
    int ActivePlays() const { return Get<PFN_LumavexEmu_ActivePlays>("LumavexEmu_ActivePlays")(); }
    int SendMessage(const std::string& session, unsigned type, int code, const char* info) const {
        return Get<PFN_LumavexEmu_SendMessage>("LumavexEmu_SendMessage")(session.c_str(), type, code, info);
    }
    long long PacketsSent() const { return Get<PFN_LumavexEmu_PacketsSent>("LumavexEmu_PacketsSent")(); }
    long long LateCallbacks() const { return Get<PFN_LumavexEmu_LateCallbacks>("LumavexEmu_LateCallbacks")(); }
    long long ReentrantCallbacks() const {
        return Get<PFN_LumavexEmu_ReentrantCallbacks>("LumavexEmu_ReentrantCallbacks")();
    }
    int HungCalls() const { return Get<PFN_LumavexEmu_HungCalls>("LumavexEmu_HungCalls")(); }
    void ReleaseHung() const { Get<PFN_LumavexEmu_ReleaseHung>("LumavexEmu_ReleaseHung")(); }
    // LUMAVEX_EMU_BLOCK's rules while calls run; null goes back to the variable.
    void Block(const char* rules) const { Get<PFN_LumavexEmu_SetBlock>("LumavexEmu_SetBlock")(rules); }

private:
    void* m_handle = nullptr;
};

}  // namespace vantra_test
