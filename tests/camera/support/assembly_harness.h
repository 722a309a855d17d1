#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "camera/frame_assembly.h"
#include "camera/frame_ring.h"
#include "camera/support/stream_builder.h"

namespace vexo::camera::test {

/* Host time the clock reports while a harness lives. */
inline constexpr uint64_t kHostTime = 0x01DA000000000000ull;

/* @format is a plain number: tests also use values the enumeration does not name. */
CameraConfig makeConfig(uint32_t format, uint32_t width, uint32_t height, uint8_t pixelBytes = 1);

/* A frame taken off the ring: its record and a copy of its u32Size bytes. */
struct ReadFrame {
    FrameData record;
    Bytes bytes;
};

/* An assembly state and a ring with buffers the way the camera sets them up, each buffer
 * allocated at exactly its capacity so a write past it is caught by the sanitizers. */
class AssemblyHarness {
  public:
    /* @capacity 0: twice the frame size rounded up to 512, as the camera allocates. The host
     * clock reports kHostTime while a harness lives. */
    explicit AssemblyHarness(const CameraConfig& cfg, size_t capacity = 0);
    ~AssemblyHarness();
    AssemblyHarness(const AssemblyHarness&) = delete;
    AssemblyHarness& operator=(const AssemblyHarness&) = delete;

    uint32_t trailer(const Bytes& transfer);
    uint32_t chunks(const Bytes& transfer);
    /* Feeds every transfer; returns each call's result. */
    std::vector<uint32_t> trailer(const std::vector<Bytes>& transfers);
    std::vector<uint32_t> chunks(const std::vector<Bytes>& transfers);

    /* readImage + copy + del; nothing when the ring is empty. */
    std::optional<ReadFrame> pop();

    AssemblyState state;
    FrameRing ring;
    /* 8-bit count of the last call. */
    uint8_t completed = 0;

  private:
    std::vector<std::vector<uint8_t>> buffers_;
};

} /* namespace vexo::camera::test */
