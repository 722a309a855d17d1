// Frames handed downstream without a copy: a buffer's memory points into the library's frame
// slot for as long as the slot may stay lent.
//
// The library lends only its oldest queued frame and takes it back with Vexo_del, so one slot
// can be out at a time: the next frame cannot be read while that one is held. When the element
// wants the next frame and downstream still holds the lent one (a queue, a tee, appsink, a
// sink's last sample), reclaim() copies the slot's bytes into memory of the buffer's own and
// points the buffer there before the slot goes back; a buffer therefore never shows bytes of a
// later frame. A copy waits only while someone has the lent memory mapped (a map takes
// microseconds in practice; the bytes may be read meanwhile).
//
// Memory objects, their copy storage and the buffers carrying them are reused: nothing is
// allocated per frame once the pipeline holds its steady number of buffers.
//
// Threading: lend(), reclaim() and buffer() on the streaming thread; the memories' map, unmap,
// copy and release on any thread. The lender's state lives in a GstAllocator that every memory
// holds a reference to, so buffers may outlive the element.
#pragma once

#include <gst/gst.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace vexo::gst {

class SlotLender {
  public:
    SlotLender();
    ~SlotLender();
    SlotLender(const SlotLender&) = delete;
    SlotLender& operator=(const SlotLender&) = delete;

    /// A buffer (from a pool of empty buffers, made on first use) whose one memory views
    /// `bytes` bytes of the slot at `slot`; `copyBytes` is what a copy of it reserves (a JPEG
    /// frame's slot size, so that copy storage is reused across sizes). The slot counts as lent
    /// until reclaim().
    GstBuffer* lend(const uint8_t* slot, size_t bytes, size_t copyBytes);

    enum class Reclaim {
        Free,        ///< nothing was lent, or downstream let go of it
        Copied,      ///< downstream still held it: its bytes now live in the buffer's memory
        Interrupted  ///< `interrupt` was set while the memory was mapped: the slot is still lent
    };
    /// Makes the lent slot free to go back to the library. Waits while the lent memory is
    /// mapped, giving up when `interrupt` (may be null: waits until unmapped) is set.
    Reclaim reclaim(const std::atomic<bool>* interrupt);
    /// A slot is lent and not yet reclaimed.
    bool lent() const;
    /// Frames reclaim() copied since the last resetCopies().
    uint64_t copies() const;
    void resetCopies();
    /// Drops the pool of empty buffers (its buffers still out are freed as they return).
    void dropPool();

  private:
    GstAllocator* allocator_;
    GstBufferPool* pool_ = nullptr;
};

}  // namespace vexo::gst
