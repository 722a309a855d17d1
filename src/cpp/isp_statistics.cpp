// What the ISP learns from a frame before processing it: the mean raw levels of a grid of
// regions, from which auto exposure takes its level and automatic white balance its gains.
//
// White balance looks for the illuminant rather than averaging the scene: each unclipped,
// lit region votes with its chromaticity (log R/G, log B/G) into a histogram; the densest
// spot, smoothed and leaning gently towards the grey-world average, is where the scene's
// neutral surfaces are (they share the illuminant's colour, while coloured surfaces scatter),
// and the gains come from the regions around it. A scene of strong colours (the 24-patch chart)
// has a grey-world average far from grey; its six neutral patches still form the densest spot.
#include <algorithm>
#include <cmath>
#include <vexo/isp.hpp>

namespace vexo {

namespace {

constexpr int kR = 0, kG = 1, kB = 2, kCount = 3, kClipped = 4, kFields = 5;

// Offsets within the 2x2 cell at an even position of the red, the red row's green and the
// blue sample.
struct CellSites {
    uint32_t x[3], y[3];
};

CellSites cellSites(RawMode bayer) {
    CellSites s{};
    for (uint32_t y = 0; y < 2; ++y)
        for (uint32_t x = 0; x < 2; ++x) {
            const int c = bayerColour(bayer, x, y);
            const bool redRow = bayerColour(bayer, 0, y) == 0 || bayerColour(bayer, 1, y) == 0;
            if (c != 1 || redRow) s.x[c] = x, s.y[c] = y;
        }
    return s;
}

}  // namespace

void Isp::measure(const uint8_t* frame) {
    std::fill(sums_.begin(), sums_.end(), 0.f);
    const unsigned clip = maxCode_ - maxCode_ / 32;
    const bool wide = format_.pixelBytes == 2;
    auto sample = [&](const uint8_t* image, uint32_t x, uint32_t y) {
        const uint8_t* p = image + size_t{y} * rowBytes_ + (wide ? 2 * x : x);
        const unsigned v = wide ? p[0] | (unsigned{p[1]} << 8) : p[0];
        return std::min(v, maxCode_);
    };
    const auto& bl = settings_.blackLevel;
    const float scale[3] = {static_cast<float>(1 / (maxCode_ - bl[0])),
                            static_cast<float>(1 / (maxCode_ - bl[1])),
                            static_cast<float>(1 / (maxCode_ - bl[3]))};
    const float black[3] = {static_cast<float>(bl[0]), static_cast<float>(bl[1]),
                            static_cast<float>(bl[3])};
    const CellSites sites = cellSites(format_.bayer);
    // Every other row of 2x2 cells (every other row for MON) is plenty for region means.
    const uint32_t step = mono_ ? 2 : 4;
    for (uint32_t i = 0; i < images_; ++i) {
        const uint8_t* image = frame + size_t{i} * height_ * rowBytes_;
        for (uint32_t y = 0; y + (mono_ ? 0 : 1) < height_; y += step) {
            float* row = &sums_[size_t{y * gridY_ / height_} * gridX_ * kFields];
            for (uint32_t x = 0; x + (mono_ ? 0 : 1) < width_; x += mono_ ? 1 : 2) {
                float* region = row + regionOfColumn_[x];
                if (mono_) {
                    const unsigned v = sample(image, x, y);
                    region[kG] += (static_cast<float>(v) - black[1]) * scale[1];
                    region[kClipped] += v >= clip;
                } else {
                    bool clipped = false;
                    for (int c = 0; c < 3; ++c) {
                        const unsigned v = sample(image, x + sites.x[c], y + sites.y[c]);
                        region[c] += (static_cast<float>(v) - black[c]) * scale[c];
                        clipped |= v >= clip;
                    }
                    region[kClipped] += clipped;
                }
                region[kCount] += 1;
            }
        }
    }

    // Exposure: the log-average of the regions' green levels.
    double logSum = 0, counted = 0, clippedRegions = 0;
    for (size_t r = 0; r < sums_.size(); r += kFields) {
        const float* region = &sums_[r];
        if (region[kCount] == 0) continue;
        const double g = std::max(region[kG] / region[kCount], 1.0f / 4096);
        logSum += std::log(g);
        counted += 1;
        clippedRegions += region[kClipped] > 0;
    }
    if (counted > 0) {
        ae_.level = std::exp(logSum / counted);
        ae_.clipped = clippedRegions / counted;
    }
}

void Isp::findWhiteBalance() {
    constexpr double kLow = -3, kBin = 0.04;
    constexpr int kBins = static_cast<int>(kHistogramBins);
    std::fill(histogram_.begin(), histogram_.end(), 0.f);
    double sum[3] = {0, 0, 0};
    auto usable = [](const float* region) {
        if (region[kCount] == 0 || region[kClipped] > 0) return false;
        const float n = region[kCount];
        // Dark regions are mostly noise; their chromaticity says little.
        return region[kG] / n > 0.01f && region[kR] > 0 && region[kB] > 0;
    };
    auto binOf = [&](double v) { return static_cast<int>(std::floor((v - kLow) / kBin)); };
    for (size_t r = 0; r < sums_.size(); r += kFields) {
        const float* region = &sums_[r];
        if (!usable(region)) continue;
        for (int c = 0; c < 3; ++c) sum[c] += region[c];
        const int u = binOf(std::log(region[kR] / region[kG]));
        const int v = binOf(std::log(region[kB] / region[kG]));
        if (u < 0 || v < 0 || u >= kBins || v >= kBins) continue;
        // Brighter regions count more: their chromaticity is less noisy, and a scene's
        // brightest surfaces are the likeliest to be neutral.
        const float brightness = std::min(region[kG] / region[kCount] * 4, 1.0f);
        histogram_[size_t(u) * kBins + v] += 0.25f + brightness;
    }
    if (sum[kR] <= 0 || sum[kG] <= 0 || sum[kB] <= 0) return;  // nothing to go by: keep gains

    const double greyU = std::log(sum[kR] / sum[kG]), greyV = std::log(sum[kB] / sum[kG]);
    double best = 0;
    int bestU = -1, bestV = -1;
    constexpr int kReach = 2;  // smoothing: 5x5 bins, +-0.08
    for (int u = 0; u < kBins; ++u)
        for (int v = 0; v < kBins; ++v) {
            if (histogram_[size_t(u) * kBins + v] == 0) continue;
            double votes = 0;
            for (int du = -kReach; du <= kReach; ++du)
                for (int dv = -kReach; dv <= kReach; ++dv) {
                    const int uu = u + du, vv = v + dv;
                    if (uu >= 0 && vv >= 0 && uu < kBins && vv < kBins)
                        votes += histogram_[size_t(uu) * kBins + vv];
                }
            const double du = kLow + (u + 0.5) * kBin - greyU, dv = kLow + (v + 0.5) * kBin - greyV;
            const double score = votes * std::exp(-(du * du + dv * dv) / (2 * 0.8 * 0.8));
            if (score > best) best = score, bestU = u, bestV = v;
        }
    if (bestU < 0) return;

    // The gains from the regions near the peak.
    const double peakU = kLow + (bestU + 0.5) * kBin, peakV = kLow + (bestV + 0.5) * kBin;
    double near[3] = {0, 0, 0};
    for (size_t r = 0; r < sums_.size(); r += kFields) {
        const float* region = &sums_[r];
        if (!usable(region)) continue;
        const double du = std::log(region[kR] / region[kG]) - peakU;
        const double dv = std::log(region[kB] / region[kG]) - peakV;
        if (du * du + dv * dv > 0.1 * 0.1) continue;
        for (int c = 0; c < 3; ++c) near[c] += region[c];
    }
    if (near[kR] <= 0 || near[kB] <= 0) return;
    gains_ = {std::clamp(near[kG] / near[kR], 1.0 / 16, 16.0), 1.0,
              std::clamp(near[kG] / near[kB], 1.0 / 16, 16.0)};
}

}  // namespace vexo
