// The virtual sensor: scenes turned into raw codes through black level, gains, colour matrix,
// exposure, gain, noise and the white level, and its exposure registers latched at frame
// start under the group hold. Expected codes are computed here from the scene's sRGB values.
#include <gtest/gtest.h>
#ifdef VEXO_TEST_PNG
#include <png.h>
#endif

#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>

#include "board/support/sensor_frames.h"
#include "driver/virtual/virtual_board.h"

namespace vexo::test {
namespace {

using virt::BayerOrder;
using virt::PixelFormat;
using virt::SceneConfig;

constexpr uint8_t kChart[24][3] = {
    {115, 82, 68},   {194, 150, 130}, {98, 122, 157}, {87, 108, 67},   {133, 128, 177},
    {103, 189, 170}, {214, 126, 44},  {80, 91, 166},  {193, 90, 99},   {94, 60, 108},
    {157, 188, 64},  {224, 163, 46},  {56, 61, 150},  {70, 148, 73},   {175, 54, 60},
    {231, 199, 31},  {187, 86, 149},  {8, 133, 161},  {243, 243, 242}, {200, 200, 200},
    {160, 160, 160}, {122, 122, 121}, {85, 85, 85},   {52, 52, 52}};

double linear(uint8_t v) {
    const double c = v / 255.0;
    return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

// The code a sensor gives, before rounding: camera RGB of the light, one channel (3: the
// luminance), times exposure, over the codes between the black and the white level, clipped.
double expectedCode(const virt::SensorConfig& s, const double light[3], int channel, double white,
                    double k) {
    double cam[3];
    for (int i = 0; i < 3; ++i)
        cam[i] = (s.matrix[3 * i] * light[0] + s.matrix[3 * i + 1] * light[1] +
                  s.matrix[3 * i + 2] * light[2]) *
                 s.gains[i];
    const double v =
        channel == 3 ? 0.2126 * cam[0] + 0.7152 * cam[1] + 0.0722 * cam[2] : cam[channel];
    return std::clamp(v * (white - s.blackLevel) * k + s.blackLevel, 0.0, white);
}

// Colour of the mosaic at (x, y): 0 red, 1 green, 2 blue.
int mosaicChannel(BayerOrder order, uint32_t x, uint32_t y) {
    static const char* kNames[] = {"RGGB", "GRBG", "GBRG", "BGGR"};
    const char c = kNames[static_cast<int>(order)][(y & 1) * 2 + (x & 1)];
    return c == 'R' ? 0 : c == 'G' ? 1 : 2;
}

uint32_t sampleAt(const std::vector<uint8_t>& frame, uint8_t pixelBytes, uint32_t width, uint32_t x,
                  uint32_t y) {
    const size_t i = size_t{y} * width + x;
    return pixelBytes == 1 ? frame[i] : frame[2 * i] | frame[2 * i + 1] << 8;
}

virt::BoardConfig chartBoard(PixelFormat format, uint8_t bits, BayerOrder order) {
    virt::BoardConfig c;
    c.stream.width = 130;  // columns of 21 and a last one of 25; rows of 24 and one of 25
    c.stream.height = 97;
    c.stream.format = format;
    c.stream.bayer = order;
    c.stream.pixelBytes = bits > 8 ? 2 : 1;
    c.stream.pixelBits = bits;
    c.scene.kind = SceneConfig::Kind::Chart;
    return c;
}

struct ChartCase {
    PixelFormat format;
    uint8_t bits;
    BayerOrder order;
};

class ChartCodes : public ::testing::TestWithParam<ChartCase> {};

// Every patch's centre 2x2 block (so every colour of the mosaic) against codes computed from
// the chart's sRGB values, for a tinted sensor with a black level, at three exposures; the
// _D formats' second image is the first inverted.
TEST_P(ChartCodes, PatchCentresHoldTheSensorsCodes) {
    const ChartCase p = GetParam();
    virt::BoardConfig c = chartBoard(p.format, p.bits, p.order);
    const double white = (1 << p.bits) - 1;
    c.sensor.blackLevel = white / 16;
    c.sensor.gains = {0.55, 1.0, 0.7};
    c.sensor.matrix = {0.8, 0.15, 0.05, 0.1, 0.8, 0.1, 0.05, 0.25, 0.7};
    const bool mono = p.format == PixelFormat::Mon || p.format == PixelFormat::MonD;
    const uint32_t w = c.stream.width, h = c.stream.height;
    for (const virt::SensorExposure e : {virt::SensorExposure{}, virt::SensorExposure{512, 128},
                                         virt::SensorExposure{2048, 192}}) {
        std::vector<uint8_t> frame;
        virt::renderFrame(c, 7, frame, e);
        ASSERT_EQ(frame.size(), virt::frameBytes(c.stream));
        const double k = e.lines / 1024.0 * e.gainCode / 128.0;
        for (int patch = 0; patch < 24; ++patch) {
            const uint32_t col = patch % 6, row = patch / 6;
            const uint32_t x0 = col * (w / 6), x1 = col == 5 ? w : x0 + w / 6;
            const uint32_t y0 = row * (h / 4), y1 = row == 3 ? h : y0 + h / 4;
            const double light[3] = {linear(kChart[patch][0]), linear(kChart[patch][1]),
                                     linear(kChart[patch][2])};
            for (uint32_t y = (y0 + y1) / 2; y < (y0 + y1) / 2 + 2; ++y)
                for (uint32_t x = (x0 + x1) / 2; x < (x0 + x1) / 2 + 2; ++x) {
                    const int channel = mono ? 3 : mosaicChannel(p.order, x, y);
                    const double want = expectedCode(c.sensor, light, channel, white, k);
                    const uint32_t got = sampleAt(frame, c.stream.pixelBytes, w, x, y);
                    ASSERT_NEAR(got, want, 0.501)
                        << "patch " << patch + 1 << " at " << x << "," << y << " exposure x" << k;
                    if (p.format == PixelFormat::RawD || p.format == PixelFormat::MonD) {
                        const std::vector<uint8_t> second(
                            frame.begin() + static_cast<long>(frame.size() / 2), frame.end());
                        ASSERT_EQ(sampleAt(second, c.stream.pixelBytes, w, x, y), white - got);
                    }
                }
        }
    }
}

std::vector<ChartCase> chartCases() {
    std::vector<ChartCase> cases;
    for (PixelFormat f : {PixelFormat::Raw, PixelFormat::Mon})
        for (uint8_t bits : {8, 10, 12, 16})
            for (int order = 0; order < 4; ++order)
                if (f == PixelFormat::Raw || order == 0)
                    cases.push_back({f, bits, static_cast<BayerOrder>(order)});
    cases.push_back({PixelFormat::RawD, 12, BayerOrder::GBRG});
    cases.push_back({PixelFormat::MonD, 10, BayerOrder::RGGB});
    return cases;
}

std::string chartCaseName(const ::testing::TestParamInfo<ChartCase>& info) {
    const char* orders[] = {"RGGB", "GRBG", "GBRG", "BGGR"};
    return std::string(virt::formatName(info.param.format)) + "_" +
           std::to_string(info.param.bits) + "_" + orders[static_cast<int>(info.param.order)];
}

INSTANTIATE_TEST_SUITE_P(Sensor, ChartCodes, ::testing::ValuesIn(chartCases()), chartCaseName);

// Samples of one colour inside a patch, away from its edges.
std::vector<double> patchSamples(const virt::BoardConfig& c, const std::vector<uint8_t>& frame,
                                 int patch, int channel) {
    const uint32_t w = c.stream.width, h = c.stream.height;
    const uint32_t col = patch % 6, row = patch / 6;
    std::vector<double> out;
    for (uint32_t y = row * (h / 4) + 4; y < (row + 1) * (h / 4) - 4; ++y)
        for (uint32_t x = col * (w / 6) + 4; x < (col + 1) * (w / 6) - 4; ++x)
            if (mosaicChannel(c.stream.bayer, x, y) == channel)
                out.push_back(sampleAt(frame, c.stream.pixelBytes, w, x, y));
    return out;
}

void meanAndDeviation(const std::vector<double>& v, double& mean, double& sd) {
    mean = 0;
    for (double x : v) mean += x;
    mean /= static_cast<double>(v.size());
    double var = 0;
    for (double x : v) var += (x - mean) * (x - mean);
    sd = std::sqrt(var / static_cast<double>(v.size() - 1));
}

// Read noise alone, then with shot noise: the deviation of a flat patch matches the model,
// the mean stays the clean code, and the noise is the seed's and the frame's alone.
TEST(Sensor, NoiseFollowsReadNoiseAndShotNoise) {
    virt::BoardConfig c = chartBoard(PixelFormat::Raw, 12, BayerOrder::RGGB);
    c.stream.width = 1200;
    c.stream.height = 800;  // patches of 200 x 200
    c.sensor.blackLevel = 256;
    c.sensor.readNoise = 3;
    c.sensor.seed = 42;
    const double white = 4095;
    for (double fullWell : {0.0, 20000.0}) {
        c.sensor.fullWell = fullWell;
        std::vector<uint8_t> frame;
        virt::renderFrame(c, 3, frame);
        for (int patch : {18, 21, 23}) {  // bright, mid and dark neutral patches
            double mean = 0, sd = 0;
            meanAndDeviation(patchSamples(c, frame, patch, 1), mean, sd);
            const double g = linear(kChart[patch][1]);
            const double clean = g * (white - 256) + 256;
            const double shot = fullWell > 0 ? (clean - 256) * (white - 256) / fullWell : 0;
            const double samples = static_cast<double>(patchSamples(c, frame, patch, 1).size());
            EXPECT_NEAR(mean, clean, 4 * std::sqrt((9 + shot) / samples)) << patch;
            EXPECT_NEAR(sd, std::sqrt(9 + shot), 0.05 * std::sqrt(9 + shot))
                << "patch " << patch + 1 << " full well " << fullWell;
        }
        std::vector<uint8_t> again, next;
        virt::renderFrame(c, 3, again);
        virt::renderFrame(c, 4, next);
        EXPECT_EQ(frame, again);
        EXPECT_NE(frame, next);
        c.sensor.seed = 43;
        virt::renderFrame(c, 3, again);
        EXPECT_NE(frame, again);
        c.sensor.seed = 42;
    }
}

// Light above the white level clips at it, whatever the black level, exposure or noise; and
// with the defaults a white scene reaches the white level exactly.
TEST(Sensor, ClipsAtTheWhiteLevel) {
    for (uint8_t bits : {8, 10, 16}) {
        virt::BoardConfig c = chartBoard(PixelFormat::Raw, bits, BayerOrder::BGGR);
        const uint32_t white = (1u << bits) - 1;
        c.sensor.readNoise = 2;
        c.sensor.blackLevel = 10;
        std::vector<uint8_t> frame;
        virt::renderFrame(c, 0, frame, {4096, 512});  // x16: every patch above white
        uint32_t top = 0;
        for (size_t i = 0; i < frame.size() / c.stream.pixelBytes; ++i)
            top = std::max(top, sampleAt(frame, c.stream.pixelBytes, c.stream.width,
                                         static_cast<uint32_t>(i % c.stream.width),
                                         static_cast<uint32_t>(i / c.stream.width)));
        EXPECT_EQ(top, white) << int(bits);
        // The brightest patch (19) fully clipped: every sample exactly white.
        for (int ch = 0; ch < 3; ++ch)
            for (double v : patchSamples(c, frame, 18, ch)) ASSERT_EQ(v, white) << int(bits);
    }
}

#ifdef VEXO_TEST_PNG
std::string writePng(const std::string& name, uint32_t w, uint32_t h,
                     const std::vector<uint8_t>& rgb) {
    const std::string path = (std::filesystem::temp_directory_path() / name).string();
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    png.width = w;
    png.height = h;
    png.format = PNG_FORMAT_RGB;
    EXPECT_TRUE(png_image_write_to_file(&png, path.c_str(), 0, rgb.data(), 0, nullptr));
    return path;
}

// A PNG written here, as the scene: at the frame's size each sample is the picture's pixel
// through the sensor (white reaching the white level exactly); scaled, flat areas keep their
// colour; and a file that is no PNG is refused with its key.
TEST(Sensor, ImageSceneFromAPng) {
    const uint32_t w = 64, h = 48;
    std::vector<uint8_t> rgb(size_t{w} * h * 3);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            uint8_t* p = &rgb[(size_t{y} * w + x) * 3];
            if (x < w / 2) {  // left: white above, a gradient below
                p[0] = p[1] = p[2] = y < h / 2 ? 255 : static_cast<uint8_t>(x * 7);
            } else {  // right: a colour
                p[0] = 200, p[1] = 40, p[2] = static_cast<uint8_t>(y * 5);
            }
        }
    const std::string path = writePng("vexo-scene-test.png", w, h, rgb);
    std::string error;
    std::vector<virt::BoardConfig> boards;
    ASSERT_TRUE(virt::parseBoardsJson(
        R"({"boards": [{"scene": {"image": ")" + path +
            R"("}, "stream": {"width": 64, "height": 48, "pixelBytes": 2, "bayer": "GRBG"}}]})",
        boards, error))
        << error;
    virt::BoardConfig& c = boards[0];
    std::vector<uint8_t> frame;
    virt::renderFrame(c, 5, frame);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            const uint8_t* p = &rgb[(size_t{y} * w + x) * 3];
            const double light[3] = {linear(p[0]), linear(p[1]), linear(p[2])};
            const int ch = mosaicChannel(BayerOrder::GRBG, x, y);
            ASSERT_NEAR(sampleAt(frame, 2, w, x, y), expectedCode(c.sensor, light, ch, 65535, 1),
                        0.501)
                << x << "," << y;
        }
    EXPECT_EQ(sampleAt(frame, 2, w, 0, 0), 65535u);

    // Twice the size: the white area stays white, the colour keeps its red.
    c.stream.width = 128;
    c.stream.height = 96;
    c.scene.kind = SceneConfig::Kind::Image;
    virt::renderFrame(c, 0, frame);
    EXPECT_EQ(sampleAt(frame, 2, 128, 20, 20), 65535u);
    const double red =
        expectedCode(c.sensor, std::array{linear(200), 0.0, 0.0}.data(), 0, 65535, 1);
    EXPECT_NEAR(sampleAt(frame, 2, 128, 101, 40), red, 0.501);  // GRBG: odd x, even y is red

    std::FILE* f = std::fopen(path.c_str(), "wb");
    std::fputs("not a picture", f);
    std::fclose(f);
    EXPECT_FALSE(virt::parseBoardsJson(R"({"boards": [{"scene": {"image": ")" + path + R"("}}]})",
                                       boards, error));
    EXPECT_EQ(error.rfind("boards[0].scene.image: " + path, 0), 0u) << error;
    std::filesystem::remove(path);
}
#endif

// The JSON keys reach the configuration, and values a frame cannot be made of are refused
// with their key.
TEST(Sensor, JsonKeysAndRefusals) {
    std::vector<virt::BoardConfig> boards;
    std::string error;
    ASSERT_TRUE(virt::parseBoardsJson(R"({"boards": [{"scene": "chart",
        "sensor": {"blackLevel": 64, "gains": [0.55, 1, 0.7], "readNoise": 2, "seed": 7,
                   "fullWell": 9000, "matrix": [0.9, 0.1, 0, 0, 1, 0, 0.2, -0.2, 1]},
        "stream": {"pixelBytes": 2, "pixelBits": 10}}]})",
                                      boards, error))
        << error;
    const virt::BoardConfig& b = boards[0];
    EXPECT_EQ(b.scene.kind, SceneConfig::Kind::Chart);
    EXPECT_EQ(b.sensor.blackLevel, 64);
    EXPECT_EQ(b.sensor.gains[2], 0.7);
    EXPECT_EQ(b.sensor.matrix[7], -0.2);
    EXPECT_EQ(b.sensor.seed, 7u);
    EXPECT_EQ(b.sensor.fullWell, 9000);
    EXPECT_EQ(b.stream.pixelBits, 10);
    ASSERT_TRUE(virt::parseBoardsJson(
        R"({"boards": [{"scene": {"kind": "bars", "marker": false, "frameNumber": false}}]})",
        boards, error))
        << error;
    EXPECT_EQ(boards[0].scene.marker, false);

    const std::pair<const char*, const char*> refused[] = {
        {R"("stream": {"pixelBits": 9})",
         "boards[0].stream.pixelBits: expected 8..8 with 1 pixel byte(s)"},
        {R"("stream": {"pixelBytes": 2, "pixelBits": 17})",
         "boards[0].stream.pixelBits: expected 8..16 with 2 pixel byte(s)"},
        {R"("sensor": {"blackLevel": 255})",
         "boards[0].sensor.blackLevel: expected 0 up to below the white level 255"},
        {R"("sensor": {"matrix": [1, 0, 0, 0, 1, 0, 0, 0, 0.5]})",
         "boards[0].sensor.matrix: row 2 sums to 0.500000, not 1"},
        {R"("sensor": {"matrix": [1, 0, 0]})",
         "boards[0].sensor.matrix: expected an array of 9 numbers"},
        {R"("sensor": {"gains": [1, -1, 1]})",
         "boards[0].sensor.gains: expected numbers from 0 to 1e6"},
        {R"("sensor": {"readNoise": "2"})", "boards[0].sensor.readNoise: expected a number"},
        {R"("scene": "plaid")",
         "boards[0].scene: expected \"bars\", \"chart\" or {\"image\": \"PATH\"}"},
        {R"("scene": {"kind": "image"})", "boards[0].scene.image: missing"},
        {R"("scene": {"marker": true})", "boards[0].scene: expected \"kind\" or \"image\""},
        {R"("scene": {"kind": "chart", "image": "x.png"})",
         "boards[0].scene.image: belongs to an image scene"},
    };
    for (const auto& [board, want] : refused) {
        EXPECT_FALSE(
            virt::parseBoardsJson(std::string(R"({"boards": [{)") + board + "}]}", boards, error))
            << board;
        EXPECT_EQ(error, want);
    }
}

// ---------------------------------------------------------------------------------------------
// Exposure registers

// Frame by frame: registers take effect at the next frame start; without the hold a frame
// that starts between two writes shows neither value; under the hold nothing changes until
// the hold is released, and then everything at once.
TEST(SensorRegisters, LatchedAtFrameStartAndHeldTogether) {
    const virt::BoardConfig c = registerBoard();
    ModelBus bus(c);
    ChunkDecoder d;
    ASSERT_TRUE(bus.out(0xA1));
    EXPECT_EQ(nextFrame(bus, d), expectedFrame(c, 1024, 128));
    for (int i = 0; i < 3; ++i) writeSensor(bus, 0x3500 + i, kExposureB[i]);
    EXPECT_EQ(nextFrame(bus, d), expectedFrame(c, 4352, 128));

    // Without the hold: back towards A, one register at a time.
    writeSensor(bus, 0x3500, kExposureA[0]);
    EXPECT_EQ(nextFrame(bus, d), expectedFrame(c, 256, 128));  // 0x00 0x10 0x00: neither
    writeSensor(bus, 0x3501, kExposureA[1]);
    EXPECT_EQ(nextFrame(bus, d), expectedFrame(c, 1024, 128));

    // Under the hold: exposure B and gain 2x written across frame starts.
    writeSensor(bus, 0x0104, 1);
    writeSensor(bus, 0x3500, kExposureB[0]);
    writeSensor(bus, 0x3508, 0x01);
    EXPECT_EQ(nextFrame(bus, d), expectedFrame(c, 1024, 128));
    writeSensor(bus, 0x3501, kExposureB[1]);
    writeSensor(bus, 0x3509, 0x00);
    EXPECT_EQ(nextFrame(bus, d), expectedFrame(c, 1024, 128));
    writeSensor(bus, 0x0104, 0);
    EXPECT_EQ(nextFrame(bus, d), expectedFrame(c, 4352, 256));
    // The registers read back what was written, whatever was latched.
    EXPECT_EQ(bus.model->sensorRegister(0x3501), 0x10u);
}

}  // namespace
}  // namespace vexo::test
