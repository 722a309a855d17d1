#include <gtest/gtest.h>

#include "camera/frame_assembly.h"
#include "camera/frame_length.h"
#include "camera/support/assembly_harness.h"
#include "camera/support/stream_builder.h"
#include "driver/driver_service.h"

namespace vexo::camera::test {
namespace {

/* 3000-byte RAW frames: five whole packets and 440 valid bytes in the sixth. */
constexpr uint32_t kW = 100, kH = 30;
constexpr size_t kFrame = kW * kH;

class TrailerAssembly : public ::testing::Test {
  protected:
    AssemblyHarness h{makeConfig(FORMAT_MODE_RAW, kW, kH)};
};

TEST_F(TrailerAssembly, TwoFramesInOneTransferAreBothQueued) {
    const Bytes f0 = patternBytes(kFrame, 1), f1 = patternBytes(kFrame, 2);
    TrailerStreamBuilder s;
    s.frame(f0, Trailer().index(0)).frame(f1, Trailer().index(1));

    EXPECT_EQ(h.trailer(s.bytes()), 2u);
    EXPECT_EQ(h.completed, 2);
    EXPECT_EQ(h.ring.collectedBytes(), 0u);

    for (const Bytes* want : {&f0, &f1}) {
        auto got = h.pop();
        ASSERT_TRUE(got);
        EXPECT_EQ(got->record.cfg.u32Size, kFrame);
        EXPECT_EQ(got->bytes, *want);
        const CameraConfig& c = got->record.cfg;
        EXPECT_EQ(c.u32CameraType, 0x1234u);
        EXPECT_EQ(c.u16Vid, 0x52CB);
        EXPECT_EQ(c.u32Width, kW);
        EXPECT_EQ(c.u32Height, kH);
        EXPECT_EQ(c.usbType, USB_3);
        EXPECT_EQ(c.emI2cMode, I2C_MODE_16_16);
        EXPECT_EQ(c.u32TransLvl, 7u);
    }
    EXPECT_FALSE(h.pop());
}

TEST_F(TrailerAssembly, FrameSpreadOverManyTransfersIncludingShortOnes) {
    AssemblyHarness big(makeConfig(FORMAT_MODE_RAW, 200, 100, 2));
    const Bytes f = patternBytes(40000, 3);
    TrailerStreamBuilder s;
    s.frame(f);
    const auto results = big.trailer(splitTransfers(s.bytes(), 8192));
    ASSERT_EQ(results.size(), 5u);
    for (size_t i = 0; i + 1 < results.size(); ++i) EXPECT_EQ(results[i], 0u);
    EXPECT_EQ(results.back(), 1u);
    auto got = big.pop();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->bytes, f);

    /* A short transfer leaves bytes after its last whole packet; they are frame data and
     * the next transfer's packets follow them in the slot. */
    const Bytes g = patternBytes(kFrame, 4);
    TrailerStreamBuilder rest;
    rest.packets(Bytes(g.begin() + 1000, g.end())).trailer({}, (kFrame - 1000) % 512);
    EXPECT_EQ(h.trailer(Bytes(g.begin(), g.begin() + 1000)), 0u);
    EXPECT_EQ(h.ring.collectedBytes(), 1000u);
    EXPECT_EQ(h.trailer(rest.bytes()), 1u);
    got = h.pop();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->bytes, g);
}

TEST_F(TrailerAssembly, PaddedLastPacketMayArriveBeforeItsTrailer) {
    const Bytes f = patternBytes(kFrame, 17);
    TrailerStreamBuilder s;
    s.frame(f);
    const Bytes& b = s.bytes();
    EXPECT_EQ(h.trailer(Bytes(b.begin(), b.end() - 512)), 0u);
    EXPECT_EQ(h.trailer(Bytes(b.end() - 512, b.end())), 1u);
    auto got = h.pop();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->bytes, f);
}

TEST_F(TrailerAssembly, FrameIndexSequence) {
    const Bytes f = patternBytes(kFrame, 5);
    auto feed = [&](uint16_t index) {
        TrailerStreamBuilder s;
        s.frame(f, Trailer().index(index));
        return h.trailer(s.bytes());
    };

    /* With no index seen yet the first frame must carry 0. */
    EXPECT_EQ(feed(5), USB_CAMERA_FRAME_INDEX_ERROR);
    EXPECT_EQ(h.completed, 1);
    EXPECT_EQ(h.ring.available(), 0u);
    /* The next frame is checked against the received index. */
    EXPECT_EQ(feed(6), 1u);
    EXPECT_EQ(feed(8), USB_CAMERA_FRAME_INDEX_ERROR);

    h.state.lastFrameIndex = 0xFFFD;
    EXPECT_EQ(feed(0xFFFE), 1u);
    EXPECT_EQ(feed(0xFFFF), 1u);
    EXPECT_EQ(feed(1), USB_CAMERA_FRAME_INDEX_ERROR);
    h.state.lastFrameIndex = 0xFFFF;
    EXPECT_EQ(feed(0), 1u);

    h.state.triggerMode = true;
    EXPECT_EQ(feed(40), 1u);
    EXPECT_EQ(h.state.lastFrameIndex, 40);
    EXPECT_EQ(h.ring.available(), 5u);
}

TEST_F(TrailerAssembly, WrongLengthIsDroppedOrForced) {
    const Bytes shortFrame = patternBytes(kFrame - 1, 6);
    TrailerStreamBuilder s;
    s.frame(shortFrame, Trailer().index(0));

    EXPECT_EQ(h.trailer(s.bytes()), USB_CAMERA_DATA_LEN_ERROR);
    EXPECT_EQ(h.completed, 1);
    EXPECT_EQ(h.ring.available(), 0u);
    EXPECT_EQ(h.state.lastFrameIndex, 0);

    h.state.lastFrameIndex = 0xFFFF;
    h.state.forceRead = true;
    EXPECT_EQ(h.trailer(s.bytes()), USB_CAMERA_DATA_LEN_ERROR);
    auto got = h.pop();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->record.cfg.u32Size, kFrame - 1);
    EXPECT_EQ(got->bytes, shortFrame);

    /* A good frame after a bad one in the same transfer is still queued. */
    TrailerStreamBuilder mixed;
    mixed.frame(shortFrame, Trailer().index(1)).frame(patternBytes(kFrame, 7), Trailer().index(2));
    h.state.forceRead = false;
    EXPECT_EQ(h.trailer(mixed.bytes()), USB_CAMERA_DATA_LEN_ERROR);
    EXPECT_EQ(h.completed, 2);
    EXPECT_EQ(h.ring.available(), 1u);
}

TEST_F(TrailerAssembly, ForcedLongFrameKeepsItsFirstBytes) {
    const Bytes longFrame = patternBytes(kFrame + 700, 8);
    TrailerStreamBuilder s;
    s.frame(longFrame);
    h.state.forceRead = true;
    EXPECT_EQ(h.trailer(s.bytes()), USB_CAMERA_DATA_LEN_ERROR);
    auto got = h.pop();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->record.cfg.u32Size, kFrame);
    EXPECT_EQ(got->bytes, Bytes(longFrame.begin(), longFrame.begin() + kFrame));
}

TEST_F(TrailerAssembly, DiscardedFrameIsSilent) {
    const Bytes f = patternBytes(kFrame, 9);
    /* Half a frame from an earlier transfer is thrown away with the discarded one. */
    EXPECT_EQ(h.trailer(patternBytes(1024, 10)), 0u);
    TrailerStreamBuilder s;
    s.frame(f, Trailer().index(0).discarded()).frame(f, Trailer().index(0));
    EXPECT_EQ(h.trailer(s.bytes()), 1u);
    EXPECT_EQ(h.completed, 1);
    auto got = h.pop();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->bytes, f);
    EXPECT_FALSE(h.pop());
}

TEST_F(TrailerAssembly, FullRingCountsButKeepsTheOldestFive) {
    TrailerStreamBuilder s;
    for (uint16_t i = 0; i < 8; ++i) s.frame(patternBytes(kFrame, 100 + i), Trailer().index(i));
    EXPECT_EQ(h.trailer(s.bytes()), 8u);
    EXPECT_EQ(h.ring.available(), 5u);
    for (uint32_t i = 0; i < 5; ++i) {
        auto got = h.pop();
        ASSERT_TRUE(got);
        EXPECT_EQ(got->bytes, patternBytes(kFrame, 100 + i)) << "frame " << i;
    }
}

TEST_F(TrailerAssembly, BoardTimeNeedsFirmwareAndControllerVersions) {
    const Bytes f = patternBytes(kFrame, 11);
    struct Case {
        uint32_t firmware;
        BoardCtrlVersion ctrl;
        bool boardTime;
    };
    const Case cases[] = {
        {0x0314, {21, 6, 6}, true},  {0x03FF, {30, 0, 0}, true},  {0x0313, {21, 6, 6}, false},
        {0x0400, {21, 6, 6}, false}, {0x0314, {21, 6, 5}, false}, {0x10314, {21, 6, 6}, false},
    };
    for (const Case& c : cases) {
        h.state.usbFirmwareVersion = c.firmware;
        h.state.boardCtrlVersion = c.ctrl;
        h.state.lastFrameIndex = 0xFFFF;
        TrailerStreamBuilder s;
        s.frame(f, Trailer().time(0x0123456789ABCDEFull));
        ASSERT_EQ(h.trailer(s.bytes()), 1u);
        auto got = h.pop();
        ASSERT_TRUE(got);
        EXPECT_EQ(got->record.u64Time, c.boardTime ? 0x0123456789ABCDEFull : 0u)
            << std::hex << c.firmware;
    }
}

TEST_F(TrailerAssembly, OverlongTailIsDroppedOrForcedWithinTheTransfer) {
    /* Data packets past the frame size with no trailer. */
    const Bytes a = patternBytes(2048, 12), b = patternBytes(2048, 13);
    EXPECT_EQ(h.trailer(a), 0u);
    EXPECT_EQ(h.trailer(b), USB_CAMERA_DATA_LEN_ERROR);
    EXPECT_EQ(h.ring.collectedBytes(), 0u);
    EXPECT_EQ(h.ring.available(), 0u);

    h.state.forceRead = true;
    EXPECT_EQ(h.trailer(a), 0u);
    EXPECT_EQ(h.trailer(b), USB_CAMERA_DATA_LEN_ERROR);
    EXPECT_EQ(h.completed, 1);
    auto got = h.pop();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->record.cfg.u32Size, kFrame);
    EXPECT_EQ(got->record.u64Time, kHostTime);
    Bytes want(a);
    want.insert(want.end(), b.begin(), b.begin() + (kFrame - a.size()));
    EXPECT_EQ(got->bytes, want);

    /* Only a short tail pushes the frame over: nothing before the transfer is read. */
    const Bytes nearly = patternBytes(2900, 14);
    EXPECT_EQ(h.trailer(nearly), 0u);
    const Bytes tail = patternBytes(200, 15);
    EXPECT_EQ(h.trailer(tail), USB_CAMERA_DATA_LEN_ERROR);
    got = h.pop();
    ASSERT_TRUE(got);
    want = nearly;
    want.insert(want.end(), tail.begin(), tail.begin() + 100);
    EXPECT_EQ(got->bytes, want);
}

TEST_F(TrailerAssembly, BogusValidByteCounts) {
    /* More valid bytes than a packet holds: the packet counts whole. */
    AssemblyHarness whole(makeConfig(FORMAT_MODE_RAW, 96, 32));
    const Bytes f = patternBytes(3072, 16);
    TrailerStreamBuilder s;
    s.frame(f, Trailer().valid(0xFFFF));
    EXPECT_EQ(whole.trailer(s.bytes()), 1u);
    auto got = whole.pop();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->bytes, f);

    /* A partial last packet before any data: the frame is empty, not 2^64 - 412 long. */
    AssemblyHarness jpeg(makeConfig(FORMAT_MODE_JPG, 64, 64));
    TrailerStreamBuilder lone;
    lone.trailer({}, 100);
    EXPECT_EQ(jpeg.trailer(lone.bytes()), USB_CAMERA_DATA_LACK_ERROR);
    h.state.forceRead = true;
    EXPECT_EQ(h.trailer(lone.bytes()), USB_CAMERA_DATA_LEN_ERROR);
    got = h.pop();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->record.cfg.u32Size, 0u);
}

class TrailerJpeg : public ::testing::Test {
  protected:
    /* Frame size 8192, slot buffers of 16384. */
    AssemblyHarness h{makeConfig(FORMAT_MODE_JPG, 64, 64)};
};

TEST_F(TrailerJpeg, LeadingBytesAreMovedOutSizeStaysReceived) {
    const Bytes f = jpegBytes(5000, 20, 100, 30);
    TrailerStreamBuilder s;
    s.frame(f);
    EXPECT_EQ(h.trailer(s.bytes()), 1u);
    auto got = h.pop();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->record.cfg.u32Size, 5000u);
    EXPECT_EQ(Bytes(got->bytes.begin(), got->bytes.begin() + 4900),
              Bytes(f.begin() + 100, f.end()));
}

TEST_F(TrailerJpeg, MissingMarkersAreDataLack) {
    Bytes noEnd = jpegBytes(5000, 21, 10, 0);
    noEnd[4998] = 0x00;
    Bytes endBeforeStart = patternBytes(5000, 22);
    endBeforeStart[10] = 0xFF, endBeforeStart[11] = 0xD9;
    endBeforeStart[4000] = 0xFF, endBeforeStart[4001] = 0xD8;
    for (const Bytes& f : {noEnd, endBeforeStart, Bytes{0xFF}}) {
        TrailerStreamBuilder s;
        s.frame(f);
        h.state.lastFrameIndex = 0xFFFF;
        EXPECT_EQ(h.trailer(s.bytes()), USB_CAMERA_DATA_LACK_ERROR);
        EXPECT_EQ(h.completed, 1);
        EXPECT_EQ(h.ring.available(), 0u);
    }
}

TEST_F(TrailerJpeg, FrameLongerThanItsBufferIsCut) {
    const Bytes f = jpegBytes(20000, 23);
    TrailerStreamBuilder s;
    s.frame(f);
    EXPECT_EQ(h.trailer(s.bytes()), USB_CAMERA_DATA_LEN_ERROR);
    EXPECT_EQ(h.ring.available(), 0u);

    h.state.forceRead = true;
    h.state.lastFrameIndex = 0xFFFF;
    EXPECT_EQ(h.trailer(s.bytes()), USB_CAMERA_DATA_LEN_ERROR);
    auto got = h.pop();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->record.cfg.u32Size, 16384u);
    EXPECT_EQ(got->bytes, Bytes(f.begin(), f.begin() + 16384));
}

/* A reconfiguration that starts while an assembly call is under way waits for it, so the
 * call stores every byte it counts (it once skipped its copies and queued the frames all
 * the same). setCamCfg starting right after the call was admitted is played by the clock
 * the call reads first. */
TEST(TrailerReconfiguration, ACallUnderWayStoresEveryByteItCounts) {
    AssemblyHarness h(makeConfig(FORMAT_MODE_RAW, kW, kH));
    const Bytes f0 = patternBytes(kFrame, 32), f1 = patternBytes(kFrame, 33);
    TrailerStreamBuilder s;
    s.frame(f0, Trailer().index(0)).frame(f1, Trailer().index(1));
    driver::setHostClockForTesting([&h] {
        h.state.reconfiguring.store(true);
        return kHostTime;
    });
    EXPECT_EQ(h.trailer(s.bytes()), 2u);
    endReconfiguration(h.state);
    for (const Bytes* want : {&f0, &f1}) {
        auto got = h.pop();
        ASSERT_TRUE(got);
        EXPECT_EQ(got->bytes, *want);
    }
}

/* Framing (chunk?) and force read. */
class AssemblyAroundReconfiguration : public ::testing::TestWithParam<std::tuple<bool, bool>> {};

/* A transfer dropped while a configuration is applied leaves a hole in the frame in
 * progress: that frame is dropped with USB_CAMERA_DATA_LEN_ERROR (queued as it is under
 * force read), never queued as good; the next frame is whole. */
TEST_P(AssemblyAroundReconfiguration, AFrameThatLostBytesNeverPassesAsGood) {
    const auto [chunk, force] = GetParam();
    constexpr size_t kBig = 40000;
    AssemblyHarness h(makeConfig(FORMAT_MODE_RAW, 200, 100, 2));
    h.state.forceRead.store(force);
    const Bytes f0 = patternBytes(kBig, 40), f1 = patternBytes(kBig, 41);
    std::vector<Bytes> transfers;
    if (chunk) {
        ChunkStreamBuilder s;
        s.frame(f0, 1).frame(f1, 2);
        transfers = s.transfers(16384);
    } else {
        TrailerStreamBuilder s;
        s.frame(f0, Trailer().index(0)).frame(f1, Trailer().index(1));
        transfers = splitTransfers(s.bytes(), 16384);
    }
    auto feed = [&](const Bytes& t) { return chunk ? h.chunks(t) : h.trailer(t); };

    EXPECT_EQ(feed(transfers[0]), 0u);
    const uint32_t collected = h.ring.collectedBytes();
    beginReconfiguration(h.state);
    EXPECT_EQ(feed(transfers[1]), 0u) << "dropped";
    EXPECT_EQ(h.ring.collectedBytes(), collected) << "nothing touched while reconfiguring";
    endReconfiguration(h.state);

    std::vector<uint32_t> results;
    for (size_t i = 2; i < transfers.size(); ++i) results.push_back(feed(transfers[i]));
    EXPECT_EQ(results.front(), USB_CAMERA_DATA_LEN_ERROR) << "f0 ends with a hole";
    EXPECT_EQ(results.back(), 1u) << "f1 is whole";

    if (force) {
        auto damaged = h.pop();
        ASSERT_TRUE(damaged);
        EXPECT_NE(damaged->bytes, f0);
    }
    auto whole = h.pop();
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->bytes, f1);
    EXPECT_FALSE(h.pop());
}

INSTANTIATE_TEST_SUITE_P(FramingsAndForceRead, AssemblyAroundReconfiguration,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool()));

TEST(FrameLength, RulesPerFormat) {
    CameraConfig c = makeConfig(FORMAT_MODE_RAW, 640, 480, 1);
    EXPECT_EQ(frameSizeFor(c, 0), 307200u);
    EXPECT_EQ(frameBufferSize(307200), 614400u);
    EXPECT_TRUE(frameLengthAccepted(c, 307200));
    EXPECT_FALSE(frameLengthAccepted(c, 307199));
    c = makeConfig(FORMAT_MODE_RAW, 100, 3, 1);
    EXPECT_EQ(frameBufferSize(frameSizeFor(c, 0)), 1024u);

    c = makeConfig(FORMAT_MODE_YUV, 10, 10, 1);
    EXPECT_TRUE(frameLengthAccepted(c, 200));
    c = makeConfig(FORMAT_MODE_MON_D, 10, 10, 2);
    EXPECT_TRUE(frameLengthAccepted(c, 400));
    c = makeConfig(FORMAT_MODE_JPG, 10, 10, 2);
    EXPECT_TRUE(frameLengthAccepted(c, 1));
    EXPECT_EQ(frameSizeFor(c, 0), 400u);

    c = makeConfig(7, 1280, 720, 2);
    EXPECT_EQ(frameSizeFor(c, 0), 4147200u);
    EXPECT_EQ(frameBufferSize(4147200), 8294400u);
    EXPECT_TRUE(frameLengthAccepted(c, 4147200));
    EXPECT_FALSE(frameLengthAccepted(c, 4147201));
    c = makeConfig(7, 1, 1, 1);
    EXPECT_EQ(frameSizeFor(c, 0), 4u);
    EXPECT_FALSE(frameLengthAccepted(c, 4));

    c = makeConfig(8, 10, 10, 1);
    EXPECT_EQ(frameSizeFor(c, 1234), 1234u);
    EXPECT_FALSE(frameLengthAccepted(c, 100));
}

}  // namespace
}  // namespace vexo::camera::test
