// What a virtual board's sensor looks at: the colour chart and pictures loaded from PNG files,
// in 8-bit sRGB, and the sRGB transfer curve that turns them into linear light.
//
// The chart is the 24-patch colour checker in 6 columns x 4 rows, row by row, without border:
// a column is width / 6 pixels wide and a row height / 4 high (integer division), the last
// column and row taking the remainder.
//
// Threading: SceneImage is immutable once loaded; the functions are reentrant.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vexo::driver::virt {

struct Rgb {
    uint8_t r = 0, g = 0, b = 0;
    bool operator==(const Rgb&) const = default;
};

/// The chart's patches in 8-bit sRGB, row by row from the top left.
extern const std::array<Rgb, 24> kChartColours;

/// Index (0..23) of the chart patch at (x, y) of a width x height chart.
unsigned chartPatch(uint32_t x, uint32_t y, uint32_t width, uint32_t height);

/// An 8-bit sRGB picture, row by row.
struct SceneImage {
    uint32_t width = 0, height = 0;
    std::vector<Rgb> pixels;
};

/// Reads a PNG file (8-bit RGB, RGBA, grey or palette; alpha is ignored). Null with the reason
/// in `error` when the file cannot be read as one.
std::shared_ptr<const SceneImage> loadSceneImage(const std::string& path, std::string& error);

/// `image` scaled to width x height: each output pixel averages, in linear light, the source
/// pixels its area covers (bilinear between source pixel centres when enlarging).
std::vector<Rgb> scaleSceneImage(const SceneImage& image, uint32_t width, uint32_t height);

/// Linear light (0..1) of an 8-bit sRGB value.
float srgbToLinear(uint8_t v);
/// The 8-bit sRGB value nearest to linear light `v` (clipped to 0..1).
uint8_t linearToSrgb(double v);

}  // namespace vexo::driver::virt
