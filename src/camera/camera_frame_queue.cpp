/*
 * The reader's side of the frame queue, and the shot that empties it.
 */
#include "camera/zu_usb_camera_lib.h"

namespace vexo::camera {

namespace {

constexpr uint8_t kShotFirst = 0xA9;
constexpr uint8_t kShotSecond = 0xA8;

}  // namespace

uint32_t ZuUsbCameraLib::readImage(FrameData** frame) {
    FrameData* out = nullptr;
    const uint32_t status = ring_.readImage(&out);
    if (frame) *frame = out;
    return status;
}

uint32_t ZuUsbCameraLib::del() {
    return ring_.del();
}

uint32_t ZuUsbCameraLib::flush() {
    return ring_.flush();
}

uint32_t ZuUsbCameraLib::availableImage() {
    return ring_.available();
}

uint32_t ZuUsbCameraLib::shot() {
    ring_.reset();
    uint32_t moved = 0;
    vendorRequest(kShotFirst, kHostToDevice, 0, 0, 0, nullptr, &moved);
    vendorRequest(kShotSecond, kHostToDevice, 0, 0, 0, nullptr, &moved);
    return USB_CAMERA_NO_ERROR;
}

}  // namespace vexo::camera
