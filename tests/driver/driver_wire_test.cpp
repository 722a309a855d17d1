// The driver's request bytes as every backend reads them: records decoded in place, small
// records, status words and name replies.
#include "driver/driver_wire.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace vexo::driver {
namespace {

void put16(std::vector<uint8_t>& r, size_t at, uint16_t v) {
    r[at] = static_cast<uint8_t>(v);
    r[at + 1] = static_cast<uint8_t>(v >> 8);
}

void put32(std::vector<uint8_t>& r, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) r[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// A control record as the usb layer builds it: header, then `length` bytes of data.
std::vector<uint8_t> controlRecord(uint8_t type, uint8_t request, uint16_t value, uint16_t index,
                                   uint32_t length, uint32_t seconds = 5) {
    std::vector<uint8_t> r(kTransferRecordSize + length, 0);
    r[0] = type;
    r[1] = request;
    put16(r, 2, value);
    put16(r, 4, index);
    put16(r, 6, static_cast<uint16_t>(length));
    put32(r, 8, seconds);
    put32(r, record::kDataOffset, kTransferRecordSize);
    put32(r, record::kDataLength, length);
    return r;
}

TEST(DriverRequest, ControlRecordsDecodeTheirSetupAndDataStage) {
    auto in = controlRecord(0xC0, 0x80, 0x1C00, 0x0300, 24, 10);
    const auto d =
        decodeControlRequest(in.data(), uint32_t(in.size()), in.data(), uint32_t(in.size()));
    ASSERT_TRUE(d.request);
    EXPECT_EQ(d.request->setup.bmRequestType, 0xC0);
    EXPECT_EQ(d.request->setup.bRequest, 0x80);
    EXPECT_EQ(d.request->setup.wValue, 0x1C00);
    EXPECT_EQ(d.request->setup.wIndex, 0x0300);
    EXPECT_EQ(d.request->setup.wLength, 24);
    EXPECT_EQ(d.request->timeoutSeconds, 10u);
    EXPECT_EQ(d.request->data, in.data() + 38);
    EXPECT_EQ(d.request->capacity, 24u);
    EXPECT_EQ(d.request->statusHeader, in.data());

    // An OUT request reads its data from the input, an IN request replies into the output.
    auto out = in;
    in[0] = 0x40;
    const auto w =
        decodeControlRequest(in.data(), uint32_t(in.size()), out.data(), uint32_t(out.size()));
    ASSERT_TRUE(w.request);
    EXPECT_EQ(w.request->data, in.data() + 38);
    EXPECT_EQ(w.request->statusHeader, out.data());

    // A write of nothing is a bare header.
    auto empty = controlRecord(0x40, 0xA1, 0, 0, 0);
    const auto e = decodeControlRequest(empty.data(), 38, empty.data(), 38);
    ASSERT_TRUE(e.request);
    EXPECT_EQ(e.request->data, nullptr);
    EXPECT_EQ(e.request->capacity, 0u);
}

TEST(DriverRequest, RecordsNamingBytesOutsideTheirBuffersAreRefused) {
    auto r = controlRecord(0xC0, 0x80, 0, 0, 16);
    const uint32_t n = uint32_t(r.size());
    EXPECT_FALSE(decodeControlRequest(r.data(), 37, r.data(), 37).request);
    EXPECT_FALSE(decodeControlRequest(r.data(), n, r.data(), n - 1).request)
        << "reply runs past the output";
    put32(r, record::kDataOffset, 20);  // inside the header
    EXPECT_FALSE(decodeControlRequest(r.data(), n, r.data(), n).request);
    put32(r, record::kDataOffset, 0xFFFFFFF8u);  // wraps in 32 bits
    EXPECT_FALSE(decodeControlRequest(r.data(), n, r.data(), n).request);

    // A data length shorter than wLength keeps only what the record holds.
    put32(r, record::kDataOffset, 38);
    put32(r, record::kDataLength, 4);
    const auto shorter = decodeControlRequest(r.data(), n, r.data(), n);
    ASSERT_TRUE(shorter.request);
    EXPECT_EQ(shorter.request->capacity, 4u);

    std::vector<uint8_t> buffered(38 + 8, 0);
    buffered[record::kEndpoint] = 0x81;
    put32(buffered, record::kDataOffset, 38);
    put32(buffered, record::kDataLength, 9);
    EXPECT_FALSE(decodeBufferedRequest(buffered.data(), 46, buffered.data(), 46).request);
    put32(buffered, record::kDataLength, 8);
    const auto ok = decodeBufferedRequest(buffered.data(), 46, buffered.data(), 46);
    ASSERT_TRUE(ok.request);
    EXPECT_TRUE(ok.request->isIn());
    EXPECT_EQ(ok.request->data, buffered.data() + 38);
    EXPECT_EQ(ok.request->dataOffset, 38u);

    // Isochronous packet information is well formed but not served.
    put32(buffered, record::kPacketInfoLength, 8);
    const auto iso = decodeBufferedRequest(buffered.data(), 46, buffered.data(), 46);
    EXPECT_FALSE(iso.request);
    EXPECT_EQ(iso.error, DecodeError::Unsupported);
}

TEST(DriverRequest, DirectReadsUseTheCallersBufferAndReportIntoTheInputRecord) {
    std::vector<uint8_t> header(38, 0);
    header[record::kEndpoint] = 0x81;
    std::vector<uint8_t> buffer(524288);
    const auto d = decodeDirectRequest(header.data(), 38, buffer.data(), uint32_t(buffer.size()));
    ASSERT_TRUE(d.request);
    EXPECT_EQ(d.request->endpoint, 0x81);
    EXPECT_EQ(d.request->data, buffer.data());
    EXPECT_EQ(d.request->length, 524288u);
    EXPECT_EQ(d.request->dataOffset, 0u) << "a direct read reports only the bytes moved";
    EXPECT_EQ(d.request->statusHeader, header.data());
    EXPECT_FALSE(decodeDirectRequest(header.data(), 37, buffer.data(), 16).request);

    writeStatusWords(header.data(), 0xC0000120, 0xC0010000);
    EXPECT_EQ(std::vector<uint8_t>(header.begin() + 14, header.begin() + 22),
              (std::vector<uint8_t>{0x20, 0x01, 0x00, 0xC0, 0x00, 0x00, 0x01, 0xC0}));
}

TEST(DriverRequest, SmallRecordsAndNameReplies) {
    const uint8_t size[5] = {0x81, 0x00, 0x00, 0x08, 0x00};
    const auto s = decodeTransferSize(size, 5);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->endpoint, 0x81);
    EXPECT_EQ(s->size, 0x80000u);
    EXPECT_FALSE(decodeTransferSize(size, 4));
    uint8_t echo[8] = {};
    EXPECT_EQ(echoTransferSize(echo, 8, size), 5u);
    EXPECT_EQ(std::vector<uint8_t>(echo, echo + 6), (std::vector<uint8_t>{0x81, 0, 0, 8, 0, 0}));
    EXPECT_EQ(echoTransferSize(echo, 2, size), 2u);
    EXPECT_EQ(decodeAbortPipe(size, 1), 0x81);
    EXPECT_FALSE(decodeAbortPipe(size, 0));

    std::vector<uint8_t> name(300, 0xEE);
    EXPECT_EQ(writeNameReply(name.data(), 300, "Board"), 256u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(name.data())), "Board");
    EXPECT_EQ(name[255], 0);
    EXPECT_EQ(name[256], 0xEE) << "nothing past the 256-byte reply";
    const std::string longName(400, 'x');
    EXPECT_EQ(writeNameReply(name.data(), 8, longName.c_str()), 8u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(name.data())), "xxxxxxx");
}

// Random headers in exactly sized buffers: whatever the decoders accept lies inside them.
TEST(DriverRequest, AcceptedRequestsStayInsideTheirBuffers) {
    std::mt19937 random(7);
    for (int round = 0; round < 20000; ++round) {
        const uint32_t inLength = random() % 120;
        const uint32_t outLength = random() % 120;
        std::vector<uint8_t> in(inLength), out(outLength);
        for (auto& b : in) b = static_cast<uint8_t>(random() % 4 == 0 ? random() : random() % 80);
        uint8_t* i = in.empty() ? nullptr : in.data();
        uint8_t* o = out.empty() ? nullptr : out.data();
        auto inside = [](const uint8_t* p, uint32_t n, const std::vector<uint8_t>& buf) {
            return n == 0 || (p >= buf.data() && p + n <= buf.data() + buf.size());
        };
        const auto c = decodeControlRequest(i, inLength, o, outLength);
        if (c.request) {
            const auto& buf = c.request->setup.isIn() ? out : in;
            EXPECT_TRUE(inside(c.request->data, c.request->capacity, buf));
            EXPECT_TRUE(inside(c.request->statusHeader, kTransferRecordSize, out));
        }
        const auto b = decodeBufferedRequest(i, inLength, o, outLength);
        if (b.request) {
            EXPECT_TRUE(inside(b.request->data, b.request->length, b.request->isIn() ? out : in));
            EXPECT_TRUE(inside(b.request->statusHeader, kTransferRecordSize, out));
        }
        const auto d = decodeDirectRequest(i, inLength, o, outLength);
        if (d.request) {
            EXPECT_TRUE(inside(d.request->data, d.request->length, out));
            EXPECT_TRUE(inside(d.request->statusHeader, kTransferRecordSize, in));
        }
        if (HasFailure()) break;
    }
}

}  // namespace
}  // namespace vexo::driver
