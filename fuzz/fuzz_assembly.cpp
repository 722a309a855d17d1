/*
 * Frame assembly over arbitrary bytes. The first bytes of the input choose the
 * configuration, the flags, the slot capacity and how the rest is cut into transfers;
 * each transfer goes to one of the two assemblers. Slot buffers are allocated at exactly
 * their capacity, so a write or read past one is caught by AddressSanitizer.
 */
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "camera/frame_assembly.h"
#include "camera/frame_length.h"
#include "camera/frame_ring.h"

using namespace vexo::camera;

namespace {

struct Reader {
    const uint8_t* p;
    size_t n;
    uint32_t take(int bytes) {
        uint32_t v = 0;
        for (int i = 0; i < bytes && n; ++i, ++p, --n) v = v << 8 | *p;
        return v;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader in{data, size};
    CameraConfig cfg{};
    cfg.u32Width = in.take(1) + 1;
    cfg.u32Height = in.take(1) + 1;
    cfg.u8PixelBytes = static_cast<uint8_t>(in.take(1) % 3);
    const uint32_t format = in.take(1) % 9;
    std::memcpy(&cfg.emImageFmtMode, &format, sizeof(format));
    cfg.u32TransLvl = in.take(1);
    const uint32_t flags = in.take(1);
    const uint32_t capacityChoice = in.take(2);

    AssemblyState state;
    state.config = cfg;
    state.frameSize = (flags & 0x80) ? in.take(3) : frameSizeFor(cfg, 0);
    state.usbFirmwareVersion = in.take(2);
    state.boardCtrlVersion = {in.take(1), in.take(1), in.take(1)};
    state.lastFrameIndex = static_cast<uint16_t>(in.take(2));
    state.frameToggle = flags & 1;
    state.triggerMode = flags & 2;
    state.forceRead = flags & 4;

    /* The camera's buffer size, or a smaller one to stress the bounds. */
    const size_t capacity = (flags & 8) ? capacityChoice % 70000 : frameBufferSize(state.frameSize);
    if (capacity > (64u << 20)) return 0;
    FrameRing ring;
    std::unique_ptr<uint8_t[]> buffers[FrameRing::kSlots];
    for (uint32_t i = 0; i < FrameRing::kSlots; ++i) {
        buffers[i].reset(capacity ? new uint8_t[capacity] : nullptr);
        ring.setSlotBuffer(i, buffers[i].get(), capacity);
    }
    ring.setCollectedBytes((flags & 0x40) ? in.take(3) : 0);

    while (in.n) {
        const uint32_t control = in.take(1);
        size_t len = in.take(2);
        if (control & 0x40) len *= 16;
        len = len < in.n ? len : in.n;
        /* A copy of exactly the transfer's length, so reads past it are caught. */
        std::unique_ptr<uint8_t[]> transfer(new uint8_t[len ? len : 1]);
        if (len) std::memcpy(transfer.get(), in.p, len);
        in.p += len, in.n -= len;

        state.forceRead = control & 2;
        state.triggerMode = control & 4;
        state.reconfiguring = (control & 0x1C) == 0x1C;
        uint8_t completed = 0;
        const uint32_t r = (control & 1)
                               ? assembleChunkFrames(state, ring, transfer.get(), len, completed)
                               : assembleTrailerFrames(state, ring, transfer.get(), len, completed);
        if (r < 256 && r != completed) __builtin_trap();

        /* A reader's view: every queued frame's size lies within its buffer. */
        FrameData* frame = nullptr;
        while (ring.readImage(&frame) == USB_CAMERA_NO_ERROR) {
            if (frame->cfg.u32Size > capacity) __builtin_trap();
            if (frame->cfg.u32Size) (void)frame->imageData[frame->cfg.u32Size - 1];
            if (control & 0x80) break;
            ring.del();
        }
        if (control & 0x20) ring.reset();
    }
    return 0;
}
