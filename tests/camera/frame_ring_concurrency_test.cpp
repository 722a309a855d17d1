#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "camera/frame_assembly.h"
#include "camera/frame_length.h"
#include "camera/support/assembly_harness.h"
#include "camera/support/stream_builder.h"

namespace vexo::camera::test {
namespace {

constexpr uint32_t kFrames = 400;

/* Frame @n: its number in the first four bytes, then content derived from it. */
Bytes numberedFrame(uint32_t n, size_t size) {
    Bytes f = patternBytes(size, n + 1);
    std::memcpy(f.data(), &n, sizeof(n));
    return f;
}

/* Reads frames while @producing runs, checking every byte of each one against the frame
 * its number names; returns how many it saw. */
uint32_t consume(FrameRing& ring, const std::atomic<bool>& producing, size_t size) {
    uint32_t seen = 0;
    int64_t last = -1;
    for (;;) {
        const bool more = producing.load(std::memory_order_acquire);
        FrameData* frame = nullptr;
        if (ring.readImage(&frame) != USB_CAMERA_NO_ERROR) {
            if (!more) break;
            std::this_thread::yield();
            continue;
        }
        EXPECT_EQ(frame->cfg.u32Size, size);
        uint32_t n = 0;
        std::memcpy(&n, frame->imageData, sizeof(n));
        EXPECT_GT(static_cast<int64_t>(n), last);
        last = n;
        const Bytes want = numberedFrame(n, size);
        EXPECT_EQ(std::memcmp(frame->imageData, want.data(), size), 0) << "frame " << n;
        EXPECT_EQ(ring.del(), USB_CAMERA_NO_ERROR);
        ++seen;
    }
    return seen;
}

TEST(FrameRingConcurrency, ReaderSeesWholeTrailerFramesWhileCaptureAssembles) {
    constexpr size_t kSize = 3000;
    AssemblyHarness h(makeConfig(FORMAT_MODE_RAW, 100, 30));
    TrailerStreamBuilder s;
    for (uint32_t n = 0; n < kFrames; ++n)
        s.frame(numberedFrame(n, kSize), Trailer().index(static_cast<uint16_t>(n)));
    const auto transfers = splitTransfers(s.bytes(), 8192);

    std::atomic<bool> producing{true};
    uint32_t completed = 0;
    std::thread producer([&] {
        for (const Bytes& t : transfers) {
            const uint32_t r = h.trailer(t);
            EXPECT_LT(r, 256u);
            completed += r;
            std::this_thread::yield();
        }
        producing.store(false, std::memory_order_release);
    });
    const uint32_t seen = consume(h.ring, producing, kSize);
    producer.join();
    EXPECT_EQ(completed, kFrames);
    EXPECT_GT(seen, 0u);
    EXPECT_LE(seen, kFrames);
}

TEST(FrameRingConcurrency, ReaderSeesWholeChunkFramesWhileCaptureAssembles) {
    constexpr size_t kSize = 40000;
    AssemblyHarness h(makeConfig(FORMAT_MODE_RAW, 200, 100, 2));
    ChunkStreamBuilder s;
    for (uint32_t n = 0; n < kFrames / 4; ++n) s.frame(numberedFrame(n, kSize), n);
    const auto transfers = s.transfers(32768);

    std::atomic<bool> producing{true};
    std::thread producer([&] {
        for (const Bytes& t : transfers) {
            EXPECT_LT(h.chunks(t), 256u);
            std::this_thread::yield();
        }
        producing.store(false, std::memory_order_release);
    });
    EXPECT_GT(consume(h.ring, producing, kSize), 0u);
    producer.join();
}

TEST(FrameRingConcurrency, ReconfigurationWaitsForTheAssemblyCall) {
    AssemblyHarness h(makeConfig(FORMAT_MODE_RAW, 100, 30));
    TrailerStreamBuilder s;
    for (uint16_t n = 0; n < 20; ++n) s.frame(numberedFrame(n, 3000), Trailer().index(n));
    const auto transfers = splitTransfers(s.bytes(), 4096);

    std::atomic<bool> running{true};
    std::thread producer([&] {
        while (running.load(std::memory_order_relaxed)) {
            for (const Bytes& t : transfers) h.trailer(t);
        }
    });

    /* Swaps every buffer and the configuration while capture runs, as a configuration
     * change does; the old buffers are released at once. */
    std::vector<std::vector<uint8_t>> buffers;
    for (int round = 0; round < 50; ++round) {
        beginReconfiguration(h.state);
        const uint32_t width = round % 2 ? 100 : 50;
        h.state.config = makeConfig(FORMAT_MODE_RAW, width, 30);
        h.state.frameSize = frameSizeFor(h.state.config, 0);
        buffers.assign(FrameRing::kSlots, std::vector<uint8_t>(frameBufferSize(h.state.frameSize)));
        for (uint32_t i = 0; i < FrameRing::kSlots; ++i)
            h.ring.setSlotBuffer(i, buffers[i].data(), buffers[i].size());
        h.ring.reset();
        h.state.forceRead = round % 3 == 0;
        endReconfiguration(h.state);
        h.ring.flush();
        std::this_thread::yield();
    }
    running = false;
    producer.join();
}

}  // namespace
}  // namespace vexo::camera::test
