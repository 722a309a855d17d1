// The ISP's pixel path, row by row in single-precision floats that the compiler vectorises.
// Each raw sample loses its black level, takes its white-balance gain and is companded by a
// square root; the mosaic is demosaicked on those companded values (interpolating there
// follows what the eye sees: a gradient-corrected kernel gains several dB over working in
// linear light, after the output curve); each pixel is squared back to linear light, goes
// through the colour matrix, and is companded by a square root once more to index the output
// curve's table. Rows stream through a ring of five companded rows, so the frame is read once.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <vexo/isp.hpp>

namespace vexo {

namespace {

double srgbEncode(double l) {
    return l <= 0.0031308 ? 12.92 * l : 1.055 * std::pow(l, 1 / 2.4) - 0.055;
}

// Mirror an index into 0..n-1 about its first and last samples (-1 -> 1, n -> n - 2), which
// keeps the mosaic colour of every position; tiny images are clamped.
int64_t reflect(int64_t i, int64_t n) {
    if (i < 0) i = -i;
    if (i >= n) i = 2 * (n - 1) - i;
    return std::clamp<int64_t>(i, 0, n - 1);
}

// The row loops are built twice on x86-64, for x86-64-v3 (AVX2 and FMA: eight floats a step) and
// for the baseline, and the loader picks the one the processor runs (not in sanitizer builds:
// the loader runs the picking function before the sanitizers runtime is ready).
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && \
    !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define VEXO_ROW_LOOP __attribute__((target_clones("arch=x86-64-v3", "default")))
#else
#define VEXO_ROW_LOOP
#endif

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

// Raw codes of a row to companded values: sqrt of (code - black) x scale, within 0..1.
template <typename Sample>
VEXO_ROW_LOOP void compandRow(const uint8_t* __restrict src, uint32_t w, float maxCode,
                              const float* __restrict black, const float* __restrict scale,
                              float* __restrict out) {
    for (uint32_t x = 0; x < w; ++x) {
        Sample raw;
        std::memcpy(&raw, src + x * sizeof(Sample), sizeof(Sample));
        if constexpr (sizeof(Sample) == 2 && std::endian::native == std::endian::big)
            raw = static_cast<Sample>((raw >> 8) | (raw << 8));
        float v = static_cast<float>(raw);
        v = v < maxCode ? v : maxCode;
        float l = (v - black[x]) * scale[x];
        l = l > 0.f ? l : 0.f;
        l = l < 1.f ? l : 1.f;
        out[x] = std::sqrt(l);
    }
}

// Demosaics a companded row (n2..s2 are the rows from two above to two below, each valid from
// x = -2 to w + 1) into the planes of the row's own non-green colour X, green, and the other
// colour Y. Every pixel computes both kinds of site, and the green mask picks: a branch per
// pixel would keep the loop from being vectorised.
template <bool Gradient>
VEXO_ROW_LOOP void demosaicRow(const float* __restrict n2, const float* __restrict n1,
                               const float* __restrict c, const float* __restrict s1,
                               const float* __restrict s2, uint32_t w,
                               const float* __restrict green, float* __restrict X,
                               float* __restrict G, float* __restrict Y) {
    for (int x = 0; x < static_cast<int>(w); ++x) {
        const float C = c[x], N = n1[x], S = s1[x], W = c[x - 1], E = c[x + 1];
        const float diag = n1[x - 1] + n1[x + 1] + s1[x - 1] + s1[x + 1];
        float h, v, g, o;
        if constexpr (Gradient) {
            const float W2 = c[x - 2], E2 = c[x + 2], N2 = n2[x], S2 = s2[x];
            const float across2 = W2 + E2, along2 = N2 + S2;
            h = (10 * C + 8 * (W + E) - 2 * across2 - 2 * diag + along2) * (1.f / 16);
            v = (10 * C + 8 * (N + S) - 2 * along2 - 2 * diag + across2) * (1.f / 16);
            g = (8 * C + 4 * (N + S + W + E) - 2 * (across2 + along2)) * (1.f / 16);
            o = (12 * C + 4 * diag - 3 * (across2 + along2)) * (1.f / 16);
        } else {
            h = (W + E) * 0.5f;
            v = (N + S) * 0.5f;
            g = (N + S + W + E) * 0.25f;
            o = diag * 0.25f;
        }
        const float m = green[x];
        const float xs = C + m * (h - C), gs = g + m * (C - g), ys = o + m * (v - o);
        X[x] = xs > 0.f ? xs : 0.f;
        G[x] = gs > 0.f ? gs : 0.f;
        Y[x] = ys > 0.f ? ys : 0.f;
    }
}

// Companded camera RGB of a row back to linear light, through the matrix, and on to the
// output table's indices: linear light in 16 bits for 8-bit output (a step near black is a
// twentieth of an 8-bit sRGB code), its square root in 16 bits for 16-bit output.
template <bool Root>
VEXO_ROW_LOOP void colourRow(const float* __restrict R, const float* __restrict G,
                             const float* __restrict B, uint32_t w,
                             const std::array<float, 9>& matrix, int32_t* __restrict out) {
    const float m0 = matrix[0], m1 = matrix[1], m2 = matrix[2], m3 = matrix[3], m4 = matrix[4],
                m5 = matrix[5], m6 = matrix[6], m7 = matrix[7], m8 = matrix[8];
    int32_t* __restrict o0 = out;
    int32_t* __restrict o1 = out + w;
    int32_t* __restrict o2 = out + 2 * w;
    auto index = [](float l) {
        l = l > 0.f ? l : 0.f;
        l = l < 1.f ? l : 1.f;
        if constexpr (Root) l = std::sqrt(l);
        return static_cast<int32_t>(l * 65535.f + 0.5f);
    };
    for (uint32_t x = 0; x < w; ++x) {
        const float r = R[x] * R[x], g = G[x] * G[x], b = B[x] * B[x];
        o0[x] = index(m0 * r + m1 * g + m2 * b);
        o1[x] = index(m3 * r + m4 * g + m5 * b);
        o2[x] = index(m6 * r + m7 * g + m8 * b);
    }
}

template <IspLayout L, typename Table>
void storeRow(const int32_t* indices, uint32_t w, const Table* table, bool bigEndian,
              uint8_t* dst) {
    const int32_t *i0 = indices, *i1 = indices + w, *i2 = indices + 2 * w;
    uint32_t x = 0;
    if constexpr (L == IspLayout::Rgb8 || L == IspLayout::Bgrx8) {
        // One 4-byte store a pixel; for RGB its fourth byte is the next pixel's first, so the
        // last pixel is stored bytewise below.
        const uint32_t whole = L == IspLayout::Rgb8 ? (w ? w - 1 : 0) : w;
        for (; x < whole; ++x) {
            const uint32_t r = table[i0[x]], g = table[i1[x]], b = table[i2[x]];
            uint32_t word;
            if constexpr (L == IspLayout::Rgb8)
                word = std::endian::native == std::endian::little ? r | g << 8 | b << 16
                                                                  : r << 24 | g << 16 | b << 8;
            else
                word = std::endian::native == std::endian::little
                           ? b | g << 8 | r << 16 | 0xFFu << 24
                           : b << 24 | g << 16 | r << 8 | 0xFFu;
            std::memcpy(dst + x * kPixelBytes<L>, &word, 4);
        }
    }
    for (; x < w; ++x)
        store<L>(dst + x * kPixelBytes<L>, table[i0[x]], table[i1[x]], table[i2[x]], bigEndian);
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
    settings_ = checked(settings_, maxCode_);
    gains_ = settings_.whiteBalance;
    for (size_t i = 0; i < 9; ++i) matrix_[i] = static_cast<float>(settings_.ccm[i]);

    const bool srgb = settings_.gamma == ColourSettings::Gamma::Srgb;
    auto shown = [srgb](double linear) { return srgb ? srgbEncode(linear) : linear; };
    if (mono_) {
        input_.resize(size_t{maxCode_} + 1);
        out8_.resize(65536);
        out16_.resize(65536);
        for (uint32_t i = 0; i < 65536; ++i) {
            out8_[i] = static_cast<uint8_t>(std::lround(shown(i / 65535.0) * 255));
            out16_[i] = to16(shown(i / 65535.0));
        }
    } else {
        shown8_.resize(65536);
        shown16_.resize(65536);
        for (uint32_t i = 0; i < 65536; ++i)
            shown8_[i] = static_cast<uint8_t>(std::lround(shown(i / 65535.0) * 255));
        for (uint32_t i = 0; i < 65536; ++i) {
            const double s = i / 65535.0;
            shown16_[i] = to16(shown(s * s));
        }
        rowBlack_.resize(2 * (size_t{width_} + 1));
        rowScale_.resize(2 * (size_t{width_} + 1));
        greenMask_.resize(2 * size_t{width_});
        for (uint32_t x = 0; x < width_; ++x) {
            greenMask_[x] = (x & 1) ? 0.f : 1.f;  // rows that start with green
            greenMask_[width_ + x] = (x & 1) ? 1.f : 0.f;
        }
        ring_.resize(5 * (size_t{width_} + 4));
        planes_.resize(3 * size_t{width_});
        indices_.resize(3 * size_t{width_});
    }
    gridX_ = std::clamp<uint32_t>(width_ / 16, 1, 64);
    gridY_ = std::clamp<uint32_t>(height_ / 16, 1, 48);
    sums_.resize(size_t{gridX_} * gridY_ * 5);
    raw_.resize(sums_.size());
    regionOfColumn_.resize(width_);
    for (uint32_t x = 0; x < width_; ++x) regionOfColumn_[x] = x * gridX_ / width_ * 5;
    histogram_.resize(size_t{kHistogramBins} * kHistogramBins);
    buildInputTables();
    processes_ = true;
}

void Isp::buildInputTables() {
    if (mono_) {  // one table straight to linear light
        const double black = settings_.blackLevel[1];
        for (uint32_t v = 0; v <= maxCode_; ++v) input_[v] = to16((v - black) / (maxCode_ - black));
    } else {
        static constexpr int kColour[kSites] = {0, 1, 1, 2};
        for (uint32_t parity = 0; parity < 2; ++parity)
            for (uint32_t x = 0; x < width_ + 1; ++x) {
                const int site = siteAt(format_.bayer, x, parity);
                const double black = settings_.blackLevel[site];
                const size_t at = parity * (size_t{width_} + 1) + x;
                rowBlack_[at] = static_cast<float>(black);
                rowScale_[at] = static_cast<float>(gains_[kColour[site]] / (maxCode_ - black));
            }
    }
    tableGains_ = gains_;
}

void Isp::fillRow(const uint8_t* image, uint32_t y, float* row) {
    const size_t at = (y & 1) * (size_t{width_} + 1);
    const uint8_t* src = image + size_t{y} * rowBytes_;
    float* dst = row + 2;
    const float top = static_cast<float>(maxCode_);
    if (format_.pixelBytes == 1)
        compandRow<uint8_t>(src, width_, top, &rowBlack_[at], &rowScale_[at], dst);
    else
        compandRow<uint16_t>(src, width_, top, &rowBlack_[at], &rowScale_[at], dst);
    for (int x : {-2, -1}) dst[x] = dst[reflect(x, width_)];
    for (int64_t x : {int64_t{width_}, int64_t{width_} + 1}) dst[x] = dst[reflect(x, width_)];
}

void Isp::processMosaic(const uint8_t* frame, uint32_t image, const IspTarget& target) {
    const uint8_t* src = frame + size_t{image} * height_ * rowBytes_;
    const size_t span = size_t{width_} + 4;
    auto slot = [&](int64_t y) { return &ring_[static_cast<size_t>((y + 10) % 5) * span]; };
    for (int64_t y = -2; y < 2; ++y)
        fillRow(src, static_cast<uint32_t>(reflect(y, height_)), slot(y));

    const bool gradient = settings_.demosaic == ColourSettings::Demosaic::Gradient;
    const bool wide = target.layout == IspLayout::Rgb16 || target.layout == IspLayout::Rgba16;
    float* planes[3] = {planes_.data(), planes_.data() + width_, planes_.data() + 2 * width_};
    for (uint32_t y = 0; y < height_; ++y) {
        fillRow(src, static_cast<uint32_t>(reflect(int64_t{y} + 2, height_)), slot(int64_t{y} + 2));
        const float* r[5];
        for (int k = 0; k < 5; ++k) r[k] = slot(int64_t{y} - 2 + k) + 2;
        // The row's non-green colour X (at its non-green sites and left and right of its
        // greens) and the other one, Y, above and below them.
        const int first = bayerColour(format_.bayer, 0, y),
                  second = bayerColour(format_.bayer, 1, y);
        const int X = first == 1 ? second : first;
        const float* green = &greenMask_[(first == 1 ? 0 : 1) * size_t{width_}];
        if (gradient)
            demosaicRow<true>(r[0], r[1], r[2], r[3], r[4], width_, green, planes[X], planes[1],
                              planes[2 - X]);
        else
            demosaicRow<false>(r[0], r[1], r[2], r[3], r[4], width_, green, planes[X], planes[1],
                               planes[2 - X]);
        if (wide)
            colourRow<true>(planes[0], planes[1], planes[2], width_, matrix_, indices_.data());
        else
            colourRow<false>(planes[0], planes[1], planes[2], width_, matrix_, indices_.data());

        uint8_t* dst = target.data + (size_t{image} * height_ + y) * target.stride;
        const bool be = target.bigEndian;
        switch (target.layout) {
            case IspLayout::Rgb8:
                storeRow<IspLayout::Rgb8>(indices_.data(), width_, shown8_.data(), be, dst);
                break;
            case IspLayout::Bgrx8:
                storeRow<IspLayout::Bgrx8>(indices_.data(), width_, shown8_.data(), be, dst);
                break;
            case IspLayout::Rgb16:
                storeRow<IspLayout::Rgb16>(indices_.data(), width_, shown16_.data(), be, dst);
                break;
            case IspLayout::Rgba16:
                storeRow<IspLayout::Rgba16>(indices_.data(), width_, shown16_.data(), be, dst);
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
    // Divided rather than multiplied: a huge stride must not wrap into a small product.
    if (target.bytes < rowOut ||
        (rows_ > 1 && (target.bytes - rowOut) / (rows_ - 1) < target.stride))
        return false;

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
