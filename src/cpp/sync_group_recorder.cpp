#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <stdexcept>
#include <vexo/camera_file.hpp>
#include <vexo/output_directory.hpp>
#include <vexo/sync_recorder.hpp>

namespace vexo {

SyncRecorder::SyncRecorder(const std::string& directory, const SyncRecordingHeader& header,
                           const RecorderOptions& options)
    : header_(header) {
    directory_ = createOutputDirectory(directory);
    for (size_t b = 0; b < header.serials.size(); ++b) {
        RecordingHeader board;
        board.boardIndex = b < header.indices.size() ? header.indices[b] : 0;
        board.serial = header.serials[b];
        board.configSource = header.configSource;
        board.layout = header.layout;
        recorders_.push_back(
            std::make_unique<Recorder>(directory_ + "/" + header.serials[b], board, options));
    }
    const std::string path = directory_ + "/manifest.json";
    manifest_ = std::fopen(path.c_str(), "w");
    if (!manifest_) throw std::runtime_error(path + ": " + std::strerror(errno));
    const FrameFormat& l = header.layout;
    std::fprintf(manifest_,
                 "{\"vexoSyncRecording\": 1, \"trigger\": \"%s\", \"rateHz\": %g, "
                 "\"toleranceUs\": %" PRId64
                 ",\n"
                 " \"configuration\": {\"source\": %s, \"width\": %u, \"height\": %u, "
                 "\"pixelBytes\": %u, \"pixelBits\": %u, \"format\": \"%s\", \"bayer\": \"%s\"},\n"
                 " \"boards\": [",
                 syncTriggerName(header.trigger), header.rateHz, header.toleranceUs,
                 jsonString(header.configSource).c_str(), l.width, l.height, l.pixelBytes,
                 l.pixelBits, std::string(formatName(l.format)).c_str(),
                 manifestBayerName(l.bayer).data());
    for (size_t b = 0; b < header.serials.size(); ++b)
        std::fprintf(manifest_, "%s{\"serial\": %s, \"index\": %u, \"directory\": %s}",
                     b ? ", " : "", jsonString(header.serials[b]).c_str(),
                     b < header.indices.size() ? header.indices[b] : 0u,
                     jsonString(header.serials[b]).c_str());
    std::fprintf(manifest_, "],\n \"sets\": [");
    entry_.reserve(4096);
}

SyncRecorder::~SyncRecorder() {
    if (!finished_) finish({});
}

bool SyncRecorder::record(const SyncSet& set) {
    if (!manifest_) return false;
    char text[512];
    entry_.clear();
    std::snprintf(text, sizeof text,
                  "%s\n  {\"index\": %" PRIu64 ", \"complete\": %s, \"skewUs\": %" PRId64
                  ", \"frames\": [",
                  sets_ ? "," : "", set.index(), set.complete() ? "true" : "false", set.skewUs());
    entry_ += text;
    bool first = true;
    for (const SyncFrame& f : set.frames()) {
        Recorder& recorder = *recorders_[f.board];
        const uint64_t number = recorder.offered();
        const bool queued = recorder.offer(f.record);
        const uint32_t size = f.record.cfg.u32Size;
        const FileKind kind = recorder.fileKind(size);
        char file[48] = "null";
        if (queued)
            std::snprintf(file, sizeof file, "\"frame_%06" PRIu64 ".%s\"", number,
                          fileExtension(kind).data());
        char offset[40] = "";
        if (queued && kind != FileKind::Png)
            std::snprintf(offset, sizeof offset, " \"offset\": %zu,", frameOffsetInFile(kind));
        std::snprintf(text, sizeof text,
                      "%s\n    {\"serial\": %s, \"file\": %s,%s \"number\": %" PRIu64
                      ", \"u64Time\": %" PRIu64 ", \"u32Size\": %u, \"status\": \"%s\"}",
                      first ? "" : ",", jsonString(header_.serials[f.board]).c_str(), file, offset,
                      number, f.record.u64Time, size, recorder.frameStatus(size).data());
        entry_ += text;
        first = false;
    }
    entry_ += "]}";
    ++sets_;
    if (set.complete()) ++complete_;
    // Flushed per set: an interrupted recording keeps every set it wrote.
    return std::fputs(entry_.c_str(), manifest_) >= 0 && std::fflush(manifest_) == 0;
}

std::string SyncRecorder::finish(const SyncStats& stats) {
    if (finished_) return {};
    finished_ = true;
    std::string failure;
    for (auto& recorder : recorders_) {
        std::string error = recorder->finish();
        if (failure.empty() && !error.empty()) failure = recorder->directory() + ": " + error;
    }
    if (!manifest_) return failure.empty() ? "manifest not open" : failure;
    std::fprintf(manifest_,
                 "\n ],\n \"complete\": %" PRIu64 ", \"incomplete\": %" PRIu64
                 ", \"unmatched\": %" PRIu64 ", \"overflow\": %" PRIu64 ",\n \"clocks\": [",
                 complete_, sets_ - complete_, stats.unmatched, stats.overflow);
    for (size_t b = 0; b < stats.boards.size(); ++b)
        std::fprintf(manifest_, "%s{\"serial\": %s, \"offsetUs\": %.1f, \"driftPpm\": %.1f}",
                     b ? ", " : "", jsonString(stats.boards[b].serial).c_str(),
                     stats.boards[b].offsetUs, stats.boards[b].driftPpm);
    std::fprintf(manifest_, "],\n \"failed\": %s}\n",
                 failure.empty() ? "null" : jsonString(failure).c_str());
    const bool ok = !std::ferror(manifest_);
    if (std::fclose(manifest_) != 0 || !ok) {
        if (failure.empty()) failure = directory_ + "/manifest.json: cannot write";
    }
    manifest_ = nullptr;
    return failure;
}

}  // namespace vexo
