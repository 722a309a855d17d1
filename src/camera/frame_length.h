#pragma once

#include <vexo/camera.h>

#include <cstddef>
#include <cstdint>

namespace vexo::camera {

/* Unit to which every frame buffer is rounded up. */
inline constexpr size_t kFrameBufferBlock = 512;

/* The format mode of @cfg as a plain number: callers may store any value there, which
 * the enumeration cannot hold. */
uint32_t formatMode(const CameraConfig& cfg);

/* Whether a finished frame of @length bytes has the length the format of @cfg asks for.
 * JPEG frames may have any length; format 7 is compared as a double against
 * W x H x 1.5 x 3.0; formats without a rule accept nothing. */
bool frameLengthAccepted(const CameraConfig& cfg, uint64_t length);

/* Bytes of one frame for the format of @cfg, in 32-bit arithmetic (for JPEG the most a
 * frame may hold, W x H x B x 2). Formats above 7 have no size: @previous is returned. */
uint32_t frameSizeFor(const CameraConfig& cfg, uint32_t previous);

/* Bytes to allocate for each frame slot: twice @frameSize, rounded up to 512. */
size_t frameBufferSize(uint32_t frameSize);

} /* namespace vexo::camera */
