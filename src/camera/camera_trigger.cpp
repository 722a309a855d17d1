// Trigger modes: continuous or external trigger, the software trigger pulse and the
// frame-ready register, on boards whose controller supports them.
#include "camera/board_controller.h"
#include "camera/zu_usb_camera_lib.h"

namespace vexo::camera {

bool ZuUsbCameraLib::isTriggerSupported() {
    if (usbType_ != USB_2) return false;
    uint32_t boardId = 0;
    readReg_8_8(kBoardController, kRegBoardId, &boardId);
    if (boardId < kFirstVersionedBoardId) return false;
    uint32_t major = 0, minor = 0, patch = 0;
    readReg_8_8(kBoardController, kRegVersionMajor, &major);
    readReg_8_8(kBoardController, kRegVersionMinor, &minor);
    readReg_8_8(kBoardController, kRegVersionPatch, &patch);
    return controllerVersion(major, minor, patch) >= kFirstTriggerVersion;
}

uint32_t ZuUsbCameraLib::setMode(uint32_t mode) {
    writeReg_8_8(kBoardController, kRegControl, kControlRestart);
    writeReg_8_8(kBoardController, kRegControl, kControlIdle);
    if (mode == EXTERNAL_TRIGGER_MODE) {
        // Set before the check, as callers have always seen it: the assembly stops
        // checking the frame sequence even when the board refuses the mode.
        assembly_.triggerMode.store(true);
        if (!isTriggerSupported()) return USB_BOARD_FW_VERSION_NOT_SUPPORT_ERROR;
        if (uint32_t status = writeReg_8_8(kBoardController, kRegTrigger, kTriggerExternalArm))
            return status;
        return writeReg_8_8(kBoardController, kRegTrigger, kTriggerExternal);
    }
    assembly_.triggerMode.store(false);
    return writeReg_8_8(kBoardController, kRegTrigger, kTriggerContinuous);
}

uint32_t ZuUsbCameraLib::softTrigger() {
    if (!isTriggerSupported()) return USB_BOARD_FW_VERSION_NOT_SUPPORT_ERROR;
    writeReg_8_8(kBoardController, kRegControl, kControlIdle);
    writeReg_8_8(kBoardController, kRegControl, kControlTriggerPulse);
    writeReg_8_8(kBoardController, kRegControl, kControlIdle);
    return USB_CAMERA_NO_ERROR;
}

uint32_t ZuUsbCameraLib::isFrameReady() {
    if (!isTriggerSupported()) return USB_BOARD_FW_VERSION_NOT_SUPPORT_ERROR;
    uint32_t value = 0;
    const uint32_t status = readReg_8_8(kBoardController, kRegFrameReady, &value);
    if (status != USB_CAMERA_NO_ERROR) return status;
    return value;
}

}  // namespace vexo::camera
