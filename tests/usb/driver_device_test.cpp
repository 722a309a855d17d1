// The device object against the virtual backend: open by index, descriptors, identity, roles,
// open/close cycles, malformed tables and close failures.
#include "usb/driver_device.h"

#include <gtest/gtest.h>

#include <string>

#include "driver/support/descriptor_builder.h"
#include "driver/support/scripted_model.h"
#include "driver/virtual/virtual_bus.h"
#include "usb/support/recording_backend.h"

namespace vexo::test {
namespace {

using namespace usb;
using driver::virt::addDevice;
using driver::virt::VirtualDeviceDescription;

std::u16string text(const char16_t* s) {
    return std::u16string(s);
}

class DriverDeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        driver::setMessageSinkForTesting([this](const std::string& c, const std::string& t) {
            messages_.push_back(c + "|" + t);
        });
    }
    void TearDown() override {
        driver::setMessageSinkForTesting({});
        driver::virt::removeAllDevices();
    }
    driver::virt::DeviceId add(VirtualDeviceDescription description) {
        if (!description.model) description.model = std::make_shared<ScriptedModel>();
        return addDevice(std::move(description));
    }
    VirtualDeviceDescription camera(uint16_t pid = 0x03F1) {
        return cameraDescription(std::make_shared<ScriptedModel>(), pid);
    }
    // Requests of one descriptor type, as the device received them (wLength each).
    std::vector<uint16_t> lengthsOf(driver::virt::DeviceId id, uint8_t type, uint8_t index = 0) {
        std::vector<uint16_t> lengths;
        for (const auto& c : driver::virt::controlLog(id))
            if (c.setup.bRequest == 6 && (c.setup.wValue >> 8) == type &&
                (c.setup.wValue & 0xFF) == index)
                lengths.push_back(c.setup.wLength);
        return lengths;
    }
    std::vector<std::string> messages_;
};

TEST_F(DriverDeviceTest, NoBoardPresent) {
    DriverDevice device(nullptr, DriverInterfaceGuid, true);
    EXPECT_EQ(device.deviceCount(), 0);
    EXPECT_FALSE(device.open(0));
    EXPECT_FALSE(device.isOpen());
    EXPECT_EQ(device.endpointCount(), 0);
}

TEST_F(DriverDeviceTest, OpensAUsb3BoardAndReadsItsDescriptors) {
    const auto id = add(camera());
    DriverDevice device(nullptr, DriverInterfaceGuid, true);
    ASSERT_TRUE(device.isOpen());
    EXPECT_EQ(device.vendorId, 0x52CB);
    EXPECT_EQ(device.productId, 0x03F1);
    EXPECT_EQ(device.bcdUsb, 0x0300);
    EXPECT_EQ(device.bcdDevice, 0x1234);
    EXPECT_EQ(device.ep0MaxPacketSize, 512);  // 2^9 on USB 3
    EXPECT_TRUE(device.isSuperSpeed);
    EXPECT_FALSE(device.isHighSpeed);
    EXPECT_EQ(device.languageId, 0x0409);
    EXPECT_EQ(text(device.manufacturer), u"Vexo");
    EXPECT_EQ(text(device.product), u"Camera board");
    EXPECT_EQ(text(device.serialNumber), u"SN0001");
    EXPECT_STREQ(device.friendlyName, "Vexo virtual camera");
    EXPECT_EQ(std::string(device.devicePath), driver::virt::devicePath(id));
    EXPECT_EQ(device.usbAddress, 1);
    EXPECT_NE(device.driverVersion, 0u);
    EXPECT_NE(device.usbdiVersion, 0u);
    ASSERT_TRUE(device.bos);
    EXPECT_TRUE(device.bos->superSpeed);
    EXPECT_EQ(device.configCount, 1);
    EXPECT_EQ(device.configValue, 1);
    EXPECT_EQ(device.endpointCount(), 3);

    ASSERT_TRUE(device.controlEndpoint);
    EXPECT_EQ(device.controlEndpoint->maxPacketSize, 512);
    EXPECT_EQ(device.controlEndpoint->descriptorType, 5);
    EXPECT_EQ(device.controlEndpoint->transferMode, 0u);
    ASSERT_TRUE(device.currentInterface);
    EXPECT_EQ(device.currentInterface->endpoints[0], device.controlEndpoint.get());
    ASSERT_TRUE(device.bulkInEndpoint);
    EXPECT_EQ(device.bulkInEndpoint->address, 0x81);
    EXPECT_EQ(device.bulkInEndpoint->maxPacketSize, 16384);
    ASSERT_TRUE(device.bulkOutEndpoint);
    EXPECT_EQ(device.bulkOutEndpoint->address, 0x01);
    EXPECT_FALSE(device.isocInEndpoint);

    // Every descriptor but the device's is read short first, then whole.
    EXPECT_EQ(lengthsOf(id, 1), (std::vector<uint16_t>{18}));
    EXPECT_EQ(lengthsOf(id, 3, 0), (std::vector<uint16_t>{2, 4}));
    EXPECT_EQ(lengthsOf(id, 3, 2), (std::vector<uint16_t>{2, 2 + 2 * 12}));
    EXPECT_EQ(lengthsOf(id, 15).size(), 2u);
    EXPECT_EQ(lengthsOf(id, 15)[0], 5);
    const auto config = lengthsOf(id, 2);
    ASSERT_EQ(config.size(), 2u);
    EXPECT_EQ(config[0], 9);
    EXPECT_EQ(config[1], device.configDescriptors[0].size());
    for (const auto& c : driver::virt::controlLog(id)) {
        EXPECT_EQ(c.timeoutSeconds, 5u);
        EXPECT_EQ(c.dataOffset, 38u);
    }
    device.shutdown();
    EXPECT_FALSE(device.isOpen());
    EXPECT_EQ(device.vendorId, 0x52CB);  // identity outlives close
}

TEST_F(DriverDeviceTest, Usb2BoardHasNoBosAndNoCompanionLookAhead) {
    VirtualDeviceDescription description = camera();
    description.descriptors.device = deviceDescriptor(0x0200, 0x52CB, 0x0001, 64, 1);
    description.speedCode = 2;
    const auto id = add(std::move(description));
    DriverDevice device(nullptr, DriverInterfaceGuid, true);
    ASSERT_TRUE(device.isOpen());
    EXPECT_EQ(device.ep0MaxPacketSize, 64);
    EXPECT_TRUE(device.isHighSpeed);
    EXPECT_FALSE(device.isSuperSpeed);
    EXPECT_FALSE(device.bos);
    EXPECT_TRUE(lengthsOf(id, 15).empty());
    ASSERT_TRUE(device.bulkInEndpoint);
    EXPECT_EQ(device.bulkInEndpoint->maxPacketSize, 1024);  // the companion was not taken
}

TEST_F(DriverDeviceTest, LanguageTablesAndSpeedCodes) {
    struct Case {
        std::vector<uint16_t> languages;
        uint16_t expected;
    };
    for (const Case& c : {Case{{0x0407, 0x0409}, 0x0409}, Case{{0x0407}, 0x0407}, Case{{}, 0}}) {
        VirtualDeviceDescription description = camera();
        description.descriptors.languages = c.languages;
        add(std::move(description));
        DriverDevice device(nullptr, DriverInterfaceGuid, true);
        ASSERT_TRUE(device.isOpen());
        EXPECT_EQ(device.languageId, c.expected);
        driver::virt::removeAllDevices();
    }
    for (uint32_t code : {1u, 3u}) {
        VirtualDeviceDescription description = camera();
        description.speedCode = code;
        add(std::move(description));
        DriverDevice device(nullptr, DriverInterfaceGuid, true);
        EXPECT_FALSE(device.isHighSpeed);
        EXPECT_FALSE(device.isSuperSpeed);
        driver::virt::removeAllDevices();
    }
}

TEST_F(DriverDeviceTest, AlternateSettingReportedByTheDriverPicksTheInterface) {
    VirtualDeviceDescription description = camera();
    description.descriptors.configurations = {ConfigBuilder()
                                                  .interface(0, 0, 2)
                                                  .endpoint(0x81, 2, 1024)
                                                  .companion(0)
                                                  .endpoint(0x83, 2, 1024)
                                                  .companion(0)
                                                  .interface(0, 1, 2)
                                                  .endpoint(0x82, 1, 1024)
                                                  .companion(0)
                                                  .endpoint(0x84, 3, 64)
                                                  .companion(0)
                                                  .build()};
    description.alternateSetting = 1;
    add(std::move(description));
    DriverDevice device(nullptr, DriverInterfaceGuid, true);
    ASSERT_TRUE(device.isOpen());
    EXPECT_EQ(device.altIndex, 1);
    EXPECT_EQ(device.configs[0]->interfaces[0]->altSettingCount, 2);
    EXPECT_EQ(device.configs[0]->interfaces[1]->altSettingCount, 2);
    ASSERT_TRUE(device.isocInEndpoint);
    EXPECT_EQ(device.isocInEndpoint->address, 0x82);
    ASSERT_TRUE(device.interruptInEndpoint);
    EXPECT_FALSE(device.bulkInEndpoint);

    // On the first setting two bulk IN endpoints: the first listed takes the role.
    driver::virt::removeAllDevices();
    VirtualDeviceDescription first = camera();
    first.descriptors.configurations = {
        ConfigBuilder().interface(0, 0, 2).endpoint(0x83, 2, 512).endpoint(0x81, 2, 512).build()};
    add(std::move(first));
    ASSERT_TRUE(device.open(0));
    ASSERT_TRUE(device.bulkInEndpoint);
    EXPECT_EQ(device.bulkInEndpoint->address, 0x83);

    // A setting no interface carries: open succeeds without interface or roles.
    driver::virt::removeAllDevices();
    VirtualDeviceDescription none = camera();
    none.alternateSetting = 5;
    add(std::move(none));
    EXPECT_TRUE(device.open(0));
    EXPECT_FALSE(device.currentInterface);
    EXPECT_FALSE(device.bulkInEndpoint);
    EXPECT_FALSE(device.bulkOutEndpoint);
}

TEST_F(DriverDeviceTest, OpenByIndexAndOpenCloseCycles) {
    add(camera(0x0001));
    add(camera(0x0002));
    add(camera(0x0003));
    DriverDevice device(nullptr, DriverInterfaceGuid, true);
    EXPECT_EQ(device.deviceCount(), 3);
    EXPECT_EQ(device.productId, 0x0001);
    for (int round = 0; round < 5; ++round) {
        for (uint8_t i = 0; i < 3; ++i) {
            ASSERT_TRUE(device.open(i));  // closes the one before
            EXPECT_EQ(device.productId, 0x0001 + i);
            EXPECT_EQ(device.deviceIndex, i);
            ASSERT_TRUE(device.bulkInEndpoint);
        }
        device.close();
        EXPECT_FALSE(device.isOpen());
        EXPECT_FALSE(device.controlEndpoint);
        EXPECT_EQ(device.configCount, 0);
    }
    ASSERT_TRUE(device.open(1));
    EXPECT_FALSE(device.open(3));  // index equal to the count
    EXPECT_FALSE(device.isOpen());
    device.close();  // closing a closed object is harmless
    EXPECT_FALSE(device.isOpen());
}

TEST_F(DriverDeviceTest, MalformedConfigurationShowsTheMessageAndFailsTheOpen) {
    VirtualDeviceDescription description = camera();
    description.descriptors.configurations = {
        ConfigBuilder().interface(0, 0, 1).add({0, 5, 0x81}).build()};
    add(std::move(description));
    DriverDevice device(nullptr, DriverInterfaceGuid, true);
    EXPECT_FALSE(device.isOpen());
    EXPECT_FALSE(device.controlEndpoint);
    EXPECT_EQ(messages_,
              (std::vector<std::string>{
                  "Wrong Device Configuration|Please correct firmware descriptor table"}));
}

// A configuration whose wTotalLength cannot hold its own 9-byte header, 0 included, is a
// malformed table (0 was once taken for a configuration the board does not have).
class ShortConfigurationTest : public DriverDeviceTest,
                               public ::testing::WithParamInterface<uint16_t> {};

TEST_P(ShortConfigurationTest, ShowsTheMessageAndFailsTheOpen) {
    VirtualDeviceDescription description = camera();
    std::vector<uint8_t>& block = description.descriptors.configurations[0];
    block[2] = static_cast<uint8_t>(GetParam());
    block[3] = static_cast<uint8_t>(GetParam() >> 8);
    add(std::move(description));
    DriverDevice device(nullptr, DriverInterfaceGuid, true);
    EXPECT_FALSE(device.isOpen());
    EXPECT_FALSE(device.configs[0]);
    EXPECT_EQ(messages_,
              (std::vector<std::string>{
                  "Wrong Device Configuration|Please correct firmware descriptor table"}));
}

INSTANTIATE_TEST_SUITE_P(TotalLengths, ShortConfigurationTest, ::testing::Values(0, 1, 8));

TEST_F(DriverDeviceTest, MalformedBosShowsItsMessage) {
    VirtualDeviceDescription description = camera();
    description.descriptors.bos = bosDescriptor({{0, 0x10, 2}});
    add(std::move(description));
    DriverDevice device(nullptr, DriverInterfaceGuid, true);
    EXPECT_FALSE(device.isOpen());
    EXPECT_FALSE(device.bos);
    EXPECT_EQ(messages_, (std::vector<std::string>{
                             "Wrong BOS Descriptor|Please correct firmware BOS descriptor table"}));
}

TEST_F(DriverDeviceTest, MissingConfigurationLeavesTheHandleOpen) {
    VirtualDeviceDescription description = camera();
    description.descriptors.device = deviceDescriptor(0x0300, 0x52CB, 0x03F1, 9, 0);
    add(std::move(description));
    DriverDevice device(nullptr, DriverInterfaceGuid, false);
    EXPECT_FALSE(device.open(0));
    EXPECT_TRUE(device.isOpen());
    EXPECT_TRUE(device.controlEndpoint);
    device.shutdown();
    EXPECT_FALSE(device.isOpen());
}

TEST_F(DriverDeviceTest, OnlyTwoConfigurationsAreRead) {
    VirtualDeviceDescription description = camera();
    description.descriptors.device = deviceDescriptor(0x0300, 0x52CB, 0x03F1, 9, 3);
    auto block = description.descriptors.configurations[0];
    description.descriptors.configurations = {block, block, block};
    const auto id = add(std::move(description));
    DriverDevice device(nullptr, DriverInterfaceGuid, true);
    ASSERT_TRUE(device.isOpen());
    EXPECT_TRUE(device.configs[0]);
    EXPECT_TRUE(device.configs[1]);
    EXPECT_TRUE(lengthsOf(id, 2, 2).empty());
}

TEST_F(DriverDeviceTest, StringIndexZeroIsNoString) {
    VirtualDeviceDescription description = camera();
    description.descriptors.device = deviceDescriptor(0x0300, 0x52CB, 0x03F1, 9, 1, 0, 2, 0);
    add(std::move(description));
    DriverDevice device(nullptr, DriverInterfaceGuid, true);
    ASSERT_TRUE(device.isOpen());
    EXPECT_EQ(text(device.manufacturer), u"");
    EXPECT_EQ(text(device.product), u"Camera board");
    EXPECT_EQ(text(device.serialNumber), u"");
}

TEST_F(DriverDeviceTest, CloseFailureRaisesAndLeavesTheObjectClosed) {
    const auto id = add(camera());
    DriverDevice device(nullptr, DriverInterfaceGuid, true);
    ASSERT_TRUE(device.isOpen());
    driver::virt::failNextClose(id, 31);
    try {
        device.close();
        FAIL() << "close did not raise";
    } catch (const DeviceError& e) {
        EXPECT_STREQ(e.what(), "Failed to close handle to driver.");
    }
    EXPECT_EQ(device.lastError, 31u);
    EXPECT_FALSE(device.isOpen());
    EXPECT_FALSE(device.controlEndpoint);
    // The board can be opened again afterwards.
    EXPECT_TRUE(device.open(0));
    driver::virt::failNextClose(id, 31);
    EXPECT_THROW(device.open(0), DeviceError);  // open closes the device before
}

TEST_F(DriverDeviceTest, OverlongDevicePathIsRefused) {
    auto backend = RecordingBackend::install(300);
    DriverDevice device(nullptr, DriverInterfaceGuid, false);
    EXPECT_EQ(device.deviceCount(), 1);
    EXPECT_FALSE(device.open(0));
    EXPECT_EQ(device.lastError, driver::kErrorFilenameExcedRange);
    EXPECT_EQ(device.devicePath[0], '\0');
    backend->uninstall();
}

}  // namespace
}  // namespace vexo::test
