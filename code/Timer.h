// The timer every cloud stream source carries. Nothing in the plugin starts it, so it never runs; stopping
// it only writes its trace record.
#pragma once

namespace PexloCommon {

class CTimer {
public:
    CTimer();
    ~CTimer();
    CTimer(const CTimer&) = delete;
    CTimer& operator=(const CTimer&) = delete;

    void stop();
};

}  // namespace PexloCommon
