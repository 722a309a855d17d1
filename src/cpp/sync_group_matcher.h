// The sync group's matching of frames into sets, apart from cameras and threads: each board's
// frames come in as (board, host-aligned time, slot) in the order the board sent them, and sets
// go out oldest first. All times are 100 ns ticks.
//
// Triggered by the group (Software), a set is opened per trigger, and a frame joins the open set
// whose trigger was sent to its board nearest its time (from just before the call to its
// return), within the tolerance.
// Otherwise a frame joins the nearest open set within the tolerance that lacks the board, or
// opens a set of its own at its time; a set's instant is the mean of its frames' times.
// A board's frames come in time order, so a frame never joins a set older than the board's last.
//
// A set is due when it holds every board's frame, or when each board it lacks is away, has
// joined after the set was opened, has sent a frame later than the set's instant plus the
// tolerance, or has been silent until the set's wait ran out. Due sets leave in order: a due set
// waits for the older ones before it.
//
// The sets are a fixed pool, allocated at construction: matching allocates nothing.
//
// Threading: none of its own; the group calls it under its mutex.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vexo::sync {

inline constexpr int32_t kNoSlot = -1;

struct OpenSet {
    uint64_t trigger = 0;
    int64_t instant = 0;         // the trigger's host time, or the mean of the frames' times
    int64_t opened = 0;          // host time it was opened at
    std::vector<int32_t> slot;   // per board: its frame's slot, or kNoSlot
    std::vector<int64_t> times;  // per board: its frame's host-aligned time
    // Software trigger, per board: host times from just before its trigger was sent until the
    // call returned (open-ended while it runs); its frame is exposed in between.
    std::vector<int64_t> from, to;
    size_t count = 0;
    uint64_t sequence = 0;  // order of opening, from 1
};

class Matcher {
  public:
    /// `sets`: open sets at most; `wait`: how long a set waits for a silent board.
    Matcher(size_t boards, bool triggered, int64_t tolerance, int64_t wait, size_t sets);

    /// Opens the set of a software trigger about to be fired at host time `instant`; false when
    /// every set of the pool is open.
    bool openTrigger(uint64_t trigger, int64_t instant);
    /// Board `board` was sent trigger `trigger` between host times `from` and `to`.
    void fired(uint64_t trigger, size_t board, int64_t from, int64_t to);
    /// Places board `board`'s frame; false when it fits no set (the caller keeps the slot).
    /// Triggered, `*sent` becomes the middle of the time its trigger was sent to the board.
    bool add(size_t board, int64_t time, int32_t slot, int64_t now, int64_t* sent = nullptr);
    /// The board went away: sets do not wait for it.
    void away(size_t board);
    /// The board is back at host time `now`: it joins the sets opened from then on.
    void back(size_t board, int64_t now);

    /// Hands each due set to emit(const OpenSet&), oldest first, and takes it out; with
    /// `all`, every open set is due (the group stops).
    template <class Emit>
    void closeDue(int64_t now, bool all, Emit&& emit) {
        while (count_ > 0) {
            OpenSet& s = sets_[head_];
            if (!all && !due(s, now)) return;
            emit(static_cast<const OpenSet&>(s));
            if (s.count > 0) emitted_ = std::max(emitted_, s.instant);
            head_ = (head_ + 1) % sets_.size();
            --count_;
        }
    }

    size_t open() const { return count_; }
    size_t capacity() const { return sets_.size(); }

  private:
    bool due(const OpenSet& s, int64_t now) const;
    // How far `time` lies from the set's instant (for board `board`).
    int64_t distance(const OpenSet& s, size_t board, int64_t time) const;
    OpenSet* take(int64_t instant, int64_t now);
    OpenSet& at(size_t k) { return sets_[(head_ + k) % sets_.size()]; }

    struct Board {
        bool present = true;
        int64_t joined = INT64_MIN;  // sets opened before this do not take its frames
        int64_t last = INT64_MIN;    // host-aligned time of its last frame
        uint64_t lastSet = 0;        // sequence of the set its last frame joined (+1; 0: none)
    };

    size_t boards_;
    bool triggered_;
    int64_t tolerance_, wait_;
    std::vector<OpenSet> sets_;  // a ring: the oldest open set at head_
    size_t head_ = 0, count_ = 0;
    uint64_t nextSequence_ = 1;
    int64_t emitted_ = INT64_MIN;  // instant of the newest set handed out with a frame
    std::vector<Board> board_;
};

}  // namespace vexo::sync
