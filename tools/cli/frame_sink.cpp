#include "cli/frame_sink.h"

#include <cstdio>
#include <span>
#include <vexo/image_files.hpp>
#include <vexo/output_directory.hpp>

#include "cli/tool_error.h"

namespace vexo::tools {

namespace {

constexpr size_t kNameRoom = 32;  // "frame_4294967295.png" and its terminator fit

FrameFormat frameFormat(const CameraConfig& cfg, RawMode bayer, bool eightBit) {
    FrameFormat f = frameFormatOf(cfg, bayer);
    f.wideRgb = !eightBit;
    return f;
}

}  // namespace

FrameSink::FrameSink(const std::string& directory, const CameraConfig& applied, RawMode bayer,
                     bool eightBit, const ColourSettings* colour)
    : jpeg_(applied.emImageFmtMode == FORMAT_MODE_JPG),
      converter_(frameFormat(applied, bayer, eightBit)) {
    if (colour) {
        auto isp = std::make_unique<Isp>(frameFormat(applied, bayer, eightBit), *colour);
        if (isp->processes()) {
            const bool wide = applied.u8PixelBytes == 2 && !eightBit;
            ispLayout_ = isp->mono() ? (wide ? IspLayout::Gray16 : IspLayout::Gray8)
                                     : (wide ? IspLayout::Rgb16 : IspLayout::Rgb8);
            ispImage_.resize(size_t{isp->width()} * isp->height() * ispPixelBytes(ispLayout_));
            isp_ = std::move(isp);
        }
    }
    directory_ = createOutputDirectory(directory);
    path_ = directory_ + "/";
    nameOffset_ = path_.size();
    path_.reserve(nameOffset_ + kNameRoom);  // every later name fits without reallocating
}

std::string FrameSink::fileName(unsigned n) const {
    char name[32];
    std::snprintf(name, sizeof(name), "frame_%04u.%s", n, jpeg_ ? "jpg" : "png");
    return name;
}

void FrameSink::write(const FrameData& frame) {
    // The name is printed into the reserved tail of path_: no string is built per frame.
    path_.resize(nameOffset_ + kNameRoom - 1);
    const int n = std::snprintf(&path_[nameOffset_], kNameRoom, "frame_%04u.%s", written_,
                                jpeg_ ? "jpg" : "png");
    path_.resize(nameOffset_ + static_cast<size_t>(n));
    const char* path = path_.c_str();
    std::span<const uint8_t> bytes(frame.imageData, frame.cfg.u32Size);
    std::string error;
    if (jpeg_) {
        if (!writeJpeg(path, bytes, error)) throw ToolError(error);
    } else if (isp_) {
        const size_t stride = size_t{isp_->width()} * ispPixelBytes(ispLayout_);
        if (!isp_->process(bytes, {ispImage_.data(), ispImage_.size(), stride, ispLayout_, true}))
            throw ToolError("frame " + std::to_string(written_) + " holds " +
                            std::to_string(frame.cfg.u32Size) + " bytes, " +
                            std::to_string(isp_->frameBytes()) + " expected for the configuration");
        static constexpr PixelLayout kPng[] = {PixelLayout::Rgb8,  PixelLayout::Rgb8,
                                               PixelLayout::Rgb16, PixelLayout::Rgb16,
                                               PixelLayout::Gray8, PixelLayout::Gray16};
        ImageView image{isp_->width(), isp_->height(), kPng[static_cast<int>(ispLayout_)],
                        ispImage_, 0};
        if (!writePng(path, image, error)) throw ToolError(error);
    } else {
        ImageView image;
        if (!converter_.convert(bytes, image))
            throw ToolError("frame " + std::to_string(written_) + " holds " +
                            std::to_string(frame.cfg.u32Size) + " bytes, " +
                            std::to_string(converter_.frameBytes()) +
                            " expected for the configuration");
        if (!writePng(path, image, error)) throw ToolError(error);
    }
    ++written_;
}

}  // namespace vexo::tools
