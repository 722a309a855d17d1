#include <vexo/camera.h>

#include <chrono>
#include <cstdio>
#include <limits>
#include <memory>

#include "cli/commands.h"
#include "cli/frame_sink.h"
#include "cli/stream_loop.h"
#include "cli/tool_error.h"

namespace vexo::tools {

namespace {

struct CaptureOptions {
    BoardOptions board;
    uint64_t frames = 0;
    double seconds = 0;
    bool single = false;
    bool trigger = false;
    std::string output = "frames";
    StreamOptions stream;
    bool eightBit = false;
    bool noIsp = false;
    bool reconnect = false;
    double reconnectWait = 10;
};

// Reconnects of one capture: each loss is told when its first frame after the return comes,
// with its length and the frames the stream's rate would have sent meanwhile.
class Reconnects {
  public:
    using Clock = std::chrono::steady_clock;

    void frame(uint64_t framesSoFar, uint64_t boardTime) {
        const Clock::time_point now = Clock::now();
        if (pending_) {
            pending_ = false;
            const double gap = std::chrono::duration<double>(now - last_).count();
            const double back = std::chrono::duration<double>(now - back_).count();
            // On the board's time stamps when the frames carry them: the sensor's rate,
            // however fast the frames are written.
            const double periods = boardInterval_ > 0 && boardTime > lastTime_
                                       ? static_cast<double>(boardTime - lastTime_) / boardInterval_
                                   : interval_ > 0 ? gap / interval_
                                                   : 0;
            const uint64_t lost = periods >= 1.5 ? static_cast<uint64_t>(periods + 0.5) - 1 : 0;
            std::printf(
                "reconnect %llu: gap of %.0f ms before frame %llu, about %llu frame(s) "
                "lost; first frame %.0f ms after the board returned\n",
                static_cast<unsigned long long>(count_), gap * 1000,
                static_cast<unsigned long long>(framesSoFar), static_cast<unsigned long long>(lost),
                back * 1000);
            std::fflush(stdout);
            appearanceFrames_ = 0;
        }
        if (appearanceFrames_++ == 0) {
            first_ = now;
            firstTime_ = boardTime;
        }
        last_ = now;
        lastTime_ = boardTime;
    }
    void lost(Clock::time_point back) {
        interval_ = appearanceFrames_ >= 2 ? std::chrono::duration<double>(last_ - first_).count() /
                                                 static_cast<double>(appearanceFrames_ - 1)
                                           : 0;
        boardInterval_ = appearanceFrames_ >= 2 && lastTime_ > firstTime_
                             ? static_cast<double>(lastTime_ - firstTime_) /
                                   static_cast<double>(appearanceFrames_ - 1)
                             : 0;
        if (appearanceFrames_ == 0) last_ = Clock::now();
        back_ = back;
        pending_ = true;
        ++count_;
    }
    uint64_t count() const { return count_; }

  private:
    uint64_t count_ = 0;
    uint64_t appearanceFrames_ = 0;
    Clock::time_point first_, last_, back_;
    uint64_t firstTime_ = 0, lastTime_ = 0;  // board time stamps, 100 ns units
    double interval_ = 0, boardInterval_ = 0;
    bool pending_ = false;
};

std::string describeConfig(const CameraConfig& cfg, RawMode bayer) {
    char text[128];
    std::snprintf(text, sizeof(text), "%ux%u %s, %u byte(s) %u bits per pixel", cfg.u32Width,
                  cfg.u32Height, std::string(formatName(cfg.emImageFmtMode)).c_str(),
                  cfg.u8PixelBytes, cfg.u8PixelBits);
    std::string s = text;
    if (cfg.emImageFmtMode == FORMAT_MODE_RAW || cfg.emImageFmtMode == FORMAT_MODE_RAW_D)
        s += ", Bayer " + std::string(bayerName(bayer));
    return s;
}

// Takes one frame through the board's trigger input: external-trigger mode, a software
// trigger, and the capture loop until the frame arrives. Only boards with trigger support
// (USB 2 boards with a recent board controller) accept the mode.
void triggeredFrame(CameraHandle handle, const CaptureOptions& options, FrameSink& sink,
                    CaptureStats& stats) {
    const uint32_t mode = Vexo_setMode(handle, EXTERNAL_TRIGGER_MODE);
    if (mode != USB_CAMERA_NO_ERROR) {
        Vexo_setMode(handle, CONTINUOUS_MODE);
        throw ToolError(describeStatus("the board cannot be triggered", mode));
    }
    struct ModeGuard {
        CameraHandle h;
        ~ModeGuard() { Vexo_setMode(h, CONTINUOUS_MODE); }
    } modeGuard{handle};

    // The trigger is fired only once the reads are queued, so the frame cannot be missed.
    const uint32_t begun = Vexo_beginCaptureImage(handle);
    if (begun != USB_CAMERA_NO_ERROR)
        throw ToolError(describeStatus("cannot start the stream", begun));
    struct StreamGuard {
        CameraHandle h;
        ~StreamGuard() { Vexo_endCaptureImage(h); }
    } streamGuard{handle};
    const uint32_t fire = Vexo_softTrigger(handle);
    if (fire != USB_CAMERA_NO_ERROR)
        throw ToolError(describeStatus("software trigger failed", fire));

    stats.start();
    const auto deadline =
        CaptureStats::Clock::now() + std::chrono::milliseconds(options.stream.timeoutMs);
    while (sink.written() == 0) {
        stats.addCaptureResult(Vexo_captureImage(handle));
        FrameData* frame = nullptr;
        if (Vexo_readImage(handle, &frame) == USB_CAMERA_NO_ERROR && frame) {
            stats.addFrame(frame->cfg.u32Size);
            sink.write(*frame);
            Vexo_del(handle);
        } else if (CaptureStats::Clock::now() > deadline) {
            throw ToolError("no triggered frame within " +
                            std::to_string(options.stream.timeoutMs) + " ms (" + stats.errorList() +
                            ")");
        }
    }
}

void singleFrame(CameraHandle handle, const CaptureOptions& options, FrameSink& sink,
                 CaptureStats& stats) {
    stats.start();
    FrameData* frame = nullptr;
    const uint32_t status = Vexo_getSingleFrame(handle, &frame, options.stream.timeoutMs);
    if (status != USB_CAMERA_NO_ERROR || !frame)
        throw ToolError(describeStatus("no single frame", status));
    stats.addFrame(frame->cfg.u32Size);
    sink.write(*frame);
    Vexo_del(handle);
}

void runCapture(const CaptureOptions& options) {
    const CameraFile file = loadConfig(options.board);
    // The ISP renders RAW and MON frames when the file describes the sensor's colour.
    const ColourSettings* colour = file.colour && !options.noIsp ? &*file.colour : nullptr;
    FrameSink sink(options.output, file.config, file.bayer, options.eightBit, colour);
    BoardSession session(options.board, file);
    session.applyStartup(file);

    std::printf("board %u (%s): %s\n", session.board().index, session.board().serial.c_str(),
                describeConfig(session.config(), file.bayer).c_str());
    std::fflush(stdout);

    if (options.reconnect && session.board().serial.empty())
        throw ToolError("--reconnect: the board has no serial text to find it again by");

    CaptureStats stats;
    Reconnects reconnects;
    // The summary and the images written so far are told on failure too: a board that went
    // away leaves good images behind.
    auto summary = [&] {
        const double seconds = stats.seconds();
        std::printf("captured %u frame(s) in %.2f s: %.1f fps, %.1f MB/s\n", sink.written(),
                    seconds, stats.fps(), stats.megabytesPerSecond());
        std::printf("%s; %s", stats.dropList().c_str(), stats.errorList().c_str());
        if (options.reconnect)
            std::printf("; reconnects: %llu", static_cast<unsigned long long>(reconnects.count()));
        std::printf("\n");
        if (sink.written() == 1)
            std::printf("image: %s/%s\n", sink.directory().c_str(), sink.fileName(0).c_str());
        else if (sink.written() > 1)
            std::printf("images: %s/ (%s .. %s)\n", sink.directory().c_str(),
                        sink.fileName(0).c_str(), sink.fileName(sink.written() - 1).c_str());
    };
    try {
        if (options.single) {
            singleFrame(session.handle(), options, sink, stats);
        } else if (options.trigger) {
            triggeredFrame(session.handle(), options, sink, stats);
        } else {
            StreamLimits limits = options.stream.limits();
            limits.seconds = options.seconds;
            limits.frames = options.seconds > 0 ? 0 : (options.frames ? options.frames : 10);
            if (options.reconnect)
                limits.reconnect = [&] {
                    const auto wait = std::chrono::milliseconds(
                        static_cast<int64_t>(options.reconnectWait * 1000));
                    std::printf("board %s went away; waiting up to %.1f s for it\n",
                                session.board().serial.c_str(), options.reconnectWait);
                    std::fflush(stdout);
                    reconnects.lost(session.reopen(file, wait));
                    return session.handle();
                };
            streamFrames(session.handle(), limits, stats, [&](const FrameData& frame) {
                if (options.reconnect) reconnects.frame(stats.frames(), frame.u64Time);
                sink.write(frame);
            });
        }
    } catch (const ToolError&) {
        if (stats.frames() > 0) summary();
        throw;
    }
    summary();
}

}  // namespace

Command addCaptureCommand(CLI::App& parent) {
    auto options = std::make_shared<CaptureOptions>();
    CLI::App* sub = parent.add_subcommand(
        "capture",
        "Open a board with a camera configuration, write its start-up registers and board "
        "commands, capture frames and write them as images: PNG for RAW (debayered; 16-bit for "
        "2-byte pixels; through the ISP when the file has a [colour] section), MON (8 or 16-bit), "
        "RGB "
        "and YUV frames, the JPEG as received for JPG frames. Prints a progress line and a "
        "summary (frames, fps, MB/s, drops and errors by status name).");
    addBoardOptions(sub, options->board);
    auto* frames =
        sub->add_option("-n,--frames", options->frames, "Number of frames to capture (default 10)");
    auto* seconds = sub->add_option("-t,--seconds", options->seconds,
                                    "Capture every frame for this many seconds instead");
    auto* single =
        sub->add_flag("--single", options->single, "Capture one frame with Vexo_getSingleFrame");
    auto* trigger =
        sub->add_flag("--trigger", options->trigger,
                      "Capture one frame by software trigger (boards with trigger support only)");
    frames->excludes(seconds, single, trigger);
    seconds->excludes(single, trigger);
    single->excludes(trigger);
    /* 0 frames used to fall back to the default of 10 without a word. */
    frames->check(positiveCount(std::numeric_limits<uint64_t>::max()));
    seconds->check(CLI::PositiveNumber);
    sub->add_option("-o,--output", options->output,
                    "Directory for the images, created when missing (default ./frames)");
    addTimeoutOption(sub, options->stream);
    addQuietFlag(sub, options->stream);
    sub->add_flag("--8bit", options->eightBit,
                  "RAW frames with 2-byte pixels as 8-bit RGB PNGs (default: 16-bit, every "
                  "significant bit kept)");
    sub->add_flag("--no-isp", options->noIsp,
                  "Write RAW and MON frames as without a [colour] section: plain bilinear "
                  "debayer, no black level, white balance, colour matrix or curve");
    auto* reconnect = sub->add_flag(
        "--reconnect", options->reconnect,
        "When the board goes away, wait for a board with the same serial, reopen it with the "
        "same configuration and start-up, and go on; each gap is reported and the summary "
        "gains 'reconnects: N'");
    sub->add_option("--reconnect-wait", options->reconnectWait,
                    "Seconds to wait for the board to return (default 10)")
        ->check(CLI::PositiveNumber)
        ->needs(reconnect);
    reconnect->excludes(single, trigger);
    return {sub, [options] { runCapture(*options); }};
}

}  // namespace vexo::tools
