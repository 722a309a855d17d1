// The endpoint objects of an opened device: every transfer travels to the driver as one
// TransferRecord, started with a caller-supplied overlapped record and finished in a second call.
#pragma once

#include <cstdint>
#include <memory>

#include "driver/driver_service.h"
#include "usb/transfer_record.h"

namespace vexo::usb {

/// An endpoint descriptor's fields (type 5), host order.
struct EndpointDescriptor {
    uint8_t bLength = 0;
    uint8_t bDescriptorType = 0;
    uint8_t bEndpointAddress = 0;
    uint8_t bmAttributes = 0;
    uint16_t wMaxPacketSize = 0;
    uint8_t bInterval = 0;
};

/// A SuperSpeed endpoint companion descriptor's fields (type 0x30), host order.
struct CompanionDescriptor {
    uint8_t bLength = 0;
    uint8_t bDescriptorType = 0;
    uint8_t bMaxBurst = 0;
    uint8_t bmAttributes = 0;
    uint16_t wBytesPerInterval = 0;
};

/// Transfer types, bits 0-1 of bmAttributes.
enum : uint8_t {
    kTransferControl = 0,
    kTransferIsochronous = 1,
    kTransferBulk = 2,
    kTransferInterrupt = 3,
};

/// Base of the endpoint classes.
///
/// Threading: no lock. Many transfers may be in flight on one endpoint, but calls on one
/// endpoint must not overlap in time; lastError, usbdStatus, ntStatus and bytesTransferred
/// describe the most recent begin or finish call and are read right after it.
class UsbEndpoint {
  public:
    /// An endpoint on `driverHandle` from its descriptor and, for SuperSpeed endpoints, its
    /// companion (null when none). maxPacketSize is worked out from wMaxPacketSize's size and
    /// transaction bits and the companion's burst and multiplier, in 16 bits.
    UsbEndpoint(driver::Handle driverHandle, const EndpointDescriptor& descriptor,
                const CompanionDescriptor* companion);
    virtual ~UsbEndpoint() = default;
    UsbEndpoint(const UsbEndpoint&) = delete;
    UsbEndpoint& operator=(const UsbEndpoint&) = delete;

    /// Starts a direct transfer (request 0x22004B): the driver moves data straight into or out
    /// of `buffer`. Returns the request's record (keep it until finishTransfer()), or null when
    /// nothing was sent (closed device, negative length). lastError tells whether the request is
    /// in flight (997), done (0) or refused; the status words are read from the record at once.
    virtual std::unique_ptr<TransferBlock> beginDirect(uint8_t* buffer, int32_t length,
                                                       driver::Overlapped* overlapped);
    /// Starts a buffered transfer (request 0x220024): the data travels inside the record.
    virtual std::unique_ptr<TransferBlock> beginBuffered(uint8_t* buffer, int32_t length,
                                                         driver::Overlapped* overlapped);
    /// Starts a transfer in the endpoint's form: direct when transferMode is 1, else buffered
    /// (endpoint 0 sends its setup form instead).
    virtual std::unique_ptr<TransferBlock> beginTransfer(uint8_t* buffer, int32_t length,
                                                         driver::Overlapped* overlapped);
    /// Finishes a transfer that completed or whose pipe was aborted (it does not wait): sets
    /// `length` and bytesTransferred to the data bytes moved, copies buffered IN data and packet
    /// information (packetInfos, optional, at least the record's packet-info length) to the
    /// caller, and releases the record. True when the request succeeded and both status words
    /// are 0.
    virtual bool finishTransfer(uint8_t* buffer, int32_t& length, driver::Overlapped* overlapped,
                                std::unique_ptr<TransferBlock> record,
                                uint8_t* packetInfos = nullptr);

    /// A whole transfer: begin, wait up to timeoutMs (on time-out: abort, and wait for the
    /// driver to end the request), finish. `length` is in and out. True on success.
    bool transfer(uint8_t* buffer, int32_t& length, uint8_t* packetInfos = nullptr);
    /// Waits for a transfer started with `overlapped`: true at once when it completed when it
    /// was started (lastError 0); waits up to `milliseconds` when it is in flight (lastError
    /// 997); false otherwise.
    bool waitForTransfer(driver::Overlapped* overlapped, uint32_t milliseconds);
    /// Ends every request in flight on this endpoint's pipe (request 0x220044). Always true.
    bool abort();
    /// Sets the size of the pipe's transfers (request 0x220038), rounded up to a multiple of
    /// maxPacketSize; does nothing on a closed device or with maxPacketSize 0.
    void setTransferSize(uint32_t size);

    driver::Handle driverHandle;
    uint8_t descriptorLength = 0;
    uint8_t descriptorType = 0;
    uint8_t address = 0;     ///< bEndpointAddress; bit 7 set for IN
    uint8_t attributes = 0;  ///< bmAttributes; bits 0-1 the transfer type
    uint16_t maxPacketSize = 0;
    uint16_t packetsPerFrame = 0;
    uint8_t interval = 0;
    uint8_t companionLength = 0;
    uint8_t companionType = 0;
    uint8_t maxBurst = 0;
    uint8_t companionAttributes = 0;
    uint16_t bytesPerInterval = 0;
    uint32_t timeoutMs = 10000;
    uint32_t usbdStatus = 0;
    uint32_t ntStatus = 0;
    int32_t bytesTransferred = 0;
    uint32_t lastError = 0;
    bool isIn = false;
    uint32_t transferMode = 1;  ///< 1 direct, 0 buffered

    uint8_t transferType() const { return attributes & 3; }

  protected:
    /// Sends a prepared record and reads back lastError (and the status words unless told not).
    std::unique_ptr<TransferBlock> send(uint32_t code, std::unique_ptr<TransferBlock> record,
                                        uint8_t* out, uint32_t outLength,
                                        driver::Overlapped* overlapped, bool readStatus);
};

}  // namespace vexo::usb
