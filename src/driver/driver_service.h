// The driver service: the narrow set of platform calls the usb layer makes to reach the USB
// controller's kernel driver, shaped after the Windows calls it stands in for (device-interface
// enumeration, CreateFile, DeviceIoControl with overlapped completion, events, the host clock).
//
// Backends (virtual devices, real boards through libusb) register with the service and serve
// the driver's request codes for their devices; a caller never learns which backend serves a
// handle. Error values are the Windows ones, so code written against the driver reads the same.
//
// The library starts no thread: a request that completes later is completed by whichever thread
// waits for it (waitForEvent() or getOverlappedResult() with wait), which runs the backend's
// pump for that request. See docs/driver-service.md.
//
// Threading: every function may be called from any thread. The last error is per thread.
// An Overlapped record and its Event belong to one request at a time (docs/threading.md).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

namespace vexo::driver {

/// A device-interface class id, 16 bytes as stored (Data1-3 little-endian, then Data4).
struct Guid {
    uint8_t bytes[16] = {};

    bool operator==(const Guid&) const = default;
};

/// The class under which the camera boards' driver exposes its devices:
/// {AE18AA60-7F6A-11D4-97DD-00010229B959}.
inline constexpr Guid kDriverInterfaceGuid{{0x60, 0xAA, 0x18, 0xAE, 0x6A, 0x7F, 0xD4, 0x11, 0x97,
                                            0xDD, 0x00, 0x01, 0x02, 0x29, 0xB9, 0x59}};

/// An open device handle; kInvalidHandle when none.
enum class Handle : intptr_t {};
inline constexpr Handle kInvalidHandle = Handle(-1);

// Windows error values that callers test for.
inline constexpr uint32_t kErrorSuccess = 0;
inline constexpr uint32_t kErrorInvalidFunction = 1;  ///< unknown request code
inline constexpr uint32_t kErrorFileNotFound = 2;     ///< no device at that path
inline constexpr uint32_t kErrorInvalidHandle = 6;
inline constexpr uint32_t kErrorGenFailure = 31;        ///< the device failed the request
inline constexpr uint32_t kErrorInvalidParameter = 87;  ///< malformed request bytes
inline constexpr uint32_t kErrorInsufficientBuffer = 122;
inline constexpr uint32_t kErrorFilenameExcedRange = 206;  ///< path too long
inline constexpr uint32_t kErrorNoMoreItems = 259;
inline constexpr uint32_t kErrorOperationAborted = 995;  ///< cancelled by abort or close
inline constexpr uint32_t kErrorIoIncomplete = 996;
inline constexpr uint32_t kErrorIoPending = 997;
inline constexpr uint32_t kErrorDeviceNotConnected = 1167;
inline constexpr uint32_t kErrorTimeout = 1460;

// Results of waitForEvent(), as WaitForSingleObject gives them.
inline constexpr uint32_t kWaitObject0 = 0;
inline constexpr uint32_t kWaitTimeout = 0x102;
inline constexpr uint32_t kWaitFailed = 0xFFFFFFFF;
/// A time-out that never expires.
inline constexpr uint32_t kInfinite = 0xFFFFFFFF;

/// Last error of the calling thread (GetLastError).
uint32_t getLastError();
/// Sets the calling thread's last error (SetLastError).
void setLastError(uint32_t error);

// ---------------------------------------------------------------------------------------------
// Events

/// An auto-reset event. Opaque; made by createEvent() and released by closeEvent().
class Event;

/// Creates an auto-reset event, not signalled. Never fails.
Event* createEvent();
/// Signals the event; one waiter (or the next wait) consumes the signal. False for null.
bool setEvent(Event* event);
/// Clears a pending signal. False for null.
bool resetEvent(Event* event);
/// Waits up to `milliseconds` (kInfinite: without limit) for the event and consumes its signal.
/// When the event belongs to a request still in flight, the waiting thread drives that request
/// to completion through its backend; a wait of 0 polls the request once.
/// Returns kWaitObject0, kWaitTimeout, or kWaitFailed (null event; last error 6).
uint32_t waitForEvent(Event* event, uint32_t milliseconds);
/// Releases the event. A request still in flight keeps what it needs, so this is safe at any
/// time, but a request whose event was closed can no longer be waited for.
void closeEvent(Event* event);

// ---------------------------------------------------------------------------------------------
// Overlapped requests

/// Completion record of one overlapped request (OVERLAPPED). Zero-initialised by construction;
/// the caller sets `event` before issuing the request and keeps the record in place until the
/// request has completed. Neither copyable nor movable: keep many of them in storage that does
/// not move (std::array, std::unique_ptr<Overlapped[]>, a vector sized once at construction).
struct Overlapped {
    /// kErrorIoPending while the request is in flight, then its result (0 or a Windows error).
    std::atomic<uint32_t> status{0};
    /// Bytes the completed request reports.
    std::atomic<uint32_t> bytes{0};
    /// Auto-reset event signalled on completion; required for overlapped requests.
    Event* event = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Device-interface enumeration (SetupDiGetClassDevs and friends)

/// A snapshot of the present devices of one interface class.
struct DeviceInfoSet;

/// One member of a DeviceInfoSet.
struct DeviceInterfaceData {
    Guid interfaceClass;
    uint32_t member = 0;
};

/// Takes a snapshot of the present devices of `interfaceClass`, backends in registration
/// order (real boards first, then virtual ones). Never null.
DeviceInfoSet* getClassDevs(const Guid& interfaceClass);
/// Fills `data` for member `member`. False with last error 259 (kErrorNoMoreItems) past the
/// end, 87 for a null set or data.
bool enumDeviceInterface(DeviceInfoSet* set, uint32_t member, DeviceInterfaceData* data);
/// Copies the device path of `data` into path[0..pathSize) with its terminator.
/// `requiredSize` (optional) receives the path length plus 1. False with last error 122 when
/// pathSize is too small (call with a null path to learn the size), 259 for an unknown member.
bool getDeviceInterfacePath(DeviceInfoSet* set, const DeviceInterfaceData& data, char* path,
                            uint32_t pathSize, uint32_t* requiredSize);
/// Releases a snapshot. Null is ignored.
void destroyDeviceInfoList(DeviceInfoSet* set);

// ---------------------------------------------------------------------------------------------
// Handles and requests

/// Opens a device path (CreateFile, opened for overlapped I/O). kInvalidHandle with the last
/// error set (2 for an unknown or unplugged device, 206 for a path over 255 characters).
Handle createFile(const char* path);
/// Closes a handle (CloseHandle). Requests still in flight on it complete as cancelled (995)
/// first. The handle is gone afterwards even when the result is false (last error set).
bool closeHandle(Handle handle);

/// Issues request `code` (DeviceIoControl). Without `overlapped` it returns when the request is
/// done: true with *bytesReturned set, or false with the last error set. With `overlapped` (whose
/// event is reset first): true when the request completed at once (event signalled, last error
/// 0), false with last error 997 (kErrorIoPending) while it is in flight, or false with another
/// error when it was refused. `bytesReturned` may be null.
bool deviceIoControl(Handle handle, uint32_t code, void* in, uint32_t inLength, void* out,
                     uint32_t outLength, uint32_t* bytesReturned, Overlapped* overlapped);

/// Result of an overlapped request (GetOverlappedResult). With `wait`, waits (driving the
/// request) until it completes. False with last error 996 (kErrorIoIncomplete) while still in
/// flight and not waiting, 995 for a cancelled request, the request's error for a failed one;
/// *bytes is set in every case.
bool getOverlappedResult(Handle handle, Overlapped* overlapped, uint32_t* bytes, bool wait);

// ---------------------------------------------------------------------------------------------
// Host services

/// The host clock in 100-ns units since 1601-01-01 UTC (GetSystemTimeAsFileTime).
uint64_t hostTimeFileTime();
/// Replaces the host clock (tests); an empty function restores the system clock.
void setHostClockForTesting(std::function<uint64_t()> clock);

/// Sleeps the calling thread.
void sleepMs(uint32_t milliseconds);

/// Shows a message to the user: a message box where the platform has one, standard error here.
void showMessage(const std::string& caption, const std::string& text);
/// Routes showMessage() to `sink` instead (tests); an empty function restores standard error.
void setMessageSinkForTesting(
    std::function<void(const std::string& caption, const std::string& text)> sink);

}  // namespace vexo::driver
