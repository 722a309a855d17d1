#include <algorithm>
#include <cstring>
#include <vexo/frame_layout.hpp>
#include <vexo/sync_group.hpp>
#include <vexo/vexo.hpp>

#include "common/board_protocol.h"
#include "cpp/sync_group_state.h"

namespace vexo {

namespace sync {

namespace {
using Ticks = std::chrono::duration<int64_t, std::ratio<1, 10'000'000>>;
constexpr int64_t kFileTimeUnixEpoch = 116444736000000000;
}  // namespace

int64_t hostNow() {
    return kFileTimeUnixEpoch +
           std::chrono::duration_cast<Ticks>(std::chrono::system_clock::now().time_since_epoch())
               .count();
}

void OffsetEstimate::add(int64_t sample, int64_t arrival) {
    samples_[next_] = sample;
    next_ = (next_ + 1) % kWindow;
    count_ = std::min(count_ + 1, kWindow);
    offset_ = *std::max_element(samples_.begin(), samples_.begin() + count_);
    if (next_ != 0) return;
    // A window's worth of frames: the drift is how far the offset moved since the last one.
    if (haveBlock_ && arrival > blockAt_)
        driftPpm_ = static_cast<double>(offset_ - blockOffset_) * 1e6 /
                    static_cast<double>(arrival - blockAt_);
    haveBlock_ = true;
    blockOffset_ = offset_;
    blockAt_ = arrival;
}

void OffsetEstimate::addMatched(int64_t sample) {
    matched_[matchedNext_] = sample;
    matchedNext_ = (matchedNext_ + 1) % kWindow;
    matchedCount_ = std::min(matchedCount_ + 1, kWindow);
    std::copy_n(matched_.begin(), matchedCount_, sorted_.begin());
    std::nth_element(sorted_.begin(), sorted_.begin() + matchedCount_ / 2,
                     sorted_.begin() + matchedCount_);
    matchedOffset_ = sorted_[matchedCount_ / 2];
}

}  // namespace sync

const char* syncTriggerName(SyncTrigger trigger) {
    switch (trigger) {
        case SyncTrigger::Software:
            return "soft";
        case SyncTrigger::External:
            return "external";
        case SyncTrigger::FreeRun:
            return "free";
    }
    return "unknown";
}

namespace {

constexpr uint32_t kSerialAddress = 1008;

int64_t toleranceTicks(const SyncOptions& o) {
    if (o.toleranceUs > 0) return o.toleranceUs * 10;
    return static_cast<int64_t>(1e7 / o.rateHz / 3);
}

size_t setCapacity(const SyncOptions& o, size_t boards) {
    return o.trigger == SyncTrigger::Software ? o.slotsPerBoard : o.slotsPerBoard * boards;
}

std::vector<std::string> chosenSerials(const SyncOptions& o) {
    if (!o.serials.empty()) return o.serials;
    std::vector<std::string> all;
    for (const BoardInfo& b : scan())
        if (!b.serial.empty() && std::find(all.begin(), all.end(), b.serial) == all.end())
            all.push_back(b.serial);
    return all;
}

}  // namespace

SyncState::SyncState(const SyncOptions& o)
    : options(o),
      tolerance(toleranceTicks(o)),
      wait(static_cast<int64_t>(3e7 / o.rateHz) + 500'000),
      matcher(0, false, 0, 0, 1) {}

// ---------------------------------------------------------------------------------------------
// Boards

CameraHandle SyncState::openBoard(size_t b, unsigned index) {
    const std::string& serial = boards[b]->serial;
    CameraHandle handle = nullptr;
    CameraConfig cfg = options.config;
    const uint32_t status = Vexo_open(&handle, &cfg, index);
    auto refuse = [&](uint32_t code, const std::string& what) {
        Vexo_close(handle);
        throw Error(code, "board \"" + serial + "\": " + what);
    };
    if (status != USB_CAMERA_NO_ERROR) refuse(status, "Vexo_open");
    // Boards are opened by index, and indices move when boards come and go: make sure.
    uint8_t text[16] = {};
    if (Vexo_readUserData(handle, kSerialAddress, 16, text) != USB_CAMERA_NO_ERROR ||
        detail::serialText(text) != serial)
        refuse(USB_CAMERA_NOT_FOUND_DEVICE_ERROR, "another board came at its index");
    try {
        if (options.setup) options.setup(handle);
    } catch (...) {
        Vexo_close(handle);
        throw;
    }
    if (options.trigger != SyncTrigger::FreeRun) {
        if (const uint32_t s = Vexo_setMode(handle, EXTERNAL_TRIGGER_MODE))
            refuse(s, "external trigger mode");
    }
    return handle;
}

void SyncState::closeBoard(size_t b) {
    Board& board = *boards[b];
    MutexLock lock(board.handleLock);
    if (!board.handle) return;
    Vexo_endCaptureImage(board.handle);
    Vexo_close(board.handle);
    board.handle = nullptr;
}

bool SyncState::reopen(size_t b) {
    Board& board = *boards[b];
    closeBoard(b);
    while (!stopping.load()) {
        try {
            std::optional<BoardInfo> info =
                waitForBoard(board.serial, std::chrono::milliseconds(100));
            if (!info) continue;
            CameraHandle handle = openBoard(b, info->index);
            if (const uint32_t s = Vexo_beginCaptureImage(handle)) {
                Vexo_close(handle);
                throw Error(s, "Vexo_beginCaptureImage");
            }
            {
                MutexLock lock(board.handleLock);
                board.handle = handle;
            }
            MutexLock lock(mutex);
            // It rejoins at a set boundary: sets opened before now are complete without it.
            matcher.back(b, sync::hostNow());
            estimates[b].reset();  // its clock started afresh
            stats.boards[b].present = true;
            ++stats.boards[b].reconnects;
            return true;
        } catch (const std::exception&) {
            // Gone again during its start-up, or another board at its index: wait on.
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    return false;
}

void SyncState::offer(size_t b, const FrameData& data, int64_t arrival) {
    Board& board = *boards[b];
    uint32_t slot = 0;
    uint64_t number = 0;
    {
        MutexLock lock(mutex);
        number = stats.boards[b].frames++;
        if (freeSlots[b].empty() || data.cfg.u32Size > slotBytes ||
            (data.cfg.u32Size && !data.imageData)) {
            ++stats.overflow;
            return;
        }
        slot = freeSlots[b].back();
        freeSlots[b].pop_back();
    }
    // The slot is this thread's alone until the matcher has it: copied without the lock.
    uint8_t* bytes = board.bytes[slot].get();
    if (data.cfg.u32Size) std::memcpy(bytes, data.imageData, data.cfg.u32Size);
    SyncFrame& f = board.frames[slot];
    f.board = b;
    f.bytes = {bytes, data.cfg.u32Size};
    f.time = data.u64Time;
    f.number = number;
    f.record = data;
    f.record.imageData = bytes;

    f.arrivalTime = arrival;
    MutexLock lock(mutex);
    const auto matchStart = std::chrono::steady_clock::now();
    sync::OffsetEstimate& estimate = estimates[b];
    estimate.add(static_cast<int64_t>(data.u64Time) - arrival, arrival);
    f.alignedTime = static_cast<int64_t>(data.u64Time) - offsetFor(b);
    const int64_t now = sync::hostNow();
    int64_t sent = 0;
    if (matcher.add(b, f.alignedTime, static_cast<int32_t>(slot), now, &sent)) {
        if (options.trigger == SyncTrigger::Software)
            estimate.addMatched(static_cast<int64_t>(data.u64Time) - sent);
        stats.framesHeld += 1;
        stats.framesHeldMost = std::max(stats.framesHeldMost, stats.framesHeld);
    } else {
        ++stats.unmatched;
        freeSlots[b].push_back(slot);
    }
    closeDue(now, false);
    stats.matchSeconds +=
        std::chrono::duration<double>(std::chrono::steady_clock::now() - matchStart).count();
}

int64_t SyncState::settledOffset(size_t b) const {
    const sync::OffsetEstimate& e = estimates[b];
    // Triggered by the group, the time each trigger was sent is known: the board's offset
    // against it leaves out how late the host got the frame, which a loaded host makes large.
    return options.trigger == SyncTrigger::Software && e.matchedSettled() ? e.matchedOffset()
                                                                          : e.offset();
}

int64_t SyncState::offsetFor(size_t b) const {
    if (estimates[b].settled()) return settledOffset(b);
    // The first frames after a start often come in a burst, late by different amounts: until
    // a board's least-delayed arrival is known, its offset is taken as the other boards' (the
    // library sets every board's clock to the host's), or none.
    int64_t sum = 0, n = 0;
    for (size_t other = 0; other < estimates.size(); ++other)
        if (estimates[other].settled()) {
            sum += settledOffset(other);
            ++n;
        }
    return n ? sum / n : 0;
}

void SyncState::drain(size_t b, CameraHandle handle, int64_t arrival) {
    FrameData* data = nullptr;
    while (Vexo_readImage(handle, &data) == USB_CAMERA_NO_ERROR && data) {
        offer(b, *data, arrival);
        Vexo_del(handle);
        data = nullptr;
    }
}

void SyncState::runBoard(size_t b) {
    Board& board = *boards[b];
    CameraHandle handle = nullptr;
    {
        MutexLock lock(board.handleLock);
        handle = board.handle;
    }
    while (!stopping.load() && handle) {
        // This thread alone replaces the handle, so it uses it without the lock.
        const uint32_t result = Vexo_captureImage(handle);
        const int64_t arrival = sync::hostNow();
        if (result <= 0xFF || result == USB_CAMERA_USB_TIMEOUT_ERROR) {
            drain(b, handle, arrival);
            continue;
        }
        if (result == USB_CAMERA_DATA_LACK_ERROR || result == USB_CAMERA_DATA_LEN_ERROR ||
            result == USB_CAMERA_FRAME_INDEX_ERROR) {
            {
                MutexLock lock(mutex);
                ++stats.boards[b].frameErrors;
            }
            drain(b, handle, arrival);
            continue;
        }
        // The capture ended: the board went away. Frames queued before the loss come first.
        drain(b, handle, arrival);
        {
            MutexLock lock(mutex);
            matcher.away(b);
            stats.boards[b].present = false;
            closeDue(sync::hostNow(), false);
        }
        changed.notify_all();
        if (!options.reconnect || !reopen(b)) break;
        MutexLock lock(board.handleLock);
        handle = board.handle;
    }
    closeBoard(b);
}

void SyncState::runTriggers() {
    const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(1.0 / options.rateHz));
    auto first = std::chrono::steady_clock::now();
    for (uint64_t k = 0; options.triggers == 0 || k < options.triggers; ++k) {
        // A trigger late by more than a quarter period (the first frames, a busy host) starts
        // the schedule again rather than catching up: triggers fired close together could not
        // be told apart by their frames' times.
        const auto now = std::chrono::steady_clock::now();
        if (now > first + period * k + period / 4) first = now - period * k;
        {
            MutexLock lock(mutex);
            // At its time, and with room for its set (a reader that falls behind holds the
            // triggers back rather than the sets piling up).
            changed.wait_until(lock.native(), first + period * k,
                               [&]() VEXO_REQUIRES(mutex) { return stopping.load(); });
            changed.wait(lock.native(), [&]() VEXO_REQUIRES(mutex) {
                return stopping.load() ||
                       (matcher.open() < matcher.capacity() && freeSets.size() > matcher.open());
            });
            if (stopping.load()) break;
            matcher.openTrigger(k, sync::hostNow());
            ++stats.triggers;
        }
        for (size_t b = 0; b < boards.size(); ++b) {
            int64_t from = 0, to = 0;
            {
                MutexLock lock(boards[b]->handleLock);
                from = sync::hostNow();
                if (boards[b]->handle) Vexo_softTrigger(boards[b]->handle);
                to = sync::hostNow();
            }
            MutexLock lock(mutex);
            matcher.fired(k, b, from, to);
        }
        if (k == 0) {
            // The boards' first frames set their offsets: let them come before the next
            // trigger, so none is taken for it.
            MutexLock lock(mutex);
            changed.wait_for(lock.native(), std::chrono::seconds(1), [&]() VEXO_REQUIRES(mutex) {
                for (const SyncBoardStats& s : stats.boards)
                    if (s.present && s.frames == 0) return stopping.load();
                return true;
            });
        }
    }
    MutexLock lock(mutex);
    triggersDone = true;
    changed.notify_all();
}

// ---------------------------------------------------------------------------------------------
// Sets

void SyncState::closeDue(int64_t now, bool all) {
    bool any = false;
    matcher.closeDue(now, all, [&](const sync::OpenSet& open) {
        mutex.assertHeld();  // the matcher calls back within closeDue(), under the lock
        // A record is always free: the pool holds one per slot and per open set.
        const size_t record = freeSets.back();
        freeSets.pop_back();
        SyncSet& set = pool[record];
        set.frames_.clear();
        set.slots_.clear();
        int64_t earliest = INT64_MAX, latest = INT64_MIN;
        for (size_t b = 0; b < boards.size(); ++b) {
            if (open.slot[b] == sync::kNoSlot) continue;
            const auto slot = static_cast<uint32_t>(open.slot[b]);
            set.frames_.push_back(boards[b]->frames[slot]);
            set.slots_.push_back(slot);
            earliest = std::min(earliest, open.times[b]);
            latest = std::max(latest, open.times[b]);
        }
        set.record_ = record;
        set.index_ = delivered++;
        set.trigger_ = options.trigger == SyncTrigger::Software ? open.trigger : set.index_;
        set.complete_ = open.count == boards.size();
        set.skewUs_ = open.count > 1 ? (latest - earliest) / 10 : 0;
        ++(set.complete_ ? stats.complete : stats.incomplete);
        ready[(readyHead + readyCount++) % ready.size()] = record;
        any = true;
    });
    if (any) changed.notify_all();
}

void SyncState::release(SyncSet& set) {
    MutexLock lock(mutex);
    for (size_t i = 0; i < set.frames_.size(); ++i)
        freeSlots[set.frames_[i].board].push_back(set.slots_[i]);
    stats.framesHeld -= set.frames_.size();
    SyncSet& home = pool[set.record_];
    home.frames_ = std::move(set.frames_);
    home.slots_ = std::move(set.slots_);
    freeSets.push_back(set.record_);
    changed.notify_all();
}

SyncSet::~SyncSet() {
    release();
}

SyncSet::SyncSet(SyncSet&& other) noexcept {
    *this = std::move(other);
}

SyncSet& SyncSet::operator=(SyncSet&& other) noexcept {
    if (this == &other) return *this;
    release();
    state_ = std::move(other.state_);
    frames_ = std::move(other.frames_);
    slots_ = std::move(other.slots_);
    record_ = other.record_;
    index_ = other.index_;
    trigger_ = other.trigger_;
    complete_ = other.complete_;
    skewUs_ = other.skewUs_;
    return *this;
}

void SyncSet::release() noexcept {
    if (!state_) return;
    state_->release(*this);
    state_.reset();
}

const SyncFrame* SyncSet::frame(size_t board) const {
    for (const SyncFrame& f : frames_)
        if (f.board == board) return &f;
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// The group

SyncGroup::SyncGroup(const SyncOptions& options) : state_(std::make_shared<SyncState>(options)) {
    SyncState& s = *state_;
    if (!(options.rateHz > 0) || options.slotsPerBoard < 2)
        throw Error(USB_CAMERA_USB_TASK_ERROR, "sync group: rate > 0 and 2 slots a board");
    const std::vector<std::string> serials = chosenSerials(options);
    if (serials.empty()) throw Error(USB_CAMERA_NOT_FOUND_DEVICE_ERROR, "sync group: no board");
    const FrameLayout layout = frameLayout(options.config);
    s.slotBytes = options.slotBytes ? options.slotBytes : layout.slotBytes;
    if (s.slotBytes == 0) throw Error(USB_CAMERA_SIZE_EXCEED_ERROR, "sync group: frame size");

    const size_t n = serials.size();
    s.serials = serials;
    for (const std::string& serial : serials) {
        auto board = std::make_unique<SyncState::Board>();
        board->serial = serial;
        for (size_t k = 0; k < options.slotsPerBoard; ++k)
            board->bytes.push_back(std::make_unique<uint8_t[]>(s.slotBytes));
        board->frames.resize(options.slotsPerBoard);
        s.boards.push_back(std::move(board));
    }
    MutexLock lock(s.mutex);
    s.matcher = sync::Matcher(n, options.trigger == SyncTrigger::Software, s.tolerance, s.wait,
                              setCapacity(options, n));
    s.freeSlots.resize(n);
    for (auto& free : s.freeSlots)
        for (size_t k = options.slotsPerBoard; k-- > 0;) free.push_back(static_cast<uint32_t>(k));
    s.estimates.resize(n);
    const size_t records = n * options.slotsPerBoard + s.matcher.capacity();
    s.pool.resize(records);
    for (size_t r = 0; r < records; ++r) {
        s.pool[r].frames_.reserve(n);
        s.pool[r].slots_.reserve(n);
        s.freeSets.push_back(r);
    }
    s.ready.resize(records);
    s.stats.slotLimit = n * options.slotsPerBoard;
    for (const std::string& serial : serials) s.stats.boards.push_back({serial});
}

SyncGroup::~SyncGroup() {
    stop();
    // Sets not handed out go back to the pool; those the caller holds keep the state alive.
    while (std::optional<SyncSet> set = next(std::chrono::milliseconds(0))) {
    }
}

const std::vector<std::string>& SyncGroup::serials() const {
    return state_->serials;
}

int64_t SyncGroup::toleranceUs() const {
    return state_->tolerance / 10;
}

void SyncGroup::start() {
    SyncState& s = *state_;
    {
        MutexLock lock(s.mutex);
        if (s.started) throw Error(USB_CAMERA_USB_TASK_ERROR, "sync group: started twice");
        s.started = true;
    }
    const std::vector<BoardInfo> listed = scan();
    try {
        for (size_t b = 0; b < s.boards.size(); ++b) {
            auto it = std::find_if(listed.begin(), listed.end(), [&](const BoardInfo& i) {
                return i.serial == s.boards[b]->serial;
            });
            if (it == listed.end())
                throw Error(USB_CAMERA_NOT_FOUND_DEVICE_ERROR,
                            "board \"" + s.boards[b]->serial + "\" is not attached");
            CameraHandle handle = s.openBoard(b, it->index);
            MutexLock lock(s.boards[b]->handleLock);
            s.boards[b]->handle = handle;
        }
        for (auto& board : s.boards) {
            MutexLock lock(board->handleLock);
            if (const uint32_t status = Vexo_beginCaptureImage(board->handle))
                throw Error(status, "board \"" + board->serial + "\": Vexo_beginCaptureImage");
        }
        // Together: an open starts a free-running board's stream, and each open and start takes
        // a while. No frame has been read yet: stopped and started again one right after the
        // other, the boards count their frames (and see the trigger line) from one moment.
        for (uint8_t request : {board::kRequestStopStream, board::kRequestStartStream})
            for (auto& b : s.boards) {
                MutexLock lock(b->handleLock);
                Vexo_setboardConfig(b->handle, request, 0, 0, 0, nullptr);
            }
    } catch (...) {
        for (size_t b = 0; b < s.boards.size(); ++b) s.closeBoard(b);
        MutexLock lock(s.mutex);
        s.captureEnded = true;
        s.triggersDone = true;
        throw;
    }
    for (size_t b = 0; b < s.boards.size(); ++b)
        s.boards[b]->thread = std::thread([&s, b] { s.runBoard(b); });
    if (s.options.trigger == SyncTrigger::Software) {
        s.triggerThread = std::thread([&s] { s.runTriggers(); });
    } else {
        MutexLock lock(s.mutex);
        s.triggersDone = true;
    }
}

std::optional<SyncSet> SyncGroup::next(std::chrono::milliseconds timeout) {
    SyncState& s = *state_;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    MutexLock lock(s.mutex);
    for (;;) {
        // Software triggers all answered: the sets left close as their boards pass them.
        s.closeDue(sync::hostNow(), s.captureEnded);
        if (s.readyCount > 0) {
            const size_t record = s.ready[s.readyHead];
            s.readyHead = (s.readyHead + 1) % s.ready.size();
            --s.readyCount;
            SyncSet out = std::move(s.pool[record]);
            out.state_ = state_;
            return out;
        }
        if (s.triggersDone && s.matcher.open() == 0 &&
            (s.captureEnded || s.options.trigger == SyncTrigger::Software))
            return std::nullopt;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return std::nullopt;
        // Sets also fall due with time (a silent board): look again at least every 10 ms.
        s.changed.wait_until(lock.native(),
                             std::min(deadline, now + std::chrono::milliseconds(10)));
    }
}

bool SyncGroup::done() const {
    SyncState& s = *state_;
    MutexLock lock(s.mutex);
    return s.readyCount == 0 && s.triggersDone && s.matcher.open() == 0 &&
           (s.captureEnded || s.options.trigger == SyncTrigger::Software);
}

void SyncGroup::stop() {
    SyncState& s = *state_;
    {
        MutexLock lock(s.mutex);
        if (!s.started || s.captureEnded) {
            s.captureEnded = true;
            s.triggersDone = true;
            return;
        }
        s.stopping.store(true);
    }
    s.changed.notify_all();
    if (s.triggerThread.joinable()) s.triggerThread.join();
    for (auto& board : s.boards)
        if (board->thread.joinable()) board->thread.join();
    MutexLock lock(s.mutex);
    s.triggersDone = true;
    s.captureEnded = true;
    s.closeDue(sync::hostNow(), true);
}

SyncStats SyncGroup::stats() const {
    SyncState& s = *state_;
    MutexLock lock(s.mutex);
    SyncStats out = s.stats;
    for (size_t b = 0; b < out.boards.size(); ++b) {
        out.boards[b].offsetUs = static_cast<double>(s.offsetFor(b)) / 10;
        out.boards[b].driftPpm = s.estimates[b].driftPpm();
    }
    return out;
}

}  // namespace vexo
