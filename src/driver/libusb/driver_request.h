// Decoding of the driver's request bytes as every backend reads them: request codes, the
// 38-byte transfer record header, the transfer-size record and the abort byte.
//
// The decoders check every offset and length against the buffers the caller passed, so a
// request that names bytes outside them is refused instead of served. Nothing in here touches
// libusb; the backend turns a decoded request into USB traffic.
//
// Threading: pure functions over the caller's buffers.
#pragma once

#include <cstdint>
#include <optional>

namespace vexo::driver::lusb {

// Request codes: CTL_CODE(FILE_DEVICE_UNKNOWN, function, method, FILE_ANY_ACCESS).
inline constexpr uint32_t kRequestDriverVersion = 0x220000;
inline constexpr uint32_t kRequestUsbdiVersion = 0x220004;
inline constexpr uint32_t kRequestAlternateSetting = 0x220008;
inline constexpr uint32_t kRequestAddress = 0x220010;
inline constexpr uint32_t kRequestControlTransfer = 0x220020;
inline constexpr uint32_t kRequestBufferedTransfer = 0x220024;
inline constexpr uint32_t kRequestSetTransferSize = 0x220038;
inline constexpr uint32_t kRequestFriendlyName = 0x22003C;
inline constexpr uint32_t kRequestDeviceName = 0x220040;
inline constexpr uint32_t kRequestAbortPipe = 0x220044;
inline constexpr uint32_t kRequestDirectTransfer = 0x22004B;
inline constexpr uint32_t kRequestSpeed = 0x22004C;

inline constexpr uint32_t kRecordHeaderSize = 38;
inline constexpr uint32_t kTransferSizeRecordSize = 5;
inline constexpr uint32_t kNameBufferSize = 256;

/// Byte offsets in the record header (little-endian fields).
namespace record {
inline constexpr uint32_t kRequestType = 0;
inline constexpr uint32_t kRequest = 1;
inline constexpr uint32_t kValue = 2;
inline constexpr uint32_t kIndex = 4;
inline constexpr uint32_t kLength = 6;
inline constexpr uint32_t kTimeout = 8;
inline constexpr uint32_t kEndpoint = 13;
inline constexpr uint32_t kNtStatus = 14;
inline constexpr uint32_t kUsbdStatus = 18;
inline constexpr uint32_t kPacketInfoOffset = 22;
inline constexpr uint32_t kPacketInfoLength = 26;
inline constexpr uint32_t kDataOffset = 30;
inline constexpr uint32_t kDataLength = 34;
}  // namespace record

/// Why a request was refused before it reached the device.
enum class DecodeError {
    Malformed,    ///< offsets or lengths outside the buffers (ERROR_INVALID_PARAMETER)
    Unsupported,  ///< a well-formed request this backend does not serve (isochronous)
};

/// The setup packet of an endpoint-0 request, fields in host order.
struct Setup {
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;

    bool isIn() const { return (bmRequestType & 0x80) != 0; }
};

/// Request 0x220020: an endpoint-0 transfer whose data stage travels in the record.
struct ControlRequest {
    Setup setup;
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

/// Requests 0x220024 (data inside the record) and 0x22004B (data in the caller's buffer).
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

template <typename T>
struct Decoded {
    std::optional<T> request;
    DecodeError error = DecodeError::Malformed;
};

Decoded<ControlRequest> decodeControlRequest(uint8_t* in, uint32_t inLength, uint8_t* out,
                                             uint32_t outLength);
Decoded<DataRequest> decodeBufferedRequest(uint8_t* in, uint32_t inLength, uint8_t* out,
                                           uint32_t outLength);
Decoded<DataRequest> decodeDirectRequest(uint8_t* in, uint32_t inLength, uint8_t* out,
                                         uint32_t outLength);
std::optional<TransferSizeRequest> decodeTransferSize(const uint8_t* in, uint32_t inLength);
std::optional<uint8_t> decodeAbortPipe(const uint8_t* in, uint32_t inLength);

/// Writes the NT and USBD status words into a record header of kRecordHeaderSize bytes.
void writeStatusWords(uint8_t* header, uint32_t ntStatus, uint32_t usbdStatus);

/// Fills a name reply of min(size, 256) bytes: the text (cut to leave room for its terminator),
/// zero bytes after it. Returns the bytes written.
uint32_t writeNameReply(uint8_t* out, uint32_t size, const char* text);

}  // namespace vexo::driver::lusb
