#include "cpp/sync_group_matcher.h"

#include <algorithm>

namespace vexo::sync {

Matcher::Matcher(size_t boards, bool triggered, int64_t tolerance, int64_t wait, size_t sets)
    : boards_(boards),
      triggered_(triggered),
      tolerance_(tolerance),
      wait_(wait),
      sets_(std::max<size_t>(sets, 1)),
      board_(boards) {
    for (OpenSet& s : sets_) {
        s.slot.assign(boards, kNoSlot);
        s.times.assign(boards, 0);
        s.from.assign(boards, 0);
        s.to.assign(boards, 0);
    }
}

OpenSet* Matcher::take(int64_t instant, int64_t now) {
    if (count_ == sets_.size()) return nullptr;
    OpenSet& s = sets_[(head_ + count_) % sets_.size()];
    ++count_;
    std::fill(s.slot.begin(), s.slot.end(), kNoSlot);
    s.count = 0;
    s.instant = instant;
    s.opened = now;
    s.sequence = nextSequence_++;
    return &s;
}

bool Matcher::openTrigger(uint64_t trigger, int64_t instant) {
    OpenSet* s = take(instant, instant);
    if (!s) return false;
    s->trigger = trigger;
    std::fill(s->from.begin(), s->from.end(), instant);
    std::fill(s->to.begin(), s->to.end(), INT64_MAX);
    return true;
}

void Matcher::fired(uint64_t trigger, size_t board, int64_t from, int64_t to) {
    for (size_t k = 0; k < count_; ++k) {
        OpenSet& s = at(k);
        if (s.trigger != trigger) continue;
        s.from[board] = from;
        s.to[board] = std::max(from, to);
        return;
    }
}

int64_t Matcher::distance(const OpenSet& s, size_t board, int64_t time) const {
    const int64_t lo = triggered_ ? s.from[board] : s.instant;
    const int64_t hi = triggered_ ? s.to[board] : s.instant;
    return time < lo ? lo - time : time > hi ? time - hi : 0;
}

bool Matcher::add(size_t board, int64_t time, int32_t slot, int64_t now, int64_t* sent) {
    Board& b = board_[board];
    b.last = std::max(b.last, time);
    // The nearest open set within the tolerance that can take the board's frame.
    OpenSet* best = nullptr;
    int64_t bestDistance = 0;
    for (size_t k = 0; k < count_; ++k) {
        OpenSet& s = at(k);
        if (s.sequence <= b.lastSet || s.opened < b.joined || s.slot[board] != kNoSlot) continue;
        const int64_t d = distance(s, board, time);
        if (d <= tolerance_ && (!best || d < bestDistance)) {
            best = &s;
            bestDistance = d;
        }
    }
    // A frame no open set takes, within the tolerance of a set handed out (or older), belongs
    // to an instant gone by.
    const bool gone = emitted_ != INT64_MIN && time <= emitted_ + tolerance_;
    if (!best && !triggered_ && !gone) {
        best = take(time, now);
        if (best) best->trigger = best->sequence - 1;
    }
    if (!best) return false;
    best->slot[board] = slot;
    best->times[board] = time;
    ++best->count;
    if (!triggered_) {
        int64_t sum = 0;
        for (size_t i = 0; i < boards_; ++i)
            if (best->slot[i] != kNoSlot) sum += best->times[i] - time;
        best->instant = time + sum / static_cast<int64_t>(best->count);
    }
    b.lastSet = best->sequence;
    if (sent && triggered_) {
        const int64_t from = best->from[board], to = best->to[board];
        *sent = to == INT64_MAX ? from : from + (to - from) / 2;
    }
    return true;
}

void Matcher::away(size_t board) {
    board_[board].present = false;
}

void Matcher::back(size_t board, int64_t now) {
    board_[board].present = true;
    board_[board].joined = now;
}

bool Matcher::due(const OpenSet& s, int64_t now) const {
    if (s.count == boards_) return true;
    for (size_t i = 0; i < boards_; ++i) {
        if (s.slot[i] != kNoSlot) continue;
        const Board& b = board_[i];
        const bool waitedOut = now - s.opened > wait_;
        const int64_t end = triggered_ ? s.to[i] : s.instant;
        const bool passed =
            b.lastSet > s.sequence || (end < INT64_MAX - tolerance_ && b.last > end + tolerance_);
        if (b.present && b.joined <= s.opened && !passed && !waitedOut) return false;
    }
    return true;
}

}  // namespace vexo::sync
