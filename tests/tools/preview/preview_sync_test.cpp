// vexo preview --sync on a rig of two virtual boards with clocks of their own, triggered by
// software: the picture is both boards side by side, each showing its bars; /stats.json gives
// the shown set's skew within the tolerance and the group's counters; a single board's
// requests are refused.
#include <nlohmann/json.hpp>
#include <thread>

#include "tools/preview/preview_fixture.h"

using nlohmann::json;

namespace vexo::tools::test {
namespace {

constexpr const char* kRig = R"({"boards": [
    {"serial": "RIG-L", "productId": "0x52CB", "stream": {"stamp": true, "width": 320,
     "height": 240, "fps": 0}, "clock": {"offsetUs": 400, "jitterUs": 40}},
    {"serial": "RIG-R", "productId": "0x52CB", "stream": {"stamp": true, "width": 320,
     "height": 240, "fps": 0}, "clock": {"offsetUs": -900, "jitterUs": 40}}]})";

class PreviewSync : public PreviewTest {
  protected:
    void configure(preview::PreviewOptions& options) override {
        setenv("VEXO_VIRTUAL_BOARDS", kRig, 1);
        std::remove(config_.c_str());
        config_ = controls_ + ".rig.cfg";
        std::ofstream(config_) << "[camera]\nwidth = 320\nheight = 240\npixel_bytes = 1\n"
                                  "pixel_bits = 8\nformat = RAW\nbayer = RG\n"
                                  "i2c_address = 0x20\ni2c_mode = 16_8\n";
        options.board.configPath = config_;
        options.controlsPath.clear();
        options.sync = true;
        // Right to left on purpose: the picture follows the order given.
        options.syncOptions.serials = {"RIG-R", "RIG-L"};
        options.syncOptions.rateHz = 20;
    }
};

TEST_F(PreviewSync, ShowsTheBoardsSideBySideWithTheSkew) {
    json stats;
    for (int i = 0; i < 100; ++i) {
        stats = json::parse(client_->Get("/stats.json")->body);
        if (stats["sync"]["complete"].get<uint64_t>() >= 5 && stats.contains("shown") &&
            stats["shown"]["sync"]["complete"])
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const json& sync = stats["sync"];
    ASSERT_GE(sync["complete"].get<uint64_t>(), 5u) << stats.dump();
    EXPECT_EQ(sync["trigger"], "soft");
    ASSERT_EQ(sync["boards"].size(), 2u);
    EXPECT_EQ(sync["boards"][0]["serial"], "RIG-R");
    EXPECT_EQ(sync["boards"][1]["serial"], "RIG-L");
    EXPECT_EQ(stats["board"]["width"], 640);
    const json& shown = stats["shown"]["sync"];
    ASSERT_TRUE(shown["complete"]) << stats.dump();
    EXPECT_EQ(shown["present"], json({true, true}));
    EXPECT_LE(shown["skewUs"].get<int64_t>(), sync["toleranceUs"].get<int64_t>());
    EXPECT_GE(shown["skewUs"].get<int64_t>(), 0);

    auto r = client_->Get("/frame.jpg");
    ASSERT_EQ(r->status, 200);
    DecodedImage img;
    std::string error;
    ASSERT_TRUE(decodeJpeg(r->body, img, error)) << error;
    ASSERT_EQ(img.width, 640u);
    ASSERT_EQ(img.height, 240u);
    for (uint32_t half : {0u, 320u})
        expectBars(img, half, 320, 240 * 5 / 6 / 4, 240 * 5 / 6 * 3 / 4, 40);

    for (const char* path : {"/api/register/read", "/api/control", "/api/pause"}) {
        auto refused = post(path, "{}");
        ASSERT_TRUE(refused);
        EXPECT_EQ(refused->status, 409) << path;
    }
    EXPECT_EQ(client_->Get("/snapshot.png")->status, 409);
}

}  // namespace
}  // namespace vexo::tools::test
