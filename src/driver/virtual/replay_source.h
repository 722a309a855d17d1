// A virtual board's stream played back from a recording made by `vexo record`: the frames of
// DIR/manifest.json, each read from the byte range the manifest gives within its file (the
// DNG's strip, a .raw or .jpg file whole). The bytes are sent unchanged with their recorded
// times, so what the host receives is what was recorded.
//
// Reading a recording is reading outside bytes: the manifest goes through the JSON parser and
// is checked whole before a board is made (names are plain file names inside DIR, every range
// lies inside its file, no frame is larger than the host's frame buffer); frame bytes are only
// ever read into a buffer sized for the largest frame, and a read that comes back short ends
// the replay. No image format is parsed, so the library needs no TIFF or PNG decoder.
//
// Threading: Recording is immutable once loaded; a ReplayPlayer is used by one thread at a
// time (the board model's lock).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "driver/virtual/board_config.h"

namespace vexo::driver::virt {

struct RecordedFrame {
    std::string path;     ///< the file, DIR/name
    uint64_t offset = 0;  ///< where the frame's bytes start in it
    uint32_t size = 0;    ///< the frame's byte count (u32Size)
    uint64_t time = 0;    ///< the frame's u64Time
};

struct Recording {
    std::string directory;
    uint32_t width = 0;
    uint32_t height = 0;
    uint8_t pixelBytes = 1;
    PixelFormat format = PixelFormat::Raw;
    BayerOrder bayer = BayerOrder::RGGB;
    std::vector<RecordedFrame> frames;  ///< in recorded order; never empty
    uint32_t largestFrame = 0;
};

/// Loads and checks DIR/manifest.json (or the manifest file `path` names). Null with a
/// one-line `error` ("frames[3].offset: missing ...") when the recording cannot be replayed.
std::shared_ptr<const Recording> loadRecording(const std::string& path, std::string& error);

/// Checks a manifest's text; `directory` is where its files are. Used by loadRecording.
std::shared_ptr<const Recording> parseRecording(std::string_view manifest,
                                                const std::string& directory, bool checkFiles,
                                                std::string& error);

/// Plays a recording frame after frame, once or looping. Looped passes carry times shifted by
/// the recording's span plus one mean frame interval, so times keep rising.
class ReplayPlayer {
  public:
    ReplayPlayer(std::shared_ptr<const Recording> recording, bool loop);

    /// True once a single pass has sent its last frame, or a frame could not be read.
    bool ended() const { return ended_; }
    /// Time of the next frame (its recorded u64Time, shifted on looped passes).
    uint64_t nextTime() const;
    /// Reads the next frame's bytes (once per frame). False, and ended() from then on, when
    /// the recording has ended or the frame's file cannot be read whole.
    bool prepare();
    /// The prepared frame's bytes, valid until the next prepare().
    std::span<const uint8_t> bytes() const { return {buffer_.data(), size_}; }
    /// The prepared frame went out: move on to the next.
    void advance();

  private:
    std::shared_ptr<const Recording> recording_;
    bool loop_;
    bool ended_ = false;
    bool prepared_ = false;
    uint64_t position_ = 0;  // frames sent, over all passes
    uint64_t passSpan_ = 0;
    std::vector<uint8_t> buffer_;
    size_t size_ = 0;
};

}  // namespace vexo::driver::virt
