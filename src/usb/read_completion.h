// A queue of overlapped reads on an endpoint: whether a read was taken, and completing one.
#pragma once

#include <cstdint>
#include <memory>

#include "driver/driver_service.h"
#include "usb/transfer_record.h"

namespace vexo::usb {

class UsbEndpoint;

/// Whether `endpoint` took the read just begun, whose record is `record`: a record came back,
/// the driver has the read in flight or done, and neither status word reports a failure. A
/// refused read (an unplugged board) leaves the status words at 0, so the record and the
/// error are looked at too.
bool readQueued(const UsbEndpoint& endpoint, const TransferBlock* record);

/// Completes a read begun on `endpoint` with `overlapped`, one of many kept queued there:
/// waits up to `waitMs` for it (waitForTransfer); on time-out aborts the pipe, which ends
/// every read of it, and while the endpoint's last request is still pending waits up to
/// `waitMs` more for this one to come back; then finishes it (finishTransfer), releasing
/// `record`. `length` is the read's size in, the bytes received out. True when the read
/// succeeded; a read ended by the abort is finished all the same and gives false.
bool completeRead(UsbEndpoint& endpoint, uint8_t* buffer, int32_t& length,
                  driver::Overlapped* overlapped, std::unique_ptr<TransferBlock> record,
                  uint32_t waitMs);

}  // namespace vexo::usb
