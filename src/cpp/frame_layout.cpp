#include <algorithm>
#include <vexo/frame_layout.hpp>

#include "camera/config_fields.h"
#include "camera/frame_length.h"

namespace vexo {

FrameLayout frameLayout(const CameraConfig& cfg) {
    using camera::FormatLength;
    const FormatLength length = camera::formatLength(cfg);
    FrameLayout out;
    if (length.rule == FormatLength::kNone) return out;
    out.known = true;
    out.exact = length.rule != FormatLength::kAtMost;
    out.bytes = length.bytes;
    out.slotBytes = camera::frameBufferSize(camera::frameSizeFor(cfg, 0));
    out.width = cfg.u32Width;
    out.height = cfg.u32Height;

    const uint32_t format = camera::formatModeValue(cfg);
    if (format == FORMAT_MODE_JPG) return out;  // a compressed picture: no rows to speak of
    out.images = format == FORMAT_MODE_RAW_D || format == FORMAT_MODE_MON_D ? 2 : 1;
    out.rows = out.images * out.height;
    if (format == FORMAT_MODE_RGB || format == FORMAT_MODE_YUV) {
        out.sampleBytes = 2;
        out.sampleBits = 8;
    } else if (format != 7) {
        out.sampleBytes = cfg.u8PixelBytes;
        const unsigned bits = cfg.u8PixelBits;
        out.sampleBits = cfg.u8PixelBytes == 1 ? 8 : bits == 0 || bits > 16 ? 16 : bits;
    }
    // A row is what the engine's byte count gives each row, so rows x stride is the frame.
    if (out.rows != 0 && out.exact) out.stride = static_cast<size_t>(out.bytes / out.rows);
    return out;
}

FrameLayout frameLayout(const Config& config) {
    return frameLayout(config.toCameraConfig());
}

}  // namespace vexo
