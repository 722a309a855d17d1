#include "driver/virtual/sensor_model.h"

#include <algorithm>
#include <cmath>

namespace vexo::driver::virt {

namespace {

constexpr unsigned kGaussBits = 12;
constexpr unsigned kGaussSize = 1u << kGaussBits;

// Acklam's approximation of the normal quantile function (relative error below 1.2e-9).
double normalQuantile(double p) {
    static const double a[] = {-3.969683028665376e+01, 2.209460984245205e+02,
                               -2.759285104469687e+02, 1.383577518672690e+02,
                               -3.066479806614716e+01, 2.506628277459239e+00};
    static const double b[] = {-5.447609879822406e+01, 1.615858368580409e+02,
                               -1.556989798598866e+02, 6.680131188771972e+01,
                               -1.328068155288572e+01};
    static const double c[] = {-7.784894002430293e-03, -3.223964580411365e-01,
                               -2.400758277161838e+00, -2.549732539343734e+00,
                               4.374664141464968e+00,  2.938163982698783e+00};
    static const double d[] = {7.784695709041462e-03, 3.224671290700398e-01, 2.445134137142996e+00,
                               3.754408661907416e+00};
    const double low = 0.02425;
    if (p < low) {
        const double q = std::sqrt(-2 * std::log(p));
        return (((((c[0] * q + c[1]) * q + c[2]) * q + c[3]) * q + c[4]) * q + c[5]) /
               ((((d[0] * q + d[1]) * q + d[2]) * q + d[3]) * q + 1);
    }
    if (p > 1 - low) return -normalQuantile(1 - p);
    const double q = p - 0.5, r = q * q;
    return (((((a[0] * r + a[1]) * r + a[2]) * r + a[3]) * r + a[4]) * r + a[5]) * q /
           (((((b[0] * r + b[1]) * r + b[2]) * r + b[3]) * r + b[4]) * r + 1);
}

// Evenly spaced quantiles of the standard normal distribution, scaled so that the table's own
// variance is exactly 1 (its tails are cut near 3.5 sigma).
struct GaussTable {
    std::array<float, kGaussSize> v;
    GaussTable() {
        double sum = 0;
        std::array<double, kGaussSize> q;
        for (unsigned i = 0; i < kGaussSize; ++i) {
            q[i] = normalQuantile((i + 0.5) / kGaussSize);
            sum += q[i] * q[i];
        }
        const double norm = 1 / std::sqrt(sum / kGaussSize);
        for (unsigned i = 0; i < kGaussSize; ++i) v[i] = static_cast<float>(q[i] * norm);
    }
};

const GaussTable& gauss() {
    static const GaussTable table;
    return table;
}

uint64_t splitMix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

}  // namespace

SensorModel::SensorModel(const SensorConfig& s, uint8_t bits)
    : matrix_(s.matrix),
      gains_(s.gains),
      white_(static_cast<uint16_t>((1u << bits) - 1)),
      black_(static_cast<float>(s.blackLevel)),
      readNoise_(s.readNoise),
      fullWell_(s.fullWell),
      seed_(s.seed),
      // Light is scaled over the codes above black, so that a linear 1.0 lands on the white
      // level exactly, as a raw developer reading BlackLevel and WhiteLevel expects.
      span_(static_cast<float>((white_ - s.blackLevel) / double(white_))),
      scale_(span_) {
    gauss();  // built once, before any frame needs it
    buildNoiseTable();
}

float SensorModel::cameraLevel(const float rgb[3], SampleChannel channel) const {
    double cam[3];
    for (int i = 0; i < 3; ++i)
        cam[i] =
            (matrix_[3 * i] * rgb[0] + matrix_[3 * i + 1] * rgb[1] + matrix_[3 * i + 2] * rgb[2]) *
            gains_[i];
    if (channel == SampleChannel::Luminance)
        return static_cast<float>(0.2126 * cam[0] + 0.7152 * cam[1] + 0.0722 * cam[2]);
    return static_cast<float>(cam[static_cast<int>(channel)]);
}

bool SensorModel::setExposure(const SensorExposure& exposure) {
    if (exposure == exposure_) return false;
    const bool gainChanged = exposure.gainCode != exposure_.gainCode;
    exposure_ = exposure;
    scale_ = static_cast<float>(exposure.timeRatio() * exposure.gainRatio() * span_);
    if (gainChanged) buildNoiseTable();
    return true;
}

// Variance in codes: read noise, plus shot noise: a sample `c` codes above black holds
// c x fullWell / ((white - black) x gain) electrons, each worth (white - black) x gain /
// fullWell codes.
void SensorModel::buildNoiseTable() {
    if (!noisy()) return;
    sigma_.resize(size_t{white_} + 1);
    const double perCode =
        fullWell_ > 0 ? (white_ - double(black_)) * exposure_.gainRatio() / fullWell_ : 0;
    for (uint32_t c = 0; c <= white_; ++c) {
        const double signal = std::max(0.0, c - double(black_));
        sigma_[c] = static_cast<float>(std::sqrt(readNoise_ * readNoise_ + signal * perCode));
    }
}

uint16_t SensorModel::codeOf(double level) const {
    const double v = std::clamp(level * white_ * scale_ + black_, 0.0, double(white_));
    return static_cast<uint16_t>(v + 0.5);
}

void SensorModel::expose(uint8_t* out, uint8_t* inverted, uint8_t pixelBytes,
                         uint32_t frame) const {
    if (noisy())
        pixelBytes == 1 ? exposeAs<true, 1>(out, inverted, frame)
                        : exposeAs<true, 2>(out, inverted, frame);
    else
        pixelBytes == 1 ? exposeAs<false, 1>(out, inverted, frame)
                        : exposeAs<false, 2>(out, inverted, frame);
}

namespace {

// min/max rather than std::clamp: they compile to branch-free instructions.
inline float clip(float v, float white) {
    return std::min(std::max(v, 0.0f), white);
}

template <uint8_t kBytes>
inline void put(uint8_t* out, uint8_t* inverted, size_t i, uint16_t code, uint16_t white) {
    if constexpr (kBytes == 1) {
        out[i] = static_cast<uint8_t>(code);
        if (inverted) inverted[i] = static_cast<uint8_t>(white - code);
    } else {
        out[2 * i] = static_cast<uint8_t>(code);
        out[2 * i + 1] = static_cast<uint8_t>(code >> 8);
        if (inverted) {
            const uint16_t inv = static_cast<uint16_t>(white - code);
            inverted[2 * i] = static_cast<uint8_t>(inv);
            inverted[2 * i + 1] = static_cast<uint8_t>(inv >> 8);
        }
    }
}

}  // namespace

template <bool kNoise, uint8_t kBytes>
void SensorModel::exposeAs(uint8_t* out, uint8_t* inverted, uint32_t frame) const {
    const float scale = scale_, black = black_, white = white_;
    const float* level = levels_.data();
    const size_t n = levels_.size();
    if constexpr (!kNoise) {
        for (size_t i = 0; i < n; ++i)
            put<kBytes>(out, inverted, i,
                        static_cast<uint16_t>(clip(level[i] * scale + black, white) + 0.5f),
                        white_);
        return;
    }
    const float* table = gauss().v.data();
    const float* sigma = sigma_.data();
    uint64_t state = splitMix(seed_ ^ splitMix(frame)) | 1;  // xorshift never leaves 0
    constexpr unsigned kPerDraw = 64 / kGaussBits;           // table indices per generator step
    for (size_t i = 0; i < n;) {
        // xorshift64*: one step gives the table indices of the next kPerDraw samples.
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        uint64_t draws = state * 0x2545F4914F6CDD1Dull;
        // The high bits first: xorshift64*'s low bits are its weakest.
        for (const size_t end = std::min(n, i + kPerDraw); i < end; ++i, draws <<= kGaussBits) {
            // Light far above white stays white: the noise goes on the unclipped signal.
            const float signal = level[i] * scale + black;
            const float v = signal + sigma[static_cast<uint32_t>(clip(signal, white))] *
                                         table[draws >> (64 - kGaussBits)];
            put<kBytes>(out, inverted, i, static_cast<uint16_t>(clip(v, white) + 0.5f), white_);
        }
    }
}

}  // namespace vexo::driver::virt
