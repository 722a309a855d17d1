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

namespace vexo::driver::lusb {

// NT status words.
inline constexpr uint32_t kNtSuccess = 0;
inline constexpr uint32_t kNtUnsuccessful = 0xC0000001;
inline constexpr uint32_t kNtDataOverrun = 0xC000003C;
inline constexpr uint32_t kNtInsufficientResources = 0xC000009A;
inline constexpr uint32_t kNtNoSuchDevice = 0xC000000E;
inline constexpr uint32_t kNtIoTimeout = 0xC00000B5;
inline constexpr uint32_t kNtCancelled = 0xC0000120;
inline constexpr uint32_t kNtInvalidParameter = 0xC000000D;

// USBD status words.
inline constexpr uint32_t kUsbdSuccess = 0;
inline constexpr uint32_t kUsbdStallPid = 0xC0000004;
inline constexpr uint32_t kUsbdDevNotResponding = 0xC0000005;
inline constexpr uint32_t kUsbdBabbleDetected = 0xC0000012;
inline constexpr uint32_t kUsbdInsufficientResources = 0xC0001000;
inline constexpr uint32_t kUsbdInvalidParameter = 0x80000300;
inline constexpr uint32_t kUsbdTimeout = 0xC0006000;
inline constexpr uint32_t kUsbdDeviceGone = 0xC0007000;
inline constexpr uint32_t kUsbdCanceled = 0xC0010000;

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
