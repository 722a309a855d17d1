// vexo preview --reconnect: a board that leaves and returns is reopened by serial and the
// picture goes on; without it the capture stops and says why.
#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>
#include <thread>

#include "preview/preview_service.h"

using nlohmann::json;

namespace vexo::tools::test {
namespace {

class PreviewReconnect : public ::testing::TestWithParam<bool> {};

TEST_P(PreviewReconnect, BoardThatReturnsIsFollowedOnlyWithReconnect) {
    const bool reconnect = GetParam();
    // A document of its own per case, so that each case starts with a fresh board.
    const std::string serial = reconnect ? "PREVIEW-REPLUG-1" : "PREVIEW-REPLUG-0";
    const std::string boards = R"({"boards": [{"serial": ")" + serial +
                               R"(", "stream": {"width": 64, "height": 32, "fps": 60},
               "faults": [{"kind": "replug", "atFrame": 10, "ms": 100}]}]})";
    setenv("VEXO_VIRTUAL_BOARDS", boards.c_str(), 1);
    preview::PreviewOptions options;
    options.listen = "127.0.0.1:0";
    options.reconnect = reconnect;
    // ctest runs the cases as processes side by side: a file of each case's own.
    options.board.configPath =
        ::testing::TempDir() + serial + "-" + std::to_string(getpid()) + ".cfg";
    {
        std::FILE* f = std::fopen(options.board.configPath.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs(
            "[camera]\nwidth = 64\nheight = 32\nformat = RAW\npixel_bytes = 1\npixel_bits = 8\n"
            "i2c_address = 0x20\ni2c_mode = 16_8\n",
            f);
        std::fclose(f);
    }
    preview::PreviewService service(options);
    service.start();
    httplib::Client client("127.0.0.1", service.port());
    client.set_read_timeout(5, 0);

    json stats;
    for (int k = 0; k < 100; ++k) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        auto r = client.Get("/stats.json");
        ASSERT_TRUE(r);
        stats = json::parse(r->body);
        const bool stopped = !stats["board"]["failure"].get<std::string>().empty();
        if (reconnect ? stats["frames"].get<uint64_t>() > 20 : stopped) break;
    }
    // With the board gone for good, the frame rate falls to 0 instead of an average since the
    // start that only decays.
    for (int k = 0; !reconnect && k < 100 && stats["fps"].get<double>() != 0; ++k) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        stats = json::parse(client.Get("/stats.json")->body);
    }
    service.stop();
    unsetenv("VEXO_VIRTUAL_BOARDS");
    std::remove(options.board.configPath.c_str());

    EXPECT_EQ(stats["board"]["serial"], serial);
    if (reconnect) {
        EXPECT_EQ(stats["board"]["reconnects"], 1) << stats;
        EXPECT_EQ(stats["board"]["failure"], "") << stats;
        EXPECT_GT(stats["frames"].get<uint64_t>(), 20u) << "frames of both appearances";
    } else {
        EXPECT_EQ(stats["board"]["reconnects"], 0) << stats;
        EXPECT_EQ(stats["fps"].get<double>(), 0.0) << stats;
        EXPECT_NE(stats["board"]["failure"].get<std::string>().find("USB_CAMERA_USB_TASK_ERROR"),
                  std::string::npos)
            << stats;
        // The counters are copied ten times a second, so they may lag the last few frames.
        EXPECT_LE(stats["frames"].get<uint64_t>(), 10u) << "only frames sent before it left";
    }
}

INSTANTIATE_TEST_SUITE_P(WithAndWithout, PreviewReconnect, ::testing::Bool());

}  // namespace
}  // namespace vexo::tools::test
