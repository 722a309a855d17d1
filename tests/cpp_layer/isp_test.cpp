// The ISP on mosaics made here from known scenes: each format and output layout renders a
// known grey and known colours, RAW_D's images stay apart, auto white balance finds the
// illuminant of a colourful scene, frames that do not fit are refused, nothing is allocated
// per frame; and the [colour] section's values and refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <vector>
#include <vexo/camera_file.hpp>
#include <vexo/isp.hpp>

#include "../common/allocation_counter.h"
#include "frame_format_of.h"

using namespace vexo;

namespace {

double srgb(double l) {
    return l <= 0.0031308 ? 12.92 * l : 1.055 * std::pow(l, 1 / 2.4) - 0.055;
}

using Scene = std::function<std::array<double, 3>(uint32_t x, uint32_t y)>;

// A sensor's frame of a scene in linear light: each site's colour times the illuminant's
// gain, plus black, in `bits` significant bits (little-endian words for two pixel bytes).
std::vector<uint8_t> sense(const FrameFormat& f, const Scene& scene, double black,
                           std::array<double, 3> illuminant) {
    const FrameLayout layout = f.layout();
    std::vector<uint8_t> frame(layout.bytes);
    const double white = std::ldexp(1.0, layout.sampleBits) - 1;
    const bool mono = f.format == FORMAT_MODE_MON || f.format == FORMAT_MODE_MON_D;
    for (uint32_t y = 0; y < layout.rows; ++y)
        for (uint32_t x = 0; x < f.width; ++x) {
            const auto rgb = scene(x, y);
            const int c = mono ? 1 : bayerColour(f.bayer, x, y % f.height);
            const double v =
                std::clamp(black + rgb[c] * illuminant[c] * (white - black), 0.0, white);
            const unsigned code = static_cast<unsigned>(std::lround(v));
            const size_t at = size_t{y} * layout.stride + x * layout.sampleBytes;
            frame[at] = static_cast<uint8_t>(code);
            if (layout.sampleBytes == 2) frame[at + 1] = static_cast<uint8_t>(code >> 8);
        }
    return frame;
}

FrameFormat formatOf(FormatMode mode, uint8_t bytes, uint8_t bits, RawMode bayer, uint32_t w = 64,
                     uint32_t h = 48) {
    return test::frameFormatOf(mode, w, h, bytes, bits, bayer);
}

struct Picture {
    std::vector<uint8_t> bytes;
    size_t stride;
    IspLayout layout;
    bool bigEndian;
    // Sample c of pixel (x, y) scaled to 0..255 (16-bit samples divided by 257).
    double at(uint32_t x, uint32_t y, int c) const {
        const size_t px = ispPixelBytes(layout);
        const uint8_t* p = &bytes[y * stride + x * px];
        const bool wide = px == 2 || px == 6 || px == 8;
        const int index = px == 4 ? 2 - c : (px <= 2 ? 0 : c);  // BGRx is reversed
        if (!wide) return p[index];
        const uint8_t* s = p + 2 * index;
        const unsigned v = bigEndian ? (s[0] << 8 | s[1]) : (s[0] | s[1] << 8);
        return v / 257.0;
    }
};

Picture render(Isp& isp, const std::vector<uint8_t>& frame, IspLayout layout,
               bool bigEndian = false, size_t pad = 3) {
    Picture p{{}, isp.width() * ispPixelBytes(layout) + pad, layout, bigEndian};
    p.bytes.assign(p.stride * isp.height(), 0xEE);
    EXPECT_TRUE(isp.process(frame, {p.bytes.data(), p.bytes.size(), p.stride, layout, bigEndian}));
    return p;
}

ColourSettings manual(double black, std::array<double, 3> gains) {
    ColourSettings s;
    s.blackLevel = {black, black, black, black};
    s.autoWhiteBalance = false;
    s.whiteBalance = gains;
    return s;
}

}  // namespace

// A grey of 18% linear light through every format, depth and layout comes out as sRGB 118
// (46% of full scale) once black level and the illuminant's gains are undone.
TEST(Isp, GreyComesOutAsItsSrgbValueInEveryFormatAndLayout) {
    struct Case {
        FormatMode mode;
        uint8_t bytes, bits;
        RawMode bayer;
        double black;
        IspLayout layout;
        bool bigEndian;
    };
    const Case cases[] = {
        {FORMAT_MODE_RAW, 1, 8, RAW_RG, 16, IspLayout::Rgb8, false},
        {FORMAT_MODE_RAW, 2, 10, RAW_GR, 64, IspLayout::Bgrx8, false},
        {FORMAT_MODE_RAW, 2, 12, RAW_GB, 256, IspLayout::Rgb16, true},
        {FORMAT_MODE_RAW_D, 2, 16, RAW_BG, 4096, IspLayout::Rgba16, false},
        {FORMAT_MODE_MON, 2, 12, RAW_RG, 200, IspLayout::Gray16, false},
        {FORMAT_MODE_MON_D, 1, 8, RAW_RG, 10, IspLayout::Rgb8, false},
        {FORMAT_MODE_MON, 2, 10, RAW_RG, 64, IspLayout::Gray8, false},
    };
    const std::array<double, 3> illuminant{0.55, 1.0, 0.7};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "format " << c.mode << " bits " << int(c.bits)
                                        << " layout " << int(c.layout));
        const FrameFormat f = formatOf(c.mode, c.bytes, c.bits, c.bayer);
        const bool mono = c.mode == FORMAT_MODE_MON || c.mode == FORMAT_MODE_MON_D;
        Isp isp(f, manual(c.black, {1 / illuminant[0], 1, 1 / illuminant[2]}));
        ASSERT_TRUE(isp.processes());
        EXPECT_EQ(isp.height(), f.layout().rows);
        const auto frame = sense(
            f,
            [](uint32_t, uint32_t) {
                return std::array{0.18, 0.18, 0.18};
            },
            c.black, mono ? std::array{1.0, 1.0, 1.0} : illuminant);
        const Picture p = render(isp, frame, c.layout, c.bigEndian);
        const double want = 255 * srgb(0.18);
        // Quantisation of 8 bits of sensor (after black) allows about a code.
        const double slack = c.bits == 8 ? 1.6 : 0.7;
        for (uint32_t y : {0u, isp.height() / 2, isp.height() - 1})
            for (uint32_t x : {0u, 31u, isp.width() - 1})
                for (int ch = 0; ch < (ispPixelBytes(c.layout) <= 2 ? 1 : 3); ++ch)
                    EXPECT_NEAR(p.at(x, y, ch), want, slack) << x << "," << y << " ch " << ch;
        if (c.layout == IspLayout::Bgrx8) {
            EXPECT_EQ(p.bytes[3], 255);
        }
        // The stride's padding is left alone.
        EXPECT_EQ(p.bytes[p.stride - 1], 0xEE);
    }
}

// Colours through a non-identity sensor matrix and its inverse as the ccm: flat patches come
// back as their sRGB values. On fine detail (a grating of light and shade, whose channels move
// together as in natural pictures) the gradient-corrected demosaic stays closer to the scene
// than bilinear.
TEST(Isp, ColourMatrixAndDemosaicRenderColoursAndDetail) {
    const FrameFormat f = formatOf(FORMAT_MODE_RAW, 2, 12, RAW_RG, 96, 64);
    // Sensor RGB = M x linear sRGB; the ccm is M's inverse.
    const double m[9] = {0.8, 0.15, 0.05, 0.1, 0.8, 0.1, 0.05, 0.2, 0.75};
    const double det = m[0] * (m[4] * m[8] - m[5] * m[7]) - m[1] * (m[3] * m[8] - m[5] * m[6]) +
                       m[2] * (m[3] * m[7] - m[4] * m[6]);
    const std::array<double, 9> inverse{
        (m[4] * m[8] - m[5] * m[7]) / det, (m[2] * m[7] - m[1] * m[8]) / det,
        (m[1] * m[5] - m[2] * m[4]) / det, (m[5] * m[6] - m[3] * m[8]) / det,
        (m[0] * m[8] - m[2] * m[6]) / det, (m[2] * m[3] - m[0] * m[5]) / det,
        (m[3] * m[7] - m[4] * m[6]) / det, (m[1] * m[6] - m[0] * m[7]) / det,
        (m[0] * m[4] - m[1] * m[3]) / det};
    auto sensorOf = [&](std::array<double, 3> s) {
        return std::array{m[0] * s[0] + m[1] * s[1] + m[2] * s[2],
                          m[3] * s[0] + m[4] * s[1] + m[5] * s[2],
                          m[6] * s[0] + m[7] * s[1] + m[8] * s[2]};
    };
    const std::array<double, 3> left{0.6, 0.2, 0.05}, right{0.05, 0.3, 0.5};
    auto grating = [](uint32_t x, uint32_t y) {
        const double v = 0.3 + 0.25 * std::sin(0.9 * x + 0.4 * y);
        return std::array{v * 0.9, v, v * 0.7};
    };
    const auto patches = sense(
        f, [&](uint32_t x, uint32_t) { return sensorOf(x < 48 ? left : right); }, 0, {1, 1, 1});
    const auto detail =
        sense(f, [&](uint32_t x, uint32_t y) { return sensorOf(grating(x, y)); }, 0, {1, 1, 1});
    double detailError[2] = {0, 0};
    for (auto demosaic : {ColourSettings::Demosaic::Gradient, ColourSettings::Demosaic::Bilinear}) {
        ColourSettings s = manual(0, {1, 1, 1});
        s.ccm = inverse;
        s.demosaic = demosaic;
        Isp isp(f, s);
        const Picture p = render(isp, patches, IspLayout::Rgb8);
        for (int c = 0; c < 3; ++c) {
            EXPECT_NEAR(p.at(10, 30, c), 255 * srgb(left[c]), 1.0);
            EXPECT_NEAR(p.at(80, 30, c), 255 * srgb(right[c]), 1.0);
        }
        const Picture d = render(isp, detail, IspLayout::Rgb8);
        for (uint32_t y = 4; y < 60; ++y)
            for (uint32_t x = 4; x < 92; ++x)
                for (int c = 0; c < 3; ++c)
                    detailError[demosaic == ColourSettings::Demosaic::Bilinear] +=
                        std::pow(d.at(x, y, c) - 255 * srgb(grating(x, y)[c]), 2);
    }
    EXPECT_LT(detailError[0] * 2, detailError[1]);  // at least 3 dB better
}

// RAW_D: two images one above the other, each demosaicked on its own: a white top image and
// a black bottom one meet without either borrowing from the other.
TEST(Isp, DualImagesAreProcessedApart) {
    const FrameFormat f = formatOf(FORMAT_MODE_RAW_D, 2, 10, RAW_GB, 32, 16);
    Isp isp(f, manual(0, {1, 1, 1}));
    const auto frame =
        sense(f,
              [](uint32_t, uint32_t y) {
                  return y < 16 ? std::array{0.9, 0.9, 0.9} : std::array{0.0, 0.0, 0.0};
              },
              0, {1, 1, 1});
    const Picture p = render(isp, frame, IspLayout::Rgb8);
    ASSERT_EQ(isp.height(), 32u);
    for (uint32_t x = 0; x < 32; ++x)
        for (int c = 0; c < 3; ++c) {
            EXPECT_NEAR(p.at(x, 15, c), 255 * srgb(0.9), 1.0);
            EXPECT_EQ(p.at(x, 16, c), 0);
        }
}

// A scene of saturated colours whose average is far from grey, with a few neutral patches:
// auto white balance finds the illuminant from the neutrals, where grey-world would not.
TEST(Isp, AutoWhiteBalanceFindsTheNeutralsOfAColourfulScene) {
    const FrameFormat f = formatOf(FORMAT_MODE_RAW, 2, 10, RAW_BG, 240, 160);
    const std::array<std::array<double, 3>, 12> patches{{{0.6, 0.1, 0.05},
                                                         {0.5, 0.3, 0.02},
                                                         {0.7, 0.5, 0.05},
                                                         {0.1, 0.4, 0.05},
                                                         {0.5, 0.05, 0.3},
                                                         {0.7, 0.25, 0.02},
                                                         {0.05, 0.1, 0.5},
                                                         {0.6, 0.6, 0.6},
                                                         {0.3, 0.3, 0.3},
                                                         {0.12, 0.12, 0.12},
                                                         {0.4, 0.08, 0.1},
                                                         {0.8, 0.6, 0.1}}};
    auto scene = [&](uint32_t x, uint32_t y) { return patches[(y / 40) * 6 % 12 + x / 40]; };
    const std::array<double, 3> illuminant{0.55, 1.0, 0.7};
    ColourSettings s;  // auto white balance by default
    Isp isp(f, s);
    const auto frame = sense(f, scene, 0, illuminant);
    const Picture p = render(isp, frame, IspLayout::Rgb16);
    const auto gains = isp.whiteBalanceGains();
    EXPECT_NEAR(gains[0], 1 / illuminant[0], 0.03 / illuminant[0]);
    EXPECT_EQ(gains[1], 1.0);
    EXPECT_NEAR(gains[2], 1 / illuminant[2], 0.03 / illuminant[2]);
    // The grey patch (column 1 of row 1) is grey.
    EXPECT_NEAR(p.at(60, 60, 0), p.at(60, 60, 1), 1.0);
    EXPECT_NEAR(p.at(60, 60, 2), p.at(60, 60, 1), 1.0);
}

// Frames and targets that do not fit are refused and nothing is written; processing frame
// after frame allocates nothing.
TEST(Isp, RefusesWhatDoesNotFitAndAllocatesNothingPerFrame) {
    const FrameFormat f = formatOf(FORMAT_MODE_RAW, 2, 10, RAW_RG);
    Isp isp(f, ColourSettings{});
    const auto frame = sense(f,
                             [](uint32_t x, uint32_t) {
                                 return std::array{x / 64.0, 0.3, 0.2};
                             },
                             0, {1, 1, 1});
    std::vector<uint8_t> out(isp.width() * 3 * isp.height(), 0xAB);
    const size_t stride = isp.width() * 3;
    EXPECT_FALSE(isp.process(std::span(frame).first(frame.size() - 1),
                             {out.data(), out.size(), stride, IspLayout::Rgb8}));
    EXPECT_FALSE(isp.process(frame, {out.data(), out.size() - 1, stride, IspLayout::Rgb8}));
    EXPECT_FALSE(isp.process(frame, {out.data(), out.size(), stride - 1, IspLayout::Rgb8}));
    EXPECT_FALSE(isp.process(frame, {out.data(), out.size(), stride, IspLayout::Gray8}));
    // A stride whose product with the rows wraps around.
    EXPECT_FALSE(isp.process(
        frame, {out.data(), out.size(), SIZE_MAX / (isp.height() - 1) + 2, IspLayout::Rgb8}));
    EXPECT_EQ(std::count(out.begin(), out.end(), 0xAB), static_cast<long>(out.size()));
    for (FormatMode mode : {FORMAT_MODE_JPG, FORMAT_MODE_RGB, FORMAT_MODE_YUV})
        EXPECT_FALSE(Isp(formatOf(mode, 2, 16, RAW_RG), ColourSettings{}).processes());

    // Pictures smaller than the demosaic's 5x5 reach, and settings no file would hold (a
    // caller's own): processed inside their buffers.
    ColourSettings wild;
    wild.ccm[4] = std::nan("");
    wild.blackLevel[0] = 1e9;
    wild.whiteBalance[2] = -1;
    for (auto [w, h] : {std::pair{1u, 1u}, {2u, 1u}, {1u, 3u}, {3u, 2u}, {5u, 5u}})
        for (FormatMode mode : {FORMAT_MODE_RAW, FORMAT_MODE_RAW_D, FORMAT_MODE_MON}) {
            const FrameFormat tiny = formatOf(mode, 2, 12, RAW_GR, w, h);
            Isp small(tiny, wild);
            const auto raw = sense(tiny,
                                   [](uint32_t, uint32_t) {
                                       return std::array{0.5, 0.5, 0.5};
                                   },
                                   0, {1, 1, 1});
            std::vector<uint8_t> px(small.width() * small.height() * 3);
            EXPECT_TRUE(
                small.process(raw, {px.data(), px.size(), small.width() * 3u, IspLayout::Rgb8}))
                << w << "x" << h;
        }

    ASSERT_TRUE(isp.process(frame, {out.data(), out.size(), stride, IspLayout::Rgb8}));
    const uint64_t before = test::allocationCount();
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(isp.process(frame, {out.data(), out.size(), stride, IspLayout::Rgb8}));
    EXPECT_EQ(test::allocationCount(), before);
}

// The [colour] section: values as written, defaults, and each mistake refused with its line.
TEST(Isp, ColourSectionValuesAndRefusals) {
    const std::string head =
        "[camera]\nwidth = 64\nheight = 48\nformat = RAW\npixel_bytes = 2\n"
        "pixel_bits = 10\ni2c_address = 0x20\ni2c_mode = 16_8\n[colour]\n";
    CameraFile file;
    std::string error;
    ASSERT_TRUE(parseCameraFile(head +
                                    "black_level = 64 66 68\nwhite_balance = 1.8 1 1.4\n"
                                    "ccm = 1.5 -0.3 -0.2 -0.2 1.4 -0.2 0 -0.5 1.5\ngamma = linear\n"
                                    "auto_exposure = on\ndemosaic = bilinear\n",
                                "c.cfg", file, error))
        << error;
    ASSERT_TRUE(file.colour);
    const ColourSettings& s = *file.colour;
    EXPECT_EQ(s.blackLevel, (std::array<double, 4>{64, 66, 66, 68}));
    EXPECT_FALSE(s.autoWhiteBalance);
    EXPECT_EQ(s.whiteBalance, (std::array<double, 3>{1.8, 1, 1.4}));
    EXPECT_EQ(s.ccm[1], -0.3);
    EXPECT_EQ(s.gamma, ColourSettings::Gamma::Linear);
    EXPECT_TRUE(s.autoExposure);
    EXPECT_EQ(s.demosaic, ColourSettings::Demosaic::Bilinear);
    ASSERT_TRUE(parseCameraFile(head, "c.cfg", file, error));
    EXPECT_EQ(*file.colour, ColourSettings{});
    ASSERT_TRUE(parseCameraFile(head.substr(0, head.find("[colour]")), "c.cfg", file, error));
    EXPECT_FALSE(file.colour);
    EXPECT_EQ(colourSettingsOf(file), ColourSettings{});

    const struct {
        const char* line;
        const char* why;
    } bad[] = {
        {"black_level = 1023", "at or above the white level 1023"},
        {"black_level = -1", "negative"},
        {"black_level = 1 2", "takes 1 or 3 or 4 numbers"},
        {"white_balance = 1 0 1", "above 0"},
        {"white_balance = grey", "auto or R G B"},
        {"ccm = 1 0 0 0 1 0 0 0 nan", "not a finite number"},
        {"ccm = 1 2 3 2 4 6 0 0 1", "singular"},
        {"ccm = 1 0 0 0 1 0 0 0", "takes 9 numbers"},
        {"gamma = 2.2", "srgb or linear"},
        {"auto_exposure = yes", "on or off"},
        {"saturation = 2", "unknown key"},
        {"gamma", "key = value"},
    };
    for (const auto& b : bad) {
        SCOPED_TRACE(b.line);
        const std::string text = head + "\n" + b.line + "\n";
        EXPECT_FALSE(parseCameraFile(text, "c.cfg", file, error));
        EXPECT_NE(error.find("c.cfg:11:"), std::string::npos) << error;
        EXPECT_NE(error.find(b.why), std::string::npos) << error;
    }
    EXPECT_FALSE(parseCameraFile(head + "gamma = srgb\ngamma = linear\n", "c.cfg", file, error));
    EXPECT_NE(error.find("c.cfg:11: key 'gamma' appears twice"), std::string::npos) << error;
}

namespace {

// A sensor's register file behind NamedControls: exposure in lines over three registers,
// analogue gain as a fixed-point multiple (as examples/configs/sensor-controls.cfg has them).
std::map<uint32_t, uint32_t> gRegisters;
Uint32 writeRegister(CameraHandle, Uint32, Uint32 reg, Uint32 value) {
    gRegisters[reg] = value;
    return USB_CAMERA_NO_ERROR;
}
Uint32 readRegister(CameraHandle, Uint32, Uint32 reg, Uint32* value) {
    *value = gRegisters[reg];
    return USB_CAMERA_NO_ERROR;
}

constexpr const char* kExposureControls = R"(
[controls]
exposure      type=integer unit=lines min=1 max=65535 default=1024 registers=0x3500,0x3501,0x3502 bits=4..23
analogue_gain type=float unit=x min=1 max=15.5 default=2 scale=128 registers=0x3508,0x3509 bits=0..10
)";

const std::array<std::array<uint8_t, 3>, 24> kChart{{
    {115, 82, 68},   {194, 150, 130}, {98, 122, 157}, {87, 108, 67},   {133, 128, 177},
    {103, 189, 170}, {214, 126, 44},  {80, 91, 166},  {193, 90, 99},   {94, 60, 108},
    {157, 188, 64},  {224, 163, 46},  {56, 61, 150},  {70, 148, 73},   {175, 54, 60},
    {231, 199, 31},  {187, 86, 149},  {8, 133, 161},  {243, 243, 242}, {200, 200, 200},
    {160, 160, 160}, {122, 122, 121}, {85, 85, 85},   {52, 52, 52},
}};

double linear(double srgb8) {
    const double v = srgb8 / 255;
    return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
}

}  // namespace

// Auto exposure on the chart from 3 stops under and 3 stops over: the neutral patch 22 comes
// within 1/3 stop of how it looks exposed right (white at the white level) in at most 10
// frames and stays there. The simulated sensor exposes each frame with the registers as they
// were when it started: a change reaches the frame after next.
TEST(Isp, AutoExposureBringsTheChartToMidGreyAndStays) {
    CameraFile file;
    std::string error;
    ASSERT_TRUE(parseCameraFile(std::string("[camera]\nwidth = 192\nheight = 128\nformat = RAW\n"
                                            "pixel_bytes = 2\npixel_bits = 10\ni2c_address = 0x20\n"
                                            "i2c_mode = 16_8\n") +
                                    kExposureControls,
                                "ae.cfg", file, error))
        << error;
    RegisterCalls calls;
    calls.write = writeRegister;
    calls.read = readRegister;
    const FrameFormat f = formatOf(FORMAT_MODE_RAW, 2, 10, RAW_RG, 192, 128);
    const double want = linear(122);  // patch 22, exposed right
    for (double stops : {-3.0, 3.0}) {
        SCOPED_TRACE(stops);
        gRegisters.clear();
        NamedControls controls(nullptr, file, calls);
        ASSERT_EQ(controls.set("exposure", 1024 * std::exp2(stops)), ControlStatus::Ok);
        ASSERT_EQ(controls.set("analogue_gain", 2), ControlStatus::Ok);
        Isp isp(f, manual(64, {1, 1, 1}));
        std::vector<uint8_t> out(size_t{192} * 128 * 3);
        double exposed = 0;  // exposure x gain the frame in flight started with
        int reachedAt = -1;
        for (int frame = 1; frame <= 20; ++frame) {
            double e = 0, g = 0;
            controls.get("exposure", e);
            controls.get("analogue_gain", g);
            const double current = e / 1024 * g / 2;
            const double factor = exposed ? exposed : current;
            exposed = current;
            const auto raw =
                sense(f,
                      [&](uint32_t x, uint32_t y) {
                          const auto& p = kChart[(y / 32) * 6 + x / 32];
                          return std::array{linear(p[0]) * factor, linear(p[1]) * factor,
                                            linear(p[2]) * factor};
                      },
                      64, {1, 1, 1});
            ASSERT_TRUE(isp.process(raw, {out.data(), out.size(), 192 * 3, IspLayout::Rgb8}));
            isp.autoExposureStep(controls);
            // Patch 22 (row 3, column 3): the middle of its 32x32 square.
            const double shown = linear(out[(size_t{112} * 192 + 112) * 3 + 1]);
            const bool within = std::fabs(std::log2(shown / want)) <= 1.0 / 3;
            if (within && reachedAt < 0) reachedAt = frame;
            if (reachedAt > 0) {
                EXPECT_TRUE(within) << "frame " << frame << " left the target";
            }
        }
        std::printf("from %+g stops: patch 22 within 1/3 stop from frame %d, %u adjustment(s)\n",
                    stops, reachedAt, isp.autoExposure().adjustments);
        EXPECT_GT(reachedAt, 0);
        EXPECT_LE(reachedAt, 10);
        EXPECT_LE(isp.autoExposure().adjustments, 6u);
    }
}
