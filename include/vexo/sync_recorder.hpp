// Recording a sync group's sets: every board's frames go to DIR/<serial>/ as `vexo record`
// writes them (frame files and that board's manifest.json, recorder.hpp), and DIR/manifest.json
// lists the sets:
//
//   {"vexoSyncRecording": 1, "trigger": "soft", "rateHz": 30, "toleranceUs": 11111,
//    "configuration": {"source": "cam.cfg", "width": 640, ...},
//    "boards": [{"serial": "LEFT", "index": 0, "directory": "LEFT"}, ...],
//    "sets": [
//      {"index": 0, "complete": true, "skewUs": 120, "frames": [
//        {"serial": "LEFT", "file": "frame_000000.dng", "offset": 8, "number": 0,
//         "u64Time": 1339..., "u32Size": 307200, "status": "whole"}, ...]},
//      ...],
//    "complete": 99, "incomplete": 1, "unmatched": 0, "overflow": 0,
//    (the sets recorded, complete or not; the group's frames that fit no set, or no slot)
//    "clocks": [{"serial": "LEFT", "offsetUs": -812.4, "driftPpm": 3.1}, ...],
//    "failed": null}
//
// A set lists one entry per board present in it, with the fields of that board's manifest
// entry for the frame; its file lies in DIR/<serial>/. A frame its board's recorder had to drop
// (the disk fell behind) has "file": null. Frames that fit no set are not recorded. Sets are
// written as they come and flushed, so an interrupted recording keeps them.
//
// Threading: one thread.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>
#include <vexo/cpp_export.hpp>
#include <vexo/recorder.hpp>
#include <vexo/sync_group.hpp>

namespace vexo {

struct SyncRecordingHeader {
    SyncTrigger trigger = SyncTrigger::Software;
    double rateHz = 0;
    int64_t toleranceUs = 0;
    std::string configSource;
    FrameFormat layout;
    /// The boards in set order, with their device indices.
    std::vector<std::string> serials;
    std::vector<unsigned> indices;
};

class VEXO_CPP_API SyncRecorder {
  public:
    /// Creates DIR, a recording per board in DIR/<serial>/ and DIR/manifest.json; throws
    /// std::runtime_error when it cannot.
    SyncRecorder(const std::string& directory, const SyncRecordingHeader& header,
                 const RecorderOptions& options = {});
    ~SyncRecorder();
    SyncRecorder(const SyncRecorder&) = delete;
    SyncRecorder& operator=(const SyncRecorder&) = delete;

    /// Queues the set's frames to their boards' recorders and writes the set's entry; false
    /// when the manifest cannot be written.
    bool record(const SyncSet& set);
    /// Finishes every board's recording and closes the manifest with the group's counts.
    /// Returns the first error that stopped writing, empty on success.
    std::string finish(const SyncStats& stats);

    const Recorder& board(size_t i) const { return *recorders_[i]; }
    const std::string& directory() const { return directory_; }
    uint64_t sets() const { return sets_; }
    uint64_t completeSets() const { return complete_; }

  private:
    std::string directory_;
    SyncRecordingHeader header_;
    std::vector<std::unique_ptr<Recorder>> recorders_;
    FILE* manifest_ = nullptr;
    std::string entry_;  // one set's text, reused
    uint64_t sets_ = 0, complete_ = 0;
    bool finished_ = false;
};

}  // namespace vexo
