// One running preview per test: two virtual boards (a RAW 640x480 USB 3 board and a USB 2 board
// with trigger support, both paced at 60 frames/s), the default configuration, a --controls
// script with one control, listening on 127.0.0.1 at a free port with small client bounds.
#pragma once

#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "preview/preview_service.h"
#include "tools/support/colour_bars.h"
#include "tools/support/image_reader.h"

namespace vexo::tools::test {

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
        configure(options);
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

    /// A test's own changes to the options, before the preview starts.
    virtual void configure(preview::PreviewOptions&) {}

    httplib::Headers withToken() const { return {{"X-Vexo-Token", service_->token()}}; }
    httplib::Result post(const std::string& path, const std::string& body) {
        return client_->Post(path.c_str(), withToken(), body, "application/json");
    }

    std::string controls_;
    std::unique_ptr<preview::PreviewService> service_;
    std::unique_ptr<httplib::Client> client_;
};

}  // namespace vexo::tools::test
