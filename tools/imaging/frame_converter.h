// Turns the bytes of a received frame into an image a person can open: RAW mosaics are
// debayered, 2-byte samples scaled by their significant bits, RGB565 and YUYV converted to
// RGB (16-bit RGB for 2-byte RAW samples when asked). JPEG frames are not converted (they
// are written as received).
//
// All buffers are sized once in the constructor, so converting frame after frame allocates
// nothing.
//
// Threading: one converter per thread.
#pragma once

#include <vexo/camera.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vexo::tools {

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

struct FrameFormat {
    uint32_t width = 0;
    uint32_t height = 0;
    uint8_t pixelBytes = 1;
    uint8_t pixelBits = 8;  ///< significant bits of a 2-byte sample (low bits of the word)
    FormatMode format = FORMAT_MODE_RAW;
    RawMode bayer = RAW_RG;
    /// RAW with 2-byte pixels: debayer to 16-bit RGB (Rgb16), so no significant bit is lost;
    /// false: to 8-bit RGB.
    bool wideRgb = false;
};

class FrameConverter {
  public:
    explicit FrameConverter(const FrameFormat& format);

    /// Bytes a frame of this format holds (for JPG: the most it may hold).
    size_t frameBytes() const { return frameBytes_; }
    /// Size of the converted image. RAW_D and MON_D frames carry two images of W x H, shown one
    /// above the other: the image is W x 2H.
    uint32_t imageWidth() const { return format_.width; }
    uint32_t imageHeight() const { return rows_; }
    PixelLayout layout() const { return layout_; }

    /// Converts one frame. Fails (returns false) for JPG and for a frame shorter than
    /// frameBytes(); extra bytes at the end are ignored.
    bool convert(std::span<const uint8_t> frame, ImageView& out);

  private:
    void scaleSamples(std::span<const uint8_t> frame);
    void debayer();
    void convertRgb565(std::span<const uint8_t> frame);
    void convertYuyv(std::span<const uint8_t> frame);
    void convertMono(std::span<const uint8_t> frame);

    FrameFormat format_;
    uint32_t rows_;
    size_t frameBytes_;
    PixelLayout layout_;
    template <bool Wide>
    void debayerInto();

    std::vector<uint16_t> samples_;  // RAW: the mosaic, 8-bit or (wide) 16-bit samples
    std::vector<uint8_t> image_;
};

/// The format of frames taken with configuration `cfg`; `bayer` is the mosaic order of RAW.
FrameFormat frameFormatOf(const CameraConfig& cfg, RawMode bayer);

/// The colour (0 red, 1 green, 2 blue) of mosaic position (x, y) for a Bayer order.
int bayerColour(RawMode bayer, uint32_t x, uint32_t y);

}  // namespace vexo::tools
