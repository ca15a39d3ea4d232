#include "ZephBase/Error.h"

#include <atomic>
#include <cstdint>

namespace Zeph {
namespace Base {

namespace {
// Module and code packed in one word, so a reader never sees half of one record and half of another.
std::atomic<uint64_t> g_lastError{0};
}  // namespace

void Error::SetLastError(const ErrorCode& error) {
    uint64_t packed =
        (static_cast<uint64_t>(static_cast<uint32_t>(error.Module())) << 32) | static_cast<uint32_t>(error.Code());
    g_lastError.store(packed);
}

Error::ErrorCode Error::GetLastError() {
    uint64_t packed = g_lastError.load();
    return ErrorCode(static_cast<int>(static_cast<uint32_t>(packed >> 32)),
                     static_cast<int>(static_cast<uint32_t>(packed)));
}

}  // namespace Base
}  // namespace Zeph
