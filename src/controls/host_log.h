// Texts the host hands to a controller's log callback.
#pragma once

#include <cstddef>
#include <lua.hpp>

struct Controller;

namespace vexo::controls {

/// Size of a formatted log line, terminator included; longer texts are cut.
constexpr size_t kLogLineBytes = 256;

/// Hands text to the controller's log callback, if it has one.
void logText(const Controller* controller, const char* text);

#ifdef __MINGW32__
// mingw-w64's C++ library formats with its own printf, which follows the C99 rules.
#define VEXO_PRINTF_FORMAT __MINGW_PRINTF_FORMAT
#else
#define VEXO_PRINTF_FORMAT printf
#endif
/// Formats a line (printf rules, cut to kLogLineBytes - 1 characters) and logs it.
void logFormat(const Controller* controller, const char* format, ...)
    __attribute__((format(VEXO_PRINTF_FORMAT, 2, 3)));

/// Logs the error value at idx of L. Error values need not be strings (error({}) is legal),
/// and the callback must never see a null text, so other values get a description.
/// Never raises: nothing here allocates inside Lua.
void logLuaError(const Controller* controller, lua_State* L, int idx);

}  // namespace vexo::controls
