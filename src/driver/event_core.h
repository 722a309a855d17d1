// Shared state of an event, kept alive by the event and by every request that signals it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>

#include "common/mutex.h"
#include "driver/backend.h"

namespace vexo::driver {

/// Threading: all fields under `mutex`.
struct EventCore {
    Mutex mutex;
    std::condition_variable cv;
    bool signalled VEXO_GUARDED_BY(mutex) = false;
    std::weak_ptr<Pump> pump VEXO_GUARDED_BY(mutex);  ///< set while a request is in flight
    uint64_t requestId VEXO_GUARDED_BY(mutex) = 0;

    void set() VEXO_EXCLUDES(mutex) {
        {
            MutexLock lock(mutex);
            signalled = true;
        }
        cv.notify_all();
    }
};

/// The core behind an event handle; null for a null handle.
std::shared_ptr<EventCore> eventCore(Event* event);

}  // namespace vexo::driver
