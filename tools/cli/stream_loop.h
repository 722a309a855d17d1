// The capture loop shared by 'vexo capture' and 'vexo bench': start the stream, complete
// reads with Vexo_captureImage, hand every queued frame to a callback, report progress, and
// stop at a frame count, after a time, or when the board has sent no frame for too long.
#pragma once

#include <vexo/camera.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <vexo/capture_stats.hpp>

namespace vexo::tools {

struct StreamLimits {
    uint64_t frames = 0;      ///< stop after this many frames; 0: no count limit
    double seconds = 0;       ///< stop after this time; 0: no time limit
    uint32_t stallMs = 5000;  ///< give up when no frame arrives for this long
    bool progress = true;     ///< print a progress line once a second
    /// Called when the capture ended because its board went away: reopens the board and
    /// returns the new handle (the stream is then started again), or throws ToolError. Empty:
    /// such a capture fails.
    std::function<CameraHandle()> reconnect;
};

/// The options of every command that streams: --timeout and -q,--quiet (commands.h adds them).
struct StreamOptions {
    uint32_t timeoutMs = 5000;  ///< milliseconds without a frame before giving up
    bool quiet = false;         ///< no progress line

    /// Limits with these options, and neither a frame count nor a time yet.
    StreamLimits limits() const {
        StreamLimits l;
        l.stallMs = timeoutMs;
        l.progress = !quiet;
        return l;
    }
};

/// Runs one capture. The callback sees each frame while it is still queued; the loop releases
/// it afterwards. Throws ToolError (after stopping the stream) on a failure that ends the
/// capture: reads that cannot be queued, a board without a stream framing, or a stall.
void streamFrames(CameraHandle handle, const StreamLimits& limits, CaptureStats& stats,
                  const std::function<void(const FrameData&)>& onFrame);

/// Prints a progress line: rewritten in place on a terminal, one line per second otherwise.
void printProgress(const CaptureStats& stats, bool last);

}  // namespace vexo::tools
