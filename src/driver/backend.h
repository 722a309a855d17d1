// What a backend implements to serve devices through the driver service, and the hooks the
// service gives backends for completing overlapped requests.
//
// A backend lists the device paths it serves for an interface class and opens a path into a
// DeviceObject, one per handle. The service owns the handle table and the Windows-shaped
// argument handling; the device object only serves requests.
//
// Completion: a request that cannot finish at once is kept by the backend together with a
// Completion (taken from the caller's Overlapped record). The backend attaches a Pump to the
// request's event, so that a thread waiting on the event drives the request in its own stack.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "driver/driver_service.h"
#include "driver/pooled.h"

namespace vexo::driver {

using Clock = std::chrono::steady_clock;

/// Drives the requests of a backend in the waiting thread.
///
/// Threading: called from any waiting thread, with no service lock held.
class Pump {
  public:
    virtual ~Pump() = default;

    /// Works on request `requestId` until it has completed, `deadline` has passed, or the device
    /// changed while sleeping; returns without sleeping when the deadline has passed (one poll).
    /// The caller re-checks its event and calls again as needed.
    virtual void pump(uint64_t requestId, Clock::time_point deadline) = 0;
};

/// The caller's side of one overlapped request: its Overlapped record and event.
///
/// Threading: complete() may run in any thread; a request completes exactly once.
class Completion : public Pooled<Completion> {
  public:
    /// Binds to the caller's record: status becomes pending and the event is reset.
    explicit Completion(Overlapped* overlapped);
    ~Completion();
    Completion(const Completion&) = delete;
    Completion& operator=(const Completion&) = delete;

    /// Lets waiters on the event drive request `requestId` through `pump`.
    void attachPump(const std::shared_ptr<Pump>& pump, uint64_t requestId);
    /// Writes the result into the caller's record and signals its event.
    void complete(uint32_t error, uint32_t bytes);

  private:
    Overlapped* overlapped_;
    std::shared_ptr<struct EventCore> core_;
    uint64_t requestId_ = 0;
};

/// The per-handle object of a backend.
///
/// Threading: ioControl() may be called from several threads at once; the device serialises
/// what it must.
class DeviceObject {
  public:
    virtual ~DeviceObject() = default;

    /// Serves one request. The service has checked the arguments' shape (null buffers come with
    /// length 0). Without `completion` the request must be finished before returning: true with
    /// *bytesReturned, or false with *error. With `completion`: true (and *bytesReturned) when
    /// done at once, false with *error = kErrorIoPending once the backend keeps `completion`
    /// for later, or false with another error when refused (completion untouched).
    virtual bool ioControl(uint32_t code, void* in, uint32_t inLength, void* out,
                           uint32_t outLength, uint32_t* bytesReturned,
                           std::unique_ptr<Completion>& completion, uint32_t* error) = 0;

    /// The handle is being closed: cancel its requests in flight (995). False with *error for a
    /// failed close; the handle is released either way.
    virtual bool close(uint32_t* error) = 0;
};

/// A source of devices.
///
/// Threading: enumerate() and open() may be called from any thread.
class Backend {
  public:
    virtual ~Backend() = default;

    /// Paths of the present devices of `interfaceClass`, in the backend's order.
    virtual std::vector<std::string> enumerate(const Guid& interfaceClass) = 0;
    /// Opens `path`: null with *error (kErrorFileNotFound) when it is not this backend's or
    /// not present.
    virtual std::unique_ptr<DeviceObject> open(const std::string& path, uint32_t* error) = 0;
};

/// Backend orders: real boards enumerate before virtual ones.
inline constexpr int kRealBackendOrder = 0;
inline constexpr int kVirtualBackendOrder = 100;

/// Adds a backend; enumeration walks backends by ascending order, then registration order.
/// Registering the same backend twice has no effect.
void registerBackend(const std::shared_ptr<Backend>& backend, int order);
/// Removes a backend (tests); handles already open stay usable.
void unregisterBackend(const std::shared_ptr<Backend>& backend);

/// Waits on `cv` with `lock` until `deadline` (time_point::max(): without limit) or `ready()`.
template <typename Lock, typename Cv, typename Pred>
bool waitUntil(Cv& cv, Lock& lock, Clock::time_point deadline, Pred ready) {
    if (deadline == Clock::time_point::max()) {
        cv.wait(lock, ready);
        return true;
    }
    return cv.wait_until(lock, deadline, ready);
}

/// A deadline `milliseconds` from now; kInfinite gives time_point::max().
Clock::time_point deadlineAfter(uint32_t milliseconds);

}  // namespace vexo::driver
