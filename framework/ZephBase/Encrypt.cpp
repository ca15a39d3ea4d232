#include "ZephBase/Encrypt.h"

#include <cstdint>

namespace Zeph {
namespace Base {
namespace Encrypt {

namespace {
const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Sextet(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}
}  // namespace

bool Base64Decode(std::string& out, const std::string& in) {
    out.clear();
    size_t length = in.size();
    // Up to two trailing pads, and only where they complete a quantum.
    size_t pads = 0;
    while (pads < 2 && length > 0 && in[length - 1] == '=') {
        --length;
        ++pads;
    }
    if (pads > 0 && (length + pads) % 4 != 0) return false;
    if (length % 4 == 1) return false;

    std::string decoded;
    decoded.reserve(length / 4 * 3 + 2);
    uint32_t accumulator = 0;
    int bits = 0;
    for (size_t i = 0; i < length; ++i) {
        int value = Sextet(static_cast<unsigned char>(in[i]));
        if (value < 0) return false;
        accumulator = (accumulator << 6) | static_cast<uint32_t>(value);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            decoded.push_back(static_cast<char>((accumulator >> bits) & 0xFF));
        }
    }
    // Leftover bits of a partial quantum must be zero, or the text was not produced by an encoder.
    if (bits > 0 && (accumulator & ((1u << bits) - 1)) != 0) return false;
    out.swap(decoded);
    return true;
}

std::string Base64Encode(const std::string& in) {
    std::string out;
    out.reserve((in.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        uint32_t n = (static_cast<unsigned char>(in[i]) << 16) | (static_cast<unsigned char>(in[i + 1]) << 8) |
                     static_cast<unsigned char>(in[i + 2]);
        out.push_back(kAlphabet[(n >> 18) & 63]);
        out.push_back(kAlphabet[(n >> 12) & 63]);
        out.push_back(kAlphabet[(n >> 6) & 63]);
        out.push_back(kAlphabet[n & 63]);
    }
    if (i + 1 == in.size()) {
        uint32_t n = static_cast<unsigned char>(in[i]) << 16;
        out.push_back(kAlphabet[(n >> 18) & 63]);
        out.push_back(kAlphabet[(n >> 12) & 63]);
        out += "==";
    } else if (i + 2 == in.size()) {
        uint32_t n = (static_cast<unsigned char>(in[i]) << 16) | (static_cast<unsigned char>(in[i + 1]) << 8);
        out.push_back(kAlphabet[(n >> 18) & 63]);
        out.push_back(kAlphabet[(n >> 12) & 63]);
        out.push_back(kAlphabet[(n >> 6) & 63]);
        out.push_back('=');
    }
    return out;
}

}  // namespace Encrypt
}  // namespace Base
}  // namespace Zeph
