// Endpoint 0: vendor, class and standard requests in the setup form.
#pragma once

#include "usb/usb_endpoint.h"

namespace vexo::usb {

/// The control endpoint. A request is made by setting target, requestType, direction,
/// requestCode, value and index, then calling transfer(buffer, length).
///
/// Threading: as UsbEndpoint.
class ControlEndpoint : public UsbEndpoint {
  public:
    /// Endpoint 0 without a descriptor: every descriptor field 0 (the device sets them).
    explicit ControlEndpoint(driver::Handle driverHandle);
    ControlEndpoint(driver::Handle driverHandle, const EndpointDescriptor& descriptor,
                    const CompanionDescriptor* companion);

    /// Sends the setup packet the fields describe with `length` bytes of data stage (request
    /// 0x220020, buffered; time-out timeoutMs in whole seconds, at least 1 unless 0).
    std::unique_ptr<TransferBlock> beginTransfer(uint8_t* buffer, int32_t length,
                                                 driver::Overlapped* overlapped) override;

    uint32_t target = 0;       ///< 0 device, 1 interface, 2 endpoint, 3 other
    uint32_t requestType = 2;  ///< 0 standard, 1 class, 2 vendor
    uint32_t direction = 0;    ///< 0 host to device, 1 device to host
    uint8_t requestCode = 0;
    uint16_t value = 0;
    uint16_t index = 0;

  private:
    void initControl();
};

}  // namespace vexo::usb
