// Isochronous, bulk and interrupt endpoints.
#include "usb/data_endpoints.h"

#include <cstring>

namespace vexo::usb {

namespace {

// Packet-information bytes for `length` bytes of data: one entry per packet, rounded up.
uint32_t packetInfoBytes(int32_t length, uint16_t maxPacketSize) {
    const uint32_t packets = (static_cast<uint32_t>(length) + maxPacketSize - 1) / maxPacketSize;
    return packets * kPacketInfoSize;
}

}  // namespace

std::unique_ptr<TransferBlock> IsocEndpoint::beginDirect(uint8_t* buffer, int32_t length,
                                                         driver::Overlapped* overlapped) {
    if (driverHandle == driver::kInvalidHandle || maxPacketSize == 0) return nullptr;
    if (length < 0) {
        lastError = driver::kErrorInvalidParameter;
        return nullptr;
    }
    const uint32_t info = packetInfoBytes(length, maxPacketSize);
    if (info == 0) return nullptr;
    auto record = std::make_unique<TransferBlock>(kTransferRecordSize + info);
    TransferRecord h{};
    h.endpointAddress = address;
    h.packetInfoOffset = kTransferRecordSize;
    h.packetInfoLength = info;
    record->setHeader(h);
    return send(kIoctlDirectTransfer, std::move(record), buffer, static_cast<uint32_t>(length),
                overlapped, true);
}

std::unique_ptr<TransferBlock> IsocEndpoint::beginBuffered(uint8_t* buffer, int32_t length,
                                                           driver::Overlapped* overlapped) {
    if (driverHandle == driver::kInvalidHandle || maxPacketSize == 0) return nullptr;
    if (length < 0 || (!buffer && length > 0)) {
        lastError = driver::kErrorInvalidParameter;
        return nullptr;
    }
    const uint32_t info = packetInfoBytes(length, maxPacketSize);
    if (info == 0) return nullptr;
    const auto n = static_cast<uint32_t>(length);
    const uint64_t size = uint64_t(kTransferRecordSize) + info + n;
    if (size > 0xFFFFFFFFu) {
        lastError = driver::kErrorInvalidParameter;
        return nullptr;
    }
    auto record = std::make_unique<TransferBlock>(static_cast<uint32_t>(size));
    TransferRecord h{};
    h.endpointAddress = address;
    h.packetInfoOffset = kTransferRecordSize;
    h.packetInfoLength = info;
    h.dataOffset = kTransferRecordSize + info;
    h.dataLength = n;
    record->setHeader(h);
    std::memcpy(record->data() + h.dataOffset, buffer, n);
    return send(kIoctlBufferedTransfer, std::move(record), nullptr, 0, overlapped, true);
}

std::unique_ptr<TransferBlock> IsocEndpoint::beginTransfer(uint8_t* buffer, int32_t length,
                                                           driver::Overlapped* overlapped) {
    if (driverHandle == driver::kInvalidHandle) return nullptr;
    return transferMode == 1 ? beginDirect(buffer, length, overlapped)
                             : beginBuffered(buffer, length, overlapped);
}

std::unique_ptr<TransferBlock> BulkEndpoint::beginTransfer(uint8_t* buffer, int32_t length,
                                                           driver::Overlapped* overlapped) {
    if (driverHandle == driver::kInvalidHandle) return nullptr;
    return transferMode == 1 ? beginDirect(buffer, length, overlapped)
                             : beginBuffered(buffer, length, overlapped);
}

std::unique_ptr<TransferBlock> InterruptEndpoint::beginTransfer(uint8_t* buffer, int32_t length,
                                                                driver::Overlapped* overlapped) {
    if (driverHandle == driver::kInvalidHandle) return nullptr;
    return transferMode == 1 ? beginDirect(buffer, length, overlapped)
                             : beginBuffered(buffer, length, overlapped);
}

}  // namespace vexo::usb
