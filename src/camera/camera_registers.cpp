/*
 * Register access of the camera: the ten register operations in their five address/value
 * widths, sensor registers by the applied I2C mode, and the USB-type query. Every one is a
 * single vendorRequest(); multi-byte values travel most significant byte first.
 */
#include <algorithm>
#include <iterator>

#include "camera/config_fields.h"
#include "camera/zu_usb_camera_lib.h"

namespace vexo::camera {

namespace {

/* Request codes of the register operations. */
constexpr uint8_t kReadReg8_16 = 0xD4;
constexpr uint8_t kWriteReg8_16 = 0xD5;
constexpr uint8_t kReadReg8_8 = 0xD6;
constexpr uint8_t kWriteReg8_8 = 0xD7;
constexpr uint8_t kReadReg16_8 = 0xDF;
constexpr uint8_t kWriteReg16_8 = 0xE0;
constexpr uint8_t kWriteReg16_16 = 0xE1;
constexpr uint8_t kReadReg16_16 = 0xE2;
constexpr uint8_t kWriteReg16_32 = 0xE5;
constexpr uint8_t kReadReg16_32 = 0xE6;

/* The device address rides in the high byte of wValue, its low byte zero. */
uint16_t deviceField(uint32_t dev) {
    return static_cast<uint16_t>((dev & 0xFF) << 8);
}
/* An 8-bit register number rides in the high byte of wIndex. */
uint16_t reg8Field(uint32_t reg) {
    return static_cast<uint16_t>((reg & 0xFF) << 8);
}
uint16_t reg16Field(uint32_t reg) {
    return static_cast<uint16_t>(reg & 0xFFFF);
}

/* Most significant byte first, @width bytes. */
void putBigEndian(uint8_t* out, uint32_t value, unsigned width) {
    for (unsigned i = 0; i < width; ++i)
        out[i] = static_cast<uint8_t>(value >> (8 * (width - 1 - i)));
}

uint32_t getBigEndian(const uint8_t* in, unsigned width) {
    uint32_t value = 0;
    for (unsigned i = 0; i < width; ++i) value = (value << 8) | in[i];
    return value;
}

/* One register write: @width value bytes, most significant first. Returns the request's
 * status. */
uint32_t sendRegister(UsbCameraLib& camera, uint8_t code, uint16_t devField, uint16_t regField,
                      uint32_t value, unsigned width) {
    uint8_t data[4];
    putBigEndian(data, value, width);
    uint32_t moved = 0;
    return camera.vendorRequest(code, kHostToDevice, devField, regField, width, data, &moved);
}

/* One register read: @width value bytes and a status byte into @reply (zeroed first, so a
 * failed request reads 0), the value stored through @value when given. Returns the request's
 * status. */
uint32_t fetchRegister(UsbCameraLib& camera, uint8_t code, uint16_t devField, uint16_t regField,
                       unsigned width, uint8_t (&reply)[5], uint32_t* value) {
    std::fill(std::begin(reply), std::end(reply), uint8_t{0});
    uint32_t moved = 0;
    const uint32_t status =
        camera.vendorRequest(code, kDeviceToHost, devField, regField, width + 1, reply, &moved);
    if (value) *value = getBigEndian(reply, width);
    return status;
}

/* USB firmware versions that carry the 32-bit register requests: 3.20 up to 3.255. */
bool firmwareHas32BitRegisters(uint32_t version) {
    return version >= 0x0314 && version <= 0x03FF;
}

}  // namespace

/* ---- 8-bit register, 8-bit value ---- */

uint32_t ZuUsbCameraLib::writeReg_8_8(uint32_t dev, uint32_t reg, uint32_t value) {
    sendRegister(*this, kWriteReg8_8, deviceField(dev), reg8Field(reg), value, 1);
    return USB_CAMERA_NO_ERROR;
}

uint32_t ZuUsbCameraLib::readReg_8_8(uint32_t dev, uint32_t reg, uint32_t* value) {
    uint8_t reply[5];
    const uint32_t status =
        fetchRegister(*this, kReadReg8_8, deviceField(dev), reg8Field(reg), 1, reply, value);
    /* USB 3 boards answer with a status byte of their own; a request that never reached
     * the board has no such byte, so its failure is reported instead of a zero status. */
    if (status != USB_CAMERA_NO_ERROR || board_.boardUsbType != 3) return status;
    return reply[1];
}

/* ---- 8-bit register, 16-bit value ---- */

uint32_t ZuUsbCameraLib::writeReg_8_16(uint32_t dev, uint32_t reg, uint32_t value) {
    sendRegister(*this, kWriteReg8_16, deviceField(dev), reg8Field(reg), value, 2);
    return USB_CAMERA_NO_ERROR;
}

uint32_t ZuUsbCameraLib::readReg_8_16(uint32_t dev, uint32_t reg, uint32_t* value) {
    uint8_t reply[5];
    fetchRegister(*this, kReadReg8_16, deviceField(dev), reg8Field(reg), 2, reply, value);
    return USB_CAMERA_NO_ERROR;
}

/* ---- 16-bit register, 8-bit value ---- */

uint32_t ZuUsbCameraLib::writeReg_16_8(uint32_t dev, uint32_t reg, uint32_t value) {
    sendRegister(*this, kWriteReg16_8, deviceField(dev), reg16Field(reg), value, 1);
    return USB_CAMERA_NO_ERROR;
}

uint32_t ZuUsbCameraLib::readReg_16_8(uint32_t dev, uint32_t reg, uint32_t* value) {
    uint8_t reply[5];
    fetchRegister(*this, kReadReg16_8, deviceField(dev), reg16Field(reg), 1, reply, value);
    return USB_CAMERA_NO_ERROR;
}

/* ---- 16-bit register, 16-bit value ---- */

uint32_t ZuUsbCameraLib::writeReg_16_16(uint32_t dev, uint32_t reg, uint32_t value) {
    sendRegister(*this, kWriteReg16_16, deviceField(dev), reg16Field(reg), value, 2);
    return USB_CAMERA_NO_ERROR;
}

uint32_t ZuUsbCameraLib::readReg_16_16(uint32_t dev, uint32_t reg, uint32_t* value) {
    uint8_t reply[5];
    fetchRegister(*this, kReadReg16_16, deviceField(dev), reg16Field(reg), 2, reply, value);
    return USB_CAMERA_NO_ERROR;
}

/* ---- 16-bit register, 32-bit value: only on firmware that knows the requests ---- */

uint32_t ZuUsbCameraLib::writeReg_16_32(uint32_t dev, uint32_t reg, uint32_t value) {
    if (!firmwareHas32BitRegisters(board_.usbFirmwareVersion))
        return USB_BOARD_FW_VERSION_NOT_SUPPORT_ERROR;
    return sendRegister(*this, kWriteReg16_32, deviceField(dev), reg16Field(reg), value, 4);
}

uint32_t ZuUsbCameraLib::readReg_16_32(uint32_t dev, uint32_t reg, uint32_t* value) {
    if (!firmwareHas32BitRegisters(board_.usbFirmwareVersion))
        return USB_BOARD_FW_VERSION_NOT_SUPPORT_ERROR;
    uint8_t reply[5];
    const uint32_t status =
        fetchRegister(*this, kReadReg16_32, deviceField(dev), reg16Field(reg), 4, reply, value);
    if (status != USB_CAMERA_NO_ERROR) return status;
    return reply[4];
}

/* ---- Sensor registers: the width pair follows the applied I2C mode ---- */

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
