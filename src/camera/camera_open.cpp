// Camera object lifetime and device selection: construction with the control-script host,
// scan, open, autoopen, the open sequence's transfer defaults and clock exchange, close.
#include <cstring>
#include <exception>
#include <new>

#include "camera/board_controller.h"
#include "camera/camera_controls.h"
#include "camera/zu_usb_camera_lib.h"
#include "driver/driver_service.h"
#include "usb/driver_device.h"

namespace vexo::camera {

namespace {

// One second in host-clock units (100 ns).
constexpr uint64_t kSyncInterval = 10'000'000;
// Pause between the two clock exchanges of the transfer defaults.
constexpr uint32_t kSyncSettleMs = 100;
// Walks of the bus one scan may make when boards come or go during a walk.
constexpr int kScanWalks = 3;

bool acceptedVendor(uint16_t vid) {
    return vid == kVendorIdPrimary || vid == kVendorIdSecondary;
}

// A device object for the boards' driver class, with device 0 opened; null when it cannot
// be made.
std::unique_ptr<usb::DriverDevice> makeDevice() {
    try {
        return std::make_unique<usb::DriverDevice>(nullptr, driver::kDriverInterfaceGuid, true);
    } catch (...) {
        return nullptr;
    }
}

// Opening closes the device open before, which may fail the same way as close().
bool openQuietly(usb::DriverDevice& device, uint32_t index) {
    try {
        return device.open(static_cast<uint8_t>(index & 0xFF));
    } catch (...) {
        return false;
    }
}

// Closing a handle may report failure as an exception; the camera's operations return
// status codes, so the failure stops here (the handle is gone either way).
void closeQuietly(usb::DriverDevice& device) {
    try {
        if (device.isOpen()) device.close();
    } catch (...) {
    }
}

void shutdownQuietly(usb::DriverDevice& device) {
    try {
        device.shutdown();
    } catch (...) {
    }
}

// Closes, shuts down and releases a device object.
void disposeDevice(std::unique_ptr<usb::DriverDevice> device) {
    if (!device) return;
    closeQuietly(*device);
    shutdownQuietly(*device);
}

}  // namespace

ZuUsbCameraLib::ZuUsbCameraLib() {
    init_controller(&controller_, controlReadReg, controlWriteReg, controlVendorIn,
                    controlVendorOut, controlLog);
}

ZuUsbCameraLib::~ZuUsbCameraLib() {
    // A camera destroyed while capturing (the caller skipped endCaptureImage) must not leave
    // reads in flight into buffers that are about to go.
    if (isCapturing()) abortCapture();
    // The device is owned, so a camera destroyed without close() still lets it go.
    disposeDevice(std::move(device_));
    releaseFrameBuffers();
    deinit_controller(controller_);
    controller_ = nullptr;
}

uint32_t ZuUsbCameraLib::scanByVid(uint32_t* indices, uint16_t vid) {
    std::unique_ptr<usb::DriverDevice> device = makeDevice();
    if (!device) return USB_CAMERA_USB_CREATE_ERROR;
    uint32_t found = 0;
    const uint8_t count = device->deviceCount();
    for (uint32_t i = 0; i < count; ++i) {
        if (!openQuietly(*device, i)) continue;
        if (device->vendorId == vid && indices) indices[found] = i;
        if (device->vendorId == vid) ++found;
        closeQuietly(*device);
    }
    disposeDevice(std::move(device));
    return found;
}

uint32_t ZuUsbCameraLib::scan(ScanEntry* entries) {
    std::unique_ptr<usb::DriverDevice> device = makeDevice();
    if (!device) return USB_CAMERA_USB_CREATE_ERROR;

    // The user-data reads go through this object's own vendor requests, so the scan's
    // device stands in for ours while it runs.
    std::unique_ptr<usb::DriverDevice> own = std::move(device_);
    uint32_t found = 0;
    // Boards are reached by index, and a board that leaves or comes during the walk moves the
    // indices of those after it: a walk over a bus that changed may skip boards that are
    // there. Such a walk is made again (a few times), so that the list is one state of the bus.
    for (int walk = 0; walk < kScanWalks; ++walk) {
        found = 0;
        const uint8_t count = device->deviceCount();
        for (uint32_t i = 0; i < count; ++i) {
            if (!openQuietly(*device, i)) continue;
            if (acceptedVendor(device->vendorId)) {
                ScanEntry entry{};
                entry.u8Index = static_cast<uint8_t>(i);
                device_ = std::move(device);
                readUserData(kSerialAddress, kSerialBytes, entry.u8Serial);
                device = std::move(device_);
                if (entries) std::memcpy(&entries[found], &entry, sizeof entry);
                ++found;
            }
            closeQuietly(*device);
        }
        if (device->deviceCount() == count) break;
    }
    device_ = std::move(own);
    disposeDevice(std::move(device));
    return found;
}

uint32_t ZuUsbCameraLib::open(CameraConfig* cfg, uint32_t index) {
    std::unique_ptr<usb::DriverDevice> device = makeDevice();
    if (!device) return USB_CAMERA_USB_CREATE_ERROR;
    if (!openQuietly(*device, index)) {
        disposeDevice(std::move(device));
        return USB_CAMERA_USB_CREATE_ERROR;
    }
    if (!acceptedVendor(device->vendorId)) {
        disposeDevice(std::move(device));
        return USB_CAMERA_USB_VERSION_ERROR;
    }
    return runOpenSequence(std::move(device), cfg);
}

uint32_t ZuUsbCameraLib::autoopen(CameraConfig* cfg) {
    std::unique_ptr<usb::DriverDevice> device = makeDevice();
    if (!device) return USB_CAMERA_USB_CREATE_ERROR;
    bool selected = false;
    const uint8_t count = device->deviceCount();
    for (uint32_t i = 0; i < count && !selected; ++i) {
        if (!openQuietly(*device, i)) continue;
        if (acceptedVendor(device->vendorId))
            selected = true;
        else
            closeQuietly(*device);
    }
    if (!selected) {
        disposeDevice(std::move(device));
        return USB_CAMERA_USB_CREATE_ERROR;
    }
    if (runOpenSequence(std::move(device), cfg) != USB_CAMERA_NO_ERROR) {
        disposeDevice(std::move(device_));
        return USB_CAMERA_USB_CREATE_ERROR;
    }
    return USB_CAMERA_NO_ERROR;
}

uint32_t ZuUsbCameraLib::runOpenSequence(std::unique_ptr<usb::DriverDevice> device,
                                         CameraConfig* cfg) {
    // A camera opened twice lets go of the device it had.
    if (device_ && device_ != device) disposeDevice(std::move(device_));
    device_ = std::move(device);
    setTransferDefaults();
    if (uint32_t status = applyConfig(cfg)) {
        // No buffers for this configuration: capture is refused with this same code.
        configFailure_ = status;
        return status;
    }
    return allocFrameBuffers();
}

uint32_t ZuUsbCameraLib::close() {
    writeReg_8_8(kBoardController, kRegClosed, kClosedValue);
    // close() is not meant to end a capture, but reads still in flight would complete into
    // transfer buffers of a device that is going away; end them first. The camera is idle
    // after it: captureImage refuses instead of reaching for the device that is gone.
    if (isCapturing()) abortCapture();
    disposeDevice(std::move(device_));
    releaseFrameBuffers();
    return USB_CAMERA_NO_ERROR;
}

void ZuUsbCameraLib::setTransferDefaults() {
    params_ = TransferParams{};
    for (int i = 0; i < 2; ++i) {
        lastSync_ = driver::hostTimeFileTime();
        exchangeClocks();
        driver::sleepMs(kSyncSettleMs);
    }
    syncTime(true);
}

void ZuUsbCameraLib::syncTime(bool force) {
    const uint64_t now = driver::hostTimeFileTime();
    // Unsigned on purpose: a clock that stepped back counts as due, not as recent.
    if (!force && now - lastSync_ <= kSyncInterval) return;
    lastSync_ = now;
    exchangeClocks();
}

void ZuUsbCameraLib::exchangeClocks() {
    uint8_t reply[kClockReadBytes] = {};
    uint32_t moved = 0;
    vendorRequest(kRequestClockRead, kDeviceToHost, 0, 0, sizeof reply, reply, &moved);
    const uint64_t t2 = driver::hostTimeFileTime();
    uint8_t answer[kClockSetBytes];
    std::memcpy(answer, reply, kClockSetHostTimeOffset);
    for (unsigned i = 0; i < 8; ++i)
        answer[kClockSetHostTimeOffset + i] = static_cast<uint8_t>(t2 >> (8 * i));
    vendorRequest(kRequestClockSet, kHostToDevice, 0, 0, sizeof answer, answer, &moved);
}

}  // namespace vexo::camera
