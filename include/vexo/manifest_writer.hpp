// The recording's manifest, DIR/manifest.json: what was recorded (board, configuration, frame
// format) and one entry per written frame, in capture order:
//
//   {"vexoRecording": 1,
//    "board": {"index": 0, "serial": "VEXO-VIRTUAL-000"},
//    "configuration": {"source": "cam.cfg", "width": 640, "height": 480, "pixelBytes": 2,
//                      "pixelBits": 10, "format": "RAW", "bayer": "RGGB"},
//    "frames": [
//      {"file": "frame_000000.dng", "offset": 8, "number": 0, "u64Time": 1339..., "u32Size":
//      614400,
//       "status": "whole"},
//      ...],
//    "written": 120, "dropped": 0, "failed": null}
//
// `number` counts every frame the library delivered, dropped ones included, so gaps show where
// frames were dropped. `offset` is where the frame's bytes lie unchanged in its file (absent for
// PNG). `status` is "whole", "short" or "long" against the configured frame size ("whole" for
// every JPEG). Entries are written as frames are, so an interrupted recording keeps what it
// wrote; only its closing lines are missing.
//
// Threading: one thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vexo/cpp_export.hpp>
#include <vexo/frame_files.hpp>

namespace vexo {

struct RecordingHeader {
    unsigned boardIndex = 0;
    std::string serial;
    std::string configSource;
    FrameFormat layout;  ///< what the frames are (wideRgb and wideGrey play no part)
};

struct ManifestEntry {
    std::string_view file;
    std::optional<uint64_t> offset;
    uint64_t number = 0;
    uint64_t time = 0;
    uint32_t size = 0;
    std::string_view status;
};

class VEXO_CPP_API ManifestWriter {
  public:
    /// Creates `path` and writes the header; throws std::runtime_error when it cannot.
    ManifestWriter(const std::string& path, const RecordingHeader& header);
    ~ManifestWriter();
    ManifestWriter(const ManifestWriter&) = delete;
    ManifestWriter& operator=(const ManifestWriter&) = delete;

    /// Appends one frame; false when the file cannot be written.
    bool add(const ManifestEntry& entry);
    /// Writes the totals and closes the file; false when that fails. `failure` is empty, or
    /// the error that stopped the recording.
    bool close(uint64_t written, uint64_t dropped, std::string_view failure);

    const std::string& path() const { return path_; }

  private:
    std::string path_;
    FILE* file_ = nullptr;
    bool first_ = true;
};

/// A JSON string literal of `text`, quotes included.
VEXO_CPP_API std::string jsonString(std::string_view text);

/// A Bayer order as the virtual board's JSON writes it: "RGGB", ...
VEXO_CPP_API std::string_view manifestBayerName(RawMode bayer);

}  // namespace vexo
