// A configuration descriptor block and the interfaces built from it.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>

#include "driver/driver_service.h"
#include "usb/driver_interface.h"

namespace vexo::usb {

/// One configuration of a device.
///
/// Threading: built once, then only read; no lock.
class DriverConfig {
  public:
    static constexpr int kMaxInterfaces = 8;

    /// Builds the configuration from its block (wTotalLength bytes as read from the device; a
    /// longer span is read only up to wTotalLength). Interface objects are built for the first
    /// eight interface descriptors. Never reads outside `block` and always ends.
    ///
    /// Raises DescriptorError for a malformed table: a block shorter than its 9-byte header or
    /// a header bLength below 9; a descriptor of length 0 or 1; a descriptor running past the
    /// end of the block (or past wTotalLength); an interface descriptor shorter than 9 bytes, an
    /// endpoint one shorter than 7, a companion shorter than 6; an interface claiming more than
    /// 31 endpoints; with companion look-ahead, a companion that does not follow an endpoint.
    DriverConfig(driver::Handle driverHandle, std::span<const uint8_t> block,
                 bool companionLookAhead);

    std::array<std::unique_ptr<DriverInterface>, kMaxInterfaces> interfaces;
    uint8_t bLength = 0;
    uint8_t bDescriptorType = 0;
    uint16_t wTotalLength = 0;
    uint8_t bNumInterfaces = 0;
    uint8_t bConfigurationValue = 0;
    uint8_t iConfiguration = 0;
    uint8_t bmAttributes = 0;
    uint8_t MaxPower = 0;
    /// Interface objects built.
    uint8_t altInterfaceCount = 0;
};

}  // namespace vexo::usb
