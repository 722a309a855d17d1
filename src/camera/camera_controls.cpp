// The camera's side of the control-script host: the five callbacks handed to
// init_controller, and the two operations that forward to the host.
#include "camera/camera_controls.h"

#include <cstdio>

#include "camera/zu_usb_camera_lib.h"

namespace vexo::camera {

namespace {

// The host hands on the user context of set_ctrl: the camera itself. A script run without
// a camera (set_ctrl called directly with no context) reaches no board.
UsbCameraLib* cameraFromScriptContext(void* userData) {
    return static_cast<UsbCameraLib*>(userData);
}

// A vendor request of a script, in `direction`; the byte count is not passed on.
uint32_t scriptVendorRequest(uint8_t request, uint8_t direction, uint16_t value, uint16_t index,
                             uint32_t length, uint8_t* data, void* userData) {
    UsbCameraLib* camera = cameraFromScriptContext(userData);
    if (!camera) return USB_CAMERA_USB_CREATE_ERROR;
    uint32_t moved = 0;
    return camera->vendorRequest(request, direction, value, index, length, data, &moved);
}

}  // namespace

uint32_t controlReadReg(uint32_t reg, uint32_t* value, void* userData) {
    UsbCameraLib* camera = cameraFromScriptContext(userData);
    if (!camera) return USB_CAMERA_USB_CREATE_ERROR;
    return camera->readSensorReg(reg, value);
}

uint32_t controlWriteReg(uint32_t reg, uint32_t value, void* userData) {
    UsbCameraLib* camera = cameraFromScriptContext(userData);
    if (!camera) return USB_CAMERA_USB_CREATE_ERROR;
    return camera->writeSensorReg(reg, value);
}

uint32_t controlVendorIn(uint8_t request, uint16_t value, uint16_t index, uint32_t length,
                         uint8_t* data, void* userData) {
    return scriptVendorRequest(request, kDeviceToHost, value, index, length, data, userData);
}

uint32_t controlVendorOut(uint8_t request, uint16_t value, uint16_t index, uint32_t length,
                          uint8_t* data, void* userData) {
    return scriptVendorRequest(request, kHostToDevice, value, index, length, data, userData);
}

int controlLog(const char* text) {
    std::printf("%s\n", text ? text : "");
    return 0;
}

int ZuUsbCameraLib::registerCtrls(const CtrlRecord* records, uint32_t count) {
    return register_ctrls(controller_, records, count);
}

int ZuUsbCameraLib::setCtrl(const char* name, int64_t value, void* userData) {
    return set_ctrl(controller_, name, value, userData);
}

}  // namespace vexo::camera
