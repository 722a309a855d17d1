// USB descriptor tables of a virtual board.
//
// USB 3 board on a SuperSpeed link: bcdUSB 0x0300, bMaxPacketSize0 9, one vendor interface with
// bulk IN endpoint 0x81 of 1024 bytes and a SuperSpeed companion with bMaxBurst 15, and a BOS
// (USB 2.0 extension, SuperSpeed device capability, container id).
// USB 2 board: bcdUSB 0x0200, bMaxPacketSize0 64, bulk IN 0x81 of 512 bytes, no BOS.
// A USB 3 board on a high-speed link presents what such a device shows there: bcdUSB 0x0210,
// bMaxPacketSize0 64, bulk IN of 512 bytes without companion, and its BOS.
// Strings: 1 manufacturer, 2 product, 3 serial; language 0x0409.
//
// Threading: pure function.
#pragma once

#include "driver/virtual/board_config.h"
#include "driver/virtual/device_model.h"

namespace vexo::driver::virt {

inline constexpr uint8_t kBulkInEndpoint = 0x81;

/// The descriptor tables for `config` (which must have passed validateBoardConfig()).
DescriptorTables boardDescriptors(const BoardConfig& config);

}  // namespace vexo::driver::virt
