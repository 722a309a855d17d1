// vexo/board_watcher.hpp — notices of boards arriving and leaving, on top of vexo.hpp.
//
// Header-only like vexo.hpp, and for the same reason it calls nothing but Vexo_scan: a board's
// arrival or removal is seen by comparing one scan with the one before, board by board by
// serial text. Every kind of board is seen the same way (real boards through libusb, virtual
// boards, boards behind the Windows driver); a notice comes at most one scan interval after
// the change. docs/hotplug.md is the guide.
//
// Threading: a BoardWatcher calls back on a thread of its own (docs/threading.md).
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>
#include <vexo/vexo.hpp>

namespace vexo {

/// A board that arrived or left.
struct BoardEvent {
    enum class Kind { Arrived, Left };
    Kind kind = Kind::Arrived;
    /// The board: for an arrival as the scan that saw it lists it, for a removal as the last
    /// scan that still listed it (its index may already belong to another board).
    BoardInfo board;
};

/// The boards as two scans differ: the boards of `after` that `before` lacks arrived, those
/// of `before` that `after` lacks left. Boards are told apart by serial text; of boards that
/// share one (or have none), as many arrived or left as their count changed by, the last ones
/// listed. A board that only moved to another index is no event.
inline std::vector<BoardEvent> boardChanges(const std::vector<BoardInfo>& before,
                                            const std::vector<BoardInfo>& after) {
    std::map<std::string, std::pair<std::vector<const BoardInfo*>, std::vector<const BoardInfo*>>>
        bySerial;
    for (const BoardInfo& board : before) bySerial[board.serial].first.push_back(&board);
    for (const BoardInfo& board : after) bySerial[board.serial].second.push_back(&board);
    std::vector<BoardEvent> events;
    for (const auto& [serial, lists] : bySerial) {
        const auto& [was, is] = lists;
        for (size_t k = is.size(); k < was.size(); ++k)
            events.push_back({BoardEvent::Kind::Left, *was[k]});
        for (size_t k = was.size(); k < is.size(); ++k)
            events.push_back({BoardEvent::Kind::Arrived, *is[k]});
    }
    // Removals first, then arrivals, each in device order: a board that left and came back
    // between two scans with the same serial is no event at all (its camera finds out by its
    // failing requests).
    std::stable_sort(events.begin(), events.end(), [](const BoardEvent& a, const BoardEvent& b) {
        if (a.kind != b.kind) return a.kind == BoardEvent::Kind::Left;
        return a.board.index < b.board.index;
    });
    return events;
}

/// Scans on request and reports what changed since the previous scan.
class BoardMonitor {
  public:
    /// With `reportPresent`, the first poll() reports the boards attached then as arrivals;
    /// without, it only takes them as the starting point.
    explicit BoardMonitor(bool reportPresent = true) : primed_(!reportPresent) {
        if (primed_) boards_ = scan();
    }

    /// Scans now and returns the changes since the last poll (removals first). Throws Error
    /// when the scan fails; the next poll compares with the last scan that worked.
    std::vector<BoardEvent> poll() {
        std::vector<BoardInfo> now = scan();
        std::vector<BoardEvent> events = boardChanges(boards_, now);
        boards_ = std::move(now);
        primed_ = true;
        return events;
    }

    /// The boards of the last scan.
    const std::vector<BoardInfo>& boards() const { return boards_; }

  private:
    bool primed_;
    std::vector<BoardInfo> boards_;
};

/// Calls back on a thread of its own for every board that arrives or leaves:
///
///     vexo::BoardWatcher watcher([](const vexo::BoardEvent& e) { ... });
///
/// The callback runs on the watcher's thread, one event at a time. It may stop() the watcher
/// but must not destroy it. An Error of a scan is skipped (the next scan tries again); an exception
/// thrown by the callback ends the process, as on any thread of its own.
class BoardWatcher {
  public:
    using Callback = std::function<void(const BoardEvent&)>;
    /// Scans per second at this interval: 4.
    static constexpr std::chrono::milliseconds kInterval{250};

    explicit BoardWatcher(Callback callback, std::chrono::milliseconds interval = kInterval,
                          bool reportPresent = true)
        : callback_(std::move(callback)),
          interval_(interval),
          monitor_(reportPresent),
          thread_([this] { run(); }) {}
    ~BoardWatcher() { stop(); }
    BoardWatcher(const BoardWatcher&) = delete;
    BoardWatcher& operator=(const BoardWatcher&) = delete;

    /// Stops the thread; no callback runs once it returns. Called by the destructor. From the
    /// watcher's own callback it only asks the thread to end, after that callback returns and
    /// without calling back for the rest of the scan's events; the destructor then waits for it.
    void stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        // A thread cannot wait for its own end.
        if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
    }

    /// Asks for a scan now instead of at the end of the interval (after a notice from
    /// elsewhere that the bus changed).
    void scanNow() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            nudged_ = true;
        }
        wake_.notify_all();
    }

  private:
    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!stopping_) {
            nudged_ = false;
            lock.unlock();
            std::vector<BoardEvent> events;
            try {
                events = monitor_.poll();
            } catch (const Error&) {
            }
            for (const BoardEvent& event : events) {
                if (stopped()) return;
                callback_(event);
            }
            lock.lock();
            wake_.wait_for(lock, interval_, [this] { return stopping_ || nudged_; });
        }
    }

    bool stopped() {
        std::lock_guard<std::mutex> lock(mutex_);
        return stopping_;
    }

    Callback callback_;
    std::chrono::milliseconds interval_;
    BoardMonitor monitor_;  // the thread's own
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    bool nudged_ = false;
    std::thread thread_;  // last: starts once everything above is made
};

}  // namespace vexo
