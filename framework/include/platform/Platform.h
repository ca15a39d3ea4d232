// The only place that knows the operating system's loader, directories and sleeping.
#pragma once

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

void SleepMs(unsigned int ms);

// Lets the system deliver the calling thread's timed wake-ups up to `ms` late, so that it can serve many
// sleeping threads' timers together; best effort.
void SetTimerSlackMs(unsigned int ms);

// Names the calling thread for debuggers, profilers and /proc (15 characters kept); best effort.
void SetCurrentThreadName(const char* name);

// Runs `fn` when the module that holds this code is unloaded, or at process exit while it is loaded,
// whichever comes first. Hooks run in the reverse order of registration, before any earlier one.
void RegisterUnloadHook(void (*fn)());

}  // namespace Platform
}  // namespace Zeph
