#include "Timer.h"

#include "PluginLog.h"

namespace PexloCommon {

CTimer::CTimer() = default;

CTimer::~CTimer() { stop(); }

void CTimer::stop() {
    VANTRA_LOG_AT(kLogProgress, "11111111111111111111111", kLogBare, "PexloCommon::CTimer::stop", "..\\..\\code\\Timer",
                  23);
}

}  // namespace PexloCommon
