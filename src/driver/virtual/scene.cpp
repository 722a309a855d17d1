#include "driver/virtual/scene.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#ifdef VEXO_WITH_PNG
#include <png.h>
#endif

namespace vexo::driver::virt {

const std::array<Rgb, 24> kChartColours = {{
    {115, 82, 68},   {194, 150, 130}, {98, 122, 157}, {87, 108, 67},   {133, 128, 177},
    {103, 189, 170}, {214, 126, 44},  {80, 91, 166},  {193, 90, 99},   {94, 60, 108},
    {157, 188, 64},  {224, 163, 46},  {56, 61, 150},  {70, 148, 73},   {175, 54, 60},
    {231, 199, 31},  {187, 86, 149},  {8, 133, 161},  {243, 243, 242}, {200, 200, 200},
    {160, 160, 160}, {122, 122, 121}, {85, 85, 85},   {52, 52, 52},
}};

unsigned chartPatch(uint32_t x, uint32_t y, uint32_t width, uint32_t height) {
    const uint32_t columnWidth = width / 6, rowHeight = height / 4;
    const uint32_t column = columnWidth ? std::min(x / columnWidth, 5u) : 5u;
    const uint32_t row = rowHeight ? std::min(y / rowHeight, 3u) : 3u;
    return row * 6 + column;
}

namespace {

struct LinearTable {
    std::array<float, 256> v;
    LinearTable() {
        for (int i = 0; i < 256; ++i) {
            const double c = i / 255.0;
            v[i] =
                static_cast<float>(c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4));
        }
    }
};

const LinearTable& linearTable() {
    static const LinearTable table;
    return table;
}

// Source samples and weights of each output sample when `from` samples become `to`.
struct Tap {
    uint32_t index;
    float weight;
};
std::vector<std::vector<Tap>> resampleTaps(uint32_t from, uint32_t to) {
    std::vector<std::vector<Tap>> taps(to);
    const double ratio = double(from) / to;
    for (uint32_t i = 0; i < to; ++i) {
        if (ratio > 1) {
            // Shrinking: the source pixels the output pixel covers, by how much they do.
            const double a = i * ratio, b = (i + 1) * ratio;
            for (uint32_t s = static_cast<uint32_t>(a); s < from && s < b; ++s) {
                const double w = std::min<double>(b, s + 1) - std::max<double>(a, s);
                if (w > 0) taps[i].push_back({s, static_cast<float>(w / ratio)});
            }
        } else {
            const double c = std::clamp((i + 0.5) * ratio - 0.5, 0.0, double(from - 1));
            const uint32_t s = static_cast<uint32_t>(c);
            const double f = c - s;
            taps[i].push_back({s, static_cast<float>(1 - f)});
            if (f > 0 && s + 1 < from) taps[i].push_back({s + 1, static_cast<float>(f)});
        }
    }
    return taps;
}

}  // namespace

float srgbToLinear(uint8_t v) {
    return linearTable().v[v];
}

uint8_t linearToSrgb(double v) {
    v = std::clamp(v, 0.0, 1.0);
    const double c = v <= 0.0031308 ? v * 12.92 : 1.055 * std::pow(v, 1 / 2.4) - 0.055;
    return static_cast<uint8_t>(std::lround(c * 255));
}

std::vector<Rgb> scaleSceneImage(const SceneImage& image, uint32_t width, uint32_t height) {
    if (image.width == width && image.height == height) return image.pixels;
    std::vector<Rgb> out(size_t{width} * height);
    if (image.width == 0 || image.height == 0) return out;
    const auto across = resampleTaps(image.width, width);
    const auto down = resampleTaps(image.height, height);
    // Rows first, in linear light, then columns.
    std::vector<float> rows(size_t{width} * image.height * 3);
    for (uint32_t y = 0; y < image.height; ++y)
        for (uint32_t x = 0; x < width; ++x) {
            float sum[3] = {};
            for (const Tap& t : across[x]) {
                const Rgb& p = image.pixels[size_t{y} * image.width + t.index];
                sum[0] += t.weight * srgbToLinear(p.r);
                sum[1] += t.weight * srgbToLinear(p.g);
                sum[2] += t.weight * srgbToLinear(p.b);
            }
            std::memcpy(&rows[(size_t{y} * width + x) * 3], sum, sizeof sum);
        }
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) {
            double sum[3] = {};
            for (const Tap& t : down[y])
                for (int c = 0; c < 3; ++c)
                    sum[c] += t.weight * rows[(size_t{t.index} * width + x) * 3 + c];
            out[size_t{y} * width + x] = {linearToSrgb(sum[0]), linearToSrgb(sum[1]),
                                          linearToSrgb(sum[2])};
        }
    return out;
}

#ifdef VEXO_WITH_PNG

std::shared_ptr<const SceneImage> loadSceneImage(const std::string& path, std::string& error) {
    png_image png;
    std::memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&png, path.c_str())) {
        error = path + ": " + png.message;
        return nullptr;
    }
    // The simplified reader converts any PNG to 8-bit RGB; 16-bit files lose their low bits.
    png.format = PNG_FORMAT_RGB;
    if (png.width == 0 || png.height == 0 || png.width > 16384 || png.height > 16384) {
        png_image_free(&png);
        error = path + ": a picture of 1..16384 pixels each way is needed";
        return nullptr;
    }
    auto image = std::make_shared<SceneImage>();
    image->width = png.width;
    image->height = png.height;
    image->pixels.resize(size_t{png.width} * png.height);
    static_assert(sizeof(Rgb) == 3);
    if (!png_image_finish_read(&png, nullptr, image->pixels.data(), 0, nullptr)) {
        error = path + ": " + png.message;
        png_image_free(&png);
        return nullptr;
    }
    return image;
}

#else

std::shared_ptr<const SceneImage> loadSceneImage(const std::string& path, std::string& error) {
    error = path + ": this build reads no PNG files (built without libpng)";
    return nullptr;
}

#endif

}  // namespace vexo::driver::virt
