// What the cloud SDK is handed as user data for its callbacks: keys into a table of gates, never pointers.
#pragma once

#include <atomic>
#include <cstdint>

#include "kestro/ThreadSafety.h"
#include "kestro/kestro.h"

namespace PexloCommon {

class CTackStreamFromNubrix;

// One gate per real stream. The SDK may call back late, after the stream's session was stopped or freed, or
// even after the SDK was finished, on any thread. A callback therefore carries a key, not a pointer: it finds
// its gate by the key's index, takes the gate's lock and is let in only while the gate still holds that very
// key. Gates are never freed while the library is loaded, so whatever value the SDK hands back, a callback
// reads nothing but a gate; a revoked key, or one the table never issued, lets nothing through.
//
// The gate's lock is also its stream's observer lock: a packet is admitted and fanned out under one lock, so
// the check costs no atomic instruction of its own. Taking the lock to revoke or close waits for the callback
// in progress, if any, and lets none in after.
class alignas(64) CCallbackGate {
public:
    // A gate with a fresh key; the shared inert gate, whose key never admits anything, when all are taken.
    static CCallbackGate* Lease();
    // Back to the table once nothing takes its lock any more: its stream is being destroyed.
    static void Release(CCallbackGate* gate);
    // The gate the value names by its index, or null; whether the key is still good is Admit's to say.
    static CCallbackGate* Find(const void* user);

    bool IsInert() const { return m_key == 0; }
    // The user value to hand the SDK.
    // NOLINTNEXTLINE(performance-no-int-to-ptr): a key, not an address; nothing dereferences it
    void* Key() const { return reinterpret_cast<void*>(m_key); }

    // The source a callback with this user value may reach, with the gate's lock held; null when the key was
    // revoked or never issued, or when data is not let in (`data`) because the session's play is stopping.
    CTackStreamFromNubrix* Admit(const void* user, bool data) const REQUIRES(m_mutex) {
        if (!m_bLive || reinterpret_cast<uintptr_t>(user) != m_key) return nullptr;
        if (data && !m_bData.load(std::memory_order_relaxed)) return nullptr;
        return m_pSource;
    }

    // The source the callbacks reach, set once it exists.
    void Bind(CTackStreamFromNubrix* source) EXCLUDES(m_mutex);
    // No callback gets through any more; returns once the one in progress, if any, has left. For good.
    void Revoke() EXCLUDES(m_mutex);
    // Data is let in from just before a play starts until just before it is stopped, so a packet of a play
    // that is stopping never reaches the stream. Closing waits for a delivery in progress.
    void OpenData() { m_bData.store(true, std::memory_order_relaxed); }
    // A hint without the lock; Admit decides.
    bool DataOpen() const { return m_bData.load(std::memory_order_relaxed); }
    void CloseData() EXCLUDES(m_mutex);

    // Held for a callback's whole run; its stream uses it as its observer lock.
    mutable Kestro_Mutex m_mutex;

private:
    friend class CCallbackGateTable;
    CCallbackGate() = default;

    // Written by the table under m_mutex before the gate is handed out, and fixed while it is leased; a late
    // callback compares it under m_mutex.
    uintptr_t m_key = 0;
    bool m_bLive GUARDED_BY(m_mutex) = false;
    CTackStreamFromNubrix* m_pSource GUARDED_BY(m_mutex) = nullptr;
    std::atomic<bool> m_bData{false};
    uint64_t m_iGeneration = 0;  // the table's, under its own lock
};

// A scope over a Kestro_Mutex without the exported guard's out-of-line calls, for the locks a packet takes.
class SCOPED_CAPABILITY GateLock {
public:
    explicit GateLock(Kestro_Mutex& mutex) ACQUIRE(mutex) : m_mutex(mutex) { m_mutex.Lock(); }
    explicit GateLock(const CCallbackGate& gate) ACQUIRE(gate.m_mutex) : m_mutex(gate.m_mutex) { m_mutex.Lock(); }
    ~GateLock() RELEASE() { m_mutex.Unlock(); }
    GateLock(const GateLock&) = delete;
    GateLock& operator=(const GateLock&) = delete;

private:
    Kestro_Mutex& m_mutex;
};

}  // namespace PexloCommon
