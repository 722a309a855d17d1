// The ISP's pixel path. Each raw sample goes through one table that removes the black level,
// applies the white-balance gain and compands it with the sRGB curve into 16 bits; the mosaic
// is demosaicked on those companded values (interpolating there follows what the eye sees, and
// a gradient-corrected kernel gains several dB over working in linear light); each pixel then
// returns to linear light through a second table, goes through the colour matrix in floating
// point and leaves through the output curve's table. Rows stream through a ring of five
// companded rows, so the whole frame is read once.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vexo/isp.hpp>

namespace vexo {

namespace {

double srgbEncode(double l) {
    return l <= 0.0031308 ? 12.92 * l : 1.055 * std::pow(l, 1 / 2.4) - 0.055;
}
double srgbDecode(double e) {
    return e <= 0.04045 ? e / 12.92 : std::pow((e + 0.055) / 1.055, 2.4);
}

// Mirror an index into 0..n-1 about its first and last samples (-1 -> 1, n -> n - 2), which
// keeps the mosaic colour of every position; tiny images are clamped.
int64_t reflect(int64_t i, int64_t n) {
    if (i < 0) i = -i;
    if (i >= n) i = 2 * (n - 1) - i;
    return std::clamp<int64_t>(i, 0, n - 1);
}

constexpr int kSites = 4;  // R, green on red rows, green on blue rows, B

// The table of a mosaic site at (x, y): 0 R, 1 Gr, 2 Gb, 3 B.
int siteAt(RawMode bayer, uint32_t x, uint32_t y) {
    const int c = bayerColour(bayer, x, y);
    if (c != 1) return c == 0 ? 0 : 3;
    const bool redRow = bayerColour(bayer, 0, y) == 0 || bayerColour(bayer, 1, y) == 0;
    return redRow ? 1 : 2;
}

uint16_t to16(double v) {
    return static_cast<uint16_t>(std::lround(std::clamp(v, 0.0, 1.0) * 65535));
}

template <IspLayout L>
constexpr size_t kPixelBytes = L == IspLayout::Rgb8     ? 3
                               : L == IspLayout::Bgrx8  ? 4
                               : L == IspLayout::Rgb16  ? 6
                               : L == IspLayout::Rgba16 ? 8
                               : L == IspLayout::Gray8  ? 1
                                                        : 2;

template <IspLayout L>
constexpr bool kWide = L == IspLayout::Rgb16 || L == IspLayout::Rgba16 || L == IspLayout::Gray16;

void put16(uint8_t* p, uint16_t v, bool bigEndian) {
    if (bigEndian) {
        p[0] = static_cast<uint8_t>(v >> 8), p[1] = static_cast<uint8_t>(v);
    } else {
        std::memcpy(p, &v, 2);
    }
}

// One pixel of output sample values (8 or 16 bits each) in layout L.
template <IspLayout L>
inline void store(uint8_t* p, unsigned r, unsigned g, unsigned b, bool bigEndian) {
    if constexpr (L == IspLayout::Rgb8) {
        p[0] = static_cast<uint8_t>(r), p[1] = static_cast<uint8_t>(g),
        p[2] = static_cast<uint8_t>(b);
    } else if constexpr (L == IspLayout::Bgrx8) {
        p[0] = static_cast<uint8_t>(b), p[1] = static_cast<uint8_t>(g),
        p[2] = static_cast<uint8_t>(r);
        p[3] = 255;
    } else if constexpr (L == IspLayout::Gray8) {
        p[0] = static_cast<uint8_t>(g);
    } else if constexpr (L == IspLayout::Gray16) {
        put16(p, static_cast<uint16_t>(g), bigEndian);
    } else {
        put16(p, static_cast<uint16_t>(r), bigEndian);
        put16(p + 2, static_cast<uint16_t>(g), bigEndian);
        put16(p + 4, static_cast<uint16_t>(b), bigEndian);
        if constexpr (L == IspLayout::Rgba16) put16(p + 6, 65535, bigEndian);
    }
}

// Linear 16-bit camera RGB of a row (three planes) through the matrix and the output curve.
template <IspLayout L>
void colourRow(const int32_t* planes, uint32_t w, const uint16_t* toLinear,
               const std::array<float, 9>& m, const uint8_t* out8, const uint16_t* out16,
               bool bigEndian, uint8_t* dst) {
    const int32_t* pr = planes;
    const int32_t* pg = planes + w;
    const int32_t* pb = planes + 2 * w;
    for (uint32_t x = 0; x < w; ++x) {
        const float r = toLinear[pr[x]], g = toLinear[pg[x]], b = toLinear[pb[x]];
        const float o[3] = {m[0] * r + m[1] * g + m[2] * b, m[3] * r + m[4] * g + m[5] * b,
                            m[6] * r + m[7] * g + m[8] * b};
        unsigned idx[3];
        for (int c = 0; c < 3; ++c)
            idx[c] = static_cast<unsigned>(std::clamp(o[c], 0.0f, 65535.0f) + 0.5f);
        if constexpr (kWide<L>)
            store<L>(dst + x * kPixelBytes<L>, out16[idx[0]], out16[idx[1]], out16[idx[2]],
                     bigEndian);
        else
            store<L>(dst + x * kPixelBytes<L>, out8[idx[0]], out8[idx[1]], out8[idx[2]], bigEndian);
    }
}

// Demosaics companded row y (rows[-2..2] are the rows around it, each valid from x = -2 to
// w + 1) into three planes. `own[x & 1]` is the colour of the row's sites; a green site's
// horizontal neighbours have colour `across`.
template <bool Gradient>
void demosaicRow(const uint16_t* const* rows, uint32_t w, const int own[2], int across,
                 int32_t* planes) {
    const uint16_t *n2 = rows[0], *n1 = rows[1], *c = rows[2], *s1 = rows[3], *s2 = rows[4];
    int32_t* plane[3] = {planes, planes + w, planes + 2 * w};
    const int vertical = 2 - across;
    auto clip = [](int32_t v) { return std::clamp(v, 0, 65535); };
    for (uint32_t ux = 0; ux < w; ++ux) {
        const int x = static_cast<int>(ux);
        const int32_t C = c[x];
        const int32_t N = n1[x], S = s1[x], W = c[x - 1], E = c[x + 1];
        const int32_t diag = n1[x - 1] + n1[x + 1] + s1[x - 1] + s1[x + 1];
        const int colour = own[ux & 1];
        plane[colour][ux] = C;
        if (colour == 1) {
            int32_t h, v;
            if constexpr (Gradient) {
                const int32_t W2 = c[x - 2], E2 = c[x + 2], N2 = n2[x], S2 = s2[x];
                h = (10 * C + 8 * (W + E) - 2 * (W2 + E2) - 2 * diag + N2 + S2 + 8) >> 4;
                v = (10 * C + 8 * (N + S) - 2 * (N2 + S2) - 2 * diag + W2 + E2 + 8) >> 4;
            } else {
                h = (W + E + 1) >> 1;
                v = (N + S + 1) >> 1;
            }
            plane[across][ux] = clip(h);
            plane[vertical][ux] = clip(v);
        } else {
            int32_t g, o;
            if constexpr (Gradient) {
                const int32_t cross2 = c[x - 2] + c[x + 2] + n2[x] + s2[x];
                g = (8 * C + 4 * (N + S + W + E) - 2 * cross2 + 8) >> 4;
                o = (12 * C + 4 * diag - 3 * cross2 + 8) >> 4;
            } else {
                g = (N + S + W + E + 2) >> 2;
                o = (diag + 2) >> 2;
            }
            plane[1][ux] = clip(g);
            plane[2 - colour][ux] = clip(o);
        }
    }
}

}  // namespace

size_t ispPixelBytes(IspLayout layout) {
    switch (layout) {
        case IspLayout::Rgb8:
            return 3;
        case IspLayout::Bgrx8:
            return 4;
        case IspLayout::Rgb16:
            return 6;
        case IspLayout::Rgba16:
            return 8;
        case IspLayout::Gray8:
            return 1;
        case IspLayout::Gray16:
            return 2;
    }
    return 0;
}

ColourSettings colourSettingsOf(const CameraFile& file) {
    return file.colour ? *file.colour : ColourSettings{};
}

Isp::Isp(const FrameFormat& format, const ColourSettings& settings)
    : format_(format), settings_(settings) {
    const FrameLayout layout = format.layout();
    const bool mosaic = format.format == FORMAT_MODE_RAW || format.format == FORMAT_MODE_RAW_D;
    mono_ = format.format == FORMAT_MODE_MON || format.format == FORMAT_MODE_MON_D;
    if (!layout.known || !(mosaic || mono_) || layout.width == 0 || layout.height == 0 ||
        (format.pixelBytes != 1 && format.pixelBytes != 2))
        return;
    width_ = layout.width;
    height_ = layout.height;
    images_ = layout.images;
    rows_ = layout.rows;
    frameBytes_ = static_cast<size_t>(layout.bytes);
    rowBytes_ = layout.stride;
    const unsigned bits = std::clamp(layout.sampleBits, 1u, 16u);
    maxCode_ = (1u << bits) - 1;
    for (double& b : settings_.blackLevel)
        b = std::clamp(std::isfinite(b) ? b : 0.0, 0.0, maxCode_ - 1.0);
    for (double& g : settings_.whiteBalance)
        if (!(g > 0) || !std::isfinite(g)) g = 1;
    gains_ = settings_.whiteBalance;
    for (size_t i = 0; i < 9; ++i)
        matrix_[i] = std::isfinite(settings_.ccm[i]) ? static_cast<float>(settings_.ccm[i]) : 0.f;

    toCompanded_.resize(65536);
    toLinear_.resize(65536);
    out8_.resize(65536);
    out16_.resize(65536);
    const bool srgb = settings_.gamma == ColourSettings::Gamma::Srgb;
    for (uint32_t i = 0; i < 65536; ++i) {
        const double v = i / 65535.0;
        toCompanded_[i] = to16(srgbEncode(v));
        toLinear_[i] = to16(srgbDecode(v));
        const double shown = srgb ? srgbEncode(v) : v;
        out8_[i] = static_cast<uint8_t>(std::lround(shown * 255));
        out16_[i] = to16(shown);
    }
    input_.resize(size_t{kSites} * (maxCode_ + 1));
    ring_.resize(5 * (size_t{width_} + 4));
    planes_.resize(3 * size_t{width_});
    gridX_ = std::clamp<uint32_t>(width_ / 16, 1, 64);
    gridY_ = std::clamp<uint32_t>(height_ / 16, 1, 48);
    sums_.resize(size_t{gridX_} * gridY_ * 5);
    histogram_.resize(size_t{kHistogramBins} * kHistogramBins);
    buildInputTables();
    processes_ = true;
}

void Isp::buildInputTables() {
    // MON: one table straight to linear light. A mosaic: per site, to companded values with
    // the white-balance gain of the site's colour.
    static constexpr int kColour[kSites] = {0, 1, 1, 2};
    const size_t n = size_t{maxCode_} + 1;
    for (int s = 0; s < kSites; ++s) {
        const double black = settings_.blackLevel[mono_ ? 1 : s];
        const double gain = mono_ ? 1.0 : gains_[kColour[s]];
        const double scale = gain / (maxCode_ - black);
        uint16_t* table = &input_[s * n];
        for (size_t v = 0; v < n; ++v) {
            const uint16_t linear = to16((static_cast<double>(v) - black) * scale);
            table[v] = mono_ ? linear : toCompanded_[linear];
        }
    }
    tableGains_ = gains_;
}

void Isp::fillRow(const uint8_t* image, uint32_t y, uint16_t* row) {
    const size_t n = size_t{maxCode_} + 1;
    const uint16_t* even = &input_[siteAt(format_.bayer, 0, y) * n];
    const uint16_t* odd = &input_[siteAt(format_.bayer, 1, y) * n];
    const uint8_t* src = image + size_t{y} * rowBytes_;
    uint16_t* dst = row + 2;
    if (format_.pixelBytes == 1) {
        for (uint32_t x = 0; x < width_; ++x) {
            const unsigned v = src[x];
            dst[x] = (x & 1 ? odd : even)[v < maxCode_ ? v : maxCode_];
        }
    } else {
        for (uint32_t x = 0; x < width_; ++x) {
            const unsigned v = src[2 * x] | (unsigned{src[2 * x + 1]} << 8);
            dst[x] = (x & 1 ? odd : even)[std::min(v, maxCode_)];
        }
    }
    for (int x : {-2, -1}) dst[x] = dst[reflect(x, width_)];
    for (int64_t x : {int64_t{width_}, int64_t{width_} + 1}) dst[x] = dst[reflect(x, width_)];
}

void Isp::processMosaic(const uint8_t* frame, uint32_t image, const IspTarget& target) {
    const uint8_t* src = frame + size_t{image} * height_ * rowBytes_;
    const size_t span = size_t{width_} + 4;
    auto slot = [&](int64_t y) { return &ring_[static_cast<size_t>((y + 10) % 5) * span]; };
    for (int64_t y = -2; y < 2; ++y)
        fillRow(src, static_cast<uint32_t>(reflect(y, height_)), slot(y));

    const int own[2] = {bayerColour(format_.bayer, 0, 0), bayerColour(format_.bayer, 1, 0)};
    const int ownOdd[2] = {bayerColour(format_.bayer, 0, 1), bayerColour(format_.bayer, 1, 1)};
    const bool gradient = settings_.demosaic == ColourSettings::Demosaic::Gradient;
    for (uint32_t y = 0; y < height_; ++y) {
        fillRow(src, static_cast<uint32_t>(reflect(int64_t{y} + 2, height_)), slot(int64_t{y} + 2));
        const uint16_t* rows[5];
        for (int k = 0; k < 5; ++k) rows[k] = slot(int64_t{y} - 2 + k) + 2;
        const int* colours = y & 1 ? ownOdd : own;
        // A green site's left and right neighbours have the colour of the row's other sites.
        const int across = colours[0] == 1 ? colours[1] : colours[0];
        if (gradient)
            demosaicRow<true>(rows, width_, colours, across, planes_.data());
        else
            demosaicRow<false>(rows, width_, colours, across, planes_.data());

        uint8_t* dst = target.data + (size_t{image} * height_ + y) * target.stride;
        const bool be = target.bigEndian;
        switch (target.layout) {
            case IspLayout::Rgb8:
                colourRow<IspLayout::Rgb8>(planes_.data(), width_, toLinear_.data(), matrix_,
                                           out8_.data(), out16_.data(), be, dst);
                break;
            case IspLayout::Bgrx8:
                colourRow<IspLayout::Bgrx8>(planes_.data(), width_, toLinear_.data(), matrix_,
                                            out8_.data(), out16_.data(), be, dst);
                break;
            case IspLayout::Rgb16:
                colourRow<IspLayout::Rgb16>(planes_.data(), width_, toLinear_.data(), matrix_,
                                            out8_.data(), out16_.data(), be, dst);
                break;
            case IspLayout::Rgba16:
                colourRow<IspLayout::Rgba16>(planes_.data(), width_, toLinear_.data(), matrix_,
                                             out8_.data(), out16_.data(), be, dst);
                break;
            default:  // grey layouts are refused for mosaics
                break;
        }
    }
}

void Isp::processMono(const uint8_t* frame, const IspTarget& target) {
    const uint16_t* table = input_.data();  // site 0: linear light after the black level
    const size_t pb = ispPixelBytes(target.layout);
    for (uint32_t y = 0; y < rows_; ++y) {
        const uint8_t* src = frame + size_t{y} * rowBytes_;
        uint8_t* dst = target.data + size_t{y} * target.stride;
        for (uint32_t x = 0; x < width_; ++x) {
            const unsigned v =
                format_.pixelBytes == 1 ? src[x] : src[2 * x] | (unsigned{src[2 * x + 1]} << 8);
            const uint16_t linear = table[std::min(v, maxCode_)];
            uint8_t* p = dst + x * pb;
            const unsigned o8 = out8_[linear], o16 = out16_[linear];
            switch (target.layout) {
                case IspLayout::Rgb8:
                    store<IspLayout::Rgb8>(p, o8, o8, o8, false);
                    break;
                case IspLayout::Bgrx8:
                    store<IspLayout::Bgrx8>(p, o8, o8, o8, false);
                    break;
                case IspLayout::Gray8:
                    store<IspLayout::Gray8>(p, o8, o8, o8, false);
                    break;
                case IspLayout::Rgb16:
                    store<IspLayout::Rgb16>(p, o16, o16, o16, target.bigEndian);
                    break;
                case IspLayout::Rgba16:
                    store<IspLayout::Rgba16>(p, o16, o16, o16, target.bigEndian);
                    break;
                case IspLayout::Gray16:
                    store<IspLayout::Gray16>(p, o16, o16, o16, target.bigEndian);
                    break;
            }
        }
    }
}

bool Isp::process(std::span<const uint8_t> frame, const IspTarget& target) {
    if (!processes_ || frame.size() < frameBytes_ || target.data == nullptr) return false;
    const bool grey = target.layout == IspLayout::Gray8 || target.layout == IspLayout::Gray16;
    if (grey && !mono_) return false;
    const size_t rowOut = size_t{width_} * ispPixelBytes(target.layout);
    if (rowOut == 0 || target.stride < rowOut) return false;
    if (target.bytes < size_t{rows_ - 1} * target.stride + rowOut) return false;

    measure(frame.data());
    if (!mono_) {
        if (settings_.autoWhiteBalance) findWhiteBalance();
        bool changed = false;
        for (int c = 0; c < 3; ++c)
            changed |= std::fabs(gains_[c] - tableGains_[c]) > 1e-3 * gains_[c];
        if (changed) buildInputTables();
    }
    if (mono_)
        processMono(frame.data(), target);
    else
        for (uint32_t i = 0; i < images_; ++i) processMosaic(frame.data(), i, target);
    ++framesSeen_;
    ++framesSinceChange_;
    return true;
}

}  // namespace vexo
