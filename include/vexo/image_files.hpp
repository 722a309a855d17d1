// Writing converted frames to files: PNG through libpng, JPEG frames as received.
//
// Threading: reentrant.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vexo/cpp_export.hpp>
#include <vexo/frame_converter.hpp>

namespace vexo {

/// Writes `image` as a PNG. Fast compression: frames are written while the board streams.
/// On failure returns false with "path: reason" in `error`.
VEXO_CPP_API bool writePng(const char* path, const ImageView& image, std::string& error);
/// Writes `image` as a PNG to an open stream (a file, or memory from open_memstream); false
/// when encoding fails. The stream stays open.
VEXO_CPP_API bool writePng(FILE* file, const ImageView& image);

/// Bytes of a received JPEG frame up to and including its last end-of-image marker (FF D9);
/// the whole frame when there is none. Receive buffers may hold padding after the image.
VEXO_CPP_API size_t jpegLength(std::span<const uint8_t> frame);

/// Writes the first jpegLength(frame) bytes. On failure returns false with "path: reason".
VEXO_CPP_API bool writeJpeg(const char* path, std::span<const uint8_t> frame, std::string& error);

}  // namespace vexo
