// The picture of a virtual board in every pixel format.
#include "driver/virtual/board_picture.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include "driver/virtual/virtual_board.h"

namespace vexo::driver::virt {
namespace {

StreamConfig stream(PixelFormat format, uint32_t w = 640, uint32_t h = 480, uint8_t pb = 1) {
    StreamConfig s;
    s.format = format;
    s.width = w;
    s.height = h;
    s.pixelBytes = pb;
    return s;
}

// Point (x, y) in the middle of colour bar `bar`, clear of marker and number in frame 0.
constexpr uint32_t barX(uint32_t bar) {
    return bar * 80 + 40;
}
constexpr uint32_t kY = 200;

TEST(BoardPicture, SizesFollowTheFormat) {
    EXPECT_EQ(frameBytes(stream(PixelFormat::Raw, 640, 480, 1)), 307200u);
    EXPECT_EQ(frameBytes(stream(PixelFormat::Mon, 640, 480, 2)), 614400u);
    EXPECT_EQ(frameBytes(stream(PixelFormat::Rgb, 640, 480, 1)), 614400u);
    EXPECT_EQ(frameBytes(stream(PixelFormat::Yuv, 640, 480, 2)), 614400u);
    EXPECT_EQ(frameBytes(stream(PixelFormat::RawD, 640, 480, 2)), 1228800u);
    EXPECT_EQ(frameBytes(stream(PixelFormat::MonD, 100, 3, 1)), 600u);
    EXPECT_EQ(frameBytes(stream(PixelFormat::Jpg, 640, 480, 1)), 614400u);
    for (PixelFormat f : {PixelFormat::Raw, PixelFormat::Mon, PixelFormat::Rgb, PixelFormat::Yuv,
                          PixelFormat::RawD, PixelFormat::MonD}) {
        std::vector<uint8_t> out;
        renderFrame(stream(f, 64, 48, 2), 3, out);
        EXPECT_EQ(out.size(), frameBytes(stream(f, 64, 48, 2))) << formatName(f);
    }
}

// The renderer patches one image from frame to frame; whatever the order frames are asked
// in, each must equal a fresh rendering of that frame.
TEST(BoardPicture, PatchedFramesEqualFreshOnes) {
    const std::vector<uint32_t> order = {0, 1, 2, 57, 3, 3, 1000000, 4, 0};
    for (PixelFormat f : {PixelFormat::Raw, PixelFormat::Mon, PixelFormat::Rgb, PixelFormat::Yuv,
                          PixelFormat::RawD, PixelFormat::MonD, PixelFormat::Jpg}) {
        for (uint8_t pb : {1, 2}) {
            StreamConfig s = stream(f, 101, 37, pb);  // odd sizes: YUV pairs, marker edges
            FrameRenderer renderer(s);
            for (uint32_t n : order) {
                auto got = renderer.frame(n);
                std::vector<uint8_t> fresh;
                renderFrame(s, n, fresh);
                ASSERT_EQ(std::vector<uint8_t>(got.begin(), got.end()), fresh)
                    << formatName(f) << " pb " << int(pb) << " frame " << n;
            }
        }
    }
}

// Marker and number are drawn in runs; every pixel must still be the picture's.
TEST(BoardPicture, DrawnFramesMatchThePictureEverywhere) {
    for (auto [w, h] : {std::pair{101u, 37u}, std::pair{30u, 200u}, std::pair{640u, 480u}}) {
        PictureLayout layout(w, h);
        for (uint32_t n : {0u, 7u, 123456u}) {
            std::vector<uint8_t> mon, rgb;
            renderFrame(stream(PixelFormat::Mon, w, h), n, mon);
            renderFrame(stream(PixelFormat::Rgb, w, h), n, rgb);
            for (uint32_t y = 0; y < h; ++y)
                for (uint32_t x = 0; x < w; ++x) {
                    Rgb c = layout.pixel(n, x, y);
                    size_t i = size_t{y} * w + x;
                    ASSERT_EQ(mon[i], (77 * c.r + 150 * c.g + 29 * c.b) >> 8) << x << "," << y;
                    ASSERT_EQ(rgb[2 * i] | rgb[2 * i + 1] << 8,
                              (c.r >> 3) << 11 | (c.g >> 2) << 5 | (c.b >> 3))
                        << x << "," << y;
                }
        }
    }
}

TEST(BoardPicture, RawIsABayerMosaicOfTheBars) {
    std::vector<uint8_t> out;
    renderFrame(stream(PixelFormat::Raw), 0, out);
    auto at = [&](uint32_t x, uint32_t y) { return out[y * 640 + x]; };
    // RGGB: R at even/even, G at odd/even and even/odd, B at odd/odd.
    EXPECT_EQ(at(barX(1), kY), 255);        // yellow: red
    EXPECT_EQ(at(barX(1) + 1, kY), 255);    // green
    EXPECT_EQ(at(barX(1) + 1, kY + 1), 0);  // no blue
    EXPECT_EQ(at(barX(6), kY), 0);          // blue bar: no red
    EXPECT_EQ(at(barX(6) + 1, kY + 1), 255);
    EXPECT_EQ(at(barX(2), kY), 0);        // cyan: no red
    EXPECT_EQ(at(barX(2), kY + 1), 255);  // green

    StreamConfig bggr = stream(PixelFormat::Raw, 640, 480, 2);
    bggr.bayer = BayerOrder::BGGR;
    renderFrame(bggr, 0, out);
    auto at16 = [&](uint32_t x, uint32_t y) {
        return out[(y * 640 + x) * 2] | out[(y * 640 + x) * 2 + 1] << 8;
    };
    EXPECT_EQ(at16(barX(6), kY), 1023);  // blue first: 10 significant bits
    EXPECT_EQ(at16(barX(5), kY), 0);     // red bar has no blue
    EXPECT_EQ(at16(barX(5) + 1, kY + 1), 1023);
}

TEST(BoardPicture, MonRgbAndYuvEncodeTheBars) {
    std::vector<uint8_t> out;
    renderFrame(stream(PixelFormat::Mon), 0, out);
    EXPECT_EQ(out[kY * 640 + barX(0)], 255);
    EXPECT_EQ(out[kY * 640 + barX(7)], 0);
    EXPECT_GT(out[kY * 640 + barX(1)], out[kY * 640 + barX(6)]);  // yellow brighter than blue

    renderFrame(stream(PixelFormat::Rgb), 0, out);
    auto rgb565 = [&](uint32_t x) {
        size_t o = (size_t{kY} * 640 + x) * 2;
        return out[o] | out[o + 1] << 8;
    };
    EXPECT_EQ(rgb565(barX(0)), 0xFFFF);
    EXPECT_EQ(rgb565(barX(5)), 0xF800);  // red
    EXPECT_EQ(rgb565(barX(3)), 0x07E0);  // green

    renderFrame(stream(PixelFormat::Yuv), 0, out);
    auto yuyv = [&](uint32_t x) {
        size_t o = (size_t{kY} * 640 + x) * 2;
        return std::vector<int>{out[o], out[o + 1], out[o + 2], out[o + 3]};
    };
    EXPECT_EQ(yuyv(barX(0)), (std::vector<int>{235, 128, 235, 128}));
    EXPECT_EQ(yuyv(barX(7)), (std::vector<int>{16, 128, 16, 128}));
    std::vector<int> blue = yuyv(barX(6));
    EXPECT_GT(blue[1], 200);  // strong U
    EXPECT_LT(blue[3], 128);
}

TEST(BoardPicture, DoubleFormatsCarryAnInvertedSecondImage) {
    for (uint8_t pb : {1, 2}) {
        for (PixelFormat f : {PixelFormat::RawD, PixelFormat::MonD}) {
            std::vector<uint8_t> out;
            renderFrame(stream(f, 64, 32, pb), 9, out);
            size_t half = out.size() / 2;
            unsigned max = pb == 1 ? 255 : 1023;
            for (size_t i = 0; i < half; i += pb) {
                unsigned a = pb == 1 ? out[i] : out[i] | out[i + 1] << 8;
                unsigned b = pb == 1 ? out[half + i] : out[half + i] | out[half + i + 1] << 8;
                ASSERT_EQ(a + b, max) << i;
            }
        }
    }
}

TEST(BoardPicture, MarkerMovesAndNumberChangesOnlyWhereExpected) {
    PictureLayout layout(640, 480);
    std::vector<uint8_t> a, b;
    StreamConfig s = stream(PixelFormat::Mon);
    renderFrame(s, 10, a);
    renderFrame(s, 11, b);
    auto rects = layout.changedRects(10);
    auto rects2 = layout.changedRects(11);
    EXPECT_NE(rects[0].x0 + rects[0].y0 * 1000, rects2[0].x0 + rects2[0].y0 * 1000);
    size_t differing = 0;
    for (uint32_t y = 0; y < 480; ++y)
        for (uint32_t x = 0; x < 640; ++x) {
            if (a[y * 640 + x] == b[y * 640 + x]) continue;
            ++differing;
            bool inside = false;
            for (const auto* r : {&rects, &rects2})
                for (const PixelRect& q : *r)
                    inside = inside || (x >= q.x0 && x < q.x1 && y >= q.y0 && y < q.y1);
            ASSERT_TRUE(inside) << x << "," << y;
        }
    EXPECT_GT(differing, 100u);
    // The number is drawn: frames 10 and 17 differ inside the number's box.
    std::vector<uint8_t> c;
    renderFrame(s, 17, c);
    bool numberDiffers = false;
    for (uint32_t y = rects[1].y0; y < rects[1].y1; ++y)
        for (uint32_t x = rects[1].x0; x < rects[1].x1; ++x)
            numberDiffers = numberDiffers || a[y * 640 + x] != c[y * 640 + x];
    EXPECT_TRUE(numberDiffers);
}

TEST(BoardPicture, JpegFramesAreWholeImagesOfThePicture) {
    StreamConfig s = stream(PixelFormat::Jpg, 320, 240, 1);
    std::vector<uint8_t> jpeg;
    renderFrame(s, 5, jpeg);
    ASSERT_GT(jpeg.size(), 4u);
    EXPECT_LE(jpeg.size(), frameBytes(s));
    EXPECT_EQ(jpeg[0], 0xFF);
    EXPECT_EQ(jpeg[1], 0xD8);
    EXPECT_EQ(jpeg[jpeg.size() - 2], 0xFF);
    EXPECT_EQ(jpeg[jpeg.size() - 1], 0xD9);

    tjhandle h = tjInitDecompress();
    int w = 0, hh = 0, sub = 0, cs = 0;
    ASSERT_EQ(tjDecompressHeader3(h, jpeg.data(), jpeg.size(), &w, &hh, &sub, &cs), 0);
    EXPECT_EQ(w, 320);
    EXPECT_EQ(hh, 240);
    std::vector<uint8_t> rgb(320 * 240 * 3);
    ASSERT_EQ(tjDecompress2(h, jpeg.data(), jpeg.size(), rgb.data(), 320, 0, 240, TJPF_RGB, 0), 0);
    tjDestroy(h);
    PictureLayout layout(320, 240);
    for (uint32_t bar = 0; bar < 8; ++bar) {
        uint32_t x = bar * 40 + 20, y = 100;
        Rgb want = layout.pixel(5, x, y);
        const uint8_t* got = &rgb[(y * 320 + x) * 3];
        EXPECT_NEAR(got[0], want.r, 24) << bar;
        EXPECT_NEAR(got[1], want.g, 24) << bar;
        EXPECT_NEAR(got[2], want.b, 24) << bar;
    }
}

TEST(BoardPicture, TinyJpegStreamsAreRefused) {
    BoardConfig c;
    c.stream = stream(PixelFormat::Jpg, 8, 8, 1);  // 128 bytes: no JPEG fits
    std::string error;
    EXPECT_EQ(addVirtualBoard(c, &error), nullptr);
    EXPECT_NE(error.find("stream"), std::string::npos) << error;
}

}  // namespace
}  // namespace vexo::driver::virt
