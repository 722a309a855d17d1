// Shared state of an event, kept alive by the event and by every request that signals it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "driver/backend.h"

namespace vexo::driver {

/// Threading: all fields under `mutex`.
struct EventCore {
    std::mutex mutex;
    std::condition_variable cv;
    bool signalled = false;
    std::weak_ptr<Pump> pump;  ///< set while a request on this event is in flight
    uint64_t requestId = 0;

    void set() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            signalled = true;
        }
        cv.notify_all();
    }
};

/// The core behind an event handle; null for a null handle.
std::shared_ptr<EventCore> eventCore(Event* event);

}  // namespace vexo::driver
