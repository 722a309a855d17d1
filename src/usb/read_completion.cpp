#include "usb/read_completion.h"

#include "usb/usb_endpoint.h"

namespace vexo::usb {

bool readQueued(const UsbEndpoint& endpoint, const TransferBlock* record) {
    return record && endpoint.ntStatus == 0 && endpoint.usbdStatus == 0 &&
           (endpoint.lastError == driver::kErrorSuccess ||
            endpoint.lastError == driver::kErrorIoPending);
}

bool completeRead(UsbEndpoint& endpoint, uint8_t* buffer, int32_t& length,
                  driver::Overlapped* overlapped, std::unique_ptr<TransferBlock> record,
                  uint32_t waitMs) {
    if (!endpoint.waitForTransfer(overlapped, waitMs)) {
        endpoint.abort();
        // The abort gives the read back to its event; the buffer must not be finished, and
        // later queued again, while the driver may still write into it.
        if (overlapped && endpoint.lastError == driver::kErrorIoPending)
            driver::waitForEvent(overlapped->event, waitMs);
    }
    return endpoint.finishTransfer(buffer, length, overlapped, std::move(record));
}

}  // namespace vexo::usb
