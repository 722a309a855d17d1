// The driver's request bytes, decoded with every offset checked against its buffer.
#include "driver/libusb/driver_request.h"

#include <algorithm>
#include <cstring>

namespace vexo::driver::lusb {

namespace {

uint16_t read16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t read32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void write32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// True when [offset, offset + length) lies inside a buffer of `size` bytes and after the header.
bool fitsAfterHeader(uint32_t offset, uint32_t length, uint32_t size) {
    if (length == 0) return true;
    if (offset < kRecordHeaderSize) return false;
    return static_cast<uint64_t>(offset) + length <= size;
}

template <typename T>
Decoded<T> refuse(DecodeError error) {
    Decoded<T> d;
    d.error = error;
    return d;
}

template <typename T>
Decoded<T> accept(const T& request) {
    Decoded<T> d;
    d.request = request;
    return d;
}

}  // namespace

Decoded<ControlRequest> decodeControlRequest(uint8_t* in, uint32_t inLength, uint8_t* out,
                                             uint32_t outLength) {
    if (!in || !out || inLength < kRecordHeaderSize || outLength < kRecordHeaderSize)
        return refuse<ControlRequest>(DecodeError::Malformed);
    ControlRequest r;
    r.setup.bmRequestType = in[record::kRequestType];
    r.setup.bRequest = in[record::kRequest];
    r.setup.wValue = read16(in + record::kValue);
    r.setup.wIndex = read16(in + record::kIndex);
    r.setup.wLength = read16(in + record::kLength);
    r.timeoutSeconds = read32(in + record::kTimeout);
    r.dataOffset = read32(in + record::kDataOffset);
    const uint32_t dataLength = read32(in + record::kDataLength);
    r.statusHeader = out;
    r.capacity = std::min<uint32_t>(r.setup.wLength, dataLength);
    if (r.capacity > 0) {
        uint8_t* base = r.setup.isIn() ? out : in;
        const uint32_t size = r.setup.isIn() ? outLength : inLength;
        if (!fitsAfterHeader(r.dataOffset, r.capacity, size))
            return refuse<ControlRequest>(DecodeError::Malformed);
        r.data = base + r.dataOffset;
    }
    return accept(r);
}

Decoded<DataRequest> decodeBufferedRequest(uint8_t* in, uint32_t inLength, uint8_t* out,
                                           uint32_t outLength) {
    if (!in || !out || inLength < kRecordHeaderSize || outLength < kRecordHeaderSize)
        return refuse<DataRequest>(DecodeError::Malformed);
    if (read32(in + record::kPacketInfoLength) != 0)
        return refuse<DataRequest>(DecodeError::Unsupported);
    DataRequest r;
    r.endpoint = in[record::kEndpoint];
    r.dataOffset = read32(in + record::kDataOffset);
    r.length = read32(in + record::kDataLength);
    r.statusHeader = out;
    if (r.length > 0) {
        uint8_t* base = r.isIn() ? out : in;
        const uint32_t size = r.isIn() ? outLength : inLength;
        if (!fitsAfterHeader(r.dataOffset, r.length, size))
            return refuse<DataRequest>(DecodeError::Malformed);
        r.data = base + r.dataOffset;
    }
    return accept(r);
}

Decoded<DataRequest> decodeDirectRequest(uint8_t* in, uint32_t inLength, uint8_t* out,
                                         uint32_t outLength) {
    if (!in || inLength < kRecordHeaderSize) return refuse<DataRequest>(DecodeError::Malformed);
    if (read32(in + record::kPacketInfoLength) != 0)
        return refuse<DataRequest>(DecodeError::Unsupported);
    DataRequest r;
    r.endpoint = in[record::kEndpoint];
    r.data = outLength > 0 ? out : nullptr;
    r.length = r.data ? outLength : 0;
    r.dataOffset = 0;
    r.statusHeader = in;
    return accept(r);
}

std::optional<TransferSizeRequest> decodeTransferSize(const uint8_t* in, uint32_t inLength) {
    if (!in || inLength < kTransferSizeRecordSize) return std::nullopt;
    return TransferSizeRequest{in[0], read32(in + 1)};
}

std::optional<uint8_t> decodeAbortPipe(const uint8_t* in, uint32_t inLength) {
    if (!in || inLength < 1) return std::nullopt;
    return in[0];
}

void writeStatusWords(uint8_t* header, uint32_t ntStatus, uint32_t usbdStatus) {
    write32(header + record::kNtStatus, ntStatus);
    write32(header + record::kUsbdStatus, usbdStatus);
}

uint32_t writeNameReply(uint8_t* out, uint32_t size, const char* text) {
    size = std::min(size, kNameBufferSize);
    if (!out || size == 0) return 0;
    std::memset(out, 0, size);
    const size_t n = std::min<size_t>(std::strlen(text), size - 1);
    std::memcpy(out, text, n);
    return size;
}

}  // namespace vexo::driver::lusb
