#include "driver/virtual/board_picture.h"

#include <algorithm>
#include <cstring>

#include "driver/virtual/board_jpeg.h"

namespace vexo::driver::virt {

namespace {

constexpr Rgb kBars[8] = {{255, 255, 255}, {255, 255, 0}, {0, 255, 255}, {0, 255, 0},
                          {255, 0, 255},   {255, 0, 0},   {0, 0, 255},   {0, 0, 0}};

// 5x7 digits, one byte per row, bit 4 the leftmost column.
constexpr uint8_t kDigits[10][7] = {
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}, {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}, {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}, {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}, {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}, {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C},
};

uint32_t digitCount(uint32_t n) {
    uint32_t count = 1;
    while (n >= 10) {
        n /= 10;
        ++count;
    }
    return count;
}

// Back and forth over [0, range]: the marker bounces off the picture's edges.
uint32_t bounce(uint64_t t, uint32_t range) {
    if (range == 0) return 0;
    uint64_t p = t % (2ull * range);
    return static_cast<uint32_t>(p <= range ? p : 2ull * range - p);
}

uint8_t luma(Rgb c) {
    return static_cast<uint8_t>((77 * c.r + 150 * c.g + 29 * c.b) >> 8);
}

// An 8-bit level stretched to `bits` by repeating its bits below it: 255 becomes the white
// level, and 10 bits give v << 2 | v >> 6.
uint16_t stretch(uint8_t v, unsigned bits) {
    uint32_t out = uint32_t{v} << (bits - 8);
    for (int rest = static_cast<int>(bits) - 8; rest > 0; rest -= 8)
        out |= rest >= 8 ? uint32_t{v} << (rest - 8) : uint32_t{v} >> (8 - rest);
    return static_cast<uint16_t>(out);
}

// Colour of the mosaic at (x, y).
SampleChannel bayerChannel(BayerOrder order, uint32_t x, uint32_t y) {
    static constexpr SampleChannel R = SampleChannel::Red, G = SampleChannel::Green,
                                   B = SampleChannel::Blue;
    static constexpr SampleChannel kOrder[4][4] = {
        {R, G, G, B}, {G, R, B, G}, {G, B, R, G}, {B, G, G, R}};
    return kOrder[static_cast<int>(order)][(y & 1) * 2 + (x & 1)];
}

uint8_t channelOf(Rgb c, SampleChannel channel) {
    switch (channel) {
        case SampleChannel::Red:
            return c.r;
        case SampleChannel::Green:
            return c.g;
        case SampleChannel::Blue:
            return c.b;
        default:
            return luma(c);
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// PictureLayout

PictureLayout::PictureLayout(uint32_t width, uint32_t height)
    : width_(width), height_(height), rampStart_(height - height / 6) {
    uint32_t small = std::min(width, height);
    markerSize_ = std::min({std::max(2u, small / 10), width, height});
    markerStepX_ = std::max(1u, markerSize_ / 3);
    markerStepY_ = std::max(1u, markerSize_ / 5);
    digitScale_ = std::max(1u, small / 128);
    bars_.resize(width);
    ramp_.resize(width);
    for (uint32_t x = 0; x < width; ++x) {
        bars_[x] = kBars[uint64_t{x} * 8 / width];
        uint8_t g = width > 1 ? static_cast<uint8_t>(uint64_t{x} * 255 / (width - 1)) : 0;
        ramp_[x] = {g, g, g};
    }
}

FrameParts PictureLayout::parts(uint32_t frame) const {
    FrameParts p;
    p.frame = frame;
    uint32_t x = bounce(uint64_t{frame} * markerStepX_, width_ - markerSize_);
    uint32_t y = bounce(uint64_t{frame} * markerStepY_, height_ - markerSize_);
    p.marker = {x, y, x + markerSize_, y + markerSize_};
    p.markerBorder = markerSize_ / 4;
    p.digitScale = digitScale_;
    p.digitCount = digitCount(frame);
    for (uint32_t i = 0, n = frame; i < p.digitCount; ++i, n /= 10)
        p.digits[p.digitCount - 1 - i] = static_cast<uint8_t>(n % 10);
    uint32_t w = (p.digitCount * 6 + 1) * digitScale_;
    p.number = {0, 0, std::min(width_, w), std::min(height_, 9 * digitScale_)};
    return p;
}

bool PictureLayout::numberLit(const FrameParts& p, uint32_t x, uint32_t y) const {
    // Glyph grid: one cell of margin, then 6 cells per digit (5 drawn, 1 space), 7 rows.
    uint32_t gx = x / p.digitScale, gy = y / p.digitScale;
    if (gx < 1 || gy < 1 || gy >= 8) return false;
    uint32_t pos = (gx - 1) / 6, col = (gx - 1) % 6;
    if (pos >= p.digitCount || col >= 5) return false;
    return (kDigits[p.digits[pos]][gy - 1] >> (4 - col)) & 1;
}

bool PictureLayout::partPixel(const FrameParts& p, uint32_t x, uint32_t y, bool marker, bool number,
                              Rgb& out) const {
    if (number && x < p.number.x1 && y < p.number.y1) {
        out = numberLit(p, x, y) ? Rgb{255, 255, 255} : Rgb{0, 0, 0};
        return true;
    }
    const PixelRect& m = p.marker;
    if (marker && x >= m.x0 && x < m.x1 && y >= m.y0 && y < m.y1) {
        uint32_t q = p.markerBorder;
        bool centre = x >= m.x0 + q && x < m.x1 - q && y >= m.y0 + q && y < m.y1 - q;
        out = centre ? Rgb{0, 0, 0} : Rgb{255, 255, 255};
        return true;
    }
    return false;
}

Rgb PictureLayout::pixel(const FrameParts& p, uint32_t x, uint32_t y) const {
    Rgb c;
    return partPixel(p, x, y, true, true, c) ? c : background(x, y);
}

std::array<PixelRect, 2> PictureLayout::changedRects(uint32_t frame) const {
    FrameParts p = parts(frame);
    return {p.marker, p.number};
}

// ---------------------------------------------------------------------------------------------
// Frame sizes and the renderer

size_t streamFrameBytes(const StreamConfig& s) {
    size_t pixels = size_t{s.width} * s.height;
    switch (s.format) {
        case PixelFormat::Raw:
        case PixelFormat::Mon:
            return pixels * s.pixelBytes;
        case PixelFormat::Rgb:
        case PixelFormat::Yuv:
            return pixels * 2;
        case PixelFormat::Jpg:
        case PixelFormat::RawD:
        case PixelFormat::MonD:
            return pixels * s.pixelBytes * 2;
    }
    return 0;
}

FrameRenderer::FrameRenderer(const StreamConfig& stream, const SceneConfig& scene,
                             const SensorConfig& sensor)
    : stream_(stream),
      scene_(scene.kind == SceneConfig::Kind::Image && !scene.image ? SceneConfig::Kind::Bars
                                                                    : scene.kind),
      showMarker_(scene.marker.value_or(scene_ == SceneConfig::Kind::Bars)),
      showNumber_(scene.frameNumber.value_or(scene_ == SceneConfig::Kind::Bars)),
      layout_(stream.width, stream.height) {
    if (scene_ == SceneConfig::Kind::Image)
        sceneImage_ = scaleSceneImage(*scene.image, stream.width, stream.height);
    if (stream.format == PixelFormat::Jpg) {
        image_.resize(size_t{stream.width} * stream.height * 3);
        jpeg_ =
            std::make_unique<JpegEncoder>(stream.width, stream.height, streamFrameBytes(stream));
    } else {
        image_.resize(streamFrameBytes(stream));
    }
    if (rawLike()) {
        const uint8_t bits = pixelBitsOf(stream, scene_);
        model_ = std::make_unique<SensorModel>(sensor, bits);
        buildLevels(bits);
        whiteCode_ = model_->codeOf(1.0);
        blackCode_ = model_->codeOf(0.0);
        if (!model_->noisy()) exposeAll(image_.data(), 0);
    } else {
        encodeRect({0, 0, stream.width, stream.height}, nullptr);
    }
    background_ = image_;
    if (jpeg_) {
        // Frame 0 stands for all: the number and marker change the size by a few bytes only.
        std::span<const uint8_t> first = frame(0);
        usable_ = !first.empty() && jpeg_->fits();
    }
}

FrameRenderer::~FrameRenderer() = default;

bool FrameRenderer::usable() const {
    return usable_;
}

bool FrameRenderer::rawLike() const {
    switch (stream_.format) {
        case PixelFormat::Raw:
        case PixelFormat::RawD:
        case PixelFormat::Mon:
        case PixelFormat::MonD:
            return true;
        default:
            return false;
    }
}

Rgb FrameRenderer::sceneAt(uint32_t x, uint32_t y) const {
    switch (scene_) {
        case SceneConfig::Kind::Chart:
            return kChartColours[chartPatch(x, y, stream_.width, stream_.height)];
        case SceneConfig::Kind::Image:
            return sceneImage_[size_t{y} * stream_.width + x];
        default:
            return layout_.background(x, y);
    }
}

// The clean level of every sample, once per configuration. The bars are drawn as levels;
// other scenes are light that the sensor model weighs.
void FrameRenderer::buildLevels(uint8_t bits) {
    const bool mono = stream_.format == PixelFormat::Mon || stream_.format == PixelFormat::MonD;
    std::vector<float>& levels = model_->levels();
    levels.resize(size_t{stream_.width} * stream_.height);
    const float white = model_->white();
    for (uint32_t y = 0; y < stream_.height; ++y)
        for (uint32_t x = 0; x < stream_.width; ++x) {
            const SampleChannel channel =
                mono ? SampleChannel::Luminance : bayerChannel(stream_.bayer, x, y);
            const Rgb c = sceneAt(x, y);
            float& level = levels[size_t{y} * stream_.width + x];
            if (scene_ == SceneConfig::Kind::Bars) {
                level = stretch(channelOf(c, channel), bits);
            } else {
                const float light[3] = {srgbToLinear(c.r), srgbToLinear(c.g), srgbToLinear(c.b)};
                level = model_->cameraLevel(light, channel) * white;
            }
        }
}

void FrameRenderer::exposeAll(uint8_t* image, uint32_t frame) const {
    const bool twoImages =
        stream_.format == PixelFormat::RawD || stream_.format == PixelFormat::MonD;
    const size_t plane = size_t{stream_.width} * stream_.height * stream_.pixelBytes;
    model_->expose(image, twoImages ? image + plane : nullptr, stream_.pixelBytes, frame);
}

std::array<PixelRect, 2> FrameRenderer::shownRects(uint32_t frame) const {
    std::array<PixelRect, 2> r = layout_.changedRects(frame);
    if (!showMarker_) r[0] = {};
    if (!showNumber_) r[1] = {};
    return r;
}

std::span<const uint8_t> FrameRenderer::frame(uint32_t frame) {
    if (model_ && model_->setExposure(exposure_)) {
        // New exposure: the whole picture changes.
        whiteCode_ = model_->codeOf(1.0);
        blackCode_ = model_->codeOf(0.0);
        if (!model_->noisy()) {
            exposeAll(background_.data(), 0);
            image_ = background_;
        }
        shown_.reset();
    }
    if (shown_ == frame) return jpeg_ ? jpegFrame_ : std::span<const uint8_t>(image_);
    if (model_ && model_->noisy()) {
        exposeAll(image_.data(), frame);
    } else if (shown_) {
        // Back to the background where the previous frame drew, then draw this frame's parts.
        for (const PixelRect& r : shownRects(*shown_)) restoreRect(r);
    }
    draw(layout_.parts(frame));
    shown_ = frame;
    if (!jpeg_) return image_;
    jpegFrame_ = jpeg_->encode(image_.data());
    return jpegFrame_;
}

size_t FrameRenderer::bytesPerPixel() const {
    switch (stream_.format) {
        case PixelFormat::Rgb:
        case PixelFormat::Yuv:
            return 2;
        case PixelFormat::Jpg:
            return 3;
        default:
            return stream_.pixelBytes;
    }
}

void FrameRenderer::restoreRect(const PixelRect& rect) {
    const uint32_t w = stream_.width;
    uint32_t x0 = rect.x0, x1 = std::min(rect.x1, w);
    if (stream_.format == PixelFormat::Yuv) {
        x0 &= ~1u;
        x1 = std::min(w, (x1 + 1) & ~1u);
    }
    if (x0 >= x1) return;
    const size_t bpp = bytesPerPixel();
    const bool twoImages =
        stream_.format == PixelFormat::RawD || stream_.format == PixelFormat::MonD;
    const size_t plane = size_t{w} * stream_.height * bpp;
    for (uint32_t y = rect.y0; y < std::min(rect.y1, stream_.height); ++y) {
        size_t at = (size_t{y} * w + x0) * bpp, n = (x1 - x0) * bpp;
        std::memcpy(&image_[at], &background_[at], n);
        if (twoImages) std::memcpy(&image_[plane + at], &background_[plane + at], n);
    }
}

// Marker and number are white and black only, which encode alike at every position (a grey
// needs no Bayer colour): whole runs are filled with one pixel's bytes. YUV pairs cut by a
// run's ends mix with their neighbour and go through the per-pixel path.
void FrameRenderer::fillRun(uint32_t y, uint32_t x0, uint32_t x1, bool white,
                            const FrameParts& parts) {
    const uint32_t w = stream_.width;
    x1 = std::min(x1, w);
    if (x0 >= x1) return;
    const uint8_t pb = stream_.pixelBytes;
    const size_t row = size_t{y} * w;
    uint8_t unit[4] = {};
    size_t unitBytes = 0;
    switch (stream_.format) {
        case PixelFormat::Raw:
        case PixelFormat::RawD:
        case PixelFormat::Mon:
        case PixelFormat::MonD: {
            uint16_t v = white ? whiteCode_ : blackCode_;
            unit[0] = static_cast<uint8_t>(v);
            unit[1] = static_cast<uint8_t>(v >> 8);
            unitBytes = pb;
            break;
        }
        case PixelFormat::Rgb:
            unit[0] = unit[1] = white ? 0xFF : 0x00;
            unitBytes = 2;
            break;
        case PixelFormat::Jpg:
            unit[0] = unit[1] = unit[2] = white ? 0xFF : 0x00;
            unitBytes = 3;
            break;
        case PixelFormat::Yuv:
            if (x0 & 1) {
                encodeRect({x0 - 1, y, x0 + 1, y + 1}, &parts);
                ++x0;
            }
            if ((x1 & 1) && x1 > x0) {
                encodeRect({x1 - 1, y, x1 + 1, y + 1}, &parts);
                --x1;
            }
            if (x0 >= x1) return;
            unit[0] = unit[2] = white ? 235 : 16;
            unit[1] = unit[3] = 128;
            unitBytes = 4;
            break;
    }
    const size_t bpp = bytesPerPixel();
    uint8_t* p = &image_[(row + x0) * bpp];
    const size_t n = (x1 - x0) * bpp;
    if (unitBytes == 1 ||
        (unit[0] == unit[1] && unitBytes == 2 && stream_.format == PixelFormat::Rgb) ||
        stream_.format == PixelFormat::Jpg) {
        std::memset(p, unit[0], n);
    } else {
        for (size_t i = 0; i < n; i += unitBytes) std::memcpy(p + i, unit, unitBytes);
    }
    if (stream_.format == PixelFormat::RawD || stream_.format == PixelFormat::MonD) {
        uint8_t* q = p + size_t{w} * stream_.height * pb;
        uint16_t inv = static_cast<uint16_t>(model_->white() - (white ? whiteCode_ : blackCode_));
        uint8_t iu[2] = {static_cast<uint8_t>(inv), static_cast<uint8_t>(inv >> 8)};
        if (pb == 1)
            std::memset(q, iu[0], n);
        else
            for (size_t i = 0; i < n; i += 2) std::memcpy(q + i, iu, 2);
    }
}

void FrameRenderer::draw(const FrameParts& parts) {
    const PixelRect& m = parts.marker;
    const uint32_t q = parts.markerBorder;
    for (uint32_t y = m.y0; showMarker_ && y < m.y1; ++y) {
        if (y >= m.y0 + q && y < m.y1 - q) {
            fillRun(y, m.x0, m.x0 + q, true, parts);
            fillRun(y, m.x0 + q, m.x1 - q, false, parts);
            fillRun(y, m.x1 - q, m.x1, true, parts);
        } else {
            fillRun(y, m.x0, m.x1, true, parts);
        }
    }
    // The number goes over the marker, one run per stretch of equal cells.
    const PixelRect& r = parts.number;
    const uint32_t s = parts.digitScale;
    for (uint32_t y = r.y0; showNumber_ && y < r.y1; ++y) {
        const uint32_t gy = y / s;
        if (gy < 1 || gy >= 8) {
            fillRun(y, r.x0, r.x1, false, parts);
            continue;
        }
        uint32_t runStart = 0;
        bool runLit = false;
        for (uint32_t pos = 0; pos < parts.digitCount; ++pos) {
            const uint8_t bits = kDigits[parts.digits[pos]][gy - 1];
            for (uint32_t col = 0; col < 6; ++col) {
                const bool lit = col < 5 && ((bits >> (4 - col)) & 1);
                if (lit == runLit) continue;
                const uint32_t x = (1 + pos * 6 + col) * s;
                fillRun(y, runStart, x, runLit, parts);
                runStart = x;
                runLit = lit;
            }
        }
        fillRun(y, runStart, r.x1, runLit, parts);
    }
}

void FrameRenderer::encodeRect(const PixelRect& rect, const FrameParts* parts) {
    const uint32_t w = stream_.width;
    auto at = [&](uint32_t x, uint32_t y) {
        Rgb c;
        if (parts && layout_.partPixel(*parts, x, y, showMarker_, showNumber_, c)) return c;
        return sceneAt(x, y);
    };
    uint32_t x0 = rect.x0, x1 = std::min(rect.x1, w);
    if (stream_.format == PixelFormat::Yuv) {
        // Pixels go in pairs sharing U and V; re-encode whole pairs.
        x0 &= ~1u;
        x1 = std::min(w, (x1 + 1) & ~1u);
    }
    for (uint32_t y = rect.y0; y < std::min(rect.y1, stream_.height); ++y) {
        size_t row = size_t{y} * w;
        for (uint32_t x = x0; x < x1; ++x) {
            Rgb c = at(x, y);
            switch (stream_.format) {
                case PixelFormat::Raw:
                case PixelFormat::RawD:
                case PixelFormat::Mon:
                case PixelFormat::MonD:
                    break;  // the sensor model exposes these
                case PixelFormat::Rgb: {
                    uint16_t v =
                        static_cast<uint16_t>(((c.r >> 3) << 11) | ((c.g >> 2) << 5) | (c.b >> 3));
                    image_[(row + x) * 2] = static_cast<uint8_t>(v);
                    image_[(row + x) * 2 + 1] = static_cast<uint8_t>(v >> 8);
                    break;
                }
                case PixelFormat::Yuv: {
                    // BT.601 studio range; the last pixel of an odd row is paired with itself.
                    Rgb d = x + 1 < w ? at(x + 1, y) : c;
                    auto yOf = [](Rgb p) {
                        return static_cast<uint8_t>(16 +
                                                    ((66 * p.r + 129 * p.g + 25 * p.b + 128) >> 8));
                    };
                    int r = c.r + d.r, g = c.g + d.g, b = c.b + d.b;  // sums of the pair
                    auto u = static_cast<uint8_t>(128 + ((-38 * r - 74 * g + 112 * b + 256) >> 9));
                    auto v = static_cast<uint8_t>(128 + ((112 * r - 94 * g - 18 * b + 256) >> 9));
                    uint8_t* p = &image_[(row + x) * 2];
                    p[0] = yOf(c);
                    p[1] = u;
                    if (x + 1 < w) {
                        p[2] = yOf(d);
                        p[3] = v;
                    }
                    ++x;
                    break;
                }
                case PixelFormat::Jpg: {
                    uint8_t* p = &image_[(row + x) * 3];
                    p[0] = c.r;
                    p[1] = c.g;
                    p[2] = c.b;
                    break;
                }
            }
        }
    }
}

}  // namespace vexo::driver::virt
