#include "ZephBase/Log.h"

#include <spdlog/details/os.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>

#include "ZephBase/FileUtil.h"
#include "kestro/ThreadSafety.h"

namespace Zeph {
namespace Base {
namespace details {

namespace {

constexpr size_t kStackRecord = 1024;
// A record built from host input (a URL, say) must not grow without bound.
constexpr size_t kMaxRecord = size_t{64} * 1024;
constexpr size_t kFileBytes = size_t{10} * 1024 * 1024;
constexpr size_t kFileCount = 5;
constexpr int kFailureLevel = 5;

// Trivially destructible, so it stays readable while other statics are torn down at unload.
std::atomic<bool> g_bLoggerGone{false};
// Threads inside a logger call. The logger is torn down only once none is left: worker and SDK threads may
// still write records while the process exits or the library unloads.
std::atomic<int> g_iWriters{0};
// How long teardown waits for writers. A thread the system already ended (Windows ends them before the
// library's exit-time teardown) never leaves; the logger is then kept alive instead of waited for.
constexpr auto kWriterDrain = std::chrono::seconds(2);

// Sequentially consistent on both sides: either a writer's entry is seen by teardown, or the writer sees
// the logger gone.
class WriterScope {
public:
    WriterScope() { g_iWriters.fetch_add(1); }
    ~WriterScope() { g_iWriters.fetch_sub(1); }
    WriterScope(const WriterScope&) = delete;
    WriterScope& operator=(const WriterScope&) = delete;
    bool LoggerGone() const { return g_bLoggerGone.load(); }
};

// Guards the active capture; taken only while a capture exists or a record is delivered to it.
Zeph::Base::Mutex g_captureMutex;
ScopedLogCapture* g_pCapture GUARDED_BY(g_captureMutex) = nullptr;
std::atomic<bool> g_bCaptureActive{false};

class FileLogger {
public:
    FileLogger() { Open(); }
    FileLogger(const FileLogger&) = delete;
    FileLogger& operator=(const FileLogger&) = delete;

    // The next record takes the directory and the level from the environment again, as a fresh load does; what is
    // buffered is written now.
    void Reopen() {
        Flush();
        m_bStale.store(true);
    }
    void OpenIfStale() {
        if (!m_bStale.load()) return;
        Zeph::Base::LockGuard lock(m_mutexOpen);
        if (!m_bStale.load()) return;
        Open();
        m_bStale.store(false);
    }

private:
    // Takes the directory and the level from the environment. Writers meanwhile use the old file or the new one,
    // whole.
    void Open() {
        // NOLINTNEXTLINE(concurrency-mt-unsafe): the plugin only reads its environment, never writes it
        const char* levelText = std::getenv("VANTRA_LOG_LEVEL");
        // atoi's overflow is undefined; a number out of range is taken as the nearest int.
        const long level = levelText != nullptr ? std::strtol(levelText, nullptr, 10) : 0;
        m_iMinLevel.store(static_cast<int>(std::clamp<long>(level, INT_MIN, INT_MAX)));
        std::string dir;
        // NOLINTNEXTLINE(concurrency-mt-unsafe): as above
        const char* dirText = std::getenv("VANTRA_LOG_DIR");
        if (dirText != nullptr && *dirText != '\0') {
            dir = dirText;
        } else {
            dir = FileUtil::GetCurExeDir() + "../log/";
        }
        std::shared_ptr<spdlog::logger> logger;
        std::string path;
        try {
            std::filesystem::create_directories(dir);
            path = (std::filesystem::path(dir) / "VantraIotSMSPlugin.log").lexically_normal().string();
            auto sink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(path, kFileBytes, kFileCount);
            // Not registered with spdlog: the plugin's logger must not clash with a host that uses spdlog.
            logger = std::make_shared<spdlog::logger>("VantraIotSMSPlugin", std::move(sink));
            logger->set_pattern("%Y-%m-%d %H:%M:%S.%e %v");
            logger->set_level(spdlog::level::trace);
            // A host that crashes must not lose the record that explains why.
            logger->flush_on(spdlog::level::err);
        } catch (...) {
            logger.reset();
            path.clear();
        }
        std::shared_ptr<spdlog::logger> old = std::atomic_exchange(&m_pLogger, logger);
        {
            Zeph::Base::LockGuard lock(m_mutexPath);
            m_strPath = path;
        }
        if (old) {
            try {
                old->flush();
            } catch (...) {
            }
        }
    }

public:
    ~FileLogger() {
        g_bLoggerGone.store(true);
        const auto deadline = std::chrono::steady_clock::now() + kWriterDrain;
        while (g_iWriters.load() > 0) {
            if (std::chrono::steady_clock::now() >= deadline) {
                // A writer that never left: keep the logger (one reference, on purpose) rather than free it
                // under that writer. In static storage, as an allocation that failed here would end the process.
                using Kept = std::shared_ptr<spdlog::logger>;
                alignas(Kept) static unsigned char kept[sizeof(Kept)];
                new (kept) Kept(m_pLogger);
                return;
            }
            std::this_thread::yield();
        }
        if (m_pLogger) {
            try {
                m_pLogger->flush();
            } catch (...) {
            }
        }
    }

    int MinLevel() const { return m_iMinLevel.load(); }
    std::string Path() const {
        Zeph::Base::LockGuard lock(m_mutexPath);
        return m_strPath;
    }

    void Write(int level, const char* module, const char* text) {
        const std::shared_ptr<spdlog::logger> logger = std::atomic_load(&m_pLogger);
        if (!logger) return;
        try {
            // One record per line: a line break from outside (a host's URL, say) must not start a forged one.
            std::string escaped;
            if (std::strpbrk(text, "\r\n") != nullptr) {
                for (const char* c = text; *c != '\0'; ++c) {
                    if (*c == '\n') {
                        escaped += "\\n";
                    } else if (*c == '\r') {
                        escaped += "\\r";
                    } else {
                        escaped += *c;
                    }
                }
                text = escaped.c_str();
            }
            logger->log(level >= kFailureLevel ? spdlog::level::err : spdlog::level::info, "{} {} {} {}", level,
                        spdlog::details::os::thread_id(), module, text);
        } catch (...) {
        }
    }

    void Flush() {
        const std::shared_ptr<spdlog::logger> logger = std::atomic_load(&m_pLogger);
        if (!logger) return;
        try {
            logger->flush();
        } catch (...) {
        }
    }

private:
    std::atomic<bool> m_bStale{false};
    Zeph::Base::Mutex m_mutexOpen;              // a leaf: one reopening at a time
    std::shared_ptr<spdlog::logger> m_pLogger;  // read and replaced with the atomic shared_ptr functions
    mutable Zeph::Base::Mutex m_mutexPath;      // a leaf
    std::string m_strPath GUARDED_BY(m_mutexPath);
    std::atomic<int> m_iMinLevel{0};
};

FileLogger* Logger() {
    static FileLogger logger;
    logger.OpenIfStale();
    return &logger;
}

}  // namespace

struct ScopedLogCapture::Impl {
    mutable Zeph::Base::Mutex mutex ACQUIRED_AFTER(g_captureMutex);
    std::vector<LogRecord> records GUARDED_BY(mutex);
};

void Deliver(int level, const char* module, const char* text) {
    Zeph::Base::LockGuard lock(g_captureMutex);
    if (g_pCapture == nullptr) return;
    Zeph::Base::LockGuard recordsLock(g_pCapture->m_pImpl->mutex);
    g_pCapture->m_pImpl->records.push_back(LogRecord{level, module, text});
}

ScopedLogCapture::ScopedLogCapture() : m_pImpl(new Impl) {
    Zeph::Base::LockGuard lock(g_captureMutex);
    m_pPrevious = g_pCapture;
    g_pCapture = this;
    g_bCaptureActive.store(true);
}

ScopedLogCapture::~ScopedLogCapture() {
    {
        Zeph::Base::LockGuard lock(g_captureMutex);
        g_pCapture = m_pPrevious;
        g_bCaptureActive.store(g_pCapture != nullptr);
    }
    delete m_pImpl;
}

std::vector<LogRecord> ScopedLogCapture::Records() const {
    Zeph::Base::LockGuard lock(m_pImpl->mutex);
    return m_pImpl->records;
}

size_t ScopedLogCapture::Count(const std::string& module, const std::string& text) const {
    Zeph::Base::LockGuard lock(m_pImpl->mutex);
    size_t n = 0;
    for (const auto& r : m_pImpl->records) {
        if (r.module == module && r.text == text) ++n;
    }
    return n;
}

size_t ScopedLogCapture::CountContaining(const std::string& fragment) const {
    Zeph::Base::LockGuard lock(m_pImpl->mutex);
    size_t n = 0;
    for (const auto& r : m_pImpl->records) {
        if (r.text.find(fragment) != std::string::npos) ++n;
    }
    return n;
}

void ScopedLogCapture::Clear() {
    Zeph::Base::LockGuard lock(m_pImpl->mutex);
    m_pImpl->records.clear();
}

// NOLINTNEXTLINE(cert-dcl50-cpp): printf conventions, which the format attribute has the compiler check
void SarnFormatLog(int level, const char* module, const char* format, ...) {
    // Tested before entering as well, so that late writers do not keep the teardown waiting.
    if (g_bLoggerGone.load(std::memory_order_relaxed)) return;
    WriterScope writer;
    if (writer.LoggerGone()) return;
    FileLogger* logger = Logger();
    const bool capture = g_bCaptureActive.load(std::memory_order_relaxed);
    if (level < logger->MinLevel() && !capture) return;
    if (module == nullptr) module = "";
    if (format == nullptr) format = "";

    char stackBuffer[kStackRecord];
    std::unique_ptr<char[]> heapBuffer;
    char* text = stackBuffer;
    va_list args;
    va_start(args, format);
    va_list retry;
    va_copy(retry, args);
    int needed = std::vsnprintf(stackBuffer, sizeof(stackBuffer), format, args);
    va_end(args);
    if (needed < 0) {
        // Cut to the buffer on purpose.
        (void)std::snprintf(stackBuffer, sizeof(stackBuffer), "(unformattable record: %s)", format);
    } else if (static_cast<size_t>(needed) >= sizeof(stackBuffer)) {
        size_t size = std::min(static_cast<size_t>(needed) + 1, kMaxRecord);
        heapBuffer.reset(new (std::nothrow) char[size]);
        // Cut at kMaxRecord on purpose; a second formatting that fails keeps the first one's cut record.
        if (heapBuffer && std::vsnprintf(heapBuffer.get(), size, format, retry) >= 0) text = heapBuffer.get();
    }
    va_end(retry);

    if (capture) Deliver(level, module, text);
    if (level >= logger->MinLevel()) logger->Write(level, module, text);
}

std::string LogFilePath() {
    WriterScope writer;
    if (writer.LoggerGone()) return std::string();
    return Logger()->Path();
}

void FlushLog() {
    WriterScope writer;
    if (writer.LoggerGone()) return;
    Logger()->Flush();
}

void ReopenLog() {
    WriterScope writer;
    if (writer.LoggerGone()) return;
    Logger()->Reopen();
}

}  // namespace details
}  // namespace Base
}  // namespace Zeph
