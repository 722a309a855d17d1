#include "camera/transfer_set.h"

#include <cstring>
#include <new>

#include "usb/data_endpoints.h"

namespace vexo::camera {

namespace {

// Unwritten bytes of a read are recognisable in a dump.
constexpr uint8_t kFillByte = 0xEF;

}  // namespace

bool TransferSet::allocate(uint32_t length) {
    release(nullptr);
    for (Entry& entry : entries_) {
        entry.buffer.reset(new (std::nothrow) uint8_t[length]);
        if (!entry.buffer) {
            for (Entry& e : entries_) e.buffer.reset();
            return false;
        }
        std::memset(entry.buffer.get(), kFillByte, length);
    }
    for (Entry& entry : entries_) {
        entry.overlapped.status.store(0);
        entry.overlapped.bytes.store(0);
        entry.overlapped.event = driver::createEvent();
    }
    length_ = length;
    allocated_ = true;
    return true;
}

void TransferSet::release(usb::BulkEndpoint* endpoint) {
    for (Entry& entry : entries_) {
        if (entry.record) {
            if (endpoint) {
                int32_t n = 0;
                endpoint->finishTransfer(entry.buffer.get(), n, &entry.overlapped,
                                         std::move(entry.record));
            }
            entry.record.reset();
        }
        if (entry.overlapped.event) {
            driver::closeEvent(entry.overlapped.event);
            entry.overlapped.event = nullptr;
        }
        entry.buffer.reset();
    }
    length_ = 0;
    allocated_ = false;
}

}  // namespace vexo::camera
