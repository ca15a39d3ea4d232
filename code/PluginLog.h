// Shared pieces of the plugin's log records.
#pragma once

#include "ZephBase/Log.h"

namespace PexloCommon {

constexpr int kLogProgress = 3;
constexpr int kLogFailure = 5;
constexpr const char* kLogModule = "VantraIotSMSPlugin";
// Bare format of the records whose message travels in the module argument.
constexpr const char* kLogBare = "[%s][%s(%d)]";

}  // namespace PexloCommon

#define VANTRA_LOG(level, module, ...) ::Zeph::Base::details::SarnFormatLog((level), (module), __VA_ARGS__)
