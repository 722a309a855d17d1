// Virtual camera boards: whole boards on the virtual bus, for tests, tools and for developing
// without hardware.
//
// A board is added from a BoardConfig (board_config.h) and stays on the bus until it is removed
// (VirtualBoard::remove(), virt::removeDevice(id()) or virt::removeAllDevices()); dropping the
// handle does not unplug it. The handle inspects what the board saw and lets a test inject
// faults while the board runs.
//
// Typical test use:
//   auto board = virt::addVirtualBoard(virt::BoardConfig{});
//   ... open and capture through the library ...
//   EXPECT_EQ(board->sensorRegister(0x3012), 0x0A0B);
//   board->remove();
//
// Threading: every function may be called from any thread; a VirtualBoard's members are
// serialised with the board's own traffic.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/virtual/board_config.h"
#include "driver/virtual/board_model.h"
#include "driver/virtual/device_model.h"
#include "driver/virtual/virtual_bus.h"

namespace vexo::driver::virt {

/// Handle to a board on the virtual bus.
class VirtualBoard {
  public:
    VirtualBoard(std::shared_ptr<BoardModel> model, DeviceId id);
    ~VirtualBoard();
    VirtualBoard(const VirtualBoard&) = delete;
    VirtualBoard& operator=(const VirtualBoard&) = delete;

    DeviceId id() const { return id_; }
    const BoardConfig& config() const;

    /// Takes the board off the bus; open handles fail their requests from then on.
    void remove();
    /// Unplugs the board now: it leaves enumeration and every request fails. Also reached by
    /// an "unplug" fault.
    void unplug();
    /// Takes the board off the bus now, as if its cable were pulled, and puts it back `ms`
    /// later with the same serial, in its power-on state (user data kept). The return shows at
    /// the first scan or open after that time. Also reached by a "replug" fault.
    void replug(uint32_t ms);
    /// Times the board has come back after a replug.
    uint32_t returns() const;
    bool present() const;

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
    void addFault(const FaultConfig& fault);
    /// Drops every fault not yet used up, ends a stall, and lets waiting reads go on.
    void clearFaults();

  private:
    std::shared_ptr<BoardModel> model_;
    DeviceId id_;
};

/// Builds a board and puts it on the virtual bus. Returns null (with the reason in *error when
/// given) when the configuration is refused by validateBoardConfig().
std::shared_ptr<VirtualBoard> addVirtualBoard(const BoardConfig& config,
                                              std::string* error = nullptr);
/// Puts a board already built with BoardModel::create() on the virtual bus.
std::shared_ptr<VirtualBoard> plugInBoard(const std::shared_ptr<BoardModel>& model);

/// Exactly the bytes of frame `frameNumber` of a stream, before any fault changes them. Tests
/// compare received frames against it. For JPG, the compressed image.
void renderFrame(const StreamConfig& stream, uint32_t frameNumber, std::vector<uint8_t>& out);

/// Bytes of one frame of the stream (for JPG: the most a frame may hold, W x H x PB x 2).
size_t frameBytes(const StreamConfig& stream);

}  // namespace vexo::driver::virt
