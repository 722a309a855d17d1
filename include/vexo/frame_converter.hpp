// Turns the bytes of a received frame into an image a person can open: RAW mosaics are
// debayered, 2-byte samples scaled by their significant bits, RGB565 and YUYV converted to
// RGB (16-bit RGB for 2-byte RAW samples when asked). JPEG frames are not converted (they
// are written as received).
//
// All buffers are sized once in the constructor, so converting frame after frame allocates
// nothing. The same rules are available on plain buffers (debayer8, rgb565ToRgb, yuyvToRgb,
// scaleTo8Bits) for the Python package's vexo.convert.
//
// Threading: one converter per thread.
#pragma once

#include <vexo/camera.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>
#include <vexo/config.hpp>
#include <vexo/cpp_export.hpp>
#include <vexo/frame_layout.hpp>

namespace vexo {

enum class PixelLayout : uint8_t {
    Gray8,   ///< one byte per pixel
    Gray16,  ///< two bytes per pixel, big-endian as PNG stores them
    Rgb8,    ///< three bytes per pixel
    Rgb16,   ///< three 16-bit samples per pixel, big-endian as PNG stores them
};

/// A converted image; `pixels` points into the converter and stays valid until its next call.
struct ImageView {
    uint32_t width = 0;
    uint32_t height = 0;
    PixelLayout layout = PixelLayout::Rgb8;
    std::span<const uint8_t> pixels;
    /// Bits of each sample that carry the value (the PNG sBIT chunk); 0 = all of them.
    uint8_t significantBits = 0;
};

/// What a frame's bytes are: the configuration it was captured with, the mosaic order of its
/// RAW samples, and how deep the converted picture is to be.
struct FrameFormat : Config {
    RawMode bayer = RAW_RG;
    /// RAW with 2-byte pixels: debayer to 16-bit RGB (Rgb16), so no significant bit is lost;
    /// false: to 8-bit RGB.
    bool wideRgb = false;
    /// MON with 2-byte pixels: 16-bit grey (Gray16), every significant bit kept; false: 8-bit
    /// grey (Gray8), scaled as 8-bit RGB scales RAW samples.
    bool wideGrey = true;

    /// The layout of frames of this format (vexo/frame_layout.hpp).
    FrameLayout layout() const { return frameLayout(static_cast<const Config&>(*this)); }
};

class VEXO_CPP_API FrameConverter {
  public:
    explicit FrameConverter(const FrameFormat& format);

    /// Bytes a frame of this format holds (for JPG: the most it may hold).
    size_t frameBytes() const { return frameBytes_; }
    /// The layout of the frames it converts.
    const FrameLayout& frameLayout() const { return frameLayout_; }
    /// Size of the converted image. RAW_D and MON_D frames carry two images of W x H, shown one
    /// above the other: the image is W x 2H (each RAW_D image debayered on its own).
    uint32_t imageWidth() const { return format_.width; }
    uint32_t imageHeight() const { return rows_; }
    PixelLayout layout() const { return layout_; }

    /// Whether frames of this format have a picture to convert to: false for JPG (written as
    /// received), format 7 and values that name no format.
    bool converts() const { return converts_; }

    /// Converts one frame. Fails (returns false) when converts() is false and for a frame
    /// shorter than frameBytes(); extra bytes at the end are ignored.
    bool convert(std::span<const uint8_t> frame, ImageView& out);

  private:
    void convertRaw(std::span<const uint8_t> frame);
    void convertMono(std::span<const uint8_t> frame);

    FrameFormat format_;
    FrameLayout frameLayout_;
    uint32_t rows_;
    size_t frameBytes_;
    PixelLayout layout_;
    bool converts_ = false;

    std::vector<uint16_t> samples_;  // RAW of 2-byte pixels: the scaled mosaic
    std::vector<uint8_t> image_;
};

/// The format of frames taken with configuration `cfg`; `bayer` is the mosaic order of RAW.
VEXO_CPP_API FrameFormat frameFormatOf(const CameraConfig& cfg, RawMode bayer);

/// The colour (0 red, 1 green, 2 blue) of mosaic position (x, y) for a Bayer order.
VEXO_CPP_API int bayerColour(RawMode bayer, uint32_t x, uint32_t y);

// The conversions on plain buffers. Each returns false, writing nothing, when a buffer is
// shorter than its sizes say; `rgb` receives three bytes per pixel, row after row.

/// Bilinear demosaicing of a `width` x `height` mosaic of 8-bit samples: each missing colour
/// is the rounded mean of the same-colour samples in the 3x3 neighbourhood (clamped at the
/// borders); each site keeps its own sample.
VEXO_CPP_API bool debayer8(std::span<const uint8_t> mosaic, uint32_t width, uint32_t height,
                           RawMode bayer, std::span<uint8_t> rgb);
/// Little-endian RGB565 words (red in bits 15-11), as many as `words` holds, to 8-bit RGB;
/// each channel's top bits are repeated below it, so full scale is 255.
VEXO_CPP_API bool rgb565ToRgb(std::span<const uint8_t> words, std::span<uint8_t> rgb);
/// YUYV 4:2:2 rows of `width` pixels, BT.601 studio range, to RGB. Two neighbouring pixels
/// share U (byte 1 of the pair) and V (byte 3); a lone last pixel of an odd width has no V
/// and is taken as neutral.
VEXO_CPP_API bool yuyvToRgb(std::span<const uint8_t> yuyv, uint32_t width, uint32_t height,
                            std::span<uint8_t> rgb);
/// Samples of `sampleBytes` (1, or 2 little-endian) bytes whose low `bits` (1..16) carry the
/// value, stretched to 0..255 with rounding; larger values count as full scale. `out`
/// receives one byte per sample.
VEXO_CPP_API bool scaleTo8Bits(std::span<const uint8_t> samples, unsigned sampleBytes,
                               unsigned bits, std::span<uint8_t> out);

}  // namespace vexo
