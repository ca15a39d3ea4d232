// What the tests need from the operating system, for Linux and for Windows (run under wine).
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "PluginLibrary.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace vantra_test {

using vantra_host::CloseLibrary;
using vantra_host::kSdkFile;
using vantra_host::MakeTempDir;
using vantra_host::OpenLibrary;
using vantra_host::ReadFile;
using vantra_host::SetEnv;
using vantra_host::Symbol;
using vantra_host::UnsetEnv;

// The library if it is loaded already, with a reference of its own; null otherwise.
inline void* OpenLoadedLibrary(const std::string& path) {
#if defined(_WIN32)
    // By base name: a bare-name LoadLibrary reuses a loaded module of that name, whatever its folder.
    HMODULE module = nullptr;
    const size_t slash = path.find_last_of("/\\");
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    GetModuleHandleExA(0, name.c_str(), &module);
    return reinterpret_cast<void*>(module);
#else
    return dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
#endif
}

#if defined(_WIN32)
// One argument quoted so that the C runtime's command-line parser gives it back unchanged.
inline std::string QuoteArgument(const std::string& arg) {
    std::string out = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes double only where a quote follows them.
        out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, '\\');
    return out + "\"";
}
#endif

#if defined(_WIN32)
// Kills every process in it when this process ends, however it ends; null when the system has none to give.
inline HANDLE ChildrenJob() {
    static HANDLE job = [] {
        HANDLE created = CreateJobObjectA(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (created != nullptr &&
            !SetInformationJobObject(created, JobObjectExtendedLimitInformation, &limits, sizeof(limits))) {
            CloseHandle(created);
            created = nullptr;
        }
        return created;
    }();
    return job;
}
#endif

// Killed and reaped on Stop(), and ends with this process however that ends (on Linux with the thread that started
// it, so start it from one that outlives it).
class ChildProcess {
public:
    // Starts `args[0]` and returns its first line of output (empty when it printed none).
    std::string Start(const std::vector<std::string>& args) {
#if defined(_WIN32)
        SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        HANDLE readEnd = nullptr;
        HANDLE writeEnd = nullptr;
        if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return std::string();
        SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
        std::string command;
        for (const auto& a : args) command += QuoteArgument(a) + " ";
        STARTUPINFOA startup{};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = writeEnd;
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        PROCESS_INFORMATION info{};
        const bool started = CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr,
                                            nullptr, &startup, &info);
        CloseHandle(writeEnd);
        if (!started) {
            CloseHandle(readEnd);
            return std::string();
        }
        // In the job before it runs a single instruction, so no child of its own escapes it either.
        if (HANDLE job = ChildrenJob()) AssignProcessToJobObject(job, info.hProcess);
        ResumeThread(info.hThread);
        CloseHandle(info.hThread);
        m_process = info.hProcess;
        std::string line;
        char c = 0;
        DWORD got = 0;
        // Under wine a read can succeed with nothing; only a failed read is the end.
        for (int empty = 0; ::ReadFile(readEnd, &c, 1, &got, nullptr) && empty < 1000;) {
            if (got == 0) {
                ++empty;
                continue;
            }
            if (c == '\n') break;
            line += c;
        }
        CloseHandle(readEnd);
        return line;
#else
        std::vector<std::string> copy = args;
        std::vector<char*> argv;
        for (auto& a : copy) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        int out[2];
        // Close-on-exec, so that no other child started meanwhile holds this pipe open.
        if (pipe2(out, O_CLOEXEC) != 0) return std::string();
        const pid_t parent = getpid();
        m_pid = fork();
        if (m_pid == 0) {
            // Only async-signal-safe calls between fork and exec: the parent may have other threads.
            if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(127);
            dup2(out[1], 1);
            close(out[0]);
            close(out[1]);
            const int null = open("/dev/null", O_WRONLY);
            if (null >= 0) dup2(null, 2);
            execve(argv[0], argv.data(), environ);
            _exit(127);
        }
        close(out[1]);
        std::string line;
        char c = 0;
        while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
        close(out[0]);
        return line;
#endif
    }

    // Ends the child (SIGTERM on POSIX) and returns its exit code; -1 when it did not exit by itself.
    int Stop() {
        int code = -1;
#if defined(_WIN32)
        if (m_process != nullptr) {
            TerminateProcess(m_process, 0);
            WaitForSingleObject(m_process, INFINITE);
            DWORD exitCode = 0;
            if (GetExitCodeProcess(m_process, &exitCode)) code = static_cast<int>(exitCode);
            CloseHandle(m_process);
            m_process = nullptr;
        }
#else
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            int status = 0;
            waitpid(m_pid, &status, 0);
            if (WIFEXITED(status)) code = WEXITSTATUS(status);
            m_pid = -1;
        }
#endif
        return code;
    }

    ~ChildProcess() { Stop(); }

#if !defined(_WIN32)
    pid_t Pid() const { return m_pid; }
#endif

private:
#if defined(_WIN32)
    HANDLE m_process = nullptr;
#else
    pid_t m_pid = -1;
#endif
};

// Resident memory of this process in bytes where the system tells it (Linux); 0 elsewhere.
inline long long ResidentBytes() {
#if defined(__linux__)
    long long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * sysconf(_SC_PAGESIZE);
#else
    return 0;
#endif
}

// This process's threads whose names start with `prefix` (Linux); 0 elsewhere, where names are not listed.
inline int ThreadsNamed(const std::string& prefix) {
    int count = 0;
#if defined(__linux__)
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string line;
        if (std::getline(comm, line) && line.rfind(prefix, 0) == 0) ++count;
    }
#else
    (void)prefix;
#endif
    return count;
}

inline int RunCommand(const std::string& command) {
#if defined(_WIN32)
    // cmd.exe drops the first and the last quote of a line that starts with one.
    return std::system(("\"" + command + "\"").c_str());
#else
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
}

}  // namespace vantra_test
