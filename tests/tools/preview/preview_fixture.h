// One running preview per test: two virtual boards (a RAW 640x480 USB 3 board and a USB 2 board
// with trigger support, both paced at 60 frames/s), the default configuration, a --controls
// script with one control, listening on 127.0.0.1 at a free port with small client bounds.
#pragma once

#include <gtest/gtest.h>
#include <httplib.h>

#include <array>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include <unistd.h>

#include "preview/preview_service.h"
#include "tools/support/image_reader.h"

namespace vexo::tools::test {

struct Colour {
    int r, g, b;
};
// The virtual board's bars from left to right.
constexpr std::array<Colour, 8> kBars{{{255, 255, 255},
                                       {255, 255, 0},
                                       {0, 255, 255},
                                       {0, 255, 0},
                                       {255, 0, 255},
                                       {255, 0, 0},
                                       {0, 0, 255},
                                       {0, 0, 0}}};

/// Checks the eight bars of an RGB image whose bars span rows [y0, y1) and columns [x0, x0+w).
inline void expectBars(const DecodedImage& img, uint32_t x0, uint32_t width, uint32_t y0,
                       uint32_t y1, int tolerance) {
    for (size_t i = 0; i < kBars.size(); ++i) {
        const uint32_t x = x0 + static_cast<uint32_t>((2 * i + 1) * width / 16);
        const int r = columnMedian(img, x, y0, y1, 0), g = columnMedian(img, x, y0, y1, 1),
                  b = columnMedian(img, x, y0, y1, 2);
        EXPECT_NEAR(r, kBars[i].r, tolerance) << "bar " << i << " red";
        EXPECT_NEAR(g, kBars[i].g, tolerance) << "bar " << i << " green";
        EXPECT_NEAR(b, kBars[i].b, tolerance) << "bar " << i << " blue";
    }
}

/// JPEG bytes decoded to 8-bit RGB (TurboJPEG).
bool decodeJpeg(const std::string& bytes, DecodedImage& image);

inline constexpr const char* kBoards = R"({"boards": [
    {"serial": "PREVIEW-RAW-0001", "stream": {"fps": 60}},
    {"vendorId": 21195, "productId": 753, "link": "high", "serial": "PREVIEW-TRIG-002",
     "boardController": {"present": true, "id": 35, "version": [18, 8, 17]},
     "stream": {"fps": 60}}]})";

inline constexpr const char* kControls =
    "-- control: gain 0 255\n"
    "function gain(v) writeReg(0x3000, math.tointeger(v)) end\n";

class PreviewTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("VEXO_VIRTUAL_BOARDS", kBoards, 1);
        // Per process: ctest runs the cases of this program in parallel processes.
        controls_ = ::testing::TempDir() + "preview_controls_" + std::to_string(getpid()) + ".lua";
        std::ofstream(controls_) << kControls;
        preview::PreviewOptions options;
        options.listen = "127.0.0.1:0";
        options.controlsPath = controls_;
        options.limits.clients = 6;
        options.limits.idleSeconds = 2;
        service_ = std::make_unique<preview::PreviewService>(options);
        service_->start();
        client_ = std::make_unique<httplib::Client>("127.0.0.1", service_->port());
        client_->set_read_timeout(5, 0);
    }
    void TearDown() override {
        client_.reset();
        if (service_) service_->stop();
        std::remove(controls_.c_str());
    }

    httplib::Headers withToken() const { return {{"X-Vexo-Token", service_->token()}}; }
    httplib::Result post(const std::string& path, const std::string& body) {
        return client_->Post(path.c_str(), withToken(), body, "application/json");
    }

    std::string controls_;
    std::unique_ptr<preview::PreviewService> service_;
    std::unique_ptr<httplib::Client> client_;
};

}  // namespace vexo::tools::test
