// libusb results as the usb layer reads them, and the lines that tell the user about Linux
// limits.
#include "driver/libusb/transfer_status.h"

#include <gtest/gtest.h>
#include <libusb.h>

#include <string>

#include "driver/driver_service.h"
#include "driver/driver_wire.h"
#include "driver/libusb/board_device.h"
#include "driver/libusb/host_limits.h"

namespace vexo::driver::lusb {
namespace {

TEST(TransferStatus, EachLibusbEndingReadsAsTheDriverWouldReportIt) {
    EXPECT_EQ(outcomeOfTransfer(LIBUSB_TRANSFER_COMPLETED), (RequestOutcome{0, 0, 0}));
    const RequestOutcome cancelled = outcomeOfTransfer(LIBUSB_TRANSFER_CANCELLED);
    EXPECT_EQ(cancelled.error, kErrorOperationAborted);
    EXPECT_EQ(cancelled.usbdStatus, kUsbdCanceled);
    const RequestOutcome gone = outcomeOfTransfer(LIBUSB_TRANSFER_NO_DEVICE);
    EXPECT_EQ(gone.error, kErrorDeviceNotConnected);
    EXPECT_EQ(gone.usbdStatus, kUsbdDeviceGone);
    EXPECT_EQ(outcomeOfTransfer(LIBUSB_TRANSFER_STALL).usbdStatus, kUsbdStallPid);
    EXPECT_EQ(outcomeOfTransfer(LIBUSB_TRANSFER_TIMED_OUT).error, kErrorTimeout);
    // Every failure carries non-zero status words: the usb layer reads a refusal from them.
    for (int s : {LIBUSB_TRANSFER_ERROR, LIBUSB_TRANSFER_TIMED_OUT, LIBUSB_TRANSFER_CANCELLED,
                  LIBUSB_TRANSFER_STALL, LIBUSB_TRANSFER_NO_DEVICE, LIBUSB_TRANSFER_OVERFLOW}) {
        const RequestOutcome o = outcomeOfTransfer(s);
        EXPECT_NE(o.error, 0u) << s;
        EXPECT_NE(o.ntStatus, 0u) << s;
        EXPECT_NE(o.usbdStatus, 0u) << s;
    }
    for (int e = LIBUSB_ERROR_IO; e >= LIBUSB_ERROR_NOT_SUPPORTED; --e) {
        const RequestOutcome o = outcomeOfError(e);
        EXPECT_NE(o.error, 0u) << e;
        EXPECT_NE(o.usbdStatus, 0u) << e;
    }
    EXPECT_EQ(outcomeOfError(LIBUSB_ERROR_NO_MEM).error, kErrorNoSystemResources);
    EXPECT_EQ(outcomeOfError(LIBUSB_ERROR_ACCESS).error, kErrorAccessDenied);
    EXPECT_EQ(outcomeOfError(LIBUSB_ERROR_NO_DEVICE).error, kErrorDeviceNotConnected);
}

TEST(TransferStatus, SpeedCodesAndLimitMessages) {
    EXPECT_EQ(speedCodeOf(LIBUSB_SPEED_HIGH), 2u);
    EXPECT_EQ(speedCodeOf(LIBUSB_SPEED_SUPER), 4u);
    EXPECT_EQ(speedCodeOf(LIBUSB_SPEED_SUPER_PLUS), 4u);
    EXPECT_EQ(speedCodeOf(LIBUSB_SPEED_FULL), 1u);
    EXPECT_EQ(speedCodeOf(LIBUSB_SPEED_UNKNOWN), 0u);

    const std::string memory = transferMemoryMessage(524288);
    EXPECT_NE(memory.find("/sys/module/usbcore/parameters/usbfs_memory_mb"), std::string::npos);
    EXPECT_NE(memory.find("524288"), std::string::npos);
    EXPECT_EQ(memory.find('\n'), std::string::npos) << "one line";
    const std::string access = noPermissionMessage(1, 7, 0x52CB, 0x03F1);
    EXPECT_NE(access.find("70-vexo.rules"), std::string::npos);
    EXPECT_NE(access.find("52cb:03f1"), std::string::npos);
}

}  // namespace
}  // namespace vexo::driver::lusb
