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

// One user-data request: the address above kUserDataBase in wValue, the length in the high
// byte of wIndex. Its outcome is not reported, as with the register writes: a reader (the scan
// among them) takes whatever arrived.
void userDataRequest(UsbCameraLib& camera, uint8_t code, uint8_t direction, uint16_t address,
                     uint8_t length, uint8_t* data) {
    uint32_t moved = 0;
    camera.vendorRequest(code, direction, static_cast<uint16_t>(kUserDataBase + address),
                         static_cast<uint16_t>(length << 8), length, data, &moved);
}

}  // namespace

uint32_t ZuUsbCameraLib::readUserData(uint16_t address, uint8_t length, uint8_t* data) {
    if (uint32_t status = checkRequest(address, length, data)) return status;
    userDataRequest(*this, kRequestReadUserData, kDeviceToHost, address, length, data);
    return USB_CAMERA_NO_ERROR;
}

uint32_t ZuUsbCameraLib::writeUserData(uint16_t address, uint8_t length, uint8_t* data) {
    if (uint32_t status = checkRequest(address, length, data)) return status;
    userDataRequest(*this, kRequestWriteUserData, kHostToDevice, address, length, data);
    return USB_CAMERA_NO_ERROR;
}

}  // namespace vexo::camera
