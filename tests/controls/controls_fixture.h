// A controller wired to a recording board, and helpers to run real scripts on it.
#pragma once

#include <gtest/gtest.h>
#include <vexo/controls.h>

#include <cstdint>
#include <cstring>
#include <deque>
#include <limits>
#include <string>
#include <vector>

#include "controls/controller.h"

namespace vexo::controls::test {

struct VendorCall {
    bool deviceToHost;
    uint8_t request;
    uint16_t value;
    uint16_t index;
    uint32_t length;
    std::vector<uint8_t> data;  // the whole 16-byte buffer as the callback saw it
};

struct RegCall {
    bool write;
    uint32_t reg;
    uint32_t value;
};

/// What the callbacks saw; set_ctrl hands its address on as userData.
struct Board {
    std::vector<VendorCall> vendorCalls;
    std::vector<RegCall> regCalls;
    uint32_t vendorStatus = 0;
    uint32_t regStatus = 0;
    uint32_t readValue = 0;
    std::vector<uint8_t> reply;  // bytes a device-to-host request delivers
};

class ControlsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        logLines().clear();
        strayCalls() = 0;
        ASSERT_EQ(init_controller(&controller_, readReg, writeReg, vendorIn, vendorOut, logLine),
                  0);
        ASSERT_NE(controller_, nullptr);
    }

    void TearDown() override { deinit_controller(controller_); }

    static std::vector<std::string>& logLines() {
        static std::vector<std::string> lines;
        return lines;
    }

    /// Callbacks reached without a Board: must never happen.
    static int& strayCalls() {
        static int calls = 0;
        return calls;
    }

    /// A record kept alive for the whole test, as the host borrows it.
    CtrlRecord& addRecord(const std::string& name, const std::string& script,
                          int64_t minValue = std::numeric_limits<int64_t>::min(),
                          int64_t maxValue = std::numeric_limits<int64_t>::max()) {
        scripts_.push_back(script);
        CtrlRecord record{};
        record.minValue = minValue;
        record.maxValue = maxValue;
        std::strncpy(record.name, name.c_str(), sizeof(record.name) - 1);
        record.script = scripts_.back().c_str();
        batch_.push_back(record);
        return batch_.back();
    }

    /// Registers the records added since the last call, as one array.
    int registerAdded() {
        arrays_.push_back(std::move(batch_));
        batch_.clear();
        auto& array = arrays_.back();
        return register_ctrls(controller_, array.data(), static_cast<uint32_t>(array.size()));
    }

    /// Registers a control "t" whose function has the given body, and sets it once.
    int runControl(const std::string& body, int64_t value = 0) {
        addRecord("t", "function t(v) " + body + " end");
        EXPECT_EQ(registerAdded(), 0);
        return set_ctrl(controller_, "t", value, &board_);
    }

    lua_State* state() { return controller_->scriptState; }

    std::string typeOf(const char* global) {
        lua_getglobal(state(), global);
        std::string type = lua_typename(state(), lua_type(state(), -1));
        lua_pop(state(), 1);
        return type;
    }

    double number(const char* global) {
        lua_getglobal(state(), global);
        EXPECT_EQ(lua_type(state(), -1), LUA_TNUMBER) << global;
        double value = lua_tonumberx(state(), -1, nullptr);
        lua_pop(state(), 1);
        return value;
    }

    /// Evaluates a Lua expression in the controller's state, as a number.
    double eval(const std::string& expression) {
        std::string chunk = "return " + expression;
        EXPECT_EQ(luaL_loadstring(state(), chunk.c_str()), LUA_OK) << expression;
        EXPECT_EQ(lua_pcall(state(), 0, 1, 0), LUA_OK) << expression;
        double value = lua_tonumberx(state(), -1, nullptr);
        lua_pop(state(), 1);
        return value;
    }

    Controller* controller_ = nullptr;
    Board board_;

  private:
    static int logLine(const char* text) {
        logLines().emplace_back(text ? text : "<null>");
        return 0;
    }

    static Board* boardOf(void* userData) {
        if (!userData) ++strayCalls();
        return static_cast<Board*>(userData);
    }

    static uint32_t readReg(uint32_t reg, uint32_t* value, void* userData) {
        Board* board = boardOf(userData);
        if (!board) return 0;
        board->regCalls.push_back({false, reg, 0});
        *value = board->readValue;
        return board->regStatus;
    }

    static uint32_t writeReg(uint32_t reg, uint32_t value, void* userData) {
        Board* board = boardOf(userData);
        if (!board) return 0;
        board->regCalls.push_back({true, reg, value});
        return board->regStatus;
    }

    static uint32_t vendor(bool deviceToHost, uint8_t request, uint16_t value, uint16_t index,
                           uint32_t length, uint8_t* data, void* userData) {
        Board* board = boardOf(userData);
        if (!board) return 0;
        board->vendorCalls.push_back({deviceToHost, request, value, index, length,
                                      std::vector<uint8_t>(data, data + VEXO_CTRL_DATA_BYTES)});
        if (deviceToHost)
            for (size_t i = 0; i < board->reply.size() && i < length; ++i)
                data[i] = board->reply[i];
        return board->vendorStatus;
    }

    static uint32_t vendorIn(uint8_t request, uint16_t value, uint16_t index, uint32_t length,
                             uint8_t* data, void* userData) {
        return vendor(true, request, value, index, length, data, userData);
    }

    static uint32_t vendorOut(uint8_t request, uint16_t value, uint16_t index, uint32_t length,
                              uint8_t* data, void* userData) {
        return vendor(false, request, value, index, length, data, userData);
    }

    std::deque<std::string> scripts_;
    std::vector<CtrlRecord> batch_;
    std::deque<std::vector<CtrlRecord>> arrays_;
};

}  // namespace vexo::controls::test
