// Auto-reset events whose waits drive the requests they belong to.
#include <chrono>
#include <vector>

#include "driver/backend.h"
#include "driver/driver_service.h"
#include "driver/event_core.h"
#include "driver/pooled.h"

namespace vexo::driver {

class Event {
  public:
    std::shared_ptr<EventCore> core = std::make_shared<EventCore>();
};

std::shared_ptr<EventCore> eventCore(Event* event) {
    return event ? event->core : nullptr;
}

Clock::time_point deadlineAfter(uint32_t milliseconds) {
    if (milliseconds == kInfinite) return Clock::time_point::max();
    return Clock::now() + std::chrono::milliseconds(milliseconds);
}

namespace {

#ifndef VEXO_POOLED_USES_HEAP
// Events that no request refers to any more, kept for the next createEvent(): a synchronous
// transfer makes and drops one per request, and the capture loop's clock exchange sends two
// requests a second.
struct EventPool {
    static constexpr size_t kMaxFree = 256;
    Mutex lock;
    std::vector<Event*> free VEXO_GUARDED_BY(lock);

    EventPool() { free.reserve(kMaxFree); }
    ~EventPool() {
        for (Event* event : free) delete event;
    }
};

EventPool& eventPool() {
    static EventPool pool;
    return pool;
}
#endif

}  // namespace

Event* createEvent() {
#ifndef VEXO_POOLED_USES_HEAP
    EventPool& pool = eventPool();
    MutexLock guard(pool.lock);
    if (!pool.free.empty()) {
        Event* event = pool.free.back();
        pool.free.pop_back();
        return event;
    }
#endif
    return new Event;
}

bool setEvent(Event* event) {
    if (!event) {
        setLastError(kErrorInvalidHandle);
        return false;
    }
    event->core->set();
    return true;
}

bool resetEvent(Event* event) {
    if (!event) {
        setLastError(kErrorInvalidHandle);
        return false;
    }
    MutexLock lock(event->core->mutex);
    event->core->signalled = false;
    return true;
}

void closeEvent(Event* event) {
    if (!event) return;
#ifndef VEXO_POOLED_USES_HEAP
    // Only an event whose core no request still holds can start afresh.
    if (event->core.use_count() == 1) {
        {
            MutexLock lock(event->core->mutex);
            event->core->signalled = false;
            event->core->pump.reset();
            event->core->requestId = 0;
        }
        EventPool& pool = eventPool();
        MutexLock guard(pool.lock);
        if (pool.free.size() < EventPool::kMaxFree) {
            pool.free.push_back(event);
            return;
        }
    }
#endif
    delete event;
}

uint32_t waitForEvent(Event* event, uint32_t milliseconds) {
    if (!event) {
        setLastError(kErrorInvalidHandle);
        return kWaitFailed;
    }
    EventCore& core = *event->core;
    const Clock::time_point deadline = deadlineAfter(milliseconds);
    for (;;) {
        std::shared_ptr<Pump> pump;
        uint64_t requestId = 0;
        {
            MutexLock lock(core.mutex);
            if (core.signalled) {
                core.signalled = false;
                return kWaitObject0;
            }
            pump = core.pump.lock();
            requestId = core.requestId;
            if (!pump) {
                // Nothing to drive: sleep until signalled, or until a request takes the event.
                waitUntil(core.cv, lock.native(), deadline, [&]() VEXO_REQUIRES(core.mutex) {
                    return core.signalled || !core.pump.expired();
                });
                if (core.signalled) {
                    core.signalled = false;
                    return kWaitObject0;
                }
                if (Clock::now() >= deadline) return kWaitTimeout;
                continue;
            }
        }
        // The pump may sleep on its device; it returns when the request is done, the device
        // changed, or the deadline passed, and the event is checked again above.
        const bool expired = Clock::now() >= deadline;
        pump->pump(requestId, deadline);
        if (expired) {
            MutexLock lock(core.mutex);
            if (core.signalled) {
                core.signalled = false;
                return kWaitObject0;
            }
            return kWaitTimeout;
        }
    }
}

Completion::Completion(Overlapped* overlapped)
    : overlapped_(overlapped), core_(eventCore(overlapped->event)) {
    overlapped_->status.store(kErrorIoPending, std::memory_order_relaxed);
    overlapped_->bytes.store(0, std::memory_order_relaxed);
    MutexLock lock(core_->mutex);
    core_->signalled = false;
    core_->pump.reset();
}

Completion::~Completion() = default;

void Completion::attachPump(const std::shared_ptr<Pump>& pump, uint64_t requestId) {
    {
        MutexLock lock(core_->mutex);
        core_->pump = pump;
        core_->requestId = requestId;
        requestId_ = requestId;
    }
    core_->cv.notify_all();
}

void Completion::complete(uint32_t error, uint32_t bytes) {
    overlapped_->bytes.store(bytes, std::memory_order_relaxed);
    overlapped_->status.store(error, std::memory_order_release);
    {
        MutexLock lock(core_->mutex);
        core_->signalled = true;
        // A later request may have taken the event already; leave its pump alone.
        if (core_->requestId == requestId_) core_->pump.reset();
    }
    core_->cv.notify_all();
}

}  // namespace vexo::driver
