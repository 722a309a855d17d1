/*
 * vexosrc: the capture loop runs in the streaming thread. create() waits for the board's next
 * frame, stamps it and hands it downstream in a buffer whose memory is the library's frame
 * slot (slot_lender.h): no copy while downstream lets go of each buffer before the next frame
 * is wanted. The library lends one frame at a time, so a buffer still held then has its bytes
 * copied out of the slot first. A layout whose rows need padding that downstream cannot read
 * through the video meta is copied into a buffer of the element's own pool, as are frames
 * when lending fails. Buffers are reused: nothing is allocated per frame once every buffer
 * downstream holds has been made.
 *
 * Threading: properties are set from the application thread while the element is in NULL or
 * READY (board settings) or at any time (timeout-ms, statistics); start, stop and create run
 * on GstBaseSrc's threads as it orders them; unlock() may come from any thread and only sets
 * a flag the capture loop looks at between reads.
 */
#include "vexo_src.h"

#include <gst/video/video.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <memory>
#include <string>
#include <vexo/camera_file.hpp>
#include <vexo/named_controls.hpp>

#include "board_capture.h"
#include "common/mutex.h"
#include "frame_clock.h"
#include "frame_layout.h"
#include "slot_lender.h"

GST_DEBUG_CATEGORY_STATIC(vexo_src_debug);
#define GST_CAT_DEFAULT vexo_src_debug

namespace {

using vexo::gst::BoardCapture;
using vexo::gst::Trigger;

constexpr guint kDefaultTimeoutMs = 3000;
// Frames the library's queue holds: how far a frame can fall behind before it is lost.
constexpr guint64 kQueuedFrames = 5;
// Latency assumed until the stream has shown its own delay, when the caps give no frame rate.
constexpr GstClockTime kDefaultLatency = GST_SECOND / 30;

enum {
    PROP_0,
    PROP_INDEX,
    PROP_SERIAL,
    PROP_CONFIG,
    PROP_TRIGGER,
    PROP_TIMEOUT_MS,
    PROP_FRAMES,
    PROP_DROPS,
    PROP_ERRORS,
    PROP_COPIES,
    PROP_EXTRA_CONTROLS,
};

// State kept outside the GObject instance, whose memory GLib zero-fills rather than constructs.
struct SrcState {
    vexo::Mutex settingsLock;  // guards the four board settings below
    guint index VEXO_GUARDED_BY(settingsLock) = 0;
    std::string serial VEXO_GUARDED_BY(settingsLock);
    std::string configPath VEXO_GUARDED_BY(settingsLock);
    Trigger trigger VEXO_GUARDED_BY(settingsLock) = Trigger::Continuous;
    std::atomic<guint> timeoutMs{kDefaultTimeoutMs};

    BoardCapture capture;
    // Set once the board is open and `layout` holds its frames' layout, cleared before it
    // closes: caps and latency queries may come from any thread.
    std::atomic<bool> ready{false};
    vexo::CameraFile file;
    vexo::gst::FrameLayout layout;
    vexo::gst::FrameClock clock;
    std::atomic<bool> flushing{false};
    std::atomic<GstClockTime> frameDuration{GST_CLOCK_TIME_NONE};
    std::atomic<GstClockTime> latency{kDefaultLatency};
    guint64 nextOffset = 0;
    vexo::gst::SlotLender lender;
    // Downstream reads GstVideoMeta (from the allocation query): packed rows may be lent.
    bool videoMeta = false;
    std::atomic<guint64> paddedCopies{0};  // frames copied to pad their rows

    // extra-controls: set from the application thread at any time, applied to the open board
    // from there and at each open.
    vexo::Mutex controlsLock;
    GstStructure* extraControls VEXO_GUARDED_BY(controlsLock) = nullptr;
    std::unique_ptr<vexo::NamedControls> controls VEXO_GUARDED_BY(controlsLock);

    ~SrcState() {
        vexo::MutexLock lock(controlsLock);
        if (extraControls) gst_structure_free(extraControls);
    }
};

}  // namespace

struct _GstVexoSrc {
    GstPushSrc parent;
    SrcState* state;
};

G_DEFINE_TYPE(GstVexoSrc, gst_vexo_src, GST_TYPE_PUSH_SRC)

namespace {

#define VEXO_SRC_CAPS \
    "video/x-bayer, format = (string) { rggb, grbg, gbrg, bggr, rggb10le, grbg10le, "      \
    "gbrg10le, bggr10le, rggb12le, grbg12le, gbrg12le, bggr12le, rggb14le, grbg14le, "     \
    "gbrg14le, bggr14le, rggb16le, grbg16le, gbrg16le, bggr16le }, "                       \
    "width = (int) [ 1, 16384 ], height = (int) [ 1, 32768 ], "                            \
    "framerate = (fraction) [ 0/1, MAX ]; " GST_VIDEO_CAPS_MAKE(                          \
        "{ GRAY8, GRAY16_LE, RGB16, YUY2 }") "; image/jpeg, width = (int) [ 1, 16384 ], " \
                                             "height = (int) [ 1, 16384 ], "              \
                                             "framerate = (fraction) [ 0/1, MAX ]"

GstStaticPadTemplate srcTemplate =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS(VEXO_SRC_CAPS));

GType triggerType() {
    static GType type = 0;
    static const GEnumValue values[] = {
        {static_cast<gint>(Trigger::Continuous), "The board streams on its own", "continuous"},
        {static_cast<gint>(Trigger::Software),
         "The element sends a software trigger for each frame it wants", "software"},
        {static_cast<gint>(Trigger::External), "Frames follow the board's trigger input",
         "external"},
        {0, nullptr, nullptr},
    };
    if (g_once_init_enter(&type))
        g_once_init_leave(&type, g_enum_register_static("GstVexoTrigger", values));
    return type;
}

SrcState& stateOf(gpointer object) {
    return *GST_VEXO_SRC(object)->state;
}

// Posts a failure of the board as an error message: the text names the status and its hint.
void postFailure(GstVexoSrc* self, GstResourceError code, const vexo::gst::Failure& failure) {
    gst_element_message_full(GST_ELEMENT(self), GST_MESSAGE_ERROR, GST_RESOURCE_ERROR, code,
                             g_strdup(failure.message.c_str()),
                             g_strdup_printf("status 0x%04X", failure.status), __FILE__,
                             GST_FUNCTION, __LINE__);
}

GstResourceError resourceError(uint32_t status) {
    switch (status) {
        case USB_CAMERA_USB_CREATE_ERROR:
        case USB_CAMERA_USB_VERSION_ERROR:
            return GST_RESOURCE_ERROR_NOT_FOUND;
        case USB_CAMERA_USB_TIMEOUT_ERROR:
        case USB_CAMERA_USB_TASK_ERROR:
            return GST_RESOURCE_ERROR_READ;
        case USB_BOARD_FW_VERSION_NOT_SUPPORT_ERROR:
            return GST_RESOURCE_ERROR_SETTINGS;
        default:
            return GST_RESOURCE_ERROR_FAILED;
    }
}

// A field's value in the control's units: a number, a boolean, or text as a person writes it
// (a menu entry's name, on/off).
bool controlValue(const vexo::ControlSpec& control, const GValue* value, double& out) {
    switch (G_VALUE_TYPE(value)) {
        case G_TYPE_INT:
            out = g_value_get_int(value);
            return true;
        case G_TYPE_UINT:
            out = g_value_get_uint(value);
            return true;
        case G_TYPE_INT64:
            out = static_cast<double>(g_value_get_int64(value));
            return true;
        case G_TYPE_UINT64:
            out = static_cast<double>(g_value_get_uint64(value));
            return true;
        case G_TYPE_DOUBLE:
            out = g_value_get_double(value);
            return true;
        case G_TYPE_FLOAT:
            out = g_value_get_float(value);
            return true;
        case G_TYPE_BOOLEAN:
            out = g_value_get_boolean(value) ? 1 : 0;
            return true;
        case G_TYPE_STRING: {
            const char* text = g_value_get_string(value);
            return text && vexo::NamedControls::parseValue(control, text, out);
        }
        default:
            return false;
    }
}

// Sets every field of `controls` on the open board, in the structure's order. A control the
// file does not name, a value it cannot take or a failed register write is a warning: the
// stream goes on with the others set.
void applyControls(GstVexoSrc* self, vexo::NamedControls& named, const GstStructure* controls) {
    const gint fields = gst_structure_n_fields(controls);
    for (gint k = 0; k < fields; ++k) {
        const char* name = gst_structure_nth_field_name(controls, static_cast<guint>(k));
        const vexo::ControlSpec* control = named.find(name);
        std::string error;
        double value = 0, applied = 0;
        if (!control) {
            error = "the configuration file names no such control";
        } else if (!controlValue(*control, gst_structure_get_value(controls, name), value)) {
            error = "not a value this control takes";
        } else if (named.set(name, value, &applied, &error) == vexo::ControlStatus::Ok) {
            GST_INFO_OBJECT(self, "control %s = %s", name,
                            vexo::NamedControls::formatValue(*control, applied).c_str());
            continue;
        }
        GST_ELEMENT_WARNING(self, RESOURCE, SETTINGS,
                            ("extra-controls: %s: %s", name, error.c_str()), (nullptr));
    }
}

void setExtraControls(GstVexoSrc* self, const GValue* value) {
    SrcState& s = *self->state;
    vexo::MutexLock lock(s.controlsLock);
    if (s.extraControls) gst_structure_free(s.extraControls);
    const GstStructure* controls = gst_value_get_structure(value);
    s.extraControls = controls ? gst_structure_copy(controls) : nullptr;
    if (s.controls && s.extraControls) applyControls(self, *s.controls, s.extraControls);
}

void setProperty(GObject* object, guint id, const GValue* value, GParamSpec* pspec) {
    SrcState& s = stateOf(object);
    if (id == PROP_EXTRA_CONTROLS) {
        setExtraControls(GST_VEXO_SRC(object), value);
        return;
    }
    vexo::MutexLock lock(s.settingsLock);
    switch (id) {
        case PROP_INDEX:
            s.index = g_value_get_uint(value);
            break;
        case PROP_SERIAL: {
            const char* text = g_value_get_string(value);
            s.serial = text ? text : "";
            break;
        }
        case PROP_CONFIG: {
            const char* text = g_value_get_string(value);
            s.configPath = text ? text : "";
            break;
        }
        case PROP_TRIGGER:
            s.trigger = static_cast<Trigger>(g_value_get_enum(value));
            break;
        case PROP_TIMEOUT_MS:
            s.timeoutMs = g_value_get_uint(value);
            break;
        default:
            G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
    }
}

void getProperty(GObject* object, guint id, GValue* value, GParamSpec* pspec) {
    SrcState& s = stateOf(object);
    vexo::MutexLock lock(s.settingsLock);
    switch (id) {
        case PROP_INDEX:
            g_value_set_uint(value, s.index);
            break;
        case PROP_SERIAL:
            g_value_set_string(value, s.serial.empty() ? nullptr : s.serial.c_str());
            break;
        case PROP_CONFIG:
            g_value_set_string(value, s.configPath.empty() ? nullptr : s.configPath.c_str());
            break;
        case PROP_TRIGGER:
            g_value_set_enum(value, static_cast<gint>(s.trigger));
            break;
        case PROP_TIMEOUT_MS:
            g_value_set_uint(value, s.timeoutMs);
            break;
        case PROP_FRAMES:
            g_value_set_uint64(value, s.capture.counters().frames);
            break;
        case PROP_DROPS:
            g_value_set_uint64(value, s.capture.counters().drops);
            break;
        case PROP_ERRORS:
            g_value_set_uint64(value, s.capture.counters().errors);
            break;
        case PROP_COPIES:
            g_value_set_uint64(value, s.paddedCopies + s.lender.copies());
            break;
        case PROP_EXTRA_CONTROLS: {
            vexo::MutexLock controlsLock(s.controlsLock);
            gst_value_set_structure(value, s.extraControls);
            break;
        }
        default:
            G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
    }
}

void finalize(GObject* object) {
    delete GST_VEXO_SRC(object)->state;
    G_OBJECT_CLASS(gst_vexo_src_parent_class)->finalize(object);
}

// READY -> PAUSED: the configuration file is read and the board opened and set up, so that
// the caps are known and a missing board is reported before the pipeline runs.
bool openBoard(GstVexoSrc* self) {
    SrcState& s = *self->state;
    guint index;
    std::string serial, configPath;
    Trigger trigger;
    {
        vexo::MutexLock lock(s.settingsLock);
        index = s.index;
        serial = s.serial;
        configPath = s.configPath;
        trigger = s.trigger;
    }
    std::string error;
    if (configPath.empty()) {
        s.file = vexo::defaultCameraFile();
    } else if (!vexo::loadCameraFile(configPath, s.file, error)) {
        GST_ELEMENT_ERROR(self, RESOURCE, SETTINGS, ("%s", error.c_str()), (nullptr));
        return FALSE;
    }
    if (!vexo::gst::frameLayout(s.file.config, s.file.bayer, s.layout, error)) {
        GST_ELEMENT_ERROR(self, RESOURCE, SETTINGS,
                          ("%s: %s", s.file.source.c_str(), error.c_str()), (nullptr));
        return FALSE;
    }
    vexo::gst::Failure failure;
    if (!s.capture.open(index, serial, s.file, trigger, failure)) {
        postFailure(self, resourceError(failure.status), failure);
        return FALSE;
    }
    {
        vexo::MutexLock lock(s.controlsLock);
        s.controls = std::make_unique<vexo::NamedControls>(
            s.capture.handle(), s.file, vexo::registerCallsFor(s.file.config.emI2cMode));
        if (s.extraControls) applyControls(self, *s.controls, s.extraControls);
    }
    s.frameDuration = GST_CLOCK_TIME_NONE;
    s.latency = kDefaultLatency;
    s.nextOffset = 0;
    s.paddedCopies = 0;
    s.lender.resetCopies();
    s.ready = true;
    GST_INFO_OBJECT(self, "opened: %s %s %ux%u", s.layout.mediaType.c_str(),
                    s.layout.format.c_str(), s.layout.width, s.layout.height);
    return true;
}

// The board is normally open already (changeState); a base class that starts again on its own
// opens it here.
gboolean start(GstBaseSrc* base) {
    GstVexoSrc* self = GST_VEXO_SRC(base);
    return self->state->ready || openBoard(self);
}

gboolean stop(GstBaseSrc* base) {
    SrcState& s = stateOf(base);
    s.ready = false;
    // The slot goes with the board: a buffer still holding it gets its own copy first.
    s.lender.reclaim(nullptr);
    s.lender.dropPool();
    {
        vexo::MutexLock lock(s.controlsLock);
        s.controls.reset();
    }
    s.capture.close();
    return TRUE;
}

// GstBaseSrc follows a failed start() with a generic error of its own ("state change failed
// and some element failed to post a proper error message"), after the one naming the status.
// Opening the board before the base class starts leaves ours the only message.
GstStateChangeReturn changeState(GstElement* element, GstStateChange transition) {
    GstVexoSrc* self = GST_VEXO_SRC(element);
    if (transition == GST_STATE_CHANGE_READY_TO_PAUSED && !self->state->ready && !openBoard(self))
        return GST_STATE_CHANGE_FAILURE;
    const GstStateChangeReturn result =
        GST_ELEMENT_CLASS(gst_vexo_src_parent_class)->change_state(element, transition);
    // The base class stops what it started; a board it never started with is closed here.
    if (transition == GST_STATE_CHANGE_READY_TO_PAUSED && result == GST_STATE_CHANGE_FAILURE &&
        self->state->ready)
        stop(GST_BASE_SRC(element));
    return result;
}

GstCaps* getCaps(GstBaseSrc* base, GstCaps* filter) {
    SrcState& s = stateOf(base);
    GstCaps* caps = s.ready ? vexo::gst::layoutCaps(s.layout)
                            : gst_pad_get_pad_template_caps(GST_BASE_SRC_PAD(base));
    if (filter) {
        GstCaps* both = gst_caps_intersect_full(filter, caps, GST_CAPS_INTERSECT_FIRST);
        gst_caps_unref(caps);
        caps = both;
    }
    return caps;
}

gboolean setCaps(GstBaseSrc* base, GstCaps* caps) {
    SrcState& s = stateOf(base);
    const GstStructure* st = gst_caps_get_structure(caps, 0);
    gint num = 0, den = 1;
    GstClockTime duration = GST_CLOCK_TIME_NONE;
    if (gst_structure_get_fraction(st, "framerate", &num, &den) && num > 0)
        duration = gst_util_uint64_scale_int(GST_SECOND, den, num);
    s.frameDuration = duration;
    if (GST_CLOCK_TIME_IS_VALID(duration)) s.latency = duration;
    return TRUE;
}

// Frames that are copied (rows padded for a downstream that cannot read the video meta, or a
// lend that failed) go into buffers of the element's own pool, sized for the largest frame of
// the configuration (a JPEG frame's size varies): downstream pools are sized for other
// layouts. Whether downstream reads GstVideoMeta decides whether padded rows may be lent. The
// pool starts with one buffer and grows as downstream keeps more: a pool hands its buffers out
// first in, first out, so a pipeline that lets go of each buffer before the next one gets the
// same buffer back, still in the core's cache, instead of cycling through spares (measured by
// bench_gstreamer: a tenth of the throughput).
gboolean decideAllocation(GstBaseSrc* base, GstQuery* query) {
    SrcState& s = stateOf(base);
    GstCaps* caps = nullptr;
    gst_query_parse_allocation(query, &caps, nullptr);
    s.videoMeta = gst_query_find_allocation_meta(query, GST_VIDEO_META_API_TYPE, nullptr);
    GstBufferPool* pool = gst_buffer_pool_new();
    GstStructure* config = gst_buffer_pool_get_config(pool);
    const guint size = static_cast<guint>(s.layout.bufferBytes);
    gst_buffer_pool_config_set_params(config, caps, size, 1, 0);
    GstAllocator* allocator = nullptr;
    GstAllocationParams params;
    gst_allocation_params_init(&params);
    if (gst_query_get_n_allocation_params(query) > 0)
        gst_query_parse_nth_allocation_param(query, 0, &allocator, &params);
    gst_buffer_pool_config_set_allocator(config, allocator, &params);
    if (allocator) gst_object_unref(allocator);
    if (!gst_buffer_pool_set_config(pool, config)) {
        gst_object_unref(pool);
        return FALSE;
    }
    if (gst_query_get_n_allocation_pools(query) > 0)
        gst_query_set_nth_allocation_pool(query, 0, pool, size, 1, 0);
    else
        gst_query_add_allocation_pool(query, pool, size, 1, 0);
    gst_object_unref(pool);
    return GST_BASE_SRC_CLASS(gst_vexo_src_parent_class)->decide_allocation(base, query);
}

gboolean query(GstBaseSrc* base, GstQuery* q) {
    if (GST_QUERY_TYPE(q) != GST_QUERY_LATENCY)
        return GST_BASE_SRC_CLASS(gst_vexo_src_parent_class)->query(base, q);
    SrcState& s = stateOf(base);
    if (!s.ready) return FALSE;
    const GstClockTime min = s.latency;
    gst_query_set_latency(q, TRUE, min, min * kQueuedFrames);
    GST_DEBUG_OBJECT(base, "latency %" GST_TIME_FORMAT, GST_TIME_ARGS(min));
    return TRUE;
}

gboolean unlock(GstBaseSrc* base) {
    stateOf(base).flushing = true;
    return TRUE;
}

gboolean unlockStop(GstBaseSrc* base) {
    stateOf(base).flushing = false;
    return TRUE;
}

// Running time of the pipeline clock now and the wall clock read right after it.
bool readClocks(GstElement* element, GstClockTime& running, int64_t& wallNs) {
    GstClock* clock = gst_element_get_clock(element);
    if (!clock) return false;
    const GstClockTime now = gst_clock_get_time(clock);
    timespec wall{};
    clock_gettime(CLOCK_REALTIME, &wall);
    gst_object_unref(clock);
    const GstClockTime base = gst_element_get_base_time(element);
    running = now > base ? now - base : 0;
    wallNs = static_cast<int64_t>(wall.tv_sec) * 1000000000 + wall.tv_nsec;
    return true;
}

// A larger delay between a frame's start and its arrival than the latency reported so far
// raises the latency, with a quarter of headroom, and tells the pipeline.
void followDelay(GstVexoSrc* self, SrcState& s) {
    const GstClockTime delay = s.clock.maxDelay();
    if (delay <= s.latency) return;
    s.latency = delay + delay / 4;
    GST_INFO_OBJECT(self, "latency raised to %" GST_TIME_FORMAT, GST_TIME_ARGS(s.latency.load()));
    gst_element_post_message(GST_ELEMENT(self), gst_message_new_latency(GST_OBJECT(self)));
}

// A buffer viewing the frame's slot, or null when the frame must be copied: its rows need
// padding that downstream cannot read through the video meta.
GstBuffer* lendFrame(SrcState& s, const FrameData* frame) {
    const vexo::gst::FrameLayout& layout = s.layout;
    const bool meta = layout.padded() && layout.mediaType == "video/x-raw";
    if (layout.padded() && !(meta && s.videoMeta)) return nullptr;
    GstBuffer* buffer = s.lender.lend(frame->imageData, frame->cfg.u32Size,
                                      layout.compressed ? layout.bufferBytes : 0);
    // Packed rows, as the library delivers them. Pooled: the buffer keeps it for its next frame.
    if (buffer && meta && !gst_buffer_get_video_meta(buffer)) {
        gsize offset[GST_VIDEO_MAX_PLANES] = {0};
        gint stride[GST_VIDEO_MAX_PLANES] = {static_cast<gint>(layout.rowBytes)};
        GstVideoMeta* videoMeta = gst_buffer_add_video_meta_full(
            buffer, GST_VIDEO_FRAME_FLAG_NONE, gst_video_format_from_string(layout.format.c_str()),
            layout.width, layout.height, 1, offset, stride);
        videoMeta->meta.flags =
            static_cast<GstMetaFlags>(videoMeta->meta.flags | GST_META_FLAG_POOLED);
    }
    return buffer;
}

// The frame copied into a buffer of the element's pool, its rows padded as the caps say.
GstFlowReturn copyFrame(GstVexoSrc* self, const FrameData* frame, GstBuffer*& buffer) {
    SrcState& s = *self->state;
    GstBufferPool* pool = gst_base_src_get_buffer_pool(GST_BASE_SRC(self));
    const GstFlowReturn acquired =
        pool ? gst_buffer_pool_acquire_buffer(pool, &buffer, nullptr) : GST_FLOW_NOT_NEGOTIATED;
    if (pool) gst_object_unref(pool);
    if (acquired != GST_FLOW_OK) return acquired;
    GstMapInfo map;
    gsize filled = 0;
    if (gst_buffer_map(buffer, &map, GST_MAP_WRITE)) {
        filled = vexo::gst::copyFrame(s.layout, frame->imageData, frame->cfg.u32Size, map.data);
        gst_buffer_unmap(buffer, &map);
    }
    if (filled == 0) {
        gst_buffer_unref(buffer);
        buffer = nullptr;
        return GST_FLOW_ERROR;
    }
    gst_buffer_set_size(buffer, filled);
    ++s.paddedCopies;
    return GST_FLOW_OK;
}

GstFlowReturn create(GstPushSrc* push, GstBuffer** out) {
    GstVexoSrc* self = GST_VEXO_SRC(push);
    SrcState& s = *self->state;
    GstElement* element = GST_ELEMENT(self);
    vexo::gst::Failure failure;
    GstClockTime running = GST_CLOCK_TIME_NONE;
    int64_t wallNs = 0;

    // The stream starts with the first buffer wanted, in PLAYING, so that no frame is older
    // than the running time it is stamped in.
    if (!s.capture.running()) {
        if (!s.capture.start(failure)) {
            postFailure(self, resourceError(failure.status), failure);
            return GST_FLOW_ERROR;
        }
        s.clock.start(readClocks(element, running, wallNs) ? running : 0);
    }

    // The library lends its oldest frame only: the one downstream may still hold goes back
    // (its bytes copied out of the slot if the buffer is still alive) before the next is read.
    if (s.lender.lent()) {
        if (s.lender.reclaim(&s.flushing) == vexo::gst::SlotLender::Reclaim::Interrupted)
            return GST_FLOW_FLUSHING;
        s.capture.release();
    }

    const FrameData* frame = nullptr;
    switch (
        s.capture.next(s.flushing, std::chrono::milliseconds(s.timeoutMs.load()), frame, failure)) {
        case BoardCapture::Next::Flushing:
            return GST_FLOW_FLUSHING;
        case BoardCapture::Next::Failed:
            postFailure(self, resourceError(failure.status), failure);
            return GST_FLOW_ERROR;
        case BoardCapture::Next::Frame:
            break;
    }
    const bool clocked = readClocks(element, running, wallNs);
    const uint64_t frameTime = frame->u64Time;
    const uint32_t frameSize = frame->cfg.u32Size;
    if (!vexo::gst::frameFits(s.layout, frameSize)) {
        s.capture.release();
        GST_ELEMENT_ERROR(self, STREAM, FORMAT,
                          ("a frame of %u bytes does not fit the configuration (%" G_GSIZE_FORMAT
                           " bytes expected)",
                           frameSize, s.layout.frameBytes),
                          (nullptr));
        return GST_FLOW_ERROR;
    }

    GstBuffer* buffer = lendFrame(s, frame);
    if (!buffer) {
        const GstFlowReturn copied = copyFrame(self, frame, buffer);
        s.capture.release();
        if (copied != GST_FLOW_OK) return copied;
    }

    const guint64 offset = s.capture.frameCounter() - 1;
    if (offset != s.nextOffset || offset == 0) GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DISCONT);
    s.nextOffset = offset + 1;
    GST_BUFFER_OFFSET(buffer) = offset;
    GST_BUFFER_OFFSET_END(buffer) = offset + 1;
    GST_BUFFER_DTS(buffer) = GST_CLOCK_TIME_NONE;
    GST_BUFFER_PTS(buffer) =
        clocked ? s.clock.stamp(frameTime, running, wallNs) : GST_CLOCK_TIME_NONE;
    GST_BUFFER_DURATION(buffer) = s.frameDuration.load();
    if (clocked) followDelay(self, s);
    *out = buffer;
    return GST_FLOW_OK;
}

}  // namespace

static void gst_vexo_src_class_init(GstVexoSrcClass* klass) {
    GObjectClass* object = G_OBJECT_CLASS(klass);
    GstElementClass* element = GST_ELEMENT_CLASS(klass);
    GstBaseSrcClass* base = GST_BASE_SRC_CLASS(klass);
    GstPushSrcClass* push = GST_PUSH_SRC_CLASS(klass);

    object->set_property = setProperty;
    object->get_property = getProperty;
    object->finalize = finalize;

    const auto rw = static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS |
                                             GST_PARAM_MUTABLE_READY);
    const auto ro = static_cast<GParamFlags>(G_PARAM_READABLE | G_PARAM_STATIC_STRINGS);
    g_object_class_install_property(
        object, PROP_INDEX,
        g_param_spec_uint("index", "Index", "Device index of the board (as 'vexo scan' lists it)",
                          0, 255, 0, rw));
    g_object_class_install_property(
        object, PROP_SERIAL,
        g_param_spec_string("serial", "Serial",
                            "Open the board with this serial text instead of by index", nullptr,
                            rw));
    g_object_class_install_property(
        object, PROP_CONFIG,
        g_param_spec_string("config", "Configuration file",
                            "Camera configuration file (docs/camera-config.md); none: the default "
                            "640x480 RAW8 RGGB virtual-board settings",
                            nullptr, rw));
    g_object_class_install_property(
        object, PROP_TRIGGER,
        g_param_spec_enum("trigger", "Trigger", "How frames are triggered", triggerType(),
                          static_cast<gint>(Trigger::Continuous), rw));
    g_object_class_install_property(
        object, PROP_TIMEOUT_MS,
        g_param_spec_uint("timeout-ms", "Time-out",
                          "Milliseconds to wait for a frame before failing (0: wait for ever)", 0,
                          G_MAXUINT, kDefaultTimeoutMs,
                          static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS |
                                                   GST_PARAM_MUTABLE_PLAYING)));
    g_object_class_install_property(
        object, PROP_FRAMES,
        g_param_spec_uint64("frames", "Frames", "Frames received since the board was opened", 0,
                            G_MAXUINT64, 0, ro));
    g_object_class_install_property(
        object, PROP_DROPS,
        g_param_spec_uint64("drops", "Drops",
                            "Frames lost because the library's frame queue was full", 0,
                            G_MAXUINT64, 0, ro));
    g_object_class_install_property(
        object, PROP_EXTRA_CONTROLS,
        g_param_spec_boxed("extra-controls", "Extra controls",
                           "Named controls of the configuration file's [controls] section to set "
                           "when the board opens and at once while it is open, e.g. "
                           "\"c,exposure=2000,analogue_gain=2.5,test_pattern=bars\"",
                           GST_TYPE_STRUCTURE,
                           static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS |
                                                    GST_PARAM_MUTABLE_PLAYING)));
    g_object_class_install_property(
        object, PROP_COPIES,
        g_param_spec_uint64("copies", "Copies",
                            "Frames whose bytes were copied rather than lent: downstream still "
                            "held the frame before when the next one came (the library lends "
                            "one at a time), or rows needed padding downstream cannot do without",
                            0, G_MAXUINT64, 0, ro));
    g_object_class_install_property(
        object, PROP_ERRORS,
        g_param_spec_uint64("errors", "Errors",
                            "Frames the library dropped for frame errors (wrong length, lost "
                            "frame index, JPEG without its markers)",
                            0, G_MAXUINT64, 0, ro));

    gst_element_class_set_static_metadata(element, "Vexo camera source", "Source/Video",
                                          "Streams frames from a Vexo USB camera board", "Vexo");
    gst_element_class_add_static_pad_template(element, &srcTemplate);
    gst_type_mark_as_plugin_api(triggerType(), static_cast<GstPluginAPIFlags>(0));

    element->change_state = changeState;
    base->start = start;
    base->stop = stop;
    base->get_caps = getCaps;
    base->set_caps = setCaps;
    base->decide_allocation = decideAllocation;
    base->query = query;
    base->unlock = unlock;
    base->unlock_stop = unlockStop;
    push->create = create;

    GST_DEBUG_CATEGORY_INIT(vexo_src_debug, "vexosrc", 0, "Vexo camera source");
}

static void gst_vexo_src_init(GstVexoSrc* self) {
    self->state = new SrcState;
    gst_base_src_set_live(GST_BASE_SRC(self), TRUE);
    gst_base_src_set_format(GST_BASE_SRC(self), GST_FORMAT_TIME);
}

gboolean gst_vexo_src_register(GstPlugin* plugin) {
    return gst_element_register(plugin, "vexosrc", GST_RANK_NONE, GST_TYPE_VEXO_SRC);
}
