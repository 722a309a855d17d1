// vexo/sync_group.hpp — several boards as one rig: opened together, started together,
// triggered together, and their frames matched into sets, one set per instant.
//
// Three ways to run the rig (SyncTrigger):
//   Software  the group fires a software trigger to every board, `rateHz` times a second; a
//             set is one trigger, and each board's frame goes to the trigger its time stamp
//             lies nearest to (after the board's clock offset is taken out).
//   External  the boards' external-trigger inputs are fed by one line the group does not see;
//             frames whose host-aligned times lie within the tolerance form a set.
//   FreeRun   the boards run on their own clocks; matched by host-aligned time within the
//             tolerance, as External.
// Host-aligned time: a frame's board time stamp less the board's offset, estimated from the
// frames' time stamps against the host time they arrived at (the least-delayed arrival of the
// last 64 frames); each board's offset and drift are reported in SyncStats.
//
// A set that lacks a board's frame (dropped, damaged, late past the tolerance, the board away)
// is delivered marked incomplete; it is never filled with a frame of another instant. A set is
// delivered as soon as every board's frame is in, or once every missing board has sent a later
// frame, is away, or has been silent for three periods and 50 ms.
//
// Memory is bounded: each board has `slotsPerBoard` frame slots, allocated at start(), and a
// frame occupies one from its arrival until its set is released (the SyncSet destroyed) or it is
// found unmatched. When a board has no free slot, its frame is dropped and counted
// (SyncStats::overflow): a board that stops, or a reader that falls behind, never makes frames
// pile up. The group holds at most boards x slotsPerBoard x slotBytes bytes of frames.
//
// Reconnect: with `reconnect`, a board that goes away is waited for (by serial), reopened with
// the same configuration and setup, and rejoins at a set boundary: sets begun before it came
// back are complete without it. Meanwhile the other boards go on and their sets are incomplete.
//
// Threading: the group starts one capture thread per board, and a trigger thread in Software
// mode. next(), stop() and stats() may be called from any thread; a SyncSet may be released on
// any thread. Calls on the cameras go through the group alone while it runs.
#pragma once

#include <vexo/camera.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>
#include <vexo/cpp_export.hpp>

namespace vexo {

/// How the boards of a group are triggered.
enum class SyncTrigger : uint8_t { Software, External, FreeRun };

/// "soft", "external", "free".
VEXO_CPP_API const char* syncTriggerName(SyncTrigger trigger);

struct SyncOptions {
    /// The boards, by serial text, in the order sets list them; empty: every board listed.
    std::vector<std::string> serials;
    SyncTrigger trigger = SyncTrigger::Software;
    /// Software: triggers a second. External and FreeRun: the rate the boards run at, which
    /// sets the default tolerance and how long a set waits for a silent board.
    double rateHz = 30;
    /// Software: triggers to fire; 0 = until stop(). After the last one's set is delivered,
    /// next() reports the end.
    uint64_t triggers = 0;
    /// Largest distance of a frame's host-aligned time from its set's instant, in
    /// microseconds; 0: a third of the period (1 / rateHz).
    int64_t toleranceUs = 0;
    CameraConfig config{};  ///< every board's configuration (u32Size is ignored)
    /// Runs after each open (and reopen) of a board, before its trigger mode is set: the
    /// start-up registers of a configuration file, for instance. Throw to refuse the board.
    std::function<void(CameraHandle handle)> setup;
    bool reconnect = true;                          ///< follow boards that go away
    std::chrono::milliseconds reconnectWait{5000};  ///< per attempt, then try again
    size_t slotsPerBoard = 8;                       ///< frames held per board (>= 2)
    size_t slotBytes = 0;  ///< largest frame kept; 0: the frame layout's slot size
};

/// One board's frame in a set.
struct SyncFrame {
    size_t board = 0;                ///< position in SyncGroup::serials()
    std::span<const uint8_t> bytes;  ///< the frame, valid while the set lives
    uint64_t time = 0;               ///< board time stamp (100 ns since 1601), as received
    int64_t alignedTime = 0;         ///< host-aligned time (100 ns since 1601)
    int64_t arrivalTime = 0;         ///< host time the group received it (100 ns since 1601)
    uint64_t number = 0;             ///< frames the board delivered to the group before it
    FrameData record{};              ///< the frame's record, imageData pointing at bytes
};

class SyncGroup;
struct SyncState;

/// One instant of the rig. Move-only; destroying it gives its frames' slots back.
class VEXO_CPP_API SyncSet {
  public:
    SyncSet() = default;
    ~SyncSet();
    SyncSet(SyncSet&& other) noexcept;
    SyncSet& operator=(SyncSet&& other) noexcept;
    SyncSet(const SyncSet&) = delete;
    SyncSet& operator=(const SyncSet&) = delete;

    uint64_t index() const { return index_; }  ///< 0, 1, ... in delivery order
    /// Software: the trigger the set answers (equal to index()); else the index.
    uint64_t trigger() const { return trigger_; }
    bool complete() const { return complete_; }
    /// Largest difference between the host-aligned times of its frames, in microseconds.
    int64_t skewUs() const { return skewUs_; }
    /// Board `board`'s frame, or null when the set lacks it.
    const SyncFrame* frame(size_t board) const;
    /// Its frames, in board order (boards it lacks are left out).
    std::span<const SyncFrame> frames() const { return {frames_.data(), frames_.size()}; }

  private:
    friend class SyncGroup;
    friend struct SyncState;
    void release() noexcept;

    std::shared_ptr<SyncState> state_;
    std::vector<SyncFrame> frames_;  // reused: lent by the group's pool of sets
    std::vector<uint32_t> slots_;    // the board slot of each frame
    size_t record_ = 0;
    uint64_t index_ = 0, trigger_ = 0;
    bool complete_ = false;
    int64_t skewUs_ = 0;
};

/// One board's share of the rig as the group saw it.
struct SyncBoardStats {
    std::string serial;
    uint64_t frames = 0;       ///< frames received
    uint64_t frameErrors = 0;  ///< frames the library dropped (damaged, wrong length)
    uint64_t reconnects = 0;   ///< times it came back
    bool present = true;       ///< false while away
    double offsetUs = 0;       ///< board clock less host time at the least-delayed arrival
    double driftPpm = 0;       ///< how fast that offset moves, over the last few seconds
};

struct SyncStats {
    uint64_t complete = 0;      ///< sets delivered with every board's frame
    uint64_t incomplete = 0;    ///< sets delivered lacking one or more
    uint64_t unmatched = 0;     ///< frames that fit no set (their instant was delivered, or none)
    uint64_t overflow = 0;      ///< frames dropped for want of a free slot
    uint64_t triggers = 0;      ///< software triggers fired
    size_t framesHeld = 0;      ///< frames in slots now
    size_t framesHeldMost = 0;  ///< the most held at once
    size_t slotLimit = 0;       ///< boards x slotsPerBoard
    /// Time spent placing frames into sets and handing sets out (the matching), in seconds.
    double matchSeconds = 0;
    std::vector<SyncBoardStats> boards;
};

class VEXO_CPP_API SyncGroup {
  public:
    /// Opens the boards (all of them listed, or those of options.serials) with the
    /// configuration and setup, sets their trigger mode and allocates the slots; throws
    /// vexo::Error (vexo.hpp) when a board is missing or refuses.
    explicit SyncGroup(const SyncOptions& options);
    ~SyncGroup();
    SyncGroup(const SyncGroup&) = delete;
    SyncGroup& operator=(const SyncGroup&) = delete;

    /// The boards, in set order.
    const std::vector<std::string>& serials() const;
    /// The tolerance in force, in microseconds.
    int64_t toleranceUs() const;

    /// Starts every board's stream, then the triggers. Once.
    void start();
    /// The next set, waiting up to `timeout`; none on time-out or at the end (see done()).
    std::optional<SyncSet> next(std::chrono::milliseconds timeout);
    /// True once every set there will be has been handed out: the software triggers are all
    /// answered and delivered, or stop() was called and the sets held were handed out.
    bool done() const;
    /// Ends triggers and captures; sets already complete stay available to next(). Idempotent.
    void stop();

    SyncStats stats() const;

  private:
    std::shared_ptr<SyncState> state_;
};

}  // namespace vexo
