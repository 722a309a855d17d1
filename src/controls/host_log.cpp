#include "controls/host_log.h"

#include <cinttypes>
#include <clocale>
#include <cstdarg>
#include <cstdio>
#include <cstring>

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

namespace {

// A float as Lua's own tostring writes it: "%.14g", then ".0" (with the locale's decimal
// point, as Lua takes it) when that looks like an integer, so error(2.0) logs "2.0".
void logFloat(const Controller* controller, double value) {
    char text[64];
    const int n = std::snprintf(text, sizeof(text) - 2, "%.14g", value);
    if (n > 0 && static_cast<size_t>(n) < sizeof(text) - 2 &&
        text[std::strspn(text, "-0123456789")] == '\0') {
        text[n] = std::localeconv()->decimal_point[0];
        text[n + 1] = '0';
        text[n + 2] = '\0';
    }
    logText(controller, text);
}

}  // namespace

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
                logFloat(controller, static_cast<double>(lua_tonumberx(L, idx, nullptr)));
            break;
        default:
            logFormat(controller, "(error object is a %s value)",
                      lua_typename(L, lua_type(L, idx)));
            break;
    }
}

}  // namespace vexo::controls
