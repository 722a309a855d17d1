// One board as the element uses it: open by index or serial with a configuration file, the
// trigger mode, and the capture loop that hands out one frame at a time.
//
// Built on the C++ layer (vexo/vexo.hpp) for opening and set-up, and on the C functions for
// the capture loop, which must tell frame errors and lost frames apart from failures. Nothing
// here throws: failures come back as a Failure with the status code and a message that names
// the status and its hint.
//
// Threading: one thread at a time, except that the flushing flag handed to next() may be set
// from any thread and the counters may be read from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vexo/camera_file.hpp>
#include <vexo/vexo.hpp>

namespace vexo::gst {

enum class Trigger : int { Continuous = 0, Software = 1, External = 2 };

struct Failure {
    uint32_t status = USB_CAMERA_NO_ERROR;
    std::string message;  ///< "what: NAME [0xFFxx] (hint)"
};

class BoardCapture {
  public:
    /// Frames counted since open(); readable from any thread.
    struct Counters {
        std::atomic<uint64_t> frames{0};  ///< frames handed out by next()
        std::atomic<uint64_t> drops{0};   ///< frames lost because the library's queue was full
        std::atomic<uint64_t> errors{0};  ///< frames the library dropped for frame errors
    };

    BoardCapture() = default;
    ~BoardCapture() { close(); }
    BoardCapture(const BoardCapture&) = delete;
    BoardCapture& operator=(const BoardCapture&) = delete;

    /// Opens board `index`, or the board whose serial text is `serial` when it is not empty,
    /// with `file`'s configuration, writes its start-up registers and board commands and sets
    /// the trigger mode.
    bool open(unsigned index, const std::string& serial, const CameraFile& file, Trigger trigger,
              Failure& failure);
    /// Starts the stream.
    bool start(Failure& failure);

    enum class Next { Frame, Flushing, Failed };
    /// Waits for the next frame, at most `timeout` (0: for ever) or until `flushing` is set.
    /// A Frame result lends `frame` until release().
    Next next(const std::atomic<bool>& flushing, std::chrono::milliseconds timeout,
              const FrameData*& frame, Failure& failure);
    /// Gives back the frame next() lent.
    void release();
    /// Ends the stream and closes the board.
    void close();

    bool running() const { return running_; }
    /// The open board's handle, or null.
    CameraHandle handle() const { return camera_ ? camera_->handle() : nullptr; }
    const Counters& counters() const { return counters_; }
    /// Frames the stream began with since open(): handed out, dropped or lost to errors.
    uint64_t frameCounter() const { return counters_.frames + counters_.drops + counters_.errors; }

  private:
    Failure captureFailure(uint32_t status, const std::string& what) const;

    std::optional<vexo::Camera> camera_;
    std::string serial_;
    Trigger trigger_ = Trigger::Continuous;
    bool running_ = false;
    bool lent_ = false;
    bool triggered_ = false;     // a software trigger is out and its frame not yet read
    uint64_t pendingDrops_ = 0;  // lost behind the frames queued now
    uint32_t lastFrameError_ = USB_CAMERA_NO_ERROR;
    Counters counters_;
};

}  // namespace vexo::gst
