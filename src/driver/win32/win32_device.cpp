// Requests handed to the vendor's kernel driver through DeviceIoControl.
#include "driver/win32/win32_device.h"

#include <chrono>
#include <vector>

namespace vexo::driver::win32 {

namespace {

// Milliseconds left until `deadline`, for WaitForSingleObject: INFINITE for no deadline, 0 once
// it has passed, and never INFINITE by accident for a long but finite wait.
DWORD millisecondsUntil(Clock::time_point deadline) {
    if (deadline == Clock::time_point::max()) return INFINITE;
    const auto now = Clock::now();
    if (deadline <= now) return 0;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
    return left >= static_cast<long long>(INFINITE) ? INFINITE - 1 : static_cast<DWORD>(left);
}

uint32_t lastErrorOr(uint32_t fallback) {
    const DWORD e = GetLastError();
    return e != ERROR_SUCCESS ? static_cast<uint32_t>(e) : fallback;
}

}  // namespace

KernelRequest::KernelRequest() : event(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
    overlapped.hEvent = event;
}

KernelRequest::~KernelRequest() {
    if (event) CloseHandle(event);
}

KernelChannel::~KernelChannel() {
    uint32_t error = 0;
    close(&error);
}

Win32Device::~Win32Device() {
    uint32_t error = 0;
    channel_->close(&error);
}

bool KernelChannel::ioControl(uint32_t code, void* in, uint32_t inLength, void* out,
                              uint32_t outLength, uint32_t* bytesReturned,
                              std::unique_ptr<Completion>& completion, uint32_t* error) {
    SharedLock use(useLock_);
    if (closed_ || closing_.load()) {
        *error = kErrorInvalidHandle;
        return false;
    }
    if (completion)
        return serveOverlapped(code, in, inLength, out, outLength, bytesReturned, completion,
                               error);
    return serveNow(code, in, inLength, out, outLength, bytesReturned, error);
}

bool KernelChannel::serveNow(uint32_t code, void* in, uint32_t inLength, void* out,
                             uint32_t outLength, uint32_t* bytesReturned, uint32_t* error) {
    // The handle is open for overlapped I/O, so even a synchronous request needs an OVERLAPPED.
    KernelRequest request;
    if (!request.event) {
        *error = lastErrorOr(kErrorGenFailure);
        return false;
    }
    DWORD bytes = 0;
    if (!DeviceIoControl(handle_, code, in, inLength, out, outLength, &bytes,
                         &request.overlapped)) {
        if (GetLastError() != ERROR_IO_PENDING) {
            *error = lastErrorOr(kErrorGenFailure);
            return false;
        }
        // close() cancels it, so this wait ends even for a request the device never answers.
        if (!GetOverlappedResult(handle_, &request.overlapped, &bytes, TRUE)) {
            *error = lastErrorOr(kErrorGenFailure);
            return false;
        }
    }
    *bytesReturned = bytes;
    return true;
}

bool KernelChannel::serveOverlapped(uint32_t code, void* in, uint32_t inLength, void* out,
                                    uint32_t outLength, uint32_t* bytesReturned,
                                    std::unique_ptr<Completion>& completion, uint32_t* error) {
    auto request = std::make_shared<KernelRequest>();
    if (!request->event) {
        *error = lastErrorOr(kErrorGenFailure);
        return false;
    }
    DWORD bytes = 0;
    if (DeviceIoControl(handle_, code, in, inLength, out, outLength, &bytes,
                        &request->overlapped)) {
        // Done at once; the count of an overlapped call is read from the OVERLAPPED.
        if (!GetOverlappedResult(handle_, &request->overlapped, &bytes, FALSE)) {
            *error = lastErrorOr(kErrorGenFailure);
            return false;
        }
        *bytesReturned = bytes;
        return true;
    }
    if (GetLastError() != ERROR_IO_PENDING) {
        *error = lastErrorOr(kErrorGenFailure);
        return false;
    }
    // The kernel holds the caller's buffers now; keep the completion until it gives them back.
    request->completion = std::move(completion);
    uint64_t id = 0;
    {
        MutexLock lock(tableMutex_);
        id = nextId_++;
        requests_.emplace(id, request);
    }
    request->completion->attachPump(shared_from_this(), id);
    *error = kErrorIoPending;
    return false;
}

std::shared_ptr<KernelRequest> KernelChannel::take(uint64_t id) {
    MutexLock lock(tableMutex_);
    auto it = requests_.find(id);
    if (it == requests_.end()) return nullptr;
    std::shared_ptr<KernelRequest> request = std::move(it->second);
    requests_.erase(it);
    return request;
}

void KernelChannel::pump(uint64_t id, Clock::time_point deadline) {
    std::shared_ptr<KernelRequest> request;
    {
        MutexLock lock(tableMutex_);
        auto it = requests_.find(id);
        if (it == requests_.end()) return;  // completed by another thread or by close()
        request = it->second;
    }
    // The event is manual-reset: every thread waiting on this request wakes, one completes it.
    if (WaitForSingleObject(request->event, millisecondsUntil(deadline)) != WAIT_OBJECT_0) return;
    // Without the lock, close() is under way and completes the request itself.
    if (!useLock_.try_lock_shared()) return;
    SharedLock use(useLock_, std::adopt_lock);
    if (closed_) return;
    std::shared_ptr<KernelRequest> mine = take(id);
    if (!mine) return;
    DWORD bytes = 0;
    uint32_t result = kErrorSuccess;
    if (!GetOverlappedResult(handle_, &mine->overlapped, &bytes, FALSE))
        result = lastErrorOr(kErrorGenFailure);
    mine->completion->complete(result, bytes);
}

bool KernelChannel::close(uint32_t* error) {
    if (closing_.exchange(true)) {
        ExclusiveLock use(useLock_);
        return true;  // closed by an earlier call
    }
    // A synchronous request may be waiting in the kernel with the lock held shared: cancel until
    // every user has let go, then once more for what was issued meanwhile.
    while (!useLock_.try_lock()) {
        CancelIoEx(handleBeforeClose(), nullptr);
        Sleep(1);
    }
    ExclusiveLock use(useLock_, std::adopt_lock);
    CancelIoEx(handle_, nullptr);
    std::map<uint64_t, std::shared_ptr<KernelRequest>> left;
    {
        MutexLock lock(tableMutex_);
        left.swap(requests_);
    }
    for (auto& [id, request] : left) {
        // The kernel writes into the caller's buffers until it gives the request back.
        DWORD bytes = 0;
        uint32_t result = kErrorSuccess;
        if (!GetOverlappedResult(handle_, &request->overlapped, &bytes, TRUE))
            result = lastErrorOr(kErrorOperationAborted);
        request->completion->complete(result, bytes);
    }
    closed_ = true;
    const bool ok = CloseHandle(handle_) != 0;
    if (!ok) *error = lastErrorOr(kErrorInvalidHandle);
    handle_ = INVALID_HANDLE_VALUE;
    return ok;
}

size_t KernelChannel::requestsInFlight() {
    MutexLock lock(tableMutex_);
    return requests_.size();
}

}  // namespace vexo::driver::win32
