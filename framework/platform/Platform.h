// The only place that knows the operating system's loader, directories and sleeping.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace Zeph {
namespace Platform {

using ModuleHandle = void*;

struct SystemError {
    int number = 0;
    std::string text;
};

// File name of the cloud SDK library on this system.
const char* SdkLibraryName();

// Turns a path built with Windows separators into one this system accepts.
std::string NativePath(const std::string& path);

// Makes `dir` the process's current directory, then loads `name` from it. Null on failure; the
// reason is then available from LastLoadError() until the next load.
ModuleHandle LoadModuleFromDir(const std::string& dir, const std::string& name);
SystemError LastLoadError();
void* GetSymbol(ModuleHandle module, const char* name);
void ReleaseModule(ModuleHandle module);

// Directory of the running executable, with a trailing separator; VANTRA_EXE_DIR replaces it.
std::string ExecutableDir();

// True for a path that does not depend on a current directory ("/x" here; "C:\x", "\\server\x" or "\x" on
// Windows).
bool IsAbsolutePath(const std::string& path);

// Writes `content` to `path` + ".tmp" and renames that over `path` in one step, so a reader sees the old file or
// the new one, never half of one. False with the system's reason in `error` when any step fails.
bool WriteFileReplacing(const std::string& path, const std::string& content, std::string* error);

void SleepMs(unsigned int ms);

// Lets the system deliver the calling thread's timed wake-ups up to `ms` late, so that it can serve many
// sleeping threads' timers together; best effort.
void SetTimerSlackMs(unsigned int ms);

// Names the calling thread for debuggers, profilers and /proc (15 characters kept); best effort.
void SetCurrentThreadName(const char* name);

// Runs `fn` when the module that holds this code is unloaded, or at process exit while it is loaded,
// whichever comes first. Hooks run in the reverse order of registration, before any earlier one.
void RegisterUnloadHook(void (*fn)());

// Keeps the module that holds this code mapped until the process ends, whatever the host unloads: for when a
// thread of ours waits inside a call that may return into our code much later. Permanent. It must come before
// an unload begins: once the system is unloading the module, nothing keeps it. (Linux: the plugin's code is linked
// to stay mapped from the start, and this does nothing.)
void PinModule();

// True once the process has begun to end with this module still loaded (Windows: its DLL_PROCESS_DETACH at
// exit). The system has then ended every other thread already: nothing may be joined, waited for or
// called in the cloud SDK any more.
bool ProcessExiting();

// A thread of this module. While it runs it holds a reference to the module, so a host that unloads the
// library without stopping the plugin first leaves the code in place under it instead of pulling it away
// (Windows: the reference is dropped by the thread's very last act). Joined by its owner.
class ModuleThread {
public:
    ModuleThread() = default;
    // One never joined is left to the system: its owner is going away at process exit.
    ~ModuleThread();
    ModuleThread(ModuleThread&& other) noexcept;
    ModuleThread& operator=(ModuleThread&& other) noexcept;
    ModuleThread(const ModuleThread&) = delete;
    ModuleThread& operator=(const ModuleThread&) = delete;

    // Runs `body` on a new thread; false when none could be started. Replaces a thread already joined.
    bool Start(std::function<void()> body);
    // While set, every Start fails as it does when the system has no thread left to give: for tests.
    static void FailStartsForTest(bool fail);
    bool Joinable() const { return m_handle != 0; }
    // Waits for the thread to end. Does not wait when called from the thread itself, or while the module is
    // being unloaded or the process ends: every thread has then finished with the module's code already.
    void Join();
    bool IsCurrent() const;

private:
    void Release();

    uintptr_t m_handle = 0;  // std::thread* (POSIX) or a thread HANDLE (Windows); 0 when none
    uint64_t m_id = 0;
};

}  // namespace Platform
}  // namespace Zeph
