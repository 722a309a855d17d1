// The frame format of a test picture: the few fields a conversion test varies.
#pragma once

#include <vexo/frame_converter.hpp>

namespace vexo::test {

inline FrameFormat frameFormatOf(FormatMode mode, uint32_t w, uint32_t h, uint8_t bytes,
                                 uint8_t bits, RawMode bayer) {
    FrameFormat f;
    f.width = w;
    f.height = h;
    f.format = mode;
    f.pixelBytes = bytes;
    f.pixelBits = bits;
    f.bayer = bayer;
    return f;
}

}  // namespace vexo::test
