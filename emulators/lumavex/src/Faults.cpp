#include "Faults.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace lumavex_emu {

std::atomic<unsigned long long> gAllocations{0};
std::atomic<long long> gLateCallbacks{0};
std::atomic<long long> gReentrantCallbacks{0};

bool EnvFlag(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' && std::strcmp(value, "0") != 0;
}

long EnvNumber(const char* name, long fallback) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') {
        return fallback;
    }
    char* end = nullptr;
    long number = std::strtol(value, &end, 10);
    return (*end != '\0' || number < 0) ? fallback : number;
}

void BlockFor(long ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

long SlowMs() { return EnvNumber("LUMAVEX_EMU_SLOW_MS", kDefaultSlowMs); }

long SlowAllocMs(unsigned long long allocation) {
    const char* value = std::getenv("LUMAVEX_EMU_SLOW_ALLOC");
    if (value == nullptr) return 0;
    char* end = nullptr;
    const unsigned long long which = std::strtoull(value, &end, 10);
    if (end == value || *end != ':') return 0;
    const char* msText = end + 1;
    const long ms = std::strtol(msText, &end, 10);
    return (end == msText || *end != '\0' || ms < 0 || which != allocation) ? 0 : ms;
}

long BlockRuleMs(const char* rules, const char* entry, unsigned long long call) {
    if (rules == nullptr || entry == nullptr) return 0;
    const size_t entryLength = std::strlen(entry);
    for (const char* rule = rules; *rule != '\0';) {
        const char* end = std::strchr(rule, ',');
        if (end == nullptr) end = rule + std::strlen(rule);
        const std::string text(rule, end);
        rule = *end == ',' ? end + 1 : end;
        if (text.size() <= entryLength || text.compare(0, entryLength, entry) != 0 || text[entryLength] != '=') {
            continue;
        }
        const std::string value = text.substr(entryLength + 1);
        const size_t slash = value.find('/');
        const std::string ms = value.substr(0, slash);
        unsigned long long every = 1;
        if (slash != std::string::npos) {
            char* stop = nullptr;
            every = std::strtoull(value.c_str() + slash + 1, &stop, 10);
            if (*stop != '\0' || every == 0) continue;
        }
        if (call % every != 0) continue;
        if (ms == "hang") return -1;
        char* stop = nullptr;
        const long number = std::strtol(ms.c_str(), &stop, 10);
        if (ms.empty() || *stop != '\0' || number < 0) continue;
        return number;
    }
    return 0;
}

namespace {
std::mutex gCallsMutex;
std::map<std::string, unsigned long long> gCalls;
}  // namespace

unsigned long long CountCall(const char* entry) {
    std::lock_guard<std::mutex> lock(gCallsMutex);
    return ++gCalls[entry];
}

void ResetCallCounts() {
    std::lock_guard<std::mutex> lock(gCallsMutex);
    gCalls.clear();
}

}  // namespace lumavex_emu
