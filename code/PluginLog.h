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

// Every record ends with its source location, "[file(line)]". Two kinds of line:
// - VANTRA_LOG_AT: the records sites already match on (progress and failure records of the start, stop,
//   Init and SDK steps) keep the line numbers they have always carried, given as numbers, so that a log
//   reader's patterns and an operator's notes stay true whatever moves in this file;
// - VANTRA_LOG_HERE: records without such a history carry the line they are written on (__LINE__ is
//   appended after the caller's arguments).
#define VANTRA_LOG_AT(level, module, ...) ::Zeph::Base::details::SarnFormatLog((level), (module), __VA_ARGS__)
#define VANTRA_LOG_HERE(level, module, ...) \
    ::Zeph::Base::details::SarnFormatLog((level), (module), __VA_ARGS__, __LINE__)
