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
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "config/camera_file.h"

namespace {

namespace fs = std::filesystem;

// A configuration file and the virtual board that sends what it describes.
struct Board {
    std::string name;
    std::string stream;  // JSON of the board's "stream" object
    std::string config;  // [camera] keys of the configuration file
    std::string productId = "0x03F1";
};

// Transfer level 64: 64 KiB reads, so no read completes more frames than the queue holds.
const std::string kCamera = "i2c_address = 0x20\ni2c_mode = 16_8\ntransfer_level = 64\n";

class GstFixture : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { gst_init(nullptr, nullptr); }

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
            json += std::string(k ? ", " : "") + "{\"productId\": \"" + board.productId +
                    "\", \"serial\": \"" + serial + "\", \"stream\": " + board.stream +
                    ", \"faults\": " + faults + "}";
        }
        json += "]}";
        setenv("VEXO_VIRTUAL_BOARDS", json.c_str(), 1);
        const std::string path = (dir_ / "camera.cfg").string();
        std::ofstream(path) << "[camera]\n" << board.config << kCamera;
        return path;
    }

    fs::path dir_;
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
    std::string error;  // text of the first error message
    guint64 frames = 0, drops = 0, errors = 0;
};

// Runs `launch` (whose source is named "src") until EOS, an error or `seconds`.
Outcome runPipeline(const std::string& launch, Seen* seen = nullptr, double seconds = 20) {
    Outcome out;
    GError* parseError = nullptr;
    GstElement* pipeline = gst_parse_launch(launch.c_str(), &parseError);
    if (!pipeline) {
        out.error = parseError ? parseError->message : "no pipeline";
        g_clear_error(&parseError);
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
    vexo::tools::CameraFile file;
    std::string error;
    EXPECT_TRUE(vexo::tools::loadCameraFile(configPath, file, error)) << error;
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

void PrintTo(const FormatCase& c, std::ostream* os) { *os << c.board.name; }

class FormatTest : public GstFixture, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(FormatTest, FileHoldsTheFramesTheCFunctionsReturn) {
    const FormatCase& c = GetParam();
    constexpr size_t kFrames = 4;
    const std::string config = useBoard(c.board, 2);
    const fs::path file = dir_ / "frames.bin";
    Seen seen;
    const Outcome out = runPipeline("vexosrc name=src index=0 config=" + config +
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
    if (const char* format = gst_structure_get_string(st, "format")) named += std::string(",") + format;
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

    const std::vector<std::vector<uint8_t>> expected = captureWithC(1, config, kFrames);
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

const Board kRawBoard{"RAW8_GBRG", R"({"width": 320, "height": 240, "format": "RAW", "bayer": "GBRG"})",
                      "width = 320\nheight = 240\nformat = RAW\nbayer = GB\n"};
const Board kJpegBoard{"JPG", R"({"width": 320, "height": 240, "format": "JPG"})",
                       "width = 320\nheight = 240\nformat = JPG\n"};

INSTANTIATE_TEST_SUITE_P(
    Formats, FormatTest,
    ::testing::Values(
        FormatCase{kRawBoard, "video/x-bayer,gbrg", 240},
        FormatCase{{"RAW10_BGGR",
                    R"({"width": 320, "height": 240, "format": "RAW", "pixelBytes": 2, "bayer": "BGGR"})",
                    "width = 320\nheight = 240\nformat = RAW\npixel_bytes = 2\npixel_bits = 10\n"
                    "bayer = BG\n"},
                   "video/x-bayer,bggr10le", 240},
        FormatCase{{"MON8_odd_width", R"({"width": 318, "height": 240, "format": "MON"})",
                    "width = 318\nheight = 240\nformat = MON\n"},
                   "video/x-raw,GRAY8", 240},
        FormatCase{{"MON16", R"({"width": 320, "height": 240, "format": "MON", "pixelBytes": 2})",
                    "width = 320\nheight = 240\nformat = MON\npixel_bytes = 2\npixel_bits = 10\n"},
                   "video/x-raw,GRAY16_LE", 240},
        FormatCase{{"MON_D", R"({"width": 320, "height": 240, "format": "MON_D"})",
                    "width = 320\nheight = 240\nformat = MON_D\n"},
                   "video/x-raw,GRAY8", 480},
        FormatCase{{"RGB565", R"({"width": 320, "height": 240, "format": "RGB"})",
                    "width = 320\nheight = 240\nformat = RGB\n"},
                   "video/x-raw,RGB16", 240},
        FormatCase{{"YUYV", R"({"width": 320, "height": 240, "format": "YUV"})",
                    "width = 320\nheight = 240\nformat = YUV\n"},
                   "video/x-raw,YUY2", 240},
        FormatCase{kJpegBoard, "image/jpeg", 240}),
    [](const ::testing::TestParamInfo<FormatCase>& info) { return info.param.board.name; });

// ---------------------------------------------------------------------------------------
// Pipelines a user writes end in PNGs that show the board's colour bars.

struct PngCase {
    Board board;
    std::string decode;
};

void PrintTo(const PngCase& c, std::ostream* os) { *os << c.board.name; }

class PngTest : public GstFixture, public ::testing::WithParamInterface<PngCase> {};

TEST_P(PngTest, PngsShowTheBars) {
    const PngCase& c = GetParam();
    const std::string config = useBoard(c.board);
    const Outcome out = runPipeline("vexosrc name=src config=" + config + " num-buffers=2 ! " +
                                    c.decode + " ! videoconvert ! pngenc ! multifilesink location=" +
                                    (dir_ / "frame%d.png").string());
    ASSERT_TRUE(out.eos) << out.error;
    for (const char* name : {"frame0.png", "frame1.png"}) {
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        ASSERT_TRUE(png_image_begin_read_from_file(&image, (dir_ / name).c_str())) << name;
        image.format = PNG_FORMAT_RGB;
        std::vector<uint8_t> rgb(PNG_IMAGE_SIZE(image));
        ASSERT_TRUE(png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr));
        ASSERT_EQ(image.width, 320u);
        ASSERT_EQ(image.height, 240u);
        // Eight bars across the top five sixths: white, yellow, cyan, green, magenta, red,
        // blue, black. The bouncing marker may cover one of the three rows looked at.
        static const uint8_t bars[8][3] = {{255, 255, 255}, {255, 255, 0}, {0, 255, 255},
                                           {0, 255, 0},     {255, 0, 255}, {255, 0, 0},
                                           {0, 0, 255},     {0, 0, 0}};
        for (int bar = 0; bar < 8; ++bar) {
            int matching = 0;
            for (const uint32_t y : {80u, 120u, 160u}) {
                const uint8_t* px = &rgb[(y * image.width + bar * 40 + 20) * 3];
                bool near = true;
                for (int ch = 0; ch < 3; ++ch) near &= std::abs(px[ch] - bars[bar][ch]) < 48;
                matching += near;
            }
            EXPECT_GE(matching, 2) << name << ": bar " << bar;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Pipelines, PngTest,
                         ::testing::Values(PngCase{kRawBoard, "bayer2rgb"},
                                           PngCase{kJpegBoard, "jpegdec"}),
                         [](const ::testing::TestParamInfo<PngCase>& info) {
                             return info.param.board.name;
                         });

}  // namespace
