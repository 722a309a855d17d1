// The script functions run inside the Lua interpreter, which reports errors by longjmp:
// any Lua call below may leave the function without unwinding C++ frames, so the locals
// here are plain data only.
#include "controls/script_functions.h"

#include <cinttypes>
#include <cstdio>

#include "controls/controller.h"
#include "controls/host_log.h"
#include "controls/lua_numbers.h"

namespace vexo::controls {

namespace {

// The controller named by "ctrl_state", or null while it is not set. The global is a plain
// script value, so only the address of the controller owning this state is honoured: a
// script that stores anything else there (io.stdout is userdata too) must not make the host
// call through a foreign pointer.
Controller* currentController(lua_State* L) {
    lua_getglobal(L, "ctrl_state");
    void* named = lua_type(L, -1) == LUA_TLIGHTUSERDATA ? lua_touserdata(L, -1) : nullptr;
    lua_settop(L, -2);
    Controller* owner = ownerOf(L);
    return named && named == owner ? owner : nullptr;
}

// "SendVR" and "GetVR" (deviceToHost): request, value, index, length, data table. The
// callback gets a 16-byte buffer; a table or a length that would not fit is refused before
// anything is read or sent.
int vendorRequest(lua_State* L, bool deviceToHost) {
    const char* fn = deviceToHost ? "GetVR" : "SendVR";
    Controller* controller = currentController(L);
    uint32_t request = toUint32(L, 1);
    uint32_t value = toUint32(L, 2);
    uint32_t index = toUint32(L, 3);
    int64_t length = toInt64(L, 4);

    if (lua_type(L, 5) != LUA_TTABLE) {
        lua_pushnumber(L, -1);
        std::fputs("SensorVR: The fifth parameter is not a table.\n", stderr);
        return 1;
    }

    size_t count = lua_rawlen(L, 5);
    if (count > VEXO_CTRL_DATA_BYTES || length < 0 || length > VEXO_CTRL_DATA_BYTES) {
        if (count > VEXO_CTRL_DATA_BYTES)
            logFormat(ownerOf(L), "%s: data table of %zu entries exceeds %d bytes\n", fn, count,
                      VEXO_CTRL_DATA_BYTES);
        else
            logFormat(ownerOf(L), "%s: length %" PRId64 " outside 0..%d\n", fn, length,
                      VEXO_CTRL_DATA_BYTES);
        lua_pushnumber(L, -1);
        return 1;
    }

    uint8_t data[VEXO_CTRL_DATA_BYTES] = {};
    for (size_t i = 0; i < count; ++i) {
        lua_rawgeti(L, 5, static_cast<lua_Integer>(i + 1));
        data[i] = static_cast<uint8_t>(toInt64(L, -1));
        lua_settop(L, -2);
    }

    uint32_t status = 0;
    if (controller) {
        if (deviceToHost && controller->vendorInFn)
            status =
                controller->vendorInFn(static_cast<uint8_t>(request), static_cast<uint16_t>(value),
                                       static_cast<uint16_t>(index), static_cast<uint32_t>(length),
                                       data, controller->userData);
        else if (!deviceToHost && controller->vendorOutFn)
            status =
                controller->vendorOutFn(static_cast<uint8_t>(request), static_cast<uint16_t>(value),
                                        static_cast<uint16_t>(index), static_cast<uint32_t>(length),
                                        data, controller->userData);
    }

    if (deviceToHost) {
        // Only the entries the table had are replaced; the board's reply never grows it.
        for (size_t i = 0; i < count; ++i) {
            lua_pushnumber(L, data[i]);
            lua_rawseti(L, 5, static_cast<lua_Integer>(i + 1));
        }
    }

    lua_pushnumber(L, static_cast<lua_Number>(status));
    return 1;
}

int sendVR(lua_State* L) {
    return vendorRequest(L, false);
}

int getVR(lua_State* L) {
    return vendorRequest(L, true);
}

// "writeReg": register, value -> status (signed).
int writeReg(lua_State* L) {
    Controller* controller = currentController(L);
    uint32_t reg = toUint32(L, 1);
    uint32_t value = toUint32(L, 2);
    uint32_t status = 0;
    if (controller && controller->writeRegFn)
        status = controller->writeRegFn(reg, value, controller->userData);
    lua_pushnumber(L, static_cast<int32_t>(status));
    return 1;
}

// "readReg": register -> status (signed), value (unsigned).
int readReg(lua_State* L) {
    Controller* controller = currentController(L);
    uint32_t reg = toUint32(L, 1);
    uint32_t value = 0;
    uint32_t status = 0;
    if (controller && controller->readRegFn)
        status = controller->readRegFn(reg, &value, controller->userData);
    lua_pushnumber(L, static_cast<int32_t>(status));
    lua_pushnumber(L, value);
    return 2;
}

}  // namespace

void registerScriptFunctions(lua_State* L) {
    lua_pushcclosure(L, sendVR, 0);
    lua_setglobal(L, "SendVR");
    lua_pushcclosure(L, getVR, 0);
    lua_setglobal(L, "GetVR");
    lua_pushcclosure(L, writeReg, 0);
    lua_setglobal(L, "writeReg");
    lua_pushcclosure(L, readReg, 0);
    lua_setglobal(L, "readReg");
}

}  // namespace vexo::controls
