// The camera object itself on a virtual board of its own, for the bench programs that measure
// the library's capture path below the public API (bench_capture, bench_record).
#pragma once

#include <memory>

#include "bench_support.h"
#include "camera/zu_usb_camera_lib.h"
#include "driver/virtual/virtual_board.h"

namespace vexo::bench {

/// The board of a run and the configuration it is opened with.
struct BoardSetup {
    uint16_t productId = driver::virt::BoardConfig{}.productId;  ///< selects the framing
    uint8_t pixelBytes = 1;
    uint8_t pixelBits = 8;
    I2cMode i2cMode = I2C_MODE_16_16;
    double fps = 0;  ///< 0: unpaced, every read completes as soon as it is offered
};

/// One kWidth x kHeight virtual board, alone on the bus, opened through the camera object with
/// its capture begun; ended, closed and removed again on destruction.
class BoardCapture {
  public:
    explicit BoardCapture(const BoardSetup& setup) {
        namespace virt = driver::virt;
        virt::removeAllDevices();
        virt::BoardConfig board;
        board.productId = setup.productId;
        board.stream.width = kWidth;
        board.stream.height = kHeight;
        board.stream.pixelBytes = setup.pixelBytes;
        board.stream.fps = setup.fps;
        if (!virt::addVirtualBoard(board)) return;
        CameraConfig cfg{};
        cfg.u32Width = kWidth;
        cfg.u32Height = kHeight;
        cfg.u8PixelBytes = setup.pixelBytes;
        cfg.u8PixelBits = setup.pixelBits;
        cfg.u32I2cAddr = 0x20;
        cfg.emI2cMode = setup.i2cMode;
        cfg.emImageFmtMode = FORMAT_MODE_RAW;
        opened_ = camera_->open(&cfg, 0) == USB_CAMERA_NO_ERROR;
        started_ = opened_ && camera_->beginCaptureImage() == USB_CAMERA_NO_ERROR;
    }
    ~BoardCapture() {
        if (opened_) {
            camera_->endCaptureImage();
            camera_->close();
        }
        driver::virt::removeAllDevices();
    }
    BoardCapture(const BoardCapture&) = delete;
    BoardCapture& operator=(const BoardCapture&) = delete;

    bool started() const { return started_; }
    camera::ZuUsbCameraLib& camera() { return *camera_; }

    /// One captureImage, then every frame it made ready handed to `onFrame` and released.
    /// False when captureImage failed.
    template <class OnFrame>
    bool capture(OnFrame&& onFrame) {
        if (camera_->captureImage() > 0xFF) return false;
        FrameData* frame = nullptr;
        while (camera_->readImage(&frame) == USB_CAMERA_NO_ERROR) {
            onFrame(*frame);
            camera_->del();
        }
        return true;
    }

  private:
    std::unique_ptr<camera::ZuUsbCameraLib> camera_ = std::make_unique<camera::ZuUsbCameraLib>();
    bool opened_ = false;
    bool started_ = false;
};

}  // namespace vexo::bench
