// The parameter record of one stream request, copied whole wherever it goes.
#pragma once

#include <cstdint>
#include <string>

namespace PexloCommon {

constexpr int32_t kSourceTypeNubrix = 8;

struct StreamParam {
    int32_t iSourceType = kSourceTypeNubrix;
    int32_t iChannel = -1;  // counted from 1: the host's channel index plus 1
    std::string strSerial;
    std::string strStreamKey;  // no request sets it
    int32_t iVideoLevel = 1;   // the SDK's stream type
};

}  // namespace PexloCommon
