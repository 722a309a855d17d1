// libusb results as Windows errors and driver status words.
#include "driver/libusb/transfer_status.h"

#include <libusb.h>

#include "driver/driver_service.h"

namespace vexo::driver::lusb {

RequestOutcome outcomeOfTransfer(int status) {
    switch (status) {
        case LIBUSB_TRANSFER_COMPLETED:
            return {kErrorSuccess, kNtSuccess, kUsbdSuccess};
        case LIBUSB_TRANSFER_CANCELLED:
            return {kErrorOperationAborted, kNtCancelled, kUsbdCanceled};
        case LIBUSB_TRANSFER_NO_DEVICE:
            return {kErrorDeviceNotConnected, kNtNoSuchDevice, kUsbdDeviceGone};
        case LIBUSB_TRANSFER_TIMED_OUT:
            return {kErrorTimeout, kNtIoTimeout, kUsbdTimeout};
        case LIBUSB_TRANSFER_STALL:
            return {kErrorGenFailure, kNtUnsuccessful, kUsbdStallPid};
        case LIBUSB_TRANSFER_OVERFLOW:
            return {kErrorGenFailure, kNtDataOverrun, kUsbdBabbleDetected};
        case LIBUSB_TRANSFER_ERROR:
        default:
            return {kErrorGenFailure, kNtUnsuccessful, kUsbdDevNotResponding};
    }
}

RequestOutcome outcomeOfError(int error) {
    switch (error) {
        case LIBUSB_SUCCESS:
            return {kErrorSuccess, kNtSuccess, kUsbdSuccess};
        case LIBUSB_ERROR_NO_DEVICE:
            return {kErrorDeviceNotConnected, kNtNoSuchDevice, kUsbdDeviceGone};
        case LIBUSB_ERROR_NO_MEM:
            return {kErrorNoSystemResources, kNtInsufficientResources, kUsbdInsufficientResources};
        case LIBUSB_ERROR_TIMEOUT:
            return {kErrorTimeout, kNtIoTimeout, kUsbdTimeout};
        case LIBUSB_ERROR_PIPE:
            return {kErrorGenFailure, kNtUnsuccessful, kUsbdStallPid};
        case LIBUSB_ERROR_OVERFLOW:
            return {kErrorGenFailure, kNtDataOverrun, kUsbdBabbleDetected};
        case LIBUSB_ERROR_INTERRUPTED:
            return {kErrorOperationAborted, kNtCancelled, kUsbdCanceled};
        case LIBUSB_ERROR_INVALID_PARAM:
            return {kErrorInvalidParameter, kNtInvalidParameter, kUsbdInvalidParameter};
        case LIBUSB_ERROR_ACCESS:
            return {kErrorAccessDenied, kNtUnsuccessful, kUsbdDevNotResponding};
        case LIBUSB_ERROR_BUSY:
            return {kErrorSharingViolation, kNtUnsuccessful, kUsbdDevNotResponding};
        case LIBUSB_ERROR_NOT_SUPPORTED:
            return {kErrorNotSupported, kNtUnsuccessful, kUsbdInvalidParameter};
        case LIBUSB_ERROR_NOT_FOUND:
            return {kErrorFileNotFound, kNtUnsuccessful, kUsbdDevNotResponding};
        default:
            return {kErrorGenFailure, kNtUnsuccessful, kUsbdDevNotResponding};
    }
}

}  // namespace vexo::driver::lusb
