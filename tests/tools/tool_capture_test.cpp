// vexo capture end to end: the images it writes decode, have the configured size, and show the
// virtual board's picture (eight colour bars over a grey ramp) in every pixel format.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "tools/support/colour_bars.h"
#include "tools/support/image_reader.h"
#include "tools/support/vexo_tool.h"

using namespace vexo::tools::test;

namespace {

struct FormatCase {
    const char* name;
    const char* format;
    int pixelBytes;
    int pixelBits;
    const char* bayerCfg;   // configuration file's order
    const char* bayerJson;  // the virtual board's order
    const char* productId;  // USB 3 chunk framing or USB 2 trailer framing
    int tolerance;          // how far a decoded bar may be from the ideal colour
};

std::string configText(const FormatCase& c, uint32_t w, uint32_t h) {
    char text[512];
    std::snprintf(text, sizeof(text),
                  "[camera]\nwidth = %u\nheight = %u\nformat = %s\npixel_bytes = %d\n"
                  "pixel_bits = %d\nbayer = %s\ni2c_address = 0x20\ni2c_mode = 16_8\n",
                  w, h, c.format, c.pixelBytes, c.pixelBits, c.bayerCfg);
    return text;
}

Env boardFor(const FormatCase& c, uint32_t w, uint32_t h) {
    char json[256];
    std::snprintf(json, sizeof(json),
                  R"("productId": "%s", "stream": {"width": %u, "height": %u, "pixelBytes": %d,
                     "format": "%s", "bayer": "%s"})",
                  c.productId, w, h, c.pixelBytes, c.format, c.bayerJson);
    return boardEnv(json);
}

// The bars of a whole-width picture whose bars area is `barsHeight` rows: its middle half.
void expectBars(const DecodedImage& img, uint32_t barsHeight, int tolerance, bool grey) {
    vexo::tools::test::expectBars(img, 0, img.width, barsHeight / 4, barsHeight * 3 / 4, tolerance,
                                  grey);
}

void PrintTo(const FormatCase& c, std::ostream* os) {
    *os << c.name;
}

class CaptureFormats : public testing::TestWithParam<FormatCase> {};

}  // namespace

TEST(ToolCapture, DefaultBoardWritesThePictureAndASummary) {
    ScratchDir dir;
    const ToolRun run =
        runVexo({"capture", "--frames", "3", "--output", "frames"}, kOneBoard, dir.path());
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::vector<std::string> out = lines(run.out);
    ASSERT_GE(out.size(), 4u) << run.out;
    EXPECT_EQ(out.front(),
              "board 0 (VEXO-VIRTUAL-000): 640x480 RAW, 1 byte(s) 8 bits per pixel, "
              "Bayer RG");
    EXPECT_EQ(out[out.size() - 3].rfind("captured 3 frame(s) in ", 0), 0u) << run.out;
    EXPECT_NE(out[out.size() - 3].find(" fps, "), std::string::npos);
    EXPECT_EQ(out[out.size() - 2], "drops: none; errors: none");
    const std::string where = std::filesystem::canonical(dir.path()).string() + "/frames/";
    EXPECT_EQ(out.back(), "images: " + where + " (frame_0000.png .. frame_0002.png)");

    for (int i = 0; i < 3; ++i) {
        DecodedImage img;
        std::string error;
        char name[32];
        std::snprintf(name, sizeof(name), "frame_%04d.png", i);
        ASSERT_TRUE(readPng(where + name, img, error)) << error;
        EXPECT_EQ(img.width, 640u);
        EXPECT_EQ(img.height, 480u);
        EXPECT_EQ(img.channels, 3u);
        expectBars(img, 400, 0, false);
        // The bottom sixth is a grey ramp from black to white.
        EXPECT_LT(img.at(4, 470), 10);
        EXPECT_GT(img.at(635, 470), 245);
        EXPECT_NEAR(img.at(320, 470), 128, 3);
    }
    EXPECT_FALSE(std::filesystem::exists(where + "frame_0003.png"));
}

TEST(ToolCapture, SecondsSingleAndTriggeredFrames) {
    ScratchDir dir;
    ToolRun run = runVexo({"capture", "--seconds", "0.3", "-q", "-o", dir.path() + "/t"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(std::filesystem::exists(dir.path() + "/t/frame_0000.png"));

    run = runVexo({"capture", "--single", "-o", dir.path() + "/s"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("captured 1 frame(s)"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("image: "), std::string::npos);

    // A USB 2 board has a trigger input; one soft-triggered frame arrives.
    run = runVexo({"capture", "--trigger", "-o", dir.path() + "/g"},
                  boardEnv(R"("productId": "0x02F1")"));
    ASSERT_EQ(run.exitCode, 0) << run.err;
    DecodedImage img;
    std::string error;
    ASSERT_TRUE(readPng(dir.path() + "/g/frame_0000.png", img, error)) << error;
    expectBars(img, 400, 0, false);
    EXPECT_FALSE(std::filesystem::exists(dir.path() + "/g/frame_0001.png"));
}

TEST_P(CaptureFormats, ImagesShowTheBars) {
    const FormatCase& c = GetParam();
    const uint32_t w = 320, h = 240;
    ScratchDir dir;
    const std::string cfg = dir.write("cam.cfg", configText(c, w, h));
    const ToolRun run = runVexo({"capture", "-c", cfg, "-n", "2", "-q", "-o", dir.path() + "/f"},
                                boardFor(c, w, h));
    ASSERT_EQ(run.exitCode, 0) << run.err << run.out;

    const std::string format = c.format;
    const bool jpeg = format == "JPG";
    const bool grey = format == "MON" || format == "MON_D";
    const bool doubled = format == "RAW_D" || format == "MON_D";
    DecodedImage img;
    std::string error;
    if (jpeg)
        ASSERT_TRUE(readJpeg(dir.path() + "/f/frame_0001.jpg", img, error)) << error;
    else
        ASSERT_TRUE(readPng(dir.path() + "/f/frame_0001.png", img, error)) << error;
    EXPECT_EQ(img.width, w);
    EXPECT_EQ(img.height, doubled ? 2 * h : h);
    EXPECT_EQ(img.channels, grey ? 1u : 3u);
    // Two-byte pixels keep every significant bit: 16-bit PNG, grey or debayered.
    EXPECT_EQ(img.bitDepth, !jpeg && c.pixelBytes == 2 ? 16u : 8u);
    expectBars(img, h * 5 / 6, c.tolerance, grey);
    if (doubled) {
        // The second image is the first one's negative: the white bar is black below.
        const uint16_t top = columnMedian(img, w / 16, h / 4, h / 2, 0);
        const uint16_t bottom = columnMedian(img, w / 16, h + h / 4, h + h / 2, 0);
        EXPECT_GT(top, bottom);
    }
}

INSTANTIATE_TEST_SUITE_P(
    ToolCapture, CaptureFormats,
    testing::Values(FormatCase{"raw8_rggb", "RAW", 1, 8, "RG", "RGGB", "0x03F1", 0},
                    FormatCase{"raw10_grbg_usb2", "RAW", 2, 10, "GR", "GRBG", "0x02F1", 1},
                    FormatCase{"raw8_bggr", "RAW", 1, 8, "BG", "BGGR", "0x03F2", 0},
                    FormatCase{"mon8", "MON", 1, 8, "RG", "RGGB", "0x03F1", 1},
                    FormatCase{"mon10", "MON", 2, 10, "RG", "RGGB", "0x02F1", 1},
                    FormatCase{"rgb565", "RGB", 1, 8, "RG", "RGGB", "0x03F1", 0},
                    FormatCase{"yuyv", "YUV", 1, 8, "RG", "RGGB", "0x03F1", 3},
                    FormatCase{"jpeg", "JPG", 1, 8, "RG", "RGGB", "0x03F1", 24},
                    FormatCase{"raw_d", "RAW_D", 1, 8, "RG", "RGGB", "0x03F1", 0},
                    FormatCase{"mon_d", "MON_D", 1, 8, "RG", "RGGB", "0x03F1", 1}),
    [](const testing::TestParamInfo<FormatCase>& info) { return info.param.name; });

#ifdef VEXO_HAVE_RECORD
// vexo record end to end: a RAW10 board with a lost frame recorded by serial, the recording
// replayed by a virtual board and recorded again gives the same files, byte for byte.
TEST(ToolRecord, RecordingReplayedAndRecordedAgainGivesTheSameFiles) {
    ScratchDir dir;
    const std::string cfg = dir.write(
        "cam.cfg", configText({"raw10", "RAW", 2, 10, "GR", "GRBG", "0x03F2", 0}, 160, 120));
    const Env board = boardEnv(R"("productId": "0x03F2", "serial": "REC-1", "stream":
        {"width": 160, "height": 120, "pixelBytes": 2, "bayer": "GRBG"},
        "faults": [{"kind": "discard", "atFrame": 2}])");
    ToolRun run = runVexo(
        {"record", "--serial", "REC-1", "-c", cfg, "-n", "5", "-q", "-o", dir.path() + "/a"},
        board);
    ASSERT_EQ(run.exitCode, 0) << run.err << run.out;
    EXPECT_NE(run.out.find("recorded 5 of 5 frame(s)"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("; 0 dropped by the recorder"), std::string::npos) << run.out;

    run = runVexo({"record", "-c", cfg, "-n", "5", "-q", "-o", dir.path() + "/b"},
                  boardEnv(R"("productId": "0x03F1", "serial": "REC-1", "stream":
                               {"replay": ")" +
                           dir.path() + R"(/a", "paced": false})"));
    ASSERT_EQ(run.exitCode, 0) << run.err << run.out;
    for (int i = 0; i < 5; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "/frame_%06d.dng", i);
        std::ifstream a(dir.path() + "/a" + name, std::ios::binary);
        std::ifstream b(dir.path() + "/b" + name, std::ios::binary);
        const std::string bytesA((std::istreambuf_iterator<char>(a)), {});
        const std::string bytesB((std::istreambuf_iterator<char>(b)), {});
        EXPECT_GT(bytesA.size(), 160u * 120 * 2) << name;
        EXPECT_EQ(bytesA, bytesB) << name << ": same samples, time and number";
    }

    run = runVexo({"record", "-o", dir.path() + "/c"});
    EXPECT_EQ(run.exitCode, 2);  // wrong arguments
    EXPECT_NE(run.err.find("give -n FRAMES or -t SECONDS"), std::string::npos) << run.err;
    run = runVexo({"record", "--serial", "NOPE", "-n", "1", "-o", dir.path() + "/c"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("no board with serial 'NOPE'"), std::string::npos) << run.err;
}
#endif
