// A capture loop on the bulk IN endpoint while another thread sends vendor requests on the
// control endpoint of the same device, as the camera engine does; run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "driver/support/descriptor_builder.h"
#include "driver/support/scripted_model.h"
#include "driver/virtual/virtual_bus.h"
#include "usb/driver_device.h"

namespace vexo::test {
namespace {

using namespace usb;

TEST(EndpointStreamConcurrency, CaptureLoopBesideVendorRequests) {
    auto model = std::make_shared<ScriptedModel>();
    model->setControlHandler([](const SetupPacket& s, uint8_t* data) {
        if (s.isIn() && s.wLength) data[0] = uint8_t(s.wValue);
        return ControlResult::ack(s.wLength);
    });
    driver::virt::addDevice(cameraDescription(model));
    DriverDevice device(nullptr, DriverInterfaceGuid, true);
    ASSERT_TRUE(device.isOpen());
    BulkEndpoint& bulk = *device.bulkInEndpoint;
    ControlEndpoint& control = *device.controlEndpoint;

    constexpr int kInFlight = 16;
    constexpr int kReads = 300;
    struct Transfer {
        uint8_t buffer[8] = {};
        driver::Overlapped ov;
        std::unique_ptr<TransferBlock> record;
    };
    std::vector<Transfer> transfers(kInFlight);
    for (auto& t : transfers) {
        t.ov.event = driver::createEvent();
        t.record = bulk.beginTransfer(t.buffer, 8, &t.ov);
        ASSERT_TRUE(t.record);
    }

    std::atomic<bool> done{false};
    std::thread feeder([&] {
        for (uint32_t i = 0; i < kReads; ++i) {
            std::vector<uint8_t> bytes(4);
            std::memcpy(bytes.data(), &i, 4);
            model->queueData(0x81, bytes);
        }
    });
    std::thread requests([&] {
        uint16_t n = 0;
        while (!done.load()) {
            control.direction = 1;
            control.requestCode = 0x20;
            control.value = ++n;
            uint8_t reply[2] = {};
            int32_t length = 2;
            EXPECT_TRUE(control.transfer(reply, length));
            EXPECT_EQ(reply[0], uint8_t(n));
        }
    });

    for (uint32_t i = 0; i < kReads; ++i) {
        Transfer& t = transfers[i % kInFlight];
        ASSERT_TRUE(bulk.waitForTransfer(&t.ov, 10000)) << i;
        int32_t length = 8;
        ASSERT_TRUE(bulk.finishTransfer(t.buffer, length, &t.ov, std::move(t.record)));
        uint32_t value = 0;
        std::memcpy(&value, t.buffer, 4);
        ASSERT_EQ(value, i);
        t.record = bulk.beginTransfer(t.buffer, 8, &t.ov);
    }
    bulk.abort();
    for (auto& t : transfers) {
        int32_t length = 8;
        EXPECT_FALSE(bulk.finishTransfer(t.buffer, length, &t.ov, std::move(t.record)));
        driver::closeEvent(t.ov.event);
    }
    done = true;
    requests.join();
    feeder.join();
    device.shutdown();
    driver::virt::removeAllDevices();
}

}  // namespace
}  // namespace vexo::test
