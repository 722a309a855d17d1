// One device on the virtual bus: serves the driver's requests from its descriptor tables and
// its DeviceModel, keeps the requests in flight per pipe, and completes them in order when a
// waiting thread pumps it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "common/mutex.h"
#include "driver/backend.h"
#include "driver/virtual/device_model.h"
#include "driver/virtual/virtual_bus.h"

namespace vexo::driver::virt {

/// Threading: every request, pump and test hook takes mutex_; calls into the model are made
/// under it, so the model sees one call at a time. Waiting pumps sleep on cv_ and wake when
/// generation_ moves (a control request, a completion by another thread, the model's notifier).
/// Lock order: device, then an event's own lock.
class VirtualDevice : public Pump, public std::enable_shared_from_this<VirtualDevice> {
  public:
    VirtualDevice(DeviceId id, VirtualDeviceDescription description);
    ~VirtualDevice() override;

    /// Installs the model's notifier; called once the device is owned by a shared_ptr.
    void attach();

    DeviceId id() const { return id_; }
    const std::string& path() const { return path_; }
    const VirtualDeviceDescription& description() const { return description_; }
    /// Not removed and the model says present.
    bool present();
    /// The device left the bus: every request in flight fails, later ones are refused.
    void markRemoved();

    /// Serves one request of handle `handle` (see DeviceObject::ioControl).
    bool ioControl(uint64_t handle, uint32_t code, void* in, uint32_t inLength, void* out,
                   uint32_t outLength, uint32_t* bytesReturned,
                   std::unique_ptr<Completion>& completion, uint32_t* error);
    /// Handle `handle` closes: its requests in flight complete as cancelled. False (with *error)
    /// when a close failure was injected.
    bool closeHandle(uint64_t handle, uint32_t* error);

    void pump(uint64_t requestId, Clock::time_point deadline) override;

    // Test hooks (virtual_bus.h).
    void injectFault(uint32_t code, RequestFault fault);
    void clearFaults();
    void failNextClose(uint32_t error);
    std::optional<uint32_t> transferSize(uint8_t endpoint);
    size_t pendingRequests(uint8_t endpoint);
    /// The last 4096 control requests the device served, oldest first.
    std::vector<ControlSeen> controlLog();
    void clearControlLog();

  private:
    struct Request;

    /// The requests in flight on one pipe, oldest first. Its storage grows to the deepest
    /// queue the pipe has seen and is reused from then on, so streaming allocates nothing.
    class Queue {
      public:
        Queue();
        ~Queue();
        Queue(Queue&&) noexcept;
        bool empty() const { return count_ == 0; }
        size_t size() const { return count_; }
        Request& front();
        void push(std::unique_ptr<Request> request);
        std::unique_ptr<Request> pop();
        bool contains(uint64_t id) const;
        /// Takes out every request for which which(request) holds, oldest first, handing
        /// each to done(request) before it is released.
        template <typename Which, typename Done>
        void removeIf(Which&& which, Done&& done);

      private:
        std::vector<std::unique_ptr<Request>> slots_;
        size_t head_ = 0;
        size_t count_ = 0;
    };

    bool presentLocked() VEXO_REQUIRES(mutex_);
    /// Refuses a request while the device is away or a failure is injected for `code`; else
    /// true with the time it may be served from (min: at once, max: never).
    bool admit(uint32_t code, Clock::time_point* deferredUntil, uint32_t* error);
    /// A request that is not a transfer, served in the calling thread.
    bool serveNow(uint32_t code, void* in, uint32_t inLength, void* out, uint32_t outLength,
                  Clock::time_point deferredUntil, uint32_t* bytesReturned, uint32_t* error);
    bool abortPipe(const void* in, uint32_t inLength, uint32_t* error) VEXO_REQUIRES(mutex_);
    /// A transfer without a completion: issued like an overlapped one and driven here until it
    /// ends.
    bool transferNow(uint64_t handle, uint32_t code, void* in, uint32_t inLength, void* out,
                     uint32_t outLength, Clock::time_point deferredUntil, uint32_t* bytesReturned,
                     uint32_t* error);
    /// A transfer request read from the caller's buffers (the buffered forms copied, as the
    /// kernel does); null when it names bytes outside them or an unknown pipe.
    std::unique_ptr<Request> readRequest(uint32_t code, void* in, uint32_t inLength, void* out,
                                         uint32_t outLength);
    bool submit(MutexLock& lock, uint64_t handle, uint32_t code, void* in, uint32_t inLength,
                void* out, uint32_t outLength, uint32_t* bytesReturned,
                std::unique_ptr<Completion>& completion, uint32_t* error,
                Clock::time_point deferredUntil) VEXO_REQUIRES(mutex_);
    bool serveInfo(uint32_t code, void* in, uint32_t inLength, void* out, uint32_t outLength,
                   uint32_t* bytesReturned, uint32_t* error) VEXO_REQUIRES(mutex_);
    /// Works on the oldest request of `queue`: true when it completed (and left the queue),
    /// false with *readyAt when it must wait.
    bool processFront(Queue& queue, Clock::time_point* readyAt) VEXO_REQUIRES(mutex_);
    void serveControl(Request& request) VEXO_REQUIRES(mutex_);
    void finish(Request& request, uint32_t error, uint32_t ntStatus, uint32_t usbdStatus,
                uint32_t moved) VEXO_REQUIRES(mutex_);
    void cancelWhere(uint32_t error, uint32_t ntStatus, uint32_t usbdStatus,
                     const std::function<bool(const Request&)>& which) VEXO_REQUIRES(mutex_);
    bool endpointKnown(uint8_t address) const;
    void wake() VEXO_EXCLUDES(mutex_);
    void modelNotified();
    std::optional<RequestFault> takeFault(uint32_t code) VEXO_REQUIRES(mutex_);

    const DeviceId id_;
    const VirtualDeviceDescription description_;
    const std::string path_;
    std::set<uint8_t> endpoints_;  // addresses found in the configuration blocks

    Mutex mutex_;
    std::condition_variable cv_;
    uint64_t generation_ VEXO_GUARDED_BY(mutex_) = 0;
    bool removed_ VEXO_GUARDED_BY(mutex_) = false;
    std::map<uint8_t, Queue> pipes_ VEXO_GUARDED_BY(mutex_);
    std::map<uint8_t, uint32_t> transferSizes_ VEXO_GUARDED_BY(mutex_);
    std::map<uint32_t, RequestFault> faults_ VEXO_GUARDED_BY(mutex_);
    std::optional<uint32_t> closeFailure_ VEXO_GUARDED_BY(mutex_);
    static constexpr size_t kControlLogLimit = 4096;
    // The last kControlLogLimit requests, a ring; controlLogHead_ is the oldest entry once the
    // ring is full.
    std::vector<ControlSeen> controlLog_ VEXO_GUARDED_BY(mutex_);
    size_t controlLogHead_ VEXO_GUARDED_BY(mutex_) = 0;
    // Data stage of the control request being served.
    std::vector<uint8_t> stage_ VEXO_GUARDED_BY(mutex_);
    std::atomic<std::thread::id> modelCaller_{};
    std::atomic<bool> notifiedInCall_{false};
};

}  // namespace vexo::driver::virt
