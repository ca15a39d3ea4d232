#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "kestro/ThreadSafety.h"
#include "platform/Platform.h"

namespace Zeph {
namespace Platform {

namespace {
std::atomic<bool> g_processExiting{false};
std::atomic<bool> g_unloading{false};
Zeph::Base::Mutex g_errorMutex;
SystemError g_lastLoadError GUARDED_BY(g_errorMutex);

std::wstring Widen(const std::string& text) {
    if (text.empty()) return std::wstring();
    int size = MultiByteToWideChar(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0);
    if (size <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), &wide[0], size);
    return wide;
}

std::string Narrow(const std::wstring& text) {
    if (text.empty()) return std::string();
    int size =
        WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    if (size <= 0) return std::string();
    std::string narrow(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), &narrow[0], size, nullptr, nullptr);
    return narrow;
}
}  // namespace

const char* SdkLibraryName() { return "Lumavex.dll"; }

// Backslashes are this system's own separators.
std::string NativePath(const std::string& path) { return path; }

ModuleHandle LoadModuleFromDir(const std::string& dir, const std::string& name) {
    // The current directory is left there on purpose: the SDK finds its own files relative to it.
    SetCurrentDirectoryW(Widen(dir).c_str());
    HMODULE module = LoadLibraryW(Widen(name).c_str());
    if (module == nullptr) {
        SystemError error;
        error.text = std::strerror(errno);
        error.number = static_cast<int>(GetLastError());
        Zeph::Base::LockGuard lock(g_errorMutex);
        g_lastLoadError = error;
    }
    return reinterpret_cast<ModuleHandle>(module);
}

SystemError LastLoadError() {
    Zeph::Base::LockGuard lock(g_errorMutex);
    return g_lastLoadError;
}

void* GetSymbol(ModuleHandle module, const char* name) {
    if (module == nullptr || name == nullptr) return nullptr;
    return reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(module), name));
}

void ReleaseModule(ModuleHandle module) {
    if (module != nullptr) FreeLibrary(reinterpret_cast<HMODULE>(module));
}

std::string ExecutableDir() {
    const char* overrideDir = std::getenv("VANTRA_EXE_DIR");
    if (overrideDir != nullptr && *overrideDir != '\0') {
        std::string dir = overrideDir;
        if (dir.back() != '\\' && dir.back() != '/') dir.push_back('\\');
        return dir;
    }
    std::wstring path(MAX_PATH, L'\0');
    while (true) {
        DWORD n = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
        if (n == 0) return ".\\";
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        path.resize(path.size() * 2);
    }
    size_t slash = path.find_last_of(L"\\/");
    if (slash == std::wstring::npos) return ".\\";
    return Narrow(path.substr(0, slash + 1));
}

void SleepMs(unsigned int ms) { Sleep(ms); }

void SetTimerSlackMs(unsigned int) {}

void SetCurrentThreadName(const char* name) {
    // SetThreadDescription exists from Windows 10 1607 on; older systems simply keep unnamed threads.
    using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    auto set =
        kernel != nullptr
            ? reinterpret_cast<SetDescription>(reinterpret_cast<void*>(GetProcAddress(kernel, "SetThreadDescription")))
            : nullptr;
    if (set == nullptr) return;
    wchar_t wide[64] = {0};
    for (size_t i = 0; i + 1 < sizeof(wide) / sizeof(wide[0]) && name[i] != '\0'; ++i) {
        wide[i] = static_cast<wchar_t>(static_cast<unsigned char>(name[i]));
    }
    set(GetCurrentThread(), wide);
}

// The C runtime of a DLL runs its atexit list when the DLL is unloaded, or at exit while it is loaded.
void RegisterUnloadHook(void (*fn)()) { std::atexit(fn); }

bool ProcessExiting() { return g_processExiting.load(); }

bool IsAbsolutePath(const std::string& path) {
    if (path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' &&
        (path[2] == '\\' || path[2] == '/')) {
        return true;
    }
    return !path.empty() && (path[0] == '\\' || path[0] == '/');
}

bool WriteFileReplacing(const std::string& path, const std::string& content, std::string* error) {
    const std::wstring target = Widen(path);
    const std::wstring temp = Widen(path + ".tmp");
    auto fail = [&](const char* step) {
        if (error != nullptr) *error = std::string(step) + " " + path + ".tmp: error " + std::to_string(GetLastError());
        return false;
    };
    HANDLE file = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return fail("cannot create");
    size_t done = 0;
    bool ok = true;
    while (ok && done < content.size()) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(content.size() - done, 1u << 20));
        ok = WriteFile(file, content.data() + done, chunk, &written, nullptr) != 0 && written > 0;
        done += written;
    }
    if (!ok) {
        const DWORD saved = GetLastError();
        CloseHandle(file);
        DeleteFileW(temp.c_str());
        SetLastError(saved);
        return fail("cannot write");
    }
    CloseHandle(file);
    // The replace that does what rename does on POSIX: the new file takes the old one's name in one step.
    if (!MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD saved = GetLastError();
        DeleteFileW(temp.c_str());
        SetLastError(saved);
        return fail("cannot rename");
    }
    return true;
}

void PinModule() {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(&PinModule), &module);
}

namespace {

struct ThreadStart {
    std::function<void()> body;
    HMODULE module;
};

DWORD WINAPI ThreadMain(void* argument) {
    auto* start = static_cast<ThreadStart*>(argument);
    const HMODULE module = start->module;
    try {
        start->body();
    } catch (...) {
    }
    delete start;
    // The module may go with this reference; nothing of it runs after, so the reference and the thread end
    // together, outside the module's code.
    FreeLibraryAndExitThread(module, 0);
    return 0;
}

}  // namespace

namespace {
std::atomic<bool> g_failThreadStarts{false};
}  // namespace

void ModuleThread::FailStartsForTest(bool fail) { g_failThreadStarts.store(fail); }

bool ModuleThread::Start(std::function<void()> body) {
    Release();
    if (g_failThreadStarts.load()) return false;
    HMODULE module = nullptr;
    // Taken here rather than on the new thread, so there is no moment it runs without it.
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&ThreadMain), &module)) {
        return false;
    }
    ThreadStart* start = nullptr;
    try {
        start = new ThreadStart{std::move(body), module};
    } catch (...) {
        FreeLibrary(module);
        return false;
    }
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, &ThreadMain, start, 0, &id);
    if (thread == nullptr) {
        delete start;
        FreeLibrary(module);
        return false;
    }
    m_handle = reinterpret_cast<uintptr_t>(thread);
    m_id = id;
    return true;
}

void ModuleThread::Join() {
    if (m_handle == 0) return;
    // Under the loader lock a thread cannot finish exiting, and every one has left the module's code already.
    if (!IsCurrent() && !g_unloading.load() && !g_processExiting.load()) {
        WaitForSingleObject(reinterpret_cast<HANDLE>(m_handle), INFINITE);
    }
    Release();
}

bool ModuleThread::IsCurrent() const { return m_handle != 0 && GetCurrentThreadId() == m_id; }

void ModuleThread::Release() {
    if (m_handle == 0) return;
    CloseHandle(reinterpret_cast<HANDLE>(m_handle));
    m_handle = 0;
}

}  // namespace Platform
}  // namespace Zeph

// Runs before the C runtime's own detach work (static destructors, atexit hooks), which read the flags.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_DETACH) {
        Zeph::Platform::g_unloading.store(true);
        if (reserved != nullptr) Zeph::Platform::g_processExiting.store(true);
    }
    return TRUE;
}
