// The frame queue's buffers, the reader's side of the queue, and the shot that empties it.
#include <new>

#include "camera/frame_length.h"
#include "camera/zu_usb_camera_lib.h"

namespace vexo::camera {

namespace {

constexpr uint8_t kShotFirst = 0xA9;
constexpr uint8_t kShotSecond = 0xA8;

}  // namespace

uint32_t ZuUsbCameraLib::allocFrameBuffers() {
    // A reader may still hold a frame of the configuration before: its record stays in the
    // bank the ring leaves, pointing at a buffer retired below or kept.
    ring_.startConfiguration();
    buffersReady_.store(false);
    assembly_.frameSize = frameSizeFor(assembly_.config, assembly_.frameSize);
    const size_t size = frameBufferSize(assembly_.frameSize);

    for (uint32_t slot = 0; slot < FrameRing::kSlots; ++slot) {
        // A buffer of the right size is kept: nothing to retire, nothing to allocate.
        const FrameSlot& current = ring_.slotAt(slot);
        if (current.owner && current.capacity == size) continue;
        std::shared_ptr<uint8_t[]> buffer;
        if (uint8_t* bytes = new (std::nothrow) uint8_t[size]) {
            try {
                buffer = std::shared_ptr<uint8_t[]>(bytes);
            } catch (const std::bad_alloc&) {
                // No room for the control block; the constructor freed the bytes.
            }
        }
        // Without a new buffer the slot loses its old one too: it belongs to another
        // configuration.
        const bool allocated = buffer != nullptr;
        ring_.replaceSlotBuffer(slot, std::move(buffer), size);
        if (!allocated) {
            configFailure_ = USB_CAMERA_BUFFER_ERROR;
            return USB_CAMERA_BUFFER_ERROR;
        }
    }
    buffersReady_.store(true);
    return USB_CAMERA_NO_ERROR;
}

void ZuUsbCameraLib::releaseFrameBuffers() {
    buffersReady_.store(false);
    ring_.releaseBuffers();
}

uint32_t ZuUsbCameraLib::readImage(FrameData** frame) {
    FrameData* out = nullptr;
    const uint32_t status = ring_.readImage(&out);
    if (frame) *frame = out;
    return status;
}

uint32_t ZuUsbCameraLib::del() {
    return ring_.del();
}

uint32_t ZuUsbCameraLib::flush() {
    return ring_.flush();
}

uint32_t ZuUsbCameraLib::availableImage() {
    return ring_.available();
}

uint32_t ZuUsbCameraLib::shot() {
    ring_.reset();
    uint32_t moved = 0;
    vendorRequest(kShotFirst, kHostToDevice, 0, 0, 0, nullptr, &moved);
    vendorRequest(kShotSecond, kHostToDevice, 0, 0, 0, nullptr, &moved);
    return USB_CAMERA_NO_ERROR;
}

}  // namespace vexo::camera
