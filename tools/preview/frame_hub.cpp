#include "preview/frame_hub.h"

namespace vexo::tools::preview {

void RawExchange::resize(size_t maxBytes) {
    for (RawSlot& slot : slots_) {
        slot.bytes.resize(maxBytes);
        slot.size = 0;
    }
    capacity_ = maxBytes;
    back_ = 0;
    middle_.store(1);
    front_ = 2;
}

void RawExchange::publish() {
    // Release: the slot's bytes are visible to the reader that swaps it out.
    const uint8_t old =
        middle_.exchange(static_cast<uint8_t>(back_ | kFresh), std::memory_order_acq_rel);
    back_ = old & 3;
    sequence_.fetch_add(1, std::memory_order_release);
    sequence_.notify_one();
}

const RawSlot* RawExchange::takeFresh() {
    if (!(middle_.load(std::memory_order_relaxed) & kFresh)) return nullptr;
    const uint8_t old = middle_.exchange(front_, std::memory_order_acq_rel);
    front_ = old & 3;
    return &slots_[front_];
}

struct FrameRef::Slot {
    EncodedFrame frame;
    std::atomic<int> refs{0};
};

FrameRef& FrameRef::operator=(FrameRef&& other) noexcept {
    if (this != &other) {
        reset();
        slot_ = other.slot_;
        other.slot_ = nullptr;
    }
    return *this;
}

const EncodedFrame& FrameRef::operator*() const {
    return slot_->frame;
}
const EncodedFrame* FrameRef::operator->() const {
    return &slot_->frame;
}

void FrameRef::reset() {
    // Release: the reader is done with the bytes before the encoder may refill the slot.
    if (slot_) slot_->refs.fetch_sub(1, std::memory_order_release);
    slot_ = nullptr;
}

FrameHub::FrameHub(unsigned readers) {
    for (unsigned i = 0; i < readers + 2; ++i) slots_.push_back(std::make_unique<FrameRef::Slot>());
}

FrameHub::~FrameHub() = default;

EncodedFrame& FrameHub::beginFrame() {
    MutexLock lock(mutex_);
    if (!filling_) {
        // References are only taken on newest_ (under the lock), so a slot that is not the
        // newest and holds no reference stays free while the encoder fills it.
        for (auto& slot : slots_) {
            if (slot.get() != newest_ && slot->refs.load(std::memory_order_acquire) == 0) {
                filling_ = slot.get();
                break;
            }
        }
    }
    return filling_->frame;
}

void FrameHub::publish() {
    {
        MutexLock lock(mutex_);
        if (!filling_) return;
        newest_ = filling_;
        filling_ = nullptr;
        ++published_;
    }
    changed_.notify_all();
}

FrameRef FrameHub::latest() const {
    MutexLock lock(mutex_);
    if (!newest_) return {};
    newest_->refs.fetch_add(1, std::memory_order_relaxed);
    return FrameRef(newest_);
}

FrameRef FrameHub::next(uint64_t after, std::chrono::milliseconds timeout) const {
    MutexLock lock(mutex_);
    const bool arrived = changed_.wait_for(lock.native(), timeout, [&]() VEXO_REQUIRES(mutex_) {
        return closed_ || (newest_ && newest_->frame.meta.number != after);
    });
    if (!arrived || closed_) return {};
    newest_->refs.fetch_add(1, std::memory_order_relaxed);
    return FrameRef(newest_);
}

void FrameHub::close() {
    {
        MutexLock lock(mutex_);
        closed_ = true;
    }
    changed_.notify_all();
}

uint64_t FrameHub::published() const {
    MutexLock lock(mutex_);
    return published_;
}

}  // namespace vexo::tools::preview
