/*
 * vexoisp: one vexo::Isp per negotiated format, made in set_caps (every table and buffer of
 * it then), used frame after frame in transform(): nothing is allocated per frame. The colour
 * settings come from the [colour] section of the file named by `config-file`, read at start.
 *
 * Threading: config-file is set from the application thread in NULL or READY; start, set_caps
 * and transform run on GstBaseTransform's threads as it orders them.
 */
#include "vexo_isp.h"

#include <gst/video/video.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>
#include <vexo/camera_file.hpp>
#include <vexo/isp.hpp>

#include "common/mutex.h"

GST_DEBUG_CATEGORY_STATIC(vexo_isp_debug);
#define GST_CAT_DEFAULT vexo_isp_debug

namespace {

enum {
    PROP_0,
    PROP_CONFIG_FILE,
};

// What a Bayer caps structure says of the samples.
struct Mosaic {
    RawMode order = RAW_RG;
    uint8_t pixelBytes = 1;
    uint8_t bits = 8;
    uint32_t width = 0, height = 0;
};

struct IspState {
    vexo::Mutex lock;
    std::string configFile VEXO_GUARDED_BY(lock);

    // From start() on: the settings of the file, and its significant bits (0: none given).
    vexo::ColourSettings settings;
    unsigned filePixelBits = 0;

    std::unique_ptr<vexo::Isp> isp;
    Mosaic mosaic;
    GstVideoInfo out;
    vexo::IspLayout layout = vexo::IspLayout::Rgb8;
    bool bigEndian = false;
    size_t inStride = 0;          // bytes of an input row: rows of GST_ROUND_UP_4(width) samples
    std::vector<uint8_t> packed;  // the frame with its rows packed, when inStride pads them
};

}  // namespace

struct _GstVexoIsp {
    GstBaseTransform parent;
    IspState* state;
};

G_DEFINE_TYPE(GstVexoIsp, gst_vexo_isp, GST_TYPE_BASE_TRANSFORM)

namespace {

#define VEXO_ISP_BAYER_FORMATS                                                               \
    "{ rggb, grbg, gbrg, bggr, rggb10le, grbg10le, gbrg10le, bggr10le, rggb12le, grbg12le, " \
    "gbrg12le, bggr12le, rggb14le, grbg14le, gbrg14le, bggr14le, rggb16le, grbg16le, "       \
    "gbrg16le, bggr16le }"
#define VEXO_ISP_SINK_CAPS                                     \
    "video/x-bayer, format = (string) " VEXO_ISP_BAYER_FORMATS \
    ", width = (int) [ 1, 16384 ], "                           \
    "height = (int) [ 1, 32768 ], framerate = (fraction) [ 0/1, MAX ]"
#define VEXO_ISP_OUT_FORMATS "{ RGB, BGRx, RGBA64_LE, RGBA64_BE }"

GstStaticPadTemplate sinkTemplate = GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS,
                                                            GST_STATIC_CAPS(VEXO_ISP_SINK_CAPS));
GstStaticPadTemplate srcTemplate = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS(GST_VIDEO_CAPS_MAKE(VEXO_ISP_OUT_FORMATS)));

IspState& stateOf(gpointer object) {
    return *GST_VEXO_ISP(object)->state;
}

bool parseMosaic(const GstStructure* st, Mosaic& out) {
    const char* format = gst_structure_get_string(st, "format");
    gint width = 0, height = 0;
    if (!format || !gst_structure_get_int(st, "width", &width) ||
        !gst_structure_get_int(st, "height", &height) || width < 1 || height < 1)
        return false;
    const std::string text = format;
    if (text.size() < 4) return false;
    const std::string order = text.substr(0, 4);
    if (order == "rggb")
        out.order = RAW_RG;
    else if (order == "grbg")
        out.order = RAW_GR;
    else if (order == "gbrg")
        out.order = RAW_GB;
    else if (order == "bggr")
        out.order = RAW_BG;
    else
        return false;
    if (text.size() == 4) {
        out.pixelBytes = 1;
        out.bits = 8;
    } else if (text.size() == 8 && text.compare(6, 2, "le") == 0) {
        const int bits = std::atoi(text.substr(4, 2).c_str());
        if (bits != 10 && bits != 12 && bits != 14 && bits != 16) return false;
        out.pixelBytes = 2;
        out.bits = static_cast<uint8_t>(bits);
    } else {
        return false;
    }
    out.width = static_cast<uint32_t>(width);
    out.height = static_cast<uint32_t>(height);
    return true;
}

// Bytes of a Bayer row in a buffer: vexosrc and bayer2rgb use rows of GST_ROUND_UP_4(width)
// samples.
size_t bayerStride(const Mosaic& m) {
    return static_cast<size_t>(GST_ROUND_UP_4(m.width)) * m.pixelBytes;
}

void setProperty(GObject* object, guint id, const GValue* value, GParamSpec* pspec) {
    IspState& s = stateOf(object);
    vexo::MutexLock lock(s.lock);
    switch (id) {
        case PROP_CONFIG_FILE: {
            const char* text = g_value_get_string(value);
            s.configFile = text ? text : "";
            break;
        }
        default:
            G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
    }
}

void getProperty(GObject* object, guint id, GValue* value, GParamSpec* pspec) {
    IspState& s = stateOf(object);
    vexo::MutexLock lock(s.lock);
    switch (id) {
        case PROP_CONFIG_FILE:
            g_value_set_string(value, s.configFile.empty() ? nullptr : s.configFile.c_str());
            break;
        default:
            G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
    }
}

void finalize(GObject* object) {
    delete GST_VEXO_ISP(object)->state;
    G_OBJECT_CLASS(gst_vexo_isp_parent_class)->finalize(object);
}

gboolean start(GstBaseTransform* base) {
    IspState& s = stateOf(base);
    std::string path;
    {
        vexo::MutexLock lock(s.lock);
        path = s.configFile;
    }
    s.settings = vexo::ColourSettings{};
    s.filePixelBits = 0;
    s.isp.reset();
    if (path.empty()) return TRUE;
    vexo::CameraFile file;
    std::string error;
    if (!vexo::loadCameraFile(path, file, error)) {
        GST_ELEMENT_ERROR(base, RESOURCE, SETTINGS, ("%s", error.c_str()), (nullptr));
        return FALSE;
    }
    s.settings = vexo::colourSettingsOf(file);
    s.filePixelBits = file.config.u8PixelBits;
    return TRUE;
}

gboolean stop(GstBaseTransform* base) {
    stateOf(base).isp.reset();
    return TRUE;
}

// Each Bayer structure becomes RGB of the same size and rate, and the other way round.
GstCaps* transformCaps(GstBaseTransform*, GstPadDirection direction, GstCaps* caps,
                       GstCaps* filter) {
    GstCaps* result = gst_caps_new_empty();
    for (guint k = 0; k < gst_caps_get_size(caps); ++k) {
        const GstStructure* from = gst_caps_get_structure(caps, k);
        GstStructure* to =
            direction == GST_PAD_SINK
                ? gst_structure_from_string("video/x-raw, format = (string) " VEXO_ISP_OUT_FORMATS,
                                            nullptr)
                : gst_structure_from_string(
                      "video/x-bayer, format = (string) " VEXO_ISP_BAYER_FORMATS, nullptr);
        for (const char* field : {"width", "height", "framerate", "pixel-aspect-ratio"})
            if (const GValue* v = gst_structure_get_value(from, field))
                gst_structure_set_value(to, field, v);
        result = gst_caps_merge_structure(result, to);
    }
    if (filter) {
        GstCaps* both = gst_caps_intersect_full(filter, result, GST_CAPS_INTERSECT_FIRST);
        gst_caps_unref(result);
        result = both;
    }
    return result;
}

gboolean unitSize(GstBaseTransform*, GstCaps* caps, gsize* size) {
    const GstStructure* st = gst_caps_get_structure(caps, 0);
    if (gst_structure_has_name(st, "video/x-bayer")) {
        Mosaic m;
        if (!parseMosaic(st, m)) return FALSE;
        *size = bayerStride(m) * m.height;
        return TRUE;
    }
    GstVideoInfo info;
    if (!gst_video_info_from_caps(&info, caps)) return FALSE;
    *size = GST_VIDEO_INFO_SIZE(&info);
    return TRUE;
}

gboolean setCaps(GstBaseTransform* base, GstCaps* incaps, GstCaps* outcaps) {
    IspState& s = stateOf(base);
    Mosaic m;
    if (!parseMosaic(gst_caps_get_structure(incaps, 0), m) ||
        !gst_video_info_from_caps(&s.out, outcaps))
        return FALSE;
    switch (GST_VIDEO_INFO_FORMAT(&s.out)) {
        case GST_VIDEO_FORMAT_RGB:
            s.layout = vexo::IspLayout::Rgb8;
            break;
        case GST_VIDEO_FORMAT_BGRx:
            s.layout = vexo::IspLayout::Bgrx8;
            break;
        case GST_VIDEO_FORMAT_RGBA64_LE:
        case GST_VIDEO_FORMAT_RGBA64_BE:
            s.layout = vexo::IspLayout::Rgba16;
            break;
        default:
            return FALSE;
    }
    s.bigEndian = GST_VIDEO_INFO_FORMAT(&s.out) == GST_VIDEO_FORMAT_RGBA64_BE;
    vexo::FrameFormat format;
    format.width = m.width;
    format.height = m.height;
    format.pixelBytes = m.pixelBytes;
    format.format = FORMAT_MODE_RAW;
    format.bayer = m.order;
    // The caps round the significant bits up to 10, 12, 14 or 16; a file that gives the
    // sensor's own (9, 11, ...) within that container is more exact.
    format.pixelBits = m.bits;
    if (m.pixelBytes == 2 && s.filePixelBits > m.bits - 2u && s.filePixelBits <= m.bits)
        format.pixelBits = static_cast<uint8_t>(s.filePixelBits);
    s.isp = std::make_unique<vexo::Isp>(format, s.settings);
    if (!s.isp->processes()) {
        GST_ELEMENT_ERROR(base, CORE, NEGOTIATION,
                          ("the ISP cannot process %ux%u mosaics of %u bits", m.width, m.height,
                           format.pixelBits),
                          (nullptr));
        s.isp.reset();
        return FALSE;
    }
    s.mosaic = m;
    s.inStride = bayerStride(m);
    const size_t rowBytes = static_cast<size_t>(m.width) * m.pixelBytes;
    if (s.inStride != rowBytes)
        s.packed.assign(rowBytes * m.height, 0);
    else
        s.packed.clear();
    GST_INFO_OBJECT(base, "%ux%u, %u bits -> %s", m.width, m.height, format.pixelBits,
                    gst_video_format_to_string(GST_VIDEO_INFO_FORMAT(&s.out)));
    return TRUE;
}

GstFlowReturn transform(GstBaseTransform* base, GstBuffer* inbuf, GstBuffer* outbuf) {
    IspState& s = stateOf(base);
    if (!s.isp) return GST_FLOW_NOT_NEGOTIATED;
    GstMapInfo in;
    if (!gst_buffer_map(inbuf, &in, GST_MAP_READ)) return GST_FLOW_ERROR;
    GstVideoFrame out;
    if (!gst_video_frame_map(&out, &s.out, outbuf, GST_MAP_WRITE)) {
        gst_buffer_unmap(inbuf, &in);
        return GST_FLOW_ERROR;
    }
    std::span<const uint8_t> frame(in.data, in.size);
    const size_t needed = s.inStride * (s.mosaic.height - 1) + s.mosaic.width * s.mosaic.pixelBytes;
    bool ok = in.size >= needed;
    if (ok && !s.packed.empty()) {
        const size_t rowBytes = static_cast<size_t>(s.mosaic.width) * s.mosaic.pixelBytes;
        for (uint32_t row = 0; row < s.mosaic.height; ++row)
            std::memcpy(s.packed.data() + row * rowBytes, in.data + row * s.inStride, rowBytes);
        frame = s.packed;
    }
    const size_t stride = static_cast<size_t>(GST_VIDEO_FRAME_PLANE_STRIDE(&out, 0));
    vexo::IspTarget target;
    target.data = static_cast<uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&out, 0));
    target.stride = stride;
    target.bytes = stride * GST_VIDEO_FRAME_HEIGHT(&out);
    target.layout = s.layout;
    target.bigEndian = s.bigEndian;
    if (ok) ok = s.isp->process(frame, target);
    gst_video_frame_unmap(&out);
    gst_buffer_unmap(inbuf, &in);
    if (!ok) {
        GST_ELEMENT_ERROR(base, STREAM, FORMAT,
                          ("a frame of %" G_GSIZE_FORMAT " bytes is not a %ux%u mosaic of %u-byte "
                           "samples (%" G_GSIZE_FORMAT " bytes)",
                           in.size, s.mosaic.width, s.mosaic.height, s.mosaic.pixelBytes, needed),
                          (nullptr));
        return GST_FLOW_ERROR;
    }
    return GST_FLOW_OK;
}

}  // namespace

static void gst_vexo_isp_class_init(GstVexoIspClass* klass) {
    GObjectClass* object = G_OBJECT_CLASS(klass);
    GstElementClass* element = GST_ELEMENT_CLASS(klass);
    GstBaseTransformClass* base = GST_BASE_TRANSFORM_CLASS(klass);

    object->set_property = setProperty;
    object->get_property = getProperty;
    object->finalize = finalize;
    g_object_class_install_property(
        object, PROP_CONFIG_FILE,
        g_param_spec_string("config-file", "Configuration file",
                            "Camera configuration file whose [colour] section (and pixel_bits) "
                            "sets the ISP (docs/camera-config.md); none: automatic white "
                            "balance, no black level, the identity matrix and the sRGB curve",
                            nullptr,
                            static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS |
                                                     GST_PARAM_MUTABLE_READY)));

    gst_element_class_set_static_metadata(
        element, "Vexo ISP", "Filter/Converter/Video",
        "Turns a sensor's Bayer mosaic into RGB: black level, white balance, demosaicking, "
        "colour matrix and the sRGB curve",
        "Vexo");
    gst_element_class_add_static_pad_template(element, &sinkTemplate);
    gst_element_class_add_static_pad_template(element, &srcTemplate);

    base->start = start;
    base->stop = stop;
    base->transform_caps = transformCaps;
    base->get_unit_size = unitSize;
    base->set_caps = setCaps;
    base->transform = transform;
    base->passthrough_on_same_caps = FALSE;

    GST_DEBUG_CATEGORY_INIT(vexo_isp_debug, "vexoisp", 0, "Vexo ISP");
}

static void gst_vexo_isp_init(GstVexoIsp* self) {
    self->state = new IspState;
}

gboolean gst_vexo_isp_register(GstPlugin* plugin) {
    return gst_element_register(plugin, "vexoisp", GST_RANK_NONE, GST_TYPE_VEXO_ISP);
}
