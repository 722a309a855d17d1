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

GstClockTime FrameClock::stamp(uint64_t frameTime, GstClockTime arrivalRunning, int64_t wallNowNs) {
    GstClockTime pts = arrivalRunning;
    if (frameTime != 0) {
        // The frame's age in 100-ns units, held to a day either way so that any board value
        // converts to nanoseconds without overflow.
        const uint64_t wallNow = static_cast<uint64_t>(wallNowNs / 100) + kUnixEpochFileTime;
        constexpr int64_t kDay = 864'000'000'000;
        const int64_t age = std::clamp(static_cast<int64_t>(wallNow - frameTime), -kDay, kDay);
        const int64_t mapped =
            static_cast<int64_t>(arrivalRunning) - std::max<int64_t>(age, 0) * 100;
        if (mapped >= static_cast<int64_t>(start_) - static_cast<int64_t>(GST_SECOND))
            pts = std::max(static_cast<GstClockTime>(std::max<int64_t>(mapped, 0)), start_);
    }
    pts = std::max(pts, last_);
    last_ = pts;
    if (arrivalRunning > pts) maxDelay_ = std::max(maxDelay_, arrivalRunning - pts);
    return pts;
}

}  // namespace vexo::gst
