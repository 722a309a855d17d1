// The picture a virtual board shows, and its encoding in the stream's pixel format.
//
// The scene (scene.h) is the colour bars, the colour chart or a picture. The bars scene shows
// eight colour bars (white, yellow, cyan, green, magenta, red, blue, black) over a grey ramp
// in the bottom sixth; over any scene a square marker (white with a black centre) may move
// from frame to frame, and the frame number may be drawn in white on black at the top left
// (both shown for bars unless turned off, for other scenes only when asked for). Only the
// marker and the number change between frames, so a renderer keeps one encoded image and
// re-encodes just those two rectangles per frame; a noisy sensor (sensor_model.h) exposes
// every frame afresh.
//
// RAW and MON samples come from the sensor model: the bars' 8-bit levels stretched to the
// sample's bits by repeating their bits (so with two pixel bytes and 10 bits, v << 2 | v >> 6),
// other scenes through linear light. RGB, YUV and JPG show the scene's sRGB as it is.
//
// Threading: PictureLayout is immutable; a FrameRenderer is used by one thread at a time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "driver/virtual/board_config.h"
#include "driver/virtual/scene.h"
#include "driver/virtual/sensor_model.h"
#include "driver/virtual/sensor_registers.h"

namespace vexo::driver::virt {

class JpegEncoder;

/// Pixel rectangle [x0, x1) x [y0, y1); empty when x0 >= x1 or y0 >= y1.
struct PixelRect {
    uint32_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;
};

/// Where one frame's marker and number lie.
struct FrameParts {
    uint32_t frame = 0;
    PixelRect marker;
    uint32_t markerBorder = 0;  // width of the marker's white frame around its black centre
    PixelRect number;
    uint32_t digitScale = 1;
    uint8_t digits[10] = {};
    uint32_t digitCount = 0;
};

/// Geometry of the picture for one image size.
class PictureLayout {
  public:
    PictureLayout(uint32_t width, uint32_t height);

    uint32_t width() const { return width_; }
    uint32_t height() const { return height_; }

    /// The picture without marker and number.
    Rgb background(uint32_t x, uint32_t y) const { return y >= rampStart_ ? ramp_[x] : bars_[x]; }
    /// Marker and number of frame `frame`.
    FrameParts parts(uint32_t frame) const;
    /// The picture of a frame at (x, y).
    Rgb pixel(const FrameParts& parts, uint32_t x, uint32_t y) const;
    /// The marker's or number's colour at (x, y) when the shown one of them covers it.
    bool partPixel(const FrameParts& parts, uint32_t x, uint32_t y, bool marker, bool number,
                   Rgb& out) const;
    Rgb pixel(uint32_t frame, uint32_t x, uint32_t y) const { return pixel(parts(frame), x, y); }
    /// Whether a number pixel is lit (inside parts.number).
    bool numberLit(const FrameParts& parts, uint32_t x, uint32_t y) const;
    /// The rectangles where frame `frame` differs from the background: marker, number.
    std::array<PixelRect, 2> changedRects(uint32_t frame) const;

  private:
    uint32_t width_, height_;
    uint32_t markerSize_, markerStepX_, markerStepY_;
    uint32_t digitScale_;
    uint32_t rampStart_;
    std::vector<Rgb> bars_, ramp_;  // per column
};

/// Bytes of one frame in `stream`'s format; for JPG the most a frame may hold (W x H x PB x 2).
size_t streamFrameBytes(const StreamConfig& stream);

/// Produces the bytes of frame after frame without allocating: one encoded image is kept and
/// patched where consecutive frames differ; JPG frames are compressed from an RGB image.
class FrameRenderer {
  public:
    explicit FrameRenderer(const StreamConfig& stream, const SceneConfig& scene = {},
                           const SensorConfig& sensor = {});
    ~FrameRenderer();
    FrameRenderer(const FrameRenderer&) = delete;
    FrameRenderer& operator=(const FrameRenderer&) = delete;

    /// False when a JPG stream cannot fit a frame into streamFrameBytes() even at the lowest
    /// quality (tiny images): such a stream is refused.
    bool usable() const;

    /// Exposure and gain of the frames from the next frame() on (RAW and MON formats).
    void setExposure(const SensorExposure& exposure) { exposure_ = exposure; }

    /// The bytes of frame `frame`, valid until the next call.
    std::span<const uint8_t> frame(uint32_t frame);

  private:
    bool rawLike() const;
    Rgb sceneAt(uint32_t x, uint32_t y) const;
    void buildLevels(uint8_t bits);
    void exposeAll(uint8_t* image, uint32_t frame) const;
    std::array<PixelRect, 2> shownRects(uint32_t frame) const;
    void encodeRect(const PixelRect& rect, const FrameParts* parts);
    void restoreRect(const PixelRect& rect);
    void fillRun(uint32_t y, uint32_t x0, uint32_t x1, bool white, const FrameParts& parts);
    void draw(const FrameParts& parts);
    size_t bytesPerPixel() const;

    StreamConfig stream_;
    SceneConfig::Kind scene_;
    bool showMarker_, showNumber_;
    PictureLayout layout_;
    std::vector<Rgb> sceneImage_;         // the picture scaled to the frame (image scene)
    std::unique_ptr<SensorModel> model_;  // RAW and MON formats
    SensorExposure exposure_;             // for the next frame
    uint16_t whiteCode_ = 255, blackCode_ = 0;
    std::vector<uint8_t> image_;       // wire format, or RGB888 for JPG
    std::vector<uint8_t> background_;  // the same without marker and number
    std::optional<uint32_t> shown_;
    std::unique_ptr<JpegEncoder> jpeg_;
    std::span<const uint8_t> jpegFrame_;
    bool usable_ = true;
};

}  // namespace vexo::driver::virt
