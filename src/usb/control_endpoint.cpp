// Endpoint 0: the setup form of the transfer record.
#include "usb/control_endpoint.h"

#include <cstring>

namespace vexo::usb {

ControlEndpoint::ControlEndpoint(driver::Handle driverHandle)
    : UsbEndpoint(driverHandle, EndpointDescriptor{}, nullptr) {
    initControl();
}

ControlEndpoint::ControlEndpoint(driver::Handle driverHandle, const EndpointDescriptor& descriptor,
                                 const CompanionDescriptor* companion)
    : UsbEndpoint(driverHandle, descriptor, companion) {
    initControl();
}

void ControlEndpoint::initControl() {
    target = 0;
    requestType = 2;
    direction = 0;
    requestCode = 0;
    value = 0;
    index = 0;
    transferMode = 0;
}

std::unique_ptr<TransferBlock> ControlEndpoint::beginTransfer(uint8_t* buffer, int32_t length,
                                                              driver::Overlapped* overlapped) {
    if (driverHandle == driver::kInvalidHandle) return nullptr;
    /* wLength is 16 bits: a longer data stage has no setup packet that describes it. */
    if (length < 0 || length > 0xFFFF || (!buffer && length > 0)) {
        lastError = driver::kErrorInvalidParameter;
        return nullptr;
    }
    isIn = direction == 1;
    const auto n = static_cast<uint32_t>(length);
    auto record = std::make_unique<TransferBlock>(driver::kTransferRecordSize + n);
    driver::TransferRecord h{};
    h.bmRequestType =
        static_cast<uint8_t>((direction << 7) | ((requestType & 3) << 5) | (target & 0x1F));
    h.bRequest = requestCode;
    h.wValue = value;
    h.wIndex = index;
    h.wLength = static_cast<uint16_t>(n);
    // Whole seconds, and a short time-out must not become "no time-out".
    h.timeoutSeconds = timeoutMs == 0 ? 0 : timeoutMs < 1000 ? 1 : timeoutMs / 1000;
    h.endpointAddress = 0;
    h.dataOffset = driver::kTransferRecordSize;
    h.dataLength = n;
    record->setHeader(h);
    if (n) std::memcpy(record->data() + driver::kTransferRecordSize, buffer, n);
    return send(driver::kRequestControlTransfer, std::move(record), nullptr, 0, overlapped, false);
}

}  // namespace vexo::usb
