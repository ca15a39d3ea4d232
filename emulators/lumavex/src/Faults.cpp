#include "Faults.h"

#include <cstdlib>
#include <cstring>
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

}  // namespace lumavex_emu
