// Counters of a capture or bench run and the lines that report them: a progress line once a
// second and a summary at the end. Errors are counted by status code in a fixed table, so
// counting allocates nothing.
//
// Threading: one thread.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <vexo/cpp_export.hpp>

namespace vexo {

class VEXO_CPP_API CaptureStats {
  public:
    using Clock = std::chrono::steady_clock;

    void start();
    /// One result of Vexo_captureImage: a count of completed frames or an error code.
    void addCaptureResult(uint32_t result);
    /// A frame taken from the queue.
    void addFrame(uint32_t bytes);

    uint64_t frames() const { return frames_; }
    uint64_t errors() const;
    uint64_t errorCount(uint32_t status) const;
    /// Frames the library completed but nobody read because the queue was full. Frames
    /// completed by a call that reported an error are not counted by the library, so this is
    /// a lower bound.
    uint64_t queueDrops() const { return completed_ > frames_ ? completed_ - frames_ : 0; }
    double seconds() const;
    double fps() const;
    double megabytesPerSecond() const;
    /// The error code seen most often, 0 when none.
    uint32_t commonestError() const;

    /// True once a second; the caller then prints progressLine().
    bool progressDue();
    /// "frames 30  29.8 fps  9.2 MB/s  errors: none".
    std::string progressLine() const;
    /// "errors: none" or "errors: USB_CAMERA_DATA_LEN_ERROR 2, ...".
    std::string errorList() const;
    /// "drops: none" or "drops: queue full 3, USB_CAMERA_FRAME_INDEX_ERROR 1, ...".
    std::string dropList() const;

  private:
    static constexpr uint32_t kFirstCode = 0xFF00;
    static constexpr size_t kCodes = 0x80;

    Clock::time_point start_{};
    Clock::time_point lastProgress_{};
    uint64_t frames_ = 0;
    uint64_t bytes_ = 0;
    uint64_t completed_ = 0;
    uint64_t otherErrors_ = 0;  // results that are neither counts nor known codes
    std::array<uint64_t, kCodes> errors_{};
};

}  // namespace vexo
