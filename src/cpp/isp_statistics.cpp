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

// Here, not in isp.cpp: that file is built assuming finite values, where a test for NaN would
// be folded away.
ColourSettings Isp::checked(ColourSettings s, unsigned maxCode) {
    for (double& b : s.blackLevel) b = std::clamp(std::isfinite(b) ? b : 0.0, 0.0, maxCode - 1.0);
    for (double& g : s.whiteBalance)
        if (!(g > 0) || !std::isfinite(g) || g > 64) g = 1;
    for (double& m : s.ccm)
        if (!std::isfinite(m) || std::fabs(m) > 64) m = 0;
    return s;
}

void Isp::measure(const uint8_t* frame) {
    std::fill(raw_.begin(), raw_.end(), 0);
    const unsigned clip = maxCode_ - maxCode_ / 32;
    const bool wide = format_.pixelBytes == 2;
    auto sample = [&](const uint8_t* row, uint32_t x) {
        const unsigned v = wide ? row[2 * x] | (unsigned{row[2 * x + 1]} << 8) : row[x];
        return std::min(v, maxCode_);
    };
    const CellSites sites = cellSites(format_.bayer);
    // A region is at least 16 pixels each way (or the whole picture): every fourth row of
    // 2x2 cells and every other cell of it are plenty for its means.
    const uint32_t rowStep = mono_ ? 4 : 8, columnStep = mono_ ? 2 : 4;
    const uint32_t span = mono_ ? 1 : 2;  // a cell's rows and columns
    for (uint32_t i = 0; i < images_; ++i) {
        const uint8_t* image = frame + size_t{i} * height_ * rowBytes_;
        for (uint32_t y = 0; y + span <= height_; y += rowStep) {
            uint64_t* regions = &raw_[size_t{y * gridY_ / height_} * gridX_ * kFields];
            const uint8_t* rows[2] = {image + size_t{y} * rowBytes_,
                                      image + size_t{y + span - 1} * rowBytes_};
            for (uint32_t x = 0; x + span <= width_; x += columnStep) {
                uint64_t* region = regions + regionOfColumn_[x];
                if (mono_) {
                    const unsigned v = sample(rows[0], x);
                    region[kG] += v;
                    region[kClipped] += v >= clip;
                } else {
                    const unsigned r = sample(rows[sites.y[kR]], x + sites.x[kR]);
                    const unsigned g = sample(rows[sites.y[kG]], x + sites.x[kG]);
                    const unsigned b = sample(rows[sites.y[kB]], x + sites.x[kB]);
                    region[kR] += r;
                    region[kG] += g;
                    region[kB] += b;
                    region[kClipped] += (r >= clip) | (g >= clip) | (b >= clip);
                }
                region[kCount] += 1;
            }
        }
    }
    // Region means after the black level, as fractions of the range above it (sums of
    // fractions, as the white balance weighs them).
    const auto& bl = settings_.blackLevel;
    const double black[3] = {bl[0], bl[1], bl[3]};
    for (size_t r = 0; r < raw_.size(); r += kFields) {
        const double n = static_cast<double>(raw_[r + kCount]);
        for (int c = 0; c < 3; ++c)
            sums_[r + c] = static_cast<float>(
                n ? (static_cast<double>(raw_[r + c]) - black[c] * n) / (maxCode_ - black[c]) : 0);
        sums_[r + kCount] = static_cast<float>(n);
        sums_[r + kClipped] = static_cast<float>(raw_[r + kClipped]);
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
