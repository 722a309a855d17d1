#include <cstdio>
#include <memory>

#include "cli/commands.h"
#include "cli/stream_loop.h"
#include "cli/tool_error.h"

namespace vexo::tools {

namespace {

struct BenchOptions {
    BoardOptions board;
    double seconds = 5;
    uint32_t timeoutMs = 5000;
    bool quiet = false;
};

void runBench(const BenchOptions& options) {
    const CameraFile file = loadConfig(options.board);
    BoardSession session(options.board, file);
    session.applyStartup(file);

    StreamLimits limits;
    limits.seconds = options.seconds;
    limits.stallMs = options.timeoutMs;
    limits.progress = !options.quiet;
    CaptureStats stats;
    // Frames are only counted: the bench measures the stream, not image encoding.
    streamFrames(session.handle(), limits, stats, [](const FrameData&) {});

    std::printf("bench: %llu frames in %.2f s: %.1f fps, %.1f MB/s\n",
                static_cast<unsigned long long>(stats.frames()), stats.seconds(), stats.fps(),
                stats.megabytesPerSecond());
    std::printf("%s; %s\n", stats.dropList().c_str(), stats.errorList().c_str());
}

}  // namespace

Command addBenchCommand(CLI::App& parent) {
    auto options = std::make_shared<BenchOptions>();
    CLI::App* sub = parent.add_subcommand(
        "bench",
        "Stream from a board for a while without writing images and report throughput (fps, "
        "MB/s) and losses (frames dropped by a full queue, frame errors by status name).");
    addBoardOptions(sub, options->board);
    sub->add_option("-t,--seconds", options->seconds, "How long to stream (default 5)")
        ->check(CLI::PositiveNumber);
    sub->add_option("--timeout", options->timeoutMs,
                    "Milliseconds without a frame before giving up (default 5000)")
        ->check(CLI::Range(1u, 600000u));
    sub->add_flag("-q,--quiet", options->quiet, "No progress line");
    return {sub, [options] { runBench(*options); }};
}

}  // namespace vexo::tools
