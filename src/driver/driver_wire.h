// The driver's wire: the request codes, the records transfer requests carry, the status words a
// backend writes back, the setup packet, and the decoders every backend reads requests with.
//
// A request is a code with the caller's input and output buffers, as DeviceIoControl takes them.
// A transfer request carries a 38-byte little-endian TransferRecord, followed by packet
// information and data where its offsets say. The usb layer builds records as TransferRecord
// values; backends read them only through the decoders below, which check every offset and
// length against the buffers the caller passed, so that a request naming bytes outside them is
// refused instead of served.
//
// Threading: constants and pure functions over the caller's buffers.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace vexo::driver {

static_assert(std::endian::native == std::endian::little,
              "the driver records are little-endian and copied as they are");

// Request codes: CTL_CODE(FILE_DEVICE_UNKNOWN, function, method, FILE_ANY_ACCESS).
inline constexpr uint32_t kRequestDriverVersion = 0x220000;     ///< 4 bytes out
inline constexpr uint32_t kRequestUsbdiVersion = 0x220004;      ///< 4 bytes out
inline constexpr uint32_t kRequestAlternateSetting = 0x220008;  ///< 1 byte out
inline constexpr uint32_t kRequestAddress = 0x220010;           ///< 1 byte out
inline constexpr uint32_t kRequestControlTransfer = 0x220020;   ///< record with data, endpoint 0
inline constexpr uint32_t kRequestBufferedTransfer = 0x220024;  ///< record with data, byte 13
inline constexpr uint32_t kRequestSetTransferSize = 0x220038;   ///< TransferSizeRecord
inline constexpr uint32_t kRequestFriendlyName = 0x22003C;      ///< kNameBufferSize bytes out
inline constexpr uint32_t kRequestDeviceName = 0x220040;        ///< kNameBufferSize bytes out
inline constexpr uint32_t kRequestAbortPipe = 0x220044;         ///< endpoint address, 1 byte in
inline constexpr uint32_t kRequestDirectTransfer = 0x22004B;    ///< record in, caller's buffer out
inline constexpr uint32_t kRequestSpeed = 0x22004C;  ///< 4 bytes out: 2 high speed, 4 SuperSpeed

/// The eight bytes of a USB setup packet, fields in host order.
struct SetupPacket {
    uint8_t bmRequestType = 0;  ///< bit 7: device-to-host; bits 5-6: type; bits 0-4: recipient
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;

    bool isIn() const { return (bmRequestType & 0x80) != 0; }
};

#pragma pack(push, 1)
/// Header of every transfer request: 38 bytes, followed by packet information and data as its
/// offsets say.
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
    uint32_t packetInfoLength;  ///< one PacketInfo per packet
    uint32_t dataOffset;        ///< 0 when the data does not travel in the record
    uint32_t dataLength;

    SetupPacket setup() const { return {bmRequestType, bRequest, wValue, wIndex, wLength}; }
};

/// One packet's entry in an isochronous record's packet information.
struct PacketInfo {
    uint32_t status;  ///< 0: received
    uint32_t length;  ///< bytes of the packet
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
static_assert(sizeof(PacketInfo) == 8);
static_assert(offsetof(PacketInfo, length) == 4);
static_assert(sizeof(TransferSizeRecord) == 5);
static_assert(offsetof(TransferSizeRecord, endpointAddress) == 0);
static_assert(offsetof(TransferSizeRecord, transferSize) == 1);

inline constexpr uint32_t kTransferRecordSize = sizeof(TransferRecord);
inline constexpr uint32_t kPacketInfoSize = sizeof(PacketInfo);
inline constexpr uint32_t kTransferSizeRecordSize = sizeof(TransferSizeRecord);
/// The longest name reply, its terminator included.
inline constexpr uint32_t kNameBufferSize = 256;

/// Byte offsets of the record's fields, for code that reads or patches raw records.
namespace record {
inline constexpr uint32_t kEndpoint = offsetof(TransferRecord, endpointAddress);
inline constexpr uint32_t kNtStatus = offsetof(TransferRecord, ntStatus);
inline constexpr uint32_t kUsbdStatus = offsetof(TransferRecord, usbdStatus);
inline constexpr uint32_t kPacketInfoLength = offsetof(TransferRecord, packetInfoLength);
inline constexpr uint32_t kDataOffset = offsetof(TransferRecord, dataOffset);
inline constexpr uint32_t kDataLength = offsetof(TransferRecord, dataLength);
}  // namespace record

// NT status words, written into a record's ntStatus.
inline constexpr uint32_t kNtSuccess = 0;
inline constexpr uint32_t kNtUnsuccessful = 0xC0000001;
inline constexpr uint32_t kNtInvalidParameter = 0xC000000D;
inline constexpr uint32_t kNtNoSuchDevice = 0xC000000E;
inline constexpr uint32_t kNtDataOverrun = 0xC000003C;
inline constexpr uint32_t kNtInsufficientResources = 0xC000009A;
inline constexpr uint32_t kNtIoTimeout = 0xC00000B5;
inline constexpr uint32_t kNtCancelled = 0xC0000120;

// USBD status words, written into a record's usbdStatus.
inline constexpr uint32_t kUsbdSuccess = 0;
inline constexpr uint32_t kUsbdStallPid = 0xC0000004;
inline constexpr uint32_t kUsbdDevNotResponding = 0xC0000005;
inline constexpr uint32_t kUsbdBabbleDetected = 0xC0000012;
inline constexpr uint32_t kUsbdInsufficientResources = 0xC0001000;
inline constexpr uint32_t kUsbdInvalidParameter = 0x80000300;
inline constexpr uint32_t kUsbdTimeout = 0xC0006000;
inline constexpr uint32_t kUsbdDeviceGone = 0xC0007000;
inline constexpr uint32_t kUsbdCanceled = 0xC0010000;

/// The header at the start of `bytes`; nothing when fewer than kTransferRecordSize bytes.
std::optional<TransferRecord> readTransferRecord(const uint8_t* bytes, uint32_t length);

/// True when [offset, offset + length) lies inside a buffer of `size` bytes (an empty span
/// always does), counted without wrapping.
bool spanFits(uint32_t offset, uint32_t length, uint32_t size);

/// Why a request was refused before it reached the device.
enum class DecodeError {
    Malformed,    ///< offsets or lengths outside the buffers (ERROR_INVALID_PARAMETER)
    Unsupported,  ///< a well-formed request the backend does not serve (isochronous)
};

/// Request 0x220020 read in place: an endpoint-0 transfer whose data stage travels in the record.
struct ControlRequest {
    SetupPacket setup;
    uint32_t timeoutSeconds = 0;
    uint32_t dataOffset = 0;
    /// The data stage's place in the record: for OUT requests inside the input record, for IN
    /// requests inside the output record. Null when nothing moves.
    uint8_t* data = nullptr;
    /// Bytes of the data stage the record holds: wLength, or less when the record's data
    /// length is shorter (the stage still runs wLength bytes; the rest is not kept).
    uint32_t capacity = 0;
    /// The output record's header, which receives the status words.
    uint8_t* statusHeader = nullptr;
};

/// Requests 0x220024 (data inside the record) and 0x22004B (data in the caller's buffer), read
/// in place; both refuse packet information (Unsupported).
struct DataRequest {
    uint8_t endpoint = 0;
    bool isIn() const { return (endpoint & 0x80) != 0; }
    uint8_t* data = nullptr;  ///< null when length is 0
    uint32_t length = 0;
    uint32_t dataOffset = 0;  ///< added to the bytes moved in the reported count
    /// The header that receives the status words: the output record for 0x220024, the input
    /// record for 0x22004B (whose output is the caller's data buffer).
    uint8_t* statusHeader = nullptr;
};

/// Request 0x220038.
struct TransferSizeRequest {
    uint8_t endpoint = 0;
    uint32_t size = 0;
};

/// A decoded request, or why it was refused.
template <typename T>
struct Decoded {
    std::optional<T> request;
    DecodeError error = DecodeError::Malformed;
};

/// The in-place decoders: data lies after the header, inside the buffer its direction names.
Decoded<ControlRequest> decodeControlRequest(uint8_t* in, uint32_t inLength, uint8_t* out,
                                             uint32_t outLength);
Decoded<DataRequest> decodeBufferedRequest(uint8_t* in, uint32_t inLength, uint8_t* out,
                                           uint32_t outLength);
Decoded<DataRequest> decodeDirectRequest(uint8_t* in, uint32_t inLength, uint8_t* out,
                                         uint32_t outLength);
std::optional<TransferSizeRequest> decodeTransferSize(const uint8_t* in, uint32_t inLength);
std::optional<uint8_t> decodeAbortPipe(const uint8_t* in, uint32_t inLength);

/// Answers request 0x220038 with its record as it came, cut to `outLength` bytes (`out` may be
/// `in`). Returns the bytes written.
uint32_t echoTransferSize(uint8_t* out, uint32_t outLength, const uint8_t* in);

/// Writes the NT and USBD status words into a record header of kTransferRecordSize bytes.
void writeStatusWords(uint8_t* header, uint32_t ntStatus, uint32_t usbdStatus);

/// Fills a name reply of min(size, kNameBufferSize) bytes: the text (cut to leave room for its
/// terminator), zero bytes after it. Returns the bytes written.
uint32_t writeNameReply(uint8_t* out, uint32_t size, const char* text);

}  // namespace vexo::driver
