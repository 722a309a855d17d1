// vexo/config.hpp — a board's configuration as a C++ value: the one configuration type of the
// C++ API and of the C++ layer above it (frame layout, conversion, frame files).
//
// Header-only: it converts to and from the CameraConfig record of the C functions and needs no
// library.
#pragma once

#include <vexo/camera.h>

#include <cstdint>

namespace vexo {

/// What a sensor sends and how to reach it. The defaults describe the default virtual board
/// (640x480 RAW, one byte a pixel, sensor at 0x20 with 16-bit addresses and 8-bit values).
struct Config {
    uint32_t width = 640;                 ///< 1..16384 pixels
    uint32_t height = 480;                ///< 1..16384 lines
    uint8_t pixelBytes = 1;               ///< 1 or 2
    uint8_t pixelBits = 8;                ///< significant bits of a pixel
    FormatMode format = FORMAT_MODE_RAW;  ///< image format of the stream
    uint32_t i2cAddress = 0x20;           ///< I2C address of the sensor
    I2cMode i2cMode = I2C_MODE_16_8;      ///< sensor register-address and value widths
    uint32_t transferLevel = 0;           ///< 0: the library's default transfer length
    uint32_t cameraType = 0;              ///< your own sensor type, carried unchanged
    uint16_t sensorVendor = 0;            ///< your own sensor vendor id, carried unchanged

    CameraConfig toCameraConfig() const {
        CameraConfig cfg{};
        cfg.u32CameraType = cameraType;
        cfg.u16Vid = sensorVendor;
        cfg.u32Width = width;
        cfg.u32Height = height;
        cfg.u8PixelBytes = pixelBytes;
        cfg.u8PixelBits = pixelBits;
        cfg.u32I2cAddr = i2cAddress;
        cfg.emI2cMode = i2cMode;
        cfg.emImageFmtMode = format;
        cfg.u32TransLvl = transferLevel;
        return cfg;
    }

    /// The configuration a record holds (u32Size and usbType are outputs and are not kept).
    static Config from(const CameraConfig& cfg) {
        Config config;
        config.width = cfg.u32Width;
        config.height = cfg.u32Height;
        config.pixelBytes = cfg.u8PixelBytes;
        config.pixelBits = cfg.u8PixelBits;
        config.format = cfg.emImageFmtMode;
        config.i2cAddress = cfg.u32I2cAddr;
        config.i2cMode = cfg.emI2cMode;
        config.transferLevel = cfg.u32TransLvl;
        config.cameraType = cfg.u32CameraType;
        config.sensorVendor = cfg.u16Vid;
        return config;
    }

    bool operator==(const Config&) const = default;
};

}  // namespace vexo
