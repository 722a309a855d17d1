// Frames of a virtual board whose chart scene shows the sensor's exposure registers: the
// board, the frames expected for an exposure, and the host's side of the registers.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "board/support/model_bus.h"
#include "board/support/stream_decoder.h"
#include "common/board_protocol.h"
#include "driver/virtual/virtual_board.h"

namespace vexo::test {

// Exposure time A = 1024 lines (power-on) and B = 4352 lines differ in two of the three
// registers, so a frame starting between the writes is exposed with a third value.
inline constexpr uint8_t kExposureA[3] = {0x00, 0x40, 0x00};
inline constexpr uint8_t kExposureB[3] = {0x01, 0x10, 0x00};

inline virt::BoardConfig registerBoard() {
    virt::BoardConfig c;
    c.stream.format = virt::PixelFormat::Raw;
    c.stream.pixelBytes = 2;
    c.stream.pixelBits = 16;
    c.scene.kind = virt::SceneConfig::Kind::Chart;
    c.stream.width = 96;
    c.stream.height = 64;
    return c;
}

inline std::vector<uint8_t> expectedFrame(const virt::BoardConfig& c, uint32_t lines,
                                          uint32_t gain) {
    std::vector<uint8_t> f;
    virt::renderFrame(c, 0, f, {lines, gain});
    return f;
}

// Writes one 16-bit-address, 8-bit-value sensor register as the host does.
inline void writeSensor(ModelBus& bus, uint16_t reg, uint8_t value) {
    ASSERT_TRUE(bus.out(board::kRequestWriteReg16_8, 0x2000, reg, {value}));
}

inline std::vector<uint8_t> nextFrame(ModelBus& bus, ChunkDecoder& d) {
    const size_t before = d.frames.size();
    while (d.frames.size() == before) {
        auto r = bus.read(1 << 20);
        EXPECT_TRUE(r);
        if (!r) return {};
        EXPECT_TRUE(d.feed(*r)) << d.why();
    }
    return d.frames.back().bytes;
}

}  // namespace vexo::test
