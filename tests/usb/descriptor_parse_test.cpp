// Configuration and BOS parsing: the objects built, and which malformed tables are refused.
#include <gtest/gtest.h>

#include "driver/support/descriptor_builder.h"
#include "usb/data_endpoints.h"
#include "usb/device_error.h"
#include "usb/driver_bos.h"
#include "usb/driver_config.h"

namespace vexo::test {
namespace {

using namespace usb;
constexpr auto kNoHandle = driver::kInvalidHandle;

DriverConfig parse(const std::vector<uint8_t>& block, bool lookAhead = true) {
    return DriverConfig(kNoHandle, block, lookAhead);
}

TEST(ConfigParse, ClassSpecificDescriptorsAreSteppedOverAndCounted) {
    const auto plain =
        ConfigBuilder().interface(0, 0, 2).endpoint(0x81, 2, 512).endpoint(0x02, 3, 64).build();
    const auto mixed = ConfigBuilder()
                           .interface(0, 0, 2)
                           .classSpecific(5)
                           .endpoint(0x81, 2, 512)
                           .classSpecific(7)
                           .endpoint(0x02, 3, 64)
                           .build();
    DriverConfig a = parse(plain, false), b = parse(mixed, false);
    ASSERT_TRUE(a.interfaces[0] && b.interfaces[0]);
    for (int slot : {1, 2}) {
        ASSERT_TRUE(b.interfaces[0]->endpoints[slot]);
        EXPECT_EQ(a.interfaces[0]->endpoints[slot]->address,
                  b.interfaces[0]->endpoints[slot]->address);
        EXPECT_EQ(a.interfaces[0]->endpoints[slot]->maxPacketSize,
                  b.interfaces[0]->endpoints[slot]->maxPacketSize);
    }
    EXPECT_NE(dynamic_cast<InterruptEndpoint*>(b.interfaces[0]->endpoints[2]), nullptr);
    EXPECT_EQ(a.interfaces[0]->spanLength, 9 + 7 + 7);
    EXPECT_EQ(b.interfaces[0]->spanLength, 9 + 5 + 7 + 7 + 7);
    EXPECT_EQ(b.interfaces[0]->endpoints[3], nullptr);
}

TEST(ConfigParse, AlternateSettingsShareTheirCount) {
    const auto block = ConfigBuilder()
                           .interface(0, 0, 1)
                           .endpoint(0x81, 2, 512)
                           .interface(0, 1, 1)
                           .endpoint(0x81, 1, 1024)
                           .interface(1, 0, 0)
                           .build();
    DriverConfig c = parse(block);
    EXPECT_EQ(c.altInterfaceCount, 3);
    EXPECT_EQ(c.interfaces[0]->altSettingCount, 2);
    EXPECT_EQ(c.interfaces[1]->altSettingCount, 2);
    EXPECT_EQ(c.interfaces[2]->altSettingCount, 1);
    EXPECT_EQ(c.bNumInterfaces, 3);
    EXPECT_EQ(c.wTotalLength, block.size());
}

TEST(ConfigParse, NineInterfacesBuildEight) {
    ConfigBuilder b;
    for (uint8_t i = 0; i < 9; ++i) b.interface(i, 0, 0);
    DriverConfig c = parse(b.build());
    EXPECT_EQ(c.altInterfaceCount, 8);
    EXPECT_EQ(c.interfaces[7]->bInterfaceNumber, 7);
}

TEST(ConfigParse, CompanionsGoToTheirEndpointWithLookAheadOnly) {
    const auto block =
        ConfigBuilder().interface(0, 0, 1).endpoint(0x81, 2, 1024).companion(15).build();
    DriverConfig with = parse(block, true);
    EXPECT_EQ(with.interfaces[0]->endpoints[1]->maxPacketSize, 16384);
    EXPECT_EQ(with.interfaces[0]->spanLength, 9 + 7 + 6);
    // Without look-ahead (USB 2 devices) the companion is another descriptor stepped over.
    DriverConfig without = parse(block, false);
    EXPECT_EQ(without.interfaces[0]->endpoints[1]->maxPacketSize, 1024);
    EXPECT_EQ(without.interfaces[0]->spanLength, 9 + 7);
    // A control-type endpoint takes no companion, but the companion is consumed.
    const auto control =
        ConfigBuilder().interface(0, 0, 1).endpoint(0x00, 0, 64).companion(3).build();
    DriverConfig c = parse(control, true);
    EXPECT_EQ(c.interfaces[0]->endpoints[1]->maxBurst, 0);
    EXPECT_EQ(c.interfaces[0]->spanLength, 9 + 7 + 6);
}

TEST(ConfigParse, MalformedTablesRaiseTheDescriptorError) {
    const auto good = ConfigBuilder().interface(0, 0, 1).endpoint(0x81, 2, 512).build();
    EXPECT_NO_THROW(parse(good));

    auto zeroLength = ConfigBuilder().interface(0, 0, 0).add({0, 0x24, 1, 2}).build();
    EXPECT_THROW(parse(zeroLength), DescriptorError);
    auto zeroInInterface = ConfigBuilder().interface(0, 0, 1).add({0, 0x24}).build();
    EXPECT_THROW(parse(zeroInInterface), DescriptorError);

    auto pastEnd = good;
    pastEnd[pastEnd.size() - 7] = 30;  // the endpoint claims more than the table holds
    EXPECT_THROW(parse(pastEnd), DescriptorError);
    auto truncatedTotal = good;
    truncatedTotal[2] = uint8_t(good.size() - 3);  // wTotalLength cuts the endpoint
    EXPECT_THROW(parse(truncatedTotal), DescriptorError);

    auto orphan = ConfigBuilder()
                      .interface(0, 0, 1)
                      .classSpecific()
                      .companion(2)
                      .endpoint(0x81, 2, 512)
                      .build();
    EXPECT_THROW(parse(orphan, true), DescriptorError);
    EXPECT_NO_THROW(parse(orphan, false));
    auto orphanAtTop = ConfigBuilder().companion(1).interface(0, 0, 0).build();
    EXPECT_THROW(parse(orphanAtTop, true), DescriptorError);

    EXPECT_THROW(parse(ConfigBuilder().interface(0, 0, 32).build()), DescriptorError);
    EXPECT_THROW(parse({9, 2, 9, 0}), DescriptorError);                    // no header
    EXPECT_THROW(parse({8, 2, 9, 0, 0, 1, 0, 0x80, 0}), DescriptorError);  // header bLength 8
    auto shortInterface = ConfigBuilder().add({5, 4, 0, 0, 0}).build();
    EXPECT_THROW(parse(shortInterface), DescriptorError);
}

TEST(ConfigParse, InterfaceEndsBeforeTheTwelfthForeignDescriptor) {
    ConfigBuilder b;
    b.interface(0, 0, 1);
    for (int i = 0; i < 12; ++i) b.classSpecific(3);
    b.endpoint(0x81, 2, 512).interface(1, 0, 0);
    DriverConfig c = parse(b.build());
    EXPECT_EQ(c.interfaces[0]->endpoints[1], nullptr);
    EXPECT_EQ(c.interfaces[0]->spanLength, 9 + 11 * 3);
    // The walk goes on past the cut and still finds the next interface.
    ASSERT_TRUE(c.interfaces[1]);
    EXPECT_EQ(c.interfaces[1]->bInterfaceNumber, 1);

    ConfigBuilder eleven;
    eleven.interface(0, 0, 1);
    for (int i = 0; i < 11; ++i) eleven.classSpecific(3);
    eleven.endpoint(0x81, 2, 512);
    EXPECT_TRUE(parse(eleven.build()).interfaces[0]->endpoints[1]);
}

TEST(BosParse, CapabilitiesAreRecordedUntilAnUnknownType) {
    DriverBos bos(bosDescriptor({usb20Extension(0x1E), superSpeedCap()}));
    ASSERT_TRUE(bos.usb20Extension);
    EXPECT_EQ(bos.usb20Extension->bmAttributes, 0x1Eu);
    ASSERT_TRUE(bos.superSpeed);
    EXPECT_EQ(bos.superSpeed->wSpeedsSupported, 0x0E);
    EXPECT_EQ(bos.superSpeed->wU2DevExitLat, 0x07FF);
    EXPECT_EQ(bos.bNumDeviceCaps, 2);

    std::vector<uint8_t> container{20, 0x10, 4, 0};
    for (uint8_t i = 0; i < 16; ++i) container.push_back(i);
    DriverBos withId(bosDescriptor({container}));
    ASSERT_TRUE(withId.containerId);
    EXPECT_EQ(withId.containerId->containerId[15], 15);

    DriverBos unknownFirst(bosDescriptor({{4, 0x10, 9, 0}, usb20Extension(2)}));
    EXPECT_FALSE(unknownFirst.usb20Extension);
    EXPECT_FALSE(unknownFirst.superSpeed);
}

TEST(BosParse, MalformedTablesRaiseTheDescriptorError) {
    EXPECT_THROW(DriverBos(std::vector<uint8_t>{5, 15, 5}), DescriptorError);
    EXPECT_THROW(DriverBos(bosDescriptor({{0, 0x10, 2}})), DescriptorError);
    EXPECT_THROW(DriverBos(bosDescriptor({{5, 0x10, 2, 0, 0}})), DescriptorError);  // too short
    auto past = bosDescriptor({usb20Extension(0)});
    past[5] = 40;
    EXPECT_THROW(DriverBos{past}, DescriptorError);
    // Fewer capabilities than announced, or wTotalLength below the header: nothing more read.
    auto fewer = bosDescriptor({usb20Extension(0)});
    fewer[4] = 3;
    EXPECT_TRUE(DriverBos(fewer).usb20Extension);
    auto negative = bosDescriptor({usb20Extension(0)});
    negative[2] = 3;
    EXPECT_FALSE(DriverBos(negative).usb20Extension);
}

}  // namespace
}  // namespace vexo::test
