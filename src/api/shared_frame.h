// Frames with a share of the buffer that holds them, for the Python module's zero-copy frame
// views. Internal to the library: libvexo does not export these; the module links them with
// the static layer libraries.
#pragma once

#include <vexo/camera.h>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace vexo::api {

// A frame the camera lends, copied together with what a view of it needs.
struct SharedFrame {
    FrameData record{};
    // A share of the frame's buffer: its bytes stay allocated while the share lives, through
    // the camera's reconfiguration, close and destruction. Null when no buffer of the camera
    // holds the frame.
    std::shared_ptr<const uint8_t[]> owner;
    // Bytes of the frame at record.imageData: the bytes it received, never more than its
    // format's length nor than its buffer; 0 without an owner.
    size_t bytes = 0;
};

// Vexo_readImage, with the lent frame's record, owner and byte count into *out on success.
// Threading: a frame-queue consumer call, under the rules of Vexo_readImage.
uint32_t readSharedFrame(CameraHandle handle, SharedFrame* out) noexcept;

// Vexo_getSingleFrame likewise; *gotFrame tells whether *out was filled.
uint32_t getSharedSingleFrame(CameraHandle handle, uint32_t timeoutMs, SharedFrame* out,
                              bool* gotFrame) noexcept;

}  // namespace vexo::api
