// Where the virtual backend finds the fields of the driver's transfer records. The records are
// little-endian byte layouts; the backend reads and writes them through these helpers only,
// after checking the record is long enough.
#pragma once

#include <cstdint>
#include <cstring>

namespace vexo::driver::virt {

inline constexpr uint32_t kRecordHeaderSize = 38;

// Offsets within a transfer record.
inline constexpr uint32_t kOffSetup = 0;    // 8 bytes of setup packet
inline constexpr uint32_t kOffTimeout = 8;  // seconds
inline constexpr uint32_t kOffEndpoint = 13;
inline constexpr uint32_t kOffNtStatus = 14;
inline constexpr uint32_t kOffUsbdStatus = 18;
inline constexpr uint32_t kOffPacketInfoOffset = 22;
inline constexpr uint32_t kOffPacketInfoLength = 26;
inline constexpr uint32_t kOffDataOffset = 30;
inline constexpr uint32_t kOffDataLength = 34;

inline constexpr uint32_t kSizeRecordSize = 5;   // endpoint address + 32-bit size
inline constexpr uint32_t kPacketInfoEntry = 8;  // status, then length

// Status words the backend reports.
inline constexpr uint32_t kNtSuccess = 0;
inline constexpr uint32_t kNtUnsuccessful = 0xC0000001;
inline constexpr uint32_t kNtNoSuchDevice = 0xC000000E;
inline constexpr uint32_t kNtCancelled = 0xC0000120;
inline constexpr uint32_t kUsbdStallPid = 0xC0000004;
inline constexpr uint32_t kUsbdCanceled = 0xC0010000;
inline constexpr uint32_t kUsbdDeviceGone = 0xC0007000;

inline uint16_t readLe16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t readLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline void writeLe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

}  // namespace vexo::driver::virt
