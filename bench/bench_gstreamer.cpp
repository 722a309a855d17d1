/*
 * bench_gstreamer: frames per second of `vexosrc ! fakesink` against the C++ capture loop
 * (vexo::Camera::frames) on the same unpaced virtual board, in the same run.
 *
 * The element does what the loop does plus one copy of every frame into a pooled buffer and
 * the push through the pipeline, so the ratio shows what GStreamer costs a capture. Both keep
 * a board of their own open and take turns of 0.4 s, ten rounds; the median of the rounds'
 * ratios counts (on a shared machine the load changes from one second to the next).
 *
 * Also counts the malloc calls per frame in the element's steady state (this program
 * interposes malloc, calloc and realloc), which should be 0.
 *
 * Prints per round the frames per second of both and ends with
 * "ratio vexosrc vs C++ loop (median of rounds): x.xx" and "allocations per frame: n".
 */
#include <gst/gst.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>
#include <vexo/vexo.hpp>

#include "bench_support.h"

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
    if (gCounting.load(std::memory_order_relaxed))
        gAllocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}
extern "C" void* calloc(size_t count, size_t size) {
    if (gCounting.load(std::memory_order_relaxed))
        gAllocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}
extern "C" void* realloc(void* pointer, size_t size) {
    if (gCounting.load(std::memory_order_relaxed))
        gAllocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(pointer, size);
}

namespace {

using namespace vexo::bench;

constexpr double kWarmUpSeconds = 0.3;
constexpr double kSecondsPerTurn = 0.4;
constexpr int kRounds = 10;

guint64 framesOf(GstElement* src) {
    guint64 frames = 0;
    g_object_get(src, "frames", &frames, nullptr);
    return frames;
}

/* Ends the run when the pipeline posted an error. */
bool pipelineFailed(GstElement* pipeline) {
    GstBus* bus = gst_element_get_bus(pipeline);
    GstMessage* msg = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR);
    gst_object_unref(bus);
    if (!msg) return false;
    GError* failure = nullptr;
    gst_message_parse_error(msg, &failure, nullptr);
    std::printf("vexosrc: %s\n", failure->message);
    g_error_free(failure);
    gst_message_unref(msg);
    return true;
}

int run(const std::string& config) {
    // Board 0 for the C++ loop, board 1 for the element: both stay open, and the two take
    // turns, so each pair of turns sees the same load on the machine.
    vexo::Config cfg;
    cfg.width = kWidth;
    cfg.height = kHeight;
    vexo::Camera camera = vexo::Camera::open(0, cfg);
    vexo::FrameRange range = camera.frames();
    auto it = range.begin();
    uint64_t sink = 0;

    GError* error = nullptr;
    GstElement* pipeline = gst_parse_launch(
        ("vexosrc name=src index=1 config=" + config + " ! fakesink").c_str(), &error);
    if (!pipeline || error) {
        std::printf("pipeline: %s\n", error ? error->message : "?");
        return 1;
    }
    GstElement* src = gst_bin_get_by_name(GST_BIN(pipeline), "src");
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    g_usleep(static_cast<gulong>(kWarmUpSeconds * 1e6));
    gst_element_set_state(pipeline, GST_STATE_PAUSED);
    sink += streamFor(it, kWarmUpSeconds).bytes;

    std::vector<double> ratios;
    double loopFrames = 0, loopTime = 0, gstFrames = 0, gstTime = 0;
    uint64_t allocations = 0, counted = 0;
    for (int round = 0; round < kRounds; ++round) {
        const Streamed loop = streamFor(it, kSecondsPerTurn);
        sink += loop.bytes;

        gst_element_set_state(pipeline, GST_STATE_PLAYING);
        g_usleep(50000);  // the streaming thread back at work
        const guint64 first = framesOf(src);
        const uint64_t allocationsBefore = gAllocations;
        const auto gstStart = Clock::now();
        gCounting = true;
        g_usleep(static_cast<gulong>(kSecondsPerTurn * 1e6));
        gCounting = false;
        const guint64 delivered = framesOf(src) - first;
        const double gstSeconds = secondsSince(gstStart);
        allocations += gAllocations - allocationsBefore;
        counted += delivered;
        gst_element_set_state(pipeline, GST_STATE_PAUSED);
        if (pipelineFailed(pipeline) || delivered == 0) return 1;

        const double loopRate = loop.frames / loop.seconds, gstRate = delivered / gstSeconds;
        std::printf(
            "round %2d: C++ loop %7.1f frames/s, vexosrc ! fakesink %7.1f frames/s "
            "= %.2f\n",
            round + 1, loopRate, gstRate, gstRate / loopRate);
        ratios.push_back(gstRate / loopRate);
        loopFrames += loop.frames;
        loopTime += loop.seconds;
        gstFrames += delivered;
        gstTime += gstSeconds;
    }
    guint64 drops = 0;
    g_object_get(src, "drops", &drops, nullptr);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(src);
    gst_object_unref(pipeline);

    std::printf(
        "overall: C++ loop %.1f frames/s, vexosrc %.1f frames/s (%.0f MB/s); "
        "%llu frames lost to a full queue (%llu bytes seen by the loop)\n",
        loopFrames / loopTime, gstFrames / gstTime, gstFrames / gstTime * kWidth * kHeight / 1e6,
        static_cast<unsigned long long>(drops), static_cast<unsigned long long>(sink));
    std::printf("ratio vexosrc vs C++ loop (median of rounds): %.2f\n", median(ratios));
    std::printf("allocations per frame: %g\n", static_cast<double>(allocations) / counted);
    return 0;
}

}  // namespace

int main() {
    setenv("GST_PLUGIN_PATH", VEXO_GST_PLUGIN_BUILD_DIR, 0);
    char boards[256];
    std::snprintf(boards, sizeof boards,
                  "{\"boards\": [{\"stream\": {\"width\": %u, \"height\": %u, \"fps\": 0}}, "
                  "{\"stream\": {\"width\": %u, \"height\": %u, \"fps\": 0}}]}",
                  kWidth, kHeight, kWidth, kHeight);
    setenv("VEXO_VIRTUAL_BOARDS", boards, 1);
    const std::string config = "/tmp/bench_gstreamer.cfg";
    std::ofstream(config) << "[camera]\nwidth = " << kWidth << "\nheight = " << kHeight
                          << "\nformat = RAW\ni2c_address = 0x20\ni2c_mode = 16_8\n";
    gst_init(nullptr, nullptr);
    int status = 1;
    try {
        status = run(config);
    } catch (const vexo::Error& e) {
        std::printf("C++ loop: %s\n", e.what());
    }
    std::remove(config.c_str());
    return status;
}
