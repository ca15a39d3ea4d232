#include "Clip.h"

#include <fstream>
#include <iterator>
#include <map>
#include <mutex>

namespace lumavex_emu {

namespace {

bool IsDelimiter(std::uint8_t nalHeader, Codec codec) {
    if (codec == Codec::H264) {
        return (nalHeader & 0x1F) == 9;
    }
    return ((nalHeader >> 1) & 0x3F) == 35;
}

}  // namespace

std::vector<AccessUnit> SplitAccessUnits(const std::vector<std::uint8_t>& bytes, Codec codec) {
    std::vector<std::size_t> cuts;
    for (std::size_t i = 0; i + 3 < bytes.size(); ++i) {
        if (bytes[i] != 0 || bytes[i + 1] != 0 || bytes[i + 2] != 1 || !IsDelimiter(bytes[i + 3], codec)) {
            continue;
        }
        // A four-byte start code keeps its leading zero with the unit it introduces.
        std::size_t cut = (i > 0 && bytes[i - 1] == 0) ? i - 1 : i;
        cuts.push_back(cuts.empty() ? 0 : cut);
        i += 3;
    }
    std::vector<AccessUnit> units;
    for (std::size_t k = 0; k < cuts.size(); ++k) {
        std::size_t end = k + 1 < cuts.size() ? cuts[k + 1] : bytes.size();
        units.push_back({cuts[k], end - cuts[k]});
    }
    return units;
}

std::shared_ptr<const Clip> LoadClip(const std::string& path, Codec codec) {
    static std::mutex mutex;
    static std::map<std::string, std::shared_ptr<const Clip>> cache;
    std::lock_guard<std::mutex> lock(mutex);
    auto found = cache.find(path);
    if (found != cache.end()) {
        return found->second;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return nullptr;
    }
    auto clip = std::make_shared<Clip>();
    clip->codec = codec;
    clip->bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    clip->units = SplitAccessUnits(clip->bytes, codec);
    if (clip->units.empty()) {
        return nullptr;  // not cached, so a fixed file is picked up on the next play
    }
    cache.emplace(path, clip);
    return clip;
}

}  // namespace lumavex_emu
