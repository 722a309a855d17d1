// Drives a board model the way the virtual backend does: setup packets on endpoint 0 and
// bulk reads on endpoint 0x81.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "driver/virtual/board_model.h"

namespace vexo::test {

namespace virt = vexo::driver::virt;

class ModelBus {
  public:
    explicit ModelBus(const virt::BoardConfig& config = {});

    /// Vendor OUT request; true when the board acknowledged it.
    bool out(uint8_t request, uint16_t value = 0, uint16_t index = 0,
             std::vector<uint8_t> data = {});
    /// Vendor IN request; the reply, or none when stalled.
    std::optional<std::vector<uint8_t>> in(uint8_t request, uint16_t value, uint16_t index,
                                           uint16_t length);

    /// Board-controller register write (0xD7) and read (0xD6, value byte only).
    bool writeController(uint8_t reg, uint8_t value);
    uint8_t readController(uint8_t reg);

    /// One bulk read of `capacity` bytes: the bytes when it completed, else none (the board's
    /// answer is in last). After a Wait, the next call of the same size offers the same read.
    std::optional<std::vector<uint8_t>> read(uint32_t capacity);
    virt::BulkResult last;

    std::shared_ptr<virt::BoardModel> model;

  private:
    std::vector<uint8_t> buffer_;
};

}  // namespace vexo::test
