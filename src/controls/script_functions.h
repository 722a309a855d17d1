// The functions scripts use to reach the board: "SendVR", "GetVR", "writeReg", "readReg".
#pragma once

#include <lua.hpp>

namespace vexo::controls {

/// Makes the four functions globals of L. Raises a Lua error when memory runs out, so it
/// runs under a protected call.
void registerScriptFunctions(lua_State* L);

}  // namespace vexo::controls
