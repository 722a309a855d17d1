// vexo preview --sync: several boards as one rig. A SyncGroup matches the boards' frames into
// sets; this thread converts each set's frames and lays them side by side, left to right in the
// group's board order, into one picture, which it compresses and publishes to the clients as a
// single board's frame. A board missing from a set shows dark grey in its place. Each picture
// carries its set's skew and completeness; the group's counters are read from stats().
//
// Threading: start() and stop() from one controlling thread; stats() from any.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>
#include <vexo/board_session.hpp>
#include <vexo/frame_converter.hpp>
#include <vexo/sync_group.hpp>

#include "preview/frame_encoder.h"
#include "preview/frame_hub.h"

namespace vexo::tools::preview {

/// What `vexo preview --sync` takes from its command line.
struct SyncPreviewOptions {
    std::vector<std::string> serials;  ///< the boards, left to right; empty with `all`
    bool all = false;                  ///< every board with a serial text, in scan order
    std::string trigger = "soft";      ///< soft, external or free
    double rateHz = 30;
    int64_t toleranceUs = 0;  ///< 0: a third of the period
};

class SyncComposer {
  public:
    /// Opens the boards with `file`'s configuration and start-up; throws SessionError when a
    /// board is missing, refuses, or streams JPEG (which is not composed).
    SyncComposer(const SyncPreviewOptions& options, const CameraFile& file, FrameHub& hub);
    ~SyncComposer();
    SyncComposer(const SyncComposer&) = delete;
    SyncComposer& operator=(const SyncComposer&) = delete;

    void start();
    void stop();

    const std::vector<std::string>& serials() const { return group_->serials(); }
    int64_t toleranceUs() const { return group_->toleranceUs(); }
    SyncTrigger trigger() const { return trigger_; }
    double rateHz() const { return rateHz_; }
    SyncStats stats() const { return group_->stats(); }
    /// Sets composed and published so far.
    uint64_t published() const { return published_.load(std::memory_order_relaxed); }
    const CameraFile& file() const { return file_; }

  private:
    void run();
    void compose(const SyncSet& set);

    CameraFile file_;
    FrameHub& hub_;
    SyncTrigger trigger_ = SyncTrigger::Software;
    double rateHz_ = 30;
    std::optional<SyncGroup> group_;
    FrameFormat format_{};
    std::optional<FrameConverter> converter_;
    std::vector<uint8_t> wide_;  // the boards side by side, 8-bit RGB, sized once
    JpegWriter writer_;
    std::atomic<bool> stopping_{false};
    std::atomic<uint64_t> published_{0};
    std::thread thread_;
};

}  // namespace vexo::tools::preview
