// How libusb's results read to the usb layer: a Windows error for the request, and the NT and
// USBD status words the driver writes into the transfer record.
//
// The usb layer treats non-zero status words right after a begin call as a refused request and
// after completion as a failed one; the Windows error tells cancelled (995) from unplugged
// (1167) from failed (31).
//
// Threading: pure functions.
#pragma once

#include <cstdint>

#include "driver/driver_wire.h"

namespace vexo::driver::lusb {

// Windows errors this backend reports beside the ones the service header names.
inline constexpr uint32_t kErrorAccessDenied = 5;
inline constexpr uint32_t kErrorSharingViolation = 32;
inline constexpr uint32_t kErrorNotSupported = 50;
inline constexpr uint32_t kErrorNoSystemResources = 1450;

/// The result of one request as the caller sees it.
struct RequestOutcome {
    uint32_t error = 0;  ///< Windows error; 0 for success
    uint32_t ntStatus = 0;
    uint32_t usbdStatus = 0;

    bool ok() const { return error == 0; }
    bool operator==(const RequestOutcome&) const = default;
};

/// A transfer that came back from libusb with `status` (enum libusb_transfer_status).
RequestOutcome outcomeOfTransfer(int status);
/// A libusb call that failed with `error` (enum libusb_error), for example a refused submit.
RequestOutcome outcomeOfError(int error);

}  // namespace vexo::driver::lusb
