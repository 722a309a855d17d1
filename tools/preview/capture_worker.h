// The preview's capture thread: it owns the open board, runs the capture loop, copies every
// frame into the raw exchange for the encoder, and is the only thread that talks to the board.
// Requests from the page (registers, controls, trigger, another board) are queued to it and
// run between two capture calls, because the board's control requests must not overlap the
// capture loop's own.
//
// The loop never waits for the encoder or a client: a frame is copied into a buffer sized once
// (it grows only when a larger frame than ever before arrives) and the queue slot is released.
//
// Threading: start(), stop() and the accessors from any one controlling thread; call() from any
// thread.
#pragma once

#include <vexo/camera.h>
#include <vexo/controls.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>
#include <vexo/board_session.hpp>
#include <vexo/capture_stats.hpp>
#include <vexo/named_controls.hpp>

#include "common/mutex.h"
#include "preview/frame_hub.h"

namespace vexo::tools::preview {

/// The Lua script of --controls and one control record per Lua function that the camera
/// file's [controls] section calls (lua=FUNCTION), its range the field's raw range. The page's
/// controls come from the [controls] section; the script only supplies the functions.
class ControlSet {
  public:
    /// False (with "path: reason" in `error`) for an unreadable file, or a file whose
    /// [controls] section calls no Lua function.
    bool load(const std::string& path, const CameraFile& file, std::string& error);
    /// Builds the records for `text` as load() does for a file.
    bool parse(const std::string& text, const std::string& source, const CameraFile& file,
               std::string& error);
    bool empty() const { return records_.empty(); }
    const CtrlRecord* records() const { return records_.data(); }
    uint32_t count() const { return static_cast<uint32_t>(records_.size()); }

  private:
    std::string script_;
    std::vector<CtrlRecord> records_;
};

/// What the page shows about the open board.
struct BoardInfo {
    BoardEntry entry;
    CameraConfig config{};
    RawMode bayer = RAW_RG;
    bool triggerCapable = false;
    bool externalTrigger = false;
    uint32_t generation = 0;
    std::string failure;      ///< why the capture stopped; empty while it runs
    uint32_t reconnects = 0;  ///< times the board went away and was reopened
};

/// Counters as of the last copy the capture thread made (about ten times a second).
struct StatsSnapshot {
    CaptureStats stats;
    FrameMeta last;
    double recentFps = 0;   ///< frames/s over about the last second (0 while none arrive)
    double recentMbps = 0;  ///< MB/s over the same time
};

class CaptureWorker {
  public:
    /// With `reconnect`, a board that goes away is waited for by serial and reopened as it
    /// was (start-up and controls again); meanwhile BoardInfo::failure says so.
    CaptureWorker(const BoardOptions& options, CameraFile file, RawExchange& raw,
                  ControlSet* controls, bool reconnect = false);
    ~CaptureWorker();
    CaptureWorker(const CaptureWorker&) = delete;
    CaptureWorker& operator=(const CaptureWorker&) = delete;

    /// Opens the board (throws SessionError when it cannot), writes the file's start-up
    /// registers, registers the controls and starts the capture thread.
    void start();
    /// Ends the capture and closes the board; waits for the thread.
    void stop();

    /// How a request to the capture thread ended for the one who gave it.
    enum class Outcome {
        Done,     ///< it ran to its end
        NotRun,   ///< it did not start within the wait (or the worker stopped): it never runs
        Running,  ///< it started and is still running: it will end on its own
    };

    /// Runs `fn` with the open board's handle on the capture thread and waits up to `timeout`
    /// for it. A request that has not started by then is dropped; one that has started goes on
    /// after the caller stopped waiting (Running), so `fn` must own everything it writes
    /// (capture by value or a shared_ptr, never the caller's locals).
    Outcome request(std::function<void(CameraHandle)> fn, std::chrono::milliseconds timeout);
    /// Like request(), but a request that has started is waited for to its end, so `fn` may
    /// write the caller's locals. True when it ran; false when it did not start within
    /// `timeout` (it never runs then) or the worker stopped.
    bool call(std::function<void(CameraHandle)> fn, std::chrono::milliseconds timeout);
    /// Queues `fn` for the capture thread and returns at once; it runs between two captures
    /// unless the worker stops first. `fn` must own everything it touches.
    void post(std::function<void(CameraHandle)> fn);
    /// Closes the board and opens board `index` with the same configuration file. Done with an
    /// empty `error` when the new board is open; Done with the reason in `error` when it cannot
    /// be opened (the old board then stays open); NotRun when the capture thread did not take
    /// the request within `timeout` (nothing changes); Running when the start-up was still
    /// going on after `timeout` (the switch completes or fails later; /stats.json tells).
    Outcome switchBoard(unsigned index, std::chrono::milliseconds timeout, std::string& error);

    BoardInfo board() const;
    /// Records the trigger mode the board was set to; on the capture thread (from a request).
    void setExternalTrigger(bool on);
    StatsSnapshot stats() const;
    const CameraFile& file() const { return file_; }
    /// The camera file's named controls on the open board; only on the capture thread (from a
    /// request), and only until the request returns (a board switch makes new ones).
    NamedControls& controls() { return *named_; }

  private:
    struct Command;
    void run();
    void openBoard(const BoardOptions& options);
    void runCommands();
    void captureOnce();
    void publishStats(bool force);
    void registerControls(CameraHandle handle);
    bool tryReconnect();

    BoardOptions options_;
    CameraFile file_;
    RawExchange& raw_;
    ControlSet* controls_;
    bool reconnect_ = false;
    bool awaitingBoard_ = false;  // the board went away; tryReconnect() looks for it
    std::unique_ptr<BoardSession> session_;
    std::unique_ptr<NamedControls> named_;  // on session_'s handle
    bool capturing_ = false;
    CaptureStats stats_;
    FrameMeta lastMeta_;
    CaptureStats::Clock::time_point lastCopy_{};
    // The counters at the last copies, for the rate over about the last second.
    struct RateSample {
        CaptureStats::Clock::time_point at;
        uint64_t frames = 0;
        double megabytes = 0;
    };
    std::array<RateSample, 11> rates_{};
    size_t rateCount_ = 0;
    uint32_t generation_ = 0;  // info_.generation, kept by the thread that runs the board

    mutable Mutex infoMutex_;
    BoardInfo info_ VEXO_GUARDED_BY(infoMutex_);
    StatsSnapshot snapshot_ VEXO_GUARDED_BY(infoMutex_);

    Mutex commandMutex_;
    std::vector<std::shared_ptr<Command>> commands_ VEXO_GUARDED_BY(commandMutex_);
    std::atomic<bool> pending_{false};
    std::atomic<bool> stopping_{false};
    std::atomic<bool> failed_{false};  // the capture stopped; info_.failure says why
    bool externalTrigger_ = false;     // info_.externalTrigger, as the capture thread sees it
    std::thread thread_;
};

}  // namespace vexo::tools::preview
