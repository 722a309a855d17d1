#pragma once

#include <vexo/controls.h>

#include <cstdint>

namespace vexo::camera {

/// The callbacks a camera hands to init_controller. Each treats `userData` as the
/// UsbCameraLib it acts on and returns that operation's status (the byte count of a vendor
/// request is not passed on); a null context reports USB_CAMERA_USB_CREATE_ERROR.
uint32_t controlReadReg(uint32_t reg, uint32_t* value, void* userData);
uint32_t controlWriteReg(uint32_t reg, uint32_t value, void* userData);
uint32_t controlVendorIn(uint8_t request, uint16_t value, uint16_t index, uint32_t length,
                         uint8_t* data, void* userData);
uint32_t controlVendorOut(uint8_t request, uint16_t value, uint16_t index, uint32_t length,
                          uint8_t* data, void* userData);
/// Writes `text` and a line feed to standard output.
int controlLog(const char* text);

}  // namespace vexo::camera
