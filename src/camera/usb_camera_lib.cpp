// Defaults of the camera interface: an operation a derived class does not provide does
// nothing and reports success.
#include "camera/usb_camera_lib.h"

namespace vexo::camera {

UsbCameraLib::~UsbCameraLib() = default;

uint32_t UsbCameraLib::scanByVid(uint32_t*, uint16_t) {
    return 0;
}
uint32_t UsbCameraLib::scan(ScanEntry*) {
    return 0;
}
uint32_t UsbCameraLib::open(CameraConfig*, uint32_t) {
    return 0;
}
uint32_t UsbCameraLib::autoopen(CameraConfig*) {
    return 0;
}
uint32_t UsbCameraLib::close() {
    return 0;
}
uint32_t UsbCameraLib::beginCaptureImage() {
    return 0;
}
uint32_t UsbCameraLib::captureImage() {
    return 0;
}
uint32_t UsbCameraLib::endCaptureImage() {
    return 0;
}
uint32_t UsbCameraLib::readImage(FrameData**) {
    return 0;
}
uint32_t UsbCameraLib::del() {
    return 0;
}
uint32_t UsbCameraLib::flush() {
    return 0;
}
uint32_t UsbCameraLib::availableImage() {
    return 0;
}
uint32_t UsbCameraLib::shot() {
    return 0;
}
uint32_t UsbCameraLib::writeSensorReg(uint32_t, uint32_t) {
    return 0;
}
uint32_t UsbCameraLib::readSensorReg(uint32_t, uint32_t*) {
    return 0;
}
uint32_t UsbCameraLib::getSensorCfg(CameraConfig*) {
    return 0;
}
uint32_t UsbCameraLib::getUsbType(uint8_t*, uint8_t*) {
    return 0;
}
uint32_t UsbCameraLib::writeReg_8_8(uint32_t, uint32_t, uint32_t) {
    return 0;
}
uint32_t UsbCameraLib::readReg_8_8(uint32_t, uint32_t, uint32_t*) {
    return 0;
}
uint32_t UsbCameraLib::writeReg_8_16(uint32_t, uint32_t, uint32_t) {
    return 0;
}
uint32_t UsbCameraLib::readReg_8_16(uint32_t, uint32_t, uint32_t*) {
    return 0;
}
uint32_t UsbCameraLib::writeReg_16_8(uint32_t, uint32_t, uint32_t) {
    return 0;
}
uint32_t UsbCameraLib::readReg_16_8(uint32_t, uint32_t, uint32_t*) {
    return 0;
}
uint32_t UsbCameraLib::writeReg_16_16(uint32_t, uint32_t, uint32_t) {
    return 0;
}
uint32_t UsbCameraLib::readReg_16_16(uint32_t, uint32_t, uint32_t*) {
    return 0;
}
uint32_t UsbCameraLib::vendorRequest(uint8_t, uint8_t, uint16_t, uint16_t, uint32_t, uint8_t*,
                                     uint32_t*) {
    return 0;
}
void UsbCameraLib::enableForceRead() {}
void UsbCameraLib::disableForceRead() {}
uint32_t UsbCameraLib::readUserData(uint16_t, uint8_t, uint8_t*) {
    return 0;
}
uint32_t UsbCameraLib::writeUserData(uint16_t, uint8_t, uint8_t*) {
    return 0;
}

}  // namespace vexo::camera
