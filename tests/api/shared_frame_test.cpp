// Frames with a share of their buffer: the share keeps the frame's bytes, as the board drew
// them, through close and reconfiguration; the byte count is the frame's.
#include "api/shared_frame.h"

#include <gtest/gtest.h>
#include <vexo/camera.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "driver/virtual/board_picture.h"
#include "driver/virtual/virtual_board.h"

namespace virt = vexo::driver::virt;
using vexo::api::SharedFrame;

namespace {

constexpr uint32_t kWidth = 64;

class SharedFrames : public ::testing::Test {
  protected:
    void SetUp() override {
        virt::removeAllDevices();
        board_.stream.width = kWidth;
        board_.stream.height = 32;
        ASSERT_NE(virt::addVirtualBoard(board_), nullptr);
        CameraConfig cfg = configFor(32);
        ASSERT_EQ(Vexo_open(&handle_, &cfg, 0), USB_CAMERA_NO_ERROR);
    }
    void TearDown() override {
        if (handle_) Vexo_close(handle_);
        virt::removeAllDevices();
    }

    static CameraConfig configFor(uint32_t height) {
        CameraConfig cfg{};
        cfg.u32Width = kWidth;
        cfg.u32Height = height;
        cfg.u8PixelBytes = 1;
        cfg.u32I2cAddr = 0x20;
        cfg.emI2cMode = I2C_MODE_16_16;
        cfg.emImageFmtMode = FORMAT_MODE_RAW;
        return cfg;
    }

    /* Captures until a frame is queued and takes it with its share (it stays queued). */
    SharedFrame captureOne() {
        SharedFrame frame;
        EXPECT_EQ(Vexo_beginCaptureImage(handle_), USB_CAMERA_NO_ERROR);
        for (int call = 0; call < 400 && Vexo_availableImage(handle_) == 0; ++call)
            EXPECT_LE(Vexo_captureImage(handle_), 0xFFu);
        EXPECT_EQ(vexo::api::readSharedFrame(handle_, &frame), USB_CAMERA_NO_ERROR);
        EXPECT_EQ(Vexo_endCaptureImage(handle_), USB_CAMERA_NO_ERROR);
        return frame;
    }

    /* Whether the frame's bytes are one of the pictures the board draws. */
    bool showsAPicture(const SharedFrame& frame) {
        virt::FrameRenderer renderer(board_.stream);
        for (uint32_t n = 0; n < 400; ++n) {
            const auto expected = renderer.frame(n);
            if (frame.bytes == expected.size() &&
                std::equal(expected.begin(), expected.end(), frame.record.imageData))
                return true;
        }
        return false;
    }

    uint32_t configureHeight(uint32_t height) {
        CameraConfig cfg = configFor(height);
        return Vexo_setCamCfg(handle_, &cfg);
    }

    virt::BoardConfig board_;
    CameraHandle handle_ = nullptr;
};

TEST_F(SharedFrames, ShareHoldsTheFrameThroughCloseAndAnotherCamera) {
    SharedFrame frame = captureOne();
    ASSERT_NE(frame.owner, nullptr);
    EXPECT_EQ(frame.owner.get(), frame.record.imageData);
    EXPECT_EQ(frame.bytes, frame.record.cfg.u32Size);
    EXPECT_EQ(frame.bytes, kWidth * 32u);
    EXPECT_EQ(frame.owner.use_count(), 2) << "the camera's share and ours";
    ASSERT_TRUE(showsAPicture(frame));
    const std::vector<uint8_t> bytes(frame.record.imageData, frame.record.imageData + frame.bytes);

    ASSERT_EQ(Vexo_close(handle_), USB_CAMERA_NO_ERROR);
    handle_ = nullptr;
    EXPECT_EQ(frame.owner.use_count(), 1);
    /* A camera opened afterwards captures elsewhere (AddressSanitizer checks the bytes are
     * still allocated). */
    CameraConfig cfg = configFor(32);
    ASSERT_EQ(Vexo_open(&handle_, &cfg, 0), USB_CAMERA_NO_ERROR);
    SharedFrame later = captureOne();
    EXPECT_NE(later.owner, frame.owner);
    EXPECT_EQ(std::memcmp(frame.record.imageData, bytes.data(), bytes.size()), 0);
    EXPECT_TRUE(showsAPicture(frame));
}

TEST_F(SharedFrames, ShareHoldsTheFrameThroughReconfiguration) {
    SharedFrame frame = captureOne();
    ASSERT_NE(frame.owner, nullptr);
    ASSERT_TRUE(showsAPicture(frame));
    /* Same size: the slot keeps its buffer. */
    ASSERT_EQ(configureHeight(32), USB_CAMERA_NO_ERROR);
    EXPECT_EQ(frame.owner.use_count(), 2);
    /* Another size retires the buffer; a third drops the camera's share of it. */
    ASSERT_EQ(configureHeight(16), USB_CAMERA_NO_ERROR);
    EXPECT_EQ(frame.owner.use_count(), 2);
    ASSERT_EQ(configureHeight(8), USB_CAMERA_NO_ERROR);
    EXPECT_EQ(frame.owner.use_count(), 1);
    /* Back to the board's size: fresh buffers, filled without touching ours. */
    ASSERT_EQ(configureHeight(32), USB_CAMERA_NO_ERROR);
    SharedFrame again = captureOne();
    ASSERT_NE(again.owner, nullptr);
    EXPECT_NE(again.owner, frame.owner);
    EXPECT_TRUE(showsAPicture(again));
    EXPECT_TRUE(showsAPicture(frame));
}

TEST_F(SharedFrames, SingleFramesAndAnEmptyQueue) {
    SharedFrame frame;
    EXPECT_EQ(vexo::api::readSharedFrame(handle_, &frame), USB_CAMERA_READ_EMPTY_ERROR);
    EXPECT_EQ(frame.owner, nullptr);
    bool got = true;
    EXPECT_EQ(vexo::api::readSharedFrame(nullptr, &frame), USB_CAMERA_USB_CREATE_ERROR);
    ASSERT_EQ(vexo::api::getSharedSingleFrame(handle_, 1500, &frame, &got), USB_CAMERA_NO_ERROR);
    EXPECT_TRUE(got);
    ASSERT_NE(frame.owner, nullptr);
    EXPECT_TRUE(showsAPicture(frame));
}

}  // namespace
