#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "kestro/ThreadSafety.h"
#include "platform/Platform.h"

namespace Zeph {
namespace Platform {

namespace {
// dlerror() is per thread; keep the reason of the last failed load for whoever asks next.
Zeph::Base::Mutex g_errorMutex;
SystemError g_lastLoadError GUARDED_BY(g_errorMutex);
}  // namespace

const char* SdkLibraryName() { return "libLumavex.so"; }

std::string NativePath(const std::string& path) {
    std::string out = path;
    for (char& c : out) {
        if (c == '\\') c = '/';
    }
    return out;
}

ModuleHandle LoadModuleFromDir(const std::string& dir, const std::string& name) {
    std::string native = NativePath(dir);
    errno = 0;
    // The current directory is left there on purpose: the SDK finds its own files relative to it.
    (void)chdir(native.c_str());
    std::string full = native;
    if (!full.empty() && full.back() != '/') full.push_back('/');
    full += name;
    dlerror();  // NOLINT(concurrency-mt-unsafe): glibc keeps dlerror's state per thread
    void* handle = dlopen(full.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        SystemError error;
        error.number = errno;
        const char* text = dlerror();  // NOLINT(concurrency-mt-unsafe): per thread, as above
        // strerror's buffer may be shared between threads; the category's message is not.
        error.text = text != nullptr ? text : std::generic_category().message(error.number);
        Zeph::Base::LockGuard lock(g_errorMutex);
        g_lastLoadError = error;
    }
    return handle;
}

SystemError LastLoadError() {
    Zeph::Base::LockGuard lock(g_errorMutex);
    return g_lastLoadError;
}

void* GetSymbol(ModuleHandle module, const char* name) {
    if (module == nullptr || name == nullptr) return nullptr;
    return dlsym(module, name);
}

void ReleaseModule(ModuleHandle module) {
    if (module != nullptr) dlclose(module);
}

std::string ExecutableDir() {
    // Lets a test, or a host started through a wrapper, stand the plugin in another installation.
    // NOLINTNEXTLINE(concurrency-mt-unsafe): the plugin only reads its environment, never writes it
    const char* overrideDir = std::getenv("VANTRA_EXE_DIR");
    if (overrideDir != nullptr && *overrideDir != '\0') {
        std::string dir = overrideDir;
        if (dir.back() != '/') dir.push_back('/');
        return dir;
    }
    char buffer[PATH_MAX + 1];
    ssize_t n = readlink("/proc/self/exe", buffer, PATH_MAX);
    if (n <= 0) return "./";
    std::string path(buffer, static_cast<size_t>(n));
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return "./";
    return path.substr(0, slash + 1);
}

bool IsAbsolutePath(const std::string& path) { return !path.empty() && path[0] == '/'; }

bool WriteFileReplacing(const std::string& path, const std::string& content, std::string* error) {
    const std::string temp = path + ".tmp";
    auto fail = [&](const char* step) {
        // Read before building the text, whose allocations may change errno.
        const int number = errno;
        if (error != nullptr) *error = std::string(step) + " " + temp + ": " + std::generic_category().message(number);
        return false;
    };
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return fail("cannot create");
    size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int saved = errno;
            close(fd);
            unlink(temp.c_str());
            errno = saved != 0 ? saved : EIO;
            return fail("cannot write");
        }
        done += static_cast<size_t>(n);
    }
    if (close(fd) != 0) {
        const int saved = errno;
        unlink(temp.c_str());
        errno = saved;
        return fail("cannot write");
    }
    if (rename(temp.c_str(), path.c_str()) != 0) {
        const int saved = errno;
        unlink(temp.c_str());
        errno = saved;
        return fail("cannot rename");
    }
    return true;
}

namespace {
// NOLINTNEXTLINE(bugprone-reserved-identifier): the C++ runtime's name for it
extern "C" int __cxa_atexit(void (*fn)(void*), void* arg, void* dso);
extern "C" void* __dso_handle;  // NOLINT(bugprone-reserved-identifier): the C++ runtime's name for it
void RunHook(void* fn) { reinterpret_cast<void (*)()>(fn)(); }
}  // namespace

// Tied to this module's handle, so the hook never outlives the code it points to (a plain atexit may be
// kept past an unload, for example under a sanitizer's interceptor).
void RegisterUnloadHook(void (*fn)()) { __cxa_atexit(&RunHook, reinterpret_cast<void*>(fn), &__dso_handle); }

// The plugin's code on Linux is a library linked -z nodelete (or an executable): it is never unmapped, so there is
// nothing to pin. Calling the loader here would also wait for an unload in progress on another thread, which may be
// waiting for this one.
void PinModule() {}

// Unloading runs the hooks above, which stop and join every thread before the code goes; at exit the same.
bool ProcessExiting() { return false; }

namespace {
// NOLINTNEXTLINE(performance-no-int-to-ptr): the handle is a std::thread* kept as an integer by the header
std::thread* Native(uintptr_t handle) { return reinterpret_cast<std::thread*>(handle); }
}  // namespace

namespace {
std::atomic<bool> g_failThreadStarts{false};
}  // namespace

void ModuleThread::FailStartsForTest(bool fail) { g_failThreadStarts.store(fail); }

bool ModuleThread::Start(std::function<void()> body) {
    Release();
    if (g_failThreadStarts.load()) return false;
    try {
        m_handle = reinterpret_cast<uintptr_t>(new std::thread(std::move(body)));
    } catch (...) {
        return false;
    }
    return true;
}

void ModuleThread::Join() {
    if (m_handle == 0) return;
    if (IsCurrent()) {
        Release();
        return;
    }
    Native(m_handle)->join();
    delete Native(m_handle);
    m_handle = 0;
}

bool ModuleThread::IsCurrent() const {
    return m_handle != 0 && Native(m_handle)->get_id() == std::this_thread::get_id();
}

void ModuleThread::Release() {
    if (m_handle == 0) return;
    Native(m_handle)->detach();
    delete Native(m_handle);
    m_handle = 0;
}

void SleepMs(unsigned int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void SetTimerSlackMs(unsigned int ms) {
#if defined(__linux__)
    prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(ms) * 1000000UL, 0, 0, 0);
#else
    (void)ms;
#endif
}

void SetCurrentThreadName(const char* name) {
    char shortName[16] = {0};
    std::strncpy(shortName, name, sizeof(shortName) - 1);
    pthread_setname_np(pthread_self(), shortName);
}

}  // namespace Platform
}  // namespace Zeph
