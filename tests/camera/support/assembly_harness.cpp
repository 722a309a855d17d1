#include "camera/support/assembly_harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "camera/frame_length.h"
#include "driver/driver_service.h"

namespace vexo::camera::test {

namespace {
/* Harnesses alive (tests make them on one thread); the last one restores the clock. */
int gLiveHarnesses = 0;
}  // namespace

CameraConfig makeConfig(uint32_t format, uint32_t width, uint32_t height, uint8_t pixelBytes) {
    CameraConfig cfg{};
    cfg.u32CameraType = 0x1234;
    cfg.u16Vid = 0x52CB;
    cfg.u32Width = width;
    cfg.u32Height = height;
    cfg.u8PixelBytes = pixelBytes;
    cfg.u8PixelBits = static_cast<uint8_t>(8 * pixelBytes);
    cfg.u32I2cAddr = 0x20;
    cfg.usbType = USB_3;
    cfg.emI2cMode = I2C_MODE_16_16;
    std::memcpy(&cfg.emImageFmtMode, &format, sizeof(format));
    cfg.u32TransLvl = 7;
    return cfg;
}

AssemblyHarness::AssemblyHarness(const CameraConfig& cfg, size_t capacity) {
    state.config = cfg;
    state.frameSize = frameSizeFor(cfg, 0);
    if (gLiveHarnesses++ == 0) driver::setHostClockForTesting([] { return kHostTime; });
    if (capacity == 0) capacity = frameBufferSize(state.frameSize);
    for (uint32_t i = 0; i < FrameRing::kSlots; ++i) {
        buffers_.emplace_back(capacity);
        ring.setSlotBuffer(i, buffers_.back().data(), capacity);
    }
}

AssemblyHarness::~AssemblyHarness() {
    if (--gLiveHarnesses == 0) driver::setHostClockForTesting({});
}

uint32_t AssemblyHarness::trailer(const Bytes& transfer) {
    return assembleTrailerFrames(state, ring, transfer.data(), transfer.size(), completed);
}

uint32_t AssemblyHarness::chunks(const Bytes& transfer) {
    return assembleChunkFrames(state, ring, transfer.data(), transfer.size(), completed);
}

std::vector<uint32_t> AssemblyHarness::trailer(const std::vector<Bytes>& transfers) {
    std::vector<uint32_t> results;
    for (const Bytes& t : transfers) results.push_back(trailer(t));
    return results;
}

std::vector<uint32_t> AssemblyHarness::chunks(const std::vector<Bytes>& transfers) {
    std::vector<uint32_t> results;
    for (const Bytes& t : transfers) results.push_back(chunks(t));
    return results;
}

std::optional<ReadFrame> AssemblyHarness::pop() {
    FrameData* frame = nullptr;
    if (ring.readImage(&frame) != USB_CAMERA_NO_ERROR) return std::nullopt;
    ReadFrame out{*frame, {}};
    const size_t capacity = ring.slotCapacity(ring.readIndex());
    if (frame->cfg.u32Size > capacity)
        ADD_FAILURE() << "frame of " << frame->cfg.u32Size << " bytes in a buffer of " << capacity;
    const size_t size = std::min<size_t>(frame->cfg.u32Size, capacity);
    out.bytes.assign(frame->imageData, frame->imageData + size);
    ring.del();
    return out;
}

} /* namespace vexo::camera::test */
