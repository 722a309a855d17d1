// The host's record behind the opaque Controller of vexo/controls.h.
#pragma once

#include <vexo/controls.h>

#include <cstdint>
#include <cstring>
#include <lua.hpp>

/// One set of controls and the Lua state their scripts run in. Fields in the order the
/// callers' documentation gives them. Not thread-safe: calls on one controller must not
/// overlap.
struct Controller {
    lua_State* scriptState;     // owned
    const CtrlRecord* records;  // borrowed from the last register_ctrls
    uint32_t recordCount;
    CtrlWriteRegFn writeRegFn;
    CtrlReadRegFn readRegFn;
    CtrlVendorInFn vendorInFn;
    CtrlVendorOutFn vendorOutFn;
    CtrlLogFn logFn;  // may be null
    void* userData;   // from the set_ctrl call that is running
};

namespace vexo::controls {

static_assert(LUA_EXTRASPACE >= sizeof(Controller*), "the owner must fit the state's extra space");

/// The controller that owns state L. It lives in the state's extra space rather than in a
/// Lua value, so no script can change it; coroutines inherit it from the main thread.
inline Controller* ownerOf(lua_State* L) {
    Controller* owner;
    std::memcpy(&owner, lua_getextraspace(L), sizeof(owner));
    return owner;
}

inline void setOwner(lua_State* L, Controller* owner) {
    std::memcpy(lua_getextraspace(L), &owner, sizeof(owner));
}

}  // namespace vexo::controls
