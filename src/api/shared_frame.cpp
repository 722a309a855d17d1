#include "api/shared_frame.h"

#include <algorithm>

#include "api/boundary.h"
#include "camera/frame_length.h"
#include "camera/zu_usb_camera_lib.h"

namespace vexo::api {

namespace {

// Fills *out from the frame @frame that @camera lent. The record is one of its ring's slots,
// whose buffer is the frame's: the ring is refilled or its buffers replaced only after the
// frame has left the queue, which the caller's consumer call holds off.
void share(camera::UsbCameraLib& camera, const FrameData& frame, SharedFrame* out) {
    out->record = frame;
    out->owner = nullptr;
    out->bytes = 0;
    // Every camera behind a handle is the engine (the lifetime functions make no other).
    const auto& ring = static_cast<camera::ZuUsbCameraLib&>(camera).frameRing();
    const camera::FrameSlot* slot = ring.slotOf(&frame);
    if (slot == nullptr || slot->owner == nullptr || frame.imageData != slot->owner.get()) return;
    out->owner = slot->owner;
    out->bytes =
        static_cast<size_t>(std::min<uint64_t>(camera::frameBytesHeld(frame.cfg), slot->capacity));
}

}  // namespace

uint32_t readSharedFrame(CameraHandle handle, SharedFrame* out) noexcept {
    return guarded(handle, [out](camera::UsbCameraLib& camera) {
        FrameData* frame = nullptr;
        const uint32_t status = camera.readImage(&frame);
        if (status == USB_CAMERA_NO_ERROR && frame != nullptr) share(camera, *frame, out);
        return status;
    });
}

uint32_t getSharedSingleFrame(CameraHandle handle, uint32_t timeoutMs, SharedFrame* out,
                              bool* gotFrame) noexcept {
    *gotFrame = false;
    return guarded(handle, [timeoutMs, out, gotFrame](camera::UsbCameraLib& camera) {
        FrameData* frame = nullptr;
        const uint32_t status = camera.getSingleFrame(&frame, timeoutMs);
        if (status == USB_CAMERA_NO_ERROR && frame != nullptr) {
            share(camera, *frame, out);
            *gotFrame = true;
        }
        return status;
    });
}

}  // namespace vexo::api
