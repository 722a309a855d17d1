// The preview's encoder thread: takes the newest raw frame from the capture, converts it
// (RAW debayered, MON/RGB/YUV to grey or RGB), counts its histogram, compresses it to JPEG and
// publishes it to the clients. When the camera file has a [colour] section, RAW, RAW_D, MON and
// MON_D frames go through the ISP instead (black level, white balance, demosaic, colour matrix,
// sRGB curve), and with auto exposure on, each frame's measurement becomes one auto-exposure
// step that the capture thread carries out on the sensor's controls. JPEG frames from the board are
// passed through as received and only decoded at an eighth of their size for the histogram.
//
// Frames arriving while one is being encoded replace each other: the encoder always works on
// the newest one. While paused it publishes nothing, so every client keeps the frozen frame.
//
// Threading: JpegWriter is used by one thread; FrameEncoder's start(), stop() and accessors from
// one controlling thread, its counters from any.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>
#include <vexo/frame_converter.hpp>
#include <vexo/isp.hpp>

#include "common/mutex.h"
#include "preview/capture_worker.h"
#include "preview/frame_hub.h"

namespace vexo::tools::preview {

/// JPEG compression of converted images through libturbojpeg into a caller's buffer that is
/// grown only when an image needs more room than ever before.
class JpegWriter {
  public:
    explicit JpegWriter(int quality = 85);
    ~JpegWriter();
    JpegWriter(const JpegWriter&) = delete;
    JpegWriter& operator=(const JpegWriter&) = delete;

    /// Compresses `image` into `out`, sets `size`; false when libturbojpeg fails.
    bool encode(const ImageView& image, std::vector<uint8_t>& out, size_t& size);

  private:
    void* compressor_;
    int quality_;
    std::vector<uint8_t> narrowed_;  // 16-bit samples cut to 8 bits
};

/// Fills frame.histogram / frame.channels from a converted image (16-bit samples counted by
/// their high byte).
void countHistogram(const ImageView& image, EncodedFrame& frame);

class FrameEncoder {
  public:
    /// With `colour`, frames the ISP processes go through it; `capture` (may be null) carries
    /// out auto exposure when `colour` asks for it.
    FrameEncoder(RawExchange& raw, FrameHub& hub, RawMode bayer,
                 std::optional<ColourSettings> colour = {}, CaptureWorker* capture = nullptr);
    ~FrameEncoder();
    FrameEncoder(const FrameEncoder&) = delete;
    FrameEncoder& operator=(const FrameEncoder&) = delete;

    void start();
    void stop();
    /// From the return on, no new frame is published until resumed.
    void setPaused(bool paused);
    bool paused() const { return paused_.load(); }

    uint64_t encoded() const { return encoded_.load(std::memory_order_relaxed); }
    /// Frames that could not be converted or compressed (short frames, bad JPEG data).
    uint64_t failed() const { return failed_.load(std::memory_order_relaxed); }

  private:
    void run();
    void encode(const RawSlot& slot);
    bool passJpeg(const RawSlot& slot, EncodedFrame& out);
    bool throughIsp(const RawSlot& slot, const FrameFormat& format, EncodedFrame& out);

    RawExchange& raw_;
    FrameHub& hub_;
    RawMode bayer_;
    JpegWriter writer_;
    void* decompressor_;
    std::vector<uint8_t> small_;  // a JPEG frame decoded small, for its histogram
    std::optional<FrameConverter> converter_;
    FrameFormat format_{};
    uint32_t generation_ = 0;
    std::optional<ColourSettings> colour_;
    CaptureWorker* capture_;
    // The ISP is the encoder's, but an auto-exposure step runs on the capture thread: each
    // holds the lock while using it, and the capture thread only tries it, never waits.
    Mutex ispMutex_;
    std::optional<Isp> isp_ VEXO_GUARDED_BY(ispMutex_);
    FrameFormat ispFormat_{};
    std::vector<uint8_t> ispPixels_;  // the ISP's picture, sized with the ISP
    std::atomic<bool> exposureStepQueued_{false};
    std::atomic<bool> paused_{false};
    std::mutex pauseMutex_;  // a pause never lets an encode in flight publish after it
    std::atomic<bool> stopping_{false};
    std::atomic<uint64_t> encoded_{0};
    std::atomic<uint64_t> failed_{0};
    std::thread thread_;
};

}  // namespace vexo::tools::preview
