#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <vexo/frame_converter.hpp>

namespace vexo {

namespace {

bool mosaic(FormatMode format) {
    return format == FORMAT_MODE_RAW || format == FORMAT_MODE_RAW_D;
}

uint8_t clamp8(int v) {
    return static_cast<uint8_t>(std::clamp(v, 0, 255));
}

// A sample of at most `max` stretched to 0..full, rounded; larger values are full scale.
uint32_t stretch(uint32_t v, uint32_t max, uint32_t full) {
    v = std::min(v, max);
    return static_cast<uint32_t>((uint64_t{v} * full + max / 2) / max);
}

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

// Bilinear: each missing colour is the mean of the same-colour samples in the 3x3
// neighbourhood, clamped at the borders. Exact inside areas of one colour. This is the rule
// as written, used for the border pixels.
template <bool Wide, typename Sample>
void debayerPixel(const Sample* samples, uint32_t w, uint32_t h, RawMode bayer, uint32_t x,
                  uint32_t y, uint8_t* out) {
    const uint32_t y0 = y ? y - 1 : y, y1 = y + 1 < h ? y + 1 : y;
    const uint32_t x0 = x ? x - 1 : x, x1 = x + 1 < w ? x + 1 : x;
    unsigned sum[3] = {0, 0, 0}, count[3] = {0, 0, 0};
    for (uint32_t yy = y0; yy <= y1; ++yy) {
        const Sample* row = &samples[size_t{yy} * w];
        for (uint32_t xx = x0; xx <= x1; ++xx) {
            int c = bayerColour(bayer, xx, yy);
            sum[c] += row[xx];
            ++count[c];
        }
    }
    const unsigned own = samples[size_t{y} * w + x];
    const int ownColour = bayerColour(bayer, x, y);
    for (int c = 0; c < 3; ++c) {
        if (c == ownColour)
            put<Wide>(out, c, own);
        else  // 1-pixel-wide images lack some colours
            put<Wide>(out, c, count[c] ? (sum[c] + count[c] / 2) / count[c] : own);
    }
}

// Away from the borders the neighbourhood is always the same: a red or blue site has green
// at its four sides and the other colour at its four corners; a green site has one colour to
// its left and right and the other above and below. The same rule without the counting.
template <bool Wide, typename Sample>
void debayerInnerRow(const Sample* samples, uint32_t w, RawMode bayer, uint32_t y, uint8_t* image) {
    const Sample* up = &samples[size_t{y - 1} * w];
    const Sample* row = &samples[size_t{y} * w];
    const Sample* down = &samples[size_t{y + 1} * w];
    constexpr size_t step = 3 * (Wide ? 2 : 1);
    for (uint32_t x = 1; x + 1 < w; ++x) {
        uint8_t* out = &image[(size_t{y} * w + x) * step];
        const int own = bayerColour(bayer, x, y);
        put<Wide>(out, own, row[x]);
        if (own == 1) {
            put<Wide>(out, bayerColour(bayer, x + 1, y), (row[x - 1] + row[x + 1] + 1u) / 2);
            put<Wide>(out, bayerColour(bayer, x, y + 1), (up[x] + down[x] + 1u) / 2);
        } else {
            put<Wide>(out, 1, (up[x] + down[x] + row[x - 1] + row[x + 1] + 2u) / 4);
            put<Wide>(out, 2 - own, (up[x - 1] + up[x + 1] + down[x - 1] + down[x + 1] + 2u) / 4);
        }
    }
}

template <bool Wide, typename Sample>
void debayerImage(const Sample* samples, uint32_t w, uint32_t h, RawMode bayer, uint8_t* image) {
    constexpr size_t step = 3 * (Wide ? 2 : 1);
    auto border = [&](uint32_t x, uint32_t y) {
        debayerPixel<Wide>(samples, w, h, bayer, x, y, &image[(size_t{y} * w + x) * step]);
    };
    for (uint32_t y = 0; y < h; ++y) {
        if (y == 0 || y + 1 == h || w < 3) {
            for (uint32_t x = 0; x < w; ++x) border(x, y);
            continue;
        }
        border(0, y);
        debayerInnerRow<Wide>(samples, w, bayer, y, image);
        border(w - 1, y);
    }
}

// `images` mosaics of w x h one below the other (RAW_D holds two), each debayered on its own:
// each starts with the configured order and borrows no colour from the other.
template <bool Wide, typename Sample>
void debayerImages(const Sample* samples, uint32_t w, uint32_t h, uint32_t images, RawMode bayer,
                   uint8_t* image) {
    const size_t pixels = size_t{w} * h;
    for (uint32_t i = 0; i < images; ++i)
        debayerImage<Wide>(samples + i * pixels, w, h, bayer,
                           image + i * pixels * 3 * (Wide ? 2 : 1));
}

void rgb565Pixels(const uint8_t* words, size_t pixels, uint8_t* rgb) {
    for (size_t i = 0; i < pixels; ++i) {
        const unsigned v = words[2 * i] | (unsigned{words[2 * i + 1]} << 8);
        const unsigned r = v >> 11, g = (v >> 5) & 0x3F, b = v & 0x1F;
        uint8_t* out = &rgb[i * 3];
        // Replicating the top bits makes full scale 255 rather than 248.
        out[0] = static_cast<uint8_t>((r << 3) | (r >> 2));
        out[1] = static_cast<uint8_t>((g << 2) | (g >> 4));
        out[2] = static_cast<uint8_t>((b << 3) | (b >> 2));
    }
}

void yuyvPixels(const uint8_t* yuyv, uint32_t w, uint32_t h, uint8_t* rgb) {
    for (uint32_t y = 0; y < h; ++y) {
        const uint8_t* row = &yuyv[size_t{y} * w * 2];
        for (uint32_t x = 0; x < w; ++x) {
            const uint32_t pair = x & ~1u;
            const int c = row[x * 2] - 16;
            const int d = row[pair * 2 + 1] - 128;
            const int e = pair + 1 < w ? row[pair * 2 + 3] - 128 : 0;
            uint8_t* out = &rgb[(size_t{y} * w + x) * 3];
            out[0] = clamp8((298 * c + 409 * e + 128) >> 8);
            out[1] = clamp8((298 * c - 100 * d - 208 * e + 128) >> 8);
            out[2] = clamp8((298 * c + 516 * d + 128) >> 8);
        }
    }
}

}  // namespace

int bayerColour(RawMode bayer, uint32_t x, uint32_t y) {
    // Colour at the four positions of a 2x2 cell (top-left, top-right, bottom-left,
    // bottom-right) for RG, GR, GB, BG.
    static constexpr uint8_t kCell[4][4] = {{0, 1, 1, 2}, {1, 0, 2, 1}, {1, 2, 0, 1}, {2, 1, 1, 0}};
    return kCell[static_cast<unsigned>(bayer) & 3][(y & 1) * 2 + (x & 1)];
}

bool debayer8(std::span<const uint8_t> mosaic, uint32_t width, uint32_t height, RawMode bayer,
              std::span<uint8_t> rgb) {
    const size_t pixels = size_t{width} * height;
    if (mosaic.size() < pixels || rgb.size() / 3 < pixels) return false;
    debayerImage<false>(mosaic.data(), width, height, bayer, rgb.data());
    return true;
}

bool rgb565ToRgb(std::span<const uint8_t> words, std::span<uint8_t> rgb) {
    const size_t pixels = words.size() / 2;
    if (rgb.size() / 3 < pixels) return false;
    rgb565Pixels(words.data(), pixels, rgb.data());
    return true;
}

bool yuyvToRgb(std::span<const uint8_t> yuyv, uint32_t width, uint32_t height,
               std::span<uint8_t> rgb) {
    const size_t pixels = size_t{width} * height;
    if (yuyv.size() / 2 < pixels || rgb.size() / 3 < pixels) return false;
    yuyvPixels(yuyv.data(), width, height, rgb.data());
    return true;
}

bool scaleTo8Bits(std::span<const uint8_t> samples, unsigned sampleBytes, unsigned bits,
                  std::span<uint8_t> out) {
    if ((sampleBytes != 1 && sampleBytes != 2) || bits < 1 || bits > 16) return false;
    const size_t count = samples.size() / sampleBytes;
    if (out.size() < count) return false;
    // (v * 255 + max / 2) / max without a division, so that the loops vectorise: for 8 bits
    // and more, n / (2^bits - 1) is (n + (n >> bits) + 1) >> bits for every numerator here
    // (n < 2^bits x max); fewer bits take a table of their few values.
    const uint32_t max = (1u << bits) - 1;
    std::array<uint8_t, 128> few{};
    for (uint32_t v = 0; bits < 8 && v <= max; ++v)
        few[v] = static_cast<uint8_t>(stretch(v, max, 255));
    auto scale = [=](uint32_t v) {  // by value: the stores through out could alias them
        if (bits < 8) return few[std::min(v, max)];
        const uint32_t n = std::min(v, max) * 255 + max / 2;
        return static_cast<uint8_t>((n + (n >> bits) + 1) >> bits);
    };
    const uint8_t* in = samples.data();
    uint8_t* to = out.data();
    if (sampleBytes == 1) {
        for (size_t i = 0; i < count; ++i) to[i] = scale(in[i]);
    } else if constexpr (std::endian::native == std::endian::little) {
        for (size_t i = 0; i < count; ++i) {  // whole words, which the compiler vectorises
            uint16_t word;
            std::memcpy(&word, in + 2 * i, 2);
            to[i] = scale(word);
        }
    } else {
        for (size_t i = 0; i < count; ++i)
            to[i] = scale(in[2 * i] | (uint32_t{in[2 * i + 1]} << 8));
    }
    return true;
}

FrameConverter::FrameConverter(const FrameFormat& format)
    : format_(format),
      frameLayout_(format.layout()),
      rows_(frameLayout_.rows ? frameLayout_.rows : format.height),
      frameBytes_(static_cast<size_t>(frameLayout_.bytes)) {
    const size_t pixels = size_t{format_.width} * rows_;
    switch (format_.format) {
        case FORMAT_MODE_RGB:
        case FORMAT_MODE_YUV:
            layout_ = PixelLayout::Rgb8;
            break;
        case FORMAT_MODE_MON:
        case FORMAT_MODE_MON_D:
            layout_ = format_.pixelBytes == 2 && format_.wideGrey ? PixelLayout::Gray16
                                                                  : PixelLayout::Gray8;
            break;
        case FORMAT_MODE_RAW:
        case FORMAT_MODE_RAW_D:
            layout_ =
                format_.wideRgb && format_.pixelBytes == 2 ? PixelLayout::Rgb16 : PixelLayout::Rgb8;
            break;
        default:  // JPEG is written as received; format 7 and unknown formats have no picture
            layout_ = PixelLayout::Rgb8;
            return;
    }
    // Samples of RAW and MON are one byte or a 16-bit word; any other count has no picture
    // (and a count of 0 would take every frame as whole and read past it).
    if (layout_ != PixelLayout::Rgb8 || mosaic(format_.format))
        if (format_.pixelBytes != 1 && format_.pixelBytes != 2) return;
    converts_ = true;
    if (format_.pixelBits == 0 || format_.pixelBits > 8 * format_.pixelBytes)
        format_.pixelBits = static_cast<uint8_t>(8 * format_.pixelBytes);
    if (mosaic(format_.format) && format_.pixelBytes == 2) samples_.resize(pixels);
    const size_t channels = layout_ == PixelLayout::Rgb16    ? 6
                            : layout_ == PixelLayout::Rgb8   ? 3
                            : layout_ == PixelLayout::Gray16 ? 2
                                                             : 1;
    image_.resize(pixels * channels);
}

bool FrameConverter::convert(std::span<const uint8_t> frame, ImageView& out) {
    if (!converts() || frame.size() < frameBytes_) return false;
    frame = frame.first(frameBytes_);
    switch (format_.format) {
        case FORMAT_MODE_RGB:
            rgb565Pixels(frame.data(), frame.size() / 2, image_.data());
            break;
        case FORMAT_MODE_YUV:
            yuyvPixels(frame.data(), format_.width, rows_, image_.data());
            break;
        case FORMAT_MODE_MON:
        case FORMAT_MODE_MON_D:
            convertMono(frame);
            break;
        default:
            convertRaw(frame);
            break;
    }
    out.width = format_.width;
    out.height = rows_;
    out.layout = layout_;
    out.pixels = image_;
    return true;
}

void FrameConverter::convertRaw(std::span<const uint8_t> frame) {
    const uint32_t w = format_.width, h = format_.height;
    const uint32_t images = frameLayout_.images;
    if (format_.pixelBytes == 1) {
        debayerImages<false>(frame.data(), w, h, images, format_.bayer, image_.data());
        return;
    }
    // 2-byte samples are little-endian words whose low pixelBits bits carry the value,
    // stretched to full scale (16 bits for a wide image, else 8) before demosaicing.
    const uint32_t max = (1u << format_.pixelBits) - 1;
    const bool wide = layout_ == PixelLayout::Rgb16;
    for (size_t i = 0; i < samples_.size(); ++i) {
        const uint32_t v = frame[2 * i] | (uint32_t{frame[2 * i + 1]} << 8);
        samples_[i] = static_cast<uint16_t>(stretch(v, max, wide ? 65535 : 255));
    }
    if (wide)
        debayerImages<true>(samples_.data(), w, h, images, format_.bayer, image_.data());
    else
        debayerImages<false>(samples_.data(), w, h, images, format_.bayer, image_.data());
}

void FrameConverter::convertMono(std::span<const uint8_t> frame) {
    if (format_.pixelBytes == 1) {
        std::copy(frame.begin(), frame.end(), image_.begin());
        return;
    }
    if (layout_ == PixelLayout::Gray8) {
        scaleTo8Bits(frame, 2, format_.pixelBits, image_);
        return;
    }
    // 16-bit PNG keeps every significant bit; the value is stretched to full scale so that
    // viewers show white as white (10-bit 1023 becomes 65535).
    const uint32_t max = (1u << format_.pixelBits) - 1;
    const size_t pixels = size_t{format_.width} * rows_;
    for (size_t i = 0; i < pixels; ++i) {
        const uint32_t v = frame[2 * i] | (uint32_t{frame[2 * i + 1]} << 8);
        const uint32_t wide = stretch(v, max, 65535);
        image_[2 * i] = static_cast<uint8_t>(wide >> 8);
        image_[2 * i + 1] = static_cast<uint8_t>(wide);
    }
}

FrameFormat frameFormatOf(const CameraConfig& cfg, RawMode bayer) {
    FrameFormat f;
    static_cast<Config&>(f) = Config::from(cfg);
    f.bayer = bayer;
    return f;
}

}  // namespace vexo
