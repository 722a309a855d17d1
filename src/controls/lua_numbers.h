// Conversions between Lua numbers and the integer widths of the board callbacks.
#pragma once

#include <cstdint>
#include <limits>
#include <lua.hpp>

namespace vexo::controls {

/// Truncates toward zero. A plain cast is undefined for NaN and for values outside the
/// 64-bit range, and scripts can produce both (0/0, 1e300), so NaN gives 0 and the rest
/// saturate.
constexpr int64_t truncateToInt64(double d) {
    constexpr double kTwoTo63 = 9223372036854775808.0;
    if (d != d) return 0;
    if (d >= kTwoTo63) return std::numeric_limits<int64_t>::max();
    if (d < -kTwoTo63) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(d);
}

/// The Lua value at idx as an integer: converted to a number as Lua does (numeric strings
/// count, anything else is 0), then truncated. Narrowing the result to a smaller unsigned
/// width keeps its low bits, so -1 becomes 0xFFFFFFFF.
inline int64_t toInt64(lua_State* L, int idx) {
    return truncateToInt64(static_cast<double>(lua_tonumberx(L, idx, nullptr)));
}

inline uint32_t toUint32(lua_State* L, int idx) {
    return static_cast<uint32_t>(toInt64(L, idx));
}

}  // namespace vexo::controls
