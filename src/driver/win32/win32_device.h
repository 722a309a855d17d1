// One open device of the vendor's kernel driver: requests go to DeviceIoControl unchanged.
//
// A synchronous request (no completion) waits for the kernel in the calling thread. An
// overlapped request that the kernel keeps (ERROR_IO_PENDING) is held in a table with its own
// OVERLAPPED and Windows event; the device's pump completes it in whichever thread waits on
// the caller's event. Close cancels what is in flight (CancelIoEx), waits until the kernel has
// given every request back, completes each one (995 when cancelled, else its own result) and
// closes the handle.
//
// Threading: ioControl() may run in several threads at once; close() runs once, after which
// every request is refused with 6 (kErrorInvalidHandle).
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>

#include "common/mutex.h"
#include "driver/backend.h"

namespace vexo::driver::win32 {

/// An overlapped request in the kernel's hands.
struct KernelRequest {
    OVERLAPPED overlapped{};
    HANDLE event = nullptr;  ///< manual reset, signalled by the kernel on completion
    std::unique_ptr<Completion> completion;

    KernelRequest();
    ~KernelRequest();
    KernelRequest(const KernelRequest&) = delete;
    KernelRequest& operator=(const KernelRequest&) = delete;
};

/// The open handle and the requests on it. Shared by the device object and, while a thread
/// waits for one of its requests, by that thread: the device may be closed and destroyed
/// meanwhile.
class KernelChannel : public Pump, public std::enable_shared_from_this<KernelChannel> {
  public:
    /// Takes ownership of `handle`, opened with FILE_FLAG_OVERLAPPED.
    explicit KernelChannel(HANDLE handle) : handle_(handle) {}
    ~KernelChannel() override;
    KernelChannel(const KernelChannel&) = delete;
    KernelChannel& operator=(const KernelChannel&) = delete;

    bool ioControl(uint32_t code, void* in, uint32_t inLength, void* out, uint32_t outLength,
                   uint32_t* bytesReturned, std::unique_ptr<Completion>& completion,
                   uint32_t* error);
    bool close(uint32_t* error);
    /// Waits for request `requestId` until `deadline`; completes it when the kernel is done.
    void pump(uint64_t requestId, Clock::time_point deadline) override;
    /// Requests the kernel still holds.
    size_t requestsInFlight();

  private:
    bool serveNow(uint32_t code, void* in, uint32_t inLength, void* out, uint32_t outLength,
                  uint32_t* bytesReturned, uint32_t* error) VEXO_REQUIRES_SHARED(useLock_);
    bool serveOverlapped(uint32_t code, void* in, uint32_t inLength, void* out, uint32_t outLength,
                         uint32_t* bytesReturned, std::unique_ptr<Completion>& completion,
                         uint32_t* error) VEXO_REQUIRES_SHARED(useLock_);
    /// The handle, read by close() before its lock is free: only close() writes it, once, and
    /// a later close() returns before it reads.
    HANDLE handleBeforeClose() const VEXO_NO_THREAD_SAFETY_ANALYSIS { return handle_; }
    /// Takes request `id` out of the table; null when another thread already took it.
    std::shared_ptr<KernelRequest> take(uint64_t id) VEXO_EXCLUDES(tableMutex_);

    // Requests hold it shared while they use handle_; close() takes it exclusively.
    SharedMutex useLock_;
    HANDLE handle_ VEXO_GUARDED_BY(useLock_);
    bool closed_ VEXO_GUARDED_BY(useLock_) = false;
    std::atomic<bool> closing_{false};

    Mutex tableMutex_;
    std::map<uint64_t, std::shared_ptr<KernelRequest>> requests_ VEXO_GUARDED_BY(tableMutex_);
    uint64_t nextId_ VEXO_GUARDED_BY(tableMutex_) = 1;
};

class Win32Device : public DeviceObject {
  public:
    /// Takes ownership of `handle`, opened with FILE_FLAG_OVERLAPPED.
    explicit Win32Device(HANDLE handle) : channel_(std::make_shared<KernelChannel>(handle)) {}
    ~Win32Device() override;

    bool ioControl(uint32_t code, void* in, uint32_t inLength, void* out, uint32_t outLength,
                   uint32_t* bytesReturned, std::unique_ptr<Completion>& completion,
                   uint32_t* error) override {
        return channel_->ioControl(code, in, inLength, out, outLength, bytesReturned, completion,
                                   error);
    }
    bool close(uint32_t* error) override { return channel_->close(error); }

    /// Requests the kernel still holds (tests).
    size_t requestsInFlight() { return channel_->requestsInFlight(); }

  private:
    std::shared_ptr<KernelChannel> channel_;
};

}  // namespace vexo::driver::win32
