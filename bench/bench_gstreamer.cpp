/*
 * bench_gstreamer: frames per second of `vexosrc ! fakesink` against the C++ capture loop
 * (vexo::Camera::frames) on the same unpaced virtual board, in the same run.
 *
 * The element lends each frame's slot downstream and copies a frame only when downstream still
 * holds it as the next one is wanted (fakesink's last sample does), so two pipelines run:
 * plain `fakesink` and `fakesink enable-last-sample=false`. Each keeps a board of its own open
 * and all take turns of 0.4 s, ten rounds; the median of the rounds' ratios counts (on a shared
 * machine the load changes from one second to the next).
 *
 * Also counts the element's copies (its `copies` property) and the malloc calls per frame in
 * the element's steady state (this program interposes malloc, calloc and realloc), which
 * should be 0.
 *
 * Prints per round the frames per second of each and ends with
 * "ratio vexosrc vs C++ loop (median of rounds): x.xx", "copies per frame: n" and
 * "allocations per frame: n", then the same for enable-last-sample=false.
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

    // fakesink keeps the last buffer it rendered (its last-sample) until the next one comes,
    // so the element copies each frame out of its slot before reading the next; the second
    // pipeline lets go of each buffer at once, and the frames are only lent.
    struct Pipeline {
        const char* name = nullptr;
        std::string launch;
        GstElement* pipeline = nullptr;
        GstElement* src = nullptr;
        std::vector<double> ratios;
        double frames = 0, seconds = 0;
        uint64_t allocations = 0, copies = 0;
    };
    Pipeline pipelines[2];
    pipelines[0].name = "vexosrc ! fakesink";
    pipelines[0].launch = "vexosrc name=src index=1 config=" + config + " ! fakesink";
    pipelines[1].name = "vexosrc ! fakesink enable-last-sample=false";
    pipelines[1].launch =
        "vexosrc name=src index=2 config=" + config + " ! fakesink enable-last-sample=false";
    for (Pipeline& p : pipelines) {
        GError* error = nullptr;
        p.pipeline = gst_parse_launch(p.launch.c_str(), &error);
        if (!p.pipeline || error) {
            std::printf("pipeline: %s\n", error ? error->message : "?");
            return 1;
        }
        p.src = gst_bin_get_by_name(GST_BIN(p.pipeline), "src");
        gst_element_set_state(p.pipeline, GST_STATE_PLAYING);
        g_usleep(static_cast<gulong>(kWarmUpSeconds * 1e6));
        gst_element_set_state(p.pipeline, GST_STATE_PAUSED);
    }
    sink += streamFor(it, kWarmUpSeconds).bytes;

    double loopFrames = 0, loopTime = 0;
    for (int round = 0; round < kRounds; ++round) {
        const Streamed loop = streamFor(it, kSecondsPerTurn);
        sink += loop.bytes;
        const double loopRate = loop.frames / loop.seconds;
        loopFrames += loop.frames;
        loopTime += loop.seconds;
        std::printf("round %2d: C++ loop %7.1f frames/s", round + 1, loopRate);
        for (Pipeline& p : pipelines) {
            gst_element_set_state(p.pipeline, GST_STATE_PLAYING);
            g_usleep(50000);  // the streaming thread back at work
            const guint64 first = framesOf(p.src);
            guint64 copiesBefore = 0, copiesAfter = 0;
            g_object_get(p.src, "copies", &copiesBefore, nullptr);
            const uint64_t allocationsBefore = gAllocations;
            const auto gstStart = Clock::now();
            gCounting = true;
            g_usleep(static_cast<gulong>(kSecondsPerTurn * 1e6));
            gCounting = false;
            const guint64 delivered = framesOf(p.src) - first;
            g_object_get(p.src, "copies", &copiesAfter, nullptr);
            const double gstSeconds = secondsSince(gstStart);
            p.allocations += gAllocations - allocationsBefore;
            p.copies += copiesAfter - copiesBefore;
            gst_element_set_state(p.pipeline, GST_STATE_PAUSED);
            if (pipelineFailed(p.pipeline) || delivered == 0) return 1;
            const double gstRate = delivered / gstSeconds;
            std::printf(", %s %7.1f = %.2f", p.name, gstRate, gstRate / loopRate);
            p.ratios.push_back(gstRate / loopRate);
            p.frames += delivered;
            p.seconds += gstSeconds;
        }
        std::printf("\n");
    }
    std::printf("overall: C++ loop %.1f frames/s (%llu bytes seen)\n", loopFrames / loopTime,
                static_cast<unsigned long long>(sink));
    for (Pipeline& p : pipelines) {
        guint64 drops = 0;
        g_object_get(p.src, "drops", &drops, nullptr);
        gst_element_set_state(p.pipeline, GST_STATE_NULL);
        gst_object_unref(p.src);
        gst_object_unref(p.pipeline);
        std::printf("overall: %s %.1f frames/s (%.0f MB/s); %llu frames lost to a full queue\n",
                    p.name, p.frames / p.seconds, p.frames / p.seconds * kWidth * kHeight / 1e6,
                    static_cast<unsigned long long>(drops));
    }
    const Pipeline& plain = pipelines[0];
    const Pipeline& lent = pipelines[1];
    std::printf("ratio vexosrc vs C++ loop (median of rounds): %.2f\n", median(plain.ratios));
    std::printf("copies per frame: %.2f\n", plain.copies / plain.frames);
    std::printf("allocations per frame: %g\n", plain.allocations / plain.frames);
    std::printf("ratio vexosrc vs C++ loop, fakesink enable-last-sample=false (median): %.2f\n",
                median(lent.ratios));
    std::printf("copies per frame, fakesink enable-last-sample=false: %.2f\n",
                lent.copies / lent.frames);
    std::printf("allocations per frame, fakesink enable-last-sample=false: %g\n",
                lent.allocations / lent.frames);
    return 0;
}

}  // namespace

int main() {
    setenv("GST_PLUGIN_PATH", VEXO_GST_PLUGIN_BUILD_DIR, 0);
    char board[128];
    std::snprintf(board, sizeof board, "{\"stream\": {\"width\": %u, \"height\": %u, \"fps\": 0}}",
                  kWidth, kHeight);
    const std::string boards =
        std::string("{\"boards\": [") + board + ", " + board + ", " + board + "]}";
    setenv("VEXO_VIRTUAL_BOARDS", boards.c_str(), 1);
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
