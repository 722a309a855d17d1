// The storage of the transfer records the usb layer hands to the driver (their layout and the
// request codes are the driver's wire).
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>

#include "driver/driver_wire.h"
#include "driver/pooled.h"

namespace vexo::usb {

/// The whole record of one transfer in flight: header, packet information and (buffered form)
/// data. Made by a begin operation and released by finishTransfer(); the driver writes into it
/// until the transfer completes, so it is read only after completion.
///
/// Threading: owned by one transfer; not shared.
class TransferBlock : public driver::Pooled<TransferBlock> {
  public:
    /// A zero-filled block of `size` bytes (at least the header). Records of data reads and of
    /// vendor requests fit in the block itself; only larger ones take heap storage.
    explicit TransferBlock(uint32_t size)
        : size_(size < driver::kTransferRecordSize ? driver::kTransferRecordSize : size) {
        if (size_ > kInlineBytes) heap_.reset(new uint8_t[size_]());
    }

    uint8_t* data() { return heap_ ? heap_.get() : inline_; }
    const uint8_t* data() const { return heap_ ? heap_.get() : inline_; }
    uint32_t size() const { return size_; }

    /// A copy of the header.
    driver::TransferRecord header() const {
        driver::TransferRecord h;
        std::memcpy(&h, data(), sizeof h);
        return h;
    }
    void setHeader(const driver::TransferRecord& h) { std::memcpy(data(), &h, sizeof h); }

  private:
    static constexpr uint32_t kInlineBytes = 128;

    uint32_t size_;
    uint8_t inline_[kInlineBytes] = {};
    std::unique_ptr<uint8_t[]> heap_;
};

}  // namespace vexo::usb
