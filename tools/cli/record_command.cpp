// vexo record: every frame of a stream, losslessly, into a directory of standard files and a
// manifest (tools/record). Frames are written off the capture thread; when the disk cannot
// keep up, frames are dropped and counted, never the capture held up.
#include <vexo/camera.h>

#include <cstdio>
#include <limits>
#include <memory>
#include <vexo/frame_converter.hpp>
#include <vexo/recorder.hpp>

#include "cli/commands.h"
#include "cli/stream_loop.h"
#include "cli/sync_record.h"
#include "cli/tool_error.h"

namespace vexo::tools {

namespace {

struct RecordOptions {
    BoardOptions board;
    uint64_t frames = 0;
    double seconds = 0;
    std::string output;
    size_t queueFrames = 16;
    StreamOptions stream;
    bool raw = false;
};

void runRecord(const RecordOptions& options) {
    const CameraFile file = loadConfig(options.board);
    BoardSession session(options.board, file);
    session.applyStartup(file);

    const CameraConfig& cfg = session.config();
    RecordingHeader header;
    header.boardIndex = session.board().index;
    header.serial = session.board().serial;
    header.configSource = file.source;
    header.layout = frameFormatOf(cfg, file.bayer);
    RecorderOptions recorderOptions;
    recorderOptions.queueFrames = options.queueFrames;
    recorderOptions.rawFiles = options.raw;
    recorderOptions.colour = file.colour;
    Recorder recorder(options.output, header, recorderOptions);

    std::printf("board %u (%s): recording %ux%u %s to %s/\n", header.boardIndex,
                header.serial.c_str(), cfg.u32Width, cfg.u32Height,
                std::string(formatName(cfg.emImageFmtMode)).c_str(), recorder.directory().c_str());
    std::fflush(stdout);

    CaptureStats stats;
    StreamLimits limits = options.stream.limits();
    limits.seconds = options.seconds;
    limits.frames = options.seconds > 0 ? 0 : options.frames;
    std::string failure;
    try {
        streamFrames(session.handle(), limits, stats,
                     [&recorder](const FrameData& frame) { recorder.offer(frame); });
    } catch (const ToolError&) {
        recorder.finish();  // the manifest keeps what was written
        throw;
    }
    failure = recorder.finish();

    std::printf(
        "recorded %llu of %llu frame(s) in %.2f s: %.1f fps, %.1f MB/s; %llu dropped "
        "by the recorder\n",
        static_cast<unsigned long long>(recorder.written()),
        static_cast<unsigned long long>(recorder.offered()), stats.seconds(), stats.fps(),
        stats.megabytesPerSecond(), static_cast<unsigned long long>(recorder.dropped()));
    std::printf("%s; %s\n", stats.dropList().c_str(), stats.errorList().c_str());
    std::printf("manifest: %s/manifest.json\n", recorder.directory().c_str());
    if (!failure.empty()) throw ToolError("writing stopped: " + failure);
}

}  // namespace

Command addRecordCommand(CLI::App& parent) {
    auto options = std::make_shared<RecordOptions>();
    CLI::App* sub = parent.add_subcommand(
        "record",
        "Record every frame losslessly to a directory: RAW frames as DNG, MON as 8/16-bit PNG, "
        "RGB and YUV as raw bytes, JPG as received, with manifest.json listing each frame's "
        "file, number, time, size and status (docs/recording.md). Frames are written off the "
        "capture thread; when the disk falls behind, frames are dropped and counted.");
    addBoardOptions(sub, options->board);
    auto* frames = sub->add_option("-n,--frames", options->frames, "Number of frames to record");
    auto* seconds = sub->add_option("-t,--seconds", options->seconds, "Record for this long");
    frames->excludes(seconds);
    frames->check(positiveCount(std::numeric_limits<uint64_t>::max()));
    seconds->check(CLI::PositiveNumber);
    sub->add_option("-o,--output", options->output, "Directory of the recording (created)")
        ->required();
    sub->add_option("--queue", options->queueFrames,
                    "Frames the write queue holds before frames are dropped (default 16)")
        ->check(CLI::Range(size_t{1}, size_t{4096}));
    addTimeoutOption(sub, options->stream);
    sub->add_flag("--raw", options->raw,
                  "Every frame as its received bytes (.raw; JPEG as .jpg) instead of DNG/PNG");
    addQuietFlag(sub, options->stream);

    // Several boards as one rig (docs/sync.md): --serial may then be given once per board.
    auto sync = std::make_shared<SyncRecordOptions>();
    auto* syncFlag = sub->add_flag("--sync", sync->on,
                                   "Record several boards as one rig: -n counts sets, "
                                   "each board goes to DIR/<serial>/ and "
                                   "DIR/manifest.json lists the sets");
    auto* all = sub->add_flag("--all", sync->all, "With --sync: every board listed");
    auto* trigger = sub->add_option("--trigger", sync->trigger,
                                    "With --sync: soft (the tool triggers every board), external "
                                    "(one shared trigger line) or free (free-running, matched "
                                    "by time); default soft");
    auto* rate = sub->add_option("--rate", sync->rateHz,
                                 "With --sync: software triggers a second, or the rate the boards "
                                 "run at (default 30)")
                     ->check(CLI::Range(0.001, 100000.0));
    auto* tolerance = sub->add_option("--tolerance-us", sync->toleranceUs,
                                      "With --sync: how far a frame may lie from its set's "
                                      "instant, in microseconds (default: a third of the period)")
                          ->check(CLI::Range(int64_t{1}, int64_t{1000000000}));
    for (CLI::Option* o : {all, trigger, rate, tolerance}) o->needs(syncFlag);
    CLI::Option* serial = sub->get_option("--serial");
    serial->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    serial->excludes(all);
    return {sub, [options, sync, frames, seconds, syncFlag, serial] {
                if (frames->count() == 0 && seconds->count() == 0)
                    throw UsageError("give -n FRAMES or -t SECONDS");
                if (syncFlag->count() == 0) {
                    if (serial->count() > 1)
                        throw UsageError("--serial is given once per board only with --sync");
                    runRecord(*options);
                    return;
                }
                if (!sync->all && serial->count() == 0)
                    throw UsageError("--sync needs --serial S for each board, or --all");
                if (options->board.index)
                    throw UsageError("--sync takes boards by --serial, not --index");
                for (const std::string& s : serial->results()) sync->serials.push_back(s);
                sync->sets = options->frames;
                sync->seconds = options->seconds;
                sync->output = options->output;
                sync->configPath = options->board.configPath;
                sync->raw = options->raw;
                sync->queueFrames = options->queueFrames;
                sync->stream = options->stream;
                runSyncRecord(*sync);
            }};
}

}  // namespace vexo::tools
