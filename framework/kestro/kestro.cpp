#include "kestro/kestro.h"

#include <semaphore.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

Kestro_Mutex::Kestro_Mutex() noexcept { pthread_mutex_init(&m_mutex, nullptr); }
Kestro_Mutex::~Kestro_Mutex() { pthread_mutex_destroy(&m_mutex); }
Kestro_Mutex& Kestro_Mutex::operator=(const Kestro_Mutex& other) {
    m_mutex = other.m_mutex;
    return *this;
}

// The lock wrappers themselves are where the analysis takes their word for it.
Kestro_Guard::Kestro_Guard(Kestro_Mutex* mutex) NO_THREAD_SAFETY_ANALYSIS : m_pMutex(mutex) {
    if (m_pMutex != nullptr) m_pMutex->Lock();
}
Kestro_Guard::~Kestro_Guard() NO_THREAD_SAFETY_ANALYSIS { Release(); }
void Kestro_Guard::Release() NO_THREAD_SAFETY_ANALYSIS {
    if (m_pMutex != nullptr) {
        m_pMutex->Unlock();
        m_pMutex = nullptr;
    }
}
// NOLINTNEXTLINE(bugprone-unhandled-self-assignment): one pointer copied; onto itself it changes nothing
Kestro_Guard& Kestro_Guard::operator=(const Kestro_Guard& other) {
    m_pMutex = other.m_pMutex;
    return *this;
}

#if defined(_WIN32)
// The export under MSVC's constructor name (see the plugin's module-definition file). An MSVC constructor hands
// `this` back in rax and an MSVC caller may use it, while GCC's returns nothing; with the Windows x64 convention
// `self` arrives in rcx, as `this` does.
extern "C" Kestro_Guard* Kestro_GuardConstructForMsvc(Kestro_Guard* self,
                                                      Kestro_Mutex* mutex) NO_THREAD_SAFETY_ANALYSIS {
    return new (self) Kestro_Guard(mutex);
}
#endif

Kestro_Sema::Kestro_Sema(unsigned int initial) {
    sem_t* sema = new (std::nothrow) sem_t;
    if (sema != nullptr && sem_init(sema, 0, initial) != 0) {
        delete sema;
        sema = nullptr;
    }
    m_hSema = sema;
}
Kestro_Sema::~Kestro_Sema() {
    if (m_hSema != nullptr) {
        sem_destroy(static_cast<sem_t*>(m_hSema));
        delete static_cast<sem_t*>(m_hSema);
    }
}
void Kestro_Sema::Post() {
    if (m_hSema != nullptr) sem_post(static_cast<sem_t*>(m_hSema));
}
void Kestro_Sema::Wait() {
    if (m_hSema == nullptr) return;
    while (sem_wait(static_cast<sem_t*>(m_hSema)) != 0 && errno == EINTR) {
    }
}
// NOLINTNEXTLINE(bugprone-unhandled-self-assignment): one handle copied; onto itself it changes nothing
Kestro_Sema& Kestro_Sema::operator=(const Kestro_Sema& other) {
    m_hSema = other.m_hSema;
    return *this;
}

void Kestro_Guard::__autoclassinit2(unsigned long long size) {
    std::memset(static_cast<void*>(this), 0, static_cast<size_t>(std::min<unsigned long long>(size, sizeof(*this))));
}

void Kestro_Sema::__autoclassinit2(unsigned long long size) {
    std::memset(static_cast<void*>(this), 0, static_cast<size_t>(std::min<unsigned long long>(size, sizeof(*this))));
}

unsigned short Kestro_Ntohs(unsigned short value) {
    // Network order is big-endian; swap only on a little-endian host.
    const unsigned short probe = 1;
    if (*reinterpret_cast<const unsigned char*>(&probe) == 0) return value;
    return static_cast<unsigned short>((value >> 8) | (value << 8));
}
