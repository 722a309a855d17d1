#pragma once

#include <gtest/gtest.h>
#include <vexo/camera.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "camera/zu_usb_camera_lib.h"
#include "driver/virtual/board_picture.h"
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

namespace vexo::camera::test {

/*
 * Checks received frames against the pictures the board drew: each frame must be the
 * picture of a frame number later than the previous frame's (frames lost to a full queue
 * are skipped, never reordered or torn).
 */
class FrameChecker {
  public:
    explicit FrameChecker(const virt::StreamConfig& stream, uint32_t window = 400);

    /* True when @frame matches the picture of one of the @window frame numbers after the
     * last match, and below @bound (the number of the next frame the board will start,
     * VirtualBoard::nextFrameNumber(): later pictures cannot have been sent); @why says
     * what did not. */
    bool check(const FrameData& frame, std::string* why = nullptr, uint32_t bound = UINT32_MAX);
    /* Frame number of the last frame that matched; -1 before the first. */
    int64_t lastNumber() const { return last_; }

  private:
    virt::StreamConfig stream_;
    uint32_t window_;
    int64_t last_ = -1;
    virt::FrameRenderer renderer_;
};

/* Runs captureImage() until @frames frames were read and checked, or @maxCalls calls.
 * Returns the number of frames checked; the first mismatch fails the test. */
uint32_t captureAndCheck(ZuUsbCameraLib& camera, FrameChecker& checker, uint32_t frames,
                         uint32_t maxCalls);

}  // namespace vexo::camera::test
