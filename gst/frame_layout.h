// What a configured board's frames are to GStreamer: the caps of each format and where a
// frame's rows go in a buffer.
//
// GStreamer's raw video has rows padded to a multiple of 4 bytes; the library packs rows.
// Whenever a row's bytes are not a multiple of 4 the element copies row by row into the padded
// layout, so every downstream element reads the buffer as the caps describe it.
//
// Threading: plain values and reentrant functions.
#pragma once

#include <gst/gst.h>
#include <vexo/camera.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace vexo::gst {

struct FrameLayout {
    std::string mediaType;  ///< "video/x-bayer", "video/x-raw" or "image/jpeg"
    std::string format;     ///< caps format ("rggb", "GRAY16_LE", ...); empty for JPEG
    uint32_t width = 0;
    uint32_t height = 0;      ///< lines of the picture in the caps (twice the sensor's for _D)
    size_t rowBytes = 0;      ///< bytes of a row as the library delivers it (packed)
    size_t stride = 0;        ///< bytes of a row in a buffer
    size_t frameBytes = 0;    ///< bytes of a frame from the library; 0 for JPEG (any size)
    size_t bufferBytes = 0;   ///< bytes of a pool buffer: the largest frame a buffer holds
    bool compressed = false;  ///< JPEG: the frame goes into the buffer as it is

    bool padded() const { return !compressed && stride != rowBytes; }
};

/// The layout of frames of `config`, with the Bayer order `bayer` for RAW formats. False with
/// `error` set for a configuration GStreamer has no caps for.
bool frameLayout(const CameraConfig& config, RawMode bayer, FrameLayout& out, std::string& error);

/// Caps for `layout`: fixed apart from the frame rate, which is left as a range (the board
/// sends as it is configured; a caps filter downstream may state the nominal rate).
GstCaps* layoutCaps(const FrameLayout& layout);

/// Copies a frame of `size` bytes into `dest` (bufferBytes long) and returns the bytes the
/// buffer then holds, or 0 when the frame does not fit the layout (a short or long frame).
size_t copyFrame(const FrameLayout& layout, const uint8_t* frame, size_t size, uint8_t* dest);

/// Whether a frame of `size` bytes fits the layout as the library delivers it (packed rows).
bool frameFits(const FrameLayout& layout, size_t size);

}  // namespace vexo::gst
