#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "driver/driver_service.h"
#include "usb/transfer_record.h"

namespace vexo::usb {
class BulkEndpoint;
}

namespace vexo::camera {

/// The 64 bulk reads a capture keeps queued: per read a buffer, an overlapped record with
/// its own event, and the driver record of the read in flight.
///
/// Threading: used by the capture thread only (captureImage, or getSingleFrame), and by
/// begin/end of a capture, which the caller keeps apart from it.
class TransferSet {
  public:
    static constexpr uint32_t kCount = 64;

    struct Entry {
        std::unique_ptr<uint8_t[]> buffer;
        driver::Overlapped overlapped;
        std::unique_ptr<usb::TransferBlock> record;  ///< the read in flight, if any
    };

    TransferSet() = default;
    TransferSet(const TransferSet&) = delete;
    TransferSet& operator=(const TransferSet&) = delete;
    ~TransferSet() { release(nullptr); }

    /// Allocates 64 buffers of `length` bytes filled with 0xEF, each with a new event.
    /// False (nothing kept) when memory runs out.
    bool allocate(uint32_t length);
    /// Ends the set: finishes every read still recorded on `endpoint` (which must have been
    /// aborted, so none is in flight), closes the events and frees the buffers. Safe to
    /// call on a set that holds nothing.
    void release(usb::BulkEndpoint* endpoint);

    bool allocated() const { return allocated_; }
    uint32_t length() const { return length_; }
    Entry& operator[](uint32_t i) { return entries_[i]; }

  private:
    std::array<Entry, kCount> entries_;
    uint32_t length_ = 0;
    bool allocated_ = false;
};

}  // namespace vexo::camera
