// Virtual devices played back from USB captures: usbmon events (pcap or pcapng, link type 189
// or 220, as usbmon, tshark, Wireshark, tcpdump and VEXO_USB_CAPTURE write them) become a
// device whose descriptors, control answers and bulk IN data are the captured ones.
//
// The descriptors come from the captured GET_DESCRIPTOR answers; they must be in the capture
// (start it before plugging the board in, or before the program opens the board). Every other
// endpoint-0 request is answered by the first captured exchange with the same setup packet
// after the last one used, so a replay goes through the capture in order; a request with no
// such exchange is stalled and named on stderr, so a replay that diverges says where. Each bulk
// IN read gets the next captured completion of its endpoint.
//
// Threading: parsing is reentrant; the device model is called under the backend's device lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/virtual/device_model.h"

namespace vexo::driver::virt {

/// One control request of the capture other than GET_DESCRIPTOR, with its answer.
struct CapturedExchange {
    SetupPacket setup;
    bool stalled = false;       ///< completed with an error: replayed as a stall
    uint32_t length = 0;        ///< bytes the data stage moved
    std::vector<uint8_t> data;  ///< IN: the reply's kept bytes; OUT: the bytes the host sent
};

/// One bulk or interrupt IN completion.
struct CapturedRead {
    uint32_t length = 0;        ///< bytes the device sent
    std::vector<uint8_t> data;  ///< the kept ones (fewer when the capture cut the transfer)
};

/// What one device did in a capture.
struct CapturedDevice {
    uint16_t bus = 0;
    uint8_t address = 0;
    DescriptorTables descriptors;
    std::vector<CapturedExchange> control;
    std::map<uint8_t, std::vector<CapturedRead>> reads;  ///< by endpoint address (bit 7 set)
};

/// Sorts usbmon events by device. Any bytes may be fed: events too short for their header are
/// counted and skipped, and lengths are never trusted beyond the event's own bytes.
class UsbmonEvents {
  public:
    /// `linkType` 189 or 220; other link types are refused by the caller.
    void add(int linkType, const uint8_t* bytes, size_t size);

    /// The device `wanted` ("BUS.ADDRESS") or, when none, the first device that sent bulk data
    /// (else the first whose device descriptor was read). Fails naming why.
    bool device(const std::optional<std::string>& wanted, CapturedDevice& out,
                std::string& error) const;

    size_t skipped() const { return skipped_; }

  private:
    struct Pending {
        SetupPacket setup;
        std::vector<uint8_t> sent;
    };
    std::map<uint32_t, CapturedDevice> devices_;                ///< by bus << 8 | address
    std::vector<uint32_t> order_;                               ///< keys as first seen
    std::map<std::pair<uint32_t, uint64_t>, Pending> pending_;  ///< submitted control requests
    size_t skipped_ = 0;
};

/// Reads a capture file with libpcap. `wanted` as for UsbmonEvents::device().
bool readUsbCapture(const std::string& path, const std::optional<std::string>& wanted,
                    CapturedDevice& out, std::string& error);

/// The virtual device that plays `captured` back; `name` (the file) goes into stderr lines.
/// Fails when the capture holds no device descriptor or configuration.
bool replayDevice(CapturedDevice captured, const std::string& name, VirtualDeviceDescription& out,
                  std::string& error);

}  // namespace vexo::driver::virt
