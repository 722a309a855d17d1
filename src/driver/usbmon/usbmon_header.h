// The per-event header of Linux's usbmon, as captures with link types 189 (USB_LINUX, 48 bytes)
// and 220 (USB_LINUX_MMAPPED, 64 bytes) carry it in front of each event's data. Fields are in
// the byte order of the machine that captured; libpcap swaps them when it reads a file written
// on a machine of the other order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vexo::driver::usbmon {

inline constexpr int kLinkTypeUsbLinux = 189;         ///< 48-byte header
inline constexpr int kLinkTypeUsbLinuxMmapped = 220;  ///< 64-byte header
inline constexpr size_t kHeaderSize189 = 48;
inline constexpr size_t kHeaderSize220 = 64;

/// usbmon's transfer types.
enum TransferType : uint8_t { kIsochronous = 0, kInterrupt = 1, kControl = 2, kBulk = 3 };

/// Event kinds: submission, completion, submission error.
inline constexpr uint8_t kSubmit = 'S';
inline constexpr uint8_t kComplete = 'C';
inline constexpr uint8_t kError = 'E';

/// Status usbmon gives a submission that is in flight (-EINPROGRESS).
inline constexpr int32_t kStatusInProgress = -115;

struct Header {
    uint64_t id;           ///< the request's identity: the same on its S and C events
    uint8_t type;          ///< 'S', 'C' or 'E'
    uint8_t transferType;  ///< TransferType
    uint8_t endpoint;      ///< endpoint number, bit 7 set for IN
    uint8_t device;        ///< device address on its bus
    uint16_t bus;
    uint8_t setupFlag;  ///< 0: setup[] holds a setup packet; '-': none
    uint8_t dataFlag;   ///< 0: data follows; '<' or '>': none (direction of the missing data)
    int64_t seconds;
    int32_t microseconds;
    int32_t status;     ///< 0 or a negative errno
    uint32_t length;    ///< S: bytes asked for; C: bytes moved
    uint32_t captured;  ///< data bytes following the header
    uint8_t setup[8];
    // Link type 220 only.
    int32_t interval;
    int32_t startFrame;
    uint32_t transferFlags;
    uint32_t descriptors;
};
static_assert(sizeof(Header) == kHeaderSize220);
static_assert(offsetof(Header, type) == 8 && offsetof(Header, bus) == 12);
static_assert(offsetof(Header, seconds) == 16 && offsetof(Header, microseconds) == 24);
static_assert(offsetof(Header, status) == 28 && offsetof(Header, length) == 32);
static_assert(offsetof(Header, captured) == 36 && offsetof(Header, setup) == 40);
static_assert(offsetof(Header, interval) == kHeaderSize189);

}  // namespace vexo::driver::usbmon
