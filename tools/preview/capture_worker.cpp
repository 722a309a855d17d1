#include "preview/capture_worker.h"

#include <vexo/status.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vexo/status_text.hpp>

namespace vexo::tools::preview {

namespace {

constexpr auto kStatsEvery = std::chrono::milliseconds(100);

bool fatal(uint32_t result) {
    return result == USB_CAMERA_USB_TASK_ERROR || result == USB_CAMERA_USB_VERSION_ERROR;
}

}  // namespace

// ---- controls ----

bool ControlSet::load(const std::string& path, const CameraFile& file, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot read the file";
        return false;
    }
    std::stringstream text;
    text << in.rdbuf();
    return parse(text.str(), path, file, error);
}

bool ControlSet::parse(const std::string& text, const std::string& source, const CameraFile& file,
                       std::string& error) {
    script_ = text;
    records_.clear();
    for (const ControlSpec& c : file.controls) {
        if (c.luaFunction.empty()) continue;
        bool known = false;
        for (const CtrlRecord& r : records_) known = known || c.luaFunction == r.name;
        if (known) continue;
        if (c.luaFunction.size() >= VEXO_CTRL_NAME_BYTES) {
            error = file.source + ":" + std::to_string(c.line) + ": the Lua function name " +
                    c.luaFunction + " is over " + std::to_string(VEXO_CTRL_NAME_BYTES - 1) +
                    " characters";
            return false;
        }
        // NamedControls hands the function round(value * scale + offset), already clamped
        // and stepped: the record's range is the same one, so Vexo_setCtrl changes nothing.
        const double a = std::round(c.min * c.scale + c.offset);
        const double b = std::round(c.max * c.scale + c.offset);
        CtrlRecord r;
        std::memset(&r, 0, sizeof(r));
        r.minValue = static_cast<int64_t>(std::min(a, b));
        r.maxValue = static_cast<int64_t>(std::max(a, b));
        std::memcpy(r.name, c.luaFunction.c_str(), c.luaFunction.size() + 1);
        records_.push_back(r);
    }
    if (records_.empty()) {
        error = source + ": " + file.source +
                " calls no Lua function: name the controls in its [controls] section with "
                "lua=FUNCTION (docs/camera-config.md)";
        if (text.find("-- control:") != std::string::npos)
            error += "; '-- control:' lines of the script are no longer read";
        return false;
    }
    // The script defines every function; it runs once, with the first record.
    for (size_t i = 0; i < records_.size(); ++i) records_[i].script = i == 0 ? script_.c_str() : "";
    return true;
}

// ---- worker ----

// Shared by the caller and the capture thread, so that either may be the last to let go.
struct CaptureWorker::Command {
    std::function<void(CameraHandle)> fn;
    Mutex mutex;
    std::condition_variable done;
    bool started VEXO_GUARDED_BY(mutex) = false;
    bool finished VEXO_GUARDED_BY(mutex) = false;
    bool dropped VEXO_GUARDED_BY(mutex) = false;
};

CaptureWorker::CaptureWorker(const BoardOptions& options, CameraFile file, RawExchange& raw,
                             ControlSet* controls, bool reconnect)
    : options_(options),
      file_(std::move(file)),
      raw_(raw),
      controls_(controls),
      reconnect_(reconnect) {}

CaptureWorker::~CaptureWorker() {
    stop();
}

void CaptureWorker::openBoard(const BoardOptions& options) {
    auto session = std::make_unique<BoardSession>(options, file_);
    session->applyStartup(file_);
    registerControls(session->handle());
    auto named = std::make_unique<NamedControls>(session->handle(), file_,
                                                 registerCallsFor(file_.config.emI2cMode));
    const bool trigger =
        Vexo_isFrameReady(session->handle()) != USB_BOARD_FW_VERSION_NOT_SUPPORT_ERROR;

    // The old board (if any) is closed only once the new one is open.
    if (session_) {
        if (capturing_) Vexo_endCaptureImage(session_->handle());
        capturing_ = false;
    }
    session_ = std::move(session);
    named_ = std::move(named);
    stats_ = CaptureStats{};
    stats_.start();
    lastMeta_ = FrameMeta{};
    rateCount_ = 0;
    failed_ = false;
    awaitingBoard_ = false;
    externalTrigger_ = false;
    ++generation_;
    MutexLock lock(infoMutex_);
    info_ = BoardInfo{};
    info_.entry = session_->board();
    info_.config = session_->config();
    info_.bayer = file_.bayer;
    info_.triggerCapable = trigger;
    info_.generation = generation_;
    snapshot_ = StatsSnapshot{stats_, lastMeta_};
}

void CaptureWorker::registerControls(CameraHandle handle) {
    if (!controls_ || controls_->empty()) return;
    const int failed = Vexo_registerCtrls(handle, controls_->records(), controls_->count());
    if (failed != 0)
        throw SessionError("the controls script did not load (" + std::to_string(-failed) +
                           " record(s) failed; the script's error is printed above)");
}

// One look for the board that went away (one scan), so that requests and stop are served
// between looks. True once it is open again with its start-up and controls.
bool CaptureWorker::tryReconnect() {
    try {
        session_->reopen(file_, std::chrono::milliseconds(0));
        registerControls(session_->handle());
        // The handle may be another one; a Lua control's remembered value went with the board.
        named_ = std::make_unique<NamedControls>(session_->handle(), file_,
                                                 registerCallsFor(file_.config.emI2cMode));
    } catch (const SessionError&) {
        return false;
    }
    awaitingBoard_ = false;
    failed_ = false;
    MutexLock lock(infoMutex_);
    info_.entry = session_->board();
    info_.failure.clear();
    ++info_.reconnects;
    return true;
}

void CaptureWorker::start() {
    openBoard(options_);
    stopping_ = false;
    thread_ = std::thread([this] { run(); });
}

void CaptureWorker::stop() {
    if (!thread_.joinable()) return;
    stopping_ = true;
    thread_.join();
    // Commands queued too late are dropped so their callers stop waiting.
    MutexLock lock(commandMutex_);
    for (auto& c : commands_) {
        MutexLock cl(c->mutex);
        c->dropped = true;
        c->done.notify_all();
    }
    commands_.clear();
}

CaptureWorker::Outcome CaptureWorker::request(std::function<void(CameraHandle)> fn,
                                              std::chrono::milliseconds timeout) {
    auto command = std::make_shared<Command>();
    command->fn = std::move(fn);
    {
        MutexLock lock(commandMutex_);
        if (stopping_ || !thread_.joinable()) return Outcome::NotRun;
        commands_.push_back(command);
        pending_.store(true, std::memory_order_release);
    }
    MutexLock lock(command->mutex);
    command->done.wait_for(lock.native(), timeout, [&]() VEXO_REQUIRES(command->mutex) {
        return command->finished || command->dropped;
    });
    if (command->finished) return Outcome::Done;
    if (command->started) return Outcome::Running;
    command->dropped = true;  // the capture thread skips it
    return Outcome::NotRun;
}

void CaptureWorker::post(std::function<void(CameraHandle)> fn) {
    auto command = std::make_shared<Command>();
    command->fn = std::move(fn);
    MutexLock lock(commandMutex_);
    if (stopping_ || !thread_.joinable()) return;
    commands_.push_back(std::move(command));
    pending_.store(true, std::memory_order_release);
}

bool CaptureWorker::call(std::function<void(CameraHandle)> fn, std::chrono::milliseconds timeout) {
    // The command writes the caller's locals: the caller stays until it cannot run any more.
    struct Waiter {
        std::function<void(CameraHandle)> fn;
        Mutex mutex;
        std::condition_variable done;
        bool finished VEXO_GUARDED_BY(mutex) = false;
    };
    auto waiter = std::make_shared<Waiter>();
    waiter->fn = std::move(fn);
    const Outcome outcome = request(
        [waiter](CameraHandle h) {
            waiter->fn(h);
            MutexLock lock(waiter->mutex);
            waiter->finished = true;
            waiter->done.notify_all();
        },
        timeout);
    if (outcome == Outcome::NotRun) return false;
    MutexLock lock(waiter->mutex);
    waiter->done.wait(lock.native(),
                      [&]() VEXO_REQUIRES(waiter->mutex) { return waiter->finished; });
    return true;
}

CaptureWorker::Outcome CaptureWorker::switchBoard(unsigned index, std::chrono::milliseconds timeout,
                                                  std::string& error) {
    // Owned by the command too: a start-up that outlasts the wait still has somewhere to
    // write its outcome.
    struct Result {
        bool opened = false;
        std::string error;
    };
    auto result = std::make_shared<Result>();
    const Outcome outcome = request(
        [this, index, result](CameraHandle) {
            BoardOptions options = options_;
            options.index = index;
            try {
                openBoard(options);
                options_ = options;
                result->opened = true;
            } catch (const std::exception& e) {
                result->error = e.what();
            }
        },
        timeout);
    // Done: the command's writes happened before it was marked finished under its lock.
    if (outcome == Outcome::Done && !result->opened)
        error = result->error.empty() ? "the board did not open" : result->error;
    return outcome;
}

BoardInfo CaptureWorker::board() const {
    MutexLock lock(infoMutex_);
    return info_;
}

void CaptureWorker::setExternalTrigger(bool on) {
    externalTrigger_ = on;
    MutexLock lock(infoMutex_);
    info_.externalTrigger = on;
}

StatsSnapshot CaptureWorker::stats() const {
    MutexLock lock(infoMutex_);
    return snapshot_;
}

void CaptureWorker::runCommands() {
    std::vector<std::shared_ptr<Command>> commands;
    {
        MutexLock lock(commandMutex_);
        commands.swap(commands_);
        pending_.store(false, std::memory_order_relaxed);
    }
    for (auto& c : commands) {
        {
            MutexLock lock(c->mutex);
            if (c->dropped) continue;
            c->started = true;  // from here on its caller can no longer drop it
        }
        c->fn(session_->handle());
        MutexLock lock(c->mutex);
        c->finished = true;
        c->done.notify_all();
    }
}

void CaptureWorker::publishStats(bool force) {
    const auto now = CaptureStats::Clock::now();
    if (!force && now - lastCopy_ < kStatsEvery) return;
    // The capture never waits for a reader of the counters: a busy lock skips this copy.
    if (!infoMutex_.try_lock()) return;
    MutexLock lock(infoMutex_, std::adopt_lock);
    snapshot_.stats = stats_;
    snapshot_.last = lastMeta_;
    lastCopy_ = now;
    // The average since the board was opened hides a board that stopped or came back: the
    // rate shown is that of the last second.
    const RateSample sample{now, stats_.frames(), stats_.megabytesPerSecond() * stats_.seconds()};
    const RateSample& oldest =
        rateCount_ < rates_.size() ? rates_[0] : rates_[rateCount_ % rates_.size()];
    const double dt = rateCount_ ? std::chrono::duration<double>(now - oldest.at).count() : 0;
    snapshot_.recentFps = dt > 0 ? double(sample.frames - oldest.frames) / dt : 0;
    snapshot_.recentMbps = dt > 0 ? (sample.megabytes - oldest.megabytes) / dt : 0;
    rates_[rateCount_++ % rates_.size()] = sample;
}

void CaptureWorker::captureOnce() {
    const CameraHandle handle = session_->handle();
    if (!capturing_) {
        const uint32_t begun = Vexo_beginCaptureImage(handle);
        if (begun != USB_CAMERA_NO_ERROR) {
            failed_ = true;
            MutexLock lock(infoMutex_);
            info_.failure = describeStatus("cannot start the stream", begun);
            return;
        }
        capturing_ = true;
    }
    const uint32_t result = Vexo_captureImage(handle);
    // In external-trigger mode a capture call that times out is the wait for the next
    // trigger, not a fault of the link.
    if (!(externalTrigger_ && result == USB_CAMERA_USB_TIMEOUT_ERROR))
        stats_.addCaptureResult(result);
    // Frames still queued when the board went away were sent before: they go out first.
    if (fatal(result) && !(reconnect_ && Vexo_availableImage(handle) > 0)) {
        Vexo_endCaptureImage(handle);
        capturing_ = false;
        failed_ = true;
        awaitingBoard_ = reconnect_;
        MutexLock lock(infoMutex_);
        info_.failure = describeStatus("capture stopped", result);
        if (reconnect_) info_.failure += "; waiting for board " + info_.entry.serial;
        return;
    }
    FrameData* frame = nullptr;
    while (Vexo_readImage(handle, &frame) == USB_CAMERA_NO_ERROR && frame) {
        const auto queuedAt = SteadyClock::now();
        stats_.addFrame(frame->cfg.u32Size);
        RawSlot& slot = raw_.writeSlot();
        const size_t size = frame->cfg.u32Size;
        if (slot.bytes.size() < size) slot.bytes.resize(size);  // only for a larger frame than ever
        std::memcpy(slot.bytes.data(), frame->imageData, size);
        slot.size = size;
        slot.meta.number = stats_.frames();
        slot.meta.boardTime = frame->u64Time;
        slot.meta.cfg = frame->cfg;
        slot.meta.boardGeneration = generation_;
        slot.meta.queuedAt = queuedAt;
        lastMeta_ = slot.meta;
        Vexo_del(handle);
        raw_.publish();
    }
}

void CaptureWorker::run() {
    while (!stopping_.load(std::memory_order_relaxed)) {
        if (pending_.load(std::memory_order_acquire)) runCommands();
        if (failed_.load(std::memory_order_relaxed)) {
            // The capture stopped (the board went away): look for it again when reconnecting,
            // and wait for a request, such as another board from the picker.
            if (awaitingBoard_ && tryReconnect()) continue;
            publishStats(false);  // the rate falls to 0
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        captureOnce();
        publishStats(false);
    }
    if (capturing_) Vexo_endCaptureImage(session_->handle());
    capturing_ = false;
    publishStats(true);
    named_.reset();
    session_.reset();
}

}  // namespace vexo::tools::preview
