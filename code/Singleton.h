// Process-wide objects created on first use and destroyed when the library is unloaded.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "SdkWatch.h"
#include "kestro/ThreadSafety.h"
#include "platform/Platform.h"

namespace PexloCommon {

template <class T>
class CSingletonHolder {
public:
    static T* Get() {
        // Published pointer first, without a lock; the creation mutex only on the first calls.
        T* instance = s_instance.load(std::memory_order_acquire);
        if (instance != nullptr) return instance;
        Zeph::Base::LockGuard lock(s_creationMutex);
        instance = s_instance.load(std::memory_order_relaxed);
        if (instance == nullptr) {
            s_owner.object.reset(new T);
            instance = s_owner.object.get();
            s_instance.store(instance, std::memory_order_release);
        }
        return instance;
    }

    // The instance if it exists, without creating it.
    static T* Peek() { return s_instance.load(std::memory_order_acquire); }

    // Destroys the instance as an unload does, so that the next Get() makes a fresh one: for the host's unload of
    // the exports' library, under which this code stays loaded. Kept instead once a call was left behind in the
    // SDK, which may still come back into it.
    static void Destroy() {
        if (CSdkWatch::LeftBehind()) return;
        std::unique_ptr<T> object;
        {
            Zeph::Base::LockGuard lock(s_creationMutex);
            s_instance.store(nullptr, std::memory_order_release);
            object = std::move(s_owner.object);
        }
    }

private:
    struct Owner {
        std::unique_ptr<T> object;
        ~Owner() {
            // At process exit the system has ended the threads and perhaps the SDK already: tearing down
            // could only wait forever or call into what is gone, and the memory goes with the process. A call
            // left behind in the SDK may still come back into the object. Either way it stays, still published.
            if (Zeph::Platform::ProcessExiting() || CSdkWatch::LeftBehind()) {
                (void)object.release();
                return;
            }
            s_instance.store(nullptr, std::memory_order_release);
            object.reset();
        }
    };
    static inline std::atomic<T*> s_instance{nullptr};
    static inline Zeph::Base::Mutex s_creationMutex;
    static inline Owner s_owner;
};

}  // namespace PexloCommon
