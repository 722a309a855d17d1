#pragma once

#include <gtest/gtest.h>
#include <vexo/camera.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "camera/zu_usb_camera_lib.h"
#include "driver/virtual/virtual_board.h"

namespace vexo::camera::test {

namespace virt = vexo::driver::virt;

/* The camera configuration that matches a board's stream and sensor. */
CameraConfig configFor(const virt::BoardConfig& board, I2cMode mode = I2C_MODE_16_16);

/* The format mode the camera uses for a board's pixel format. */
FormatMode formatModeOf(virt::PixelFormat format);

/* A board with a small stream, quick to capture from. */
virt::BoardConfig smallBoard(uint16_t productId = 0x03F1, uint32_t width = 64,
                             uint32_t height = 32);

/* Requests the board received with request code @code, oldest first. */
std::vector<virt::ControlRecord> requestsWithCode(const virt::VirtualBoard& board, uint8_t code);

/* The board-controller writes (request 0xD7) the board received for register @reg. */
std::vector<uint8_t> controllerWrites(const virt::VirtualBoard& board, uint8_t reg);

/* A host clock a test moves by hand, installed for the driver service. */
class ManualClock {
  public:
    ManualClock();
    ~ManualClock();
    void advanceMs(uint64_t ms) { now_ += ms * 10'000; }
    uint64_t now() const { return now_; }

  private:
    std::atomic<uint64_t> now_;
};

/*
 * Each test starts with an empty virtual bus and ends by closing its camera and removing
 * its boards.
 */
class EngineTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    /* Adds a board to the bus. */
    std::shared_ptr<virt::VirtualBoard> addBoard(const virt::BoardConfig& config);
    /* Adds @config's board as the only one and opens it with @cfg (or configFor()). */
    uint32_t openBoard(const virt::BoardConfig& config, CameraConfig* cfg = nullptr);

    std::shared_ptr<virt::VirtualBoard> board_;
    std::unique_ptr<ZuUsbCameraLib> camera_;
};

}  // namespace vexo::camera::test
