// Isochronous, bulk and interrupt endpoints.
#include "usb/data_endpoints.h"

#include <cstring>

namespace vexo::usb {

namespace {

// Packet-information bytes for `length` bytes of data: one entry per packet, rounded up.
// Counted in 64 bits: a long transfer of small packets needs more than 32 bits.
uint64_t packetInfoBytes(int32_t length, uint16_t maxPacketSize) {
    const uint64_t packets = (uint64_t(uint32_t(length)) + maxPacketSize - 1) / maxPacketSize;
    return packets * driver::kPacketInfoSize;
}

// Whether a record of the header, `info` packet-information bytes and `data` bytes can be
// described by the record's 32-bit offsets and lengths.
bool recordFits(uint64_t info, uint64_t data) {
    return driver::kTransferRecordSize + info + data <= 0xFFFFFFFFu;
}

}  // namespace

std::unique_ptr<TransferBlock> IsocEndpoint::beginDirect(uint8_t* buffer, int32_t length,
                                                         driver::Overlapped* overlapped) {
    if (driverHandle == driver::kInvalidHandle || maxPacketSize == 0) return nullptr;
    if (length < 0) {
        lastError = driver::kErrorInvalidParameter;
        return nullptr;
    }
    const uint64_t info64 = packetInfoBytes(length, maxPacketSize);
    if (info64 == 0) return nullptr;
    if (!recordFits(info64, 0)) {
        lastError = driver::kErrorInvalidParameter;
        return nullptr;
    }
    const auto info = static_cast<uint32_t>(info64);
    auto record = std::make_unique<TransferBlock>(driver::kTransferRecordSize + info);
    driver::TransferRecord h{};
    h.endpointAddress = address;
    h.packetInfoOffset = driver::kTransferRecordSize;
    h.packetInfoLength = info;
    record->setHeader(h);
    return send(driver::kRequestDirectTransfer, std::move(record), buffer,
                static_cast<uint32_t>(length), overlapped, true);
}

std::unique_ptr<TransferBlock> IsocEndpoint::beginBuffered(uint8_t* buffer, int32_t length,
                                                           driver::Overlapped* overlapped) {
    if (driverHandle == driver::kInvalidHandle || maxPacketSize == 0) return nullptr;
    if (length < 0 || (!buffer && length > 0)) {
        lastError = driver::kErrorInvalidParameter;
        return nullptr;
    }
    const uint64_t info64 = packetInfoBytes(length, maxPacketSize);
    if (info64 == 0) return nullptr;
    const auto n = static_cast<uint32_t>(length);
    if (!recordFits(info64, n)) {
        lastError = driver::kErrorInvalidParameter;
        return nullptr;
    }
    const auto info = static_cast<uint32_t>(info64);
    auto record = std::make_unique<TransferBlock>(driver::kTransferRecordSize + info + n);
    driver::TransferRecord h{};
    h.endpointAddress = address;
    h.packetInfoOffset = driver::kTransferRecordSize;
    h.packetInfoLength = info;
    h.dataOffset = driver::kTransferRecordSize + info;
    h.dataLength = n;
    record->setHeader(h);
    std::memcpy(record->data() + h.dataOffset, buffer, n);
    return send(driver::kRequestBufferedTransfer, std::move(record), nullptr, 0, overlapped, true);
}

}  // namespace vexo::usb
