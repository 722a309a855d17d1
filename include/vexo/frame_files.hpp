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
#include <vexo/isp_settings.hpp>

namespace vexo {

/// Where and when a frame was received, written into the file where its format has room.
struct FrameStamp {
    uint64_t number = 0;               ///< frame number within the recording
    uint64_t time = 0;                 ///< the frame's u64Time (FILETIME units), 0 when unknown
    std::string_view camera = "Vexo";  ///< camera model text (DNG UniqueCameraModel)
    /// The sensor's [colour] section, for a DNG's BlackLevel, AsShotNeutral and ColorMatrix1;
    /// null: black 0, neutral 1 1 1, sRGB primaries.
    const ColourSettings* colour = nullptr;
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

/// Memory and file offsets of a direct write are multiples of this (the largest logical block
/// size of common disks).
inline constexpr size_t kDirectAlignment = 4096;
/// Room a file image needs beyond the frame's offset and bytes: the DNG directory after the
/// strip, and the padding up to the next kDirectAlignment.
inline constexpr size_t kFileImageRoom = 16384;

/// Where the frame's bytes lie in a file of `kind` (the DNG strip follows the 8-byte TIFF
/// header; .raw and .jpg hold the frame alone). A frame placed at this offset of a file image
/// is written without being copied again.
VEXO_CPP_API size_t frameOffsetInFile(FileKind kind);

/// Writes frame files bypassing the page cache (O_DIRECT): the whole file is laid out in a
/// caller's aligned buffer around the frame, written in aligned blocks and truncated to its
/// length, so the file holds exactly the bytes writeFrameFile() writes. A file system that
/// refuses direct I/O (tmpfs) gets writeFrameFile()'s writes from then on, said once on
/// standard error (a first aligned write refused with EINVAL is taken as that refusal); so do
/// PNG files, which are compressed on the way out.
///
/// Threading: one thread at a time.
class VEXO_CPP_API DirectFileWriter {
  public:
    /// `direct` false: every file through the page cache, as writeFrameFile() writes it.
    explicit DirectFileWriter(bool direct = true) : direct_(direct) {}

    /// False once the file system refused direct I/O: every later file is written through the
    /// page cache.
    bool direct() const { return direct_; }

    /// Writes the `frameBytes` bytes lying at frameOffsetInFile(kind) in `image` as a file of
    /// `kind` (see writeFrameFile). `image` starts at a kDirectAlignment boundary and reaches
    /// at least kFileImageRoom past the frame; the rest of it is scratch.
    bool write(const char* path, FileKind kind, const FrameFormat& format, std::span<uint8_t> image,
               size_t frameBytes, const FrameStamp& stamp, WrittenFile& out, std::string& error);

  private:
    bool direct_ = true;
};

/// Writes `frame` to `path` as the kind its extension names (.dng/.tif/.tiff, .png, .raw/.bin,
/// .jpg/.jpeg), the one writer behind both `vexo record` and Python's Frame.save. False with
/// a one-line `error` for an unknown extension, a frame the kind cannot hold, or a failed write.
VEXO_CPP_API bool saveFrame(const char* path, const FrameFormat& format,
                            std::span<const uint8_t> frame, const FrameStamp& stamp,
                            std::string& error);

}  // namespace vexo
