// The one-line reports of usbfs memory and device permissions.
#include "driver/libusb/host_limits.h"

#include <libusb.h>

#include <cstdio>
#include <mutex>

namespace vexo::driver::lusb {

std::string transferMemoryMessage(uint32_t bytes) {
    char line[320];
    std::snprintf(line, sizeof line,
                  "vexo: the kernel refused a %u-byte USB transfer: usbfs buffer memory is used "
                  "up; raise the limit in %s (for example to 256, or 0 for none), see "
                  "docs/libusb-backend.md",
                  bytes, kUsbfsMemoryParameter);
    return line;
}

void reportTransferMemoryRefused(uint32_t bytes) {
    std::fprintf(stderr, "%s\n", transferMemoryMessage(bytes).c_str());
}

std::string noPermissionMessage(uint8_t bus, uint8_t address, uint16_t vendorId,
                                uint16_t productId) {
    char line[320];
    std::snprintf(line, sizeof line,
                  "vexo: no permission to open USB device %04x:%04x (bus %u, address %u); "
                  "install the udev rule 70-vexo.rules and plug the board in again, see "
                  "docs/libusb-backend.md",
                  vendorId, productId, bus, address);
    return line;
}

void reportNoPermission(libusb_device* device) {
    static std::once_flag once;
    std::call_once(once, [device] {
        libusb_device_descriptor d{};
        libusb_get_device_descriptor(device, &d);
        std::fprintf(stderr, "%s\n",
                     noPermissionMessage(libusb_get_bus_number(device),
                                         libusb_get_device_address(device), d.idVendor, d.idProduct)
                         .c_str());
    });
}

}  // namespace vexo::driver::lusb
