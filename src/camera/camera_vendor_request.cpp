// The one path from the camera to the board outside the image stream: a vendor control
// request on endpoint 0.
#include <limits>

#include "camera/zu_usb_camera_lib.h"
#include "usb/control_endpoint.h"
#include "usb/driver_device.h"

namespace vexo::camera {

namespace {

constexpr uint8_t kTargetDevice = 0;
constexpr uint8_t kRequestTypeVendor = 2;

}  // namespace

uint32_t ZuUsbCameraLib::vendorRequest(uint8_t request, uint8_t direction, uint16_t value,
                                       uint16_t index, uint32_t length, uint8_t* data,
                                       uint32_t* transferred) {
    // A capture loop on another thread sends its clock exchange here too.
    MutexLock lock(requestLock_);
    return controlTransfer(request, direction, value, index, length, data, transferred);
}

uint32_t ZuUsbCameraLib::controlTransfer(uint8_t request, uint8_t direction, uint16_t value,
                                         uint16_t index, uint32_t length, uint8_t* data,
                                         uint32_t* transferred) {
    if (transferred) *transferred = 0;
    if (!device_) return USB_CAMERA_USB_CREATE_ERROR;
    usb::ControlEndpoint* endpoint = device_->controlEndpoint.get();
    if (!endpoint) return USB_CAMERA_USB_CREATE_ERROR;
    // A data stage needs a buffer to read from or write to; the endpoint would copy
    // `length` bytes through a null pointer.
    if (length > 0 && !data) return USB_CAMERA_VR_COMMAND_ERROR;
    // The setup packet's wLength is 16 bits; a longer data stage cannot be asked for.
    if (length > std::numeric_limits<uint16_t>::max()) return USB_CAMERA_VR_COMMAND_ERROR;

    endpoint->target = kTargetDevice;
    endpoint->requestType = kRequestTypeVendor;
    endpoint->direction = direction;
    endpoint->requestCode = request;
    endpoint->value = value;
    endpoint->index = index;
    int32_t moved = static_cast<int32_t>(length);
    const bool ok = endpoint->transfer(data, moved, nullptr);
    if (transferred) *transferred = moved < 0 ? 0 : static_cast<uint32_t>(moved);
    return ok ? USB_CAMERA_NO_ERROR : USB_CAMERA_VR_COMMAND_ERROR;
}

}  // namespace vexo::camera
