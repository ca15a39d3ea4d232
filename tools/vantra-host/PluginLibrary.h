// Loading a library and resolving the plugin's exports as a media server does, and the environment and files around
// it; shared by vantra-host and the tests that drive the built plugin from outside.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "VantraIotSMSPluginApi.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace vantra_host {

// The cloud SDK's library, as the plugin looks for it in its directory.
#if defined(_WIN32)
constexpr const char* kSdkFile = "Lumavex.dll";
#else
constexpr const char* kSdkFile = "libLumavex.so";
#endif

#if defined(_WIN32)
inline void* OpenLibrary(const std::string& path) { return reinterpret_cast<void*>(LoadLibraryA(path.c_str())); }
inline void* Symbol(void* library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(library), name));
}
// 0 on success, as dlclose reports it.
inline int CloseLibrary(void* library) { return FreeLibrary(reinterpret_cast<HMODULE>(library)) ? 0 : -1; }
inline std::string LoadError() { return "system error " + std::to_string(GetLastError()); }
#else
inline void* OpenLibrary(const std::string& path) { return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL); }
inline void* Symbol(void* library, const char* name) { return dlsym(library, name); }
inline int CloseLibrary(void* library) { return dlclose(library); }
inline std::string LoadError() {
    const char* text = dlerror();  // NOLINT(concurrency-mt-unsafe): glibc keeps dlerror's state per thread
    return text != nullptr ? text : "unknown error";
}
#endif

// Sets an environment variable for this process and the programs it starts; UnsetEnv removes it. Neither may run
// while another thread reads the environment.
inline void SetEnv(const char* name, const std::string& value) {
#if defined(_WIN32)
    _putenv_s(name, value.c_str());
#else
    setenv(name, value.c_str(), 1);  // NOLINT(concurrency-mt-unsafe): the caller's to order, as said above
#endif
}
inline void UnsetEnv(const char* name) {
#if defined(_WIN32)
    _putenv_s(name, "");
#else
    unsetenv(name);                  // NOLINT(concurrency-mt-unsafe): the caller's to order, as said above
#endif
}

// The whole file; empty when it cannot be read.
inline std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// A new, empty directory under the system's temporary directory.
inline std::string MakeTempDir(const std::string& prefix) {
    std::random_device random;
    const auto base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto dir = base / (prefix + std::to_string(random()) + std::to_string(attempt));
        std::error_code ec;
        if (std::filesystem::create_directory(dir, ec)) return dir.generic_string();
    }
    return (base / prefix).generic_string();
}

// The exports a host calls.
struct PluginExports {
    int (*Init)() = nullptr;
    bool (*Fini)() = nullptr;
    DeviceObjectHandle (*CreateInstance)() = nullptr;
    int (*DestroyInstance)(DeviceObjectHandle) = nullptr;
    int (*StartStream)(DeviceObjectHandle, const DeviceStreamRequest*, DeviceDataCallBack, void*) = nullptr;
    void (*StopStream)(DeviceObjectHandle) = nullptr;
    int (*GetLastError)() = nullptr;

    // Resolves them all from `library`; the name of the first one missing, or null when none is.
    const char* Resolve(void* library) {
        struct Entry {
            const char* name;
            void** slot;
        };
        const Entry entries[] = {{"DeviceObject_Init", reinterpret_cast<void**>(&Init)},
                                 {"DeviceObject_Fini", reinterpret_cast<void**>(&Fini)},
                                 {"DeviceObject_CreateInstance", reinterpret_cast<void**>(&CreateInstance)},
                                 {"DeviceObject_DestroyInstance", reinterpret_cast<void**>(&DestroyInstance)},
                                 {"DeviceObject_StartStream", reinterpret_cast<void**>(&StartStream)},
                                 {"DeviceObject_StopStream", reinterpret_cast<void**>(&StopStream)},
                                 {"DeviceObject_GetLastError", reinterpret_cast<void**>(&GetLastError)}};
        const char* missing = nullptr;
        for (const Entry& e : entries) {
            *e.slot = library != nullptr ? Symbol(library, e.name) : nullptr;
            if (*e.slot == nullptr && missing == nullptr) missing = e.name;
        }
        return missing;
    }
};

}  // namespace vantra_host
