#pragma once

#include <vexo/camera.h>

#include <cstddef>
#include <cstdint>

#include "camera/config_fields.h"

namespace vexo::camera {

/// Unit to which every frame buffer is rounded up.
inline constexpr size_t kFrameBufferBlock = 512;

/// What the format of a configuration says about the length of its frames, with W, H and B
/// the width, height and pixel bytes:
///   RAW, MON          W x H x B            exact
///   RGB, YUV          W x H x 2            exact
///   RAW_D, MON_D      W x H x B x 2        exact
///   JPG               W x H x B x 2        the most a frame may hold; any length is a frame
///   7                 W x H x 1.5 x 3.0    exact when whole; a fractional product never
///                                          matches (bytes is then rounded down)
///   any other value   no size
/// Products are taken in 64-bit arithmetic.
struct FormatLength {
    enum Rule : uint8_t { kExact, kAtMost, kNever, kNone };
    Rule rule = kNone;
    uint64_t bytes = 0;
};
FormatLength formatLength(const CameraConfig& cfg);

/// Whether a finished frame of `length` bytes has the length the format of `cfg` asks for.
bool frameLengthAccepted(const CameraConfig& cfg, uint64_t length);

/// Bytes of one frame for the format of `cfg` (for JPEG the most a frame may hold), capped
/// at 32 bits. Formats without a size return `previous`.
uint32_t frameSizeFor(const CameraConfig& cfg, uint32_t previous);

/// Bytes a queued frame with the record `cfg` (u32Size is its received length) holds: the
/// received length, never more than its format's exact length.
uint64_t frameBytesHeld(const CameraConfig& cfg);

/// Bytes to allocate for each frame slot: twice `frameSize`, rounded up to 512.
size_t frameBufferSize(uint32_t frameSize);

}  // namespace vexo::camera
