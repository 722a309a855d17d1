#include "camera/frame_ring.h"

#include <gtest/gtest.h>

#include <vector>

namespace vexo::camera {
namespace {

/* Queues @frames frames, writing each slot's record before it is published. */
void produce(FrameRing& ring, int frames) {
    for (int i = 0; i < frames; ++i) {
        ring.fillSlot().cfg.u32Size = static_cast<uint32_t>(100 + i);
        ring.advance();
    }
}

TEST(FrameRing, EmptyRingRefusesReadAndDelete) {
    FrameRing ring;
    FrameData* frame = reinterpret_cast<FrameData*>(&ring);
    EXPECT_EQ(ring.readImage(&frame), USB_CAMERA_READ_EMPTY_ERROR);
    EXPECT_EQ(frame, nullptr);
    EXPECT_EQ(ring.del(), USB_CAMERA_DEL_EMPTY_ERROR);
    EXPECT_EQ(ring.readIndex(), 0u);
    EXPECT_EQ(ring.writeIndex(), 0u);
    EXPECT_EQ(ring.available(), 0u);
    EXPECT_EQ(ring.readImage(nullptr), USB_CAMERA_READ_EMPTY_ERROR);
}

TEST(FrameRing, ReadLendsOldestUntilDeleted) {
    FrameRing ring;
    produce(ring, 2);
    FrameData* first = nullptr;
    FrameData* again = nullptr;
    ASSERT_EQ(ring.readImage(&first), USB_CAMERA_NO_ERROR);
    ASSERT_EQ(ring.readImage(&again), USB_CAMERA_NO_ERROR);
    EXPECT_EQ(first, again);
    EXPECT_EQ(first->cfg.u32Size, 100u);
    EXPECT_EQ(ring.del(), USB_CAMERA_NO_ERROR);
    FrameData* second = nullptr;
    ASSERT_EQ(ring.readImage(&second), USB_CAMERA_NO_ERROR);
    EXPECT_EQ(second->cfg.u32Size, 101u);
    EXPECT_EQ(ring.del(), USB_CAMERA_NO_ERROR);
    EXPECT_EQ(ring.del(), USB_CAMERA_DEL_EMPTY_ERROR);
}

TEST(FrameRing, IndicesWrapAndCountAcrossTheEnd) {
    FrameRing ring;
    produce(ring, 5);
    for (int i = 0; i < 5; ++i) ASSERT_EQ(ring.del(), USB_CAMERA_NO_ERROR);
    produce(ring, 1); /* readIndex 5, one frame queued */
    ASSERT_EQ(ring.readIndex(), 5u);
    ASSERT_EQ(ring.available(), 1u);
    EXPECT_EQ(ring.del(), USB_CAMERA_NO_ERROR);
    EXPECT_EQ(ring.readIndex(), 0u);

    /* readIndex 4, writeIndex 1. */
    for (int i = 0; i < 4; ++i) {
        produce(ring, 1);
        ring.del();
    }
    produce(ring, 3);
    ASSERT_EQ(ring.readIndex(), 4u);
    ASSERT_EQ(ring.writeIndex(), 1u);
    EXPECT_EQ(ring.available(), 3u);
}

TEST(FrameRing, FullRingKeepsFillSlotAndDropsNewFrames) {
    FrameRing ring;
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(ring.advance());
    EXPECT_EQ(ring.available(), 5u);
    const uint32_t fill = ring.writeIndex();
    EXPECT_FALSE(ring.advance());
    EXPECT_FALSE(ring.advance());
    EXPECT_EQ(ring.writeIndex(), fill);
    EXPECT_EQ(ring.available(), 5u);
    /* The fill slot is never one a reader holds. */
    for (uint32_t i = 0; i < 5; ++i) EXPECT_NE((ring.readIndex() + i) % FrameRing::kSlots, fill);
    ring.del();
    EXPECT_TRUE(ring.advance());
}

TEST(FrameRing, FlushKeepsFrameInProgressAndResetClearsAll) {
    FrameRing ring;
    produce(ring, 3);
    ring.setCollectedBytes(777);
    EXPECT_EQ(ring.flush(), USB_CAMERA_NO_ERROR);
    EXPECT_EQ(ring.available(), 0u);
    EXPECT_EQ(ring.writeIndex(), 3u);
    EXPECT_EQ(ring.collectedBytes(), 777u);
    produce(ring, 1);
    FrameData* frame = nullptr;
    ASSERT_EQ(ring.readImage(&frame), USB_CAMERA_NO_ERROR);
    EXPECT_EQ(frame->cfg.u32Size, 100u);

    ring.reset();
    EXPECT_EQ(ring.readIndex(), 0u);
    EXPECT_EQ(ring.writeIndex(), 0u);
    EXPECT_EQ(ring.collectedBytes(), 0u);
}

TEST(FrameRing, SlotBuffersBelongToTheirSlots) {
    FrameRing ring;
    std::vector<uint8_t> a(1024), b(512);
    ring.setSlotBuffer(0, a.data(), a.size());
    ring.setSlotBuffer(1, b.data(), b.size());
    ring.setSlotBuffer(2, nullptr, 4096);
    ring.setSlotBuffer(FrameRing::kSlots, a.data(), 1); /* no such slot: ignored */
    EXPECT_EQ(ring.slotCapacity(0), 1024u);
    EXPECT_EQ(ring.slot(1).imageData, b.data());
    EXPECT_EQ(ring.slotCapacity(2), 0u);
    EXPECT_EQ(ring.fillCapacity(), 1024u);
    ring.advance();
    EXPECT_EQ(ring.fillSlot().imageData, b.data());
    EXPECT_EQ(ring.fillCapacity(), 512u);
}

}  // namespace
}  // namespace vexo::camera
