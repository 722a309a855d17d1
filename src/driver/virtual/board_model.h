// The behaviour of a virtual camera board behind its descriptors: vendor requests, the board
// controller and sensor registers, user data, the clock, and the image stream.
//
// Board protocol served (vendor requests, bmRequestType 0x40 / 0xC0):
//   0x80 IN  firmware version [major, minor]
//   0xA1/0xA2 OUT  start / stop streaming; 0xA9 then 0xA8 OUT: a shot (one frame in trigger mode)
//   0xB0 IN  24 bytes, bytes 0-7 the board clock (LE); 0xB1 OUT 16 bytes: bytes 8-15 the host
//            time (FILETIME, LE) the board clock follows from then on
//   0xD4-0xD7, 0xDF, 0xE0-0xE2, 0xE5, 0xE6: I2C register access; wValue high byte = device.
//            Reads answer the value (MSB first) and a status byte: 0 ok, 1 no device answered.
//            Writes to an absent device are stalled.
//   0xF7/0xF8 user data, wValue = 0x1C00 + address
// The board controller (I2C 0x46) answers 8-bit register / 8-bit value requests only:
//   0 id, 1 close, 3 control (bit 5 falling = software trigger pulse), 4 scratch,
//   5-7 version, 8 trigger mode (0x00 continuous and start streaming; bit 7 external trigger),
//   9 frame ready (1 while a triggered frame waits in the board or is being sent).
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

#include "common/mutex.h"
#include "driver/virtual/board_config.h"
#include "driver/virtual/board_faults.h"
#include "driver/virtual/board_picture.h"
#include "driver/virtual/board_stream.h"
#include "driver/virtual/device_model.h"
#include "driver/virtual/replay_source.h"

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
    static std::shared_ptr<BoardModel> create(const BoardConfig& config, std::string& error);

    explicit BoardModel(const BoardConfig& config);
    ~BoardModel() override;

    /// Descriptor tables, speed and texts for the virtual bus, with this model attached.
    VirtualDeviceDescription deviceDescription();

    ControlResult control(const SetupPacket& setup, uint8_t* data) override;
    BulkResult bulkIn(uint8_t endpoint, uint8_t* data, uint32_t capacity) override;
    void bulkAborted(uint8_t endpoint) override;
    bool present() const override { return present_.load(std::memory_order_acquire); }
    bool returnDue(Clock::time_point now) const override;
    bool comeBack(Clock::time_point now) override;

    const BoardConfig& config() const { return config_; }

    // Inspection and run-time faults, for VirtualBoard.
    void unplug() VEXO_EXCLUDES(mutex_);
    /// Leaves the bus now and returns `ms` later (see comeBack()).
    void replug(uint32_t ms) VEXO_EXCLUDES(mutex_);
    /// Times the board has returned to the bus after a replug.
    uint32_t returns() const;
    std::vector<ControlRecord> controlRequests() const;
    void clearControlRequests();
    std::optional<uint32_t> sensorRegister(uint16_t reg) const;
    std::map<uint16_t, uint32_t> sensorRegisters() const;
    void setSensorRegister(uint16_t reg, uint32_t value);
    uint8_t boardControllerRegister(uint8_t reg) const;
    std::vector<uint8_t> userData() const;
    bool streaming() const;
    bool externalTrigger() const;
    uint64_t framesSent() const;
    uint32_t nextFrameNumber() const;
    std::optional<uint16_t> lastFrameIndex() const;
    uint64_t boardTime() const;
    void addFault(const FaultConfig& fault) VEXO_EXCLUDES(mutex_);
    void clearFaults() VEXO_EXCLUDES(mutex_);

  private:
    enum class Start { Go, Wait, Fail };

    ControlResult vendorRequest(const SetupPacket& setup, uint8_t* data, Clock::time_point now)
        VEXO_REQUIRES(mutex_);
    ControlResult registerRequest(const SetupPacket& setup, uint8_t* data) VEXO_REQUIRES(mutex_);
    ControlResult userDataRequest(const SetupPacket& setup, uint8_t* data) VEXO_REQUIRES(mutex_);
    void writeBoardController(uint8_t reg, uint8_t value, Clock::time_point now)
        VEXO_REQUIRES(mutex_);
    uint8_t readBoardController(uint8_t reg) const VEXO_REQUIRES(mutex_);
    void startStreaming(Clock::time_point now) VEXO_REQUIRES(mutex_);
    void stopStreaming() VEXO_REQUIRES(mutex_);
    void triggerPulse() VEXO_REQUIRES(mutex_);
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
    std::atomic<bool> present_{true};

    mutable Mutex mutex_;
    // Ring of the last requests, made whole at the first one.
    std::vector<ControlRecord> log_ VEXO_GUARDED_BY(mutex_);
    size_t logHead_ VEXO_GUARDED_BY(mutex_) = 0;  // oldest entry
    size_t logCount_ VEXO_GUARDED_BY(mutex_) = 0;
    std::map<uint16_t, uint32_t> sensor_ VEXO_GUARDED_BY(mutex_);
    std::array<uint8_t, 256> controller_ VEXO_GUARDED_BY(mutex_) = {};
    std::array<uint8_t, 1024> userData_ VEXO_GUARDED_BY(mutex_) = {};
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
    // Trigger pulses whose frame has not started.
    uint32_t triggersWaiting_ VEXO_GUARDED_BY(mutex_) = 0;
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
