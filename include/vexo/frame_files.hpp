// Lossless frame files: each received frame as a standard file other programs open, with no
// conversion of its samples.
//
//   RAW, RAW_D  DNG (uncompressed CFA, little-endian; 2-byte pixels as 16-bit samples with the
//               sensor's white level), written through libtiff. RAW_D is one mosaic of 2 x H rows.
//   MON, MON_D  PNG, 8-bit or 16-bit grey; 16-bit samples hold the value shifted to the top
//               bits with an sBIT chunk naming the significant bits (as PNG asks).
//   RGB, YUV    the frame's bytes as received (.raw); the manifest describes them.
//   JPG         the JPEG as received (.jpg).
// A frame whose size is not the configuration's (a short or long frame) is written as its raw
// bytes whatever the format, so nothing received is lost or invented.
//
// For every file the writer reports where the frame's bytes lie in it when they lie there
// unchanged (DNG strip, .raw, .jpg): replay reads just that range and needs no image decoder.
//
// Threading: reentrant.
#pragma once

#include <vexo/camera.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vexo/cpp_export.hpp>
#include <vexo/frame_converter.hpp>

namespace vexo {

/// Where and when a frame was received, written into the file where its format has room.
struct FrameStamp {
    uint64_t number = 0;               ///< frame number within the recording
    uint64_t time = 0;                 ///< the frame's u64Time (FILETIME units), 0 when unknown
    std::string_view camera = "Vexo";  ///< camera model text (DNG UniqueCameraModel)
};

enum class FileKind : uint8_t { Dng, Png, Raw, Jpeg };

/// The kind a frame of `size` bytes is written as (see the file comment).
VEXO_CPP_API FileKind fileKindFor(const FrameFormat& format, size_t size);
/// "dng", "png", "raw", "jpg".
VEXO_CPP_API std::string_view fileExtension(FileKind kind);
/// The kind an extension asks for ("x.dng" -> Dng, ".tif"/".tiff" also Dng); none if unknown.
VEXO_CPP_API std::optional<FileKind> fileKindOfPath(std::string_view path);

struct WrittenFile {
    FileKind kind = FileKind::Raw;
    /// Byte offset of the frame's bytes, unchanged, within the file; none for PNG.
    std::optional<uint64_t> dataOffset;
};

/// Writes `frame` as a file of `kind`. DNG needs a whole RAW/RAW_D frame (its layout()'s
/// bytes), PNG a whole MON/MON_D frame; raw and JPEG take any bytes. On failure
/// returns false with "path: reason" in `error`.
VEXO_CPP_API bool writeFrameFile(const char* path, FileKind kind, const FrameFormat& format,
                                 std::span<const uint8_t> frame, const FrameStamp& stamp,
                                 WrittenFile& out, std::string& error);

/// Writes `frame` to `path` as the kind its extension names (.dng/.tif/.tiff, .png, .raw/.bin,
/// .jpg/.jpeg), the one writer behind both `vexo record` and Python's Frame.save. False with
/// a one-line `error` for an unknown extension, a frame the kind cannot hold, or a failed write.
VEXO_CPP_API bool saveFrame(const char* path, const FrameFormat& format,
                            std::span<const uint8_t> frame, const FrameStamp& stamp,
                            std::string& error);

}  // namespace vexo
