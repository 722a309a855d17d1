#pragma once

#include <vexo/camera.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace vexo::camera {

/// One slot's buffer: the capacity and a share of the buffer's ownership (a share that owns
/// nothing for a buffer the caller lends the ring), so a reader may take a share that outlives
/// the slot's hold. A replaced buffer stays retired in its slot until the next replacement or
/// release, for a reader that still holds a frame of the previous configuration.
struct FrameSlot {
    size_t capacity = 0;
    std::shared_ptr<uint8_t[]> owner;
    std::shared_ptr<uint8_t[]> retired;
};

/// The frame queue: a ring of six FrameData slots, filled by the capture thread and lent
/// to one reader thread.
///
/// The records come in two banks, one per configuration: a reconfiguration moves the ring to
/// the other bank, so the record a reader holds from before keeps its size, its configuration
/// and its buffer (retired, see FrameSlot) while the producer fills the new bank. It is
/// rewritten only by the reconfiguration after next, which also drops its retired buffer.
///
/// Slot writeIndex is always the one being filled, so at most five frames wait. A frame
/// completed while five are queued stays in the fill slot and is overwritten by the next
/// one: it is lost to readers without an error.
///
/// Threading: one producer (the frame assembly, on the thread inside captureImage or
/// getSingleFrame) and one consumer (readImage, del, flush, available). The producer
/// writes only slot writeIndex and publishes it by a release store of writeIndex; the
/// consumer hands a slot back by a release store of readIndex, so the producer never
/// refills a slot that is still being read. The buffer calls belong to configuration and
/// must not run while the producer assembles (see beginReconfiguration()). reset() (shot)
/// is not ordered against a running producer: the ring stays memory-safe, but a frame in
/// progress at that moment may land in either state.
class FrameRing {
  public:
    static constexpr uint32_t kSlots = 6;

    FrameRing();
    FrameRing(const FrameRing&) = delete;
    FrameRing& operator=(const FrameRing&) = delete;

    /// Reconfiguration: empties the queue (reset()) and moves to the other bank of records,
    /// each pointing at its slot's present buffer; the records of the bank left stay as they
    /// are. Drops the buffers retired by the reconfiguration before (no record points to them
    /// any longer).
    void startConfiguration();
    /// Gives slot `slot` the buffer `buffer` of `capacity` bytes and a share of its ownership
    /// (null takes the buffer away); the slot's previous buffer becomes its retired one.
    /// Nothing is ever written past `capacity`.
    void replaceSlotBuffer(uint32_t slot, std::shared_ptr<uint8_t[]> buffer, size_t capacity);
    /// The same for a buffer `data` the caller keeps owning (nullptr takes the buffer away);
    /// it must outlive its use by the ring.
    void setSlotBuffer(uint32_t slot, uint8_t* data, size_t capacity);
    /// Drops every buffer share, retired ones included.
    void releaseBuffers();
    /// Capacity in bytes of slot `slot`'s buffer.
    size_t slotCapacity(uint32_t slot) const;
    /// The record of slot `slot` (0..5) in the bank in use, for inspection by the camera.
    const FrameData& slot(uint32_t slot) const { return records_[bank()][slot % kSlots]; }
    /// Slot `slot` (0..5) with its buffer and owner.
    const FrameSlot& slotAt(uint32_t slot) const { return slots_[slot % kSlots]; }
    /// The slot whose record `record` is (in either bank), or null for a record of no slot.
    const FrameSlot* slotOf(const FrameData* record) const;

    /// Consumer: lends the oldest queued frame through `out` (0), or sets it to null and
    /// returns USB_CAMERA_READ_EMPTY_ERROR. The frame stays queued.
    uint32_t readImage(FrameData** out);
    /// Consumer: releases the oldest queued frame (0), or USB_CAMERA_DEL_EMPTY_ERROR.
    uint32_t del();
    /// Consumer: drops every queued frame; the frame in progress is kept. Always 0.
    uint32_t flush();
    /// Number of queued frames, 0 to 5.
    uint32_t available() const;

    /// Shot and reconfiguration: both indices and the bytes collected back to 0.
    void reset();

    /// Producer: the record of the slot being filled.
    FrameData& fillSlot();
    /// Producer: capacity of the buffer of the slot being filled.
    size_t fillCapacity() const;
    /// Producer: queues the filled slot and moves on. Returns false when the ring is full;
    /// the frame then stays in the fill slot and is lost to readers.
    bool advance();

    /// Bytes of the frame in progress already stored in the fill slot.
    uint32_t collectedBytes() const { return collectedBytes_.load(std::memory_order_relaxed); }
    void setCollectedBytes(uint32_t bytes) {
        collectedBytes_.store(bytes, std::memory_order_relaxed);
    }

    uint32_t readIndex() const { return readIndex_.load(std::memory_order_acquire); }
    uint32_t writeIndex() const { return writeIndex_.load(std::memory_order_acquire); }

  private:
    uint32_t bank() const { return bank_.load(std::memory_order_relaxed); }

    FrameSlot slots_[kSlots];
    FrameData records_[2][kSlots];
    /// The bank being filled and lent; changed only by startConfiguration(), while the
    /// producer is held off.
    std::atomic<uint32_t> bank_{0};

    /// Each index is written by one side only; keeping them on separate cache lines
    /// stops the two threads from bouncing one line on every frame.
    alignas(64) std::atomic<uint32_t> readIndex_{0};
    alignas(64) std::atomic<uint32_t> writeIndex_{0};
    /// Written by the producer and by reset() (shot, on any thread).
    std::atomic<uint32_t> collectedBytes_{0};
};

}  // namespace vexo::camera
