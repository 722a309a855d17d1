// What the bench programs share: the frame size they stream (1280x720, from unpaced virtual
// boards), the clock of their runs, the median of rounds, and a timed pull of frames.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <vector>

namespace vexo::bench {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kWidth = 1280;
constexpr uint32_t kHeight = 720;

inline double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

/// The middle value (of an even count, the upper of the two): on a shared machine the load
/// changes from one round to the next, and the median keeps the outliers out.
inline double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

/// What a timed stream delivered.
struct Streamed {
    uint64_t frames = 0;
    uint64_t bytes = 0;
    double seconds = 0;
};

/// Takes frames from a running stream (a vexo::FrameRange iterator, left on the next frame)
/// for `seconds`: counts the frame in hand, then waits for the next one, so the time covers
/// one delivery per frame counted.
template <class FrameIterator>
Streamed streamFor(FrameIterator& frame, double seconds) {
    Streamed s;
    const Clock::time_point start = Clock::now();
    for (; secondsSince(start) < seconds; ++frame) {
        s.bytes += frame->size();
        ++s.frames;
    }
    s.seconds = secondsSince(start);
    return s;
}

}  // namespace vexo::bench
