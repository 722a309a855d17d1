/*
 * bench_capture: frames from an unpaced virtual board through captureImage + readImage +
 * del, against memcpy of the same number of bytes in the same run, for both framings.
 *
 * The board's own copy into each read is part of the capture figure, so the capture path
 * does at least two copies of every byte where the baseline does one.
 *
 * Prints per framing the bytes per second of both, the CPU seconds per GB of capture, and
 * ends with one "ratio <what> vs memcpy: x.xx" line per framing and the operator new calls
 * per frame counted in the steady state.
 *
 * A second baseline shows how much of the gap to memcpy is the capture's memory footprint
 * rather than its code: the same bytes copied twice with plain memcpy through buffers laid
 * out like the capture's (a frame-sized source, 64 reads of the default transfer length,
 * six frame slots). The 32 MiB of reads in flight cannot stay in the core's cache, so every
 * board write lands in memory that went cold 63 reads earlier; that pipeline is the ceiling
 * any capture code could reach on the machine.
 */
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "bench_camera.h"
#include "common/allocation_counter.h"

namespace {

using namespace vexo::bench;

constexpr double kSecondsPerCase = 1.5;

struct Figures {
    double bytesPerSecond = 0;
    double cpuSecondsPerGb = 0;
    uint64_t frames = 0;
    uint64_t allocations = 0;
    uint64_t bytes = 0;
};

/* Captures for about kSecondsPerCase after a warm-up; counts bytes of frames read. */
bool runCapture(uint16_t productId, Figures& out) {
    BoardSetup setup;
    setup.productId = productId;
    BoardCapture board(setup);
    if (!board.started()) return false;

    uint64_t bytes = 0, frames = 0;
    auto count = [&](const FrameData& frame) {
        bytes += frame.cfg.u32Size;
        ++frames;
    };
    /* Warm-up: every read of the ring has gone round once. */
    for (int i = 0; i < 2 * 64; ++i) board.capture(count);
    bytes = frames = 0;
    const uint64_t allocBefore = vexo::test::allocationCount();
    const std::clock_t cpuStart = std::clock();
    const auto start = Clock::now();
    double elapsed = 0;
    while (elapsed < kSecondsPerCase) {
        for (int i = 0; i < 16; ++i)
            if (!board.capture(count)) return false;
        elapsed = secondsSince(start);
    }
    const double cpu = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    out.allocations = vexo::test::allocationCount() - allocBefore;
    out.frames = frames;
    out.bytes = bytes;
    out.bytesPerSecond = bytes / elapsed;
    out.cpuSecondsPerGb = bytes ? cpu / (bytes / 1e9) : 0;
    return frames > 0;
}

/* memcpy of @bytes in frame-sized pieces between two frame-sized buffers. */
double runMemcpy(uint64_t bytes) {
    const size_t frame = static_cast<size_t>(kWidth) * kHeight;
    std::vector<uint8_t> from(frame, 0x5A), to(frame);
    uint64_t copied = 0;
    const auto start = Clock::now();
    while (copied < bytes) {
        std::memcpy(to.data(), from.data(), frame);
        /* Keeps the copy from being optimised away. */
        from[copied % frame] = to[(copied + 1) % frame];
        copied += frame;
    }
    return copied / secondsSince(start);
}

/* The same bytes copied twice through a capture-shaped footprint: hot frame -> one of 64
 * transfer-length reads -> the six-slot frame ring. Bytes per second of frames delivered. */
double runTwoCopyPipeline(uint64_t bytes) {
    constexpr size_t kTransferLength = 524288;
    constexpr size_t kReads = 64;
    constexpr size_t kSlots = 6;
    const size_t frame = static_cast<size_t>(kWidth) * kHeight;
    std::vector<uint8_t> source(frame, 0x5A), reads(kReads * kTransferLength, 0xEF),
        slots(kSlots * frame);
    uint64_t copied = 0;
    size_t read = 0, framePos = 0, slot = 0;
    const auto start = Clock::now();
    while (copied < bytes) {
        const size_t n = std::min(kTransferLength, frame - framePos);
        uint8_t* buffer = reads.data() + read * kTransferLength;
        std::memcpy(buffer, source.data() + framePos, n);
        std::memcpy(slots.data() + slot * frame + framePos, buffer, n);
        read = (read + 1) % kReads;
        framePos += n;
        if (framePos == frame) {
            framePos = 0;
            slot = (slot + 1) % kSlots;
            source[copied % frame] = slots[(copied + 1) % slots.size()];
        }
        copied += n;
    }
    return copied / secondsSince(start);
}

}  // namespace

int main() {
    struct Case {
        const char* name;
        uint16_t productId;
    } cases[] = {{"capture chunk-header", 0x03F1}, {"capture trailer-marked", 0x52CB}};

    std::vector<std::string> ratios;
    uint64_t allocs = 0, frames = 0;
    for (const Case& c : cases) {
        Figures f;
        if (!runCapture(c.productId, f)) {
            std::printf("%s: capture failed\n", c.name);
            return 1;
        }
        const double memcpyRate = runMemcpy(f.bytes);
        const double pipelineRate = runTwoCopyPipeline(f.bytes);
        std::printf("%s: %.1f MB/s (%llu frames), memcpy %.1f MB/s, %.3f CPU s/GB\n", c.name,
                    f.bytesPerSecond / 1e6, static_cast<unsigned long long>(f.frames),
                    memcpyRate / 1e6, f.cpuSecondsPerGb);
        std::printf(
            "%s: two-copy pipeline %.1f MB/s = %.2f of memcpy; capture reaches %.2f "
            "of the pipeline\n",
            c.name, pipelineRate / 1e6, pipelineRate / memcpyRate, f.bytesPerSecond / pipelineRate);
        char line[128];
        std::snprintf(line, sizeof line, "ratio %s vs memcpy: %.2f", c.name,
                      f.bytesPerSecond / memcpyRate);
        ratios.push_back(line);
        allocs += f.allocations;
        frames += f.frames;
    }
    for (const std::string& line : ratios) std::printf("%s\n", line.c_str());
    std::printf("allocations per frame: %g\n", static_cast<double>(allocs) / frames);
    return 0;
}
