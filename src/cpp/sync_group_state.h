// The inside of a sync group (vexo/sync_group.hpp): its boards and their slots, the matcher, the
// sets handed out, and the threads that feed them.
//
// Locks: `mutex` guards everything shared between the threads except a board's handle, which
// its `handleLock` guards (the board's capture thread swaps it when the board comes back; the
// trigger thread fires through it). A thread holding `mutex` never takes a handleLock, and
// no library call is made under `mutex`.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <string>
#include <thread>
#include <vector>
#include <vexo/sync_group.hpp>

#include "common/mutex.h"
#include "cpp/sync_group_matcher.h"

namespace vexo {

namespace sync {

/// A board's clock offset against the host: the largest (board time - arrival time) of its
/// last frames, i.e. the offset at the least-delayed arrival; its drift from how that moves.
class OffsetEstimate {
  public:
    static constexpr size_t kWindow = 64;
    void add(int64_t sample, int64_t arrival);
    void reset() { *this = OffsetEstimate(); }
    int64_t offset() const { return offset_; }
    /// True once enough frames came for offset() to stand for the board.
    bool settled() const { return count_ >= 8; }
    double driftPpm() const { return driftPpm_; }

    /// Software trigger: (board time - host time its trigger was sent) of a matched frame.
    /// Their median is the offset without the host's delivery delay in it.
    void addMatched(int64_t sample);
    bool matchedSettled() const { return matchedCount_ >= 8; }
    int64_t matchedOffset() const { return matchedOffset_; }

  private:
    std::array<int64_t, kWindow> matched_{}, sorted_{};
    size_t matchedCount_ = 0, matchedNext_ = 0;
    int64_t matchedOffset_ = 0;
    std::array<int64_t, kWindow> samples_{};
    size_t count_ = 0, next_ = 0;
    int64_t offset_ = 0;
    // The offset at the end of the previous full window, and when that was.
    bool haveBlock_ = false;
    int64_t blockOffset_ = 0, blockAt_ = 0;
    double driftPpm_ = 0;
};

/// Host time now as the boards' clocks count it: 100 ns units since 1601-01-01 UTC.
int64_t hostNow();

}  // namespace sync

struct SyncState {
    struct Board {
        std::string serial;
        Mutex handleLock;
        CameraHandle handle VEXO_GUARDED_BY(handleLock) = nullptr;
        // Frame slots: a free slot is the board thread's alone until it is handed to the
        // matcher; then it is read-only until its set is released.
        std::vector<std::unique_ptr<uint8_t[]>> bytes;
        std::vector<SyncFrame> frames;
        std::thread thread;
    };

    explicit SyncState(const SyncOptions& options);

    // Threads.
    void runBoard(size_t board);
    void runTriggers();

    // Board handling (board thread; or the constructor before any thread runs).
    CameraHandle openBoard(size_t board, unsigned index);
    bool reopen(size_t board);
    void closeBoard(size_t board);
    void drain(size_t board, CameraHandle handle, int64_t arrival);
    void offer(size_t board, const FrameData& frame, int64_t arrival);

    // Under `mutex`.
    void closeDue(int64_t now, bool all) VEXO_REQUIRES(mutex);
    int64_t offsetFor(size_t board) const VEXO_REQUIRES(mutex);
    int64_t settledOffset(size_t board) const VEXO_REQUIRES(mutex);
    void release(SyncSet& set);

    const SyncOptions options;
    int64_t tolerance = 0;  // 100 ns ticks
    int64_t wait = 0;
    size_t slotBytes = 0;
    std::vector<std::string> serials;  // set before any thread runs
    std::vector<std::unique_ptr<Board>> boards;
    std::atomic<bool> stopping{false};
    std::thread triggerThread;

    mutable Mutex mutex;
    std::condition_variable changed;  // a set is ready, a slot or set came free, a frame came
    sync::Matcher matcher VEXO_GUARDED_BY(mutex);
    std::vector<std::vector<uint32_t>> freeSlots VEXO_GUARDED_BY(mutex);
    std::vector<sync::OffsetEstimate> estimates VEXO_GUARDED_BY(mutex);
    // Sets: a pool of records; those handed out are moved into the caller's SyncSet.
    std::vector<SyncSet> pool VEXO_GUARDED_BY(mutex);
    std::vector<size_t> freeSets VEXO_GUARDED_BY(mutex);
    std::vector<size_t> ready VEXO_GUARDED_BY(mutex);  // ring of pool records
    size_t readyHead VEXO_GUARDED_BY(mutex) = 0, readyCount VEXO_GUARDED_BY(mutex) = 0;
    uint64_t delivered VEXO_GUARDED_BY(mutex) = 0;
    SyncStats stats VEXO_GUARDED_BY(mutex);
    bool started VEXO_GUARDED_BY(mutex) = false;
    bool triggersDone VEXO_GUARDED_BY(mutex) = false;
    bool captureEnded VEXO_GUARDED_BY(mutex) = false;
};

}  // namespace vexo
