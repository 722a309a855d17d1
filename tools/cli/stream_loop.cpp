#include "cli/stream_loop.h"

#include <unistd.h>

#include <cstdio>
#include <string>

#include "cli/tool_error.h"

namespace vexo::tools {

namespace {

// Ends the stream on every way out of the loop, exceptions included.
class StreamGuard {
  public:
    explicit StreamGuard(CameraHandle handle) : handle_(handle) {}
    ~StreamGuard() {
        if (handle_) Vexo_endCaptureImage(handle_);
    }
    StreamGuard(const StreamGuard&) = delete;
    StreamGuard& operator=(const StreamGuard&) = delete;
    void reset(CameraHandle handle) { handle_ = handle; }

  private:
    CameraHandle handle_;
};

bool fatal(uint32_t result) {
    return result == USB_CAMERA_USB_TASK_ERROR || result == USB_CAMERA_USB_VERSION_ERROR;
}

}  // namespace

void printProgress(const CaptureStats& stats, bool last) {
    static const bool terminal = isatty(fileno(stdout));
    const std::string line = stats.progressLine();
    if (terminal)
        std::printf("\r%s\x1b[K%s", line.c_str(), last ? "\n" : "");
    else if (!last)
        std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

void streamFrames(CameraHandle handle, const StreamLimits& limits, CaptureStats& stats,
                  const std::function<void(const FrameData&)>& onFrame) {
    const uint32_t begun = Vexo_beginCaptureImage(handle);
    if (begun != USB_CAMERA_NO_ERROR)
        throw ToolError(describeStatus("cannot start the stream", begun));
    StreamGuard guard(handle);

    stats.start();
    CaptureStats::Clock::time_point lastFrame = CaptureStats::Clock::now();
    bool printed = false;
    for (;;) {
        const uint32_t result = Vexo_captureImage(handle);
        stats.addCaptureResult(result);
        // Frames still queued when the board went away were sent before: they come first.
        if (fatal(result) && limits.reconnect && Vexo_availableImage(handle) == 0) {
            if (printed) printProgress(stats, true);  // the reconnect's lines start afresh
            printed = false;
            guard.reset(nullptr);  // the old handle is closed by the reconnect
            handle = limits.reconnect();
            const uint32_t again = Vexo_beginCaptureImage(handle);
            if (again != USB_CAMERA_NO_ERROR)
                throw ToolError(describeStatus("cannot start the stream again", again));
            guard.reset(handle);
            lastFrame = CaptureStats::Clock::now();
            continue;
        }
        if (fatal(result) && !limits.reconnect) {
            if (printed) printProgress(stats, true);
            throw ToolError(describeStatus("capture stopped", result));
        }

        FrameData* frame = nullptr;
        while (Vexo_readImage(handle, &frame) == USB_CAMERA_NO_ERROR && frame) {
            stats.addFrame(frame->cfg.u32Size);
            onFrame(*frame);
            Vexo_del(handle);
            lastFrame = CaptureStats::Clock::now();
            if (limits.frames && stats.frames() >= limits.frames) break;
        }

        if (limits.frames && stats.frames() >= limits.frames) break;
        if (limits.seconds > 0 && stats.seconds() >= limits.seconds) break;
        if (CaptureStats::Clock::now() - lastFrame > std::chrono::milliseconds(limits.stallMs)) {
            if (printed) printProgress(stats, true);
            const uint32_t common = stats.commonestError();
            std::string what = "no frame for " + std::to_string(limits.stallMs) + " ms";
            if (!common) throw ToolError(what + " (" + stats.errorList() + ")");
            throw ToolError(describeStatus(what + "; most frequent error", common));
        }
        if (limits.progress && stats.progressDue()) {
            printProgress(stats, false);
            printed = true;
        }
    }
    if (limits.progress && printed) printProgress(stats, true);
}

}  // namespace vexo::tools
