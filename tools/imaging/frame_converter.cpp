#include "imaging/frame_converter.h"

#include <algorithm>

namespace vexo::tools {

namespace {

bool doubled(FormatMode format) {
    return format == FORMAT_MODE_RAW_D || format == FORMAT_MODE_MON_D;
}

bool mosaic(FormatMode format) {
    return format == FORMAT_MODE_RAW || format == FORMAT_MODE_RAW_D;
}

uint8_t clamp8(int v) {
    return static_cast<uint8_t>(std::clamp(v, 0, 255));
}

}  // namespace

int bayerColour(RawMode bayer, uint32_t x, uint32_t y) {
    // Colour at the four positions of a 2x2 cell (top-left, top-right, bottom-left,
    // bottom-right) for RG, GR, GB, BG.
    static constexpr uint8_t kCell[4][4] = {{0, 1, 1, 2}, {1, 0, 2, 1}, {1, 2, 0, 1}, {2, 1, 1, 0}};
    return kCell[static_cast<unsigned>(bayer) & 3][(y & 1) * 2 + (x & 1)];
}

FrameConverter::FrameConverter(const FrameFormat& format)
    : format_(format), rows_(format.height * (doubled(format.format) ? 2 : 1)) {
    const size_t pixels = size_t{format_.width} * rows_;
    switch (format_.format) {
        case FORMAT_MODE_RGB:
        case FORMAT_MODE_YUV:
            frameBytes_ = pixels * 2;
            layout_ = PixelLayout::Rgb8;
            break;
        case FORMAT_MODE_MON:
        case FORMAT_MODE_MON_D:
            frameBytes_ = pixels * format_.pixelBytes;
            layout_ = format_.pixelBytes == 2 ? PixelLayout::Gray16 : PixelLayout::Gray8;
            break;
        case FORMAT_MODE_JPG:
            frameBytes_ = pixels * format_.pixelBytes * 2;
            layout_ = PixelLayout::Rgb8;
            return;  // written as received: nothing to prepare
        default:
            frameBytes_ = pixels * format_.pixelBytes;
            layout_ = format_.wideRgb && format_.pixelBytes == 2 ? PixelLayout::Rgb16
                                                                 : PixelLayout::Rgb8;
            break;
    }
    if (format_.pixelBits == 0 || format_.pixelBits > 8 * format_.pixelBytes)
        format_.pixelBits = static_cast<uint8_t>(8 * format_.pixelBytes);
    if (mosaic(format_.format)) samples_.resize(pixels);
    const size_t channels = layout_ == PixelLayout::Rgb16    ? 6
                            : layout_ == PixelLayout::Rgb8   ? 3
                            : layout_ == PixelLayout::Gray16 ? 2
                                                             : 1;
    image_.resize(pixels * channels);
}

bool FrameConverter::convert(std::span<const uint8_t> frame, ImageView& out) {
    if (format_.format == FORMAT_MODE_JPG || frame.size() < frameBytes_) return false;
    frame = frame.first(frameBytes_);
    switch (format_.format) {
        case FORMAT_MODE_RGB:
            convertRgb565(frame);
            break;
        case FORMAT_MODE_YUV:
            convertYuyv(frame);
            break;
        case FORMAT_MODE_MON:
        case FORMAT_MODE_MON_D:
            convertMono(frame);
            break;
        default:
            scaleSamples(frame);
            debayer();
            break;
    }
    out.width = format_.width;
    out.height = rows_;
    out.layout = layout_;
    out.pixels = image_;
    return true;
}

void FrameConverter::scaleSamples(std::span<const uint8_t> frame) {
    if (format_.pixelBytes == 1) {
        std::copy(frame.begin(), frame.end(), samples_.begin());
        return;
    }
    // 2-byte samples are little-endian words whose low pixelBits bits carry the value,
    // stretched to full scale (16 bits for a wide image, else 8).
    const uint32_t max = (1u << format_.pixelBits) - 1;
    const uint64_t full = layout_ == PixelLayout::Rgb16 ? 65535 : 255;
    for (size_t i = 0; i < samples_.size(); ++i) {
        uint32_t v = frame[2 * i] | (uint32_t{frame[2 * i + 1]} << 8);
        v = std::min(v, max);
        samples_[i] = static_cast<uint16_t>((v * full + max / 2) / max);
    }
}

namespace {

// Output sample c of a pixel: a byte, or a big-endian 16-bit word.
template <bool Wide>
void put(uint8_t* pixel, int c, unsigned v) {
    if constexpr (Wide) {
        pixel[2 * c] = static_cast<uint8_t>(v >> 8);
        pixel[2 * c + 1] = static_cast<uint8_t>(v);
    } else {
        pixel[c] = static_cast<uint8_t>(v);
    }
}

}  // namespace

void FrameConverter::debayer() {
    if (layout_ == PixelLayout::Rgb16)
        debayerInto<true>();
    else
        debayerInto<false>();
}

template <bool Wide>
void FrameConverter::debayerInto() {
    // Bilinear: each missing colour is the mean of the same-colour samples in the 3x3
    // neighbourhood, clamped at the borders. Exact inside areas of one colour.
    const uint32_t w = format_.width, h = rows_;
    for (uint32_t y = 0; y < h; ++y) {
        const uint32_t y0 = y ? y - 1 : y, y1 = y + 1 < h ? y + 1 : y;
        for (uint32_t x = 0; x < w; ++x) {
            const uint32_t x0 = x ? x - 1 : x, x1 = x + 1 < w ? x + 1 : x;
            unsigned sum[3] = {0, 0, 0}, count[3] = {0, 0, 0};
            for (uint32_t yy = y0; yy <= y1; ++yy) {
                const uint16_t* row = &samples_[size_t{yy} * w];
                for (uint32_t xx = x0; xx <= x1; ++xx) {
                    int c = bayerColour(format_.bayer, xx, yy);
                    sum[c] += row[xx];
                    ++count[c];
                }
            }
            uint8_t* out = &image_[(size_t{y} * w + x) * 3 * (Wide ? 2 : 1)];
            const unsigned own = samples_[size_t{y} * w + x];
            const int ownColour = bayerColour(format_.bayer, x, y);
            for (int c = 0; c < 3; ++c) {
                if (c == ownColour)
                    put<Wide>(out, c, own);
                else  // 1-pixel-wide images lack some colours
                    put<Wide>(out, c, count[c] ? (sum[c] + count[c] / 2) / count[c] : own);
            }
        }
    }
}

void FrameConverter::convertRgb565(std::span<const uint8_t> frame) {
    const size_t pixels = size_t{format_.width} * rows_;
    for (size_t i = 0; i < pixels; ++i) {
        const uint16_t v = static_cast<uint16_t>(frame[2 * i] | (frame[2 * i + 1] << 8));
        const unsigned r = v >> 11, g = (v >> 5) & 0x3F, b = v & 0x1F;
        uint8_t* out = &image_[i * 3];
        // Replicating the top bits makes full scale 255 rather than 248.
        out[0] = static_cast<uint8_t>((r << 3) | (r >> 2));
        out[1] = static_cast<uint8_t>((g << 2) | (g >> 4));
        out[2] = static_cast<uint8_t>((b << 3) | (b >> 2));
    }
}

void FrameConverter::convertYuyv(std::span<const uint8_t> frame) {
    // YUYV 4:2:2, BT.601 studio range. Two neighbouring pixels share U (byte 1 of the pair)
    // and V (byte 3); a lone last pixel of an odd width has no V and is treated as grey-neutral.
    const uint32_t w = format_.width;
    for (uint32_t y = 0; y < rows_; ++y) {
        const uint8_t* row = &frame[size_t{y} * w * 2];
        for (uint32_t x = 0; x < w; ++x) {
            const uint32_t pair = x & ~1u;
            const int c = row[x * 2] - 16;
            const int d = row[pair * 2 + 1] - 128;
            const int e = pair + 1 < w ? row[pair * 2 + 3] - 128 : 0;
            uint8_t* out = &image_[(size_t{y} * w + x) * 3];
            out[0] = clamp8((298 * c + 409 * e + 128) >> 8);
            out[1] = clamp8((298 * c - 100 * d - 208 * e + 128) >> 8);
            out[2] = clamp8((298 * c + 516 * d + 128) >> 8);
        }
    }
}

void FrameConverter::convertMono(std::span<const uint8_t> frame) {
    if (format_.pixelBytes == 1) {
        std::copy(frame.begin(), frame.end(), image_.begin());
        return;
    }
    // 16-bit PNG keeps every significant bit; the value is stretched to full scale so that
    // viewers show white as white (10-bit 1023 becomes 65535).
    const unsigned bits = format_.pixelBits;
    const uint32_t max = (1u << bits) - 1;
    const size_t pixels = size_t{format_.width} * rows_;
    for (size_t i = 0; i < pixels; ++i) {
        uint32_t v = frame[2 * i] | (uint32_t{frame[2 * i + 1]} << 8);
        v = std::min(v, max);
        const uint32_t wide = static_cast<uint32_t>((uint64_t{v} * 65535 + max / 2) / max);
        image_[2 * i] = static_cast<uint8_t>(wide >> 8);
        image_[2 * i + 1] = static_cast<uint8_t>(wide);
    }
}

FrameFormat frameFormatOf(const CameraConfig& cfg, RawMode bayer) {
    FrameFormat f;
    f.width = cfg.u32Width;
    f.height = cfg.u32Height;
    f.pixelBytes = cfg.u8PixelBytes;
    f.pixelBits = cfg.u8PixelBits;
    f.format = cfg.emImageFmtMode;
    f.bayer = bayer;
    return f;
}

}  // namespace vexo::tools
