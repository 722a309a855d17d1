#pragma once

#include <vexo/camera.h>

#include <cstdint>
#include <cstring>

namespace vexo::camera {

/// The two enumeration fields of a CameraConfig as plain numbers. Callers may store any
/// 32-bit value there (format 7 has no name, unknown I2C modes are answered with an error),
/// and loading such a value as the enumeration type is undefined, so they are only ever
/// copied as bytes.
inline uint32_t formatModeValue(const CameraConfig& cfg) {
    uint32_t value;
    std::memcpy(&value, &cfg.emImageFmtMode, sizeof value);
    return value;
}

inline uint32_t i2cModeValue(const CameraConfig& cfg) {
    uint32_t value;
    std::memcpy(&value, &cfg.emI2cMode, sizeof value);
    return value;
}

/// Copies both enumeration fields from `from` to `to`.
inline void copyModes(CameraConfig& to, const CameraConfig& from) {
    std::memcpy(&to.emImageFmtMode, &from.emImageFmtMode, sizeof to.emImageFmtMode);
    std::memcpy(&to.emI2cMode, &from.emI2cMode, sizeof to.emI2cMode);
}

}  // namespace vexo::camera
