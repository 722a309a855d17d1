/*
 * Trigger modes: continuous or external trigger, the software trigger pulse and the
 * frame-ready register, on boards whose controller supports them.
 */
#include "camera/zu_usb_camera_lib.h"

namespace vexo::camera {

namespace {

constexpr uint32_t kRegBoardId = 0;
constexpr uint32_t kRegControl = 3;
constexpr uint32_t kRegVersionMajor = 5;
constexpr uint32_t kRegVersionMinor = 6;
constexpr uint32_t kRegVersionPatch = 7;
constexpr uint32_t kRegTrigger = 8;
constexpr uint32_t kRegFrameReady = 9;
constexpr uint32_t kFirstVersionedBoardId = 35;
/* Controller version 18.8.17, the first with trigger support. */
constexpr uint32_t kFirstTriggerVersion = 18817;

}  // namespace

bool ZuUsbCameraLib::isTriggerSupported() {
    if (usbType_ != USB_2) return false;
    uint32_t boardId = 0;
    readReg_8_8(kBoardController, kRegBoardId, &boardId);
    if (boardId < kFirstVersionedBoardId) return false;
    uint32_t major = 0, minor = 0, patch = 0;
    readReg_8_8(kBoardController, kRegVersionMajor, &major);
    readReg_8_8(kBoardController, kRegVersionMinor, &minor);
    readReg_8_8(kBoardController, kRegVersionPatch, &patch);
    return major * 1000 + minor * 100 + patch >= kFirstTriggerVersion;
}

uint32_t ZuUsbCameraLib::setMode(uint32_t mode) {
    writeReg_8_8(kBoardController, kRegControl, 0xC0);
    writeReg_8_8(kBoardController, kRegControl, 0x40);
    if (mode == EXTERNAL_TRIGGER_MODE) {
        /* Set before the check, as callers have always seen it: the assembly stops
         * checking the frame sequence even when the board refuses the mode. */
        assembly_.triggerMode.store(true);
        if (!isTriggerSupported()) return USB_BOARD_FW_VERSION_NOT_SUPPORT_ERROR;
        if (uint32_t status = writeReg_8_8(kBoardController, kRegTrigger, 0x81)) return status;
        return writeReg_8_8(kBoardController, kRegTrigger, 0x80);
    }
    assembly_.triggerMode.store(false);
    return writeReg_8_8(kBoardController, kRegTrigger, 0x00);
}

uint32_t ZuUsbCameraLib::softTrigger() {
    if (!isTriggerSupported()) return USB_BOARD_FW_VERSION_NOT_SUPPORT_ERROR;
    writeReg_8_8(kBoardController, kRegControl, 0x40);
    writeReg_8_8(kBoardController, kRegControl, 0x60);
    writeReg_8_8(kBoardController, kRegControl, 0x40);
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
