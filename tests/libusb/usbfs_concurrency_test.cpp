// Two threads on one board through libusb: a reader streaming bulk reads while another thread
// sends vendor requests. Both wait, so both handle libusb events; neither may lose the other's
// completion or stall it.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "board/support/stream_decoder.h"
#include "driver/driver_service.h"
#include "driver/driver_wire.h"
#include "driver/virtual/board_model.h"
#include "driver/virtual/virtual_board.h"
#include "libusb/support/usbfs_device.h"

namespace vexo::driver::lusb {
namespace {

namespace virt = vexo::driver::virt;

bool controlIn(Handle h, uint8_t request, std::vector<uint8_t>& reply) {
    std::vector<uint8_t> r(kTransferRecordSize + reply.size(), 0);
    const uint32_t length = static_cast<uint32_t>(reply.size()), offset = kTransferRecordSize;
    r[0] = 0xC0;
    r[1] = request;
    std::memcpy(&r[6], &length, 2);
    r[8] = 5;
    std::memcpy(&r[record::kDataOffset], &offset, 4);
    std::memcpy(&r[record::kDataLength], &length, 4);
    Overlapped ov;
    ov.event = createEvent();
    uint32_t bytes = 0;
    const uint32_t size = static_cast<uint32_t>(r.size());
    bool ok =
        deviceIoControl(h, kRequestControlTransfer, r.data(), size, r.data(), size, &bytes, &ov);
    if (!ok && getLastError() == kErrorIoPending)
        ok = waitForEvent(ov.event, 5000) == kWaitObject0 &&
             getOverlappedResult(h, &ov, &bytes, false);
    closeEvent(ov.event);
    std::memcpy(reply.data(), &r[38], reply.size());
    return ok && bytes == size;
}

TEST(UsbfsConcurrency, ReadsAndVendorRequestsFromTwoThreadsAllComeBack) {
    if (!test::testbed()) GTEST_SKIP() << "needs umockdev-wrapper";
    virt::BoardConfig config;
    config.stream.width = 64;
    config.stream.height = 32;
    std::string error;
    auto model = virt::BoardModel::create(config, error);
    ASSERT_TRUE(model) << error;
    virt::VirtualDeviceDescription description = model->deviceDescription();
    description.model = model;
    test::UsbfsDevice usb(std::move(description), {1, 2, "1-1", 0});

    DeviceInfoSet* set = getClassDevs(kDriverInterfaceGuid);
    DeviceInterfaceData data;
    char path[256] = {};
    ASSERT_TRUE(enumDeviceInterface(set, 0, &data));
    ASSERT_TRUE(getDeviceInterfacePath(set, data, path, sizeof path, nullptr));
    destroyDeviceInfoList(set);
    const Handle h = createFile(path);
    ASSERT_NE(h, kInvalidHandle);
    std::vector<uint8_t> version(2);
    ASSERT_TRUE(controlIn(h, 0x80, version));
    {
        std::vector<uint8_t> start(kTransferRecordSize, 0);
        start[0] = 0x40;
        start[1] = 0xA1;
        uint32_t bytes = 0;
        ASSERT_TRUE(deviceIoControl(h, kRequestControlTransfer, start.data(), 38, start.data(), 38,
                                    &bytes, nullptr));
    }

    std::atomic<int> controlFailures{0};
    std::thread vendor([&] {
        for (int i = 0; i < 150; ++i) {
            std::vector<uint8_t> reply(2);
            if (!controlIn(h, 0x80, reply) || reply != std::vector<uint8_t>{0x03, 0x20})
                ++controlFailures;
        }
    });

    // Eight reads kept in flight, each re-queued once it is back, as the camera does.
    constexpr int kInFlight = 8;
    struct Slot {
        uint8_t header[kTransferRecordSize] = {};
        std::vector<uint8_t> buffer = std::vector<uint8_t>(16384);
        Overlapped overlapped;
    };
    std::vector<Slot> slots(kInFlight);
    auto begin = [&](Slot& s) {
        std::memset(s.header, 0, sizeof s.header);
        s.header[record::kEndpoint] = 0x81;
        const bool done = deviceIoControl(h, kRequestDirectTransfer, s.header, sizeof s.header,
                                          s.buffer.data(), 16384, nullptr, &s.overlapped);
        return done || getLastError() == kErrorIoPending;
    };
    for (Slot& s : slots) {
        s.overlapped.event = createEvent();
        ASSERT_TRUE(begin(s));
    }
    test::ChunkDecoder decoder;
    int readFailures = 0;
    for (int i = 0; i < 400; ++i) {
        Slot& s = slots[i % kInFlight];
        uint32_t bytes = 0;
        if (waitForEvent(s.overlapped.event, 5000) != kWaitObject0 ||
            !getOverlappedResult(h, &s.overlapped, &bytes, false)) {
            ++readFailures;
            break;
        }
        if (!decoder.feed({s.buffer.begin(), s.buffer.begin() + bytes})) ++readFailures;
        ASSERT_TRUE(begin(s));
    }
    vendor.join();
    EXPECT_EQ(readFailures, 0) << decoder.why();
    EXPECT_EQ(controlFailures.load(), 0);
    EXPECT_GE(decoder.frames.size(), 100u);
    std::vector<uint8_t> picture;
    for (size_t n = 0; n < decoder.frames.size(); n += 37) {
        virt::renderFrame(config.stream, static_cast<uint32_t>(n), picture);
        EXPECT_EQ(decoder.frames[n].bytes, picture) << "frame " << n;
    }
    EXPECT_TRUE(closeHandle(h));
    for (Slot& s : slots) closeEvent(s.overlapped.event);
}

}  // namespace
}  // namespace vexo::driver::lusb
