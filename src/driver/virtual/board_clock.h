// A virtual board's own clock: an oscillator that runs off the host's rate, set to a time that
// is off the host's, with time stamps that scatter (the "clock" key of a board).
//
// The board clock reads clockBase + ticks(now - clockRef) + offset, where the host sets
// clockBase in the clock exchange and ticks() runs (1 + driftPpm / 10^6) times as fast as the
// host clock: a board with +100 ppm gains 100 us a second until the next exchange. The frame
// period and the trigger latency are counted by this oscillator, so in host time they are
// shorter on a fast board. Each time stamp carries a jitter drawn from the board's serial and
// the frame's number, so a run is the same every time.
//
// Threading: plain values after construction; every member is const.
#pragma once

#include <cstdint>
#include <string>

#include "driver/backend.h"
#include "driver/virtual/board_config.h"

namespace vexo::driver::virt {

class BoardClock {
  public:
    BoardClock(const ClockConfig& config, const std::string& serial);

    /// Board ticks (100 ns) the oscillator counts over `hostElapsed` (negative before it).
    int64_t ticks(Clock::duration hostElapsed) const;
    /// Host time the oscillator takes to count `boardSeconds`.
    Clock::duration hostDuration(double boardSeconds) const;
    /// The clock's offset from the time it was set to, in ticks.
    int64_t offsetTicks() const { return offsetTicks_; }
    /// The scatter of time stamp `sequence`, in ticks (within +- jitterUs).
    int64_t jitterTicks(uint64_t sequence) const;

  private:
    double rate_;
    int64_t offsetTicks_;
    int64_t jitterTicks_;
    uint64_t seed_;
};

/// Time from a trigger pulse to the start of the exposure it releases, in board seconds.
inline constexpr double kTriggerLatencySeconds = 100e-6;

}  // namespace vexo::driver::virt
