// What the engine makes of the board besides its sensor: the board and link types
// getUsbType() reports. The wire names (requests, board-controller registers and values,
// product ids) come from the board protocol, which the virtual board serves from the same
// header.
#pragma once

#include <cstdint>

#include "common/board_protocol.h"

namespace vexo::camera {

// Every engine file speaks the board protocol; its names are the engine's own.
using namespace vexo::board;

/// Board types, by the product id of the board's USB controller.
enum BoardType : uint8_t {
    kBoardTypeOther = 1,
    kBoardTypeUsb2 = 2,  ///< products kProductUsb2 and kProductUsb2Alternate
    kBoardTypeUsb3 = 3,  ///< products kProductUsb3 and kProductUsb3Trailer
};

/// Link types: the speed the board's link runs at.
enum LinkType : uint8_t {
    kLinkHighSpeed = 2,
    kLinkSuperSpeed = 3,
};

}  // namespace vexo::camera
