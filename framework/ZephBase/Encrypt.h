#pragma once

#include <string>

namespace Zeph {
namespace Base {
namespace Encrypt {

// Standard Base64 (RFC 4648 alphabet). Padding is optional; no other character is accepted.
// On success `out` holds the decoded bytes; on bad input it is left empty and false is returned.
bool Base64Decode(std::string& out, const std::string& in);
// Standard Base64 with padding; used by the emulators and tests.
std::string Base64Encode(const std::string& in);

}  // namespace Encrypt
}  // namespace Base
}  // namespace Zeph
