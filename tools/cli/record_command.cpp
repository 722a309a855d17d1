// vexo record: every frame of a stream, losslessly, into a directory of standard files and a
// manifest (tools/record). Frames are written off the capture thread; when the disk cannot
// keep up, frames are dropped and counted, never the capture held up.
#include <vexo/camera.h>

#include <cstdio>
#include <limits>
#include <memory>
#include <vexo/recorder.hpp>

#include "cli/commands.h"
#include "cli/stream_loop.h"
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
    header.layout.width = cfg.u32Width;
    header.layout.height = cfg.u32Height;
    header.layout.pixelBytes = cfg.u8PixelBytes;
    header.layout.pixelBits = cfg.u8PixelBits;
    header.layout.format = cfg.emImageFmtMode;
    header.layout.bayer = file.bayer;
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
    return {sub, [options, frames, seconds] {
                if (frames->count() == 0 && seconds->count() == 0)
                    throw UsageError("give -n FRAMES or -t SECONDS");
                runRecord(*options);
            }};
}

}  // namespace vexo::tools
