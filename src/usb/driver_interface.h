// An interface descriptor of a configuration block and the endpoint objects it describes.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>

#include "driver/driver_service.h"
#include "usb/usb_endpoint.h"

namespace vexo::usb {

/// One interface (one alternate setting) of a configuration.
///
/// Limits: 31 endpoint objects besides slot 0 (an interface descriptor claiming more is a
/// descriptor-table error); at most eleven descriptors of other types are stepped over among
/// its endpoints: the interface ends before a twelfth.
///
/// Threading: built once, then only read; no lock.
class DriverInterface {
  public:
    static constexpr int kSlots = 32;
    static constexpr int kMaxForeign = 11;

    /// Builds the interface whose descriptor starts at `offset` of `block` (the configuration's
    /// first wTotalLength bytes). With `companionLookAhead`, a SuperSpeed endpoint companion
    /// right after an endpoint descriptor goes to that endpoint. Endpoint objects are made on
    /// `driverHandle`. Raises DescriptorError for a malformed table; never reads outside `block`.
    DriverInterface(driver::Handle driverHandle, std::span<const uint8_t> block, uint32_t offset,
                    bool companionLookAhead);

    /// Slot 0: the device's control endpoint while this interface is current (borrowed);
    /// slots 1 onward: this interface's endpoints in descriptor order (owned); empty slots null.
    std::array<UsbEndpoint*, kSlots> endpoints{};

    uint8_t bLength = 0;
    uint8_t bDescriptorType = 0;
    uint8_t bInterfaceNumber = 0;
    uint8_t bAlternateSetting = 0;
    uint8_t bNumEndpoints = 0;
    uint8_t bInterfaceClass = 0;
    uint8_t bInterfaceSubClass = 0;
    uint8_t bInterfaceProtocol = 0;
    uint8_t iInterface = 0;
    /// Interfaces of the configuration with this bInterfaceNumber, this one included.
    uint8_t altSettingCount = 0;
    /// Bytes of the configuration block this interface covers: its descriptor, its endpoint and
    /// companion descriptors and the descriptors stepped over among them.
    uint16_t spanLength = 0;

  private:
    std::array<std::unique_ptr<UsbEndpoint>, kSlots> owned_;
};

}  // namespace vexo::usb
