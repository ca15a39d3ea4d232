// An Annex-B elementary stream held in memory and cut into access units.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace lumavex_emu {

enum class Codec { H264, H265 };

struct AccessUnit {
    std::size_t offset;
    std::size_t size;
};

struct Clip {
    Codec codec;
    std::vector<std::uint8_t> bytes;
    std::vector<AccessUnit> units;  // contiguous and covering all bytes, so their concatenation is the file
};

// Cuts before every access-unit delimiter; bytes before the first one stay with the first unit.
// Returns no units when the stream has no delimiter at all.
std::vector<AccessUnit> SplitAccessUnits(const std::vector<std::uint8_t>& bytes, Codec codec);

// Reads and splits the clip once per path; later calls share the cached copy. Null when unusable.
std::shared_ptr<const Clip> LoadClip(const std::string& path, Codec codec);

}  // namespace lumavex_emu
