// Submitting libusb transfers, their callbacks, and waiting for them in the calling thread.
#include "driver/libusb/transfer_table.h"

#include <libusb.h>

#include <algorithm>
#include <cstring>

#include "driver/libusb/driver_request.h"
#include "driver/libusb/usb_context.h"

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

}  // namespace

PendingTransfer::PendingTransfer() : transfer(libusb_alloc_transfer(0)) {}

PendingTransfer::~PendingTransfer() {
    libusb_free_transfer(transfer);
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
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) return {kErrorInvalidHandle, 0, 0};
        t->id = nextId_++;
        t->table = shared_from_this();
        inFlight_.emplace(t->id, t);
    }
    t->transfer->user_data = t.get();
    t->transfer->callback = &TransferTable::onTransferDone;
    const int r = libusb_submit_transfer(t->transfer);
    std::lock_guard<std::mutex> lock(mutex_);
    if (r != LIBUSB_SUCCESS) {
        inFlight_.erase(t->id);
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
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = inFlight_.find(t.id);
        if (it != inFlight_.end()) self = it->second;
    }
    libusb_transfer* x = t.transfer;
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
        std::lock_guard<std::mutex> lock(mutex_);
        t.done = true;
        t.outcome = outcome;
        t.bytes = bytes;
        t.completed = 1;
    }
    // From here on the caller may reuse its record and buffer: touch neither.
    if (t.completion) t.completion->complete(outcome.error, bytes);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        inFlight_.erase(t.id);
    }
    // Break the cycle table -> map -> transfer -> table.
    t.table.reset();
}

RequestOutcome TransferTable::wait(PendingTransfer& t, uint32_t* bytes) {
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
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
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = inFlight_.find(id);
        if (it == inFlight_.end() || it->second->done) return;
        t = it->second;
    }
    for (;;) {
        const bool last = Clock::now() >= deadline;
        handleEventsOnce(context_, deadline, &t->completed);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (t->done) return;
        }
        if (last) return;
    }
}

void TransferTable::cancelAndDrain(std::optional<uint8_t> endpoint) {
    for (;;) {
        std::vector<std::shared_ptr<PendingTransfer>> pipe;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (const auto& [id, t] : inFlight_)
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
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
}

size_t TransferTable::inFlight(uint8_t endpoint) {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<size_t>(std::count_if(inFlight_.begin(), inFlight_.end(), [&](const auto& e) {
        return e.second->endpoint == endpoint;
    }));
}

}  // namespace vexo::driver::lusb
