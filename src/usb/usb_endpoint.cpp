// Transfers common to every endpoint: direct and buffered records, finish, the synchronous
// form with its time-out and abort, and the pipe requests.
#include "usb/usb_endpoint.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace vexo::usb {

using driver::Overlapped;

UsbEndpoint::UsbEndpoint(driver::Handle handle, const EndpointDescriptor& descriptor,
                         const CompanionDescriptor* companion)
    : driverHandle(handle),
      descriptorLength(descriptor.bLength),
      descriptorType(descriptor.bDescriptorType),
      address(descriptor.bEndpointAddress),
      attributes(descriptor.bmAttributes),
      interval(descriptor.bInterval),
      isIn((descriptor.bEndpointAddress & 0x80) != 0) {
    packetsPerFrame = static_cast<uint16_t>(((descriptor.wMaxPacketSize >> 11) & 3) + 1);
    maxPacketSize = static_cast<uint16_t>((descriptor.wMaxPacketSize & 0x7FF) * packetsPerFrame);
    if (companion) {
        companionLength = companion->bLength;
        companionType = companion->bDescriptorType;
        maxBurst = companion->bMaxBurst;
        companionAttributes = companion->bmAttributes;
        bytesPerInterval = companion->wBytesPerInterval;
        maxPacketSize = static_cast<uint16_t>(maxPacketSize * (maxBurst + 1));
        if (transferType() == kTransferIsochronous)
            maxPacketSize = static_cast<uint16_t>(maxPacketSize * ((companionAttributes & 3) + 1));
    }
}

std::unique_ptr<TransferBlock> UsbEndpoint::beginDirect(uint8_t* buffer, int32_t length,
                                                        Overlapped* overlapped) {
    if (driverHandle == driver::kInvalidHandle) return nullptr;
    if (length < 0) {
        lastError = driver::kErrorInvalidParameter;
        return nullptr;
    }
    auto record = std::make_unique<TransferBlock>(driver::kTransferRecordSize);
    driver::TransferRecord h{};
    h.endpointAddress = address;
    record->setHeader(h);
    return send(driver::kRequestDirectTransfer, std::move(record), buffer,
                static_cast<uint32_t>(length), overlapped, true);
}

std::unique_ptr<TransferBlock> UsbEndpoint::beginBuffered(uint8_t* buffer, int32_t length,
                                                          Overlapped* overlapped) {
    if (driverHandle == driver::kInvalidHandle) return nullptr;
    if (length < 0 || (!buffer && length > 0)) {
        lastError = driver::kErrorInvalidParameter;
        return nullptr;
    }
    const auto n = static_cast<uint32_t>(length);
    auto record = std::make_unique<TransferBlock>(driver::kTransferRecordSize + n);
    driver::TransferRecord h{};
    h.endpointAddress = address;
    h.dataOffset = driver::kTransferRecordSize;
    h.dataLength = n;
    record->setHeader(h);
    // The caller's bytes go in for IN transfers too: the driver returns the record as it is
    // where it moves fewer bytes.
    if (n) std::memcpy(record->data() + driver::kTransferRecordSize, buffer, n);
    return send(driver::kRequestBufferedTransfer, std::move(record), nullptr, 0, overlapped, true);
}

std::unique_ptr<TransferBlock> UsbEndpoint::beginTransfer(uint8_t* buffer, int32_t length,
                                                          Overlapped* overlapped) {
    if (driverHandle == driver::kInvalidHandle) return nullptr;
    return transferMode == 1 ? beginDirect(buffer, length, overlapped)
                             : beginBuffered(buffer, length, overlapped);
}

std::unique_ptr<TransferBlock> UsbEndpoint::send(uint32_t code,
                                                 std::unique_ptr<TransferBlock> record,
                                                 uint8_t* out, uint32_t outLength,
                                                 Overlapped* overlapped, bool readStatus) {
    const bool direct = code == driver::kRequestDirectTransfer;
    const uint32_t inLength = record->size();
    uint8_t* output = direct ? out : record->data();
    const uint32_t outputLength = direct ? outLength : record->size();
    uint32_t bytes = 0;
    driver::deviceIoControl(driverHandle, code, record->data(), inLength, output, outputLength,
                            &bytes, overlapped);
    lastError = driver::getLastError();
    if (readStatus) {
        // While the request is in flight the driver has not written them: both read 0.
        const driver::TransferRecord h = record->header();
        usbdStatus = h.usbdStatus;
        ntStatus = h.ntStatus;
    }
    return record;
}

bool UsbEndpoint::finishTransfer(uint8_t* buffer, int32_t& length, Overlapped* overlapped,
                                 std::unique_ptr<TransferBlock> record, uint8_t* packetInfos) {
    uint32_t n = 0;
    const bool completed = driver::getOverlappedResult(driverHandle, overlapped, &n, false);
    if (!record) {
        length = 0;
        bytesTransferred = 0;
        return false;
    }
    const driver::TransferRecord h = record->header();
    // Only what the record and the caller's buffer can hold counts, whatever the driver says.
    int64_t moved = n != 0 ? int64_t(n) - h.dataOffset : 0;
    if (h.dataOffset != 0) {
        const int64_t room = int64_t(record->size()) - h.dataOffset;
        moved = std::min<int64_t>({moved, h.dataLength, std::max<int64_t>(room, 0)});
    }
    if (length >= 0) moved = std::min<int64_t>(moved, length);
    moved = std::max<int64_t>(moved, 0);
    length = static_cast<int32_t>(moved);
    bytesTransferred = length;
    usbdStatus = h.usbdStatus;
    ntStatus = h.ntStatus;

    if (isIn && transferMode == 0 && length > 0 && buffer)
        std::memcpy(buffer, record->data() + h.dataOffset, static_cast<size_t>(length));
    if (packetInfos && length > 0 && h.packetInfoLength > 0 &&
        uint64_t(h.packetInfoOffset) + h.packetInfoLength <= record->size()) {
        std::memset(packetInfos, 0, h.packetInfoLength);
        std::memcpy(packetInfos, record->data() + h.packetInfoOffset, h.packetInfoLength);
    }
    return completed && usbdStatus == 0 && ntStatus == 0;
}

bool UsbEndpoint::transfer(uint8_t* buffer, int32_t& length, uint8_t* packetInfos) {
    driver::Event* event = driver::createEvent();
    Overlapped overlapped;
    overlapped.event = event;
    std::unique_ptr<TransferBlock> record = beginTransfer(buffer, length, &overlapped);
    if (!record) {
        driver::closeEvent(event);
        return false;
    }

    bool completed = false;
    lastError = driver::getLastError();
    if (lastError == driver::kErrorSuccess) {
        completed = true;
    } else if (lastError == driver::kErrorIoPending) {
        uint32_t wait = driver::waitForEvent(event, timeoutMs);
        if (wait == driver::kWaitTimeout) {
            // Too late: end the request and wait for the driver to give it back, since the
            // record and the caller's buffer must outlive it.
            abort();
            wait = driver::waitForEvent(event, 50);
            if (wait != driver::kWaitObject0) {
                abort();
                wait = driver::waitForEvent(event, driver::kInfinite);
            }
        }
        completed = wait == driver::kWaitObject0;
    }

    const bool finished =
        finishTransfer(buffer, length, &overlapped, std::move(record), packetInfos);
    driver::closeEvent(event);
    return completed && finished;
}

bool UsbEndpoint::waitForTransfer(Overlapped* overlapped, uint32_t milliseconds) {
    if (lastError == driver::kErrorSuccess) return true;
    if (lastError != driver::kErrorIoPending || !overlapped) return false;
    return driver::waitForEvent(overlapped->event, milliseconds) == driver::kWaitObject0;
}

bool UsbEndpoint::abort() {
    driver::Event* event = driver::createEvent();
    Overlapped overlapped;
    overlapped.event = event;
    uint8_t pipe = address;
    uint32_t bytes = 0;
    if (!driver::deviceIoControl(driverHandle, driver::kRequestAbortPipe, &pipe, 1, nullptr, 0,
                                 &bytes, &overlapped) &&
        driver::getLastError() == driver::kErrorIoPending)
        driver::waitForEvent(event, driver::kInfinite);
    driver::closeEvent(event);
    return true;
}

void UsbEndpoint::setTransferSize(uint32_t size) {
    if (driverHandle == driver::kInvalidHandle || maxPacketSize == 0) return;
    uint64_t rounded = (uint64_t(size) + maxPacketSize - 1) / maxPacketSize * maxPacketSize;
    // Rounding up must not wrap: the largest multiple that fits instead.
    if (rounded > std::numeric_limits<uint32_t>::max())
        rounded = uint64_t(size) / maxPacketSize * maxPacketSize;
    driver::TransferSizeRecord r{address, static_cast<uint32_t>(rounded)};
    uint8_t bytes[sizeof r];
    std::memcpy(bytes, &r, sizeof r);
    uint32_t returned = 0;
    if (!driver::deviceIoControl(driverHandle, driver::kRequestSetTransferSize, bytes, sizeof bytes,
                                 bytes, sizeof bytes, &returned, nullptr))
        lastError = driver::getLastError();
}

}  // namespace vexo::usb
