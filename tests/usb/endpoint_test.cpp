// Endpoints: the records they hand to the driver, maxPacketSize, transfer sizes, and
// transfers against the virtual backend (synchronous with time-out and abort, asynchronous).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <vector>

#include "driver/support/descriptor_builder.h"
#include "driver/support/scripted_model.h"
#include "driver/virtual/virtual_bus.h"
#include "usb/control_endpoint.h"
#include "usb/data_endpoints.h"
#include "usb/driver_device.h"
#include "usb/support/recording_backend.h"

namespace vexo::test {
namespace {

using namespace usb;
using driver::virt::FaultKind;
using driver::virt::RequestFault;
using namespace std::chrono_literals;

driver::TransferRecord headerOf(const std::vector<uint8_t>& bytes) {
    driver::TransferRecord h;
    std::memcpy(&h, bytes.data(), sizeof h);
    return h;
}

class RecordedEndpointTest : public ::testing::Test {
  protected:
    void SetUp() override {
        backend_ = RecordingBackend::install();
        handle_ = driver::createFile(backend_->path().c_str());
        ASSERT_NE(handle_, driver::kInvalidHandle);
    }
    void TearDown() override {
        driver::closeHandle(handle_);
        backend_->uninstall();
    }
    std::shared_ptr<RecordingBackend> backend_;
    driver::Handle handle_ = driver::kInvalidHandle;
};

TEST_F(RecordedEndpointTest, ControlRecordCarriesSetupTimeoutAndData) {
    ControlEndpoint ep(handle_);
    ep.direction = 1;
    ep.requestType = 2;
    ep.target = 0;
    ep.requestCode = 0xA5;
    ep.value = 0x1234;
    ep.index = 0xBEEF;
    uint8_t buffer[6] = {1, 2, 3, 4, 5, 6};
    int32_t length = 6;
    EXPECT_TRUE(ep.transfer(buffer, length));
    ASSERT_EQ(backend_->requests.size(), 1u);
    const RecordedRequest& r = backend_->requests[0];
    EXPECT_EQ(r.code, driver::kRequestControlTransfer);
    EXPECT_TRUE(r.sameBuffer);
    ASSERT_EQ(r.in.size(), 38u + 6);
    const driver::TransferRecord h = headerOf(r.in);
    EXPECT_EQ(+h.bmRequestType, 0xC0);
    EXPECT_EQ(+h.bRequest, 0xA5);
    EXPECT_EQ(+h.wValue, 0x1234);
    EXPECT_EQ(+h.wIndex, 0xBEEF);
    EXPECT_EQ(+h.wLength, 6);
    EXPECT_EQ(+h.timeoutSeconds, 10u);
    EXPECT_EQ(+h.endpointAddress, 0);
    EXPECT_EQ(+h.dataOffset, 38u);
    EXPECT_EQ(+h.dataLength, 6u);
    EXPECT_EQ(r.in[38], 1);  // the caller's bytes go along for IN requests too
    EXPECT_TRUE(ep.isIn);

    ep.direction = 0;
    int32_t none = 0;
    EXPECT_TRUE(ep.transfer(nullptr, none));  // a 0-byte write is a bare header
    EXPECT_EQ(backend_->requests[1].in.size(), 38u);
    EXPECT_EQ(+headerOf(backend_->requests[1].in).bmRequestType, 0x40);

    // wLength is 16 bits: a longer data stage is refused before anything is sent.
    std::vector<uint8_t> big(65536);
    int32_t tooLong = 65536;
    EXPECT_FALSE(ep.transfer(big.data(), tooLong));
    EXPECT_EQ(ep.lastError, driver::kErrorInvalidParameter);
    EXPECT_EQ(backend_->requests.size(), 2u);
}

TEST_F(RecordedEndpointTest, ControlTimeoutInWholeSeconds) {
    ControlEndpoint ep(handle_);
    for (auto [ms, seconds] : {std::pair{0u, 0u}, {500u, 1u}, {1500u, 1u}, {10000u, 10u}}) {
        ep.timeoutMs = ms;
        int32_t length = 0;
        ep.transfer(nullptr, length);
        EXPECT_EQ(+headerOf(backend_->requests.back().in).timeoutSeconds, seconds) << ms;
    }
}

TEST_F(RecordedEndpointTest, DirectAndBufferedBulkRecords) {
    BulkEndpoint ep(handle_, EndpointDescriptor{7, 5, 0x81, 2, 512, 0}, nullptr);
    uint8_t buffer[100] = {};
    driver::Overlapped ov;
    ov.event = driver::createEvent();
    auto record = ep.beginTransfer(buffer, 100, &ov);
    ASSERT_TRUE(record);
    const RecordedRequest& direct = backend_->requests.back();
    EXPECT_EQ(direct.code, driver::kRequestDirectTransfer);
    EXPECT_EQ(direct.in.size(), 38u);
    EXPECT_EQ(direct.outLength, 100u);
    EXPECT_FALSE(direct.sameBuffer);
    EXPECT_EQ(direct.in[13], 0x81);
    EXPECT_EQ(+headerOf(direct.in).dataOffset, 0u);
    EXPECT_EQ(ep.lastError, 0u);
    EXPECT_TRUE(ep.waitForTransfer(&ov, 0));  // completed when started
    int32_t length = 100;
    EXPECT_TRUE(ep.finishTransfer(buffer, length, &ov, std::move(record)));
    EXPECT_EQ(length, 100);

    ep.transferMode = 0;
    record = ep.beginTransfer(buffer, 100, &ov);
    const RecordedRequest& buffered = backend_->requests.back();
    EXPECT_EQ(buffered.code, driver::kRequestBufferedTransfer);
    EXPECT_EQ(buffered.in.size(), 138u);
    EXPECT_EQ(+headerOf(buffered.in).dataOffset, 38u);
    EXPECT_EQ(+headerOf(buffered.in).dataLength, 100u);
    length = 100;
    EXPECT_TRUE(ep.finishTransfer(buffer, length, &ov, std::move(record)));
    driver::closeEvent(ov.event);
}

TEST_F(RecordedEndpointTest, IsochronousRecordsCarryPacketInformation) {
    IsocEndpoint ep(handle_, EndpointDescriptor{7, 5, 0x82, 1, 1024, 1}, nullptr);
    ASSERT_EQ(ep.maxPacketSize, 1024);
    std::vector<uint8_t> buffer(3000, 0x33);
    driver::Overlapped ov;
    ov.event = driver::createEvent();

    ep.transferMode = 0;
    auto record = ep.beginTransfer(buffer.data(), 3000, &ov);
    ASSERT_TRUE(record);
    const RecordedRequest& buffered = backend_->requests.back();
    EXPECT_EQ(buffered.in.size(), 38u + 24 + 3000);
    driver::TransferRecord h = headerOf(buffered.in);
    EXPECT_EQ(+h.packetInfoOffset, 38u);
    EXPECT_EQ(+h.packetInfoLength, 24u);
    EXPECT_EQ(+h.dataOffset, 62u);
    EXPECT_EQ(+h.dataLength, 3000u);
    EXPECT_EQ(buffered.in[62], 0x33);
    int32_t length = 3000;
    uint8_t infos[24];
    EXPECT_TRUE(ep.finishTransfer(buffer.data(), length, &ov, std::move(record), infos));

    ep.transferMode = 1;
    record = ep.beginTransfer(buffer.data(), 3000, &ov);
    const RecordedRequest& direct = backend_->requests.back();
    EXPECT_EQ(direct.code, driver::kRequestDirectTransfer);
    EXPECT_EQ(direct.in.size(), 38u + 24);
    EXPECT_EQ(direct.outLength, 3000u);
    h = headerOf(direct.in);
    EXPECT_EQ(+h.dataOffset, 0u);
    EXPECT_EQ(+h.packetInfoLength, 24u);
    length = 3000;
    ep.finishTransfer(buffer.data(), length, &ov, std::move(record));
    // No packets, no request.
    EXPECT_FALSE(ep.beginTransfer(buffer.data(), 0, &ov));
    driver::closeEvent(ov.event);
}

TEST_F(RecordedEndpointTest, PacketInformationBeyondTheRecordsLengthsIsRefused) {
    // One-byte packets: a read of 2 GiB needs 16 GiB of packet information, more than the
    // record's 32-bit lengths describe. Counted in 32 bits it wrapped to a short count and
    // the record went out claiming packet information it did not carry.
    IsocEndpoint ep(handle_, EndpointDescriptor{7, 5, 0x82, 1, 1, 1}, nullptr);
    ASSERT_EQ(ep.maxPacketSize, 1);
    uint8_t buffer[16] = {};
    driver::Overlapped ov;
    ov.event = driver::createEvent();
    for (uint32_t mode : {1u, 0u}) {
        ep.transferMode = mode;
        ep.lastError = 0;
        EXPECT_FALSE(ep.beginTransfer(buffer, INT32_MAX, &ov)) << "mode " << mode;
        EXPECT_EQ(ep.lastError, driver::kErrorInvalidParameter) << "mode " << mode;
    }
    EXPECT_TRUE(backend_->requests.empty());
    driver::closeEvent(ov.event);
}

TEST_F(RecordedEndpointTest, TransferSizeIsRoundedToWholePackets) {
    BulkEndpoint ep(handle_, EndpointDescriptor{7, 5, 0x81, 2, 512, 0}, nullptr);
    auto sent = [&] {
        driver::TransferSizeRecord r;
        std::memcpy(&r, backend_->requests.back().in.data(), sizeof r);
        EXPECT_EQ(backend_->requests.back().code, driver::kRequestSetTransferSize);
        EXPECT_EQ(+r.endpointAddress, 0x81);
        return uint32_t(r.transferSize);
    };
    ep.setTransferSize(1000);
    EXPECT_EQ(sent(), 1024u);
    ep.setTransferSize(0);
    EXPECT_EQ(sent(), 0u);
    ep.setTransferSize(0xFFFFFFFF);  // rounding up would wrap
    EXPECT_EQ(sent(), 0xFFFFFE00u);
    ep.maxPacketSize = 1024;
    ep.setTransferSize(8192);
    EXPECT_EQ(sent(), 8192u);
    const size_t before = backend_->requests.size();
    ep.maxPacketSize = 0;
    ep.setTransferSize(100);
    EXPECT_EQ(backend_->requests.size(), before);
}

TEST_F(RecordedEndpointTest, FinishTrustsNoByteCountBeyondTheRecord) {
    ControlEndpoint ep(handle_);
    ep.direction = 1;
    uint8_t buffer[8];
    std::memset(buffer, 0xCC, sizeof buffer);
    backend_->reportBytes = 1000000;  // more than the record holds
    int32_t length = 4;
    EXPECT_TRUE(ep.transfer(buffer, length));
    EXPECT_EQ(length, 4);
    EXPECT_EQ(buffer[4], 0xCC);
    backend_->reportBytes = 10;  // less than the data offset
    length = 4;
    ep.transfer(buffer, length);
    EXPECT_EQ(length, 0);
    length = -1;
    EXPECT_FALSE(ep.transfer(buffer, length));
}

TEST(EndpointPacketSize, BurstsAndTransactions) {
    const auto h = driver::kInvalidHandle;
    CompanionDescriptor burst{6, 0x30, 15, 0, 0};
    BulkEndpoint ss(h, EndpointDescriptor{7, 5, 0x81, 2, 1024, 0}, &burst);
    EXPECT_EQ(ss.maxPacketSize, 16384);
    EXPECT_EQ(ss.maxBurst, 15);
    IsocEndpoint hs(h, EndpointDescriptor{7, 5, 0x81, 1, 0x1400, 1}, nullptr);
    EXPECT_EQ(hs.packetsPerFrame, 3);
    EXPECT_EQ(hs.maxPacketSize, 3072);
    CompanionDescriptor mult{6, 0x30, 1, 2, 0};
    IsocEndpoint ssIsoc(h, EndpointDescriptor{7, 5, 0x81, 1, 1024, 1}, &mult);
    EXPECT_EQ(ssIsoc.maxPacketSize, 1024 * 2 * 3);
    EXPECT_TRUE(ssIsoc.isIn);
    EXPECT_EQ(ssIsoc.timeoutMs, 10000u);
    EXPECT_EQ(ssIsoc.transferMode, 1u);
    // Closed device: nothing is sent.
    int32_t length = 4;
    uint8_t b[4];
    EXPECT_FALSE(ss.transfer(b, length));
}

// Against the virtual backend.
class VirtualEndpointTest : public ::testing::Test {
  protected:
    void SetUp() override {
        model_ = std::make_shared<ScriptedModel>();
        id_ = driver::virt::addDevice(cameraDescription(model_));
        device_ = std::make_unique<DriverDevice>(nullptr, DriverInterfaceGuid, true);
        ASSERT_TRUE(device_->isOpen());
        ASSERT_TRUE(device_->bulkInEndpoint);
    }
    void TearDown() override {
        device_.reset();
        driver::virt::removeAllDevices();
    }
    std::shared_ptr<ScriptedModel> model_;
    driver::virt::DeviceId id_ = 0;
    std::unique_ptr<DriverDevice> device_;
};

TEST_F(VirtualEndpointTest, VendorRequestsRoundTrip) {
    model_->setControlHandler([](const SetupPacket& s, uint8_t* data) {
        if (s.bRequest == 0x99) return ControlResult::stall();
        if (s.isIn()) {
            data[0] = 0x42;
            return ControlResult::ack(1);  // short
        }
        return ControlResult::ack(s.wLength);
    });
    ControlEndpoint& ep = *device_->controlEndpoint;
    ep.direction = 1;
    ep.requestCode = 0x10;
    uint8_t buffer[16];
    std::memset(buffer, 0xEE, sizeof buffer);
    int32_t length = 16;
    EXPECT_TRUE(ep.transfer(buffer, length));
    EXPECT_EQ(length, 1);
    EXPECT_EQ(buffer[0], 0x42);
    EXPECT_EQ(buffer[1], 0xEE);  // only the bytes moved are copied

    ep.requestCode = 0x99;
    length = 16;
    EXPECT_FALSE(ep.transfer(buffer, length));
    EXPECT_EQ(ep.usbdStatus, 0xC0000004u);
    EXPECT_NE(ep.ntStatus, 0u);

    ep.direction = 0;
    ep.requestCode = 0x11;
    length = 3;
    EXPECT_TRUE(ep.transfer(buffer, length));
    EXPECT_EQ(length, 3);
}

TEST_F(VirtualEndpointTest, SynchronousTransferTimesOutAndIsAborted) {
    driver::virt::injectRequestFault(id_, driver::kRequestControlTransfer,
                                     RequestFault{FaultKind::Never, 0, {}, 1});
    ControlEndpoint& ep = *device_->controlEndpoint;
    ep.timeoutMs = 50;
    ep.direction = 0;
    int32_t length = 0;
    EXPECT_FALSE(ep.transfer(nullptr, length));
    EXPECT_EQ(driver::virt::pendingRequests(id_, 0), 0u);

    // A bulk read the device never answers.
    BulkEndpoint& bulk = *device_->bulkInEndpoint;
    bulk.timeoutMs = 30;
    std::vector<uint8_t> buffer(512);
    length = 512;
    EXPECT_FALSE(bulk.transfer(buffer.data(), length));
    EXPECT_EQ(length, 0);
    EXPECT_EQ(model_->aborts(0x81), 1);
    EXPECT_EQ(driver::virt::pendingRequests(id_, 0x81), 0u);
}

TEST_F(VirtualEndpointTest, SixtyFourReadsInFlightCompleteInOrder) {
    BulkEndpoint& ep = *device_->bulkInEndpoint;
    ep.setTransferSize(1000);
    EXPECT_EQ(driver::virt::transferSize(id_, 0x81), 16384u);

    struct Transfer {
        std::vector<uint8_t> buffer = std::vector<uint8_t>(256);
        driver::Overlapped ov;
        std::unique_ptr<TransferBlock> record;
    };
    std::vector<Transfer> transfers(64);
    for (auto& t : transfers) {
        t.ov.event = driver::createEvent();
        t.record = ep.beginTransfer(t.buffer.data(), 256, &t.ov);
        ASSERT_TRUE(t.record);
        EXPECT_EQ(ep.lastError, driver::kErrorIoPending);
        EXPECT_EQ(ep.usbdStatus, 0u);
        EXPECT_EQ(ep.ntStatus, 0u);
    }
    for (int i = 0; i < 64; ++i) model_->queueData(0x81, std::vector<uint8_t>(10 + i, uint8_t(i)));
    for (int i = 0; i < 64; ++i) {
        Transfer& t = transfers[i];
        ASSERT_TRUE(ep.waitForTransfer(&t.ov, 2000)) << i;
        int32_t length = 256;
        EXPECT_TRUE(ep.finishTransfer(t.buffer.data(), length, &t.ov, std::move(t.record)));
        EXPECT_EQ(length, 10 + i);
        EXPECT_EQ(t.buffer[0], uint8_t(i));
        driver::closeEvent(t.ov.event);
    }
}

TEST_F(VirtualEndpointTest, AbortEndsTheReadsAndFinishReportsFailure) {
    BulkEndpoint& ep = *device_->bulkInEndpoint;
    std::vector<uint8_t> buffer(64);
    driver::Overlapped ov;
    ov.event = driver::createEvent();
    auto record = ep.beginTransfer(buffer.data(), 64, &ov);
    EXPECT_FALSE(ep.waitForTransfer(&ov, 10));
    EXPECT_TRUE(ep.abort());
    EXPECT_TRUE(ep.waitForTransfer(&ov, 0));
    int32_t length = 64;
    EXPECT_FALSE(ep.finishTransfer(buffer.data(), length, &ov, std::move(record)));
    EXPECT_EQ(length, 0);
    EXPECT_EQ(ep.usbdStatus, 0xC0010000u);
    driver::closeEvent(ov.event);
}

}  // namespace
}  // namespace vexo::test
