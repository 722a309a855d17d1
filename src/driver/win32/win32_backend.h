// Real boards on Windows: the driver service's backend for the devices that the vendor's kernel
// driver exposes under an interface class. It lists them with the SetupDi calls, opens them
// with CreateFileA (overlapped) and hands every request to the kernel driver unchanged through
// DeviceIoControl; the driver's results and Windows errors come back as they are.
//
// An overlapped request gets a Windows OVERLAPPED of its own with a manual-reset Windows event.
// The service's event stays the portable one (event.cpp): waiting on it runs this backend's
// pump, which waits on the Windows event (WaitForSingleObject with the caller's time-out) and
// then collects the result with GetOverlappedResult and completes the caller's record. So the
// library still starts no thread, and virtual boards, whose requests are completed by the
// waiting thread itself, work through the very same calls.
//
// The backend is registered with the driver service when the library is loaded, in the
// real-board order; with no vendor driver installed it lists no device.
//
// Threading: enumerate() and open() may be called from any thread.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "driver/backend.h"

namespace vexo::driver::win32 {

class Win32Backend : public Backend {
  public:
    /// Device-interface paths of the present devices of `interfaceClass`, in SetupDi's order;
    /// empty when there are none or the class is unknown to the system.
    std::vector<std::string> enumerate(const Guid& interfaceClass) override;
    /// Opens a device-interface path ("\\?\..." or "\\.\..."); null with *error = 2 for any
    /// other path, else null with CreateFileA's error when the device cannot be opened.
    std::unique_ptr<DeviceObject> open(const std::string& path, uint32_t* error) override;
};

/// The process's Windows backend.
std::shared_ptr<Win32Backend> win32Backend();

/// Registers win32Backend() with the driver service in the real-board order. Repeated calls
/// have no effect. Called at load time; tests that unregister it call it again.
void registerWin32Backend();

/// True for the paths this backend opens: Win32 device namespace paths ("\\?\", "\\.\").
bool isDeviceNamespacePath(const std::string& path);

}  // namespace vexo::driver::win32
