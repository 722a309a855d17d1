// Little-endian reads from descriptor blocks; callers check bounds first.
#pragma once

#include <cstdint>

namespace vexo::usb {

inline uint16_t le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Descriptor types.
inline constexpr uint8_t kDescDevice = 1;
inline constexpr uint8_t kDescConfiguration = 2;
inline constexpr uint8_t kDescString = 3;
inline constexpr uint8_t kDescInterface = 4;
inline constexpr uint8_t kDescEndpoint = 5;
inline constexpr uint8_t kDescBos = 15;
inline constexpr uint8_t kDescCompanion = 0x30;

}  // namespace vexo::usb
