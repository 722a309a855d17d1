#include <algorithm>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "cli/commands.h"
#include "cli/stream_loop.h"
#include "cli/tool_error.h"

namespace vexo::tools {

namespace {

// A run that ends without a frame has measured nothing: that is a failure, named by the
// error the library reported most.
void requireFrames(const CaptureStats& stats) {
    if (stats.frames() > 0) return;
    char what[64];
    std::snprintf(what, sizeof(what), "no frame in %.2f s", stats.seconds());
    const uint32_t common = stats.commonestError();
    if (!common) throw ToolError(std::string(what) + " (" + stats.errorList() + ")");
    throw ToolError(describeStatus(std::string(what) + "; most frequent error", common));
}

struct BenchOptions {
    BoardOptions board;
    double seconds = 5;
    StreamOptions stream;
    bool all = false;
};

// Every attached board at once, one capture thread each: per-board figures, then the total.
void runBenchAll(const BenchOptions& options) {
    const CameraFile file = loadConfig(options.board);
    const std::vector<BoardEntry> boards = scanBoards(true);
    if (boards.empty()) throw ToolError("no board found");

    struct Run {
        BoardEntry board;
        CaptureStats stats;
        std::string error;
    };
    std::vector<Run> runs(boards.size());
    std::vector<std::thread> threads;
    for (size_t k = 0; k < boards.size(); ++k) {
        runs[k].board = boards[k];
        threads.emplace_back([&, k] {
            try {
                BoardOptions one = options.board;
                one.index = boards[k].index;
                BoardSession session(one, file);
                session.applyStartup(file);
                StreamLimits limits = options.stream.limits();
                limits.seconds = options.seconds;
                limits.progress = false;
                streamFrames(session.handle(), limits, runs[k].stats, [](const FrameData&) {});
                requireFrames(runs[k].stats);
            } catch (const std::exception& e) {
                runs[k].error = e.what();
            }
        });
    }
    for (std::thread& t : threads) t.join();

    uint64_t frames = 0;
    double fps = 0, mbps = 0, seconds = 0;
    size_t failed = 0;
    for (const Run& run : runs) {
        std::printf("board %u (%s): ", run.board.index, run.board.serial.c_str());
        if (!run.error.empty()) {
            std::printf("failed: %s\n", run.error.c_str());
            ++failed;
            continue;
        }
        std::printf("%llu frames in %.2f s: %.1f fps, %.1f MB/s; %s; %s\n",
                    static_cast<unsigned long long>(run.stats.frames()), run.stats.seconds(),
                    run.stats.fps(), run.stats.megabytesPerSecond(), run.stats.dropList().c_str(),
                    run.stats.errorList().c_str());
        frames += run.stats.frames();
        fps += run.stats.fps();
        mbps += run.stats.megabytesPerSecond();
        seconds = std::max(seconds, run.stats.seconds());
    }
    std::printf("total: %zu board(s), %llu frames in %.2f s: %.1f fps, %.1f MB/s\n",
                runs.size() - failed, static_cast<unsigned long long>(frames), seconds, fps, mbps);
    if (failed) throw ToolError(std::to_string(failed) + " board(s) failed");
}

void runBench(const BenchOptions& options) {
    if (options.all) return runBenchAll(options);
    const CameraFile file = loadConfig(options.board);
    BoardSession session(options.board, file);
    session.applyStartup(file);

    StreamLimits limits = options.stream.limits();
    limits.seconds = options.seconds;
    CaptureStats stats;
    // Frames are only counted: the bench measures the stream, not image encoding.
    streamFrames(session.handle(), limits, stats, [](const FrameData&) {});

    std::printf("bench: %llu frames in %.2f s: %.1f fps, %.1f MB/s\n",
                static_cast<unsigned long long>(stats.frames()), stats.seconds(), stats.fps(),
                stats.megabytesPerSecond());
    std::printf("%s; %s\n", stats.dropList().c_str(), stats.errorList().c_str());
    requireFrames(stats);
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
    addTimeoutOption(sub, options->stream);
    addQuietFlag(sub, options->stream);
    sub->add_flag("--all", options->all,
                  "Stream every attached board at once, one thread each, and report per-board "
                  "and total figures (no progress line)")
        ->excludes("--index");
    return {sub, [options] { runBench(*options); }};
}

}  // namespace vexo::tools
