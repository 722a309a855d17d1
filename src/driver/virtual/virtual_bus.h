// The virtual bus: in-process devices served through the driver service.
//
// A device added here appears, after the devices already present, under the driver's interface
// class (kDriverInterfaceGuid) with a path like
//   \\?\usb#vid_52cb&pid_03f1#vexo-virtual-<n>#{ae18aa60-7f6a-11d4-97dd-00010229b959}
// (vendor and product ids from its device descriptor). Its descriptor tables answer the standard
// GET_DESCRIPTOR requests; its DeviceModel answers every other endpoint-0 request and fills the
// reads of its IN endpoints.
//
// A device whose model reports !present() leaves enumeration and cannot be opened; requests on
// handles already open fail with 1167 and reads in flight complete with that error. A removed
// device behaves the same for the handles still open on it.
//
// Threading: every function may be called from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "driver/virtual/device_model.h"

namespace vexo::driver::virt {

using DeviceId = uint32_t;

/// Adds a device; returns its id (never 0). The first call registers the virtual backend with
/// the driver service.
DeviceId addDevice(VirtualDeviceDescription description);
/// Registers the virtual backend with the driver service and sets what it runs before each
/// enumeration and open to bring the bus in line with its configuration. The library sets
/// loadBoardsFromEnvironment (environment_boards.h) when it is loaded.
void configureBus(void (*refresh)());
/// Removes a device. Handles open on it stay safe to use and fail their requests.
void removeDevice(DeviceId id);
/// Removes every device.
void removeAllDevices();

/// The device's path as enumeration lists it; empty for an unknown id.
std::string devicePath(DeviceId id);

// ---------------------------------------------------------------------------------------------
// Inspection and fault injection, for tests

/// How an injected fault treats a request.
enum class FaultKind {
    Fail,   ///< refused at once with `error`
    Delay,  ///< completes normally `delay` after it was issued (a synchronous call sleeps)
    Never,  ///< stays in flight until aborted or its handle closes (a synchronous call fails
            ///< with 1460, kErrorTimeout, instead of blocking for ever)
};

struct RequestFault {
    FaultKind kind = FaultKind::Fail;
    uint32_t error = 31;  ///< for Fail: the Windows error (default kErrorGenFailure)
    std::chrono::milliseconds delay{0};
    int count = -1;  ///< requests it applies to; -1: all until cleared
};

/// Applies `fault` to the next requests of `code` on device `id`. A Delay or Never fault on a
/// transfer request holds the request in its pipe in place of serving it; a later request of
/// the pipe completes after it.
void injectRequestFault(DeviceId id, uint32_t code, RequestFault fault);
/// Removes every injected request fault of the device.
void clearRequestFaults(DeviceId id);
/// Makes the next close of a handle on the device report failure with `error`.
void failNextClose(DeviceId id, uint32_t error);

/// The size last set with request 0x220038 for `endpoint`; none when never set.
std::optional<uint32_t> transferSize(DeviceId id, uint8_t endpoint);
/// Requests in flight on the pipe of `endpoint` (0 for the control pipe).
size_t pendingRequests(DeviceId id, uint8_t endpoint);

/// An endpoint-0 request as the device received it.
struct ControlSeen {
    SetupPacket setup;
    uint32_t timeoutSeconds = 0;
    uint32_t dataOffset = 0;
    uint32_t dataLength = 0;
};
/// Every endpoint-0 request the device received since it was added or the log was cleared.
std::vector<ControlSeen> controlLog(DeviceId id);
void clearControlLog(DeviceId id);

}  // namespace vexo::driver::virt
