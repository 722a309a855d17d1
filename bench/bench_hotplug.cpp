/*
 * bench_hotplug: several boards at once, and how soon a stream resumes after its board
 * returns.
 *
 * 1. Two unpaced virtual boards streamed at once, one capture thread each (vexo::Camera and
 *    FrameRange, as a program would), against one board alone in the same run. Rounds
 *    alternate one and two so that a busy machine weighs on both alike; the median round of
 *    each is used. Prints "ratio two boards vs one: x.xx" (2.00 would be perfect scaling).
 *    A virtual board fills each read in the thread that waits for it, so every stream needs
 *    its own core for the board's copy as well as the capture's.
 *
 * 2. A board that replugs (a "replug" fault, away 20 ms) every few frames, captured with
 *    reconnect on: for each return, the time from the scan that listed the board again to
 *    the first frame after it, and from the moment the board was due back (the last frame
 *    before the loss plus its time away) to that frame. Prints median and worst of both.
 */
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>
#include <vexo/vexo.hpp>

#include "bench_support.h"
#include "driver/virtual/virtual_board.h"

namespace {

namespace virt = vexo::driver::virt;
using namespace vexo::bench;

constexpr double kSecondsPerRound = 1.5;
constexpr int kRounds = 3;
constexpr uint32_t kReplugs = 20;
constexpr uint32_t kAwayMs = 20;

vexo::Config configOf(const virt::BoardConfig& board) {
    vexo::Config config;
    config.width = board.stream.width;
    config.height = board.stream.height;
    return config;
}

// Streams `serial` for kSecondsPerRound after a warm-up of ten frames; returns bytes per second.
double streamRate(const std::string& serial, const vexo::Config& config) {
    vexo::Camera camera = vexo::Camera::openSerial(serial, config);
    vexo::FrameRange range = camera.frames();
    auto frame = range.begin();
    for (int i = 0; i < 10; ++i) ++frame;
    const Streamed s = streamFor(frame, kSecondsPerRound);
    return static_cast<double>(s.bytes) / s.seconds;
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Round {
    double bytesPerSecond = 0;
    double cpuPerSecond = 0;  // CPU seconds the process used per second of the round
};

Round round(const std::vector<virt::BoardConfig>& boards) {
    const double cpu0 = cpuSeconds();
    const Clock::time_point t0 = Clock::now();
    std::vector<double> rates(boards.size());
    std::vector<std::thread> threads;
    for (size_t k = 0; k < boards.size(); ++k)
        threads.emplace_back(
            [&, k] { rates[k] = streamRate(boards[k].serial, configOf(boards[k])); });
    for (auto& t : threads) t.join();
    Round out;
    for (double r : rates) out.bytesPerSecond += r;
    out.cpuPerSecond = (cpuSeconds() - cpu0) / secondsSince(t0);
    return out;
}

void throughput() {
    virt::removeAllDevices();
    std::vector<virt::BoardConfig> boards(2);
    for (int k = 0; k < 2; ++k) {
        boards[k].serial = "BENCH-" + std::to_string(k);
        boards[k].stream.width = kWidth;
        boards[k].stream.height = kHeight;
        virt::addVirtualBoard(boards[k]);
    }
    std::vector<double> one, two, oneCpu, twoCpu;
    for (int r = 0; r < kRounds; ++r) {
        const Round a = round({boards[0]});
        const Round b = round(boards);
        one.push_back(a.bytesPerSecond);
        oneCpu.push_back(a.cpuPerSecond);
        two.push_back(b.bytesPerSecond);
        twoCpu.push_back(b.cpuPerSecond);
    }
    const double a = median(one), b = median(two);
    // CPU the process got per second: on a machine shared with other work, two streams can
    // only scale as far as the cores they are given.
    std::printf("one board:   %8.1f MB/s, %.2f CPU (median of %d rounds of %.1f s)\n", a / 1e6,
                median(oneCpu), kRounds, kSecondsPerRound);
    std::printf("two boards:  %8.1f MB/s in total, %.2f CPU\n", b / 1e6, median(twoCpu));
    std::printf("MB per CPU second: one %.0f, two %.0f\n", a / 1e6 / median(oneCpu),
                b / 1e6 / median(twoCpu));
    std::printf("cores: %u\n", std::thread::hardware_concurrency());
    std::printf("ratio two boards vs one: %.2f\n", b / a);
}

void reconnects() {
    virt::removeAllDevices();
    virt::BoardConfig board;
    board.serial = "BENCH-REPLUG";
    board.stream.width = 64;
    board.stream.height = 32;
    virt::FaultConfig replug;
    replug.kind = virt::BoardFault::Replug;
    replug.atFrame = 5;
    replug.ms = kAwayMs;
    replug.count = kReplugs;
    board.faults.push_back(replug);
    virt::addVirtualBoard(board);

    vexo::Camera camera = vexo::Camera::openSerial(board.serial, configOf(board));
    camera.setReconnect({});
    auto frames = camera.frames(5 * (kReplugs + 1));
    for (const vexo::Frame& frame : frames) (void)frame;

    std::vector<double> fromScan, fromDue;
    for (const vexo::Gap& gap : frames.gaps()) {
        fromScan.push_back(
            std::chrono::duration<double, std::milli>(gap.firstFrame - gap.boardBack).count());
        const Clock::time_point due = gap.lastFrame + std::chrono::milliseconds(kAwayMs);
        fromDue.push_back(std::chrono::duration<double, std::milli>(gap.firstFrame - due).count());
    }
    std::printf("reconnects: %zu (away %u ms each)\n", frames.gaps().size(), kAwayMs);
    std::printf("board listed again -> first frame: median %.1f ms, worst %.1f ms\n",
                median(fromScan), *std::max_element(fromScan.begin(), fromScan.end()));
    std::printf("board due back     -> first frame: median %.1f ms, worst %.1f ms\n",
                median(fromDue), *std::max_element(fromDue.begin(), fromDue.end()));
}

}  // namespace

int main() {
    throughput();
    reconnects();
    virt::removeAllDevices();
    return 0;
}
