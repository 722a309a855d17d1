// The layer's frame layout against what the engine delivers: a virtual board streams each of
// its formats at each pixel-byte count, and every frame the library hands over must have the
// layer's byte count (JPEG: no more than it), its rows and its stride.
#include <gtest/gtest.h>

#include <string>
#include <vexo/frame_layout.hpp>

#include "cpp/cpp_fixture.h"

namespace vexo::cpptest {
namespace {

struct LayoutCase {
    virt::PixelFormat board;
    FormatMode format;
    uint8_t pixelBytes;
    uint32_t images;  // pictures one below the other in a frame
};

std::string caseName(const testing::TestParamInfo<LayoutCase>& info) {
    return std::string(virt::kPixelFormatNames[static_cast<int>(info.param.board)]) + "_" +
           std::to_string(info.param.pixelBytes) + "byte";
}

class FrameLayoutTest : public CppTest, public testing::WithParamInterface<LayoutCase> {};

TEST_P(FrameLayoutTest, FramesTheEngineDeliversHaveTheLayersLayout) {
    const LayoutCase& c = GetParam();
    virt::BoardConfig board = smallBoard(48, 20);
    board.stream.format = c.board;
    board.stream.pixelBytes = c.pixelBytes;
    add(board);

    Config config = configFor(board);
    config.format = c.format;
    const FrameLayout layout = frameLayout(config);
    ASSERT_TRUE(layout.known);
    EXPECT_EQ(layout, frameLayout(config.toCameraConfig())) << "both configuration types";

    Camera camera = Camera::openFirst(config);
    unsigned frames = 0;
    for (const Frame& frame : camera.frames(3)) {
        ++frames;
        ASSERT_TRUE(layout.whole(frame.size())) << frame.size() << " bytes";
        EXPECT_LE(frame.size() * 2, layout.slotBytes) << "a slot holds twice a frame";
        if (c.format == FORMAT_MODE_JPG) {
            EXPECT_FALSE(layout.exact);
            EXPECT_LE(frame.size(), layout.bytes);
            ASSERT_GE(frame.size(), 2u);
            EXPECT_EQ(frame.bytes()[0], 0xFF);
            EXPECT_EQ(frame.bytes()[1], 0xD8);
            continue;
        }
        EXPECT_TRUE(layout.exact);
        EXPECT_EQ(frame.size(), layout.bytes);
        EXPECT_EQ(layout.images, c.images);
        EXPECT_EQ(layout.rows, c.images * board.stream.height);
        EXPECT_EQ(layout.stride * layout.rows, frame.size());
        EXPECT_EQ(layout.stride, size_t{layout.width} * layout.sampleBytes);
    }
    EXPECT_EQ(frames, 3u);
}

constexpr LayoutCase kCases[] = {
    {virt::PixelFormat::Raw, FORMAT_MODE_RAW, 1, 1},
    {virt::PixelFormat::Raw, FORMAT_MODE_RAW, 2, 1},
    {virt::PixelFormat::Mon, FORMAT_MODE_MON, 1, 1},
    {virt::PixelFormat::Mon, FORMAT_MODE_MON, 2, 1},
    {virt::PixelFormat::Rgb, FORMAT_MODE_RGB, 1, 1},
    {virt::PixelFormat::Rgb, FORMAT_MODE_RGB, 2, 1},
    {virt::PixelFormat::Yuv, FORMAT_MODE_YUV, 1, 1},
    {virt::PixelFormat::Yuv, FORMAT_MODE_YUV, 2, 1},
    {virt::PixelFormat::Jpg, FORMAT_MODE_JPG, 1, 0},
    {virt::PixelFormat::Jpg, FORMAT_MODE_JPG, 2, 0},
    {virt::PixelFormat::RawD, FORMAT_MODE_RAW_D, 1, 2},
    {virt::PixelFormat::RawD, FORMAT_MODE_RAW_D, 2, 2},
    {virt::PixelFormat::MonD, FORMAT_MODE_MON_D, 1, 2},
    {virt::PixelFormat::MonD, FORMAT_MODE_MON_D, 2, 2},
};
INSTANTIATE_TEST_SUITE_P(EveryFormat, FrameLayoutTest, testing::ValuesIn(kCases), caseName);

}  // namespace
}  // namespace vexo::cpptest
