// The board's 1024-byte user-data store (the serial text lives in its last 16 bytes).
#include "camera/board_controller.h"
#include "camera/zu_usb_camera_lib.h"

namespace vexo::camera {

namespace {

// Most bytes one request carries.
constexpr uint32_t kUserDataChunk = 32;

// The range is checked before the length, so an oversized request that also runs past the
// end reports the address error. Bytes to move without a buffer are refused as the request
// itself refuses them (vendorRequest); that failure is reported, not hidden as the board's
// answers are.
uint32_t checkRequest(uint16_t address, uint8_t length, const uint8_t* data) {
    if (static_cast<uint32_t>(address) + length > kUserDataBytes) return USB_USERDATA_ADDR_ERROR;
    if (length > kUserDataChunk) return USB_USERDATA_LEN_ERROR;
    if (length > 0 && data == nullptr) return USB_CAMERA_VR_COMMAND_ERROR;
    return USB_CAMERA_NO_ERROR;
}

}  // namespace

uint32_t ZuUsbCameraLib::readUserData(uint16_t address, uint8_t length, uint8_t* data) {
    if (uint32_t status = checkRequest(address, length, data)) return status;
    uint32_t moved = 0;
    // The outcome is not reported: callers (scan among them) read whatever arrived.
    vendorRequest(kRequestReadUserData, kDeviceToHost,
                  static_cast<uint16_t>(kUserDataBase + address),
                  static_cast<uint16_t>(length << 8), length, data, &moved);
    return USB_CAMERA_NO_ERROR;
}

uint32_t ZuUsbCameraLib::writeUserData(uint16_t address, uint8_t length, uint8_t* data) {
    if (uint32_t status = checkRequest(address, length, data)) return status;
    uint32_t moved = 0;
    vendorRequest(kRequestWriteUserData, kHostToDevice,
                  static_cast<uint16_t>(kUserDataBase + address),
                  static_cast<uint16_t>(length << 8), length, data, &moved);
    return USB_CAMERA_NO_ERROR;
}

}  // namespace vexo::camera
