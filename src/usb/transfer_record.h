// The records the usb layer hands to the driver, and the driver's request codes.
//
// Both records are little-endian byte layouts that every backend reads the same way; their
// sizes and offsets are pinned below.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "driver/pooled.h"

namespace vexo::usb {

static_assert(std::endian::native == std::endian::little,
              "the driver records are little-endian and copied as they are");

// Request codes: CTL_CODE(FILE_DEVICE_UNKNOWN, function, method, FILE_ANY_ACCESS).
inline constexpr uint32_t kIoctlDriverVersion = 0x220000;     ///< 4 bytes out
inline constexpr uint32_t kIoctlUsbdiVersion = 0x220004;      ///< 4 bytes out
inline constexpr uint32_t kIoctlAlternateSetting = 0x220008;  ///< 1 byte out
inline constexpr uint32_t kIoctlAddress = 0x220010;           ///< 1 byte out
inline constexpr uint32_t kIoctlControlTransfer = 0x220020;   ///< record with data, endpoint 0
inline constexpr uint32_t kIoctlBufferedTransfer = 0x220024;  ///< record with data, byte 13
inline constexpr uint32_t kIoctlSetTransferSize = 0x220038;   ///< TransferSizeRecord
inline constexpr uint32_t kIoctlFriendlyName = 0x22003C;      ///< 256 bytes out
inline constexpr uint32_t kIoctlAbortPipe = 0x220044;         ///< endpoint address, 1 byte in
inline constexpr uint32_t kIoctlDeviceName = 0x220040;        ///< 256 bytes out
inline constexpr uint32_t kIoctlDirectTransfer = 0x22004B;    ///< record in, caller's buffer out
inline constexpr uint32_t kIoctlSpeed = 0x22004C;             ///< 4 bytes out: 2 high, 4 super

/// Header of every transfer request: 38 bytes, followed by packet information and data as its
/// offsets say.
#pragma pack(push, 1)
struct TransferRecord {
    uint8_t bmRequestType;  ///< setup packet (endpoint 0 only)
    uint8_t bRequest;
    uint16_t wValue;
    uint16_t wIndex;
    uint16_t wLength;
    uint32_t timeoutSeconds;  ///< endpoint 0 only
    uint8_t reserved;
    uint8_t endpointAddress;    ///< 0 for endpoint 0
    uint32_t ntStatus;          ///< written by the driver
    uint32_t usbdStatus;        ///< written by the driver
    uint32_t packetInfoOffset;  ///< from the record's start; isochronous only
    uint32_t packetInfoLength;  ///< 8 bytes per packet
    uint32_t dataOffset;        ///< 0 when the data does not travel in the record
    uint32_t dataLength;
};

/// Request 0x220038: the transfer size of one pipe.
struct TransferSizeRecord {
    uint8_t endpointAddress;
    uint32_t transferSize;
};
#pragma pack(pop)

static_assert(sizeof(TransferRecord) == 38);
static_assert(offsetof(TransferRecord, bmRequestType) == 0);
static_assert(offsetof(TransferRecord, bRequest) == 1);
static_assert(offsetof(TransferRecord, wValue) == 2);
static_assert(offsetof(TransferRecord, wIndex) == 4);
static_assert(offsetof(TransferRecord, wLength) == 6);
static_assert(offsetof(TransferRecord, timeoutSeconds) == 8);
static_assert(offsetof(TransferRecord, reserved) == 12);
static_assert(offsetof(TransferRecord, endpointAddress) == 13);
static_assert(offsetof(TransferRecord, ntStatus) == 14);
static_assert(offsetof(TransferRecord, usbdStatus) == 18);
static_assert(offsetof(TransferRecord, packetInfoOffset) == 22);
static_assert(offsetof(TransferRecord, packetInfoLength) == 26);
static_assert(offsetof(TransferRecord, dataOffset) == 30);
static_assert(offsetof(TransferRecord, dataLength) == 34);
static_assert(sizeof(TransferSizeRecord) == 5);
static_assert(offsetof(TransferSizeRecord, endpointAddress) == 0);
static_assert(offsetof(TransferSizeRecord, transferSize) == 1);

inline constexpr uint32_t kTransferRecordSize = sizeof(TransferRecord);
inline constexpr uint32_t kPacketInfoSize = 8;

/// The whole record of one transfer in flight: header, packet information and (buffered form)
/// data. Made by a begin operation and released by finishTransfer(); the driver writes into it
/// until the transfer completes, so it is read only after completion.
///
/// Threading: owned by one transfer; not shared.
class TransferBlock : public driver::Pooled<TransferBlock> {
  public:
    /// A zero-filled block of `size` bytes (at least the header). Records of data reads and of
    /// vendor requests fit in the block itself; only larger ones take heap storage.
    explicit TransferBlock(uint32_t size)
        : size_(size < kTransferRecordSize ? kTransferRecordSize : size) {
        if (size_ > kInlineBytes) heap_.reset(new uint8_t[size_]());
    }

    uint8_t* data() { return heap_ ? heap_.get() : inline_; }
    const uint8_t* data() const { return heap_ ? heap_.get() : inline_; }
    uint32_t size() const { return size_; }

    /// A copy of the header.
    TransferRecord header() const {
        TransferRecord h;
        std::memcpy(&h, data(), sizeof h);
        return h;
    }
    void setHeader(const TransferRecord& h) { std::memcpy(data(), &h, sizeof h); }

  private:
    static constexpr uint32_t kInlineBytes = 128;

    uint32_t size_;
    uint8_t inline_[kInlineBytes] = {};
    std::unique_ptr<uint8_t[]> heap_;
};

}  // namespace vexo::usb
