// Enumerating and opening attached boards through libusb.
#include "driver/libusb/libusb_backend.h"

#include <libusb.h>

#include <algorithm>
#include <tuple>

#include "driver/libusb/board_device.h"
#include "driver/libusb/device_path.h"
#include "driver/libusb/usb_context.h"
#include "driver/libusb/usb_ids.h"

namespace vexo::driver::lusb {

namespace {

// libusb's device list, released on every path out.
class DeviceList {
  public:
    explicit DeviceList(libusb_context* context) {
        const ssize_t n = libusb_get_device_list(context, &list_);
        count_ = n > 0 ? static_cast<size_t>(n) : 0;
    }
    ~DeviceList() {
        if (list_) libusb_free_device_list(list_, 1);
    }
    DeviceList(const DeviceList&) = delete;
    DeviceList& operator=(const DeviceList&) = delete;

    size_t size() const { return count_; }
    libusb_device* operator[](size_t i) const { return list_[i]; }

  private:
    libusb_device** list_ = nullptr;
    size_t count_ = 0;
};

struct Found {
    DeviceLocation location;
    std::vector<uint8_t> ports;
    libusb_device* device = nullptr;
};

// 0x04B4 is the USB controller maker's id and sits on many devices that are not cameras
// (hubs, mice, serial adapters). Such a device counts only when it offers a vendor-specific
// interface, as a board does; anything else is never opened by a scan.
constexpr uint16_t kSharedVendorId = 0x04B4;
constexpr uint8_t kVendorSpecificClass = 0xFF;

bool hasVendorInterface(libusb_device* device) {
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(device, &config) != LIBUSB_SUCCESS &&
        libusb_get_config_descriptor(device, 0, &config) != LIBUSB_SUCCESS)
        return false;
    bool found = false;
    for (int i = 0; i < config->bNumInterfaces && !found; ++i)
        for (int a = 0; a < config->interface[i].num_altsetting && !found; ++a)
            found = config->interface[i].altsetting[a].bInterfaceClass == kVendorSpecificClass;
    libusb_free_config_descriptor(config);
    return found;
}

// The boards in the list, in a stable order: by bus, then by the port path from the root hub,
// so that board 0 stays board 0 across scans while nothing is plugged or unplugged.
std::vector<Found> findBoards(const DeviceList& list) {
    const UsbIdFilter filter = usbIdFilterFromEnvironment();
    std::vector<Found> boards;
    for (size_t i = 0; i < list.size(); ++i) {
        libusb_device_descriptor d{};
        if (libusb_get_device_descriptor(list[i], &d) != LIBUSB_SUCCESS) continue;
        if (!filter.matches(d.idVendor, d.idProduct)) continue;
        if (d.idVendor == kSharedVendorId && !hasVendorInterface(list[i])) continue;
        Found f;
        f.location = {d.idVendor, d.idProduct, libusb_get_bus_number(list[i]),
                      libusb_get_device_address(list[i])};
        uint8_t ports[8];
        const int n = libusb_get_port_numbers(list[i], ports, sizeof ports);
        if (n > 0) f.ports.assign(ports, ports + n);
        f.device = list[i];
        boards.push_back(std::move(f));
    }
    std::sort(boards.begin(), boards.end(), [](const Found& a, const Found& b) {
        return std::tie(a.location.bus, a.ports, a.location.address) <
               std::tie(b.location.bus, b.ports, b.location.address);
    });
    return boards;
}

}  // namespace

std::vector<std::string> LibusbBackend::enumerate(const Guid& interfaceClass) {
    if (interfaceClass != kDriverInterfaceGuid) return {};
    libusb_context* context = usbContext();
    if (!context) return {};
    const DeviceList list(context);
    std::vector<std::string> paths;
    for (const Found& f : findBoards(list)) paths.push_back(makeDevicePath(f.location));
    return paths;
}

std::unique_ptr<DeviceObject> LibusbBackend::open(const std::string& path, uint32_t* error) {
    *error = kErrorFileNotFound;
    const std::optional<DeviceLocation> location = parseDevicePath(path);
    if (!location) return nullptr;
    libusb_context* context = usbContext();
    if (!context) return nullptr;
    const DeviceList list(context);
    for (const Found& f : findBoards(list)) {
        if (f.location == *location) return BoardDevice::open(context, f.device, error);
    }
    return nullptr;
}

std::shared_ptr<LibusbBackend> libusbBackend() {
    static const std::shared_ptr<LibusbBackend> backend = std::make_shared<LibusbBackend>();
    return backend;
}

void registerLibusbBackend() {
    registerBackend(libusbBackend(), kRealBackendOrder);
}

}  // namespace vexo::driver::lusb
