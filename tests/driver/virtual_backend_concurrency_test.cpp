// One thread reads the stream in order while others issue control requests, feed data and
// finally abort; run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "driver/driver_service.h"
#include "driver/support/descriptor_builder.h"
#include "driver/support/scripted_model.h"
#include "driver/virtual/virtual_bus.h"

namespace vexo::test {
namespace {

using namespace driver;
using namespace driver::virt;
using namespace std::chrono_literals;

TEST(VirtualBackendConcurrency, ReaderControlAndAbortThreads) {
    auto model = std::make_shared<ScriptedModel>();
    model->setControlHandler([](const SetupPacket& s, uint8_t* data) {
        if (s.isIn() && s.wLength) data[0] = 0x5A;
        return ControlResult::ack(s.wLength);
    });
    const DeviceId id = addDevice(cameraDescription(model));
    const Handle handle = createFile(devicePath(id).c_str());
    ASSERT_NE(handle, kInvalidHandle);

    constexpr int kSlots = 16;
    constexpr int kReads = 400;
    struct Slot {
        uint8_t record[38] = {};
        uint8_t buffer[4] = {};
        Overlapped ov;
    };
    std::vector<Slot> slots(kSlots);
    auto issue = [&](Slot& s) {
        std::memset(s.record, 0, sizeof s.record);
        s.record[13] = 0x81;
        return deviceIoControl(handle, 0x22004B, s.record, 38, s.buffer, 4, nullptr, &s.ov);
    };
    for (auto& s : slots) {
        s.ov.event = createEvent();
        ASSERT_FALSE(issue(s));
    }

    std::atomic<bool> stop{false};
    std::thread feeder([&] {
        for (int i = 0; i < kReads + kSlots; ++i) {
            uint32_t v = uint32_t(i);
            std::vector<uint8_t> bytes(4);
            std::memcpy(bytes.data(), &v, 4);
            model->queueData(0x81, bytes);
            if (i % 32 == 0) std::this_thread::sleep_for(1ms);
        }
    });
    std::thread controller([&] {
        int n = 0;
        while (!stop.load()) {
            uint8_t r[38 + 1] = {0xC0, 0x10, 0, 0, 0, 0, 1, 0, 1};
            r[30] = 38;
            r[34] = 1;
            uint32_t bytes = 0;
            EXPECT_TRUE(
                deviceIoControl(handle, 0x220020, r, sizeof r, r, sizeof r, &bytes, nullptr));
            EXPECT_EQ(r[38], 0x5A);
            ++n;
        }
        EXPECT_GT(n, 0);
    });

    // Reads complete in the order they were issued, re-queued as in a capture loop.
    uint32_t expected = 0;
    for (int i = 0; i < kReads; ++i) {
        Slot& s = slots[i % kSlots];
        ASSERT_EQ(waitForEvent(s.ov.event, 10000), kWaitObject0) << i;
        uint32_t bytes = 0, value = 0;
        ASSERT_TRUE(getOverlappedResult(handle, &s.ov, &bytes, false));
        std::memcpy(&value, s.buffer, 4);
        ASSERT_EQ(value, expected++);
        issue(s);
    }
    feeder.join();

    // An abort from another thread ends whatever is still in flight; the reader sees each end.
    std::thread aborter([&] {
        uint8_t pipe = 0x81;
        uint32_t bytes = 0;
        EXPECT_TRUE(deviceIoControl(handle, 0x220044, &pipe, 1, nullptr, 0, &bytes, nullptr));
    });
    for (int i = 0; i < kSlots; ++i) {
        uint32_t bytes = 0;
        getOverlappedResult(handle, &slots[i].ov, &bytes, true);
    }
    aborter.join();
    stop = true;
    controller.join();
    EXPECT_EQ(pendingRequests(id, 0x81), 0u);
    EXPECT_EQ(model->aborts(0x81), 1);
    for (auto& s : slots) closeEvent(s.ov.event);
    EXPECT_TRUE(closeHandle(handle));
    removeAllDevices();
}

}  // namespace
}  // namespace vexo::test
