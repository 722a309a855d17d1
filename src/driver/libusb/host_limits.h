// What the Linux USB stack refuses, told to the user in one line on standard error.
//
// usbfs caps the memory of all transfers in flight (/sys/module/usbcore/parameters/
// usbfs_memory_mb, 16 MB by default), and the camera keeps 64 reads of 512 KiB queued while it
// streams: 32 MiB. A read the kernel refuses fails the capture start with a status code; this
// line tells the user which knob to turn. Boards the user may not open (no udev rule) are named
// the same way.
//
// Threading: every function may be called from any thread.
#pragma once

#include <cstdint>
#include <string>

struct libusb_device;

namespace vexo::driver::lusb {

inline constexpr const char* kUsbfsMemoryParameter =
    "/sys/module/usbcore/parameters/usbfs_memory_mb";

/// The line for a transfer of `bytes` that usbfs refused for want of buffer memory.
std::string transferMemoryMessage(uint32_t bytes);
/// Prints transferMemoryMessage() on standard error.
void reportTransferMemoryRefused(uint32_t bytes);

/// The line for a board this user may not open.
std::string noPermissionMessage(uint8_t bus, uint8_t address, uint16_t vendorId,
                                uint16_t productId);
/// Prints noPermissionMessage() on standard error, once per process: a scan tries every board.
void reportNoPermission(libusb_device* device);

}  // namespace vexo::driver::lusb
