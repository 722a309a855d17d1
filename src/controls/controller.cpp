// Lifetime of a controller and the two calls that run scripts: register_ctrls and set_ctrl.
//
// Lua reports errors by longjmp and aborts the process (its panic) when one is raised
// outside a protected call. Every step that can raise, including plain global lookups and
// assignments (a script may put a raising metatable on _G), therefore runs inside
// lua_pcall, and every call restores the stack height it found.
#include "controls/controller.h"

#include <climits>
#include <cstring>
#include <new>

#include "controls/host_log.h"
#include "controls/script_functions.h"

namespace vexo::controls {

namespace {

int openState(lua_State* L) {
    luaL_openlibs(L);
    registerScriptFunctions(L);
    return 0;
}

// Length of a record's name: the field need not hold a terminator, and is not read past.
size_t recordNameLength(const CtrlRecord& record) {
    return strnlen(record.name, sizeof(record.name));
}

const CtrlRecord* findRecord(const Controller* controller, const char* name) {
    if (!controller->records) return nullptr;
    size_t length = std::strlen(name);
    for (uint32_t i = 0; i < controller->recordCount; ++i) {
        const CtrlRecord& record = controller->records[i];
        if (recordNameLength(record) == length && std::memcmp(record.name, name, length) == 0)
            return &record;
    }
    return nullptr;
}

int64_t clampToRecord(const CtrlRecord* record, int64_t value) {
    if (!record) return value;
    if (value < record->minValue) value = record->minValue;
    if (value > record->maxValue) value = record->maxValue;
    return value;
}

// What set_ctrl hands to its protected step, and what that step reports back.
struct ControlCall {
    Controller* controller;
    const char* name;
    int64_t value;
    bool notFunction;
};

int callControl(lua_State* L) {
    ControlCall* call = static_cast<ControlCall*>(lua_touserdata(L, 1));
    lua_pushlightuserdata(L, call->controller);
    lua_setglobal(L, "ctrl_state");
    if (lua_getglobal(L, call->name) != LUA_TFUNCTION) {
        call->notFunction = true;
        return 0;
    }
    // Controls receive a Lua float, as they always have: 255 arrives as 255.0.
    lua_pushnumber(L, static_cast<lua_Number>(call->value));
    lua_call(L, 1, 0);
    return 0;
}

}  // namespace

}  // namespace vexo::controls

using namespace vexo::controls;

extern "C" {

int init_controller(Controller** out, CtrlReadRegFn readRegFn, CtrlWriteRegFn writeRegFn,
                    CtrlVendorInFn vendorInFn, CtrlVendorOutFn vendorOutFn, CtrlLogFn logFn) {
    if (!out) return -1;
    *out = nullptr;

    Controller* controller = new (std::nothrow) Controller{};
    if (!controller) return -1;
    controller->readRegFn = readRegFn;
    controller->writeRegFn = writeRegFn;
    controller->vendorInFn = vendorInFn;
    controller->vendorOutFn = vendorOutFn;
    controller->logFn = logFn;

    lua_State* L = luaL_newstate();
    if (!L) {
        delete controller;
        return -1;
    }
    setOwner(L, controller);
    lua_pushcclosure(L, openState, 0);
    if (lua_pcall(L, 0, 0, 0) != LUA_OK) {
        logLuaError(controller, L, -1);
        lua_close(L);
        delete controller;
        return -1;
    }
    controller->scriptState = L;
    *out = controller;
    return 0;
}

int register_ctrls(Controller* controller, const CtrlRecord* records, uint32_t count) {
    if (!controller) return -1;
    controller->records = records;
    controller->recordCount = records ? count : 0;

    lua_State* L = controller->scriptState;
    int64_t failed = 0;
    for (uint32_t i = 0; i < controller->recordCount; ++i) {
        const CtrlRecord& record = records[i];
        if (!record.script) {
            logFormat(controller, "%.*s: no script\n", static_cast<int>(recordNameLength(record)),
                      record.name);
            ++failed;
            continue;
        }
        int top = lua_gettop(L);
        // Source text only: precompiled chunks are not checked by Lua and could corrupt
        // memory.
        int rc = luaL_loadbufferx(L, record.script, std::strlen(record.script), record.script, "t");
        if (rc == LUA_OK) rc = lua_pcall(L, 0, LUA_MULTRET, 0);
        if (rc != LUA_OK) {
            logLuaError(controller, L, -1);
            ++failed;
        }
        lua_settop(L, top);
    }
    return failed > -static_cast<int64_t>(INT_MIN) ? INT_MIN : static_cast<int>(-failed);
}

int set_ctrl(Controller* controller, const char* name, int64_t value, void* userData) {
    if (!controller) return -1;
    if (!name) {
        logText(controller, "set_ctrl: no control name\n");
        return -1;
    }
    controller->userData = userData;

    ControlCall call{controller, name, clampToRecord(findRecord(controller, name), value), false};
    lua_State* L = controller->scriptState;
    int top = lua_gettop(L);
    lua_pushcclosure(L, callControl, 0);
    lua_pushlightuserdata(L, &call);
    int result = 0;
    if (lua_pcall(L, 1, 0, 0) != LUA_OK) {
        logLuaError(controller, L, -1);
        result = -1;
    } else if (call.notFunction) {
        logFormat(controller, "%s not a function\n", name);
        result = -1;
    }
    lua_settop(L, top);
    return result;
}

void deinit_controller(Controller* controller) {
    if (!controller) return;
    if (controller->scriptState) lua_close(controller->scriptState);
    delete controller;
}

}  // extern "C"
