// The rig's trigger line: one pulse generator wired to the external-trigger input of every
// virtual board of the process ({"rig": {"triggerHz": N}}). Pulse k comes k / N seconds after
// the line was started, in host time; a board set to the external trigger exposes one frame per
// pulse it sees. Nothing runs: boards work out from the time which pulses have come.
//
// Threading: every function may be called from any thread.
#pragma once

#include <cstdint>
#include <optional>

#include "driver/backend.h"

namespace vexo::driver::virt {

/// Starts the line at `hz` pulses a second from now, numbering pulses from 0 again; 0 stops it.
void setTriggerLine(double hz);
/// Pulses a second of the line; 0 while it is stopped.
double triggerLineRate();

/// The line as a board sees it: the number of pulses that have come by a time, and when a
/// given pulse comes.
struct TriggerLineView {
    double hz = 0;
    Clock::time_point start;
    uint64_t generation = 0;  ///< changes each time the line is set again

    /// Pulses at or before `t` (0 while the line is stopped).
    uint64_t pulsesBy(Clock::time_point t) const;
    Clock::time_point pulseTime(uint64_t k) const;
};
TriggerLineView triggerLine();

}  // namespace vexo::driver::virt
