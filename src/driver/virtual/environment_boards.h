// The virtual backend's configuration: the boards VEXO_VIRTUAL_BOARDS describes.
//
// The backend reads the variable itself before every enumeration and open, so a program sees
// the boards of the value it set last at its next scan or open; nothing above the driver
// service configures the bus.
//
// Threading: may be called from any thread.
#pragma once

namespace vexo::driver::virt {

/// Puts the boards VEXO_VIRTUAL_BOARDS describes on the bus: "1" gives one default board, "0"
/// or nothing none; text starting with '{' is the JSON itself; anything else is a path to a
/// JSON file. The variable is read at every call; when its value differs from the one read
/// last, the boards of the old value leave the bus and those of the new one join it. A
/// malformed document adds no board and prints one line naming the key on stderr.
/// Returns whether boards of the current value are on the bus.
bool loadBoardsFromEnvironment();

}  // namespace vexo::driver::virt
