#include "camera/frame_ring.h"

#include <algorithm>
#include <cstdint>
#include <utility>

namespace vexo::camera {

namespace {

constexpr uint32_t next(uint32_t index) {
    return index + 1 == FrameRing::kSlots ? 0 : index + 1;
}

}  // namespace

FrameRing::FrameRing() : slots_{}, records_{} {}

void FrameRing::startConfiguration() {
    reset();
    const uint32_t next = bank() ^ 1;
    for (uint32_t slot = 0; slot < kSlots; ++slot) {
        slots_[slot].retired.reset();
        records_[next][slot] = FrameData{};
        records_[next][slot].imageData = slots_[slot].owner.get();
    }
    bank_.store(next, std::memory_order_relaxed);
}

void FrameRing::replaceSlotBuffer(uint32_t slot, std::shared_ptr<uint8_t[]> buffer,
                                  size_t capacity) {
    if (slot >= kSlots) return;
    FrameSlot& s = slots_[slot];
    // Frame sizes are 32-bit; a larger buffer could never be filled past that.
    s.capacity = buffer == nullptr ? 0 : std::min<size_t>(capacity, UINT32_MAX);
    records_[bank()][slot].imageData = buffer.get();
    s.retired = std::exchange(s.owner, std::move(buffer));
}

void FrameRing::setSlotBuffer(uint32_t slot, uint8_t* data, size_t capacity) {
    // A share that owns nothing: the caller keeps the buffer.
    replaceSlotBuffer(slot, std::shared_ptr<uint8_t[]>(std::shared_ptr<uint8_t[]>(), data),
                      capacity);
}

void FrameRing::releaseBuffers() {
    for (auto& bank : records_)
        for (FrameData& record : bank) record.imageData = nullptr;
    for (FrameSlot& s : slots_) {
        s.capacity = 0;
        s.owner.reset();
        s.retired.reset();
    }
}

size_t FrameRing::slotCapacity(uint32_t slot) const {
    return slot < kSlots ? slots_[slot].capacity : 0;
}

const FrameSlot* FrameRing::slotOf(const FrameData* record) const {
    for (const auto& bank : records_)
        for (uint32_t slot = 0; slot < kSlots; ++slot)
            if (&bank[slot] == record) return &slots_[slot];
    return nullptr;
}

uint32_t FrameRing::readImage(FrameData** out) {
    const uint32_t r = readIndex_.load(std::memory_order_relaxed);
    const uint32_t w = writeIndex_.load(std::memory_order_acquire);
    if (r == w) {
        if (out) *out = nullptr;
        return USB_CAMERA_READ_EMPTY_ERROR;
    }
    if (out) *out = &records_[bank()][r];
    return USB_CAMERA_NO_ERROR;
}

uint32_t FrameRing::del() {
    const uint32_t r = readIndex_.load(std::memory_order_relaxed);
    const uint32_t w = writeIndex_.load(std::memory_order_acquire);
    if (r == w) return USB_CAMERA_DEL_EMPTY_ERROR;
    readIndex_.store(next(r), std::memory_order_release);
    return USB_CAMERA_NO_ERROR;
}

uint32_t FrameRing::flush() {
    readIndex_.store(writeIndex_.load(std::memory_order_acquire), std::memory_order_release);
    return USB_CAMERA_NO_ERROR;
}

uint32_t FrameRing::available() const {
    const uint32_t r = readIndex_.load(std::memory_order_acquire);
    const uint32_t w = writeIndex_.load(std::memory_order_acquire);
    return w >= r ? w - r : w + kSlots - r;
}

void FrameRing::reset() {
    readIndex_.store(0, std::memory_order_release);
    writeIndex_.store(0, std::memory_order_release);
    collectedBytes_.store(0, std::memory_order_relaxed);
}

FrameData& FrameRing::fillSlot() {
    return records_[bank()][writeIndex_.load(std::memory_order_relaxed)];
}

size_t FrameRing::fillCapacity() const {
    return slots_[writeIndex_.load(std::memory_order_relaxed)].capacity;
}

bool FrameRing::advance() {
    const uint32_t w = writeIndex_.load(std::memory_order_relaxed);
    // Acquire pairs with the reader's release of readIndex: its reads of the slot it
    // handed back are finished before the producer may refill that slot.
    const uint32_t r = readIndex_.load(std::memory_order_acquire);
    if (next(w) == r) return false;
    writeIndex_.store(next(w), std::memory_order_release);
    return true;
}

}  // namespace vexo::camera
