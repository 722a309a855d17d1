#include "camera/frame_length.h"

#include <cstring>

namespace vexo::camera {

uint32_t formatMode(const CameraConfig& cfg) {
    uint32_t mode;
    static_assert(sizeof(mode) == sizeof(cfg.emImageFmtMode));
    std::memcpy(&mode, &cfg.emImageFmtMode, sizeof(mode));
    return mode;
}

bool frameLengthAccepted(const CameraConfig& cfg, uint64_t length) {
    const uint64_t w = cfg.u32Width;
    const uint64_t h = cfg.u32Height;
    const uint64_t b = cfg.u8PixelBytes;

    switch (formatMode(cfg)) {
        case FORMAT_MODE_RAW:
        case FORMAT_MODE_MON:
            return length == w * h * b;
        case FORMAT_MODE_RGB:
        case FORMAT_MODE_YUV:
            return length == w * h * 2;
        case FORMAT_MODE_JPG:
            return true;
        case FORMAT_MODE_RAW_D:
        case FORMAT_MODE_MON_D:
            return length == w * h * b * 2;
        case 7:
            /* The board's 4.5-bytes-per-pixel format; a fractional product never matches. */
            return static_cast<double>(length) ==
                   static_cast<double>(w) * static_cast<double>(h) * 1.5 * 3.0;
        default:
            return false;
    }
}

uint32_t frameSizeFor(const CameraConfig& cfg, uint32_t previous) {
    const uint32_t w = cfg.u32Width;
    const uint32_t h = cfg.u32Height;
    const uint32_t b = cfg.u8PixelBytes;

    switch (formatMode(cfg)) {
        case FORMAT_MODE_RAW:
        case FORMAT_MODE_MON:
            return w * h * b;
        case FORMAT_MODE_RGB:
        case FORMAT_MODE_YUV:
            return w * h * 2;
        case FORMAT_MODE_JPG:
        case FORMAT_MODE_RAW_D:
        case FORMAT_MODE_MON_D:
            return w * h * b * 2;
        case 7: {
            const double bytes = static_cast<double>(w) * static_cast<double>(h) * 1.5 * 3.0;
            /* Only a width or height far outside 1..16384 gets here; converting it would be
             * undefined, so it saturates instead. */
            return bytes < 4294967296.0 ? static_cast<uint32_t>(bytes) : UINT32_MAX;
        }
        default:
            return previous;
    }
}

size_t frameBufferSize(uint32_t frameSize) {
    const size_t bytes = 2 * static_cast<size_t>(frameSize);
    return (bytes + kFrameBufferBlock - 1) / kFrameBufferBlock * kFrameBufferBlock;
}

} /* namespace vexo::camera */
