/*
 * bench_gstreamer: frames per second of `vexosrc ! fakesink` against the C++ capture loop
 * (vexo::Camera::frames) on the same unpaced virtual board, in the same run.
 *
 * The element does what the loop does plus one copy of every frame into a pooled buffer and
 * the push through the pipeline, so the ratio shows what GStreamer costs a capture. Rounds of
 * both alternate; the best round of each counts (the machine is shared).
 *
 * Also counts the malloc calls per frame in the element's steady state (this program
 * interposes malloc, calloc and realloc), which should be 0.
 *
 * Prints per round the frames per second of both and ends with
 * "ratio vexosrc vs C++ loop: x.xx" and "allocations per frame: n".
 */
#include <gst/gst.h>
#include <vexo/vexo.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
}

namespace {

std::atomic<bool> gCounting{false};
std::atomic<uint64_t> gAllocations{0};

}  // namespace

extern "C" void* malloc(size_t size) {
    if (gCounting.load(std::memory_order_relaxed)) gAllocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}
extern "C" void* calloc(size_t count, size_t size) {
    if (gCounting.load(std::memory_order_relaxed)) gAllocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}
extern "C" void* realloc(void* pointer, size_t size) {
    if (gCounting.load(std::memory_order_relaxed)) gAllocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(pointer, size);
}

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kWidth = 1280;
constexpr uint32_t kHeight = 720;
constexpr double kWarmUpSeconds = 0.3;
constexpr double kSecondsPerRound = 1.5;
constexpr int kRounds = 3;

double seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

/* Frames per second of the C++ capture loop. */
double runLoop() {
    vexo::Config config;
    config.width = kWidth;
    config.height = kHeight;
    vexo::Camera camera = vexo::Camera::open(0, config);
    uint64_t frames = 0, bytes = 0;
    const auto begin = Clock::now();
    Clock::time_point start{};
    for (const vexo::Frame& frame : camera.frames()) {
        bytes += frame.size();
        if (start == Clock::time_point{}) {
            if (seconds(begin) >= kWarmUpSeconds) start = Clock::now();
            continue;
        }
        ++frames;
        if (seconds(start) >= kSecondsPerRound) break;
    }
    return frames / seconds(start);
}

struct GstFigures {
    double fps = 0;
    uint64_t frames = 0;
    uint64_t allocations = 0;
    uint64_t drops = 0;
};

guint64 framesOf(GstElement* src) {
    guint64 frames = 0;
    g_object_get(src, "frames", &frames, nullptr);
    return frames;
}

/* Frames per second of vexosrc ! fakesink, read from the element's frame counter. */
bool runPipeline(const std::string& config, GstFigures& out) {
    GError* error = nullptr;
    GstElement* pipeline =
        gst_parse_launch(("vexosrc name=src config=" + config + " ! fakesink").c_str(), &error);
    if (!pipeline) {
        std::printf("pipeline: %s\n", error ? error->message : "?");
        return false;
    }
    GstElement* src = gst_bin_get_by_name(GST_BIN(pipeline), "src");
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    g_usleep(static_cast<gulong>(kWarmUpSeconds * 1e6));
    const guint64 first = framesOf(src);
    const uint64_t allocationsBefore = gAllocations;
    const auto start = Clock::now();
    gCounting = true;
    g_usleep(static_cast<gulong>(kSecondsPerRound * 1e6));
    gCounting = false;
    out.frames = framesOf(src) - first;
    out.fps = out.frames / seconds(start);
    out.allocations = gAllocations - allocationsBefore;
    g_object_get(src, "drops", &out.drops, nullptr);
    GstBus* bus = gst_element_get_bus(pipeline);
    GstMessage* msg = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR);
    gst_object_unref(bus);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(src);
    gst_object_unref(pipeline);
    if (msg) {
        GError* failure = nullptr;
        gst_message_parse_error(msg, &failure, nullptr);
        std::printf("vexosrc: %s\n", failure->message);
        g_error_free(failure);
        gst_message_unref(msg);
        return false;
    }
    return out.frames > 0;
}

}  // namespace

int main() {
    setenv("GST_PLUGIN_PATH", VEXO_GST_PLUGIN_BUILD_DIR, 0);
    char board[160];
    std::snprintf(board, sizeof board,
                  "{\"boards\": [{\"stream\": {\"width\": %u, \"height\": %u, \"fps\": 0}}]}",
                  kWidth, kHeight);
    setenv("VEXO_VIRTUAL_BOARDS", board, 1);
    const std::string config = "/tmp/bench_gstreamer.cfg";
    std::ofstream(config) << "[camera]\nwidth = " << kWidth << "\nheight = " << kHeight
                          << "\nformat = RAW\ni2c_address = 0x20\ni2c_mode = 16_8\n";
    gst_init(nullptr, nullptr);

    double bestLoop = 0, bestGst = 0;
    uint64_t allocations = 0, frames = 0, drops = 0;
    for (int round = 0; round < kRounds; ++round) {
        double loop = 0;
        try {
            loop = runLoop();
        } catch (const vexo::Error& e) {
            std::printf("C++ loop: %s\n", e.what());
            return 1;
        }
        GstFigures gst;
        if (!runPipeline(config, gst)) return 1;
        std::printf("round %d: C++ loop %.1f frames/s, vexosrc ! fakesink %.1f frames/s "
                    "(%.1f MB/s)\n",
                    round + 1, loop, gst.fps, gst.fps * kWidth * kHeight / 1e6);
        bestLoop = std::max(bestLoop, loop);
        bestGst = std::max(bestGst, gst.fps);
        allocations += gst.allocations;
        frames += gst.frames;
        drops += gst.drops;
    }
    std::remove(config.c_str());
    std::printf("frames lost to a full queue in vexosrc: %llu\n",
                static_cast<unsigned long long>(drops));
    std::printf("ratio vexosrc vs C++ loop: %.2f\n", bestGst / bestLoop);
    std::printf("allocations per frame: %g\n", static_cast<double>(allocations) / frames);
    return 0;
}
