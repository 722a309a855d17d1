// Register access of the camera: the ten register operations in their five address/value
// widths, sensor registers by the applied I2C mode, and the USB-type query. Every one is a
// single vendorRequest(); multi-byte values travel most significant byte first.
#include <algorithm>
#include <iterator>

#include "camera/board_controller.h"
#include "camera/config_fields.h"
#include "camera/zu_usb_camera_lib.h"

namespace vexo::camera {

namespace {

// Most significant byte first, `width` bytes.
void putBigEndian(uint8_t* out, uint32_t value, unsigned width) {
    for (unsigned i = 0; i < width; ++i)
        out[i] = static_cast<uint8_t>(value >> (8 * (width - 1 - i)));
}

uint32_t getBigEndian(const uint8_t* in, unsigned width) {
    uint32_t value = 0;
    for (unsigned i = 0; i < width; ++i) value = (value << 8) | in[i];
    return value;
}

// One register write with request `code`, its value width and register field taken from the
// code. Returns the request's status.
uint32_t sendRegister(UsbCameraLib& camera, uint8_t code, uint32_t dev, uint32_t reg,
                      uint32_t value) {
    const RegisterRequest op = *registerRequest(code);
    uint8_t data[4];
    putBigEndian(data, value, op.valueBytes);
    uint32_t moved = 0;
    return camera.vendorRequest(code, kHostToDevice, registerDeviceField(dev),
                                registerNumberField(reg, op.reg16), op.valueBytes, data, &moved);
}

// One register read with request `code`: the value and a status byte into `reply` (zeroed
// first, so a failed request reads 0), the value stored through `value` when given. Returns
// the request's status.
uint32_t fetchRegister(UsbCameraLib& camera, uint8_t code, uint32_t dev, uint32_t reg,
                       uint8_t (&reply)[5], uint32_t* value) {
    const RegisterRequest op = *registerRequest(code);
    std::fill(std::begin(reply), std::end(reply), uint8_t{0});
    uint32_t moved = 0;
    const uint32_t status =
        camera.vendorRequest(code, kDeviceToHost, registerDeviceField(dev),
                             registerNumberField(reg, op.reg16), op.valueBytes + 1u, reply, &moved);
    if (value) *value = getBigEndian(reply, op.valueBytes);
    return status;
}

}  // namespace

// ---- 8-bit register, 8-bit value ----

uint32_t ZuUsbCameraLib::writeReg_8_8(uint32_t dev, uint32_t reg, uint32_t value) {
    sendRegister(*this, kRequestWriteReg8_8, dev, reg, value);
    return USB_CAMERA_NO_ERROR;
}

uint32_t ZuUsbCameraLib::readReg_8_8(uint32_t dev, uint32_t reg, uint32_t* value) {
    uint8_t reply[5];
    const uint32_t status = fetchRegister(*this, kRequestReadReg8_8, dev, reg, reply, value);
    // USB 3 boards answer with a status byte of their own; a request that never reached
    // the board has no such byte, so its failure is reported instead of a zero status.
    if (status != USB_CAMERA_NO_ERROR || board_.boardUsbType != kBoardTypeUsb3) return status;
    return reply[1];
}

// ---- 8-bit register, 16-bit value ----

uint32_t ZuUsbCameraLib::writeReg_8_16(uint32_t dev, uint32_t reg, uint32_t value) {
    sendRegister(*this, kRequestWriteReg8_16, dev, reg, value);
    return USB_CAMERA_NO_ERROR;
}

uint32_t ZuUsbCameraLib::readReg_8_16(uint32_t dev, uint32_t reg, uint32_t* value) {
    uint8_t reply[5];
    fetchRegister(*this, kRequestReadReg8_16, dev, reg, reply, value);
    return USB_CAMERA_NO_ERROR;
}

// ---- 16-bit register, 8-bit value ----

uint32_t ZuUsbCameraLib::writeReg_16_8(uint32_t dev, uint32_t reg, uint32_t value) {
    sendRegister(*this, kRequestWriteReg16_8, dev, reg, value);
    return USB_CAMERA_NO_ERROR;
}

uint32_t ZuUsbCameraLib::readReg_16_8(uint32_t dev, uint32_t reg, uint32_t* value) {
    uint8_t reply[5];
    fetchRegister(*this, kRequestReadReg16_8, dev, reg, reply, value);
    return USB_CAMERA_NO_ERROR;
}

// ---- 16-bit register, 16-bit value ----

uint32_t ZuUsbCameraLib::writeReg_16_16(uint32_t dev, uint32_t reg, uint32_t value) {
    sendRegister(*this, kRequestWriteReg16_16, dev, reg, value);
    return USB_CAMERA_NO_ERROR;
}

uint32_t ZuUsbCameraLib::readReg_16_16(uint32_t dev, uint32_t reg, uint32_t* value) {
    uint8_t reply[5];
    fetchRegister(*this, kRequestReadReg16_16, dev, reg, reply, value);
    return USB_CAMERA_NO_ERROR;
}

// ---- 16-bit register, 32-bit value: only on firmware that knows the requests ----

uint32_t ZuUsbCameraLib::writeReg_16_32(uint32_t dev, uint32_t reg, uint32_t value) {
    if (!firmwareHas32BitRegisters(board_.usbFirmwareVersion))
        return USB_BOARD_FW_VERSION_NOT_SUPPORT_ERROR;
    return sendRegister(*this, kRequestWriteReg16_32, dev, reg, value);
}

uint32_t ZuUsbCameraLib::readReg_16_32(uint32_t dev, uint32_t reg, uint32_t* value) {
    if (!firmwareHas32BitRegisters(board_.usbFirmwareVersion))
        return USB_BOARD_FW_VERSION_NOT_SUPPORT_ERROR;
    uint8_t reply[5];
    const uint32_t status = fetchRegister(*this, kRequestReadReg16_32, dev, reg, reply, value);
    if (status != USB_CAMERA_NO_ERROR) return status;
    return reply[4];
}

// ---- Sensor registers: the width pair follows the applied I2C mode ----

uint32_t ZuUsbCameraLib::writeSensorReg(uint32_t reg, uint32_t value) {
    const uint32_t dev = assembly_.config.u32I2cAddr;
    switch (i2cModeValue(assembly_.config)) {
        case I2C_MODE_8_8:
            return writeReg_8_8(dev, reg, value);
        case I2C_MODE_8_16:
            return writeReg_8_16(dev, reg, value);
        case I2C_MODE_16_8:
            return writeReg_16_8(dev, reg, value);
        case I2C_MODE_16_16:
            return writeReg_16_16(dev, reg, value);
        case I2C_MODE_16_32:
            return writeReg_16_32(dev, reg, value);
        default:
            return USB_CAMERA_VR_COMMAND_ERROR;
    }
}

uint32_t ZuUsbCameraLib::readSensorReg(uint32_t reg, uint32_t* value) {
    const uint32_t dev = assembly_.config.u32I2cAddr;
    switch (i2cModeValue(assembly_.config)) {
        case I2C_MODE_8_8:
            return readReg_8_8(dev, reg, value);
        case I2C_MODE_8_16:
            return readReg_8_16(dev, reg, value);
        case I2C_MODE_16_8:
            return readReg_16_8(dev, reg, value);
        case I2C_MODE_16_16:
            return readReg_16_16(dev, reg, value);
        case I2C_MODE_16_32:
            return readReg_16_32(dev, reg, value);
        default:
            return USB_CAMERA_VR_COMMAND_ERROR;
    }
}

void ZuUsbCameraLib::enableForceRead() {
    assembly_.forceRead.store(true);
}

void ZuUsbCameraLib::disableForceRead() {
    assembly_.forceRead.store(false);
}

}  // namespace vexo::camera
