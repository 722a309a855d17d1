// The behaviour of a virtual camera board behind its descriptors: vendor requests, the board
// controller and sensor registers, user data, the clock, and the image stream.
//
// It serves the board protocol of common/board_protocol.h: the firmware version, streaming
// start and stop, the shot, the clock exchange, I2C register access in all five widths (reads
// answer the value and a status byte, "no device" for an absent address; writes to an absent
// device are stalled), and the user-data store. The board controller answers 8-bit register /
// 8-bit value requests only; a continuous trigger mode starts streaming, and in external
// trigger mode the control register's trigger pulse (or a shot) releases one frame.
//
// Threading: every member may be called from any thread; one mutex serialises them. The
// backend's own lock is never taken under that mutex (notifications are sent after it is
// released).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/board_protocol.h"
#include "common/mutex.h"
#include "driver/virtual/board_clock.h"
#include "driver/virtual/board_config.h"
#include "driver/virtual/board_faults.h"
#include "driver/virtual/board_picture.h"
#include "driver/virtual/board_stream.h"
#include "driver/virtual/device_model.h"
#include "driver/virtual/replay_source.h"
#include "driver/virtual/sensor_registers.h"
#include "driver/virtual/trigger_line.h"

namespace vexo::driver::virt {

/// One endpoint-0 request as the board received it.
struct ControlRecord {
    SetupPacket setup;
    std::vector<uint8_t> data;  ///< OUT: the data stage; IN: the reply (empty when stalled)
    bool ok = false;            ///< false: the board stalled the request
};

class BoardModel : public DeviceModel {
  public:
    /// A board for `config`; null with `error` set when the configuration is refused.
    static std::shared_ptr<BoardModel> create(const BoardConfig& config, std::string& error) {
        return build<BoardModel>(config, error);
    }

    explicit BoardModel(const BoardConfig& config);
    ~BoardModel() override;
    BoardModel(const BoardModel&) = delete;
    BoardModel& operator=(const BoardModel&) = delete;

    /// Descriptor tables, speed and texts for the virtual bus, with this model attached.
    VirtualDeviceDescription deviceDescription();

    ControlResult control(const SetupPacket& setup, uint8_t* data) override;
    BulkResult bulkIn(uint8_t endpoint, uint8_t* data, uint32_t capacity) override;
    void bulkAborted(uint8_t endpoint) override;
    bool present() const override { return present_.load(std::memory_order_acquire); }
    bool returnDue(Clock::time_point now) const override;
    bool comeBack(Clock::time_point now) override;

    const BoardConfig& config() const { return config_; }

    /// Unplugs the board now: it leaves enumeration and every request fails. Also reached by
    /// an "unplug" fault.
    void unplug() VEXO_EXCLUDES(mutex_);
    /// Takes the board off the bus now, as if its cable were pulled, and puts it back `ms`
    /// later with the same serial, in its power-on state (user data kept). The return shows at
    /// the first scan or open after that time (see comeBack()). Also reached by a "replug"
    /// fault.
    void replug(uint32_t ms) VEXO_EXCLUDES(mutex_);
    /// Times the board has come back after a replug.
    uint32_t returns() const;

    /// Endpoint-0 requests other than GET_DESCRIPTOR, oldest first (the last 4096 are kept).
    std::vector<ControlRecord> controlRequests() const;
    void clearControlRequests();

    /// A sensor register: none when never written and not preset.
    std::optional<uint32_t> sensorRegister(uint16_t reg) const;
    std::map<uint16_t, uint32_t> sensorRegisters() const;
    void setSensorRegister(uint16_t reg, uint32_t value);
    /// A board-controller register (0 for registers never written).
    uint8_t boardControllerRegister(uint8_t reg) const;
    /// The 1024-byte user-data store.
    std::vector<uint8_t> userData() const;

    bool streaming() const;
    /// True while board-controller register 8 selects the external trigger (bit 7 set).
    bool externalTrigger() const;
    /// Frames whose last byte went out.
    uint64_t framesSent() const;
    /// Number of the next frame the board will start (frame content follows from it).
    uint32_t nextFrameNumber() const;
    /// Index the last started frame carried on the wire; none before the first frame.
    std::optional<uint16_t> lastFrameIndex() const;
    /// The board clock now: host FILETIME units once a clock exchange has happened.
    uint64_t boardTime() const;

    /// Adds a fault while the board runs (frame numbers as in FaultConfig).
    void addFault(const FaultConfig& fault) VEXO_EXCLUDES(mutex_);
    /// Drops every fault not yet used up, ends a stall, and lets waiting reads go on.
    void clearFaults() VEXO_EXCLUDES(mutex_);

  protected:
    /// A `Board` (this class or one derived from it) for `config`; null with `error` set when
    /// the configuration is refused or its picture cannot be made.
    template <class Board>
    static std::shared_ptr<Board> build(const BoardConfig& config, std::string& error) {
        if (!validateBoardConfig(config, error)) return nullptr;
        auto board = std::make_shared<Board>(config);
        if (!board->picturePossible(error)) return nullptr;
        return board;
    }

  private:
    enum class Start { Go, Wait, Fail };

    /// False, with the reason in `error`, when no frame of the stream fits its size.
    bool picturePossible(std::string& error) VEXO_EXCLUDES(mutex_);

    ControlResult vendorRequest(const SetupPacket& setup, uint8_t* data, Clock::time_point now)
        VEXO_REQUIRES(mutex_);
    ControlResult registerAccess(const SetupPacket& setup, uint8_t* data) VEXO_REQUIRES(mutex_);
    ControlResult userDataRequest(const SetupPacket& setup, uint8_t* data) VEXO_REQUIRES(mutex_);
    void writeBoardController(uint8_t reg, uint8_t value, Clock::time_point now)
        VEXO_REQUIRES(mutex_);
    uint8_t readBoardController(uint8_t reg) const VEXO_REQUIRES(mutex_);
    void startStreaming(Clock::time_point now) VEXO_REQUIRES(mutex_);
    void stopStreaming() VEXO_REQUIRES(mutex_);
    void triggerPulse() VEXO_REQUIRES(mutex_);
    /// Counts the rig's trigger-line pulses from `now` on (those before it are not seen).
    void armLine(Clock::time_point now) VEXO_REQUIRES(mutex_);
    /// Trigger-line pulses come and not yet served (the line view is refreshed first).
    uint64_t linePending(Clock::time_point now) VEXO_REQUIRES(mutex_);
    Start canStartFrame(Clock::time_point now, Clock::time_point& waitUntil) VEXO_REQUIRES(mutex_);
    void startFrame(Clock::time_point now) VEXO_REQUIRES(mutex_);
    uint64_t clockAt(Clock::time_point t) const VEXO_REQUIRES(mutex_);
    Clock::time_point frameDue() const VEXO_REQUIRES(mutex_);
    void log(const SetupPacket& setup, const uint8_t* data, const ControlResult& result)
        VEXO_REQUIRES(mutex_);
    void leaveBus(Clock::time_point now, uint32_t ms) VEXO_REQUIRES(mutex_);
    void powerOn(Clock::time_point now) VEXO_REQUIRES(mutex_);

    const BoardConfig config_;
    const bool paced_;
    const double linkBytesPerSecond_;
    const BoardClock clock_;
    std::atomic<bool> present_{true};

    mutable Mutex mutex_;
    // Ring of the last requests, made whole at the first one.
    std::vector<ControlRecord> log_ VEXO_GUARDED_BY(mutex_);
    size_t logHead_ VEXO_GUARDED_BY(mutex_) = 0;  // oldest entry
    size_t logCount_ VEXO_GUARDED_BY(mutex_) = 0;
    std::map<uint16_t, uint32_t> sensor_ VEXO_GUARDED_BY(mutex_);
    // Exposure and gain as the sensor took them at the last frame start.
    ExposureLatch exposure_ VEXO_GUARDED_BY(mutex_);
    std::array<uint8_t, 256> controller_ VEXO_GUARDED_BY(mutex_) = {};
    std::array<uint8_t, board::kUserDataBytes> userData_ VEXO_GUARDED_BY(mutex_) = {};
    BoardFaults faults_ VEXO_GUARDED_BY(mutex_);

    // Clock: board time = clockBase_ + (now - clockRef_), in 100 ns units.
    uint64_t clockBase_ VEXO_GUARDED_BY(mutex_) = 0;
    Clock::time_point clockRef_ VEXO_GUARDED_BY(mutex_);

    // Stream.
    FrameRenderer renderer_ VEXO_GUARDED_BY(mutex_);
    StreamFramer framer_ VEXO_GUARDED_BY(mutex_);
    bool streaming_ VEXO_GUARDED_BY(mutex_) = false;
    bool external_ VEXO_GUARDED_BY(mutex_) = false;
    bool shotArmed_ VEXO_GUARDED_BY(mutex_) = false;
    // Trigger pulses whose frame has not started, and when the oldest of them came.
    uint32_t triggersWaiting_ VEXO_GUARDED_BY(mutex_) = 0;
    static constexpr size_t kPulseTimes = 64;
    std::array<Clock::time_point, kPulseTimes> pulseTimes_ VEXO_GUARDED_BY(mutex_) = {};
    size_t pulseHead_ VEXO_GUARDED_BY(mutex_) = 0, pulseCount_ VEXO_GUARDED_BY(mutex_) = 0;
    // Software trigger pulses served since power-on: the stamp of a frame they release.
    uint32_t softTriggers_ VEXO_GUARDED_BY(mutex_) = 0;
    // The rig's trigger line as last seen, and the next of its pulses to serve.
    TriggerLineView line_ VEXO_GUARDED_BY(mutex_);
    uint64_t lineNext_ VEXO_GUARDED_BY(mutex_) = 0;
    // The frame being sent was released by a trigger.
    bool triggeredInFlight_ VEXO_GUARDED_BY(mutex_) = false;
    uint32_t nextFrame_ VEXO_GUARDED_BY(mutex_) = 0;
    // Wire index = frame number + offset (skip/repeat faults).
    int64_t indexOffset_ VEXO_GUARDED_BY(mutex_) = 0;
    std::optional<uint16_t> lastIndex_ VEXO_GUARDED_BY(mutex_);
    uint64_t framesSent_ VEXO_GUARDED_BY(mutex_) = 0;
    // Frame whose stall has been served.
    std::optional<uint32_t> stalledFrame_ VEXO_GUARDED_BY(mutex_);
    std::optional<Clock::time_point> stallEnd_ VEXO_GUARDED_BY(mutex_);

    // Pacing (fps > 0).
    Clock::time_point streamStart_ VEXO_GUARDED_BY(mutex_);
    uint64_t framesSinceStart_ VEXO_GUARDED_BY(mutex_) = 0;
    Clock::time_point linkFreeAt_ VEXO_GUARDED_BY(mutex_);
    struct PendingRead {
        uint32_t length;
        Clock::time_point readyAt;
    };
    std::optional<PendingRead> pending_ VEXO_GUARDED_BY(mutex_);

    // Replay of a recording (stream.replay): frames and times from it instead of the picture.
    std::unique_ptr<ReplayPlayer> replay_ VEXO_GUARDED_BY(mutex_);
    // Recorded time of the first frame since streaming started.
    uint64_t replayStartTime_ VEXO_GUARDED_BY(mutex_) = 0;

    // Replug: when a board off the bus returns, and how often it has.
    std::optional<Clock::time_point> returnAt_ VEXO_GUARDED_BY(mutex_);
    uint32_t returns_ VEXO_GUARDED_BY(mutex_) = 0;
};

}  // namespace vexo::driver::virt
