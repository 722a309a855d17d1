// Buffer timestamps from the boards' own frame times.
//
// A frame's u64Time is the board clock at the start of the frame. The library keeps that
// clock on the host's wall-clock time (100-ns units since 1601-01-01 UTC) with a clock
// exchange every second, so a frame time tells how long ago, in host time, the frame began.
// The element reads the pipeline clock and the wall clock back to back when it takes a frame
// and sets
//
//     PTS = (pipeline clock now - base time) - (wall clock now - frame time)
//
// that is, the frame's age subtracted from its arrival in running time. Clock steps of the
// wall clock do not matter: both wall-clock readings are of the same moment.
//
// The result is kept within [capture start, arrival]: a frame cannot begin before the stream
// started nor after it arrived (the board clock may be a little off between two exchanges).
// A frame without a time (0: older board controllers) or with a time more than a second
// before the capture started (a board clock the host never set) is stamped with its arrival.
// Timestamps never go backwards.
//
// Threading: one FrameClock per streaming thread.
#pragma once

#include <gst/gst.h>

#include <cstdint>

namespace vexo::gst {

class FrameClock {
  public:
    /// Starts a capture at running time `startRunning`.
    void start(GstClockTime startRunning);

    /// Running time of a frame with board time `frameTime` (FILETIME units), read when the
    /// pipeline's running time was `arrivalRunning` and the wall clock `wallNowNs` (ns since
    /// 1970-01-01 UTC).
    GstClockTime stamp(uint64_t frameTime, GstClockTime arrivalRunning, int64_t wallNowNs);

    /// Largest arrival minus timestamp seen since start().
    GstClockTime maxDelay() const { return maxDelay_; }

  private:
    GstClockTime start_ = 0;
    GstClockTime last_ = 0;
    GstClockTime maxDelay_ = 0;
};

/// Wall-clock time of a FILETIME value in ns since 1970-01-01 UTC.
int64_t fileTimeToUnixNs(uint64_t fileTime);

}  // namespace vexo::gst
