// The one error the usb layer raises.
#pragma once

#include <stdexcept>
#include <string>

namespace vexo::usb {

/// An error carrying a text: a malformed descriptor table (raised by the parsers and handled
/// inside DriverDevice::open()), or a failure to close a driver handle (raised by
/// DriverDevice::close(), shutdown() and open(), and left to the caller to catch).
class DeviceError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

/// A descriptor table that cannot be parsed; the parsers raise it.
class DescriptorError : public DeviceError {
  public:
    using DeviceError::DeviceError;
};

}  // namespace vexo::usb
