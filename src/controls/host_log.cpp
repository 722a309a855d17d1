#include "controls/host_log.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>

#include "controls/controller.h"

namespace vexo::controls {

void logText(const Controller* controller, const char* text) {
    if (controller && controller->logFn) controller->logFn(text);
}

void logFormat(const Controller* controller, const char* format, ...) {
    if (!controller || !controller->logFn) return;
    char line[kLogLineBytes];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    controller->logFn(line);
}

void logLuaError(const Controller* controller, lua_State* L, int idx) {
    // lua_tolstring would turn a number into a string in place, which allocates and so may
    // raise outside any protected call; numbers are formatted here instead.
    switch (lua_type(L, idx)) {
        case LUA_TSTRING:
            logText(controller, lua_tolstring(L, idx, nullptr));
            break;
        case LUA_TNUMBER:
            if (lua_isinteger(L, idx))
                logFormat(controller, "%" PRId64,
                          static_cast<int64_t>(lua_tointegerx(L, idx, nullptr)));
            else
                logFormat(controller, "%.14g", static_cast<double>(lua_tonumberx(L, idx, nullptr)));
            break;
        default:
            logFormat(controller, "(error object is a %s value)",
                      lua_typename(L, lua_type(L, idx)));
            break;
    }
}

}  // namespace vexo::controls
