// Writes received frames as numbered image files: frame_0000.png, ... (.jpg for JPEG
// frames). The converter and the file-name buffer are prepared once, so writing a frame
// allocates nothing of ours (libpng keeps its own small per-file state).
//
// Threading: one thread.
#pragma once

#include <vexo/camera.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>
#include <vexo/camera_file.hpp>
#include <vexo/frame_converter.hpp>
#include <vexo/isp.hpp>

namespace vexo::tools {

class FrameSink {
  public:
    /// Creates `directory` when missing; throws ToolError when it cannot. RAW frames with
    /// 2-byte pixels become 16-bit RGB PNGs, or 8-bit ones with `eightBit`. With `colour`,
    /// RAW, RAW_D, MON and MON_D frames go through the ISP with those settings (same depths).
    FrameSink(const std::string& directory, const CameraConfig& applied, RawMode bayer,
              bool eightBit = false, const ColourSettings* colour = nullptr);

    /// Writes the frame as the next numbered file; throws ToolError on a frame of the wrong
    /// size or a failed write.
    void write(const FrameData& frame);

    unsigned written() const { return written_; }
    /// The directory as an absolute path, for messages.
    const std::string& directory() const { return directory_; }
    /// File name of image `n` ("frame_0007.png").
    std::string fileName(unsigned n) const;

  private:
    std::string directory_;
    bool jpeg_;
    FrameConverter converter_;
    std::unique_ptr<Isp> isp_;  // when frames go through the ISP
    IspLayout ispLayout_ = IspLayout::Rgb8;
    std::vector<uint8_t> ispImage_;
    std::string path_;  // directory_ + "/" + the current name, rewritten in place
    size_t nameOffset_;
    unsigned written_ = 0;
};

}  // namespace vexo::tools
