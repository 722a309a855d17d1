// The virtual board's picture as the tests find it in decoded images: eight colour bars over a
// grey ramp, the bars checked at their centre columns.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

#include "tools/support/image_reader.h"

namespace vexo::tools::test {

struct Colour {
    int r, g, b;
};
// The bars from left to right.
constexpr std::array<Colour, 8> kBars{{{255, 255, 255},
                                       {255, 255, 0},
                                       {0, 255, 255},
                                       {0, 255, 0},
                                       {255, 0, 255},
                                       {255, 0, 0},
                                       {0, 0, 255},
                                       {0, 0, 0}}};

/// Checks the eight bars of an image whose bars span columns [x0, x0 + width): each bar's colour
/// at its centre column, as a median over rows [y0, y1) (robust against the marker and the
/// frame number drawn over them). 16-bit samples are compared on the 8-bit scale; a grey image
/// is compared with each bar's luma.
inline void expectBars(const DecodedImage& img, uint32_t x0, uint32_t width, uint32_t y0,
                       uint32_t y1, int tolerance, bool grey = false) {
    const int scale = img.bitDepth == 16 ? 257 : 1;
    for (size_t i = 0; i < kBars.size(); ++i) {
        const uint32_t x = x0 + static_cast<uint32_t>((2 * i + 1) * width / 16);
        const Colour want = kBars[i];
        if (grey) {
            const int luma = (77 * want.r + 150 * want.g + 29 * want.b) >> 8;
            EXPECT_NEAR(columnMedian(img, x, y0, y1, 0) / scale, luma, tolerance) << "bar " << i;
            continue;
        }
        EXPECT_NEAR(columnMedian(img, x, y0, y1, 0) / scale, want.r, tolerance)
            << "bar " << i << " red";
        EXPECT_NEAR(columnMedian(img, x, y0, y1, 1) / scale, want.g, tolerance)
            << "bar " << i << " green";
        EXPECT_NEAR(columnMedian(img, x, y0, y1, 2) / scale, want.b, tolerance)
            << "bar " << i << " blue";
    }
}

}  // namespace vexo::tools::test
