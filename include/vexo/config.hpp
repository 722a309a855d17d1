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

    /// The record the C functions take (u32Size and usbType left 0).
    CameraConfig toCameraConfig() const {
        CameraConfig cfg{};
        pairFields(*this, cfg, [](const auto& mine, auto& record) { record = mine; });
        return cfg;
    }

    /// The configuration a record holds (u32Size and usbType are outputs and are not kept).
    static Config from(const CameraConfig& cfg) {
        Config config;
        pairFields(config, cfg, [](auto& mine, const auto& record) { mine = record; });
        return config;
    }

    bool operator==(const Config&) const = default;

  private:
    // Each field beside its CameraConfig field, listed once for both directions.
    template <typename C, typename R, typename F>
    static void pairFields(C& config, R& record, F&& field) {
        field(config.width, record.u32Width);
        field(config.height, record.u32Height);
        field(config.pixelBytes, record.u8PixelBytes);
        field(config.pixelBits, record.u8PixelBits);
        field(config.format, record.emImageFmtMode);
        field(config.i2cAddress, record.u32I2cAddr);
        field(config.i2cMode, record.emI2cMode);
        field(config.transferLevel, record.u32TransLvl);
        field(config.cameraType, record.u32CameraType);
        field(config.sensorVendor, record.u16Vid);
    }
};

}  // namespace vexo
