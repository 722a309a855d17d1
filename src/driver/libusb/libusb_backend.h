// Real boards through libusb-1.0: the driver service's backend for attached USB devices whose
// ids are the boards' (usb_ids.h), listed under the driver's interface class. Devices of vendor
// 0x04B4, which many other products carry, count only with a vendor-specific interface.
//
// The backend is registered with the driver service when the library is loaded (real boards
// enumerate before virtual ones); libusb itself starts on the first enumeration or open, so a
// process that never looks for boards never touches USB.
//
// Threading: enumerate() and open() may be called from any thread.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "driver/backend.h"

namespace vexo::driver::lusb {

class LibusbBackend : public Backend {
  public:
    /// Device paths of the attached boards, ordered by bus and port; empty for another class
    /// or when libusb cannot start.
    std::vector<std::string> enumerate(const Guid& interfaceClass) override;
    /// Opens and claims the board a path names; null with *error = 2 when it is not attached
    /// (or not this backend's), 5 without permission, 32 when another program holds it.
    std::unique_ptr<DeviceObject> open(const std::string& path, uint32_t* error) override;
};

/// The process's libusb backend.
std::shared_ptr<LibusbBackend> libusbBackend();

/// Registers libusbBackend() with the driver service in the real-board order. Repeated calls
/// have no effect. Called at load time; tests that unregister it call it again.
void registerLibusbBackend();

}  // namespace vexo::driver::lusb
