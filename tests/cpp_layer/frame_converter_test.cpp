// Frame conversion and image files: each pixel format turned into the colours a viewer must
// show, with the Bayer order, sample width and significant bits honoured.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <random>
#include <vexo/frame_converter.hpp>
#include <vexo/image_files.hpp>

#include "frame_format_of.h"
#include "tools/support/image_reader.h"
#include "tools/support/tool_runner.h"

using namespace vexo;
using vexo::tools::test::DecodedImage;
using vexo::tools::test::ScratchDir;

namespace {

struct Rgb {
    int r, g, b;
};

FrameFormat format(uint32_t w, uint32_t h, FormatMode mode, uint8_t bytes = 1, uint8_t bits = 8,
                   RawMode bayer = RAW_RG) {
    return test::frameFormatOf(mode, w, h, bytes, bits, bayer);
}

// A mosaic of a uniform colour, sampled as the given Bayer order would see it.
std::vector<uint8_t> mosaicOf(Rgb c, uint32_t w, uint32_t h, RawMode bayer) {
    std::vector<uint8_t> m(size_t{w} * h);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            const int ch = bayerColour(bayer, x, y);
            m[y * w + x] = static_cast<uint8_t>(ch == 0 ? c.r : ch == 1 ? c.g : c.b);
        }
    return m;
}

Rgb pixelAt(const ImageView& v, uint32_t x, uint32_t y) {
    const uint8_t* p = &v.pixels[(size_t{y} * v.width + x) * 3];
    return {p[0], p[1], p[2]};
}

}  // namespace

TEST(FrameConverter, BayerOrderDecidesWhichSampleIsRed) {
    const Rgb colour{200, 100, 30};
    for (RawMode bayer : {RAW_RG, RAW_GR, RAW_GB, RAW_BG}) {
        FrameConverter conv(format(8, 6, FORMAT_MODE_RAW, 1, 8, bayer));
        ImageView v;
        ASSERT_TRUE(conv.convert(mosaicOf(colour, 8, 6, bayer), v));
        EXPECT_EQ(v.layout, PixelLayout::Rgb8);
        for (uint32_t y = 0; y < 6; ++y)
            for (uint32_t x = 0; x < 8; ++x) {
                const Rgb p = pixelAt(v, x, y);
                EXPECT_EQ(p.r, colour.r) << "bayer " << bayer << " at " << x << "," << y;
                EXPECT_EQ(p.g, colour.g) << "bayer " << bayer << " at " << x << "," << y;
                EXPECT_EQ(p.b, colour.b) << "bayer " << bayer << " at " << x << "," << y;
            }
    }
    // Read with the wrong order, red and blue swap places.
    FrameConverter wrong(format(8, 6, FORMAT_MODE_RAW, 1, 8, RAW_BG));
    ImageView v;
    ASSERT_TRUE(wrong.convert(mosaicOf(colour, 8, 6, RAW_RG), v));
    EXPECT_EQ(pixelAt(v, 3, 3).r, colour.b);
    EXPECT_EQ(pixelAt(v, 3, 3).b, colour.r);
}

TEST(FrameConverter, TwoByteSamplesScaleBySignificantBits) {
    // 10-bit little-endian words: 1023 is full scale, 512 about half.
    const std::array<uint16_t, 4> words{1023, 512, 0, 2000};
    std::vector<uint8_t> frame;
    for (uint16_t w : words) {
        frame.push_back(static_cast<uint8_t>(w));
        frame.push_back(static_cast<uint8_t>(w >> 8));
    }
    FrameConverter mono(format(4, 1, FORMAT_MODE_MON, 2, 10));
    ImageView v;
    ASSERT_TRUE(mono.convert(frame, v));
    EXPECT_EQ(v.layout, PixelLayout::Gray16);
    auto sample = [&](size_t i) { return v.pixels[2 * i] << 8 | v.pixels[2 * i + 1]; };
    EXPECT_EQ(sample(0), 65535);
    EXPECT_NEAR(sample(1), 32800, 40);
    EXPECT_EQ(sample(2), 0);
    EXPECT_EQ(sample(3), 65535) << "values above the significant bits are clipped";

    // The same words as a RAW mosaic: 8-bit output scaled from 10 bits.
    std::vector<uint8_t> raw;
    for (int i = 0; i < 4; ++i) {
        raw.push_back(0xFF);  // 1023 everywhere: white
        raw.push_back(0x03);
    }
    FrameConverter rawConv(format(2, 2, FORMAT_MODE_RAW, 2, 10));
    ASSERT_TRUE(rawConv.convert(raw, v));
    EXPECT_EQ(pixelAt(v, 1, 1).r, 255);
    EXPECT_EQ(pixelAt(v, 1, 1).g, 255);
    EXPECT_EQ(pixelAt(v, 1, 1).b, 255);

    // Wide: a 2x2 RGGB cell of 10-bit 1023, 512, 0, 2000 debayers to 16-bit RGB, each pixel
    // keeping its own sample exactly (scaled to 16 bits) and taking the others' means.
    FrameFormat wide = format(2, 2, FORMAT_MODE_RAW, 2, 10);
    wide.wideRgb = true;
    FrameConverter wideConv(wide);
    ASSERT_TRUE(wideConv.convert(frame, v));
    ASSERT_EQ(v.layout, PixelLayout::Rgb16);
    ASSERT_EQ(v.pixels.size(), 2u * 2 * 6);
    auto wideAt = [&](uint32_t x, uint32_t y, int c) {
        const size_t i = ((size_t{y} * 2 + x) * 3 + c) * 2;
        return v.pixels[i] << 8 | v.pixels[i + 1];
    };
    const int half = (512 * 65535 + 511) / 1023;
    EXPECT_EQ(wideAt(0, 0, 0), 65535) << "red site keeps its red";
    EXPECT_EQ(wideAt(1, 0, 1), half) << "green site keeps its green";
    EXPECT_EQ(wideAt(1, 1, 2), 65535) << "2000 clips to full scale";
    EXPECT_EQ(wideAt(0, 0, 1), (half + 0 + 1) / 2) << "green at red: mean of the two greens";
}

TEST(FrameConverter, Rgb565AndYuyvGiveTheEncodedColours) {
    // RGB565 little-endian: pure red, green, blue, white.
    const std::vector<uint8_t> rgb565{0x00, 0xF8, 0xE0, 0x07, 0x1F, 0x00, 0xFF, 0xFF};
    FrameConverter rgb(format(4, 1, FORMAT_MODE_RGB));
    ImageView v;
    ASSERT_TRUE(rgb.convert(rgb565, v));
    const std::array<Rgb, 4> want{{{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}}};
    for (uint32_t x = 0; x < 4; ++x) {
        EXPECT_EQ(pixelAt(v, x, 0).r, want[x].r) << x;
        EXPECT_EQ(pixelAt(v, x, 0).g, want[x].g) << x;
        EXPECT_EQ(pixelAt(v, x, 0).b, want[x].b) << x;
    }

    // YUYV, BT.601 studio range: a white pair, then a red pair (Y 81, U 90, V 240).
    const std::vector<uint8_t> yuyv{235, 128, 235, 128, 81, 90, 81, 240};
    FrameConverter yuv(format(4, 1, FORMAT_MODE_YUV));
    ASSERT_TRUE(yuv.convert(yuyv, v));
    EXPECT_EQ(pixelAt(v, 0, 0).r, 255);
    EXPECT_EQ(pixelAt(v, 1, 0).g, 255);
    EXPECT_NEAR(pixelAt(v, 2, 0).r, 255, 2);
    EXPECT_NEAR(pixelAt(v, 3, 0).g, 0, 2);
    EXPECT_NEAR(pixelAt(v, 3, 0).b, 0, 2);
}

TEST(FrameConverter, ScalingTo8BitsRoundsEveryValueOfEveryWidth) {
    for (unsigned bits = 1; bits <= 16; ++bits) {
        const uint32_t max = (1u << bits) - 1;
        std::vector<uint8_t> words, out(size_t{max} + 2);
        for (uint32_t v = 0; v <= max + 1; ++v) {
            const uint32_t word = v > max ? 0xFFFF : v;  // above the bits: full scale
            words.push_back(static_cast<uint8_t>(word));
            words.push_back(static_cast<uint8_t>(word >> 8));
        }
        ASSERT_TRUE(scaleTo8Bits(words, 2, bits, out));
        for (uint32_t v = 0; v <= max + 1; ++v)
            ASSERT_EQ(out[v], (std::min(v, max) * 255 + max / 2) / max) << bits << " bits, " << v;
    }
    const std::vector<uint8_t> bytes{0, 1, 7, 200};
    std::vector<uint8_t> out(4);
    ASSERT_TRUE(scaleTo8Bits(bytes, 1, 3, out));
    EXPECT_EQ(out, (std::vector<uint8_t>{0, 36, 255, 255}));
}

// The demosaicing rule as written: the rounded mean of the same-colour samples of the 3x3
// neighbourhood that lies inside the picture; a site keeps its own sample.
std::vector<uint16_t> debayerByTheRule(const std::vector<uint16_t>& m, uint32_t w, uint32_t h,
                                       RawMode bayer) {
    std::vector<uint16_t> rgb(m.size() * 3);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            unsigned sum[3] = {}, count[3] = {};
            for (uint32_t yy = y ? y - 1 : 0; yy <= std::min(y + 1, h - 1); ++yy)
                for (uint32_t xx = x ? x - 1 : 0; xx <= std::min(x + 1, w - 1); ++xx) {
                    sum[bayerColour(bayer, xx, yy)] += m[yy * w + xx];
                    ++count[bayerColour(bayer, xx, yy)];
                }
            const int own = bayerColour(bayer, x, y);
            for (int c = 0; c < 3; ++c)
                rgb[(y * w + x) * 3 + c] = static_cast<uint16_t>(
                    c == own || !count[c] ? m[y * w + x] : (sum[c] + count[c] / 2) / count[c]);
        }
    return rgb;
}

TEST(FrameConverter, DebayeringFollowsTheRuleAtEverySiteOfRandomMosaics) {
    std::mt19937 random(7);
    const std::array<std::pair<uint32_t, uint32_t>, 7> sizes{
        {{1, 1}, {1, 5}, {6, 1}, {2, 2}, {3, 3}, {7, 5}, {16, 9}}};
    for (RawMode bayer : {RAW_RG, RAW_GR, RAW_GB, RAW_BG})
        for (auto [w, h] : sizes)
            for (uint8_t bytes : {1, 2}) {  // 8-bit samples, and 16-bit ones to 16-bit RGB
                std::vector<uint16_t> m(size_t{w} * h);
                std::vector<uint8_t> frame;
                for (uint16_t& v : m) {
                    v = static_cast<uint16_t>(random() & (bytes == 1 ? 0xFF : 0xFFFF));
                    frame.push_back(static_cast<uint8_t>(v));
                    if (bytes == 2) frame.push_back(static_cast<uint8_t>(v >> 8));
                }
                FrameFormat f = format(w, h, FORMAT_MODE_RAW, bytes, 8 * bytes, bayer);
                f.wideRgb = true;
                FrameConverter conv(f);
                ImageView v;
                ASSERT_TRUE(conv.convert(frame, v));
                const std::vector<uint16_t> want = debayerByTheRule(m, w, h, bayer);
                for (size_t i = 0; i < want.size(); ++i) {
                    const unsigned got =
                        bytes == 1 ? v.pixels[i] : (v.pixels[2 * i] << 8) | v.pixels[2 * i + 1];
                    ASSERT_EQ(got, want[i]) << w << "x" << h << " order " << bayer << " bytes "
                                            << int{bytes} << " sample " << i;
                }
            }
}

TEST(FrameConverter, BufferFunctionsMatchTheConverterAndRefuseShortBuffers) {
    const Rgb colour{40, 150, 220};
    const std::vector<uint8_t> mosaic = mosaicOf(colour, 5, 3, RAW_GB);
    FrameConverter conv(format(5, 3, FORMAT_MODE_RAW, 1, 8, RAW_GB));
    ImageView v;
    ASSERT_TRUE(conv.convert(mosaic, v));
    std::vector<uint8_t> rgb(5 * 3 * 3);
    ASSERT_TRUE(debayer8(mosaic, 5, 3, RAW_GB, rgb));
    EXPECT_TRUE(std::equal(rgb.begin(), rgb.end(), v.pixels.begin(), v.pixels.end()));

    std::vector<uint8_t> small(rgb.size() - 1);
    EXPECT_FALSE(debayer8(mosaic, 5, 3, RAW_GB, small));
    EXPECT_FALSE(debayer8(std::span(mosaic).first(14), 5, 3, RAW_GB, rgb));
    EXPECT_FALSE(yuyvToRgb(std::vector<uint8_t>(29), 5, 3, rgb));
    EXPECT_FALSE(rgb565ToRgb(std::vector<uint8_t>(32), rgb)) << "16 pixels into room for 15";
    EXPECT_FALSE(scaleTo8Bits(mosaic, 2, 17, rgb));
}

TEST(FrameConverter, SizesAndShortFrames) {
    FrameConverter doubled(format(16, 8, FORMAT_MODE_MON_D));
    EXPECT_EQ(doubled.frameBytes(), 16u * 8 * 2);
    EXPECT_EQ(doubled.imageHeight(), 16u) << "both halves, one above the other";
    FrameConverter yuv(format(16, 8, FORMAT_MODE_YUV, 1));
    EXPECT_EQ(yuv.frameBytes(), 16u * 8 * 2) << "YUYV is two bytes a pixel whatever pixel_bytes";

    ImageView v;
    std::vector<uint8_t> shortFrame(doubled.frameBytes() - 1);
    EXPECT_FALSE(doubled.convert(shortFrame, v));
    FrameConverter jpg(format(16, 8, FORMAT_MODE_JPG));
    std::vector<uint8_t> any(64);
    EXPECT_FALSE(jpg.convert(any, v)) << "JPEG frames are written as received";
}

// Formats with no picture to make are refused whatever the frame: format 7 is not a mosaic,
// and a sample count of 0 once took every frame as whole and debayered from no samples.
TEST(FrameConverter, FramesWithoutAPictureAreRefused) {
    FrameFormat seven = format(4, 2, FORMAT_MODE_RAW);
    const uint32_t seventh = 7;
    std::memcpy(&seven.format, &seventh, sizeof seventh);
    const FrameFormat cases[] = {seven, format(4, 2, FORMAT_MODE_JPG),
                                 format(4, 2, FORMAT_MODE_RAW, 0), format(4, 2, FORMAT_MODE_RAW, 3),
                                 format(4, 2, FORMAT_MODE_MON_D, 0)};
    std::vector<uint8_t> frame(4 * 2 * 2 * 8, 0x55);
    for (const FrameFormat& f : cases) {
        FrameConverter converter(f);
        ImageView v;
        EXPECT_FALSE(converter.converts()) << f.format << " x" << int{f.pixelBytes};
        EXPECT_FALSE(converter.convert(frame, v)) << f.format << " x" << int{f.pixelBytes};
    }
}

TEST(FrameConverter, DoubleRawImagesAreDebayeredEachOnItsOwn) {
    // Odd height: the second image starts in the configured order all the same, and no row
    // takes colours from the other image. 2-byte samples through the 8- and 16-bit paths.
    std::mt19937 rng(7);
    for (const uint8_t bytes : {1, 2})
        for (const bool wide : {false, true}) {
            FrameFormat one = format(6, 5, FORMAT_MODE_RAW, bytes, 8 * bytes, RAW_GB);
            one.wideRgb = wide;
            FrameFormat two = one;
            two.format = FORMAT_MODE_RAW_D;
            FrameConverter single(one), doubled(two);
            std::vector<uint8_t> frame(doubled.frameBytes());
            for (auto& b : frame) b = static_cast<uint8_t>(rng());
            const size_t half = frame.size() / 2;
            ImageView top, bottom, both;
            ASSERT_TRUE(single.convert({frame.data(), half}, top));
            const std::vector<uint8_t> upper(top.pixels.begin(), top.pixels.end());
            ASSERT_TRUE(single.convert({frame.data() + half, half}, bottom));
            ASSERT_TRUE(doubled.convert(frame, both));
            std::vector<uint8_t> expected = upper;
            expected.insert(expected.end(), bottom.pixels.begin(), bottom.pixels.end());
            EXPECT_TRUE(std::ranges::equal(both.pixels, expected)) << int{bytes} << wide;
        }
}

TEST(FrameConverter, NarrowGreyScalesTwoByteSamplesTo8Bits) {
    FrameFormat f = format(4, 1, FORMAT_MODE_MON, 2, 10);
    f.wideGrey = false;
    FrameConverter conv(f);
    const std::vector<uint8_t> frame{0, 0, 0xFF, 0x03, 0x00, 0x02, 0xFF, 0xFF};  // 0 1023 512 max
    ImageView v;
    ASSERT_TRUE(conv.convert(frame, v));
    EXPECT_EQ(v.layout, PixelLayout::Gray8);
    EXPECT_EQ(std::vector<uint8_t>(v.pixels.begin(), v.pixels.end()),
              (std::vector<uint8_t>{0, 255, 128, 255}));
}

TEST(ImageFiles, PngRoundTripInEveryLayout) {
    ScratchDir dir;
    std::string error;
    // 3x2 RGB, 8-bit grey and 16-bit grey, each with distinct samples.
    const std::vector<uint8_t> rgb{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18};
    const std::vector<uint8_t> gray16{0x12, 0x34, 0xFF, 0xFF, 0, 1, 0x80, 0, 0, 0, 0xAB, 0xCD};
    struct Case {
        PixelLayout layout;
        const std::vector<uint8_t>* bytes;
        unsigned channels, depth;
        uint16_t first, last;
    };
    for (const Case& c :
         {Case{PixelLayout::Rgb8, &rgb, 3, 8, 1, 18}, Case{PixelLayout::Gray8, &rgb, 1, 8, 1, 6},
          Case{PixelLayout::Gray16, &gray16, 1, 16, 0x1234, 0xABCD}}) {
        ImageView v{3, 2, c.layout, *c.bytes};
        const std::string path = dir.path() + "/img.png";
        ASSERT_TRUE(writePng(path.c_str(), v, error)) << error;
        DecodedImage img;
        ASSERT_TRUE(vexo::tools::test::readPng(path, img, error)) << error;
        EXPECT_EQ(img.width, 3u);
        EXPECT_EQ(img.height, 2u);
        EXPECT_EQ(img.channels, c.channels);
        EXPECT_EQ(img.bitDepth, c.depth);
        EXPECT_EQ(img.samples.front(), c.first);
        EXPECT_EQ(img.samples.back(), c.last);
    }
    EXPECT_FALSE(
        writePng("/nonexistent/dir/x.png", ImageView{3, 2, PixelLayout::Rgb8, rgb}, error));
    EXPECT_EQ(error, "/nonexistent/dir/x.png: No such file or directory");
}

TEST(ImageFiles, JpegIsCutAfterItsLastEndMarker) {
    const std::vector<uint8_t> padded{0xFF, 0xD8, 1, 0xFF, 0xD9, 2, 0xFF, 0xD9, 0, 0, 0};
    EXPECT_EQ(jpegLength(padded), 8u);
    const std::vector<uint8_t> noEnd{0xFF, 0xD8, 1, 2};
    EXPECT_EQ(jpegLength(noEnd), 4u);
    EXPECT_EQ(jpegLength({}), 0u);
}
