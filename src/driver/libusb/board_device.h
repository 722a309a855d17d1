// One open real board: the driver's requests served with libusb on its device handle.
//
// Open claims the first interface of the active configuration (it fails when a kernel driver or
// another program holds it); close cancels what is in flight, waits for it, releases the interface
// and closes the handle. Descriptor reads and vendor requests become control transfers; reads and
// writes of the other endpoints become bulk or interrupt transfers straight on the caller's buffer.
//
// Threading: ioControl() may run in several threads at once (the camera's capture thread and a
// thread sending vendor requests); close() runs once, after which every request is refused.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "common/mutex.h"
#include "driver/backend.h"
#include "driver/driver_wire.h"
#include "driver/libusb/transfer_table.h"

struct libusb_context;
struct libusb_device;
struct libusb_device_handle;

namespace vexo::driver::lusb {

class BoardDevice : public DeviceObject {
  public:
    /// Opens and claims `device`; null with *error (a Windows error) when that fails.
    static std::unique_ptr<BoardDevice> open(libusb_context* context, libusb_device* device,
                                             uint32_t* error);
    ~BoardDevice() override;

    bool ioControl(uint32_t code, void* in, uint32_t inLength, void* out, uint32_t outLength,
                   uint32_t* bytesReturned, std::unique_ptr<Completion>& completion,
                   uint32_t* error) override;
    bool close(uint32_t* error) override;

  private:
    BoardDevice(libusb_context* context, libusb_device_handle* handle);

    bool serveInfo(uint32_t code, void* in, uint32_t inLength, uint8_t* out, uint32_t outLength,
                   uint32_t* bytesReturned, uint32_t* error);
    bool serveControl(uint8_t* in, uint32_t inLength, uint8_t* out, uint32_t outLength,
                      uint32_t* bytesReturned, std::unique_ptr<Completion>& completion,
                      uint32_t* error) VEXO_REQUIRES_SHARED(useLock_);
    bool serveData(uint32_t code, uint8_t* in, uint32_t inLength, uint8_t* out, uint32_t outLength,
                   uint32_t* bytesReturned, std::unique_ptr<Completion>& completion,
                   uint32_t* error) VEXO_REQUIRES_SHARED(useLock_);
    // Submits a filled transfer; completes it at once for synchronous requests.
    bool issue(const std::shared_ptr<PendingTransfer>& transfer, uint32_t* bytesReturned,
               std::unique_ptr<Completion>& completion, uint32_t* error);
    // Reads the names from the device's string descriptors (while opening).
    void readIdentity(libusb_device_handle* handle);
    void releaseHandle() VEXO_REQUIRES(useLock_);

    // Requests hold it shared while they use handle_; close() takes it exclusively.
    SharedMutex useLock_;
    libusb_device_handle* handle_ VEXO_GUARDED_BY(useLock_);
    bool closed_ VEXO_GUARDED_BY(useLock_) = false;

    std::shared_ptr<TransferTable> transfers_;

    // Fixed after open.
    int interfaceNumber_ = -1;
    std::map<uint8_t, uint8_t> endpointTypes_;  ///< address -> transfer type (bmAttributes & 3)
    uint8_t busAddress_ = 0;
    uint32_t speedCode_ = 0;
    std::string friendlyName_;
    std::string deviceName_;

    Mutex sizesMutex_;
    std::map<uint8_t, uint32_t> transferSizes_ VEXO_GUARDED_BY(sizesMutex_);
};

/// The driver speed code for a libusb speed: 1 low or full, 2 high, 4 SuperSpeed (or faster),
/// 0 unknown.
uint32_t speedCodeOf(int libusbSpeed);

}  // namespace vexo::driver::lusb
