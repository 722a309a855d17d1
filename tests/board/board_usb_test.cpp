// Virtual boards on the virtual bus, seen through the usb layer as the camera engine sees them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "board/support/stream_decoder.h"
#include "driver/virtual/environment_boards.h"
#include "driver/virtual/virtual_board.h"
#include "usb/control_endpoint.h"
#include "usb/data_endpoints.h"
#include "usb/driver_device.h"

namespace vexo::test {
namespace {

namespace virt = vexo::driver::virt;
using Bytes = std::vector<uint8_t>;

std::string text(const char16_t* s) {
    std::string out;
    for (; *s; ++s) out += static_cast<char>(*s);
    return out;
}

class BoardUsb : public ::testing::Test {
  protected:
    void SetUp() override { virt::removeAllDevices(); }
    void TearDown() override { virt::removeAllDevices(); }

    std::unique_ptr<usb::DriverDevice> open(uint8_t index = 0) {
        auto d = std::make_unique<usb::DriverDevice>(nullptr, driver::kDriverInterfaceGuid, false);
        if (!d->open(index)) return nullptr;
        return d;
    }

    // A vendor request on endpoint 0; none when it failed.
    static std::optional<Bytes> vendor(usb::DriverDevice& d, bool in, uint8_t code, uint16_t value,
                                       uint16_t index, Bytes data) {
        usb::ControlEndpoint& ep = *d.controlEndpoint;
        ep.target = 0;
        ep.requestType = 2;
        ep.direction = in ? 1 : 0;
        ep.requestCode = code;
        ep.value = value;
        ep.index = index;
        int32_t length = static_cast<int32_t>(data.size());
        if (!ep.transfer(data.empty() ? nullptr : data.data(), length)) return std::nullopt;
        data.resize(static_cast<size_t>(length));
        return data;
    }
};

TEST_F(BoardUsb, DescriptorsAsConfigured) {
    auto board = virt::addVirtualBoard({});
    ASSERT_TRUE(board);
    auto d = open();
    ASSERT_TRUE(d);
    EXPECT_EQ(d->vendorId, 0x52CB);
    EXPECT_EQ(d->productId, 0x03F1);
    EXPECT_EQ(d->bcdUsb, 0x0300);
    EXPECT_EQ(d->ep0MaxPacketSize, 512);
    EXPECT_TRUE(d->isSuperSpeed);
    EXPECT_EQ(d->bcdDevice, 0x0320);
    ASSERT_TRUE(d->bulkInEndpoint);
    EXPECT_EQ(d->bulkInEndpoint->address, 0x81);
    EXPECT_EQ(d->bulkInEndpoint->maxBurst, 15);
    EXPECT_EQ(d->bulkInEndpoint->maxPacketSize, 16384);
    EXPECT_TRUE(d->bos);
    EXPECT_EQ(text(d->serialNumber), "VEXO-VIRTUAL-000");
    EXPECT_EQ(text(d->manufacturer), "Vexo");
    EXPECT_EQ(d->languageId, 0x0409);
    d->close();

    virt::BoardConfig usb2;
    usb2.productId = 0x52CB;
    usb2.vendorId = 0x04B4;
    usb2.serial = "TWO";
    ASSERT_TRUE(virt::addVirtualBoard(usb2));
    virt::BoardConfig slow;
    slow.productId = 0x03F2;
    slow.link = virt::Link::High;
    ASSERT_TRUE(virt::addVirtualBoard(slow));

    auto two = open(1);
    ASSERT_TRUE(two);
    EXPECT_EQ(two->vendorId, 0x04B4);
    EXPECT_EQ(two->bcdUsb, 0x0200);
    EXPECT_EQ(two->ep0MaxPacketSize, 64);
    EXPECT_TRUE(two->isHighSpeed);
    EXPECT_FALSE(two->bos);
    ASSERT_TRUE(two->bulkInEndpoint);
    EXPECT_EQ(two->bulkInEndpoint->maxPacketSize, 512);
    EXPECT_EQ(text(two->serialNumber), "TWO");

    auto high = open(2);
    ASSERT_TRUE(high);
    EXPECT_EQ(high->productId, 0x03F2);
    EXPECT_EQ(high->bcdUsb, 0x0210);
    EXPECT_FALSE(high->isSuperSpeed);
    EXPECT_EQ(high->bulkInEndpoint->maxPacketSize, 512);
}

TEST_F(BoardUsb, VendorRequestsThroughTheControlEndpoint) {
    auto board = virt::addVirtualBoard({});
    auto d = open();
    ASSERT_TRUE(d);
    EXPECT_EQ(vendor(*d, true, 0x80, 0, 0, Bytes(2)), (Bytes{0x03, 0x20}));
    EXPECT_TRUE(vendor(*d, false, 0xE1, 0x2000, 0x3012, {0x0A, 0x0B}));
    EXPECT_EQ(board->sensorRegister(0x3012), 0x0A0Bu);
    EXPECT_EQ(vendor(*d, true, 0xE2, 0x2000, 0x3012, Bytes(3)), (Bytes{0x0A, 0x0B, 0x00}));
    EXPECT_EQ(vendor(*d, true, 0xD6, 0x4600, 0x0000, Bytes(2)), (Bytes{35, 0}));
    auto serial = vendor(*d, true, 0xF7, 0x1C00 + 1008, 0x1000, Bytes(16));
    ASSERT_TRUE(serial);
    EXPECT_EQ(std::string(serial->begin(), serial->end()), "VEXO-VIRTUAL-000");
    EXPECT_FALSE(vendor(*d, false, 0x42, 0, 0, {}));  // unknown: stalled

    auto log = board->controlRequests();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().setup.bRequest, 0x42);
    EXPECT_EQ(log.back().setup.bmRequestType, 0x40);
}

TEST_F(BoardUsb, StreamThroughTheBulkEndpoint) {
    for (uint16_t product : {0x03F1, 0x03F2}) {
        virt::BoardConfig c;
        c.productId = product;
        auto board = virt::addVirtualBoard(c);
        auto d = open();
        ASSERT_TRUE(d && d->bulkInEndpoint);
        usb::BulkEndpoint& ep = *d->bulkInEndpoint;
        constexpr int kReads = 4;
        constexpr int32_t kLength = 524288;
        std::vector<Bytes> buffers(kReads, Bytes(kLength));
        std::vector<driver::Overlapped> ov(kReads);
        std::vector<std::unique_ptr<usb::TransferBlock>> records(kReads);
        for (int i = 0; i < kReads; ++i) {
            ov[i].event = driver::createEvent();
            records[i] = ep.beginTransfer(buffers[i].data(), kLength, &ov[i]);
            ASSERT_TRUE(records[i]);
        }
        ASSERT_TRUE(vendor(*d, false, 0xA1, 0, 0, {}));
        TrailerDecoder trailer;
        ChunkDecoder chunks;
        for (int i = 0; i < kReads; ++i) {
            ASSERT_TRUE(ep.waitForTransfer(&ov[i], 2000)) << i;
            int32_t length = kLength;
            ASSERT_TRUE(
                ep.finishTransfer(buffers[i].data(), length, &ov[i], std::move(records[i])));
            buffers[i].resize(static_cast<size_t>(length));
            if (product == 0x03F2)
                ASSERT_TRUE(trailer.feed(buffers[i])) << trailer.why();
            else
                ASSERT_TRUE(chunks.feed(buffers[i])) << chunks.why();
            driver::closeEvent(ov[i].event);
        }
        const auto& frames = product == 0x03F2 ? trailer.frames : chunks.frames;
        ASSERT_EQ(frames.size(), 4u);
        for (uint32_t n = 0; n < 4; ++n) {
            Bytes want;
            virt::renderFrame(c.stream, n, want);
            EXPECT_EQ(frames[n].bytes, want) << n;
        }
        ASSERT_TRUE(vendor(*d, false, 0xA2, 0, 0, {}));
        d->close();
        board->remove();
    }
}

TEST_F(BoardUsb, UnpluggedBoardsFailEverything) {
    auto board = virt::addVirtualBoard({});
    auto d = open();
    ASSERT_TRUE(d);
    EXPECT_TRUE(vendor(*d, true, 0x80, 0, 0, Bytes(2)));
    board->unplug();
    EXPECT_FALSE(vendor(*d, true, 0x80, 0, 0, Bytes(2)));
    usb::DriverDevice probe(nullptr, driver::kDriverInterfaceGuid, false);
    EXPECT_EQ(probe.deviceCount(), 0);
    EXPECT_FALSE(probe.open(0));
}

// Once per process: the environment is read a single time.
TEST_F(BoardUsb, BoardsFromTheEnvironment) {
    ::setenv("VEXO_VIRTUAL_BOARDS",
             R"({"boards": [{}, {"productId": "0x03F2", "serial": "SECOND"}]})", 1);
    EXPECT_TRUE(virt::loadBoardsFromEnvironment());
    usb::DriverDevice probe(nullptr, driver::kDriverInterfaceGuid, false);
    EXPECT_EQ(probe.deviceCount(), 2);
    ASSERT_TRUE(probe.open(1));
    EXPECT_EQ(probe.productId, 0x03F2);
    EXPECT_EQ(text(probe.serialNumber), "SECOND");
    probe.close();
    ASSERT_TRUE(probe.open(0));
    EXPECT_EQ(text(probe.serialNumber), "VEXO-VIRTUAL-000");
    probe.close();
    EXPECT_TRUE(virt::loadBoardsFromEnvironment());  // same value: the same two boards
    EXPECT_EQ(probe.deviceCount(), 2);
    ::setenv("VEXO_VIRTUAL_BOARDS", "1", 1);
    EXPECT_TRUE(virt::loadBoardsFromEnvironment());  // a new value replaces them
    EXPECT_EQ(probe.deviceCount(), 1);
    ::unsetenv("VEXO_VIRTUAL_BOARDS");
    EXPECT_FALSE(virt::loadBoardsFromEnvironment());
    EXPECT_EQ(probe.deviceCount(), 0);
    // A document the JSON parser refuses (a number past a double's range) adds no board and
    // says which key, rather than failing the scan as a USB error.
    ::setenv("VEXO_VIRTUAL_BOARDS", R"({"boards": [{"stream": {"fps": 1e400}}]})", 1);
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(virt::loadBoardsFromEnvironment());
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "VEXO_VIRTUAL_BOARDS: boards[0].stream.fps: number out of range (1e400)\n");
    EXPECT_EQ(probe.deviceCount(), 0);
    ::unsetenv("VEXO_VIRTUAL_BOARDS");
}

}  // namespace
}  // namespace vexo::test
