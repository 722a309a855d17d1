// Recording the libusb backend's traffic as a usbmon capture (pcap, link type 220).
//
// With VEXO_USB_CAPTURE=FILE set, every control, bulk and interrupt transfer a board's requests
// submit writes an 'S' event, and its completion a 'C' event (a refused submission an 'E'
// event), in the form Linux's usbmon gives them, so that tshark, Wireshark and tcpdump read the
// file as USB and a replayed capture can stand in for the board. Link type 220 is what libpcap
// itself writes for usbmon on current kernels; its 16 extra header bytes are zero for bulk and
// control transfers.
//
// VEXO_USB_CAPTURE_DATA=N keeps at most N data bytes of each event (default and most: 262080,
// so that no event passes the 256 KiB libpcap reads back for usbmon link types; longer transfers
// keep their first bytes and their whole length); VEXO_USB_CAPTURE_MAX=N stops writing once the
// file holds N bytes (default 1 GiB) and says so once on stderr.
//
// When the variable is unset, capture() is null and the backend makes no other call.
//
// Threading: every member may be called from any thread (one mutex around the file).
#pragma once

#include <cstdint>

struct libusb_transfer;

namespace vexo::driver::lusb {

class UsbCapture {
  public:
    /// The process's capture, opened at the first call from VEXO_USB_CAPTURE; null when the
    /// variable is unset, the build has no libpcap or the file cannot be made (said on stderr).
    static UsbCapture* capture();

    /// A transfer about to be submitted (filled, setup packet in place for control ones).
    void submitted(const libusb_transfer* transfer, uint16_t bus, uint8_t device);
    /// A transfer back from libusb (its status and actual length set).
    void completed(const libusb_transfer* transfer, uint16_t bus, uint8_t device);
    /// A submission libusb refused with `libusbError`.
    void refused(const libusb_transfer* transfer, uint16_t bus, uint8_t device, int libusbError);

    /// Writes what is buffered to the file.
    void flush();

    struct State;

  private:
    explicit UsbCapture(State* state) : state_(state) {}
    State* state_;
};

}  // namespace vexo::driver::lusb
