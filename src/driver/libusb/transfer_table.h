// The libusb transfers in flight on one open board, and how they come back.
//
// Every transfer request becomes one libusb transfer whose callback writes the result where the
// caller's record wants it (status words, the data stage of a control read) and then completes
// the caller's overlapped record. The callback runs in whichever thread handles libusb events
// at that moment: a thread waiting for this request, or one waiting for another request of the
// same process.
//
// Threading: every member may be called from any thread. The table's mutex guards the map and
// each transfer's result; it is never held while calling into libusb, so a callback (which runs
// with libusb's event lock held) can always take it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "common/mutex.h"
#include "driver/backend.h"
#include "driver/libusb/transfer_status.h"

struct libusb_context;
struct libusb_transfer;

namespace vexo::driver::lusb {

class TransferTable;
class UsbCapture;

/// One request's libusb transfer, from submission until its callback has run. Made with
/// makePendingTransfer(): streaming makes and drops one per read, so their storage and their
/// libusb transfers are recycled rather than taken from the heap each time.
struct PendingTransfer {
    PendingTransfer();
    ~PendingTransfer();
    PendingTransfer(const PendingTransfer&) = delete;
    PendingTransfer& operator=(const PendingTransfer&) = delete;

    libusb_transfer* transfer = nullptr;     ///< owned; filled by the caller before submit()
    uint8_t endpoint = 0;                    ///< 0 for endpoint 0
    bool control = false;                    ///< setup packet at the front of the buffer
    std::unique_ptr<Completion> completion;  ///< overlapped requests only
    uint8_t* statusHeader = nullptr;         ///< record header receiving the status words
    uint8_t* replyData = nullptr;            ///< control IN: where the data stage goes
    uint32_t replyCapacity = 0;              ///< control: data-stage bytes the record holds
    uint32_t dataOffset = 0;                 ///< added to the bytes moved in the reported count
    std::vector<uint8_t> buffer;             ///< control: setup packet followed by the data stage

    // Set by the callback, read under the table's mutex.
    bool done = false;
    RequestOutcome outcome;
    uint32_t bytes = 0;

    // libusb's completion flag; libusb reads it in event-handling threads under its own lock.
    int completed = 0;

    uint64_t id = 0;
    std::shared_ptr<TransferTable> table;  ///< keeps the table alive while in flight
};

/// A cleared PendingTransfer with a libusb transfer (null transfer when libusb has no memory).
std::shared_ptr<PendingTransfer> makePendingTransfer();

class TransferTable : public std::enable_shared_from_this<TransferTable> {
  public:
    static std::shared_ptr<TransferTable> create(libusb_context* context);
    ~TransferTable();

    /// Submits `transfer`. On success the request is in flight (and, for overlapped requests,
    /// waiters on its event drive it); on refusal nothing stays behind and the outcome says why.
    RequestOutcome submit(const std::shared_ptr<PendingTransfer>& transfer) VEXO_EXCLUDES(mutex_);

    /// Handles events in the calling thread until `transfer` is back; returns its outcome and
    /// byte count.
    RequestOutcome wait(PendingTransfer& transfer, uint32_t* bytes) VEXO_EXCLUDES(mutex_);

    /// Cancels every transfer on `endpoint` (all endpoints when none) and handles events until
    /// all of them have come back.
    void cancelAndDrain(std::optional<uint8_t> endpoint) VEXO_EXCLUDES(mutex_);

    /// Refuses every later submit (with ERROR_INVALID_HANDLE).
    void close() VEXO_EXCLUDES(mutex_);

    /// Transfers in flight on `endpoint`.
    size_t inFlight(uint8_t endpoint) VEXO_EXCLUDES(mutex_);

    /// The pump waiters on this table's events run.
    std::shared_ptr<Pump> pump() { return pump_; }

    /// Drives request `id` in the calling thread until it is back or `deadline` passes.
    void drive(uint64_t id, Clock::time_point deadline) VEXO_EXCLUDES(mutex_);

    /// Writes every transfer of this table to `capture` as the device at bus/address; called
    /// once, before the first submit.
    void setCapture(UsbCapture* capture, uint16_t bus, uint8_t address) {
        capture_ = capture;
        captureBus_ = bus;
        captureAddress_ = address;
    }

  private:
    explicit TransferTable(libusb_context* context);
    static void onTransferDone(libusb_transfer* transfer);
    void finish(PendingTransfer& transfer) VEXO_EXCLUDES(mutex_);

    libusb_context* context_;
    std::shared_ptr<Pump> pump_;
    UsbCapture* capture_ = nullptr;  ///< null unless VEXO_USB_CAPTURE is set
    uint16_t captureBus_ = 0;
    uint8_t captureAddress_ = 0;

    Mutex mutex_;
    std::shared_ptr<PendingTransfer> findLocked(uint64_t id) const VEXO_REQUIRES(mutex_);
    void eraseLocked(uint64_t id) VEXO_REQUIRES(mutex_);

    /// A handful of entries (64 reads and a few control requests); kept in a vector whose
    /// room is reused, so that submitting allocates nothing once streaming runs.
    std::vector<std::shared_ptr<PendingTransfer>> inFlight_ VEXO_GUARDED_BY(mutex_);
    uint64_t nextId_ VEXO_GUARDED_BY(mutex_) = 1;
    bool closed_ VEXO_GUARDED_BY(mutex_) = false;
};

}  // namespace vexo::driver::lusb
