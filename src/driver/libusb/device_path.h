// Device paths of real boards, shaped like the interface paths the driver's class lists:
//   \\?\usb#vid_52cb&pid_03f1#libusb-001-005#{ae18aa60-7f6a-11d4-97dd-00010229b959}
// The bus number and device address name the device while it stays plugged in; a board that is
// unplugged and plugged again gets a new address, so an old path stops opening.
//
// Threading: pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vexo::driver::lusb {

struct DeviceLocation {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint8_t bus = 0;
    uint8_t address = 0;

    bool operator==(const DeviceLocation&) const = default;
};

std::string makeDevicePath(const DeviceLocation& location);

/// The location a path names; none for a path this backend did not make.
std::optional<DeviceLocation> parseDevicePath(std::string_view path);

}  // namespace vexo::driver::lusb
