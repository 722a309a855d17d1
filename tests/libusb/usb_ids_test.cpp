// Which devices count as boards: the two vendor ids and VEXO_USB_IDS.
#include "driver/libusb/usb_ids.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace vexo::driver::lusb {
namespace {

TEST(UsbIds, BothBoardVendorsMatchWhateverTheProduct) {
    const UsbIdFilter filter;
    EXPECT_TRUE(filter.matches(0x52CB, 0x03F1));
    EXPECT_TRUE(filter.matches(0x52CB, 0x0000));
    EXPECT_TRUE(filter.matches(0x04B4, 0x00F3));
    EXPECT_FALSE(filter.matches(0x1D6B, 0x0002));
    EXPECT_FALSE(filter.matches(0x52CC, 0x03F1));
}

TEST(UsbIds, EntriesNameVendorsOrVendorProductPairs) {
    std::vector<UsbId> ids;
    std::vector<std::string> errors;
    parseUsbIds(" 2a0e,0x1234:00ff;abcd:0X12\t", ids, errors);
    EXPECT_TRUE(errors.empty());
    ASSERT_EQ(ids.size(), 3u);
    EXPECT_EQ(ids[0], (UsbId{0x2A0E, std::nullopt}));
    EXPECT_EQ(ids[1], (UsbId{0x1234, 0x00FF}));
    EXPECT_EQ(ids[2], (UsbId{0xABCD, 0x0012}));

    const UsbIdFilter filter(ids);
    EXPECT_TRUE(filter.matches(0x2A0E, 0x7777));
    EXPECT_TRUE(filter.matches(0x1234, 0x00FF));
    EXPECT_FALSE(filter.matches(0x1234, 0x00FE)) << "the pair names one product only";
    EXPECT_TRUE(filter.matches(0x52CB, 0x03F2)) << "the board vendors stay accepted";
}

TEST(UsbIds, MalformedEntriesAreSkippedAndNamed) {
    std::vector<UsbId> ids;
    std::vector<std::string> errors;
    parseUsbIds("12345,xyz,52cb:,:0101,0x,beef", ids, errors);
    ASSERT_EQ(ids.size(), 1u);
    EXPECT_EQ(ids[0].vendorId, 0xBEEF);
    ASSERT_EQ(errors.size(), 5u);
    EXPECT_NE(errors[0].find("12345"), std::string::npos);
    EXPECT_NE(errors[1].find("xyz"), std::string::npos);

    ids.clear();
    errors.clear();
    parseUsbIds(",,, ;", ids, errors);
    EXPECT_TRUE(ids.empty());
    EXPECT_TRUE(errors.empty());
}

TEST(UsbIds, TheEnvironmentAddsIdsAndReportsMalformedOnesOnce) {
    ::setenv("VEXO_USB_IDS", "1d50:6018,zz", 1);
    ::testing::internal::CaptureStderr();
    const UsbIdFilter first = usbIdFilterFromEnvironment();
    const UsbIdFilter second = usbIdFilterFromEnvironment();
    const std::string err = ::testing::internal::GetCapturedStderr();
    ::unsetenv("VEXO_USB_IDS");
    EXPECT_TRUE(first.matches(0x1D50, 0x6018));
    EXPECT_TRUE(second.matches(0x1D50, 0x6018));
    EXPECT_FALSE(first.matches(0x1D50, 0x6019));
    EXPECT_NE(err.find("VEXO_USB_IDS"), std::string::npos);
    EXPECT_EQ(err.find("VEXO_USB_IDS"), err.rfind("VEXO_USB_IDS")) << err;

    const UsbIdFilter none = usbIdFilterFromEnvironment();
    EXPECT_FALSE(none.matches(0x1D50, 0x6018));
}

}  // namespace
}  // namespace vexo::driver::lusb
