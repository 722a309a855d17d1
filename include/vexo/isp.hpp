// vexo/isp.hpp — the software ISP: a sensor's raw frame (RAW, RAW_D, MON, MON_D of 1 or 2
// bytes a pixel) to a picture a person sees as the scene was: black level, white balance
// (manual or found in each frame), demosaicking, the colour correction matrix and the sRGB
// curve. docs/isp.md describes the stages and their figures.
//
// One Isp per configuration: every table and buffer is made in the constructor, so processing
// frame after frame allocates nothing. It keeps the automatic state (white-balance gains, the
// exposure level measured) from frame to frame; autoExposureStep() turns that level into new
// `exposure` and `analogue_gain` values of a NamedControls.
//
// Threading: one thread at a time per Isp.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>
#include <vexo/cpp_export.hpp>
#include <vexo/frame_converter.hpp>
#include <vexo/isp_settings.hpp>
#include <vexo/named_controls.hpp>

namespace vexo {

/// How the ISP writes pixels.
enum class IspLayout : uint8_t {
    Rgb8,    ///< 3 bytes: R, G, B
    Bgrx8,   ///< 4 bytes: B, G, R, 255 (GStreamer's BGRx)
    Rgb16,   ///< 3 16-bit samples: R, G, B
    Rgba16,  ///< 4 16-bit samples: R, G, B, 65535 (GStreamer's RGBA64)
    Gray8,   ///< 1 byte (MON and MON_D only)
    Gray16,  ///< 1 16-bit sample (MON and MON_D only)
};

/// Bytes of one pixel of `layout`.
VEXO_CPP_API size_t ispPixelBytes(IspLayout layout);

/// Where process() writes: `height()` rows of `width()` pixels, each row `stride` bytes after
/// the one before. 16-bit samples are in the host's byte order unless `bigEndian` (as PNG
/// stores them).
struct IspTarget {
    uint8_t* data = nullptr;
    size_t bytes = 0;  ///< bytes that may be written from `data`
    size_t stride = 0;
    IspLayout layout = IspLayout::Rgb8;
    bool bigEndian = false;
};

/// What auto exposure measured in the last frame and what it did.
struct AutoExposureState {
    /// Log-average (geometric mean) of the green level over the frame, in linear light as a
    /// fraction of the range above black; 0 before the first frame.
    double level = 0;
    /// The level auto exposure brings a frame to: 0.18, mid grey.
    double target = 0.18;
    /// Fraction of the frame's regions with a clipped sample.
    double clipped = 0;
    /// True while the level is within 1/6 stop of the target (no change made).
    bool settled = false;
    /// The controls' values after the last step (their units as the camera file gives them).
    double exposure = 0;
    double analogueGain = 0;
    /// Steps that changed the controls since the Isp was made.
    unsigned adjustments = 0;
};

class VEXO_CPP_API Isp {
  public:
    /// An ISP for frames of `format` (its Bayer order and significant bits are used; its
    /// wideRgb/wideGrey flags are not) with `settings`. A black level at or above the white
    /// level is taken as one code below it.
    Isp(const FrameFormat& format, const ColourSettings& settings);

    /// Whether frames of this format can be processed: RAW, RAW_D, MON and MON_D of 1 or 2
    /// bytes a pixel. process() fails for any other.
    bool processes() const { return processes_; }
    /// True for MON and MON_D (grey pictures).
    bool mono() const { return mono_; }
    /// Size of the picture: RAW_D and MON_D hold two images, written one above the other.
    uint32_t width() const { return width_; }
    uint32_t height() const { return rows_; }
    /// Bytes a frame holds; longer frames are accepted and their extra bytes ignored.
    size_t frameBytes() const { return frameBytes_; }
    const ColourSettings& settings() const { return settings_; }

    /// Processes one frame into `target`. Returns false, writing nothing, when processes() is
    /// false, the frame is shorter than frameBytes(), the target is too small for
    /// height() rows of `stride` bytes (or the stride for a row), or a Gray layout is asked
    /// of a mosaic.
    bool process(std::span<const uint8_t> frame, const IspTarget& target);

    /// The white-balance gains applied to the last frame (the configured ones before it):
    /// multipliers of the camera's red, green and blue.
    std::array<double, 3> whiteBalanceGains() const { return gains_; }

    /// What auto exposure measured in the last frame and did so far.
    const AutoExposureState& autoExposure() const { return ae_; }

    enum class StepResult {
        Waiting,     ///< no frame yet, or the frames since the last change may predate it
        Settled,     ///< within 1/6 stop of the target: nothing changed
        Adjusted,    ///< exposure and/or analogue gain were changed
        AtLimit,     ///< a change was wanted, but the controls are at the end of their range
        NoControl,   ///< the controls have no `exposure`
        BoardError,  ///< reading or setting a control failed (`error` says which)
    };
    /// One step of auto exposure after process(): moves the `exposure` control (and, once it
    /// is at its maximum or to go below 1x, `analogue_gain`, a multiple, or decibels when its
    /// unit is "dB") so that the next frames' level meets the target. Exposure is preferred
    /// to gain. It waits for the frame after next once it has changed something, since the
    /// frame in flight was exposed with the old values.
    StepResult autoExposureStep(NamedControls& controls, std::string* error = nullptr);

  private:
    static ColourSettings checked(ColourSettings settings, unsigned maxCode);
    void measure(const uint8_t* frame);
    void findWhiteBalance();
    void buildInputTables();
    void processMono(const uint8_t* frame, const IspTarget& target);
    void processMosaic(const uint8_t* frame, uint32_t image, const IspTarget& target);
    void fillRow(const uint8_t* image, uint32_t y, float* row);

    FrameFormat format_;
    ColourSettings settings_;
    bool processes_ = false, mono_ = false;
    uint32_t width_ = 0, height_ = 0, images_ = 1, rows_ = 0;
    size_t frameBytes_ = 0, rowBytes_ = 0;
    unsigned maxCode_ = 255;

    std::array<double, 3> gains_{1, 1, 1};
    std::array<double, 3> tableGains_{0, 0, 0};  // gains the input tables were built with
    // A mosaic: per row parity and column, the black level and the scale (white-balance gain
    // over the range above black) that turn a raw code into linear light.
    std::vector<float> rowBlack_, rowScale_;
    std::vector<float> greenMask_;  // per row parity and column: 1 at green sites
    std::array<float, 9> matrix_{};
    std::vector<uint8_t> shown8_;    // linear light (16 bits) -> output, 8 bits
    std::vector<uint16_t> shown16_;  // square root of linear light (16 bits) -> output, 16 bits
    std::vector<float> ring_;        // five companded rows, two samples of margin each side
    std::vector<float> planes_;      // one row of demosaicked R, G, B
    std::vector<int32_t> indices_;   // one row of R, G, B as indices of shown8_ or shown16_
    // MON: raw code -> linear 16 bits, and linear 16 bits -> output.
    std::vector<uint16_t> input_;
    std::vector<uint8_t> out8_;
    std::vector<uint16_t> out16_;

    // Region statistics for white balance and exposure; the histogram spans log(R/G) and
    // log(B/G) from -3 to 3 in bins of 0.04.
    static constexpr uint32_t kHistogramBins = 150;
    uint32_t gridX_ = 1, gridY_ = 1;
    std::vector<uint64_t> raw_;  // per region: sums of raw R, G, B; samples counted; clipped
    std::vector<float> sums_;    // the same with the black level taken off, in 0..1 units
    std::vector<uint32_t> regionOfColumn_;  // offset in a row of sums_ of each column's region
    std::vector<float> histogram_;

    AutoExposureState ae_;
    unsigned framesSinceChange_ = 0;
    unsigned framesSeen_ = 0;
};

/// The settings of a camera file's [colour] section, or the defaults when it has none.
VEXO_CPP_API ColourSettings colourSettingsOf(const CameraFile& file);

}  // namespace vexo
