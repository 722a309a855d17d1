// The data endpoints: isochronous, bulk and interrupt.
#pragma once

#include "usb/usb_endpoint.h"

namespace vexo::usb {

/// Isochronous endpoint: its records carry 8 bytes of packet information per packet.
///
/// Threading: as UsbEndpoint.
class IsocEndpoint : public UsbEndpoint {
  public:
    using UsbEndpoint::UsbEndpoint;

    /// Direct form with packet information (length / maxPacketSize packets, rounded up);
    /// null when maxPacketSize or the packet count is 0.
    std::unique_ptr<TransferBlock> beginDirect(uint8_t* buffer, int32_t length,
                                               driver::Overlapped* overlapped) override;
    /// Buffered form: packet information at offset 38, data after it.
    std::unique_ptr<TransferBlock> beginBuffered(uint8_t* buffer, int32_t length,
                                                 driver::Overlapped* overlapped) override;
};

/// Bulk endpoint; the camera's image stream is read from its bulk IN endpoint.
///
/// Threading: as UsbEndpoint.
class BulkEndpoint : public UsbEndpoint {
  public:
    using UsbEndpoint::UsbEndpoint;
};

/// Interrupt endpoint.
///
/// Threading: as UsbEndpoint.
class InterruptEndpoint : public UsbEndpoint {
  public:
    using UsbEndpoint::UsbEndpoint;
};

}  // namespace vexo::usb
