// vexo record --sync: the boards of a rig opened as a sync group (vexo/sync_group.hpp), each
// board's frames recorded to DIR/<serial>/ as vexo record writes them, and the sets listed in
// DIR/manifest.json (vexo/sync_recorder.hpp).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vexo/board_session.hpp>
#include <vexo/frame_converter.hpp>
#include <vexo/sync_group.hpp>
#include <vexo/sync_recorder.hpp>
#include <vexo/vexo.hpp>

#include "cli/sync_record.h"
#include "cli/tool_error.h"

namespace vexo::tools {

namespace {

SyncTrigger triggerOf(const std::string& name) {
    for (SyncTrigger t : {SyncTrigger::Software, SyncTrigger::External, SyncTrigger::FreeRun})
        if (name == syncTriggerName(t)) return t;
    throw UsageError("--trigger: expected soft, external or free, not \"" + name + "\"");
}

}  // namespace

void runSyncRecord(const SyncRecordOptions& options) {
    BoardOptions boardOptions;
    boardOptions.configPath = options.configPath;
    const CameraFile file = loadConfig(boardOptions);
    const std::vector<BoardEntry> listed = scanBoards(true);

    SyncOptions sync;
    sync.trigger = triggerOf(options.trigger);
    sync.rateHz = options.rateHz;
    sync.toleranceUs = options.toleranceUs;
    if (options.toleranceUs > 0 && options.toleranceUs * 2e-6 * options.rateHz >= 1)
        throw UsageError("--tolerance-us must be less than half the period (1 / --rate)");
    sync.config = file.config;
    sync.setup = [&file](CameraHandle handle) {
        StartupFailure failure;
        if (!runStartup(handle, file, failure)) throw Error(failure.status, failure.step);
    };
    SyncRecordingHeader header;
    for (const BoardEntry& entry : listed) {
        const bool wanted = options.all || std::find(options.serials.begin(), options.serials.end(),
                                                     entry.serial) != options.serials.end();
        if (!wanted || entry.serial.empty() ||
            std::find(header.serials.begin(), header.serials.end(), entry.serial) !=
                header.serials.end())
            continue;
        header.serials.push_back(entry.serial);
        header.indices.push_back(entry.index);
    }
    for (const std::string& serial : options.serials)
        if (std::find(header.serials.begin(), header.serials.end(), serial) == header.serials.end())
            throw ToolError("no board with serial \"" + serial + "\" (see vexo scan)");
    if (header.serials.empty()) throw ToolError("no board with a serial text to record");
    sync.serials = header.serials;
    // A set per software trigger: exactly the sets asked for.
    if (sync.trigger == SyncTrigger::Software && options.seconds <= 0) sync.triggers = options.sets;

    std::optional<SyncGroup> group;
    try {
        group.emplace(sync);
    } catch (const Error& error) {
        throw ToolError(error.what());
    }
    header.trigger = sync.trigger;
    header.rateHz = sync.rateHz;
    header.toleranceUs = group->toleranceUs();
    header.configSource = file.source;
    header.layout = frameFormatOf(file.config, file.bayer);
    RecorderOptions recorderOptions;
    recorderOptions.queueFrames = options.queueFrames;
    recorderOptions.rawFiles = options.raw;
    SyncRecorder recorder(options.output, header, recorderOptions);

    std::printf("recording %zu boards (%s trigger, %g/s, tolerance %lld us) to %s/\n",
                header.serials.size(), syncTriggerName(sync.trigger), sync.rateHz,
                static_cast<long long>(header.toleranceUs), recorder.directory().c_str());
    std::fflush(stdout);
    try {
        group->start();
    } catch (const Error& error) {
        recorder.finish(group->stats());
        throw ToolError(error.what());
    }
    const auto start = std::chrono::steady_clock::now();
    const auto wait = std::chrono::milliseconds(options.stream.timeoutMs);
    std::string failure;
    while (options.seconds > 0 || recorder.sets() < options.sets) {
        if (options.seconds > 0 && std::chrono::steady_clock::now() - start >=
                                       std::chrono::duration<double>(options.seconds))
            break;
        std::optional<SyncSet> set = group->next(wait);
        if (!set) {
            if (group->done()) break;
            failure = "no set within " + std::to_string(options.stream.timeoutMs) + " ms";
            break;
        }
        if (!recorder.record(*set)) {
            failure = recorder.directory() + "/manifest.json: cannot write";
            break;
        }
        if (!options.stream.quiet && recorder.sets() % 30 == 0) {
            std::fprintf(stderr, "\r%llu sets", static_cast<unsigned long long>(recorder.sets()));
            std::fflush(stderr);
        }
    }
    group->stop();
    // For a time, the instants caught before the stop are recorded too; a count is exact.
    while (options.seconds > 0 && failure.empty())
        if (std::optional<SyncSet> set = group->next(std::chrono::milliseconds(0)); set)
            recorder.record(*set);
        else
            break;
    if (!options.stream.quiet) std::fprintf(stderr, "\r");
    const SyncStats stats = group->stats();
    const std::string written = recorder.finish(stats);
    if (failure.empty()) failure = written;

    std::printf(
        "recorded %llu set(s): %llu complete, %llu incomplete; %llu unmatched frame(s), "
        "%llu dropped for room\n",
        static_cast<unsigned long long>(recorder.sets()),
        static_cast<unsigned long long>(stats.complete),
        static_cast<unsigned long long>(stats.incomplete),
        static_cast<unsigned long long>(stats.unmatched),
        static_cast<unsigned long long>(stats.overflow));
    for (size_t b = 0; b < stats.boards.size(); ++b) {
        const SyncBoardStats& s = stats.boards[b];
        std::printf(
            "  %s: %llu frame(s), %llu frame error(s), %llu written, %llu dropped by the "
            "recorder, clock offset %.0f us, drift %.1f ppm%s\n",
            s.serial.c_str(), static_cast<unsigned long long>(s.frames),
            static_cast<unsigned long long>(s.frameErrors),
            static_cast<unsigned long long>(recorder.board(b).written()),
            static_cast<unsigned long long>(recorder.board(b).dropped()), s.offsetUs, s.driftPpm,
            s.reconnects ? ", reconnected" : "");
    }
    std::printf("manifest: %s/manifest.json\n", recorder.directory().c_str());
    if (!failure.empty()) throw ToolError(failure);
}

}  // namespace vexo::tools
