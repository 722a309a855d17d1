// The board's image stream: both framings decoded independently and compared with the
// picture of each frame number; streaming control, trigger, pacing and stream faults.
#include <gtest/gtest.h>

#include <thread>

#include "board/support/model_bus.h"
#include "board/support/stream_decoder.h"
#include "driver/virtual/virtual_board.h"

namespace vexo::test {
namespace {

using Bytes = std::vector<uint8_t>;
using virt::BoardFault;
using virt::PixelFormat;

virt::BoardConfig board(uint16_t product, PixelFormat format, uint32_t w = 640, uint32_t h = 480,
                        uint8_t pb = 1) {
    virt::BoardConfig c;
    c.productId = product;
    c.stream.format = format;
    c.stream.width = w;
    c.stream.height = h;
    c.stream.pixelBytes = pb;
    return c;
}

Bytes picture(const virt::BoardConfig& c, uint32_t n) {
    Bytes out;
    virt::renderFrame(c.stream, n, out);
    return out;
}

// Reads until `count` frames are decoded (or reads stop completing).
template <typename Decoder>
void readFrames(ModelBus& bus, Decoder& d, size_t count, uint32_t readLength) {
    for (int guard = 0; d.frames.size() < count && guard < 100000; ++guard) {
        auto r = bus.read(readLength);
        if (!r) return;
        ASSERT_TRUE(d.feed(*r)) << d.why();
    }
}

virt::FaultConfig fault(BoardFault kind, uint32_t at, uint32_t count = 1, uint32_t bytes = 1) {
    virt::FaultConfig f;
    f.kind = kind;
    f.atFrame = at;
    f.count = count;
    f.bytes = bytes;
    return f;
}

TEST(BoardStream, TrailerFramingCarriesEachFramesPicture) {
    // USB 2 board, product 0x03F2, and reads that do and do not hold a whole frame.
    struct Case {
        uint16_t product;
        PixelFormat format;
        uint32_t w, h;
        uint8_t pb;
        uint32_t read;
    } cases[] = {{0x52CB, PixelFormat::Raw, 640, 480, 1, 524288},
                 {0x03F2, PixelFormat::Yuv, 320, 241, 2, 16384},
                 {0x02F1, PixelFormat::MonD, 99, 13, 2, 8192},
                 {0x03F2, PixelFormat::Jpg, 320, 240, 1, 8192},
                 {0x52CB, PixelFormat::Rgb, 64, 64, 1, 1000}};  // not a packet multiple
    for (const Case& k : cases) {
        virt::BoardConfig c = board(k.product, k.format, k.w, k.h, k.pb);
        ModelBus bus(c);
        ASSERT_TRUE(bus.out(0xA1));
        TrailerDecoder d;
        readFrames(bus, d, 4, k.read);
        ASSERT_EQ(d.frames.size(), 4u) << virt::formatName(k.format);
        for (uint32_t n = 0; n < 4; ++n) {
            EXPECT_EQ(d.frames[n].bytes, picture(c, n)) << virt::formatName(k.format) << " " << n;
            EXPECT_EQ(d.frames[n].index, n);
            EXPECT_FALSE(d.frames[n].discarded);
        }
        EXPECT_EQ(bus.model->framesSent(), 4u);
        EXPECT_EQ(bus.model->lastFrameIndex(), 3);
    }
}

TEST(BoardStream, ChunkFramingCarriesEachFramesPicture) {
    struct Case {
        PixelFormat format;
        uint32_t w, h;
        uint8_t pb;
        uint32_t read;
    } cases[] = {{PixelFormat::Raw, 640, 480, 1, 524288},
                 {PixelFormat::RawD, 1000, 700, 2, 524288},   // frames span reads
                 {PixelFormat::Rgb, 128, 128, 1, 16384 * 3},  // 32768 + 16: last chunk is full
                 {PixelFormat::Jpg, 640, 480, 1, 8192},       // one chunk per read
                 {PixelFormat::Mon, 17, 5, 1, 524288}};
    for (const Case& k : cases) {
        virt::BoardConfig c = board(0x03F1, k.format, k.w, k.h, k.pb);
        ModelBus bus(c);
        ASSERT_TRUE(bus.out(0xA1));
        ChunkDecoder d;
        readFrames(bus, d, 3, k.read);
        ASSERT_EQ(d.frames.size(), 3u) << virt::formatName(k.format);
        for (uint32_t n = 0; n < 3; ++n) {
            EXPECT_EQ(d.frames[n].bytes, picture(c, n)) << virt::formatName(k.format) << " " << n;
            EXPECT_TRUE(d.frames[n].toggleFlipped);
        }
        EXPECT_TRUE(d.frames[0].toggle);  // the host's toggle starts at 0: the first frame is new
        EXPECT_EQ(d.badHeaders, 0);
    }
}

TEST(BoardStream, TimeStampsAreTheBoardClockAtEachFrame) {
    for (uint16_t product : {0x03F1, 0x03F2}) {
        ModelBus bus(board(product, PixelFormat::Raw, 64, 64));
        const uint64_t host = 133'000'000'000'000'000ull;
        Bytes exchange(8);
        for (int i = 0; i < 8; ++i) exchange.push_back(static_cast<uint8_t>(host >> (8 * i)));
        ASSERT_TRUE(bus.out(0xB1, 0, 0, exchange));
        ASSERT_TRUE(bus.out(0xA1));
        std::vector<uint64_t> stamps;
        TrailerDecoder t;
        ChunkDecoder c;
        if (product == 0x03F2) {
            readFrames(bus, t, 3, 524288);
            for (auto& f : t.frames) stamps.push_back(f.timestamp);
        } else {
            readFrames(bus, c, 3, 524288);
            for (auto& f : c.frames) stamps.push_back(f.timestamp);
        }
        ASSERT_EQ(stamps.size(), 3u);
        EXPECT_GE(stamps[0], host);
        EXPECT_LE(stamps[0], stamps[1]);
        EXPECT_LE(stamps[1], stamps[2]);
        EXPECT_LE(stamps[2], bus.model->boardTime());
    }
}

TEST(BoardStream, StartStopAndTheRunningFrameNumber) {
    ModelBus bus(board(0x52CB, PixelFormat::Raw, 64, 32));
    EXPECT_FALSE(bus.read(8192));  // not streaming: the read waits
    EXPECT_EQ(bus.last.readyAt, driver::Clock::time_point::max());
    ASSERT_TRUE(bus.out(0xA1));
    TrailerDecoder d;
    readFrames(bus, d, 2, 8192);
    ASSERT_TRUE(bus.out(0xA2));
    EXPECT_FALSE(bus.read(8192));
    EXPECT_FALSE(bus.model->streaming());
    // Board-controller register 8 = 0x00 starts streaming too; numbers run on.
    ASSERT_TRUE(bus.writeController(8, 0x00));
    readFrames(bus, d, 4, 8192);
    ASSERT_EQ(d.frames.size(), 4u);
    EXPECT_EQ(d.frames[2].index, 2);
    EXPECT_EQ(d.frames[3].bytes, picture(bus.model->config(), 3));

    // A stop in the middle of a frame drops its rest; the next frame starts clean.
    ModelBus big(board(0x52CB, PixelFormat::Raw, 640, 480));
    ASSERT_TRUE(big.out(0xA1));
    TrailerDecoder partial;
    auto first = big.read(65536);  // part of frame 0
    ASSERT_TRUE(first);
    ASSERT_TRUE(big.out(0xA2));
    ASSERT_TRUE(big.out(0xA1));
    TrailerDecoder after;
    readFrames(big, after, 1, 524288);
    ASSERT_EQ(after.frames.size(), 1u);
    EXPECT_EQ(after.frames[0].index, 1);
    EXPECT_EQ(after.frames[0].bytes, picture(big.model->config(), 1));
}

// A host opening the board expects index 0 first: after the host closes it (register 1 =
// 0x0F) the index starts again, while the picture's frame numbers run on.
TEST(BoardStream, FrameIndexStartsAgainAfterTheHostCloses) {
    ModelBus bus(board(0x02F1, PixelFormat::Raw, 64, 32));
    ASSERT_TRUE(bus.out(0xA1));
    TrailerDecoder d;
    readFrames(bus, d, 3, 8192);
    ASSERT_TRUE(bus.out(0xA2));
    ASSERT_TRUE(bus.writeController(1, 0x0F));
    ASSERT_TRUE(bus.out(0xA1));
    readFrames(bus, d, 5, 8192);
    ASSERT_EQ(d.frames.size(), 5u);
    EXPECT_EQ(d.frames[2].index, 2);
    EXPECT_EQ(d.frames[3].index, 0);
    EXPECT_EQ(d.frames[4].index, 1);
    EXPECT_EQ(d.frames[3].bytes, picture(bus.model->config(), 3));
}

TEST(BoardStream, FrameIndexWrapsAfterFFFF) {
    ModelBus bus(board(0x52CB, PixelFormat::Mon, 8, 8));
    ASSERT_TRUE(bus.out(0xA1));
    std::optional<uint16_t> previous;
    for (uint32_t n = 0; n <= 0x10001; ++n) {
        auto r = bus.read(1024);  // one data packet and the trailer
        ASSERT_TRUE(r && r->size() == 1024);
        uint16_t index = static_cast<uint16_t>((*r)[512 + 14] << 8 | (*r)[512 + 15]);
        if (previous) {
            ASSERT_EQ(index, static_cast<uint16_t>(*previous + 1)) << n;
        }
        previous = index;
    }
    EXPECT_EQ(previous, 1);
}

TEST(BoardStream, ExternalTriggerReleasesOneFramePerPulse) {
    ModelBus bus(board(0x52CB, PixelFormat::Raw, 64, 32));
    ASSERT_TRUE(bus.writeController(8, 0x81));
    ASSERT_TRUE(bus.writeController(8, 0x80));
    EXPECT_TRUE(bus.model->externalTrigger());
    ASSERT_TRUE(bus.out(0xA1));
    EXPECT_FALSE(bus.read(8192));
    EXPECT_EQ(bus.readController(9), 0);
    // Software trigger pulse on register 3; other writes to it trigger nothing.
    for (uint8_t v : {0xC0, 0x40, 0x00, 0x40}) ASSERT_TRUE(bus.writeController(3, v));
    EXPECT_EQ(bus.readController(9), 0);
    for (uint8_t v : {0x40, 0x60}) ASSERT_TRUE(bus.writeController(3, v));
    EXPECT_EQ(bus.readController(9), 0);
    ASSERT_TRUE(bus.writeController(3, 0x40));
    EXPECT_EQ(bus.readController(9), 1);
    TrailerDecoder d;
    auto r = bus.read(8192);
    ASSERT_TRUE(r);
    ASSERT_TRUE(d.feed(*r));
    EXPECT_EQ(d.frames.size(), 1u);
    EXPECT_EQ(bus.readController(9), 0);
    EXPECT_FALSE(bus.read(8192));
    // The shot pair is a trigger as well.
    ASSERT_TRUE(bus.out(0xA9));
    ASSERT_TRUE(bus.out(0xA8));
    EXPECT_TRUE(bus.read(8192));
    EXPECT_FALSE(bus.read(8192));
    // Back to continuous: frames flow again.
    ASSERT_TRUE(bus.writeController(8, 0x00));
    EXPECT_TRUE(bus.read(8192));
    EXPECT_TRUE(bus.read(8192));
}

TEST(BoardStream, PacedBoardsWaitForFramesAndTheLink) {
    virt::BoardConfig c = board(0x03F1, PixelFormat::Raw, 640, 480);
    c.stream.fps = 200;
    ModelBus bus(c);
    ASSERT_TRUE(bus.out(0xA1));
    ChunkDecoder d;
    for (int frame = 0; frame < 3; ++frame) {
        // Each read ends with its frame and completes only when the link has moved it.
        for (int guard = 0; guard < 10000; ++guard) {
            auto r = bus.read(524288);
            if (r) {
                ASSERT_TRUE(d.feed(*r)) << d.why();
                break;
            }
            ASSERT_EQ(bus.last.kind, virt::BulkResult::Kind::Wait);
            ASSERT_NE(bus.last.readyAt, driver::Clock::time_point::max());
            std::this_thread::sleep_until(bus.last.readyAt);
        }
    }
    ASSERT_EQ(d.frames.size(), 3u);
    EXPECT_EQ(d.frames[2].bytes, picture(c, 2));
    // A read aborted while its bytes are on the link loses them: the next read gets frame 4.
    while (bus.model->framesSent() < 4) {
        ASSERT_FALSE(bus.read(524288));
        std::this_thread::sleep_until(bus.last.readyAt);
    }
    bus.model->bulkAborted(0x81);
    ChunkDecoder next;
    for (int guard = 0; next.frames.empty() && guard < 10000; ++guard) {
        auto r = bus.read(524288);
        if (r) {
            ASSERT_TRUE(next.feed(*r)) << next.why();
            continue;
        }
        std::this_thread::sleep_until(bus.last.readyAt);
    }
    ASSERT_EQ(next.frames.size(), 1u);
    EXPECT_EQ(next.frames[0].bytes, picture(c, 4));
}

TEST(BoardStream, ReadsTooSmallForAPacketOverflow) {
    ModelBus trailer(board(0x52CB, PixelFormat::Raw, 64, 32));
    ASSERT_TRUE(trailer.out(0xA1));
    EXPECT_FALSE(trailer.read(511));
    EXPECT_EQ(trailer.last.kind, virt::BulkResult::Kind::Fail);
    ModelBus chunk(board(0x03F1, PixelFormat::Raw, 64, 32));
    ASSERT_TRUE(chunk.out(0xA1));
    EXPECT_FALSE(chunk.read(16));
    EXPECT_EQ(chunk.last.kind, virt::BulkResult::Kind::Fail);
}

// ---------------------------------------------------------------------------------------------
// Stream faults

TEST(BoardStreamFaults, ShortAndLongFrames) {
    for (uint16_t product : {0x03F1, 0x03F2}) {
        virt::BoardConfig c = board(product, PixelFormat::Raw, 64, 48);
        c.faults = {fault(BoardFault::ShortFrame, 1, 1, 100),
                    fault(BoardFault::LongFrame, 2, 2, 700)};
        ModelBus bus(c);
        ASSERT_TRUE(bus.out(0xA1));
        std::vector<DecodedFrame> frames;
        TrailerDecoder t;
        ChunkDecoder k;
        if (product == 0x03F2) {
            readFrames(bus, t, 5, 524288);
            frames = t.frames;
        } else {
            readFrames(bus, k, 5, 524288);
            frames = k.frames;
        }
        ASSERT_EQ(frames.size(), 5u);
        const Bytes p1 = picture(c, 1);
        EXPECT_EQ(frames[0].bytes, picture(c, 0));
        EXPECT_EQ(frames[1].bytes, Bytes(p1.begin(), p1.end() - 100));
        for (uint32_t n : {2u, 3u}) {
            Bytes want = picture(c, n);
            want.resize(want.size() + 700, 0);
            EXPECT_EQ(frames[n].bytes, want) << n;
        }
        EXPECT_EQ(frames[4].bytes, picture(c, 4));
    }
}

TEST(BoardStreamFaults, SkippedRepeatedAndDiscardedIndices) {
    virt::BoardConfig c = board(0x52CB, PixelFormat::Mon, 32, 32);
    c.faults = {fault(BoardFault::SkipIndex, 2), fault(BoardFault::RepeatIndex, 4),
                fault(BoardFault::Discard, 5, 2)};
    ModelBus bus(c);
    ASSERT_TRUE(bus.out(0xA1));
    TrailerDecoder d;
    readFrames(bus, d, 8, 8192);
    ASSERT_EQ(d.frames.size(), 8u);
    std::vector<uint16_t> indices;
    for (auto& f : d.frames) indices.push_back(f.index);
    EXPECT_EQ(indices, (std::vector<uint16_t>{0, 1, 3, 4, 4, 5, 6, 7}));
    for (size_t n = 0; n < 8; ++n) EXPECT_EQ(d.frames[n].discarded, n == 5 || n == 6) << n;
    EXPECT_EQ(d.frames[4].bytes, picture(c, 4));  // the picture still follows the frame number

    // Chunk framing has no index: a repeated index keeps the toggle.
    virt::BoardConfig k = board(0x03F1, PixelFormat::Mon, 32, 32);
    k.faults = {fault(BoardFault::RepeatIndex, 1)};
    ModelBus chunk(k);
    ASSERT_TRUE(chunk.out(0xA1));
    ChunkDecoder cd;
    readFrames(chunk, cd, 3, 524288);
    ASSERT_EQ(cd.frames.size(), 3u);
    EXPECT_TRUE(cd.frames[0].toggleFlipped);
    EXPECT_FALSE(cd.frames[1].toggleFlipped);
    EXPECT_TRUE(cd.frames[2].toggleFlipped);
}

TEST(BoardStreamFaults, CorruptHeaders) {
    virt::BoardConfig k = board(0x03F1, PixelFormat::Raw, 640, 480);
    k.faults = {fault(BoardFault::CorruptHeader, 1)};
    ModelBus chunk(k);
    ASSERT_TRUE(chunk.out(0xA1));
    ChunkDecoder cd;
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(cd.feed(*chunk.read(524288))) << cd.why();
    EXPECT_EQ(cd.badHeaders, 1);
    ASSERT_EQ(cd.frames.size(), 2u);  // frame 1's read is lost from its first chunk on
    EXPECT_EQ(cd.frames[1].bytes, picture(k, 2));

    // Trailer framing: a damaged trailer marker makes two frames run together.
    virt::BoardConfig t = board(0x52CB, PixelFormat::Raw, 64, 16);
    t.faults = {fault(BoardFault::CorruptHeader, 1)};
    ModelBus trailer(t);
    ASSERT_TRUE(trailer.out(0xA1));
    TrailerDecoder td;
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(td.feed(*trailer.read(8192))) << td.why();
    ASSERT_EQ(td.frames.size(), 2u);
    EXPECT_EQ(td.frames[1].index, 2);
    const Bytes p2 = picture(t, 2);
    ASSERT_EQ(td.frames[1].bytes.size(), 1024u + 512u + 1024u);  // frame 1, its trailer, frame 2
    EXPECT_TRUE(std::equal(p2.begin(), p2.end(), td.frames[1].bytes.end() - 1024));
    EXPECT_EQ(trailer.model->framesSent(), 3u);
}

TEST(BoardStreamFaults, StallsForAWhileOrUntilCleared) {
    virt::BoardConfig c = board(0x52CB, PixelFormat::Raw, 64, 16);
    virt::FaultConfig brief = fault(BoardFault::Stall, 1);
    brief.ms = 20;
    c.faults = {brief, fault(BoardFault::Stall, 3)};
    ModelBus bus(c);
    ASSERT_TRUE(bus.out(0xA1));
    EXPECT_TRUE(bus.read(8192));  // frame 0
    EXPECT_FALSE(bus.read(8192));
    ASSERT_EQ(bus.last.kind, virt::BulkResult::Kind::Wait);
    ASSERT_NE(bus.last.readyAt, driver::Clock::time_point::max());
    // Some thread libraries (mingw-w64's) wake a little early.
    while (driver::Clock::now() < bus.last.readyAt) std::this_thread::sleep_until(bus.last.readyAt);
    EXPECT_TRUE(bus.read(8192));   // frame 1 after the stall
    EXPECT_TRUE(bus.read(8192));   // frame 2
    EXPECT_FALSE(bus.read(8192));  // frame 3: for ever
    EXPECT_EQ(bus.last.readyAt, driver::Clock::time_point::max());
    EXPECT_FALSE(bus.read(8192));
    bus.model->clearFaults();
    EXPECT_TRUE(bus.read(8192));
    EXPECT_EQ(bus.model->framesSent(), 4u);
}

TEST(BoardStreamFaults, UnplugAtAFrame) {
    virt::BoardConfig c = board(0x03F1, PixelFormat::Raw, 64, 16);
    c.faults = {fault(BoardFault::Unplug, 2)};
    ModelBus bus(c);
    ASSERT_TRUE(bus.out(0xA1));
    EXPECT_TRUE(bus.read(16384));
    EXPECT_TRUE(bus.read(16384));
    EXPECT_TRUE(bus.model->present());
    EXPECT_FALSE(bus.read(16384));
    EXPECT_EQ(bus.last.kind, virt::BulkResult::Kind::Fail);
    EXPECT_FALSE(bus.model->present());
    EXPECT_FALSE(bus.in(0x80, 0, 0, 2));
    EXPECT_FALSE(bus.out(0xA2));
}

}  // namespace
}  // namespace vexo::test
