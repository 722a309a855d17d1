// Real boards' device paths: made and read back, and foreign paths refused.
#include "driver/libusb/device_path.h"

#include <gtest/gtest.h>

namespace vexo::driver::lusb {
namespace {

TEST(DevicePath, ReadsBackWhatItMakes) {
    const DeviceLocation where{0x52CB, 0x03F1, 3, 117};
    const std::string path = makeDevicePath(where);
    EXPECT_EQ(path,
              "\\\\?\\usb#vid_52cb&pid_03f1#libusb-003-117#"
              "{ae18aa60-7f6a-11d4-97dd-00010229b959}");
    EXPECT_EQ(parseDevicePath(path), where);
    const DeviceLocation edge{0xFFFF, 0x0000, 255, 0};
    EXPECT_EQ(parseDevicePath(makeDevicePath(edge)), edge);
}

TEST(DevicePath, RefusesPathsItDidNotMake) {
    const std::string good = makeDevicePath({0x04B4, 0x00F1, 1, 2});
    EXPECT_FALSE(parseDevicePath(""));
    EXPECT_FALSE(
        parseDevicePath("\\\\?\\usb#vid_52cb&pid_03f1#vexo-virtual-1#"
                        "{ae18aa60-7f6a-11d4-97dd-00010229b959}"));
    EXPECT_FALSE(parseDevicePath(good.substr(0, good.size() - 1)));
    EXPECT_FALSE(parseDevicePath(good + "x"));
    EXPECT_FALSE(
        parseDevicePath("\\\\?\\usb#vid_04B4&pid_00f1#libusb-001-002#"
                        "{ae18aa60-7f6a-11d4-97dd-00010229b959}"))
        << "upper-case hex is not what makeDevicePath writes";
    EXPECT_FALSE(
        parseDevicePath("\\\\?\\usb#vid_04b4&pid_00f1#libusb-256-002#"
                        "{ae18aa60-7f6a-11d4-97dd-00010229b959}"));
    EXPECT_FALSE(
        parseDevicePath("\\\\?\\usb#vid_04b4&pid_00f1#libusb-1-002#"
                        "{ae18aa60-7f6a-11d4-97dd-00010229b959}"));
    // Every prefix of a good path is refused without reading past its end.
    for (size_t n = 0; n < good.size(); ++n) EXPECT_FALSE(parseDevicePath(good.substr(0, n)));
}

}  // namespace
}  // namespace vexo::driver::lusb
