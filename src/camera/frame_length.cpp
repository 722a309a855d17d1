#include "camera/frame_length.h"

#include <algorithm>

namespace vexo::camera {

FormatLength formatLength(const CameraConfig& cfg) {
    const uint64_t w = cfg.u32Width;
    const uint64_t h = cfg.u32Height;
    const uint64_t b = cfg.u8PixelBytes;

    switch (formatModeValue(cfg)) {
        case FORMAT_MODE_RAW:
        case FORMAT_MODE_MON:
            return {FormatLength::kExact, w * h * b};
        case FORMAT_MODE_RGB:
        case FORMAT_MODE_YUV:
            return {FormatLength::kExact, w * h * 2};
        case FORMAT_MODE_JPG:
            return {FormatLength::kAtMost, w * h * b * 2};
        case FORMAT_MODE_RAW_D:
        case FORMAT_MODE_MON_D:
            return {FormatLength::kExact, w * h * b * 2};
        case 7: {
            // The board's 4.5-bytes-per-pixel format, taken as a double: a width and
            // height far outside 1..16384 would overflow the integer product.
            const double bytes = static_cast<double>(w) * static_cast<double>(h) * 1.5 * 3.0;
            if (!(bytes < 18446744073709551616.0)) return {FormatLength::kNever, UINT64_MAX};
            const auto whole = static_cast<uint64_t>(bytes);
            return {
                static_cast<double>(whole) == bytes ? FormatLength::kExact : FormatLength::kNever,
                whole};
        }
        default:
            return {};
    }
}

bool frameLengthAccepted(const CameraConfig& cfg, uint64_t length) {
    const FormatLength format = formatLength(cfg);
    return format.rule == FormatLength::kAtMost ||
           (format.rule == FormatLength::kExact && length == format.bytes);
}

uint32_t frameSizeFor(const CameraConfig& cfg, uint32_t previous) {
    const FormatLength format = formatLength(cfg);
    if (format.rule == FormatLength::kNone) return previous;
    return static_cast<uint32_t>(std::min<uint64_t>(format.bytes, UINT32_MAX));
}

uint64_t frameBytesHeld(const CameraConfig& cfg) {
    const FormatLength format = formatLength(cfg);
    return format.rule == FormatLength::kExact ? std::min<uint64_t>(cfg.u32Size, format.bytes)
                                               : cfg.u32Size;
}

size_t frameBufferSize(uint32_t frameSize) {
    const size_t bytes = 2 * static_cast<size_t>(frameSize);
    return (bytes + kFrameBufferBlock - 1) / kFrameBufferBlock * kFrameBufferBlock;
}

}  // namespace vexo::camera
