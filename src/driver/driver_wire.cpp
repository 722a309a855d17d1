// The driver's request bytes, decoded with every offset checked against its buffer.
#include "driver/driver_wire.h"

#include <algorithm>
#include <cstring>

namespace vexo::driver {

namespace {

// Where a data stage of `length` (> 0) bytes at `offset` lies: in the output record for IN
// requests, else in the input record; null unless it lies after the header inside that record.
uint8_t* dataInRecord(bool isIn, uint32_t offset, uint32_t length, uint8_t* in, uint32_t inLength,
                      uint8_t* out, uint32_t outLength) {
    uint8_t* base = isIn ? out : in;
    const uint32_t size = isIn ? outLength : inLength;
    if (offset < kTransferRecordSize || !spanFits(offset, length, size)) return nullptr;
    return base + offset;
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

std::optional<TransferRecord> readTransferRecord(const uint8_t* bytes, uint32_t length) {
    if (!bytes || length < kTransferRecordSize) return std::nullopt;
    TransferRecord h;
    std::memcpy(&h, bytes, sizeof h);
    return h;
}

bool spanFits(uint32_t offset, uint32_t length, uint32_t size) {
    return length == 0 || static_cast<uint64_t>(offset) + length <= size;
}

Decoded<ControlRequest> decodeControlRequest(uint8_t* in, uint32_t inLength, uint8_t* out,
                                             uint32_t outLength) {
    const std::optional<TransferRecord> h = readTransferRecord(in, inLength);
    if (!h || !out || outLength < kTransferRecordSize)
        return refuse<ControlRequest>(DecodeError::Malformed);
    ControlRequest r;
    r.setup = h->setup();
    r.timeoutSeconds = h->timeoutSeconds;
    r.dataOffset = h->dataOffset;
    r.statusHeader = out;
    const uint32_t dataLength = h->dataLength;  // packed: read by value
    r.capacity = std::min<uint32_t>(r.setup.wLength, dataLength);
    if (r.capacity > 0) {
        r.data =
            dataInRecord(r.setup.isIn(), r.dataOffset, r.capacity, in, inLength, out, outLength);
        if (!r.data) return refuse<ControlRequest>(DecodeError::Malformed);
    }
    return accept(r);
}

Decoded<DataRequest> decodeBufferedRequest(uint8_t* in, uint32_t inLength, uint8_t* out,
                                           uint32_t outLength) {
    const std::optional<TransferRecord> h = readTransferRecord(in, inLength);
    if (!h || !out || outLength < kTransferRecordSize)
        return refuse<DataRequest>(DecodeError::Malformed);
    if (h->packetInfoLength != 0) return refuse<DataRequest>(DecodeError::Unsupported);
    DataRequest r;
    r.endpoint = h->endpointAddress;
    r.dataOffset = h->dataOffset;
    r.length = h->dataLength;
    r.statusHeader = out;
    if (r.length > 0) {
        r.data = dataInRecord(r.isIn(), r.dataOffset, r.length, in, inLength, out, outLength);
        if (!r.data) return refuse<DataRequest>(DecodeError::Malformed);
    }
    return accept(r);
}

Decoded<DataRequest> decodeDirectRequest(uint8_t* in, uint32_t inLength, uint8_t* out,
                                         uint32_t outLength) {
    const std::optional<TransferRecord> h = readTransferRecord(in, inLength);
    if (!h) return refuse<DataRequest>(DecodeError::Malformed);
    if (h->packetInfoLength != 0) return refuse<DataRequest>(DecodeError::Unsupported);
    DataRequest r;
    r.endpoint = h->endpointAddress;
    r.data = outLength > 0 ? out : nullptr;
    r.length = r.data ? outLength : 0;
    r.dataOffset = 0;
    r.statusHeader = in;
    return accept(r);
}

std::optional<TransferSizeRequest> decodeTransferSize(const uint8_t* in, uint32_t inLength) {
    if (!in || inLength < kTransferSizeRecordSize) return std::nullopt;
    TransferSizeRecord r;
    std::memcpy(&r, in, sizeof r);
    return TransferSizeRequest{r.endpointAddress, r.transferSize};
}

std::optional<uint8_t> decodeAbortPipe(const uint8_t* in, uint32_t inLength) {
    if (!in || inLength < 1) return std::nullopt;
    return in[0];
}

uint32_t echoTransferSize(uint8_t* out, uint32_t outLength, const uint8_t* in) {
    const uint32_t n = std::min(outLength, kTransferSizeRecordSize);
    if (n) std::memmove(out, in, n);
    return n;
}

void writeStatusWords(uint8_t* header, uint32_t ntStatus, uint32_t usbdStatus) {
    std::memcpy(header + record::kNtStatus, &ntStatus, 4);
    std::memcpy(header + record::kUsbdStatus, &usbdStatus, 4);
}

uint32_t writeNameReply(uint8_t* out, uint32_t size, const char* text) {
    size = std::min(size, kNameBufferSize);
    if (!out || size == 0) return 0;
    std::memset(out, 0, size);
    const size_t n = std::min<size_t>(std::strlen(text), size - 1);
    std::memcpy(out, text, n);
    return size;
}

}  // namespace vexo::driver
