// A single frame with a time-out: its own set of reads, the trigger register switched for
// the duration, the first complete frame handed out.
#include "camera/board_controller.h"
#include "camera/zu_usb_camera_lib.h"
#include "usb/driver_device.h"
#include "usb/read_completion.h"

namespace vexo::camera {

uint32_t ZuUsbCameraLib::getSingleFrame(FrameData** frame, uint32_t timeoutMs) {
    // A second set of reads would replace the running capture's reads in flight.
    if (isCapturing() || !device_) return USB_CAMERA_USB_TASK_ERROR;
    if (!buffersReady_.load()) return configFailure_;

    queueTransfers(CaptureState::SingleFrame);
    flush();
    writeReg_8_8(kBoardController, kRegTrigger, kTriggerContinuous);

    uint32_t result = USB_CAMERA_NO_ERROR;
    uint8_t completed = 0;
    if (captureState_ != CaptureState::SingleFrame) result = USB_CAMERA_USB_TASK_ERROR;

    usb::BulkEndpoint* bulk = device_->bulkInEndpoint;
    uint32_t finishedReads = 0;
    while (result == USB_CAMERA_NO_ERROR && completed == 0) {
        // Each read is finished once; 64 reads without a frame end the wait.
        if (finishedReads == TransferSet::kCount) {
            result = USB_CAMERA_USB_TIMEOUT_ERROR;
            break;
        }
        TransferSet::Entry& entry = transfers_[transferIndex_];
        int32_t n = static_cast<int32_t>(transfers_.length());
        const bool finished = usb::completeRead(*bulk, entry.buffer.get(), n, &entry.overlapped,
                                                std::move(entry.record), timeoutMs);
        ++finishedReads;
        if (finished)
            result =
                assembleTransfer(entry.buffer.get(), n < 0 ? 0 : static_cast<size_t>(n), completed);
        else
            result = USB_CAMERA_USB_TIMEOUT_ERROR;
        // A count of frames is not a failure: the loop ends on the first frame.
        if (result <= 0xFF) result = USB_CAMERA_NO_ERROR;
        transferIndex_ = (transferIndex_ + 1) % TransferSet::kCount;
    }

    endCaptureImage();
    writeReg_8_8(kBoardController, kRegTrigger, kTriggerExternalArm);
    writeReg_8_8(kBoardController, kRegTrigger, kTriggerExternal);
    writeReg_8_8(kBoardController, kRegControl, kControlRestart);
    writeReg_8_8(kBoardController, kRegControl, kControlIdle);

    if (result > 0xFF) return result;
    return readImage(frame);
}

}  // namespace vexo::camera
