// One running preview per test: two virtual boards (a RAW 640x480 USB 3 board and a USB 2 board
// with trigger support, both paced at 60 frames/s), the example configuration with named
// controls plus two Lua ones, the --controls script with one of the functions, listening on
// 127.0.0.1 at a free port with small client bounds.
#pragma once

#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
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
    "function gain(v) writeReg(0x3000, math.tointeger(v)) end\n";

/// The example camera file with named controls, and two Lua controls ahead of its own.
inline std::string controlsConfig() {
    std::ifstream in(VEXO_SOURCE_DIR "/examples/configs/sensor-controls.cfg");
    std::stringstream text;
    text << in.rdbuf();
    std::string cfg = text.str();
    const size_t at = cfg.find("[controls]\n");
    if (at == std::string::npos) return cfg;
    return cfg.insert(at + 11,
                      "gain type=integer min=0 max=255 lua=gain\n"
                      "slow type=integer min=0 max=255 lua=slow\n");
}

class PreviewTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("VEXO_VIRTUAL_BOARDS", kBoards, 1);
        // Per process: ctest runs the cases of this program in parallel processes.
        controls_ = ::testing::TempDir() + "preview_controls_" + std::to_string(getpid()) + ".lua";
        std::ofstream(controls_) << kControls;
        config_ = controls_ + ".cfg";
        std::ofstream(config_) << controlsConfig();
        preview::PreviewOptions options;
        options.board.configPath = config_;
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
        std::remove(config_.c_str());
    }

    /// A test's own changes to the options, before the preview starts.
    virtual void configure(preview::PreviewOptions&) {}

    httplib::Headers withToken() const { return {{"X-Vexo-Token", service_->token()}}; }
    httplib::Result post(const std::string& path, const std::string& body) {
        return client_->Post(path.c_str(), withToken(), body, "application/json");
    }

    std::string controls_;
    std::string config_;  ///< the camera file: the example's named controls and two Lua ones
    std::unique_ptr<preview::PreviewService> service_;
    std::unique_ptr<httplib::Client> client_;
};

}  // namespace vexo::tools::test
