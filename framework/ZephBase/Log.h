// Formatted logging shared by every thread of the plugin.
#pragma once

#include <functional>
#include <string>
#include <vector>

#if defined(__GNUC__) || defined(__clang__)
#define ZEPH_PRINTF_FORMAT(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
#else
#define ZEPH_PRINTF_FORMAT(fmt_index, first_arg)
#endif

namespace Zeph {
namespace Base {
namespace details {

// Writes one record: printf conventions for `format`. Level 3 is progress, 5 is failure.
// Safe to call from any thread, also while the library is being unloaded (records are then dropped).
void SarnFormatLog(int level, const char* module, const char* format, ...) ZEPH_PRINTF_FORMAT(3, 4);

// Full path of the rotating log file (empty when no file could be opened).
std::string LogFilePath();

// Forces buffered records to the file.
void FlushLog();

// Writes what is buffered; the next record takes the log's directory and level from the environment again, as a
// fresh load of the library does.
void ReopenLog();

struct LogRecord {
    int level;
    std::string module;
    std::string text;
};

// Collects every record written while it lives, in memory, for tests. Captures nest: only the
// innermost one receives records.
class ScopedLogCapture {
public:
    ScopedLogCapture();
    ~ScopedLogCapture();
    ScopedLogCapture(const ScopedLogCapture&) = delete;
    ScopedLogCapture& operator=(const ScopedLogCapture&) = delete;

    std::vector<LogRecord> Records() const;
    // Number of records whose module and text equal the given ones.
    size_t Count(const std::string& module, const std::string& text) const;
    // Number of records whose text contains `fragment`.
    size_t CountContaining(const std::string& fragment) const;
    void Clear();

private:
    struct Impl;
    Impl* m_pImpl;
    ScopedLogCapture* m_pPrevious;
    friend void Deliver(int, const char*, const char*);
};

}  // namespace details
}  // namespace Base
}  // namespace Zeph
