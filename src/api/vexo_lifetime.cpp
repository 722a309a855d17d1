// The four lifetime functions: scan, open, autoopen and close. The camera object does the
// device selection and the open sequence; these create and destroy it and keep exceptions
// and null pointers from crossing the boundary.
#include <vexo/camera.h>

#include <array>
#include <memory>
#include <new>

#include "api/boundary.h"
#include "camera/zu_usb_camera_lib.h"

using vexo::api::kInternalFailure;
using vexo::camera::ZuUsbCameraLib;

namespace {

// Creates the camera object and hands it out at once, before anything can fail, so that the
// caller owns a handle whatever the open reports. Without a configuration there is no size to
// check: the open answers @noConfig (out of range for Vexo_open; autoopen reports every
// failure as USB_CAMERA_USB_CREATE_ERROR).
template <typename Open>
Uint32 openWith(CameraHandle* handle, CameraConfig* cfg, Uint32 noConfig, Open&& open) noexcept {
    if (handle == nullptr) return USB_CAMERA_USB_CREATE_ERROR;
    *handle = nullptr;
    try {
        auto* camera = new ZuUsbCameraLib();
        *handle = camera;
        if (cfg == nullptr) return noConfig;
        return open(*camera, cfg);
    } catch (const std::bad_alloc&) {
        return USB_CAMERA_BUFFER_ERROR;
    } catch (...) {
        return kInternalFailure;
    }
}

}  // namespace

extern "C" {

Uint32 VEXO_CALL Vexo_scan(ScanEntry* entries) {
    try {
        // A caller that only wants the count may pass no array.
        std::unique_ptr<std::array<ScanEntry, 256>> scratch;
        if (entries == nullptr) {
            scratch = std::make_unique<std::array<ScanEntry, 256>>();
            entries = scratch->data();
        }
        ZuUsbCameraLib scanner;
        return scanner.scan(entries);
    } catch (const std::bad_alloc&) {
        return USB_CAMERA_BUFFER_ERROR;
    } catch (...) {
        return kInternalFailure;
    }
}

Uint32 VEXO_CALL Vexo_open(CameraHandle* handle, CameraConfig* cfg, Uint32 index) {
    return openWith(handle, cfg, USB_CAMERA_SIZE_EXCEED_ERROR,
                    [index](ZuUsbCameraLib& camera, CameraConfig* config) {
                        return camera.open(config, index);
                    });
}

Uint32 VEXO_CALL Vexo_autoopen(CameraHandle* handle, CameraConfig* cfg) {
    return openWith(
        handle, cfg, USB_CAMERA_USB_CREATE_ERROR,
        [](ZuUsbCameraLib& camera, CameraConfig* config) { return camera.autoopen(config); });
}

Uint32 VEXO_CALL Vexo_close(CameraHandle handle) {
    if (handle == nullptr) return USB_CAMERA_NO_ERROR;
    auto* camera = vexo::api::cameraFromHandle(handle);
    try {
        camera->close();
    } catch (...) {
        // The device is released by the destructor's path below; close reports 0 regardless.
    }
    delete camera;
    return USB_CAMERA_NO_ERROR;
}

}  // extern "C"
