// vexo capture --reconnect across a replug, and vexo bench --all over several boards.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "tools/support/image_reader.h"
#include "tools/support/vexo_tool.h"

using namespace vexo::tools::test;

namespace {

const char* kMonConfig =
    "[camera]\nwidth = 64\nheight = 32\nformat = MON\npixel_bytes = 1\npixel_bits = 8\n"
    "i2c_address = 0x20\ni2c_mode = 16_8\n";

DecodedImage frameImage(const std::string& dir, int k) {
    char name[32];
    std::snprintf(name, sizeof(name), "/frame_%04d.png", k);
    DecodedImage img;
    std::string error;
    EXPECT_TRUE(readPng(dir + name, img, error)) << error;
    return img;
}

TEST(ToolHotplug, CaptureReconnectsAndTheImagesGoOnWithTheReturnedBoard) {
    ScratchDir dir;
    const std::string config = dir.write("mon.cfg", kMonConfig);
    const Env env{{"VEXO_VIRTUAL_BOARDS",
                   R"({"boards": [{"serial": "TOOL-REPLUG", "stream": {"width": 64, "height": 32,
                       "format": "MON"}, "faults": [{"kind": "replug", "atFrame": 5, "ms": 50}]}]})"}};
    const ToolRun run =
        runVexo({"capture", "-n", "12", "--reconnect", "-q", "-c", config, "-o", "frames"}, env,
                dir.path());
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    const std::vector<std::string> out = lines(run.out);
    ASSERT_GE(out.size(), 4u) << run.out;
    EXPECT_EQ(out[out.size() - 2].rfind("drops: none; errors: ", 0), 0u) << run.out;
    EXPECT_NE(out[out.size() - 2].find("; reconnects: 1"), std::string::npos) << run.out;
    size_t gapLines = 0;
    for (const std::string& line : out)
        if (line.rfind("reconnect 1: gap of ", 0) == 0) {
            ++gapLines;
            EXPECT_NE(line.find(" before frame 6, about "), std::string::npos) << line;
        }
    EXPECT_EQ(gapLines, 1u) << run.out;
    for (const std::string& line : out)
        EXPECT_FALSE(line.empty()) << "-q prints no blank line:\n" << run.out;

    // The returned board starts again at its frame 0: images 5.. repeat images 0.. exactly,
    // while neighbouring images differ (the marker moves), so none was lost or mixed up.
    const std::string frames = dir.path() + "/frames";
    for (int k = 0; k < 5; ++k) {
        const DecodedImage before = frameImage(frames, k);
        const DecodedImage after = frameImage(frames, k + 5);
        EXPECT_EQ(before.width, 64u);
        EXPECT_EQ(before.samples, after.samples) << "image " << k;
    }
    EXPECT_NE(frameImage(frames, 0).samples, frameImage(frames, 1).samples);
    EXPECT_TRUE(std::filesystem::exists(frames + "/frame_0011.png"));
}

TEST(ToolHotplug, CaptureWithoutReconnectStillFailsWhenTheBoardLeaves) {
    ScratchDir dir;
    const std::string config = dir.write("mon.cfg", kMonConfig);
    const Env env{{"VEXO_VIRTUAL_BOARDS",
                   R"({"boards": [{"stream": {"width": 64, "height": 32, "format": "MON"},
                       "faults": [{"kind": "replug", "atFrame": 3, "ms": 10}]}]})"}};
    const ToolRun run =
        runVexo({"capture", "-n", "8", "-q", "-c", config, "-o", "f"}, env, dir.path());
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("USB_CAMERA_USB_TASK_ERROR"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("check that the board is still attached"), std::string::npos) << run.err;

    // The frames sent before the board left were written, and the tool says where.
    unsigned captured = 0;
    const std::vector<std::string> out = lines(run.out);
    for (const std::string& line : out)
        std::sscanf(line.c_str(), "captured %u frame(s)", &captured);
    ASSERT_GE(captured, 2u) << run.out;
    char last[32];
    std::snprintf(last, sizeof(last), "frame_%04u.png)", captured - 1);
    EXPECT_NE(out.back().find("images: "), std::string::npos) << run.out;
    EXPECT_NE(out.back().find(last), std::string::npos) << run.out;
    for (unsigned k = 0; k < captured; ++k)
        EXPECT_EQ(frameImage(dir.path() + "/f", static_cast<int>(k)).width, 64u);
}

TEST(ToolHotplug, BenchAllStreamsEveryBoardAndAddsThemUp) {
    const Env env{{"VEXO_VIRTUAL_BOARDS",
                   R"({"boards": [{"serial": "BENCH-A"}, {"serial": "BENCH-B",
                       "productId": "0x03F2"}, {"serial": "BENCH-C", "productId": "0x52CB"}]})"}};
    const ToolRun run = runVexo({"bench", "--all", "-t", "0.5"}, env);
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    const std::vector<std::string> out = lines(run.out);
    ASSERT_EQ(out.size(), 4u) << run.out;
    unsigned long long sum = 0;
    const char* serials[] = {"BENCH-A", "BENCH-B", "BENCH-C"};
    for (int k = 0; k < 3; ++k) {
        const std::string head = "board " + std::to_string(k) + " (" + serials[k] + "): ";
        ASSERT_EQ(out[k].rfind(head, 0), 0u) << out[k];
        EXPECT_NE(out[k].find("drops: none; errors: none"), std::string::npos) << out[k];
        unsigned long long frames = 0;
        ASSERT_EQ(std::sscanf(out[k].c_str() + head.size(), "%llu frames", &frames), 1);
        EXPECT_GT(frames, 0u);
        sum += frames;
    }
    unsigned long long total = 0;
    ASSERT_EQ(std::sscanf(out[3].c_str(), "total: 3 board(s), %llu frames", &total), 1) << out[3];
    EXPECT_EQ(total, sum);
}

}  // namespace
