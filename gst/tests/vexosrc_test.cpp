// vexosrc in real pipelines against virtual boards: the bytes of every format compared with
// what the C functions return for the same frames, caps, offsets, timestamps, the pipelines a
// user writes (PNGs read back with libpng), faults, triggers and state cycles.
//
// Each test sets VEXO_VIRTUAL_BOARDS to a document of its own (a fresh serial), so its boards
// start at frame 0. The plugin and this program share one libvexo, and so one virtual bus.
#include <gst/check/gstharness.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>
#include <png.h>
#include <vexo/camera.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <vector>
#include <vexo/camera_file.hpp>

#include "frame_clock.h"

namespace {

namespace fs = std::filesystem;

// A configuration file and the virtual board that sends what it describes.
struct Board {
    std::string name;
    std::string stream;  // JSON of the board's "stream" object
    std::string config;  // [camera] keys of the configuration file
    std::string productId = "0x03F1";
    // 64 KiB reads (64 x 1024 at SuperSpeed, 8 x 512 x 16 at high speed), so that no read
    // completes more frames than the library's queue holds.
    unsigned transferLevel = 64;
};

const std::string kCamera = "i2c_address = 0x20\ni2c_mode = 16_8\n";

class GstFixture : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        setenv("GST_PLUGIN_PATH", VEXO_GST_PLUGIN_DIR, 1);
        setenv("GST_PLUGIN_SYSTEM_PATH_1_0", VEXO_GST_TEST_PLUGINS, 1);
        setenv("GST_REGISTRY", VEXO_GST_TEST_REGISTRY, 1);
        setenv("GST_REGISTRY_FORK", "no", 1);
        // The leaks tracer shows what state cycles leave alive (StateCyclesLeaveNothingBehind).
        setenv("GST_TRACERS", "leaks", 0);
        gst_init(nullptr, nullptr);
    }

    void SetUp() override {
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::replace(name.begin(), name.end(), '/', '_');
        dir_ = fs::path(::testing::TempDir()) / ("vexosrc-" + name);
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Puts `copies` boards like `board` (plus `faults`) on the virtual bus, fresh, and writes
    // the board's configuration file; returns its path.
    std::string useBoard(const Board& board, int copies = 1, const std::string& faults = "[]") {
        static int generation = 0;
        std::string json = "{\"boards\": [";
        for (int k = 0; k < copies; ++k) {
            char serial[32];
            std::snprintf(serial, sizeof serial, "GST-%d-%d", ++generation, k);
            serials_.push_back(serial);
            json += std::string(k ? ", " : "") + "{\"productId\": \"" + board.productId +
                    "\", \"serial\": \"" + serial + "\", \"stream\": " + board.stream +
                    ", \"faults\": " + faults + "}";
        }
        json += "]}";
        setenv("VEXO_VIRTUAL_BOARDS", json.c_str(), 1);
        const std::string path = (dir_ / "camera.cfg").string();
        std::ofstream(path) << "[camera]\n"
                            << board.config << kCamera << "transfer_level = " << board.transferLevel
                            << "\n";
        return path;
    }

    fs::path dir_;
    std::vector<std::string> serials_;  // of the boards on the bus, by index
};

// What a probe on vexosrc's pad saw of each buffer.
struct Seen {
    std::mutex lock;
    GstCaps* caps = nullptr;
    std::vector<GstBuffer*> buffers;  // copies of the metadata, not the memory
    std::vector<size_t> sizes;
    std::vector<GstClockTime> arrivals;
    ~Seen() {
        if (caps) gst_caps_unref(caps);
        for (GstBuffer* b : buffers) gst_buffer_unref(b);
    }
};

GstPadProbeReturn recordBuffer(GstPad* pad, GstPadProbeInfo* info, gpointer data) {
    auto* seen = static_cast<Seen*>(data);
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    GstElement* element = GST_ELEMENT(GST_PAD_PARENT(pad));
    GstClock* clock = gst_element_get_clock(element);
    const GstClockTime now = clock ? gst_clock_get_time(clock) : 0;
    if (clock) gst_object_unref(clock);
    std::lock_guard<std::mutex> lock(seen->lock);
    seen->buffers.push_back(gst_buffer_copy_region(buffer, GST_BUFFER_COPY_METADATA, 0, 0));
    GST_BUFFER_OFFSET(seen->buffers.back()) = GST_BUFFER_OFFSET(buffer);
    seen->sizes.push_back(gst_buffer_get_size(buffer));
    seen->arrivals.push_back(now - gst_element_get_base_time(element));
    if (!seen->caps) seen->caps = gst_pad_get_current_caps(pad);
    return GST_PAD_PROBE_OK;
}

struct Outcome {
    bool eos = false;
    std::string error;                     // text of the first error message
    std::vector<std::string> laterErrors;  // texts of the error messages after it
    guint64 frames = 0, drops = 0, errors = 0;
};

// Runs `launch` (whose source is named "src") until EOS, an error or `seconds`.
Outcome runPipeline(const std::string& launch, Seen* seen = nullptr, double seconds = 20) {
    Outcome out;
    GError* parseError = nullptr;
    GstElement* pipeline = gst_parse_launch(launch.c_str(), &parseError);
    if (!pipeline || parseError) {
        out.error = parseError ? parseError->message : "no pipeline";
        g_clear_error(&parseError);
        if (pipeline) gst_object_unref(pipeline);
        return out;
    }
    GstElement* src = gst_bin_get_by_name(GST_BIN(pipeline), "src");
    if (seen && src) {
        GstPad* pad = gst_element_get_static_pad(src, "src");
        gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, recordBuffer, seen, nullptr);
        gst_object_unref(pad);
    }
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    GstBus* bus = gst_element_get_bus(pipeline);
    GstMessage* msg = gst_bus_timed_pop_filtered(
        bus, static_cast<GstClockTime>(seconds * GST_SECOND),
        static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    if (msg && GST_MESSAGE_TYPE(msg) == GST_MESSAGE_EOS) out.eos = true;
    if (msg && GST_MESSAGE_TYPE(msg) == GST_MESSAGE_ERROR) {
        GError* error = nullptr;
        gst_message_parse_error(msg, &error, nullptr);
        out.error = error->message;
        g_error_free(error);
    }
    if (!msg) out.error = "neither EOS nor an error in time";
    if (msg) gst_message_unref(msg);
    // Before the pipeline goes to NULL, which flushes the bus.
    while (GstMessage* later = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR)) {
        GError* error = nullptr;
        gst_message_parse_error(later, &error, nullptr);
        out.laterErrors.push_back(error->message);
        g_error_free(error);
        gst_message_unref(later);
    }
    gst_object_unref(bus);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    if (src) {
        g_object_get(src, "frames", &out.frames, "drops", &out.drops, "errors", &out.errors,
                     nullptr);
        gst_object_unref(src);
    }
    gst_object_unref(pipeline);
    return out;
}

// `count` frames of board `index` through the C functions, as the library returns them.
std::vector<std::vector<uint8_t>> captureWithC(unsigned index, const std::string& configPath,
                                               size_t count) {
    vexo::CameraFile file;
    std::string error;
    EXPECT_TRUE(vexo::loadCameraFile(configPath, file, error)) << error;
    std::vector<std::vector<uint8_t>> frames;
    CameraHandle handle = nullptr;
    CameraConfig cfg = file.config;
    EXPECT_EQ(Vexo_open(&handle, &cfg, index), USB_CAMERA_NO_ERROR);
    EXPECT_EQ(Vexo_beginCaptureImage(handle), USB_CAMERA_NO_ERROR);
    for (int reads = 0; frames.size() < count && reads < 10000; ++reads) {
        FrameData* frame = nullptr;
        while (frames.size() < count && Vexo_readImage(handle, &frame) == USB_CAMERA_NO_ERROR) {
            frames.emplace_back(frame->imageData, frame->imageData + frame->cfg.u32Size);
            Vexo_del(handle);
        }
        if (frames.size() < count) {
            EXPECT_LE(Vexo_captureImage(handle), 0xFFu);
        }
    }
    Vexo_endCaptureImage(handle);
    Vexo_close(handle);
    return frames;
}

std::vector<uint8_t> readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// ---------------------------------------------------------------------------------------
// Every format: the file of `vexosrc num-buffers=N ! filesink` against the C functions.

struct FormatCase {
    Board board;
    std::string caps;  // media type and format the caps must name
    uint32_t capsHeight;
};

void PrintTo(const FormatCase& c, std::ostream* os) {
    *os << c.board.name;
}

class FormatTest : public GstFixture, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(FormatTest, FileHoldsTheFramesTheCFunctionsReturn) {
    const FormatCase& c = GetParam();
    constexpr size_t kFrames = 4;
    const std::string config = useBoard(c.board, 2);
    const fs::path file = dir_ / "frames.bin";
    Seen seen;
    // The element opens the second board by its serial, the C functions the first: had the
    // element opened the first, the C functions would get later frames than it did.
    const Outcome out = runPipeline("vexosrc name=src serial=" + serials_[1] + " config=" + config +
                                        " num-buffers=" + std::to_string(kFrames) +
                                        " ! filesink location=" + file.string(),
                                    &seen);
    ASSERT_TRUE(out.eos) << out.error;
    EXPECT_EQ(out.frames, kFrames);
    EXPECT_EQ(out.drops, 0u);
    EXPECT_EQ(out.errors, 0u);

    // Caps: media type and format, width and height.
    ASSERT_NE(seen.caps, nullptr);
    const GstStructure* st = gst_caps_get_structure(seen.caps, 0);
    std::string named = gst_structure_get_name(st);
    if (const char* format = gst_structure_get_string(st, "format"))
        named += std::string(",") + format;
    EXPECT_EQ(named, c.caps);
    gint width = 0, height = 0;
    gst_structure_get_int(st, "width", &width);
    gst_structure_get_int(st, "height", &height);
    EXPECT_EQ(static_cast<uint32_t>(height), c.capsHeight);

    // Rows of raw video are padded to GStreamer's stride; the frames are the library's bytes.
    size_t stride = 0, rowBytes = 0;
    GstVideoInfo info;
    if (gst_structure_has_name(st, "video/x-raw") && gst_video_info_from_caps(&info, seen.caps)) {
        stride = GST_VIDEO_INFO_PLANE_STRIDE(&info, 0);
        rowBytes = GST_VIDEO_INFO_COMP_PSTRIDE(&info, 0) * static_cast<size_t>(width);
    } else if (gst_structure_has_name(st, "video/x-bayer")) {
        const size_t pixel = std::string(gst_structure_get_string(st, "format")).size() > 4 ? 2 : 1;
        stride = GST_ROUND_UP_4(width) * pixel;
        rowBytes = width * pixel;
    }

    const std::vector<std::vector<uint8_t>> expected = captureWithC(0, config, kFrames);
    ASSERT_EQ(expected.size(), kFrames);
    ASSERT_EQ(seen.buffers.size(), kFrames);
    const std::vector<uint8_t> bytes = readFile(file);
    size_t pos = 0;
    for (size_t k = 0; k < kFrames; ++k) {
        const size_t size = seen.sizes[k];
        ASSERT_LE(pos + size, bytes.size());
        std::vector<uint8_t> frame(bytes.begin() + pos, bytes.begin() + pos + size);
        if (stride != rowBytes) {
            std::vector<uint8_t> packed;
            for (size_t row = 0; row * stride < frame.size(); ++row)
                packed.insert(packed.end(), frame.begin() + row * stride,
                              frame.begin() + row * stride + rowBytes);
            frame = packed;
        }
        EXPECT_TRUE(frame == expected[k]) << "frame " << k << " differs";
        pos += size;

        const GstBuffer* b = seen.buffers[k];
        EXPECT_EQ(GST_BUFFER_OFFSET(b), k);
        EXPECT_EQ(GST_BUFFER_FLAG_IS_SET(b, GST_BUFFER_FLAG_DISCONT), k == 0) << "frame " << k;
        ASSERT_TRUE(GST_BUFFER_PTS_IS_VALID(b));
        EXPECT_LE(GST_BUFFER_PTS(b), seen.arrivals[k]) << "stamped after it arrived";
        if (k > 0) {
            EXPECT_GE(GST_BUFFER_PTS(b), GST_BUFFER_PTS(seen.buffers[k - 1]));
        }
    }
    EXPECT_EQ(pos, bytes.size()) << "the file holds more than the frames";
}

const Board kRawBoard{"RAW8_GBRG",
                      R"({"width": 320, "height": 240, "format": "RAW", "bayer": "GBRG"})",
                      "width = 320\nheight = 240\nformat = RAW\nbayer = GB\n"};
const Board kRaw10Board{
    "RAW10_BGGR",
    R"({"width": 320, "height": 240, "format": "RAW", "pixelBytes": 2, "bayer": "BGGR"})",
    "width = 320\nheight = 240\nformat = RAW\npixel_bytes = 2\npixel_bits = 10\nbayer = BG\n"};
// Rows of 318 samples: buffers hold rows of 320.
const Board kRawOddBoard{"RAW8_odd_width", R"({"width": 318, "height": 240, "format": "RAW"})",
                         "width = 318\nheight = 240\nformat = RAW\n"};
const Board kJpegBoard{"JPG", R"({"width": 320, "height": 240, "format": "JPG"})",
                       "width = 320\nheight = 240\nformat = JPG\n"};

INSTANTIATE_TEST_SUITE_P(
    Formats, FormatTest,
    ::testing::Values(
        FormatCase{kRawBoard, "video/x-bayer,gbrg", 240},
        FormatCase{
            {"RAW10_BGGR",
             R"({"width": 320, "height": 240, "format": "RAW", "pixelBytes": 2, "bayer": "BGGR"})",
             "width = 320\nheight = 240\nformat = RAW\npixel_bytes = 2\npixel_bits = 10\n"
             "bayer = BG\n"},
            "video/x-bayer,bggr10le",
            240},
        FormatCase{{"MON8_odd_width", R"({"width": 318, "height": 240, "format": "MON"})",
                    "width = 318\nheight = 240\nformat = MON\n"},
                   "video/x-raw,GRAY8",
                   240},
        FormatCase{{"MON16", R"({"width": 320, "height": 240, "format": "MON", "pixelBytes": 2})",
                    "width = 320\nheight = 240\nformat = MON\npixel_bytes = 2\npixel_bits = 10\n"},
                   "video/x-raw,GRAY16_LE",
                   240},
        FormatCase{{"MON_D", R"({"width": 320, "height": 240, "format": "MON_D"})",
                    "width = 320\nheight = 240\nformat = MON_D\n"},
                   "video/x-raw,GRAY8",
                   480},
        FormatCase{{"RGB565", R"({"width": 320, "height": 240, "format": "RGB"})",
                    "width = 320\nheight = 240\nformat = RGB\n"},
                   "video/x-raw,RGB16",
                   240},
        FormatCase{{"YUYV", R"({"width": 320, "height": 240, "format": "YUV"})",
                    "width = 320\nheight = 240\nformat = YUV\n"},
                   "video/x-raw,YUY2",
                   240},
        FormatCase{kJpegBoard, "image/jpeg", 240}),
    [](const ::testing::TestParamInfo<FormatCase>& info) { return info.param.board.name; });

// ---------------------------------------------------------------------------------------
// Pipelines a user writes end in PNGs that show the board's colour bars: through GStreamer's
// decoders, and through vexoisp from 8- and 10-bit mosaics into each of its output formats.

struct PngCase {
    Board board;
    std::string decode;  // "{config}" stands for the configuration file's path
    std::string colour;  // appended to the configuration file
};

void PrintTo(const PngCase& c, std::ostream* os) {
    *os << c.board.name;
}

class PngTest : public GstFixture, public ::testing::WithParamInterface<PngCase> {};

TEST_P(PngTest, PngsShowTheBars) {
    const PngCase& c = GetParam();
    const std::string config = useBoard(c.board);
    std::ofstream(config, std::ios::app) << c.colour;
    std::string decode = c.decode;
    if (const size_t at = decode.find("{config}"); at != std::string::npos)
        decode.replace(at, 8, config);
    const Outcome out = runPipeline(
        "vexosrc name=src config=" + config + " num-buffers=2 ! " + decode +
        " ! videoconvert ! pngenc ! multifilesink location=" + (dir_ / "frame%d.png").string());
    ASSERT_TRUE(out.eos) << out.error;
    for (const char* name : {"frame0.png", "frame1.png"}) {
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        ASSERT_TRUE(png_image_begin_read_from_file(&image, (dir_ / name).c_str())) << name;
        image.format = PNG_FORMAT_RGB;
        std::vector<uint8_t> rgb(PNG_IMAGE_SIZE(image));
        ASSERT_TRUE(png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr));
        ASSERT_EQ(image.height, 240u);
        // Eight bars across the top five sixths: white, yellow, cyan, green, magenta, red,
        // blue, black. The bouncing marker may cover one of the three rows looked at.
        static const uint8_t bars[8][3] = {{255, 255, 255}, {255, 255, 0}, {0, 255, 255},
                                           {0, 255, 0},     {255, 0, 255}, {255, 0, 0},
                                           {0, 0, 255},     {0, 0, 0}};
        for (int bar = 0; bar < 8; ++bar) {
            int matching = 0;
            for (const uint32_t y : {80u, 120u, 160u}) {
                const uint32_t x = (2 * bar + 1) * image.width / 16;
                const uint8_t* px = &rgb[(y * image.width + x) * 3];
                bool near = true;
                for (int ch = 0; ch < 3; ++ch) near &= std::abs(px[ch] - bars[bar][ch]) < 48;
                matching += near;
            }
            EXPECT_GE(matching, 2) << name << ": bar " << bar;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Pipelines, PngTest,
    ::testing::Values(
        PngCase{kRawBoard, "bayer2rgb", ""}, PngCase{kJpegBoard, "jpegdec", ""},
        PngCase{kRaw10Board, "vexoisp config-file={config}", "[colour]\nwhite_balance = 1 1 1\n"},
        PngCase{kRawOddBoard, "vexoisp config-file={config} ! video/x-raw,format=BGRx",
                "[colour]\nwhite_balance = 1 1 1\nblack_level = 4\n"},
        // White balance found in the frame; 16-bit samples.
        PngCase{kRaw10Board, "vexoisp ! video/x-raw,format=RGBA64_LE", ""}),
    [](const ::testing::TestParamInfo<PngCase>& info) {
        return info.param.board.name + "_" + std::to_string(info.index);
    });

const Board kUsb2Board{"RAW8_USB2", R"({"width": 320, "height": 240})",
                       "width = 320\nheight = 240\nformat = RAW\n", "0x52CB", 8};

// ---------------------------------------------------------------------------------------
// Failures end the stream with an error message that names the status.

struct FailureCase {
    std::string name;
    Board board;
    std::string faults;
    std::string properties;
    std::string status;      // the status name the message holds
    guint64 frames;          // frames delivered before the failure
    bool unplugged = false;  // the message says the board left
};

void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.name;
}

class FailureTest : public GstFixture, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(FailureTest, ErrorMessageNamesTheStatus) {
    const FailureCase& c = GetParam();
    const std::string config = useBoard(c.board, 1, c.faults);
    const Outcome out =
        runPipeline("vexosrc name=src config=" + config + " " + c.properties + " ! fakesink");
    EXPECT_FALSE(out.eos);
    EXPECT_NE(out.error.find(c.status), std::string::npos) << out.error;
    EXPECT_EQ(out.error.find("unplugged") != std::string::npos, c.unplugged) << out.error;
    EXPECT_EQ(out.frames, c.frames);
    // The base class's own wording for a start-up failure would follow ours without a reason.
    for (const std::string& later : out.laterErrors)
        EXPECT_EQ(later.find("failed to post a proper error message"), std::string::npos) << later;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FailureTest,
    ::testing::Values(
        FailureCase{"Unplugged", kRawBoard, R"([{"kind": "unplug", "atFrame": 5}])", "",
                    "USB_CAMERA_USB_TASK_ERROR", 5, true},
        FailureCase{"NoBoardAtIndex", kRawBoard, "[]", "index=3", "USB_CAMERA_USB_CREATE_ERROR", 0},
        FailureCase{"Stalled", kRawBoard, R"([{"kind": "stall", "atFrame": 2}])", "timeout-ms=300",
                    "USB_CAMERA_USB_TIMEOUT_ERROR", 2},
        FailureCase{"ExternalTriggerNeverFires", kUsb2Board, "[]",
                    "trigger=external timeout-ms=300", "USB_CAMERA_USB_TIMEOUT_ERROR", 0},
        FailureCase{"TriggerOnUsb3Board", kRawBoard, "[]", "trigger=software",
                    "USB_BOARD_FW_VERSION_NOT_SUPPORT_ERROR", 0}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

// The board sends a frame for each software trigger the element pulses (without one it sends
// nothing: ExternalTriggerNeverFires).
TEST_F(GstFixture, SoftwareTriggerDeliversFrames) {
    const std::string config = useBoard(kUsb2Board);
    const Outcome out = runPipeline("vexosrc name=src config=" + config +
                                    " trigger=software num-buffers=3 ! fakesink");
    EXPECT_TRUE(out.eos) << out.error;
    EXPECT_EQ(out.frames, 3u);
}

// A frame the library drops for a lost frame index leaves a gap in the offsets, and the buffer
// after the gap is marked DISCONT. Through GstHarness, which also asks for the latency.
TEST_F(GstFixture, LostFrameLeavesAGapMarkedDiscont) {
    const std::string config = useBoard(kUsb2Board, 1, R"([{"kind": "skipIndex", "atFrame": 2}])");
    GstHarness* h = gst_harness_new_with_padnames("vexosrc", nullptr, "src");
    g_object_set(h->element, "config", config.c_str(), nullptr);
    gst_harness_play(h);
    const guint64 offsets[] = {0, 1, 3, 4};
    const bool discont[] = {true, false, true, false};
    for (size_t k = 0; k < 4; ++k) {
        GstBuffer* buffer = gst_harness_pull(h);
        ASSERT_NE(buffer, nullptr);
        EXPECT_EQ(GST_BUFFER_OFFSET(buffer), offsets[k]);
        EXPECT_EQ(GST_BUFFER_OFFSET_END(buffer), offsets[k] + 1);
        EXPECT_EQ(GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DISCONT), discont[k]) << k;
        gst_buffer_unref(buffer);
    }
    guint64 errors = 0, drops = 0;
    g_object_get(h->element, "errors", &errors, "drops", &drops, nullptr);
    EXPECT_EQ(errors, 1u);
    EXPECT_EQ(drops, 0u);
    const GstClockTime latency = gst_harness_query_latency(h);
    EXPECT_TRUE(GST_CLOCK_TIME_IS_VALID(latency));
    EXPECT_GT(latency, 0u);
    gst_harness_teardown(h);
}

// ---------------------------------------------------------------------------------------
// NULL <-> PLAYING cycles: every cycle streams, and nothing made during them outlives the
// pipeline (GStreamer's leaks tracer; under ASan, LeakSanitizer checks the rest at exit).

GstTracer* leaksTracer() {
    GstTracer* found = nullptr;
    GList* tracers = gst_tracing_get_active_tracers();
    for (GList* l = tracers; l; l = l->next)
        if (!found && g_str_equal(G_OBJECT_TYPE_NAME(l->data), "GstLeaksTracer"))
            found = GST_TRACER(gst_object_ref(l->data));
    g_list_free_full(tracers, gst_object_unref);
    return found;
}

GstPadProbeReturn countBuffer(GstPad*, GstPadProbeInfo*, gpointer data) {
    ++*static_cast<std::atomic<int>*>(data);
    return GST_PAD_PROBE_OK;
}

// Objects made since tracking started and not freed since, by address, with their type:
// `alive` is updated with the tracer's checkpoint (which starts the next span).
void followCheckpoint(GstTracer* tracer, std::map<std::string, std::string>& alive) {
    GstStructure* checkpoint = nullptr;
    g_signal_emit_by_name(tracer, "activity-get-checkpoint", &checkpoint);
    if (!checkpoint) return;
    auto each = [&](const char* field, auto&& use) {
        const GValue* list = gst_structure_get_value(checkpoint, field);
        for (guint k = 0; list && k < gst_value_list_get_size(list); ++k) {
            const GstStructure* e = gst_value_get_structure(gst_value_list_get_value(list, k));
            use(gst_structure_get_string(e, "address"), gst_structure_get_string(e, "type-name"));
        }
    };
    each("objects-created-list",
         [&](const char* address, const char* type) { alive[address] = type; });
    each("objects-removed-list", [&](const char* address, const char*) { alive.erase(address); });
    gst_structure_free(checkpoint);
}

TEST_F(GstFixture, StateCyclesLeaveNothingBehind) {
    GstTracer* tracer = leaksTracer();
    ASSERT_NE(tracer, nullptr) << "GST_TRACERS=leaks was not taken";
    const std::string config = useBoard(kRawBoard);
    std::atomic<int> buffers{0};
    // One pipeline, `cycles` times to PLAYING until 3 buffers passed and back to NULL.
    auto run = [&](int cycles) {
        GstElement* pipeline = gst_parse_launch(
            ("vexosrc name=src config=" + config + " ! queue ! fakesink").c_str(), nullptr);
        GstElement* src = gst_bin_get_by_name(GST_BIN(pipeline), "src");
        GstPad* pad = gst_element_get_static_pad(src, "src");
        gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, countBuffer, &buffers, nullptr);
        gst_object_unref(pad);
        gst_object_unref(src);
        int streamed = 0;
        for (int k = 0; k < cycles; ++k) {
            buffers = 0;
            gst_element_set_state(pipeline, GST_STATE_PLAYING);
            for (int wait = 0; wait < 500 && buffers < 3; ++wait) g_usleep(10000);
            gst_element_set_state(pipeline, GST_STATE_NULL);
            streamed += buffers >= 3;
        }
        gst_object_unref(pipeline);
        return streamed;
    };
    ASSERT_EQ(run(1), 1);  // GStreamer's one-time objects are made here
    g_signal_emit_by_name(tracer, "activity-start-tracking");
    EXPECT_EQ(run(10), 10);
    // A task's thread lets go of it just after the join: give it a moment.
    std::map<std::string, std::string> alive;
    followCheckpoint(tracer, alive);
    for (int wait = 0; wait < 100 && !alive.empty(); ++wait) {
        g_usleep(10000);
        followCheckpoint(tracer, alive);
    }
    g_signal_emit_by_name(tracer, "activity-stop-tracking");
    std::string left;
    for (const auto& [address, type] : alive) left += type + " ";
    EXPECT_EQ(left, "") << "made during the cycles and still alive";
    gst_object_unref(tracer);
}

// Raw video whose rows GStreamer pads (318 GRAY8 samples, rows of 320): lent with a video
// meta giving the packed stride where downstream reads the meta, else copied into padded rows.
// Either way each row holds the board's samples.
class StrideTest : public GstFixture, public ::testing::WithParamInterface<bool> {};

TEST_P(StrideTest, RowsHoldTheBoardsSamples) {
    const bool meta = GetParam();
    const std::string config =
        useBoard({"MON8_odd_width", R"({"width": 318, "height": 240, "format": "MON"})",
                  "width = 318\nheight = 240\nformat = MON\n"},
                 2);
    constexpr size_t kFrames = 3;
    GstHarness* h = gst_harness_new_with_padnames("vexosrc", nullptr, "src");
    if (meta) gst_harness_add_propose_allocation_meta(h, GST_VIDEO_META_API_TYPE, nullptr);
    g_object_set(h->element, "config", config.c_str(), "serial", serials_[1].c_str(), nullptr);
    gst_harness_play(h);
    std::vector<GstBuffer*> buffers;
    for (size_t k = 0; k < kFrames; ++k) buffers.push_back(gst_harness_pull(h));
    const std::vector<std::vector<uint8_t>> expected = captureWithC(0, config, kFrames);
    ASSERT_EQ(expected.size(), kFrames);
    for (size_t k = 0; k < kFrames; ++k) {
        ASSERT_NE(buffers[k], nullptr);
        const GstVideoMeta* vmeta = gst_buffer_get_video_meta(buffers[k]);
        EXPECT_EQ(vmeta != nullptr, meta);
        const size_t stride = vmeta ? static_cast<size_t>(vmeta->stride[0]) : 320;
        EXPECT_EQ(stride, meta ? 318u : 320u);
        GstMapInfo map;
        ASSERT_TRUE(gst_buffer_map(buffers[k], &map, GST_MAP_READ));
        ASSERT_GE(map.size, stride * 239 + 318);
        bool same = true;
        for (size_t row = 0; row < 240; ++row)
            same &= std::equal(expected[k].begin() + row * 318,
                               expected[k].begin() + row * 318 + 318, map.data + row * stride);
        EXPECT_TRUE(same) << "frame " << k;
        gst_buffer_unmap(buffers[k], &map);
        gst_buffer_unref(buffers[k]);
    }
    gst_harness_teardown(h);
}

INSTANTIATE_TEST_SUITE_P(VideoMeta, StrideTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "MetaRead" : "NoMeta";
                         });

// extra-controls: named controls of the file's [controls] section, set when the board opens and
// again while it streams; the sensor's registers hold the fields. A name the file does not
// list is a warning, and the others are still set.
TEST_F(GstFixture, ExtraControlsReachTheSensorRegisters) {
    const std::string config = useBoard(kRawBoard);
    std::ofstream(config, std::ios::app)
        << "[controls]\n"
           "exposure type=integer min=1 max=65535 default=1024 registers=0x3500,0x3501,0x3502 "
           "bits=4..23\n"
           "analogue_gain type=float min=1 max=15.5 default=2 scale=128 "
           "registers=0x3508,0x3509 bits=0..10\n"
           "brightness type=integer min=-64 max=63 default=0 offset=64 registers=0x5001\n"
           "flip type=boolean default=0 registers=0x3820 bits=2\n"
           "test_pattern type=menu values=off:0,bars:1,fade:2 default=off registers=0x5080 "
           "bits=6..7\n";
    GstElement* pipeline = gst_parse_launch(
        ("vexosrc name=src config=" + config +
         " extra-controls=\"c,exposure=(int)2000,flip=true,test_pattern=fade,nonesuch=1\" ! "
         "fakesink")
            .c_str(),
        nullptr);
    ASSERT_NE(pipeline, nullptr);
    GstElement* src = gst_bin_get_by_name(GST_BIN(pipeline), "src");
    std::atomic<int> buffers{0};
    GstPad* pad = gst_element_get_static_pad(src, "src");
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, countBuffer, &buffers, nullptr);
    gst_object_unref(pad);
    auto streamOn = [&] {
        const int from = buffers;
        for (int wait = 0; wait < 500 && buffers < from + 3; ++wait) g_usleep(10000);
        return buffers >= from + 3;
    };
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    EXPECT_TRUE(streamOn());
    GstStructure* whilePlaying =
        gst_structure_from_string("c,analogue_gain=3.5,brightness=(int)-10,exposure=300", nullptr);
    g_object_set(src, "extra-controls", whilePlaying, nullptr);
    gst_structure_free(whilePlaying);
    EXPECT_TRUE(streamOn());

    GstBus* bus = gst_element_get_bus(pipeline);
    std::vector<std::string> warnings;
    while (GstMessage* msg = gst_bus_pop_filtered(
               bus, static_cast<GstMessageType>(GST_MESSAGE_WARNING | GST_MESSAGE_ERROR))) {
        GError* error = nullptr;
        if (GST_MESSAGE_TYPE(msg) == GST_MESSAGE_WARNING)
            gst_message_parse_warning(msg, &error, nullptr);
        else
            gst_message_parse_error(msg, &error, nullptr);
        warnings.push_back(error->message);
        g_error_free(error);
        gst_message_unref(msg);
    }
    gst_object_unref(bus);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(src);
    gst_object_unref(pipeline);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("nonesuch"), std::string::npos) << warnings[0];

    // The registers as the board holds them, read through the C functions.
    vexo::CameraFile file;
    std::string error;
    ASSERT_TRUE(vexo::loadCameraFile(config, file, error)) << error;
    CameraHandle handle = nullptr;
    ASSERT_EQ(Vexo_open(&handle, &file.config, 0), USB_CAMERA_NO_ERROR);
    std::map<uint32_t, uint32_t> regs;
    for (uint32_t reg : {0x3500u, 0x3501u, 0x3502u, 0x3508u, 0x3509u, 0x5001u, 0x3820u, 0x5080u})
        EXPECT_EQ(Vexo_readReg_16_8(handle, 0x20, reg, &regs[reg]), USB_CAMERA_NO_ERROR);
    Vexo_close(handle);
    // exposure 300 << 4 = 0x012C0 over three registers (the low nibble of 0x3502 is not its).
    EXPECT_EQ(regs[0x3500], 0x00u);
    EXPECT_EQ(regs[0x3501], 0x12u);
    EXPECT_EQ(regs[0x3502] & 0xF0, 0xC0u);
    // analogue_gain 3.5 x 128 = 448 = 0x1C0.
    EXPECT_EQ(regs[0x3508] & 0x07, 0x01u);
    EXPECT_EQ(regs[0x3509], 0xC0u);
    EXPECT_EQ(regs[0x5001], 54u);  // -10 + 64
    EXPECT_EQ(regs[0x3820] & 0x04, 0x04u);
    EXPECT_EQ(regs[0x5080] & 0xC0, 0x80u);  // fade = 2 in bits 6..7
}

// ---------------------------------------------------------------------------------------

TEST_F(GstFixture, InspectListsTheElementAndItsProperties) {
    // Its own registry: a failed load there must not mark the plugin bad for the other tests.
    std::string command = "GST_REGISTRY=" + (dir_ / "registry.bin").string();
#ifdef VEXO_TEST_PRELOAD
    command += " LD_PRELOAD=" VEXO_TEST_PRELOAD " ASAN_OPTIONS=detect_leaks=0";
#endif
    command += " gst-inspect-1.0 vexosrc 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string text;
    char chunk[4096];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, pipe)) > 0;) text.append(chunk, n);
    EXPECT_EQ(pclose(pipe), 0) << text;
    for (const char* word :
         {"Vexo camera source", "index", "serial", "config", "trigger", "timeout-ms", "frames",
          "drops", "errors", "num-buffers", "continuous", "software", "external", "video/x-bayer",
          "GRAY16_LE", "RGB16", "YUY2", "image/jpeg"}) {
        EXPECT_NE(text.find(std::string(word)), std::string::npos) << word;
    }
}

// Timestamps: the frame's board time mapped into the running time, within [start, arrival].
TEST(FrameClock, MapsBoardTimesIntoTheRunningTime) {
    using vexo::gst::FrameClock;
    const int64_t wall = 1'700'000'000 * GST_SECOND;
    auto fileTime = [](int64_t unixNs) {
        return static_cast<uint64_t>(unixNs / 100) + 116444736000000000ull;
    };
    const GstClockTime ms = GST_MSECOND;
    FrameClock clock;
    clock.start(1000 * ms);
    EXPECT_EQ(clock.stamp(fileTime(wall - 5 * ms), 2000 * ms, wall), 1995 * ms);
    EXPECT_EQ(clock.maxDelay(), 5 * ms);
    EXPECT_EQ(clock.stamp(fileTime(wall - 200 * ms), 2000 * ms, wall), 1995 * ms)
        << "timestamps never go backwards";
    EXPECT_EQ(clock.stamp(fileTime(wall + 10 * ms), 2100 * ms, wall), 2100 * ms)
        << "a frame cannot start after it arrived";
    EXPECT_EQ(clock.stamp(0, 2200 * ms, wall), 2200 * ms) << "no board time: arrival";

    FrameClock early;
    early.start(1000 * ms);
    EXPECT_EQ(early.stamp(fileTime(wall - 1500 * ms), 2000 * ms, wall), 1000 * ms)
        << "not before the capture started";
    FrameClock unset;
    unset.start(1000 * ms);
    EXPECT_EQ(unset.stamp(12345, 2000 * ms, wall), 2000 * ms)
        << "a board clock the host never set: arrival";
}

}  // namespace
