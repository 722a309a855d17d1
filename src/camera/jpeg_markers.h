#pragma once

#include <cstddef>
#include <cstdint>

namespace vexo::camera {

/// What the marker searches return when a frame holds no such marker.
inline constexpr size_t kNoMarker = SIZE_MAX;

/// Second bytes of the JPEG markers the assembly looks for (each follows a 0xFF).
inline constexpr uint8_t kJpegStart = 0xD8;
inline constexpr uint8_t kJpegEnd = 0xD9;

/// First i in [`from`, `len` - 1) with bytes[i] == 0xFF and bytes[i + 1] == `second`, or
/// kNoMarker. Reads bytes[`from` .. `len`) only.
size_t findMarker(const uint8_t* bytes, size_t from, size_t len, uint8_t second);

/// Last such i, or kNoMarker.
size_t findLastMarker(const uint8_t* bytes, size_t from, size_t len, uint8_t second);

/// Where the image of a trailer-framed JPEG frame of `len` bytes starts: its first start
/// marker, when an end marker follows that marker; kNoMarker otherwise.
size_t jpegImageStart(const uint8_t* bytes, size_t len);

}  // namespace vexo::camera
