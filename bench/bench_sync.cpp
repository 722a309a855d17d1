/*
 * bench_sync: a rig of four virtual boards (640x480 RAW, USB 2 boards with trigger support) run
 * as one sync group by software trigger at 60 sets a second for 300 sets.
 *
 * 1. Delivery delay: for every set, the host time from the arrival of its last frame to the
 *    moment next() handed it out. Prints median and 99th percentile.
 * 2. Matching cost: the time the group spent placing frames into sets and handing sets out
 *    (SyncStats::matchSeconds) per set, against a memcpy of one set's frames (4 x 307200
 *    bytes) in the same run, and the process's CPU time per set for the whole rig (capture,
 *    virtual boards, copies, matching).
 */
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>
#include <vexo/sync_group.hpp>

#include "driver/virtual/virtual_board.h"
#include "driver/virtual/virtual_bus.h"

namespace {

namespace virt = vexo::driver::virt;
using Clock = std::chrono::steady_clock;

constexpr int kBoards = 4;
constexpr uint32_t kWidth = 640, kHeight = 480;
constexpr double kRate = 60;
constexpr uint64_t kSets = 300;

int64_t hostNow() {
    using Ticks = std::chrono::duration<int64_t, std::ratio<1, 10'000'000>>;
    return 116444736000000000 +
           std::chrono::duration_cast<Ticks>(std::chrono::system_clock::now().time_since_epoch())
               .count();
}

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

// Seconds one memcpy of a set's frames takes (the median of rounds).
double copySeconds() {
    std::vector<uint8_t> from(kBoards * kWidth * kHeight, 1), to(from.size());
    std::vector<double> rounds;
    for (int r = 0; r < 200; ++r) {
        const auto t = Clock::now();
        std::memcpy(to.data(), from.data(), from.size());
        rounds.push_back(std::chrono::duration<double>(Clock::now() - t).count());
        from[r % from.size()] = to[(r * 7) % to.size()];
    }
    return percentile(rounds, 0.5);
}

}  // namespace

int main() {
    vexo::SyncOptions options;
    for (int b = 0; b < kBoards; ++b) {
        virt::BoardConfig c;
        c.productId = 0x52CB;
        c.serial = "BENCH-SYNC-" + std::to_string(b);
        c.stream.width = kWidth;
        c.stream.height = kHeight;
        virt::addVirtualBoard(c);
        options.serials.push_back(c.serial);
    }
    options.trigger = vexo::SyncTrigger::Software;
    options.rateHz = kRate;
    options.triggers = kSets;
    options.config.u32Width = kWidth;
    options.config.u32Height = kHeight;
    options.config.u8PixelBytes = 1;
    options.config.u8PixelBits = 8;
    options.config.u32I2cAddr = 0x20;
    options.config.emI2cMode = I2C_MODE_16_8;
    options.config.emImageFmtMode = FORMAT_MODE_RAW;

    vexo::SyncGroup group(options);
    const double cpu0 = cpuSeconds();
    group.start();
    std::vector<double> delays;
    uint64_t sets = 0, complete = 0;
    while (std::optional<vexo::SyncSet> set = group.next(std::chrono::seconds(5))) {
        const int64_t delivered = hostNow();
        int64_t last = 0;
        for (const vexo::SyncFrame& f : set->frames()) last = std::max(last, f.arrivalTime);
        if (!set->frames().empty()) delays.push_back(static_cast<double>(delivered - last) / 1e4);
        ++sets;
        complete += set->complete();
    }
    const double cpu = cpuSeconds() - cpu0;
    group.stop();
    const vexo::SyncStats stats = group.stats();
    virt::removeAllDevices();
    if (delays.empty()) {
        std::fprintf(stderr, "bench_sync: no set delivered\n");
        return 1;
    }
    const double matchPerSet = stats.matchSeconds / static_cast<double>(sets);
    const double copy = copySeconds();
    std::printf("bench_sync: %d boards x %ux%u RAW at %.0f sets/s by software trigger\n", kBoards,
                kWidth, kHeight, kRate);
    std::printf("sets: %llu (%llu complete), unmatched frames %llu, overflow %llu\n",
                static_cast<unsigned long long>(sets), static_cast<unsigned long long>(complete),
                static_cast<unsigned long long>(stats.unmatched),
                static_cast<unsigned long long>(stats.overflow));
    std::printf("delay from a set's last frame to its delivery: median %.3f ms, p99 %.3f ms\n",
                percentile(delays, 0.5), percentile(delays, 0.99));
    std::printf("matching per set: %.2f us; memcpy of a set's frames: %.2f us; ratio %.3f\n",
                matchPerSet * 1e6, copy * 1e6, matchPerSet / copy);
    std::printf("process CPU per set (boards, capture, copies, matching): %.2f ms\n",
                cpu / static_cast<double>(sets) * 1e3);
    return 0;
}
