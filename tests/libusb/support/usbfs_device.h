// A USB device on an emulated usbfs, for running the libusb backend against real libusb
// without hardware.
//
// umockdev (run the test program under umockdev-wrapper) gives the process a sysfs record and a
// device node for the device; an ioctl handler answers the usbdevfs requests libusb makes on
// that node. Control URBs are answered at once from the descriptor tables (GET_DESCRIPTOR) or by
// the device model; bulk IN URBs queue per endpoint and are offered to the model, oldest first,
// whenever libusb reaps. The handler and libusb share the address space, so URB buffers are
// used in place.
//
// Like the kernel, the emulation counts the bytes of URBs in flight against a usbfs memory
// limit (16 MB unless set otherwise) and refuses a submit past it with ENOMEM.
//
// Threading: the handler runs in umockdev's worker thread; the public members may be called
// from any thread.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "driver/virtual/device_model.h"

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
struct usbdevfs_urb;

namespace vexo::test {

/// The usbfs memory limit of a default kernel (usbfs_memory_mb = 16).
inline constexpr uint64_t kDefaultUsbfsMemory = 16ull * 1024 * 1024;

/// The process's testbed; null when the program does not run under umockdev-wrapper.
UMockdevTestbed* testbed();

struct UsbfsOptions {
    uint8_t bus = 1;
    uint8_t address = 2;
    std::string sysName = "1-1";                 ///< the device's sysfs name (bus-port)
    uint64_t memoryLimit = kDefaultUsbfsMemory;  ///< 0: no limit (usbfs_memory_mb = 0)
};

class UsbfsDevice {
  public:
    /// Plugs in a device serving `description` (descriptors, speed code and model) on the testbed.
    UsbfsDevice(driver::virt::VirtualDeviceDescription description, UsbfsOptions options = {});
    ~UsbfsDevice();
    UsbfsDevice(const UsbfsDevice&) = delete;
    UsbfsDevice& operator=(const UsbfsDevice&) = delete;

    /// Unplugs the device: the kernel fails every URB and ioctl with ENODEV from now on, and the
    /// device leaves sysfs.
    void unplug();

    /// Bulk IN URBs queued on `endpoint`.
    size_t queuedUrbs(uint8_t endpoint) const;
    /// Most bytes of URBs in flight at one time so far.
    uint64_t peakMemory() const;
    /// Submits refused for the memory limit.
    uint32_t refusedSubmits() const;
    /// Interfaces claimed now.
    size_t claimedInterfaces() const;

  private:
    struct Urb {
        usbdevfs_urb* urb;
        uint32_t bytes;
    };

    static int onIoctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, void* self);
    bool handle(UMockdevIoctlClient* client);
    void submit(UMockdevIoctlClient* client, usbdevfs_urb* urb);
    void reap(UMockdevIoctlClient* client);
    void discard(UMockdevIoctlClient* client, usbdevfs_urb* urb);
    void serveControl(usbdevfs_urb* urb);
    bool serveDescriptor(const driver::SetupPacket& setup, uint8_t* data, uint32_t* length);
    void offerBulkReads();
    void completeUrb(usbdevfs_urb* urb, int status, int length);
    bool goneLocked() const;

    driver::virt::VirtualDeviceDescription description_;
    UsbfsOptions options_;
    std::string devNode_;
    std::string sysPath_;
    UMockdevIoctlBase* handler_ = nullptr;

    mutable std::mutex mutex_;
    bool unplugged_ = false;
    std::map<uint8_t, std::deque<Urb>> queued_;  ///< bulk IN URBs by endpoint
    std::deque<Urb> reapable_;
    uint64_t memory_ = 0;
    uint64_t peakMemory_ = 0;
    uint32_t refused_ = 0;
    std::map<uint32_t, bool> claimed_;
};

}  // namespace vexo::test
