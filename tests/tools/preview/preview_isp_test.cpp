// The preview's picture through the ISP, on a 10-bit virtual board: a camera file with a
// [colour] section renders the frame with its settings (here white-balance gains that halve
// green, so the bars' green comes out at the sRGB value of linear 0.5), /stats.json reports the
// gains and the exposure level of the shown frame, and auto exposure moves the sensor's
// exposure control.
#include <nlohmann/json.hpp>
#include <thread>

#include "tools/preview/preview_fixture.h"

using nlohmann::json;

namespace vexo::tools::test {
namespace {

constexpr const char* kRaw10Board = R"({"boards": [{"serial": "PREVIEW-RAW10",
    "stream": {"width": 640, "height": 480, "pixelBytes": 2, "format": "RAW", "bayer": "RGGB",
               "fps": 30}}]})";

struct IspCase {
    const char* name;
    const char* colour;  // the [colour] section's lines
    bool autoExposure;
};

void PrintTo(const IspCase& c, std::ostream* os) {
    *os << c.name;
}

class PreviewIsp : public PreviewTest, public ::testing::WithParamInterface<IspCase> {
  protected:
    void configure(preview::PreviewOptions& options) override {
        setenv("VEXO_VIRTUAL_BOARDS", kRaw10Board, 1);
        std::remove(config_.c_str());
        config_ = controls_ + ".isp.cfg";
        std::ofstream(config_) << "[camera]\nwidth = 640\nheight = 480\npixel_bytes = 2\n"
                                  "pixel_bits = 10\nformat = RAW\nbayer = RG\n"
                                  "i2c_address = 0x20\ni2c_mode = 16_8\n"
                                  "[controls]\n"
                                  "exposure type=integer unit=lines min=1 max=65535 default=1024 "
                                  "registers=0x3500,0x3501,0x3502 bits=4..23\n"
                                  "analogue_gain type=float unit=x min=1 max=15.5 default=2 "
                                  "scale=128 registers=0x3508,0x3509 bits=0..10\n"
                                  "[colour]\n"
                               << GetParam().colour;
        options.board.configPath = config_;
        options.controlsPath.clear();
    }
    json isp() {
        return json::parse(client_->Get("/stats.json")->body)["shown"].value("isp", json());
    }
};

TEST_P(PreviewIsp, RendersWithTheFileSettingsAndReportsThem) {
    const IspCase& c = GetParam();
    auto r = client_->Get("/frame.jpg");
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 200);
    DecodedImage img;
    std::string error;
    ASSERT_TRUE(decodeJpeg(r->body, img, error)) << error;
    ASSERT_EQ(img.width, 640u);
    ASSERT_EQ(img.height, 480u);
    if (!c.autoExposure) {
        // Full-scale bars, green halved by the gains: sRGB of linear 0.5 is 188.
        const int g = 188;
        const int want[8][3] = {{255, g, 255}, {255, g, 0}, {0, g, 255}, {0, g, 0},
                                {255, 0, 255}, {255, 0, 0}, {0, 0, 255}, {0, 0, 0}};
        const uint32_t y0 = 480 * 5 / 6 / 4, y1 = 480 * 5 / 6 * 3 / 4;
        for (uint32_t i = 0; i < 8; ++i)
            for (uint32_t ch = 0; ch < 3; ++ch)
                EXPECT_NEAR(columnMedian(img, (2 * i + 1) * 640 / 16, y0, y1, ch), want[i][ch], 12)
                    << "bar " << i << " channel " << ch;
        // The snapshot is the same picture at 16 bits.
        auto png = client_->Get("/snapshot.png");
        ASSERT_EQ(png->status, 200);
        const std::string path = config_ + ".png";
        std::ofstream(path, std::ios::binary) << png->body;
        DecodedImage snap;
        ASSERT_TRUE(readPng(path, snap, error)) << error;
        std::remove(path.c_str());
        ASSERT_EQ(snap.bitDepth, 16u);
        for (uint32_t i = 0; i < 8; ++i)
            for (uint32_t ch = 0; ch < 3; ++ch)
                EXPECT_NEAR(columnMedian(snap, (2 * i + 1) * 640 / 16, y0, y1, ch) / 257.0,
                            want[i][ch], 3)
                    << "snapshot bar " << i << " channel " << ch;
        const json report = isp();
        ASSERT_TRUE(report.is_object()) << "no ISP report in /stats.json";
        EXPECT_EQ(report["whiteBalance"], "manual");
        EXPECT_EQ(report["gains"], json({1.0, 0.5, 1.0}));
        EXPECT_GT(report["level"].get<double>(), 0.0);
        EXPECT_FALSE(report["autoExposure"]);
        return;
    }
    // Auto exposure steps the sensor's exposure away from the fresh board's 0.
    json report;
    for (int i = 0; i < 100; ++i) {
        report = isp();
        if (report.is_object() && report.value("adjustments", 0u) > 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(report.is_object());
    EXPECT_TRUE(report["autoExposure"]);
    ASSERT_GT(report.value("adjustments", 0u), 0u) << report.dump();
    const json controls = json::parse(client_->Get("/api/controls")->body)["controls"];
    ASSERT_EQ(controls[0]["name"], "exposure");
    EXPECT_GE(controls[0]["value"].get<double>(), 1.0) << controls.dump();
}

INSTANTIATE_TEST_SUITE_P(
    Colour, PreviewIsp,
    ::testing::Values(IspCase{"ManualGains", "white_balance = 1 0.5 1\ngamma = srgb\n", false},
                      IspCase{"AutoExposure", "white_balance = auto\nauto_exposure = on\n", true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vexo::tools::test
