// Submitting libusb transfers, their callbacks, and waiting for them in the calling thread.
#include "driver/libusb/transfer_table.h"

#include <libusb.h>

#include <algorithm>
#include <cstring>

#include "driver/driver_wire.h"
#include "driver/libusb/usb_capture.h"
#include "driver/libusb/usb_context.h"
#include "driver/pooled.h"

namespace vexo::driver::lusb {

namespace {

// How long one round of an abort waits for events before cancelling stragglers again. A
// transfer submitted while the abort began is caught by the next round.
constexpr auto kDrainRound = std::chrono::milliseconds(100);

// Waiters on an event of this table drive its requests through it. Holds the table weakly: a
// closed device's table goes away once its last transfer is back.
class TablePump : public Pump {
  public:
    explicit TablePump(std::weak_ptr<TransferTable> table) : table_(std::move(table)) {}

    void pump(uint64_t requestId, Clock::time_point deadline) override {
        if (auto table = table_.lock()) table->drive(requestId, deadline);
    }

  private:
    std::weak_ptr<TransferTable> table_;
};

// Recycled libusb transfers: libusb_alloc_transfer() allocates, and a transfer that is back may
// be filled and submitted again. At most 256 are kept; the rest go back to libusb.
struct SpareTransfers {
    SpareTransfers() { list.reserve(256); }
    Mutex mutex;
    std::vector<libusb_transfer*> list VEXO_GUARDED_BY(mutex);
};

SpareTransfers& spareTransfers() {
    static SpareTransfers spare;
    return spare;
}

libusb_transfer* takeTransfer() {
    SpareTransfers& spare = spareTransfers();
    {
        MutexLock lock(spare.mutex);
        if (!spare.list.empty()) {
            libusb_transfer* t = spare.list.back();
            spare.list.pop_back();
            return t;
        }
    }
    return libusb_alloc_transfer(0);
}

void giveBackTransfer(libusb_transfer* t) {
    if (!t) return;
#ifdef VEXO_POOLED_USES_HEAP
    // Sanitizer builds free each transfer, so a use after release is caught (and the leak
    // checker, which does not follow libusb's pointer into its allocation, stays quiet).
    libusb_free_transfer(t);
    return;
#endif
    SpareTransfers& spare = spareTransfers();
    MutexLock lock(spare.mutex);
    if (spare.list.size() < spare.list.capacity()) {
        spare.list.push_back(t);
        return;
    }
    libusb_free_transfer(t);
}

// Storage for the shared PendingTransfer blocks (object and control block in one), recycled
// through a free list. Sanitizer builds use the plain heap, so a use after release is caught.
template <typename T>
struct RecyclingAllocator {
    using value_type = T;
    RecyclingAllocator() = default;
    template <typename U>
    RecyclingAllocator(const RecyclingAllocator<U>&) {}

    T* allocate(std::size_t n) {
#ifndef VEXO_POOLED_USES_HEAP
        if (n == 1) {
            MutexLock lock(spare().mutex);
            if (!spare().blocks.empty()) {
                void* p = spare().blocks.back();
                spare().blocks.pop_back();
                return static_cast<T*>(p);
            }
        }
#endif
        return static_cast<T*>(::operator new(n * sizeof(T)));
    }
    void deallocate(T* p, [[maybe_unused]] std::size_t n) noexcept {
#ifndef VEXO_POOLED_USES_HEAP
        if (n == 1) {
            MutexLock lock(spare().mutex);
            // Room for the pointer was made when the block was first handed out.
            if (spare().blocks.size() < spare().blocks.capacity()) {
                spare().blocks.push_back(p);
                return;
            }
        }
#endif
        ::operator delete(p);
    }
    template <typename U>
    bool operator==(const RecyclingAllocator<U>&) const {
        return true;
    }

  private:
    struct Spare {
        Spare() { blocks.reserve(256); }
        Mutex mutex;
        std::vector<void*> blocks VEXO_GUARDED_BY(mutex);
    };
    static Spare& spare() {
        static Spare s;
        return s;
    }
};

}  // namespace

PendingTransfer::PendingTransfer() : transfer(takeTransfer()) {}

PendingTransfer::~PendingTransfer() {
    giveBackTransfer(transfer);
}

std::shared_ptr<PendingTransfer> makePendingTransfer() {
    return std::allocate_shared<PendingTransfer>(RecyclingAllocator<PendingTransfer>());
}

TransferTable::TransferTable(libusb_context* context) : context_(context) {}

std::shared_ptr<TransferTable> TransferTable::create(libusb_context* context) {
    std::shared_ptr<TransferTable> table(new TransferTable(context));
    table->pump_ = std::make_shared<TablePump>(table);
    return table;
}

TransferTable::~TransferTable() = default;

RequestOutcome TransferTable::submit(const std::shared_ptr<PendingTransfer>& t) {
    {
        MutexLock lock(mutex_);
        if (closed_) return {kErrorInvalidHandle, 0, 0};
        t->id = nextId_++;
        t->table = shared_from_this();
        inFlight_.push_back(t);
    }
    t->transfer->user_data = t.get();
    t->transfer->callback = &TransferTable::onTransferDone;
    if (capture_) capture_->submitted(t->transfer, captureBus_, captureAddress_);
    const int r = libusb_submit_transfer(t->transfer);
    if (r != LIBUSB_SUCCESS && capture_)
        capture_->refused(t->transfer, captureBus_, captureAddress_, r);
    MutexLock lock(mutex_);
    if (r != LIBUSB_SUCCESS) {
        eraseLocked(t->id);
        t->table.reset();
        return outcomeOfError(r);
    }
    // Attached only now, and only while the transfer is still out: a refused request must leave
    // its event without a pump, and a request already back has signalled its event.
    if (t->completion && !t->done) t->completion->attachPump(pump_, t->id);
    return {};
}

void TransferTable::onTransferDone(libusb_transfer* transfer) {
    auto* t = static_cast<PendingTransfer*>(transfer->user_data);
    std::shared_ptr<TransferTable> table = t->table;
    table->finish(*t);
}

void TransferTable::finish(PendingTransfer& t) {
    // Keep the transfer alive through this function: the map holds the last other reference.
    std::shared_ptr<PendingTransfer> self;
    {
        MutexLock lock(mutex_);
        self = findLocked(t.id);
    }
    libusb_transfer* x = t.transfer;
    if (capture_) capture_->completed(x, captureBus_, captureAddress_);
    RequestOutcome outcome = outcomeOfTransfer(x->status);
    uint32_t moved = x->actual_length > 0 ? static_cast<uint32_t>(x->actual_length) : 0;
    if (t.control) {
        // A stalled control request completes; the caller reads the stall from the status words.
        if (x->status == LIBUSB_TRANSFER_STALL) outcome.error = kErrorSuccess;
        moved = std::min(moved, t.replyCapacity);
        if (outcome.ok() && t.replyData && moved)
            std::memcpy(t.replyData, libusb_control_transfer_get_data(x), moved);
        if (x->status != LIBUSB_TRANSFER_COMPLETED) moved = 0;
    }
    const uint32_t bytes = outcome.ok() ? t.dataOffset + moved : 0;
    if (t.statusHeader) writeStatusWords(t.statusHeader, outcome.ntStatus, outcome.usbdStatus);
    {
        MutexLock lock(mutex_);
        t.done = true;
        t.outcome = outcome;
        t.bytes = bytes;
        t.completed = 1;
    }
    // From here on the caller may reuse its record and buffer: touch neither.
    if (t.completion) t.completion->complete(outcome.error, bytes);
    {
        MutexLock lock(mutex_);
        eraseLocked(t.id);
    }
    // Break the cycle table -> map -> transfer -> table.
    t.table.reset();
}

RequestOutcome TransferTable::wait(PendingTransfer& t, uint32_t* bytes) {
    for (;;) {
        {
            MutexLock lock(mutex_);
            if (t.done) {
                *bytes = t.bytes;
                return t.outcome;
            }
        }
        handleEventsOnce(context_, Clock::time_point::max(), &t.completed);
    }
}

void TransferTable::drive(uint64_t id, Clock::time_point deadline) {
    std::shared_ptr<PendingTransfer> t;
    {
        MutexLock lock(mutex_);
        t = findLocked(id);
        if (!t || t->done) return;
    }
    for (;;) {
        const bool last = Clock::now() >= deadline;
        handleEventsOnce(context_, deadline, &t->completed);
        {
            MutexLock lock(mutex_);
            if (t->done) return;
        }
        if (last) return;
    }
}

void TransferTable::cancelAndDrain(std::optional<uint8_t> endpoint) {
    for (;;) {
        std::vector<std::shared_ptr<PendingTransfer>> pipe;
        {
            MutexLock lock(mutex_);
            for (const auto& t : inFlight_)
                if (!endpoint || t->endpoint == *endpoint) pipe.push_back(t);
        }
        if (pipe.empty()) return;
        // libusb ignores a second cancel of the same transfer, so each round cancels whatever is
        // still out, including a transfer that was being submitted when the abort began.
        for (const auto& t : pipe) libusb_cancel_transfer(t->transfer);
        int nothing = 0;
        handleEventsOnce(context_, Clock::now() + kDrainRound, &nothing);
    }
}

void TransferTable::close() {
    MutexLock lock(mutex_);
    closed_ = true;
}

size_t TransferTable::inFlight(uint8_t endpoint) {
    MutexLock lock(mutex_);
    return static_cast<size_t>(
        std::count_if(inFlight_.begin(), inFlight_.end(),
                      [&](const auto& t) { return t->endpoint == endpoint; }));
}

std::shared_ptr<PendingTransfer> TransferTable::findLocked(uint64_t id) const {
    for (const auto& t : inFlight_)
        if (t->id == id) return t;
    return nullptr;
}

void TransferTable::eraseLocked(uint64_t id) {
    for (size_t i = 0; i < inFlight_.size(); ++i) {
        if (inFlight_[i]->id != id) continue;
        inFlight_[i] = std::move(inFlight_.back());
        inFlight_.pop_back();
        return;
    }
}

}  // namespace vexo::driver::lusb
