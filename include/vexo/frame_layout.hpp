// vexo/frame_layout.hpp — what a configured board's frames hold: bytes, rows, images, samples.
//
// The byte count is the camera engine's own: the rule by which the library accepts a finished
// frame and sizes its frame slots. Every face (the tool, the preview, vexosrc, the Python
// package, the frame files) takes a frame's size from here and computes none itself.
//
// Threading: plain values and reentrant functions.
#pragma once

#include <vexo/camera.h>

#include <cstddef>
#include <cstdint>
#include <vexo/config.hpp>
#include <vexo/cpp_export.hpp>

namespace vexo {

/// The layout of the frames of one configuration. Rows are packed: a row is `stride` bytes and
/// the next row starts right after it.
struct FrameLayout {
    /// False for a format the library gives no size (any other value than its formats and 7);
    /// every other field is then 0.
    bool known = false;
    /// True when a whole frame holds exactly `bytes`; false for JPEG, whose frames hold any
    /// length up to `bytes`.
    bool exact = false;
    uint64_t bytes = 0;        ///< bytes of a whole frame (JPEG: the most a frame may hold)
    size_t slotBytes = 0;      ///< bytes of each of the library's frame slots for this layout
    uint32_t width = 0;        ///< pixels of a row
    uint32_t height = 0;       ///< rows of one image
    uint32_t images = 0;       ///< images one below the other (2 for RAW_D and MON_D), 0 for JPEG
    uint32_t rows = 0;         ///< rows of a frame: images x height (0 for JPEG)
    uint32_t sampleBytes = 0;  ///< bytes of one pixel's sample (RGB565 and YUYV: 2; JPEG: 0)
    /// Bits of a sample that carry the value: 8 for one byte, else the configured pixel bits
    /// (all 16 when 0 or more than 16). 0 for JPEG and format 7.
    uint32_t sampleBits = 0;
    size_t stride = 0;  ///< bytes of a row (0 for JPEG; format 7: bytes / rows)

    /// Whether a finished frame of `length` bytes is whole: exactly `bytes`, or for JPEG any
    /// length but 0 (the engine keeps every JPEG its slot holds).
    bool whole(uint64_t length) const { return known && (exact ? length == bytes : length > 0); }

    bool operator==(const FrameLayout&) const = default;
};

/// The layout of the frames a board configured with `cfg` sends.
VEXO_CPP_API FrameLayout frameLayout(const CameraConfig& cfg);
/// The same for a C++ configuration.
VEXO_CPP_API FrameLayout frameLayout(const Config& config);

}  // namespace vexo
