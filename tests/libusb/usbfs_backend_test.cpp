// The libusb backend through real libusb on an emulated usbfs: the driver's requests on a
// board, served by the same board model the virtual backend uses.
#include <gtest/gtest.h>
#include <umockdev.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "board/support/stream_decoder.h"
#include "driver/backend.h"
#include "driver/driver_service.h"
#include "driver/driver_wire.h"
#include "driver/libusb/transfer_status.h"
#include "driver/virtual/board_model.h"
#include "driver/virtual/virtual_board.h"
#include "libusb/support/usbfs_device.h"

namespace vexo::driver::lusb {
namespace {

namespace virt = vexo::driver::virt;
using test::UsbfsDevice;
using test::UsbfsOptions;

constexpr uint8_t kBulkIn = 0x81;

// A board model plugged into the emulated usbfs.
struct PluggedBoard {
    std::shared_ptr<virt::BoardModel> model;
    std::unique_ptr<UsbfsDevice> usb;
};

PluggedBoard plugBoard(const virt::BoardConfig& config, UsbfsOptions options = {}) {
    std::string error;
    PluggedBoard b;
    b.model = virt::BoardModel::create(config, error);
    EXPECT_TRUE(b.model) << error;
    if (!b.model) return b;
    virt::VirtualDeviceDescription description = b.model->deviceDescription();
    description.model = b.model;
    b.usb = std::make_unique<UsbfsDevice>(std::move(description), options);
    return b;
}

virt::BoardConfig smallStream(uint16_t productId = 0x03F1) {
    virt::BoardConfig config;
    config.productId = productId;
    config.stream.width = 64;
    config.stream.height = 32;
    return config;
}

std::vector<std::string> listPaths(const Guid& guid = kDriverInterfaceGuid) {
    DeviceInfoSet* set = getClassDevs(guid);
    std::vector<std::string> paths;
    DeviceInterfaceData data;
    for (uint32_t i = 0; enumDeviceInterface(set, i, &data); ++i) {
        char path[256];
        if (getDeviceInterfacePath(set, data, path, sizeof path, nullptr)) paths.push_back(path);
    }
    destroyDeviceInfoList(set);
    return paths;
}

Handle openFirst() {
    const auto paths = listPaths();
    if (paths.empty()) return kInvalidHandle;
    return createFile(paths[0].c_str());
}

// A control request in a record, as the usb layer sends it; the reply lands in `data`.
struct Control {
    bool ok = false;
    uint32_t error = 0;
    uint32_t bytes = 0;
    uint32_t usbdStatus = 0;
    std::vector<uint8_t> data;
};

Control control(Handle h, uint8_t type, uint8_t request, uint16_t value, uint16_t index,
                std::vector<uint8_t> data, bool overlapped = false) {
    const uint32_t length = static_cast<uint32_t>(data.size());
    std::vector<uint8_t> r(kTransferRecordSize + length, 0);
    r[0] = type;
    r[1] = request;
    std::memcpy(&r[2], &value, 2);
    std::memcpy(&r[4], &index, 2);
    std::memcpy(&r[6], &length, 2);
    const uint32_t seconds = 5, offset = kTransferRecordSize;
    std::memcpy(&r[8], &seconds, 4);
    std::memcpy(&r[record::kDataOffset], &offset, 4);
    std::memcpy(&r[record::kDataLength], &length, 4);
    if (length) std::memcpy(&r[38], data.data(), length);
    Control c;
    const uint32_t size = static_cast<uint32_t>(r.size());
    if (overlapped) {
        Overlapped ov;
        ov.event = createEvent();
        c.ok = deviceIoControl(h, kRequestControlTransfer, r.data(), size, r.data(), size, &c.bytes,
                               &ov);
        if (!c.ok && getLastError() == kErrorIoPending) {
            EXPECT_EQ(waitForEvent(ov.event, 5000), kWaitObject0);
            c.ok = getOverlappedResult(h, &ov, &c.bytes, false);
        }
        closeEvent(ov.event);
    } else {
        c.ok = deviceIoControl(h, kRequestControlTransfer, r.data(), size, r.data(), size, &c.bytes,
                               nullptr);
    }
    c.error = getLastError();
    std::memcpy(&c.usbdStatus, &r[record::kUsbdStatus], 4);
    c.data.assign(r.begin() + 38, r.end());
    return c;
}

// A direct read in flight: the record header, the caller's buffer and its event.
struct Read {
    explicit Read(uint32_t length) : buffer(length, 0xEF) {
        header[record::kEndpoint] = kBulkIn;
        overlapped.event = createEvent();
    }
    ~Read() { closeEvent(overlapped.event); }

    bool begin(Handle h) {
        const bool done =
            deviceIoControl(h, kRequestDirectTransfer, header, sizeof header, buffer.data(),
                            static_cast<uint32_t>(buffer.size()), nullptr, &overlapped);
        error = getLastError();
        return done || error == kErrorIoPending;
    }
    uint32_t usbdStatus() const {
        uint32_t s;
        std::memcpy(&s, header + record::kUsbdStatus, 4);
        return s;
    }

    uint8_t header[kTransferRecordSize] = {};
    std::vector<uint8_t> buffer;
    Overlapped overlapped;
    uint32_t error = 0;
};

class UsbfsBackend : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!test::testbed()) GTEST_SKIP() << "needs umockdev-wrapper";
    }

    // Begins `count` reads of `length` bytes on `h`, each of which must be accepted.
    static void beginReads(Handle h, int count, uint32_t length,
                           std::vector<std::unique_ptr<Read>>& reads) {
        for (int i = 0; i < count; ++i) {
            reads.push_back(std::make_unique<Read>(length));
            ASSERT_TRUE(reads.back()->begin(h)) << "read " << i;
        }
    }
};

TEST_F(UsbfsBackend, BoardsOfBothVendorsAreListedInPortOrderAndOthersAreNot) {
    virt::BoardConfig second = smallStream();
    second.vendorId = 0x04B4;
    second.productId = 0x00F3;
    virt::BoardConfig foreign = smallStream();
    foreign.vendorId = 0x1D6B;
    foreign.productId = 0x0104;
    // A mouse made with the same controller: vendor 0x04B4, but a HID interface.
    virt::VirtualDeviceDescription mouse;
    mouse.descriptors.device = {18,   1,    0x00, 0x02, 0,    0, 0, 64, 0xB4,
                                0x04, 0x01, 0x00, 0x00, 0x01, 0, 0, 0,  1};
    mouse.descriptors.configurations = {
        {9, 2, 25, 0, 1, 1, 0, 0xA0, 50, 9, 4, 0, 0, 1, 3, 1, 2, 0, 7, 5, 0x81, 3, 8, 0, 10}};
    mouse.speedCode = 1;
    UsbfsDevice hid(mouse, {1, 3, "1-4"});
    auto b = plugBoard(second, {1, 7, "1-2"});
    auto c = plugBoard(foreign, {1, 4, "1-3"});
    auto a = plugBoard(smallStream(), {1, 9, "1-1"});

    const std::string suffix = "#{ae18aa60-7f6a-11d4-97dd-00010229b959}";
    EXPECT_EQ(listPaths(),
              (std::vector<std::string>{"\\\\?\\usb#vid_52cb&pid_03f1#libusb-001-009" + suffix,
                                        "\\\\?\\usb#vid_04b4&pid_00f3#libusb-001-007" + suffix}));
    Guid other = kDriverInterfaceGuid;
    other.bytes[0] ^= 1;
    EXPECT_TRUE(listPaths(other).empty());

    ::setenv("VEXO_USB_IDS", "1d6b:0104", 1);
    EXPECT_EQ(listPaths().size(), 3u) << "the listed id, not the mouse";
    ::unsetenv("VEXO_USB_IDS");

    // A path of a board that went away no longer opens.
    const std::string gone = listPaths()[1];
    b.usb->unplug();
    EXPECT_EQ(listPaths().size(), 1u);
    EXPECT_EQ(createFile(gone.c_str()), kInvalidHandle);
    EXPECT_EQ(getLastError(), kErrorFileNotFound);
    EXPECT_EQ(createFile(("\\\\?\\usb#vid_52cb&pid_03f1#libusb-001-099" + suffix).c_str()),
              kInvalidHandle);
    EXPECT_EQ(getLastError(), kErrorFileNotFound);
}

TEST_F(UsbfsBackend, OpenClaimsTheInterfaceAndAnswersWhatTheDriverKnows) {
    virt::BoardConfig config = smallStream();
    config.serial = "SERIAL-0042";
    auto board = plugBoard(config, {2, 5, "2-1"});
    const Handle h = openFirst();
    ASSERT_NE(h, kInvalidHandle);
    EXPECT_EQ(board.usb->claimedInterfaces(), 1u);

    uint32_t value = 0, bytes = 0;
    ASSERT_TRUE(deviceIoControl(h, kRequestSpeed, &value, 4, &value, 4, &bytes, nullptr));
    EXPECT_EQ(bytes, 4u);
    EXPECT_EQ(value, 4u) << "a SuperSpeed board";
    uint8_t address = 0;
    ASSERT_TRUE(deviceIoControl(h, kRequestAddress, &address, 1, &address, 1, &bytes, nullptr));
    EXPECT_EQ(address, 5);
    uint8_t alt = 0xFF;
    ASSERT_TRUE(deviceIoControl(h, kRequestAlternateSetting, &alt, 1, &alt, 1, &bytes, nullptr));
    EXPECT_EQ(alt, 0);
    ASSERT_TRUE(deviceIoControl(h, kRequestDriverVersion, &value, 4, &value, 4, &bytes, nullptr));
    EXPECT_NE(value, 0u);

    char name[256];
    ASSERT_TRUE(deviceIoControl(h, kRequestFriendlyName, name, 256, name, 256, &bytes, nullptr));
    EXPECT_EQ(bytes, 256u);
    EXPECT_STREQ(name, "Vexo Virtual Camera Board");
    ASSERT_TRUE(deviceIoControl(h, kRequestDeviceName, name, 256, name, 256, &bytes, nullptr));
    EXPECT_NE(std::strstr(name, "SERIAL-0042"), nullptr) << name;

    EXPECT_FALSE(deviceIoControl(h, kRequestSpeed, &value, 2, &value, 2, &bytes, nullptr));
    EXPECT_EQ(getLastError(), kErrorInsufficientBuffer);
    EXPECT_FALSE(deviceIoControl(h, 0x220070, &value, 4, &value, 4, &bytes, nullptr));
    EXPECT_EQ(getLastError(), kErrorInvalidFunction);

    uint8_t size[5] = {kBulkIn, 0x00, 0x00, 0x08, 0x00};
    uint8_t echo[5] = {};
    ASSERT_TRUE(deviceIoControl(h, kRequestSetTransferSize, size, 5, echo, 5, &bytes, nullptr));
    EXPECT_EQ(bytes, 5u);
    EXPECT_EQ(0, std::memcmp(size, echo, 5));

    EXPECT_TRUE(closeHandle(h));
    EXPECT_EQ(board.usb->claimedInterfaces(), 0u);
    EXPECT_FALSE(deviceIoControl(h, kRequestSpeed, &value, 4, &value, 4, &bytes, nullptr));
}

TEST_F(UsbfsBackend, ControlRecordsReachTheBoardBothWays) {
    auto board = plugBoard(smallStream());
    const Handle h = openFirst();
    ASSERT_NE(h, kInvalidHandle);

    // Descriptors come from the board, in the record after the header.
    const Control device = control(h, 0x80, 6, 0x0100, 0, std::vector<uint8_t>(18));
    ASSERT_TRUE(device.ok);
    EXPECT_EQ(device.bytes, 38u + 18u);
    EXPECT_EQ(device.data, board.model->deviceDescription().descriptors.device);
    const Control shortRead = control(h, 0x80, 6, 0x0200, 0, std::vector<uint8_t>(9));
    ASSERT_TRUE(shortRead.ok);
    EXPECT_EQ(shortRead.data[1], 2) << "configuration descriptor";

    // A vendor write then a read of the same board-controller register, overlapped.
    const Control write = control(h, 0x40, 0xD7, 0x4600, 0x0400, {0x5A}, true);
    ASSERT_TRUE(write.ok);
    EXPECT_EQ(write.bytes, 38u + 1u);
    EXPECT_EQ(board.model->boardControllerRegister(4), 0x5A);
    const Control read = control(h, 0xC0, 0xD6, 0x4600, 0x0400, std::vector<uint8_t>(2), true);
    ASSERT_TRUE(read.ok);
    EXPECT_EQ(read.data[0], 0x5A);
    const Control firmware = control(h, 0xC0, 0x80, 0, 0, std::vector<uint8_t>(2));
    EXPECT_EQ(firmware.data, (std::vector<uint8_t>{0x03, 0x20}));

    // A stalled request completes; the status words say it stalled.
    virt::FaultConfig fail;
    fail.kind = virt::BoardFault::ControlFail;
    fail.count = 1;
    board.model->addFault(fail);
    const Control stalled = control(h, 0xC0, 0x80, 0, 0, std::vector<uint8_t>(2), true);
    EXPECT_TRUE(stalled.ok);
    EXPECT_EQ(stalled.usbdStatus, kUsbdStallPid);
    EXPECT_EQ(stalled.bytes, 38u);

    // A record that names bytes outside itself is refused before it reaches the board.
    std::vector<uint8_t> bad(40, 0);
    bad[0] = 0xC0;
    bad[1] = 0x80;
    bad[6] = 8;
    bad[record::kDataOffset] = 38;
    bad[record::kDataLength] = 8;
    uint32_t bytes = 0;
    EXPECT_FALSE(deviceIoControl(h, kRequestControlTransfer, bad.data(), 40, bad.data(), 40, &bytes,
                                 nullptr));
    EXPECT_EQ(getLastError(), kErrorInvalidParameter);
    closeHandle(h);
}

TEST_F(UsbfsBackend, DirectReadsFillTheCallersBuffersWithTheStream) {
    const virt::BoardConfig config = smallStream();
    auto board = plugBoard(config);
    const Handle h = openFirst();
    ASSERT_NE(h, kInvalidHandle);
    std::vector<std::unique_ptr<Read>> reads;
    ASSERT_NO_FATAL_FAILURE(beginReads(h, 8, 16384, reads));
    for (auto& r : reads) {
        EXPECT_EQ(r->error, kErrorIoPending);
        EXPECT_EQ(r->usbdStatus(), 0u);
    }
    EXPECT_EQ(board.usb->queuedUrbs(kBulkIn), 8u) << "one URB per read, straight from the caller";
    ASSERT_TRUE(control(h, 0x40, 0xA1, 0, 0, {}).ok);

    test::ChunkDecoder decoder;
    for (auto& r : reads) {
        ASSERT_EQ(waitForEvent(r->overlapped.event, 5000), kWaitObject0);
        uint32_t bytes = 0;
        ASSERT_TRUE(getOverlappedResult(h, &r->overlapped, &bytes, false));
        ASSERT_GT(bytes, 16u);
        ASSERT_LE(bytes, 16384u);
        EXPECT_EQ(r->usbdStatus(), 0u);
        ASSERT_TRUE(decoder.feed({r->buffer.begin(), r->buffer.begin() + bytes})) << decoder.why();
    }
    ASSERT_GE(decoder.frames.size(), 2u);
    for (uint32_t n = 0; n < 2; ++n) {
        std::vector<uint8_t> picture;
        virt::renderFrame(config.stream, n, picture);
        EXPECT_EQ(decoder.frames[n].bytes, picture) << "frame " << n;
    }

    // A synchronous read drives itself.
    std::vector<uint8_t> buffer(16384);
    uint8_t header[kTransferRecordSize] = {};
    header[record::kEndpoint] = kBulkIn;
    uint32_t bytes = 0;
    EXPECT_TRUE(deviceIoControl(h, kRequestDirectTransfer, header, sizeof header, buffer.data(),
                                16384, &bytes, nullptr));
    EXPECT_GT(bytes, 16u);
    EXPECT_EQ(buffer[0], 0x0C) << "a chunk header";

    // Reads on an endpoint the board does not have are refused.
    header[record::kEndpoint] = 0x83;
    EXPECT_FALSE(deviceIoControl(h, kRequestDirectTransfer, header, sizeof header, buffer.data(),
                                 16384, &bytes, nullptr));
    EXPECT_EQ(getLastError(), kErrorInvalidParameter);
    closeHandle(h);
}

TEST_F(UsbfsBackend, AbortCancelsEveryReadOfThePipeAndWaitsForThem) {
    auto board = plugBoard(smallStream());
    const Handle h = openFirst();
    ASSERT_NE(h, kInvalidHandle);
    std::vector<std::unique_ptr<Read>> reads;
    ASSERT_NO_FATAL_FAILURE(beginReads(h, 16, 65536, reads));
    // Not streaming: all of them stay queued until the abort.
    uint8_t pipe = kBulkIn;
    uint32_t bytes = 0;
    Overlapped ov;
    ov.event = createEvent();
    const bool done = deviceIoControl(h, kRequestAbortPipe, &pipe, 1, nullptr, 0, &bytes, &ov);
    if (!done) {
        ASSERT_EQ(getLastError(), kErrorIoPending);
        ASSERT_EQ(waitForEvent(ov.event, kInfinite), kWaitObject0);
    }
    closeEvent(ov.event);
    // Back before the abort returned: no wait needed, each ended as cancelled.
    EXPECT_EQ(board.usb->queuedUrbs(kBulkIn), 0u);
    for (auto& r : reads) {
        EXPECT_FALSE(getOverlappedResult(h, &r->overlapped, &bytes, false));
        EXPECT_EQ(getLastError(), kErrorOperationAborted);
        EXPECT_EQ(r->usbdStatus(), kUsbdCanceled);
        EXPECT_EQ(waitForEvent(r->overlapped.event, 0), kWaitObject0);
    }
    // The pipe works again afterwards.
    Read again(16384);
    ASSERT_TRUE(again.begin(h));
    ASSERT_TRUE(control(h, 0x40, 0xA1, 0, 0, {}).ok);
    EXPECT_EQ(waitForEvent(again.overlapped.event, 5000), kWaitObject0);
    EXPECT_TRUE(getOverlappedResult(h, &again.overlapped, &bytes, false));
    closeHandle(h);
}

TEST_F(UsbfsBackend, ClosingAHandleEndsItsReadsFirst) {
    auto board = plugBoard(smallStream());
    const Handle h = openFirst();
    ASSERT_NE(h, kInvalidHandle);
    std::vector<std::unique_ptr<Read>> reads;
    ASSERT_NO_FATAL_FAILURE(beginReads(h, 4, 16384, reads));
    EXPECT_TRUE(closeHandle(h));
    EXPECT_EQ(board.usb->queuedUrbs(kBulkIn), 0u);
    EXPECT_EQ(board.usb->claimedInterfaces(), 0u);
    for (auto& r : reads) {
        uint32_t bytes = 0;
        EXPECT_FALSE(getOverlappedResult(h, &r->overlapped, &bytes, false));
        EXPECT_EQ(getLastError(), kErrorOperationAborted);
    }
}

TEST_F(UsbfsBackend, UnpluggedBoardsEndTheirReadsWithAnErrorNotAHang) {
    auto board = plugBoard(smallStream());
    const Handle h = openFirst();
    ASSERT_NE(h, kInvalidHandle);
    std::vector<std::unique_ptr<Read>> reads;
    ASSERT_NO_FATAL_FAILURE(beginReads(h, 4, 16384, reads));
    board.model->unplug();
    board.usb->unplug();
    for (auto& r : reads) {
        ASSERT_EQ(waitForEvent(r->overlapped.event, 10000), kWaitObject0);
        uint32_t bytes = 0;
        EXPECT_FALSE(getOverlappedResult(h, &r->overlapped, &bytes, false));
        EXPECT_EQ(getLastError(), kErrorDeviceNotConnected);
        EXPECT_EQ(r->usbdStatus(), kUsbdDeviceGone);
    }
    // New requests fail at once with the same error and the status words set.
    Read late(16384);
    EXPECT_FALSE(late.begin(h));
    EXPECT_EQ(late.error, kErrorDeviceNotConnected);
    EXPECT_EQ(late.usbdStatus(), kUsbdDeviceGone);
    const Control c = control(h, 0xC0, 0x80, 0, 0, std::vector<uint8_t>(2), true);
    EXPECT_FALSE(c.ok);
    EXPECT_EQ(c.error, kErrorDeviceNotConnected);
    EXPECT_TRUE(closeHandle(h));
    EXPECT_TRUE(listPaths().empty());
}

TEST_F(UsbfsBackend, ReadsPastTheUsbfsMemoryLimitAreRefusedWithOneLineNamingIt) {
    auto board = plugBoard(smallStream());  // the kernel's default 16 MB
    const Handle h = openFirst();
    ASSERT_NE(h, kInvalidHandle);
    std::vector<std::unique_ptr<Read>> reads;
    ::testing::internal::CaptureStderr();
    size_t accepted = 0;
    for (int i = 0; i < 64; ++i) {
        reads.push_back(std::make_unique<Read>(524288));
        if (!reads.back()->begin(h)) break;
        ++accepted;
    }
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(accepted, 32u) << "16 MiB hold 32 reads of 512 KiB";
    ASSERT_EQ(reads.size(), 33u);
    const Read& refused = *reads.back();
    EXPECT_EQ(refused.error, kErrorNoSystemResources);
    EXPECT_NE(refused.usbdStatus(), 0u) << "the usb layer reads a refusal from the status words";
    EXPECT_EQ(board.usb->refusedSubmits(), 1u);
    EXPECT_NE(err.find("/sys/module/usbcore/parameters/usbfs_memory_mb"), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_TRUE(closeHandle(h));
}

TEST_F(UsbfsBackend, WithTheLimitRaisedAllSixtyFourReadsGoOut) {
    auto board = plugBoard(smallStream(), {1, 2, "1-1", 0});
    const Handle h = openFirst();
    ASSERT_NE(h, kInvalidHandle);
    std::vector<std::unique_ptr<Read>> reads;
    ASSERT_NO_FATAL_FAILURE(beginReads(h, 64, 524288, reads));
    EXPECT_EQ(board.usb->queuedUrbs(kBulkIn), 64u);
    EXPECT_GE(board.usb->peakMemory(), 64ull * 524288);
    EXPECT_TRUE(closeHandle(h));
}

}  // namespace
}  // namespace vexo::driver::lusb
