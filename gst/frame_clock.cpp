#include "frame_clock.h"

#include <algorithm>

namespace vexo::gst {

namespace {

// 100-ns units from 1601-01-01 to 1970-01-01.
constexpr uint64_t kUnixEpochFileTime = 116444736000000000ull;

}  // namespace

int64_t fileTimeToUnixNs(uint64_t fileTime) {
    return (static_cast<int64_t>(fileTime) - static_cast<int64_t>(kUnixEpochFileTime)) * 100;
}

void FrameClock::start(GstClockTime startRunning) {
    start_ = startRunning;
    last_ = startRunning;
    maxDelay_ = 0;
}

GstClockTime FrameClock::stamp(uint64_t frameTime, GstClockTime arrivalRunning,
                               int64_t wallNowNs) {
    GstClockTime pts = arrivalRunning;
    // FILETIME values beyond year 30000 are no board clock; they would also overflow below.
    if (frameTime != 0 && frameTime < (1ull << 62) / 100) {
        const int64_t age = wallNowNs - fileTimeToUnixNs(frameTime);
        const int64_t mapped = static_cast<int64_t>(arrivalRunning) - std::max<int64_t>(age, 0);
        if (mapped >= static_cast<int64_t>(start_) - static_cast<int64_t>(GST_SECOND))
            pts = std::max<GstClockTime>(static_cast<GstClockTime>(std::max<int64_t>(mapped, 0)),
                                         start_);
    }
    pts = std::max(pts, last_);
    last_ = pts;
    if (arrivalRunning > pts) maxDelay_ = std::max(maxDelay_, arrivalRunning - pts);
    return pts;
}

}  // namespace vexo::gst
