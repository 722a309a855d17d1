// The camera engine on a board reached through real libusb on an emulated usbfs: frames in both
// framings match the pictures the board drew, and Linux's limits end in status codes.
#include <gtest/gtest.h>

#include <algorithm>

#include "camera/support/engine_fixture.h"
#include "driver/virtual/board_model.h"
#include "libusb/support/usbfs_device.h"
#include "usb/driver_device.h"

namespace vexo::camera::test {
namespace {

using vexo::test::UsbfsDevice;
using vexo::test::UsbfsOptions;

// No usbfs memory limit, as after raising usbfs_memory_mb for the 32 MiB of reads.
constexpr UsbfsOptions kRaisedLimit{1, 2, "1-1", 0};

class UsbfsCapture : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!vexo::test::testbed()) GTEST_SKIP() << "needs umockdev-wrapper";
    }
    void TearDown() override {
        if (camera_) camera_->close();
        camera_.reset();
        usb_.reset();
    }

    void plug(const virt::BoardConfig& config, UsbfsOptions options = kRaisedLimit) {
        std::string error;
        model_ = virt::BoardModel::create(config, error);
        ASSERT_TRUE(model_) << error;
        virt::VirtualDeviceDescription description = model_->deviceDescription();
        description.model = model_;
        usb_ = std::make_unique<UsbfsDevice>(std::move(description), options);
    }
    uint32_t open(const virt::BoardConfig& config, uint32_t transferLevel = 0) {
        CameraConfig cfg = configFor(config);
        cfg.u32TransLvl = transferLevel;
        camera_ = std::make_unique<ZuUsbCameraLib>();
        return camera_->open(&cfg, 0);
    }

    std::shared_ptr<virt::BoardModel> model_;
    std::unique_ptr<UsbfsDevice> usb_;
    std::unique_ptr<ZuUsbCameraLib> camera_;
};

class UsbfsFraming : public UsbfsCapture, public ::testing::WithParamInterface<uint16_t> {};

TEST_P(UsbfsFraming, FramesMatchThePicturesTheBoardDrew) {
    const virt::BoardConfig config = smallBoard(GetParam(), 64, 32);
    plug(config);
    ASSERT_EQ(open(config), USB_CAMERA_NO_ERROR);
    ASSERT_EQ(camera_->beginCaptureImage(), USB_CAMERA_NO_ERROR);
    FrameChecker checker(config.stream);
    EXPECT_EQ(captureAndCheck(*camera_, checker, 12, 400), 12u);
    EXPECT_GE(usb_->peakMemory(), 64u * 524288u) << "64 reads of 512 KiB were out at once";
    EXPECT_EQ(camera_->endCaptureImage(), USB_CAMERA_NO_ERROR);
    EXPECT_EQ(usb_->queuedUrbs(0x81), 0u);
    EXPECT_FALSE(model_->streaming());
}

// 0x03F1: chunk headers; 0x03F2: trailer packets on a USB 3 board; 0x52CB: a USB 2 board.
INSTANTIATE_TEST_SUITE_P(BothFramings, UsbfsFraming, ::testing::Values(0x03F1, 0x03F2, 0x52CB),
                         [](const auto& info) {
                             char name[16];
                             std::snprintf(name, sizeof name, "pid%04X", info.param);
                             return std::string(name);
                         });

TEST_F(UsbfsCapture, TheDeviceObjectReadsTheSameBoardAsOverTheVirtualBus) {
    virt::BoardConfig config = smallBoard(0x03F1);
    config.serial = "VEXO-USBFS-0001";
    plug(config);
    usb::DriverDevice device(nullptr, driver::kDriverInterfaceGuid, true);
    ASSERT_TRUE(device.isOpen());
    EXPECT_EQ(device.deviceCount(), 1u);
    EXPECT_EQ(device.vendorId, 0x52CB);
    EXPECT_EQ(device.productId, 0x03F1);
    EXPECT_TRUE(device.isSuperSpeed);
    EXPECT_FALSE(device.isHighSpeed);
    ASSERT_NE(device.bulkInEndpoint, nullptr);
    ASSERT_NE(device.controlEndpoint, nullptr);
    EXPECT_STREQ(device.friendlyName, "Vexo Virtual Camera Board");
    const auto& d = model_->deviceDescription().descriptors.device;
    EXPECT_TRUE(std::equal(d.begin(), d.end(), device.deviceDescriptor));
    device.close();
    device.shutdown();
}

TEST_F(UsbfsCapture, TheDefaultUsbfsLimitFailsTheStartWithAStatusAndOneLine) {
    const virt::BoardConfig config = smallBoard(0x03F1);
    plug(config, UsbfsOptions{});  // usbfs_memory_mb = 16
    ASSERT_EQ(open(config), USB_CAMERA_NO_ERROR);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(camera_->beginCaptureImage(), USB_CAMERA_USB_TASK_ERROR);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("usbfs_memory_mb"), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_EQ(usb_->queuedUrbs(0x81), 0u) << "the reads that did go out were aborted";
    EXPECT_EQ(camera_->captureImage(), USB_CAMERA_USB_TASK_ERROR);

    // Smaller reads fit under the default limit with room for the control requests:
    // transfer level 4 on a 16 KiB SuperSpeed burst gives 64 reads of 64 KiB.
    EXPECT_EQ(camera_->close(), USB_CAMERA_NO_ERROR);
    ASSERT_EQ(open(config, 4), USB_CAMERA_NO_ERROR);
    ASSERT_EQ(camera_->beginCaptureImage(), USB_CAMERA_NO_ERROR);
    FrameChecker checker(config.stream);
    EXPECT_EQ(captureAndCheck(*camera_, checker, 4, 200), 4u);
    EXPECT_EQ(camera_->endCaptureImage(), USB_CAMERA_NO_ERROR);
}

TEST_F(UsbfsCapture, ABoardUnpluggedMidStreamEndsInStatusCodes) {
    const virt::BoardConfig config = smallBoard(0x03F2);
    plug(config);
    ASSERT_EQ(open(config), USB_CAMERA_NO_ERROR);
    ASSERT_EQ(camera_->beginCaptureImage(), USB_CAMERA_NO_ERROR);
    FrameChecker checker(config.stream);
    ASSERT_EQ(captureAndCheck(*camera_, checker, 3, 200), 3u);

    model_->unplug();
    usb_->unplug();
    uint32_t result = 0;
    int calls = 0;
    do {
        result = camera_->captureImage();
        ++calls;
    } while (result <= 0xFF && calls < 200);
    EXPECT_GE(result, 0xFF01u) << "a status code within " << calls << " calls";
    // Capture stopped or keeps failing; either way nothing hangs and close works.
    EXPECT_EQ(camera_->endCaptureImage(), USB_CAMERA_NO_ERROR);
    EXPECT_EQ(camera_->close(), USB_CAMERA_NO_ERROR);
    camera_.reset();
    ZuUsbCameraLib again;
    CameraConfig cfg = configFor(config);
    EXPECT_NE(again.open(&cfg, 0), USB_CAMERA_NO_ERROR) << "the board is gone";
}

}  // namespace
}  // namespace vexo::camera::test
