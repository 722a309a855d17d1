#include "frame_layout.h"

#include <gst/video/video.h>

#include <cstring>
#include <vexo/frame_layout.hpp>

namespace vexo::gst {

namespace {

const char* bayerOrder(RawMode bayer) {
    switch (bayer) {
        case RAW_GR:
            return "grbg";
        case RAW_GB:
            return "gbrg";
        case RAW_BG:
            return "bggr";
        case RAW_RG:
            break;
    }
    return "rggb";
}

// Two-byte Bayer pixels: GStreamer 1.24 names the little-endian containers of 10, 12, 14 and
// 16 significant bits "rggb10le" ... "rggb16le"; a value with fewer bits fits the next one up.
std::string wideBayerFormat(RawMode bayer, uint8_t pixelBits) {
    unsigned bits = pixelBits <= 10 ? 10 : (pixelBits + 1u) / 2u * 2u;
    if (bits > 16) bits = 16;
    return std::string(bayerOrder(bayer)) + std::to_string(bits) + "le";
}

// Row stride GStreamer gives a raw video format (rows padded to 4 bytes for all of ours).
size_t videoStride(GstVideoFormat format, uint32_t width, uint32_t height) {
    GstVideoInfo info;
    if (!gst_video_info_set_format(&info, format, width, height)) return 0;
    return static_cast<size_t>(GST_VIDEO_INFO_PLANE_STRIDE(&info, 0));
}

}  // namespace

bool frameLayout(const CameraConfig& config, RawMode bayer, FrameLayout& out, std::string& error) {
    out = FrameLayout{};
    const uint32_t w = config.u32Width;
    const uint32_t h = config.u32Height;
    const uint8_t pb = config.u8PixelBytes;
    if (w < 1 || w > 16384 || h < 1 || h > 16384 || (pb != 1 && pb != 2)) {
        error = "width and height must be 1..16384 and pixel bytes 1 or 2";
        return false;
    }
    // Bytes, rows and packed row length are the library's; only the padding is GStreamer's.
    const vexo::FrameLayout frame = vexo::frameLayout(config);
    out.width = w;
    out.height = frame.rows;
    out.rowBytes = frame.stride;

    GstVideoFormat video = GST_VIDEO_FORMAT_UNKNOWN;
    switch (config.emImageFmtMode) {
        case FORMAT_MODE_RAW_D:  // the picture, then the same picture inverted below it
        case FORMAT_MODE_RAW:
            out.mediaType = "video/x-bayer";
            out.format = pb == 1 ? bayerOrder(bayer) : wideBayerFormat(bayer, config.u8PixelBits);
            // bayer2rgb reads rows of GST_ROUND_UP_4(width) pixels.
            out.stride = static_cast<size_t>(GST_ROUND_UP_4(w)) * pb;
            break;
        case FORMAT_MODE_MON_D:
        case FORMAT_MODE_MON:
            video = pb == 1 ? GST_VIDEO_FORMAT_GRAY8 : GST_VIDEO_FORMAT_GRAY16_LE;
            break;
        case FORMAT_MODE_RGB:
            video = GST_VIDEO_FORMAT_RGB16;  // RGB565, red in bits 15-11, native (little) endian
            break;
        case FORMAT_MODE_YUV:
            video = GST_VIDEO_FORMAT_YUY2;
            break;
        case FORMAT_MODE_JPG:
            out.mediaType = "image/jpeg";
            out.height = h;
            out.compressed = true;
            out.bufferBytes = frame.slotBytes;  // a buffer holds whatever a library slot holds
            return true;
        default:
            error = "format " + std::to_string(static_cast<int>(config.emImageFmtMode)) +
                    " has no GStreamer caps";
            return false;
    }
    if (video != GST_VIDEO_FORMAT_UNKNOWN) {
        out.mediaType = "video/x-raw";
        out.format = gst_video_format_to_string(video);
        out.stride = videoStride(video, w, out.height);
        if (out.stride < out.rowBytes) {
            error = "no GStreamer layout for this size";
            return false;
        }
    }
    out.frameBytes = static_cast<size_t>(frame.bytes);
    out.bufferBytes = out.stride * out.height;
    return true;
}

GstCaps* layoutCaps(const FrameLayout& layout) {
    GstStructure* s = gst_structure_new(layout.mediaType.c_str(), "width", G_TYPE_INT,
                                        static_cast<int>(layout.width), "height", G_TYPE_INT,
                                        static_cast<int>(layout.height), "framerate",
                                        GST_TYPE_FRACTION_RANGE, 0, 1, G_MAXINT, 1, nullptr);
    if (!layout.format.empty())
        gst_structure_set(s, "format", G_TYPE_STRING, layout.format.c_str(), nullptr);
    return gst_caps_new_full(s, nullptr);
}

bool frameFits(const FrameLayout& layout, size_t size) {
    return layout.compressed ? size > 0 && size <= layout.bufferBytes : size == layout.frameBytes;
}

size_t copyFrame(const FrameLayout& layout, const uint8_t* frame, size_t size, uint8_t* dest) {
    if (!frameFits(layout, size)) return 0;
    if (layout.compressed) {
        std::memcpy(dest, frame, size);
        return size;
    }
    if (!layout.padded()) {
        std::memcpy(dest, frame, size);
        return size;
    }
    for (size_t row = 0; row < layout.height; ++row) {
        std::memcpy(dest + row * layout.stride, frame + row * layout.rowBytes, layout.rowBytes);
        std::memset(dest + row * layout.stride + layout.rowBytes, 0,
                    layout.stride - layout.rowBytes);
    }
    return layout.bufferBytes;
}

}  // namespace vexo::gst
