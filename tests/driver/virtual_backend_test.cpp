// The driver service over the virtual backend: enumeration, requests as served, completion
// order, abort, time-outs, unplug and removal.
#include <gtest/gtest.h>

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

constexpr uint32_t kControl = 0x220020;
constexpr uint32_t kBuffered = 0x220024;
constexpr uint32_t kDirect = 0x22004B;

uint32_t le32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

void put32(uint8_t* p, uint32_t v) {
    std::memcpy(p, &v, 4);
}

// A control record: setup bytes, time-out, data at offset 38.
std::vector<uint8_t> controlRecord(uint8_t requestType, uint8_t request, uint16_t value,
                                   uint16_t index, uint16_t length, uint32_t seconds = 5) {
    std::vector<uint8_t> r(38 + length, 0);
    r[0] = requestType;
    r[1] = request;
    r[2] = uint8_t(value);
    r[3] = uint8_t(value >> 8);
    r[4] = uint8_t(index);
    r[5] = uint8_t(index >> 8);
    r[6] = uint8_t(length);
    r[7] = uint8_t(length >> 8);
    put32(&r[8], seconds);
    put32(&r[30], 38);
    put32(&r[34], length);
    return r;
}

std::vector<uint8_t> directRecord(uint8_t endpoint) {
    std::vector<uint8_t> r(38, 0);
    r[13] = endpoint;
    return r;
}

class VirtualBackendTest : public ::testing::Test {
  protected:
    void SetUp() override {
        model_ = std::make_shared<ScriptedModel>();
        id_ = addDevice(cameraDescription(model_));
        handle_ = createFile(devicePath(id_).c_str());
        ASSERT_NE(handle_, kInvalidHandle);
    }
    void TearDown() override {
        if (handle_ != kInvalidHandle) closeHandle(handle_);
        removeAllDevices();
    }

    // A direct read of `n` bytes in flight on 0x81.
    struct Read {
        std::vector<uint8_t> record = directRecord(0x81);
        std::vector<uint8_t> buffer;
        Overlapped ov;
        explicit Read(uint32_t n) : buffer(n, 0) { ov.event = createEvent(); }
        ~Read() { closeEvent(ov.event); }
    };
    bool issue(Read& r) {
        return deviceIoControl(handle_, kDirect, r.record.data(), 38, r.buffer.data(),
                               uint32_t(r.buffer.size()), nullptr, &r.ov);
    }

    std::shared_ptr<ScriptedModel> model_;
    DeviceId id_ = 0;
    Handle handle_ = kInvalidHandle;
};

TEST_F(VirtualBackendTest, EnumeratesPresentDevicesInOrderAndEndsWithNoMoreItems) {
    auto second = std::make_shared<ScriptedModel>();
    const DeviceId id2 = addDevice(cameraDescription(second, 0x03F2));
    EXPECT_EQ(devicePath(id_), "\\\\?\\usb#vid_52cb&pid_03f1#vexo-virtual-" + std::to_string(id_) +
                                   "#{ae18aa60-7f6a-11d4-97dd-00010229b959}");

    DeviceInfoSet* set = getClassDevs(kDriverInterfaceGuid);
    DeviceInterfaceData data;
    std::vector<std::string> paths;
    for (uint32_t m = 0; enumDeviceInterface(set, m, &data); ++m) {
        uint32_t required = 0;
        EXPECT_FALSE(getDeviceInterfacePath(set, data, nullptr, 0, &required));
        EXPECT_EQ(getLastError(), kErrorInsufficientBuffer);
        std::vector<char> path(required);
        ASSERT_TRUE(getDeviceInterfacePath(set, data, path.data(), required, &required));
        paths.emplace_back(path.data());
        EXPECT_EQ(paths.back().size() + 1, required);
    }
    EXPECT_EQ(getLastError(), kErrorNoMoreItems);
    destroyDeviceInfoList(set);
    EXPECT_EQ(paths, (std::vector<std::string>{devicePath(id_), devicePath(id2)}));

    // Unplugged devices leave the list and cannot be opened.
    second->setPresent(false);
    set = getClassDevs(kDriverInterfaceGuid);
    EXPECT_TRUE(enumDeviceInterface(set, 0, &data));
    EXPECT_FALSE(enumDeviceInterface(set, 1, &data));
    destroyDeviceInfoList(set);
    EXPECT_EQ(createFile(devicePath(id2).c_str()), kInvalidHandle);
    EXPECT_EQ(getLastError(), kErrorFileNotFound);

    Guid other{};
    set = getClassDevs(other);
    EXPECT_FALSE(enumDeviceInterface(set, 0, &data));
    destroyDeviceInfoList(set);
}

TEST_F(VirtualBackendTest, DescriptorRequestsAreCutToTheRequestedLength) {
    auto r = controlRecord(0x80, 6, 0x0100, 0, 18);
    uint32_t bytes = 0;
    ASSERT_TRUE(deviceIoControl(handle_, kControl, r.data(), uint32_t(r.size()), r.data(),
                                uint32_t(r.size()), &bytes, nullptr));
    EXPECT_EQ(bytes, 38u + 18);
    EXPECT_EQ(std::vector<uint8_t>(r.begin() + 38, r.end()),
              deviceDescriptor(0x0300, 0x52CB, 0x03F1, 9, 1));
    EXPECT_EQ(le32(&r[14]), 0u);
    EXPECT_EQ(le32(&r[18]), 0u);

    // A short read of the configuration returns exactly what was asked for.
    r = controlRecord(0x80, 6, 0x0200, 0, 9);
    ASSERT_TRUE(deviceIoControl(handle_, kControl, r.data(), 47, r.data(), 47, &bytes, nullptr));
    EXPECT_EQ(bytes, 47u);
    EXPECT_EQ(r[38 + 1], 2);

    // String descriptor 0 is the language table.
    r = controlRecord(0x80, 6, 0x0300, 0, 255);
    ASSERT_TRUE(deviceIoControl(handle_, kControl, r.data(), uint32_t(r.size()), r.data(),
                                uint32_t(r.size()), &bytes, nullptr));
    EXPECT_EQ(bytes, 38u + 4);
    EXPECT_EQ(r[38], 4);
    EXPECT_EQ(r[40], 0x09);
    EXPECT_EQ(r[41], 0x04);
}

TEST_F(VirtualBackendTest, StalledRequestCompletesWithStatusWords) {
    auto r = controlRecord(0x80, 6, 0x0600, 0, 10);  // no device qualifier
    uint32_t bytes = 0;
    ASSERT_TRUE(deviceIoControl(handle_, kControl, r.data(), uint32_t(r.size()), r.data(),
                                uint32_t(r.size()), &bytes, nullptr));
    EXPECT_EQ(bytes, 38u);
    EXPECT_EQ(le32(&r[14]), 0xC0000001u);
    EXPECT_EQ(le32(&r[18]), 0xC0000004u);
}

TEST_F(VirtualBackendTest, VendorRequestsReachTheModelWithTheirDataStage) {
    model_->setControlHandler([](const SetupPacket& s, uint8_t* data) {
        if (s.isIn()) {
            for (int i = 0; i < s.wLength; ++i) data[i] = uint8_t(0xA0 + i);
            return ControlResult::ack(3);  // a short answer
        }
        return ControlResult::ack(s.wLength);
    });
    auto in = controlRecord(0xC0, 0x42, 0x1234, 0x5678, 8, 1);
    uint32_t bytes = 0;
    ASSERT_TRUE(deviceIoControl(handle_, kControl, in.data(), uint32_t(in.size()), in.data(),
                                uint32_t(in.size()), &bytes, nullptr));
    EXPECT_EQ(bytes, 38u + 3);
    EXPECT_EQ(in[38], 0xA0);
    EXPECT_EQ(in[40], 0xA2);

    auto out = controlRecord(0x40, 0x43, 1, 2, 4, 10);
    out[38] = 0x11;
    ASSERT_TRUE(deviceIoControl(handle_, kControl, out.data(), uint32_t(out.size()), out.data(),
                                uint32_t(out.size()), &bytes, nullptr));
    EXPECT_EQ(bytes, 38u + 4);

    const auto log = controlLog(id_);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].setup.bmRequestType, 0xC0);
    EXPECT_EQ(log[0].setup.wValue, 0x1234);
    EXPECT_EQ(log[0].setup.wIndex, 0x5678);
    EXPECT_EQ(log[0].timeoutSeconds, 1u);
    EXPECT_EQ(log[1].timeoutSeconds, 10u);
    EXPECT_EQ(model_->setups().size(), 2u);
}

TEST_F(VirtualBackendTest, SixtyFourReadsCompleteInOrderWhenTheLastIsAwaited) {
    std::vector<std::unique_ptr<Read>> reads;
    for (int i = 0; i < 64; ++i) {
        reads.push_back(std::make_unique<Read>(16));
        EXPECT_FALSE(issue(*reads.back()));
        EXPECT_EQ(getLastError(), kErrorIoPending);
    }
    EXPECT_EQ(pendingRequests(id_, 0x81), 64u);
    uint32_t bytes = 0;
    EXPECT_FALSE(getOverlappedResult(handle_, &reads[0]->ov, &bytes, false));
    EXPECT_EQ(getLastError(), kErrorIoIncomplete);

    for (int i = 0; i < 64; ++i)
        model_->queueData(0x81, std::vector<uint8_t>(uint8_t(1 + i % 16), uint8_t(i)));
    ASSERT_EQ(waitForEvent(reads[63]->ov.event, 5000), kWaitObject0);
    for (int i = 0; i < 64; ++i) {
        ASSERT_TRUE(getOverlappedResult(handle_, &reads[i]->ov, &bytes, false)) << i;
        EXPECT_EQ(bytes, uint32_t(1 + i % 16)) << i;
        EXPECT_EQ(reads[i]->buffer[0], uint8_t(i)) << i;
    }
    EXPECT_EQ(pendingRequests(id_, 0x81), 0u);
}

TEST_F(VirtualBackendTest, BufferedReadReportsDataOffsetPlusBytesMoved) {
    std::vector<uint8_t> r(38 + 100, 0xEE);
    std::memset(r.data(), 0, 38);
    r[13] = 0x81;
    put32(&r[30], 38);
    put32(&r[34], 100);
    model_->queueData(0x81, {1, 2, 3, 4, 5});
    Overlapped ov;
    ov.event = createEvent();
    ASSERT_FALSE(deviceIoControl(handle_, kBuffered, r.data(), uint32_t(r.size()), r.data(),
                                 uint32_t(r.size()), nullptr, &ov));
    uint32_t bytes = 0;
    ASSERT_TRUE(getOverlappedResult(handle_, &ov, &bytes, true));
    EXPECT_EQ(bytes, 38u + 5);
    EXPECT_EQ(r[38], 1);
    EXPECT_EQ(r[42], 5);
    EXPECT_EQ(r[43], 0xEE);  // past the bytes moved, the record is as it was
    closeEvent(ov.event);
}

TEST_F(VirtualBackendTest, AbortCancelsEveryPendingReadOfThePipe) {
    Read a(64), b(64);
    ASSERT_FALSE(issue(a));
    ASSERT_FALSE(issue(b));
    uint8_t pipe = 0x81;
    Overlapped ov;
    ov.event = createEvent();
    EXPECT_TRUE(deviceIoControl(handle_, 0x220044, &pipe, 1, nullptr, 0, nullptr, &ov));
    EXPECT_EQ(waitForEvent(ov.event, 0), kWaitObject0);  // completed at once, event set
    closeEvent(ov.event);
    uint32_t bytes = 7;
    for (Read* r : {&a, &b}) {
        EXPECT_EQ(waitForEvent(r->ov.event, 0), kWaitObject0);
        EXPECT_FALSE(getOverlappedResult(handle_, &r->ov, &bytes, false));
        EXPECT_EQ(getLastError(), kErrorOperationAborted);
        EXPECT_EQ(bytes, 0u);
        EXPECT_EQ(le32(&r->record[18]), 0xC0010000u);
    }
    EXPECT_EQ(model_->aborts(0x81), 1);
    EXPECT_EQ(pendingRequests(id_, 0x81), 0u);
}

TEST_F(VirtualBackendTest, WaitsTimeOutWhileTheModelHasNoDataAndPumpWhenItIsDue) {
    Read r(8);
    ASSERT_FALSE(issue(r));
    EXPECT_EQ(waitForEvent(r.ov.event, 0), kWaitTimeout);
    EXPECT_EQ(waitForEvent(r.ov.event, 30), kWaitTimeout);

    model_->queueWaitUntil(0x81, Clock::now() + 20ms);
    model_->queueData(0x81, {9});
    EXPECT_EQ(waitForEvent(r.ov.event, 5000), kWaitObject0);
    EXPECT_EQ(r.buffer[0], 9);
}

TEST_F(VirtualBackendTest, DataFromAnotherThreadWakesTheWaitingReader) {
    Read r(8);
    ASSERT_FALSE(issue(r));
    std::thread feeder([&] {
        std::this_thread::sleep_for(20ms);
        model_->queueData(0x81, {7, 7});
    });
    uint32_t bytes = 0;
    EXPECT_TRUE(getOverlappedResult(handle_, &r.ov, &bytes, true));
    EXPECT_EQ(bytes, 2u);
    feeder.join();
}

TEST_F(VirtualBackendTest, ModelFailureFailsTheRead) {
    Read r(8);
    ASSERT_FALSE(issue(r));
    model_->queueFail(0x81);
    uint32_t bytes = 0;
    EXPECT_FALSE(getOverlappedResult(handle_, &r.ov, &bytes, true));
    EXPECT_EQ(getLastError(), kErrorGenFailure);
    EXPECT_EQ(le32(&r.record[18]), 0xC0000004u);
}

TEST_F(VirtualBackendTest, UnplugEndsPendingReadsAndRefusesLaterRequests) {
    Read r(8);
    ASSERT_FALSE(issue(r));
    std::thread unplug([&] {
        std::this_thread::sleep_for(20ms);
        model_->setPresent(false);
    });
    uint32_t bytes = 0;
    EXPECT_FALSE(getOverlappedResult(handle_, &r.ov, &bytes, true));
    EXPECT_EQ(getLastError(), kErrorDeviceNotConnected);
    unplug.join();
    uint32_t version = 0;
    EXPECT_FALSE(deviceIoControl(handle_, 0x220000, &version, 4, &version, 4, &bytes, nullptr));
    EXPECT_EQ(getLastError(), kErrorDeviceNotConnected);
}

TEST_F(VirtualBackendTest, RemovalWithOpenHandlesIsSafe) {
    Read r(8);
    ASSERT_FALSE(issue(r));
    removeDevice(id_);
    uint32_t bytes = 0;
    EXPECT_FALSE(getOverlappedResult(handle_, &r.ov, &bytes, true));
    EXPECT_EQ(getLastError(), kErrorDeviceNotConnected);
    Read later(8);
    EXPECT_FALSE(issue(later));
    EXPECT_EQ(getLastError(), kErrorDeviceNotConnected);
    EXPECT_TRUE(closeHandle(handle_));
    handle_ = kInvalidHandle;
}

TEST_F(VirtualBackendTest, ClosingAHandleCancelsItsReads) {
    Read r(8);
    ASSERT_FALSE(issue(r));
    ASSERT_TRUE(closeHandle(handle_));
    handle_ = kInvalidHandle;
    uint32_t bytes = 0;
    EXPECT_FALSE(getOverlappedResult(kInvalidHandle, &r.ov, &bytes, false));
    EXPECT_EQ(getLastError(), kErrorOperationAborted);
    EXPECT_FALSE(closeHandle(Handle(12345)));
    EXPECT_EQ(getLastError(), kErrorInvalidHandle);
}

TEST_F(VirtualBackendTest, InfoRequestsAndTransferSize) {
    uint32_t v = 0, bytes = 0;
    ASSERT_TRUE(deviceIoControl(handle_, 0x22004C, &v, 4, &v, 4, &bytes, nullptr));
    EXPECT_EQ(v, 4u);
    EXPECT_EQ(bytes, 4u);
    uint8_t small = 0;
    EXPECT_FALSE(deviceIoControl(handle_, 0x220000, &small, 1, &small, 1, &bytes, nullptr));
    EXPECT_EQ(getLastError(), kErrorInsufficientBuffer);
    char name[256];
    ASSERT_TRUE(deviceIoControl(handle_, 0x22003C, name, 256, name, 256, &bytes, nullptr));
    EXPECT_STREQ(name, "Vexo virtual camera");
    EXPECT_FALSE(deviceIoControl(handle_, 0x220099, &v, 4, &v, 4, &bytes, nullptr));
    EXPECT_EQ(getLastError(), kErrorInvalidFunction);

    EXPECT_FALSE(transferSize(id_, 0x81).has_value());
    uint8_t rec[5] = {0x81, 0x00, 0x40, 0x00, 0x00};
    ASSERT_TRUE(deviceIoControl(handle_, 0x220038, rec, 5, rec, 5, &bytes, nullptr));
    EXPECT_EQ(transferSize(id_, 0x81), 0x4000u);
}

TEST_F(VirtualBackendTest, MalformedTransferRecordsAreRefused) {
    std::vector<uint8_t> shortRecord(20, 0);
    uint32_t bytes = 0;
    EXPECT_FALSE(deviceIoControl(handle_, kControl, shortRecord.data(), 20, shortRecord.data(), 20,
                                 &bytes, nullptr));
    EXPECT_EQ(getLastError(), kErrorInvalidParameter);
    // Data said to lie past the record.
    auto r = controlRecord(0xC0, 1, 0, 0, 4);
    put32(&r[34], 4000);
    EXPECT_FALSE(deviceIoControl(handle_, kControl, r.data(), uint32_t(r.size()), r.data(),
                                 uint32_t(r.size()), &bytes, nullptr));
    EXPECT_EQ(getLastError(), kErrorInvalidParameter);
    // An endpoint the device does not have.
    Read unknown(8);
    unknown.record[13] = 0x85;
    EXPECT_FALSE(issue(unknown));
    EXPECT_EQ(getLastError(), kErrorInvalidParameter);
}

TEST_F(VirtualBackendTest, InjectedFaultsFailDelayOrHoldRequests) {
    injectRequestFault(id_, 0x220000, RequestFault{FaultKind::Fail, kErrorGenFailure, {}, 1});
    uint32_t v = 0, bytes = 0;
    EXPECT_FALSE(deviceIoControl(handle_, 0x220000, &v, 4, &v, 4, &bytes, nullptr));
    EXPECT_EQ(getLastError(), kErrorGenFailure);
    EXPECT_TRUE(deviceIoControl(handle_, 0x220000, &v, 4, &v, 4, &bytes, nullptr));  // count 1

    // A held control request keeps the ones after it waiting until it is aborted.
    injectRequestFault(id_, kControl, RequestFault{FaultKind::Never, 0, {}, 1});
    model_->setControlHandler([](const SetupPacket&, uint8_t*) { return ControlResult::ack(0); });
    auto held = controlRecord(0x40, 1, 0, 0, 0);
    auto next = controlRecord(0x40, 2, 0, 0, 0);
    Overlapped ov1, ov2;
    ov1.event = createEvent();
    ov2.event = createEvent();
    EXPECT_FALSE(
        deviceIoControl(handle_, kControl, held.data(), 38, held.data(), 38, nullptr, &ov1));
    EXPECT_EQ(getLastError(), kErrorIoPending);
    EXPECT_FALSE(
        deviceIoControl(handle_, kControl, next.data(), 38, next.data(), 38, nullptr, &ov2));
    EXPECT_EQ(waitForEvent(ov2.event, 20), kWaitTimeout);
    uint8_t pipe = 0;
    EXPECT_TRUE(deviceIoControl(handle_, 0x220044, &pipe, 1, nullptr, 0, &bytes, nullptr));
    EXPECT_FALSE(getOverlappedResult(handle_, &ov1, &bytes, true));
    EXPECT_EQ(getLastError(), kErrorOperationAborted);
    EXPECT_FALSE(getOverlappedResult(handle_, &ov2, &bytes, true));
    closeEvent(ov1.event);
    closeEvent(ov2.event);

    // A delayed synchronous request returns once its time has come.
    injectRequestFault(id_, kControl, RequestFault{FaultKind::Delay, 0, 30ms, 1});
    auto delayed = controlRecord(0x40, 3, 0, 0, 0);
    const auto start = Clock::now();
    EXPECT_TRUE(deviceIoControl(handle_, kControl, delayed.data(), 38, delayed.data(), 38, &bytes,
                                nullptr));
    EXPECT_GE(Clock::now() - start, 30ms);
    EXPECT_EQ(bytes, 38u);
}

TEST(HostServices, ClockAndMessagesCanBeReplaced) {
    // 2020-01-01 in 100-ns units since 1601.
    EXPECT_GT(hostTimeFileTime(), 132223104000000000ULL);
    setHostClockForTesting([] { return uint64_t(42); });
    EXPECT_EQ(hostTimeFileTime(), 42u);
    setHostClockForTesting({});
    EXPECT_GT(hostTimeFileTime(), 42u);

    std::string seen;
    setMessageSinkForTesting(
        [&](const std::string& c, const std::string& t) { seen = c + "|" + t; });
    showMessage("Caption", "Text");
    setMessageSinkForTesting({});
    EXPECT_EQ(seen, "Caption|Text");
}

TEST(Events, AutoResetAndTimedWaits) {
    Event* e = createEvent();
    EXPECT_EQ(waitForEvent(e, 0), kWaitTimeout);
    setEvent(e);
    EXPECT_EQ(waitForEvent(e, 0), kWaitObject0);
    EXPECT_EQ(waitForEvent(e, 0), kWaitTimeout);  // the signal was consumed
    std::thread t([&] {
        std::this_thread::sleep_for(10ms);
        setEvent(e);
    });
    EXPECT_EQ(waitForEvent(e, kInfinite), kWaitObject0);
    t.join();
    closeEvent(e);
    EXPECT_EQ(waitForEvent(nullptr, 0), kWaitFailed);
}

}  // namespace
}  // namespace vexo::test
