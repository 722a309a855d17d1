// The device object: one camera board as the USB controller's driver presents it.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "driver/driver_service.h"
#include "usb/control_endpoint.h"
#include "usb/data_endpoints.h"
#include "usb/device_error.h"
#include "usb/driver_bos.h"
#include "usb/driver_config.h"
#include "usb/driver_interface.h"

namespace vexo::usb {

/// The class under which the driver exposes the boards.
inline constexpr driver::Guid DriverInterfaceGuid = driver::kDriverInterfaceGuid;

/// Lists the devices of one interface class, opens one by its position, reads its descriptors,
/// builds its configurations, interfaces and endpoints, and names the first endpoint of each
/// kind and direction (bulkInEndpoint, controlEndpoint, ...).
///
/// Errors: results are bools; lastError holds the Windows error of the last failed platform
/// call, usbdStatus/ntStatus the status words of the last descriptor request. A malformed
/// descriptor table shows a message, closes the device and fails open(). A failed close of the
/// driver handle raises DeviceError ("Failed to close handle to driver.") from close(),
/// shutdown() and open() (which closes a device already open): callers that must not throw
/// (the library's C functions) catch DeviceError around those three calls. The object is
/// Closed after such an error. The destructor never throws.
///
/// Limits: two configurations are read (more are not requested); a device path longer than
/// 255 characters is refused (open fails, lastError 206).
///
/// Threading: no lock; one object must not be used from two threads at once.
class DriverDevice {
  public:
    static constexpr int kMaxConfigs = 2;

    /// A device object for `interfaceGuid`; opens device 0 when `openFirst` (see isOpen()).
    /// `notifyWindow` is the recipient of device notifications where the platform has them;
    /// on this platform there are none and it is only stored.
    DriverDevice(void* notifyWindow, const driver::Guid& interfaceGuid, bool openFirst);
    /// Closes the device; a close failure is swallowed here (lastError tells).
    ~DriverDevice();
    DriverDevice(const DriverDevice&) = delete;
    DriverDevice& operator=(const DriverDevice&) = delete;

    /// Number of present devices of the class (also kept in knownDeviceCount).
    uint8_t deviceCount();
    /// Closes any open device, opens device `index`, reads its descriptors, builds its objects
    /// and makes configuration 0 current. False when there is no such device, it cannot be
    /// opened, a descriptor table is malformed (device closed), or it has no configuration 0
    /// (the handle then stays open). May raise DeviceError when closing the previous device.
    bool open(uint8_t index);
    /// Closes the driver handle and releases everything open() read or built. Identity fields
    /// keep their values. Raises DeviceError when the handle cannot be closed (lastError set;
    /// the object is Closed all the same).
    void close();
    /// close(), then ends notifications; the last call before destruction. Raises as close().
    void shutdown();
    /// The driver handle is valid.
    bool isOpen() const { return driverHandle != driver::kInvalidHandle; }
    /// bNumEndpoints of the current interface plus 1; 0 while closed or without configuration 0.
    uint8_t endpointCount() const;

    DriverInterface* currentInterface = nullptr;  ///< borrowed
    std::unique_ptr<DriverBos> bos;
    IsocEndpoint* isocInEndpoint = nullptr;  ///< role references: borrowed, into currentInterface
    IsocEndpoint* isocOutEndpoint = nullptr;
    BulkEndpoint* bulkInEndpoint = nullptr;
    BulkEndpoint* bulkOutEndpoint = nullptr;
    std::unique_ptr<ControlEndpoint> controlEndpoint;
    InterruptEndpoint* interruptInEndpoint = nullptr;
    InterruptEndpoint* interruptOutEndpoint = nullptr;
    uint16_t languageId = 0;
    uint32_t lastError = 0;
    uint32_t usbdStatus = 0;
    uint32_t ntStatus = 0;
    uint32_t driverVersion = 0;
    uint32_t usbdiVersion = 0;
    char friendlyName[256] = {};
    char deviceName[256] = {};
    char16_t manufacturer[256] = {};
    char16_t product[256] = {};
    char16_t serialNumber[256] = {};
    char devicePath[256] = {};
    uint16_t bcdUsb = 0;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint8_t usbAddress = 0;
    uint8_t deviceClass = 0;
    uint8_t deviceSubClass = 0;
    uint8_t deviceProtocol = 0;
    int32_t ep0MaxPacketSize = 0;
    uint16_t bcdDevice = 0;
    uint8_t configValue = 0;
    uint8_t configAttributes = 0;
    uint8_t maxPower = 0;
    uint8_t interfaceClass = 0;
    uint8_t interfaceSubClass = 0;
    uint8_t interfaceProtocol = 0;
    bool isHighSpeed = false;
    bool isSuperSpeed = false;
    uint32_t bytesReturned = 0;
    uint8_t deviceDescriptor[18] = {};
    std::array<std::vector<uint8_t>, kMaxConfigs> configDescriptors;  ///< empty: absent
    std::vector<uint8_t> bosDescriptor;                               ///< empty: absent
    std::array<std::unique_ptr<DriverConfig>, kMaxConfigs> configs;
    void* notifyWindow = nullptr;
    driver::Handle driverHandle = driver::kInvalidHandle;
    driver::Guid interfaceGuid;
    uint8_t knownDeviceCount = 0;
    uint8_t interfaceCount = 0;
    uint8_t altInterfaceCount = 0;
    uint8_t configCount = 0;  ///< bNumConfigurations as the device reports it
    uint8_t deviceIndex = 0;
    uint8_t configIndex = 0;
    uint8_t interfaceNumber = 0;
    uint8_t altIndex = 0;

  private:
    bool sendDriverRequest(uint32_t code, void* buffer, uint32_t size);
    bool openHandle(uint8_t index);
    bool getDescriptor(uint8_t type, uint8_t index, uint16_t language, uint16_t length,
                       std::vector<uint8_t>& out);
    bool readTwice(uint8_t type, uint8_t index, uint16_t language, uint16_t firstLength,
                   std::vector<uint8_t>& out);
    void readDeviceDescriptor();
    void readLanguageTable();
    void readString(uint8_t index, char16_t (&target)[256]);
    void readDriverInfo();
    void readConfigurations();
    void makeConfigurationCurrent();
    void assignEndpointRoles();
};

}  // namespace vexo::usb
