// The library boundary: every exported camera function runs its body through one of these
// guards, so no C++ exception ever reaches a C caller and a null handle is refused instead
// of dereferenced.
#pragma once

#include <vexo/camera.h>

#include <new>

#include "camera/usb_camera_lib.h"

namespace vexo::api {

/// Reported when an unexpected internal failure is stopped at the boundary. The camera never
/// returns this code otherwise, so it cannot be mistaken for a board's answer.
inline constexpr uint32_t kInternalFailure = USB_CAMERA_USB_SET_CONTEXT_ERROR;

/// The camera object behind an exported function's handle (the handle is the object's address).
inline camera::UsbCameraLib* cameraFromHandle(CameraHandle handle) {
    return static_cast<camera::UsbCameraLib*>(handle);
}

/// Runs fn(camera) for a status-returning function. A null handle gives
/// USB_CAMERA_USB_CREATE_ERROR (no device attached); running out of memory gives
/// USB_CAMERA_BUFFER_ERROR; anything else unexpected gives kInternalFailure.
template <typename Fn>
uint32_t guarded(CameraHandle handle, Fn&& fn) noexcept {
    if (handle == nullptr) return USB_CAMERA_USB_CREATE_ERROR;
    try {
        return fn(*cameraFromHandle(handle));
    } catch (const std::bad_alloc&) {
        return USB_CAMERA_BUFFER_ERROR;
    } catch (...) {
        return kInternalFailure;
    }
}

/// The same for the control-script functions, whose results are signed: -1 on any failure.
template <typename Fn>
int guardedScript(CameraHandle handle, Fn&& fn) noexcept {
    if (handle == nullptr) return -1;
    try {
        return fn(*cameraFromHandle(handle));
    } catch (...) {
        return -1;
    }
}

/// The same for the functions that return nothing.
template <typename Fn>
void guardedVoid(CameraHandle handle, Fn&& fn) noexcept {
    if (handle == nullptr) return;
    try {
        fn(*cameraFromHandle(handle));
    } catch (...) {
    }
}

}  // namespace vexo::api
