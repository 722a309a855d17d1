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

/// Handle to a board on the virtual bus: the board itself, with its place on the bus.
class VirtualBoard : public BoardModel {
  public:
    explicit VirtualBoard(const BoardConfig& config) : BoardModel(config) {}

    DeviceId id() const { return id_; }
    /// Takes the board off the bus; open handles fail their requests from then on.
    void remove();

  private:
    friend std::shared_ptr<VirtualBoard> addVirtualBoard(const BoardConfig&, std::string*);

    DeviceId id_ = 0;  // set once, before the handle is handed out
};

/// Builds a board and puts it on the virtual bus. Returns null (with the reason in *error when
/// given) when the configuration is refused by validateBoardConfig().
std::shared_ptr<VirtualBoard> addVirtualBoard(const BoardConfig& config,
                                              std::string* error = nullptr);
/// Puts a board already built with BoardModel::create() on the virtual bus.
DeviceId plugInBoard(const std::shared_ptr<BoardModel>& model);

/// Exactly the bytes of frame `frameNumber` of a stream, before any fault changes them. Tests
/// compare received frames against it. For JPG, the compressed image.
void renderFrame(const StreamConfig& stream, uint32_t frameNumber, std::vector<uint8_t>& out);
/// The same for a board's scene and sensor, exposed with `exposure` (the registers' values
/// the frame started with).
void renderFrame(const BoardConfig& board, uint32_t frameNumber, std::vector<uint8_t>& out,
                 const SensorExposure& exposure = {});

/// Bytes of one frame of the stream (for JPG: the most a frame may hold, W x H x PB x 2).
size_t frameBytes(const StreamConfig& stream);

}  // namespace vexo::driver::virt
