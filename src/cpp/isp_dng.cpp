#include "isp_dng.h"

#include <vexo/frame_converter.hpp>

namespace vexo {

namespace {

using Matrix = std::array<double, 9>;

Matrix multiply(const Matrix& a, const Matrix& b) {
    Matrix m{};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            for (int k = 0; k < 3; ++k) m[r * 3 + c] += a[r * 3 + k] * b[k * 3 + c];
    return m;
}

// The [colour] section refuses singular matrices; a caller's own settings may still hold
// one, and then the sRGB primaries stand in.
Matrix inverse(const Matrix& m) {
    const double det = m[0] * (m[4] * m[8] - m[5] * m[7]) - m[1] * (m[3] * m[8] - m[5] * m[6]) +
                       m[2] * (m[3] * m[7] - m[4] * m[6]);
    if (!(det > 1e-12 || det < -1e-12)) return {1, 0, 0, 0, 1, 0, 0, 0, 1};
    return {(m[4] * m[8] - m[5] * m[7]) / det, (m[2] * m[7] - m[1] * m[8]) / det,
            (m[1] * m[5] - m[2] * m[4]) / det, (m[5] * m[6] - m[3] * m[8]) / det,
            (m[0] * m[8] - m[2] * m[6]) / det, (m[2] * m[3] - m[0] * m[5]) / det,
            (m[3] * m[7] - m[4] * m[6]) / det, (m[1] * m[6] - m[0] * m[7]) / det,
            (m[0] * m[4] - m[1] * m[3]) / det};
}

// XYZ (D65) to linear sRGB.
constexpr Matrix kXyzToSrgb{3.2406, -1.5372, -0.4986, -0.9689, 1.8758,
                            0.0415, 0.0557,  -0.2040, 1.0570};

}  // namespace

DngColour dngColour(const ColourSettings& settings, RawMode bayer) {
    DngColour out;
    for (uint32_t i = 0; i < 4; ++i) {
        const uint32_t x = i & 1, y = i >> 1;
        const int c = bayerColour(bayer, x, y);
        const bool redRow = bayerColour(bayer, 0, y) == 0 || bayerColour(bayer, 1, y) == 0;
        const int site = c == 0 ? 0 : c == 2 ? 3 : redRow ? 1 : 2;
        out.black[i] = static_cast<float>(settings.blackLevel[site]);
    }
    std::array<double, 3> neutral{1, 1, 1};
    if (!settings.autoWhiteBalance)
        for (int c = 0; c < 3; ++c)
            neutral[c] = settings.whiteBalance[1] / settings.whiteBalance[c];
    const Matrix toCamera = multiply(inverse(settings.ccm), kXyzToSrgb);
    for (int r = 0; r < 3; ++r) {
        out.neutral[r] = static_cast<float>(neutral[r]);
        for (int c = 0; c < 3; ++c)
            out.xyzToCamera[r * 3 + c] = static_cast<float>(neutral[r] * toCamera[r * 3 + c]);
    }
    return out;
}

}  // namespace vexo
