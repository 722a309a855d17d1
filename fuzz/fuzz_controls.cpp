/*
 * Hostile control records and scripts: arbitrary names (terminated or not), ranges, values
 * and script text, built partly from fragments that reach the script functions, so that
 * the fuzzer gets past the parser. The board callbacks abort when handed more than the
 * 16-byte buffer allows; ASan watches every byte the host touches.
 *
 * Scripts are confined here, not in the host: the file, process and loading functions are
 * removed, instructions and memory are budgeted, and the slow string functions are gone,
 * so an input can neither touch the machine nor run forever.
 */
#include <fuzzer/FuzzedDataProvider.h>
#include <vexo/controls.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "controls/controller.h"

namespace {

constexpr int kInstructionsPerHook = 1000;
constexpr int kHooksPerRun = 200;
constexpr int64_t kMemoryLimit = 32 << 20;

int hooksLeft = 0;

void countHook(lua_State* L, lua_Debug*) {
    if (--hooksLeft < 0) luaL_error(L, "instruction budget spent");
}

int64_t memoryUsed = 0;

void* limitedAlloc(void*, void* ptr, size_t osize, size_t nsize) {
    int64_t old = ptr ? static_cast<int64_t>(osize) : 0;
    if (nsize == 0) {
        std::free(ptr);
        memoryUsed -= old;
        return nullptr;
    }
    if (static_cast<int64_t>(nsize) > old &&
        memoryUsed + static_cast<int64_t>(nsize) - old > kMemoryLimit)
        return nullptr;
    void* block = std::realloc(ptr, nsize);
    if (block) memoryUsed += static_cast<int64_t>(nsize) - old;
    return block;
}

constexpr const char* kSandbox = R"(
    os, io, package, require, debug, dofile, loadfile, load, print = nil
    string.dump, string.rep, string.find, string.match, string.gmatch, string.gsub = nil
)";

void checkBuffer(uint32_t length, const uint8_t* data) {
    if (!data || length > VEXO_CTRL_DATA_BYTES) std::abort();
}

uint32_t readReg(uint32_t reg, uint32_t* value, void*) {
    *value = reg * 3;
    return reg & 1 ? 0xFF0Cu : 0;
}

uint32_t writeReg(uint32_t reg, uint32_t value, void*) {
    return (reg ^ value) & 0x100 ? 0xFF0Du : 0;
}

uint32_t vendorIn(uint8_t request, uint16_t, uint16_t, uint32_t length, uint8_t* data, void*) {
    checkBuffer(length, data);
    for (uint32_t i = 0; i < length; ++i) data[i] = static_cast<uint8_t>(request + i);
    return request & 1 ? 0xFF03u : 0;
}

uint32_t vendorOut(uint8_t request, uint16_t, uint16_t, uint32_t length, uint8_t* data, void*) {
    checkBuffer(length, data);
    uint32_t sum = 0;
    for (uint32_t i = 0; i < length; ++i) sum += data[i];
    return (sum + request) & 1 ? 0xFF03u : 0;
}

int logText(const char* text) {
    if (!text) std::abort();
    volatile size_t length = std::strlen(text);
    (void)length;
    return 0;
}

const char* const kNames[] = {"f", "gain", "exposure", "t", "", "ctrl_state", "SendVR", "_G"};

const char* const kFragments[] = {
    "function f(v)",
    "function gain(v)",
    "end",
    "SendVR(",
    "GetVR(",
    "writeReg(",
    "readReg(",
    ")",
    ",",
    "{",
    "}",
    "=",
    "local t = {0, 0, 0, 0}",
    "t",
    "v",
    "1",
    "-1",
    "0/0",
    "1e300",
    "-1e300",
    "2^53",
    "2^32 + 4",
    "16",
    "17",
    "'x'",
    "nil",
    "math.huge",
    "for i = 1, 20 do t[i] = i end",
    "error('x')",
    "error({})",
    "error(1.5)",
    "ctrl_state = nil",
    "ctrl_state = {}",
    "ctrl_state = io",
    "return 1, 2, 3",
    "setmetatable(_G, {__index = function() error('g') end})",
    "setmetatable(_G, {__newindex = function() error('n') end})",
    "coroutine.wrap(function() SendVR(1, 2, 3, 4, {}) end)()",
    "function f(v) local t = {v, v, v} return GetVR(v, v, v, #t, t) end",
    "function gain(v) return SendVR(0xD7, v, v, 16, {v, v, v, v}) end",
    "function exposure(v) local s, r = readReg(v) writeReg(r, s) end",
    "while true do end",
    "pcall(",
    "select('#', readReg(1))",
    "collectgarbage()",
};

std::string script(FuzzedDataProvider& in) {
    std::string text;
    int tokens = in.ConsumeIntegralInRange(0, 24);
    for (int i = 0; i < tokens && in.remaining_bytes(); ++i) {
        if (in.ConsumeBool())
            text += kFragments[in.ConsumeIntegralInRange<size_t>(0, std::size(kFragments) - 1)];
        else
            text += in.ConsumeRandomLengthString(24);
        text += ' ';
    }
    return text;
}

std::string name(FuzzedDataProvider& in) {
    if (in.ConsumeBool())
        return kNames[in.ConsumeIntegralInRange<size_t>(0, std::size(kNames) - 1)];
    return in.ConsumeRandomLengthString(VEXO_CTRL_NAME_BYTES + 8);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    FuzzedDataProvider in(bytes, size);
    Controller* controller = nullptr;
    if (init_controller(&controller, readReg, writeReg, vendorIn, vendorOut, logText) != 0)
        std::abort();
    lua_State* L = controller->scriptState;
    memoryUsed = 0;
    lua_setallocf(L, limitedAlloc, nullptr);
    if (luaL_dostring(L, kSandbox) != LUA_OK) std::abort();
    lua_sethook(L, countHook, LUA_MASKCOUNT, kInstructionsPerHook);

    uint32_t count = in.ConsumeIntegralInRange<uint32_t>(0, 4);
    std::vector<CtrlRecord> records(count);
    std::vector<std::string> scripts(count);
    for (uint32_t i = 0; i < count; ++i) {
        CtrlRecord& record = records[i];
        record.minValue = in.ConsumeIntegral<int64_t>();
        record.maxValue = in.ConsumeIntegral<int64_t>();
        std::string recordName = name(in);
        // Names may fill the whole field without a terminator.
        std::memcpy(record.name, recordName.data(),
                    std::min(recordName.size(), sizeof(record.name)));
        scripts[i] = script(in);
        record.script = in.ConsumeIntegralInRange(0, 15) ? scripts[i].c_str() : nullptr;
    }

    int top = lua_gettop(L);
    hooksLeft = kHooksPerRun;
    int failed = register_ctrls(controller, records.data(), count);
    if (failed > 0 || failed < -static_cast<int>(count)) std::abort();

    int calls = in.ConsumeIntegralInRange(0, 8);
    for (int i = 0; i < calls && in.remaining_bytes(); ++i) {
        hooksLeft = kHooksPerRun;
        if (in.ConsumeIntegralInRange(0, 7) == 0) {
            uint32_t again = in.ConsumeIntegralInRange<uint32_t>(0, count);
            register_ctrls(controller, records.data(), again);
            continue;
        }
        std::string controlName = name(in);
        int result =
            set_ctrl(controller, controlName.c_str(), in.ConsumeIntegral<int64_t>(), &records);
        if (result != 0 && result != -1) std::abort();
    }
    if (lua_gettop(L) != top) std::abort();
    deinit_controller(controller);
    return 0;
}
