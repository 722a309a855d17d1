#include <gtest/gtest.h>

#include "camera/frame_assembly.h"
#include "camera/support/assembly_harness.h"
#include "camera/support/stream_builder.h"

namespace vexo::camera::test {
namespace {

constexpr size_t kPayload = ChunkStreamBuilder::kPayload;
/* 40000-byte RAW frames: two whole chunks and a short one. */
constexpr size_t kFrame = 40000;

class ChunkAssembly : public ::testing::Test {
  protected:
    /* Frame @f once more under force read, from a board whose toggle went back to 0. */
    uint32_t againForced(const Bytes& f) {
        h.state.forceRead = true;
        ChunkStreamBuilder again;
        again.setNextToggle(0);
        again.frame(f, 1);
        return h.chunks(again.transfers()[0]);
    }

    AssemblyHarness h{makeConfig(FORMAT_MODE_RAW, 200, 100, 2)};
};

TEST_F(ChunkAssembly, FramesAcrossChunksAndTransfers) {
    const Bytes f0 = patternBytes(kFrame, 1), f1 = patternBytes(kFrame, 2);
    ChunkStreamBuilder s;
    s.frame(f0, 111).frame(f1, 222);

    EXPECT_EQ(h.chunks(s.transfers()), (std::vector<uint32_t>{1, 1}));
    /* One chunk per transfer. */
    EXPECT_EQ(h.chunks(s.transfers(16384)), (std::vector<uint32_t>{0, 0, 1, 0, 0, 1}));
    for (const auto& [bytes, time] : {std::pair{&f0, 111}, {&f1, 222}, {&f0, 111}, {&f1, 222}}) {
        auto got = h.pop();
        ASSERT_TRUE(got);
        EXPECT_EQ(got->bytes, *bytes);
        EXPECT_EQ(got->record.cfg.u32Size, kFrame);
        EXPECT_EQ(got->record.cfg.u32TransLvl, 7u);
        EXPECT_EQ(got->record.u64Time, static_cast<uint64_t>(time));
    }
}

/* Feeds the chunks of @s as one transfer: two frames with these bytes and times come out. */
void expectTwoFramesInOneTransfer(AssemblyHarness& h, const ChunkStreamBuilder& s, const Bytes& f0,
                                  uint64_t t0, const Bytes& f1, uint64_t t1) {
    const auto transfers = s.transfers();
    ASSERT_EQ(transfers.size(), 1u);
    EXPECT_EQ(h.chunks(transfers[0]), 2u);
    auto a = h.pop(), b = h.pop();
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->bytes, f0);
    EXPECT_EQ(a->record.u64Time, t0);
    EXPECT_EQ(b->bytes, f1);
    EXPECT_EQ(b->record.u64Time, t1);
}

TEST_F(ChunkAssembly, TwoFramesInOneTransferAndTheFirstChunksTime) {
    AssemblyHarness two(makeConfig(FORMAT_MODE_RAW, 16368, 2, 1));
    const Bytes f0 = patternBytes(2 * kPayload, 3), f1 = patternBytes(2 * kPayload, 4);
    ChunkStreamBuilder s;
    s.chunk(0x0C, 0x01, 10, Bytes(f0.begin(), f0.begin() + kPayload));
    s.chunk(0x0C, 0x03, 11, Bytes(f0.begin() + kPayload, f0.end()));
    s.chunk(0x0C, 0x00, 20, Bytes(f1.begin(), f1.begin() + kPayload));
    s.chunk(0x0C, 0x02, 21, Bytes(f1.begin() + kPayload, f1.end()));
    expectTwoFramesInOneTransfer(two, s, f0, 10, f1, 20);
}

TEST_F(ChunkAssembly, FramesOpeningWithTheHeldToggleCarryTheirOwnTime) {
    /* The camera starts with toggle 0; a board whose next frame also has toggle 0 (a camera
     * opened again on a running board), then a frame that repeats its toggle. */
    AssemblyHarness one(makeConfig(FORMAT_MODE_RAW, 16368, 1, 1));
    const Bytes f0 = patternBytes(kPayload, 11), f1 = patternBytes(kPayload, 12);
    ChunkStreamBuilder s;
    s.chunk(0x0C, 0x02, 30, f0);
    s.chunk(0x0C, 0x02, 40, f1);
    expectTwoFramesInOneTransfer(one, s, f0, 30, f1, 40);
}

TEST_F(ChunkAssembly, ShortTransfersAndForeignChunks) {
    AssemblyHarness small(makeConfig(FORMAT_MODE_RAW, 10, 10, 1));
    ChunkStreamBuilder s;
    s.frame(patternBytes(100, 5), 1);
    const Bytes one = s.transfers()[0];
    ASSERT_EQ(one.size(), 116u);
    EXPECT_EQ(small.chunks(Bytes(one.begin(), one.begin() + 16)), 0u);
    EXPECT_EQ(small.state.frameToggle, 0);
    EXPECT_EQ(small.chunks(one), 1u);

    /* A chunk that does not start with 0x0C ends the walk with the result so far. */
    AssemblyHarness full(makeConfig(FORMAT_MODE_RAW, 16368, 1, 1));
    ChunkStreamBuilder t;
    t.frame(patternBytes(kPayload, 6), 1);
    t.chunk(0x0D, 0x00, 2, patternBytes(kPayload, 7));
    t.frame(patternBytes(kPayload, 8), 3);
    const auto transfers = t.transfers();
    ASSERT_EQ(transfers.size(), 1u);
    EXPECT_EQ(full.chunks(transfers[0]), 1u);
    EXPECT_EQ(full.ring.available(), 1u);
}

TEST_F(ChunkAssembly, FrameWithoutEndIsDroppedOrForced) {
    const Bytes unfinished = patternBytes(kPayload, 9), f = patternBytes(kFrame, 10);
    ChunkStreamBuilder s;
    s.frame(unfinished, 1, false).frame(f, 2);

    /* The unfinished frame's whole chunk shares its transfer with the next frame. */
    EXPECT_EQ(h.chunks(s.transfers()), (std::vector<uint32_t>{USB_CAMERA_DATA_LEN_ERROR}));
    EXPECT_EQ(h.completed, 1);
    auto got = h.pop();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->bytes, f);
    EXPECT_FALSE(h.pop());

    h.state.forceRead = true;
    EXPECT_EQ(h.chunks(s.transfers()), (std::vector<uint32_t>{USB_CAMERA_DATA_LEN_ERROR}));
    EXPECT_EQ(h.completed, 2);
    got = h.pop();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->record.cfg.u32Size, kPayload);
    EXPECT_EQ(got->bytes, unfinished);
    EXPECT_EQ(got->record.u64Time, 1u);
    got = h.pop();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->bytes, f);
}

TEST_F(ChunkAssembly, WrongLengthAtEndIsDroppedOrForced) {
    const Bytes f = patternBytes(kFrame - 1, 11);
    ChunkStreamBuilder s;
    s.frame(f, 1);
    EXPECT_EQ(h.chunks(s.transfers()[0]), USB_CAMERA_DATA_LEN_ERROR);
    EXPECT_EQ(h.completed, 0);
    EXPECT_EQ(h.ring.available(), 0u);

    EXPECT_EQ(againForced(f), USB_CAMERA_DATA_LEN_ERROR);
    EXPECT_EQ(h.completed, 1);
    auto got = h.pop();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->record.cfg.u32Size, kFrame - 1);
    EXPECT_EQ(got->bytes, f);
}

TEST_F(ChunkAssembly, FrameThatLostAChunkNeverPassesAsGood) {
    /* 3 x 16368 + 7264 bytes: the third chunk does not fit in 40000, the fourth does, and
     * the bytes kept add up to exactly one frame. */
    const Bytes f = patternBytes(3 * kPayload + 7264, 12);
    ChunkStreamBuilder s;
    s.frame(f, 1);
    EXPECT_EQ(h.chunks(s.transfers()[0]), USB_CAMERA_DATA_LEN_ERROR);
    EXPECT_EQ(h.ring.available(), 0u);
    EXPECT_EQ(h.ring.collectedBytes(), 0u);

    EXPECT_EQ(againForced(f), USB_CAMERA_DATA_LEN_ERROR);
    auto got = h.pop();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->record.cfg.u32Size, kFrame);
}

class ChunkJpeg : public ::testing::Test {
  protected:
    /* Frame size 32768. */
    AssemblyHarness h{makeConfig(FORMAT_MODE_JPG, 256, 64, 1)};

    uint32_t feed(const Bytes& frame, uint64_t time = 1) {
        ChunkStreamBuilder s;
        s.setNextToggle(static_cast<uint8_t>(h.state.frameToggle ^ 1));
        s.frame(frame, time);
        const auto transfers = s.transfers();
        EXPECT_EQ(transfers.size(), 1u);
        return h.chunks(transfers[0]);
    }
};

TEST_F(ChunkJpeg, FrameRunsFromStartMarkerToLastEndMarker) {
    Bytes f = jpegBytes(20000, 20, 50, 300);
    f[19000] = 0xFF, f[19001] = 0xD9; /* an earlier end marker is not the last */
    EXPECT_EQ(feed(f), 1u);
    auto got = h.pop();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->record.cfg.u32Size, 20000u - 50 - 300);
    EXPECT_EQ(got->bytes, Bytes(f.begin() + 50, f.end() - 300));

    /* Shorter than 1026 bytes: kept whole. */
    const Bytes small = jpegBytes(1000, 21, 0, 100);
    EXPECT_EQ(feed(small), 1u);
    got = h.pop();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->bytes, small);
}

TEST_F(ChunkJpeg, StartMarkerWithinTheFirst256PayloadBytes) {
    EXPECT_EQ(feed(jpegBytes(5000, 22, 255)), 1u);
    EXPECT_EQ(feed(jpegBytes(5000, 23, 256)), USB_CAMERA_DATA_LACK_ERROR);
    EXPECT_EQ(h.ring.available(), 1u);
}

TEST_F(ChunkJpeg, EndMarkerOutsideTheLast1025Bytes) {
    EXPECT_EQ(feed(jpegBytes(5000, 24, 0, 1024)), USB_CAMERA_DATA_LACK_ERROR);
    /* The frame in progress is left as it is. */
    EXPECT_EQ(h.ring.collectedBytes(), 5000u);
    EXPECT_EQ(h.ring.available(), 0u);
    EXPECT_EQ(feed(jpegBytes(5000, 25, 0, 1023)), USB_CAMERA_DATA_LEN_ERROR);
    EXPECT_EQ(h.ring.available(), 1u);
}

TEST_F(ChunkJpeg, LaterChunkShorterThanTheStartOffset) {
    /* In one transfer: a whole-chunk frame that starts 200 bytes into its payload, then
     * a chunk of the same toggle that arrives with nothing collected and only 50 payload
     * bytes. */
    ChunkStreamBuilder s;
    s.setNextToggle(1);
    s.frame(jpegBytes(kPayload, 26, 200), 4);
    s.chunk(0x0C, 0x01, 5, patternBytes(50, 27));
    const auto transfers = s.transfers();
    ASSERT_EQ(transfers.size(), 1u);
    EXPECT_EQ(h.chunks(transfers[0]), 1u);
    EXPECT_EQ(h.ring.collectedBytes(), 0u);
    auto got = h.pop();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->record.cfg.u32Size, kPayload - 200);
}

}  // namespace
}  // namespace vexo::camera::test
