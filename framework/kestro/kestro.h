// The portable runtime's locks and byte order helpers.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>

#include "kestro/ThreadSafety.h"

// The plugin exports some members of these classes, as the runtime's own DLL build does: on Windows under the
// names an MSVC build gives them, through the plugin's module-definition file; elsewhere the linker script decides
// which ones leave the plugin.
#if defined(_WIN32)
#define KESTRO_API
#else
#define KESTRO_API __attribute__((visibility("default")))
#endif

// Non-recursive mutual exclusion.
class KESTRO_API CAPABILITY("mutex") Kestro_Mutex {
public:
    // Cannot throw, so a lock may be a static object's member.
    Kestro_Mutex() noexcept;
    ~Kestro_Mutex();
    // A copy would unlock a lock that it never took.
    Kestro_Mutex(const Kestro_Mutex&) = delete;
    // Inline: a packet's fan-out takes this lock once per packet.
    int Lock() ACQUIRE() { return pthread_mutex_lock(&m_mutex); }
    int Unlock() RELEASE() { return pthread_mutex_unlock(&m_mutex); }
    // Copies the object member by member, as the runtime's assignment does. Never used on a live lock.
    Kestro_Mutex& operator=(const Kestro_Mutex& other);

private:
    pthread_mutex_t m_mutex;
};

// Scope lock over a Kestro_Mutex.
class KESTRO_API SCOPED_CAPABILITY Kestro_Guard {
public:
    explicit Kestro_Guard(Kestro_Mutex* mutex) ACQUIRE(mutex);
    ~Kestro_Guard() RELEASE();
    // A copy would unlock twice.
    Kestro_Guard(const Kestro_Guard&) = delete;
    // Unlocks early; the destructor then does nothing.
    void Release() RELEASE();
    Kestro_Guard& operator=(const Kestro_Guard& other);
    // The zero-fill the runtime's build exports (MSVC's name for it). The host does not call it; a size
    // beyond the object is cut to the object.
    void __autoclassinit2(unsigned long long size);  // NOLINT(bugprone-reserved-identifier): the exported name

private:
    Kestro_Mutex* m_pMutex;
};

// Counting semaphore.
class KESTRO_API Kestro_Sema {
public:
    explicit Kestro_Sema(unsigned int initial = 0);
    ~Kestro_Sema();
    // A copy would free the semaphore twice.
    Kestro_Sema(const Kestro_Sema&) = delete;
    void Post();
    void Wait();
    // Copies the one handle member, as the runtime's assignment does.
    Kestro_Sema& operator=(const Kestro_Sema& other);
    // As Kestro_Guard's: zero-fills at most the object.
    void __autoclassinit2(unsigned long long size);  // NOLINT(bugprone-reserved-identifier): the exported name

private:
    void* m_hSema;
};

unsigned short Kestro_Ntohs(unsigned short value);
