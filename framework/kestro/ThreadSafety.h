// Lock annotations that clang's -Wthread-safety checks (scripts/test builds with it as an error), and the
// annotated mutex and scope locks every lock of ours is made of. Other compilers see plain locks.
#pragma once

#include <mutex>
#include <shared_mutex>

#if defined(__clang__)
#define VANTRA_TSA(x) __attribute__((x))
#else
#define VANTRA_TSA(x)
#endif

#define CAPABILITY(x) VANTRA_TSA(capability(x))
#define SCOPED_CAPABILITY VANTRA_TSA(scoped_lockable)
#define GUARDED_BY(x) VANTRA_TSA(guarded_by(x))
#define PT_GUARDED_BY(x) VANTRA_TSA(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) VANTRA_TSA(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) VANTRA_TSA(acquired_after(__VA_ARGS__))
#define REQUIRES(...) VANTRA_TSA(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) VANTRA_TSA(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) VANTRA_TSA(acquire_shared_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) VANTRA_TSA(release_shared_capability(__VA_ARGS__))
#define RELEASE(...) VANTRA_TSA(release_capability(__VA_ARGS__))
#define EXCLUDES(...) VANTRA_TSA(locks_excluded(__VA_ARGS__))
#define RETURN_CAPABILITY(x) VANTRA_TSA(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS VANTRA_TSA(no_thread_safety_analysis)

namespace Zeph {
namespace Base {

class CAPABILITY("mutex") Mutex {
public:
    void Lock() ACQUIRE() { m_mutex.lock(); }
    void Unlock() RELEASE() { m_mutex.unlock(); }

private:
    friend class UniqueLock;
    std::mutex m_mutex;
};

class SCOPED_CAPABILITY LockGuard {
public:
    explicit LockGuard(Mutex& mutex) ACQUIRE(mutex) : m_mutex(mutex) { m_mutex.Lock(); }
    ~LockGuard() RELEASE() { m_mutex.Unlock(); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

private:
    Mutex& m_mutex;
};

// A scope lock that can be let go and taken again, and waited on with a std::condition_variable. A wait
// gives the lock up and has it back when it returns, so the analysis sees it held throughout.
class SCOPED_CAPABILITY UniqueLock {
public:
    explicit UniqueLock(Mutex& mutex) ACQUIRE(mutex) : m_lock(mutex.m_mutex) {}
    ~UniqueLock() RELEASE() {}
    UniqueLock(const UniqueLock&) = delete;
    UniqueLock& operator=(const UniqueLock&) = delete;

    void Lock() ACQUIRE() { m_lock.lock(); }
    void Unlock() RELEASE() { m_lock.unlock(); }
    // For std::condition_variable's waits only.
    std::unique_lock<std::mutex>& Native() { return m_lock; }

private:
    std::unique_lock<std::mutex> m_lock;
};

// Many readers or one writer.
class CAPABILITY("shared mutex") SharedMutex {
public:
    void Lock() ACQUIRE() { m_mutex.lock(); }
    void Unlock() RELEASE() { m_mutex.unlock(); }
    void LockShared() ACQUIRE_SHARED() { m_mutex.lock_shared(); }
    void UnlockShared() RELEASE_SHARED() { m_mutex.unlock_shared(); }

private:
    std::shared_mutex m_mutex;
};

class SCOPED_CAPABILITY WriterLock {
public:
    explicit WriterLock(SharedMutex& mutex) ACQUIRE(mutex) : m_mutex(mutex) { m_mutex.Lock(); }
    ~WriterLock() RELEASE() { m_mutex.Unlock(); }
    WriterLock(const WriterLock&) = delete;
    WriterLock& operator=(const WriterLock&) = delete;

private:
    SharedMutex& m_mutex;
};

class SCOPED_CAPABILITY ReaderLock {
public:
    explicit ReaderLock(SharedMutex& mutex) ACQUIRE_SHARED(mutex) : m_mutex(mutex) { m_mutex.LockShared(); }
    ~ReaderLock() RELEASE() { m_mutex.UnlockShared(); }
    ReaderLock(const ReaderLock&) = delete;
    ReaderLock& operator=(const ReaderLock&) = delete;

private:
    SharedMutex& m_mutex;
};

}  // namespace Base
}  // namespace Zeph
