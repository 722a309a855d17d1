// The BOS descriptor of a USB 3 device and the capability records kept from it.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>

namespace vexo::usb {

/// USB 2.0 extension capability (type 2).
struct Usb20ExtensionCapability {
    uint8_t bLength = 0;
    uint8_t bDescriptorType = 0;
    uint8_t bDevCapabilityType = 0;
    uint32_t bmAttributes = 0;
};

/// SuperSpeed USB device capability (type 3).
struct SuperSpeedCapability {
    uint8_t bLength = 0;
    uint8_t bDescriptorType = 0;
    uint8_t bDevCapabilityType = 0;
    uint8_t bmAttributes = 0;
    uint16_t wSpeedsSupported = 0;
    uint8_t bFunctionalitySupport = 0;
    uint8_t bU1DevExitLat = 0;
    uint16_t wU2DevExitLat = 0;
};

/// Container ID capability (type 4).
struct ContainerIdCapability {
    uint8_t bLength = 0;
    uint8_t bDescriptorType = 0;
    uint8_t bDevCapabilityType = 0;
    std::array<uint8_t, 16> containerId{};
};

/// The BOS object.
///
/// Threading: built once, then only read; no lock.
class DriverBos {
  public:
    /// Builds from the BOS block (read up to wTotalLength at most). Capabilities are recorded in
    /// order until bNumDeviceCaps were walked or an unknown capability type is met. Raises
    /// DescriptorError for a malformed table; never reads outside `block`.
    explicit DriverBos(std::span<const uint8_t> block);

    std::unique_ptr<ContainerIdCapability> containerId;
    std::unique_ptr<Usb20ExtensionCapability> usb20Extension;
    std::unique_ptr<SuperSpeedCapability> superSpeed;
    uint8_t bLength = 0;
    uint8_t bDescriptorType = 0;
    uint16_t wTotalLength = 0;
    uint8_t bNumDeviceCaps = 0;
};

}  // namespace vexo::usb
