#include "controls_fixture.h"

namespace vexo::controls::test {
namespace {

using SetCtrlTest = ControlsTest;

TEST_F(SetCtrlTest, ClampingFollowsTheRecordRange) {
    addRecord("gain", "function gain(v) seen = v end", 0, 255);
    addRecord("gain", "function gain2(v) end", 0, 1);  // a later record of the same name
    addRecord("odd", "function odd(v) seen = v end", 50, 10);
    addRecord("other", "function free(v) seen = v end", 0, 1);
    ASSERT_EQ(registerAdded(), 0);

    struct Case {
        const char* name;
        int64_t value;
        double expected;
    } cases[] = {
        {"gain", 500, 255},
        {"gain", -7, 0},
        {"gain", 128, 128},
        {"odd", 0, 10},
        {"odd", 1000, 10},
        {"odd", 30, 10},
        {"free", -123456, -123456},  // no record carries "free"
        {"gain", std::numeric_limits<int64_t>::min(), 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(set_ctrl(controller_, c.name, c.value, &board_), 0) << c.name;
        EXPECT_EQ(number("seen"), c.expected) << c.name << " " << c.value;
    }
    EXPECT_TRUE(logLines().empty());
}

TEST_F(SetCtrlTest, ValueArrivesAsALuaFloat) {
    EXPECT_EQ(runControl("kind = math.type(v) seen = v", 255), 0);
    EXPECT_EQ(typeOf("kind"), "string");
    lua_getglobal(state(), "kind");
    EXPECT_STREQ(lua_tostring(state(), -1), "float");
    lua_pop(state(), 1);
    EXPECT_EQ(number("seen"), 255.0);

    // Beyond 2^53 the double cannot hold every integer.
    EXPECT_EQ(set_ctrl(controller_, "t", (int64_t{1} << 53) + 1, &board_), 0);
    EXPECT_EQ(number("seen"), 9007199254740992.0);
}

TEST_F(SetCtrlTest, NameWithoutAFunctionIsLoggedAndFails) {
    addRecord("notfn", "notfn = 5");
    ASSERT_EQ(registerAdded(), 0);

    EXPECT_EQ(set_ctrl(controller_, "absent", 1, &board_), -1);
    EXPECT_EQ(set_ctrl(controller_, "notfn", 1, &board_), -1);
    std::string longName(300, 'n');
    EXPECT_EQ(set_ctrl(controller_, longName.c_str(), 1, &board_), -1);
    EXPECT_EQ(set_ctrl(controller_, nullptr, 1, &board_), -1);
    EXPECT_EQ(set_ctrl(nullptr, "absent", 1, &board_), -1);

    ASSERT_EQ(logLines().size(), 4u);
    EXPECT_EQ(logLines()[0], "absent not a function\n");
    EXPECT_EQ(logLines()[1], "notfn not a function\n");
    EXPECT_EQ(logLines()[2], std::string(255, 'n'));  // cut to the 256-byte line
    EXPECT_EQ(lua_gettop(state()), 0);
}

TEST_F(SetCtrlTest, RaisingControlIsLoggedWithItsErrorValue) {
    addRecord("text", "function text(v) error('gain out of order') end");
    addRecord("num", "function num(v) error(42) end");
    addRecord("float", "function float(v) error(0.5) end");
    addRecord("tab", "function tab(v) error(setmetatable({}, {__tostring = error})) end");
    ASSERT_EQ(registerAdded(), 0);

    for (const char* name : {"text", "num", "float", "tab"})
        EXPECT_EQ(set_ctrl(controller_, name, 1, &board_), -1) << name;

    ASSERT_EQ(logLines().size(), 4u);
    EXPECT_NE(logLines()[0].find("gain out of order"), std::string::npos) << logLines()[0];
    EXPECT_EQ(logLines()[1], "42");
    EXPECT_EQ(logLines()[2], "0.5");
    EXPECT_EQ(logLines()[3], "(error object is a table value)");
}

TEST_F(SetCtrlTest, NumbersRaisedAreLoggedAsLuaWritesThem) {
    // Floats keep their ".0" ("2" was logged for error(2.0)); the text is whatever Lua's
    // own tostring gives, taken from a state of its own.
    const char* values[] = {"2.0", "-0.0", "2^53", "1e100",
                            "-3",  "1/3",  "1/0",  "0x7fffffffffffffff"};
    lua_State* lua = luaL_newstate();
    luaL_openlibs(lua);
    for (const char* value : values) {
        logLines().clear();
        addRecord("raise", std::string("function raise(v) error(") + value + ") end");
        ASSERT_EQ(registerAdded(), 0);
        EXPECT_EQ(set_ctrl(controller_, "raise", 1, &board_), -1) << value;
        ASSERT_EQ(luaL_dostring(lua, (std::string("return tostring(") + value + ")").c_str()),
                  LUA_OK);
        ASSERT_EQ(logLines().size(), 1u) << value;
        EXPECT_EQ(logLines()[0], lua_tostring(lua, -1)) << value;
        lua_pop(lua, 1);
    }
    lua_close(lua);
}

TEST_F(SetCtrlTest, RaisingMetatableOnGlobalsCannotAbortTheProcess) {
    addRecord("lock", R"(
        function lock(v)
            ctrl_state = nil
            setmetatable(_G, {
                __index = function(_, k) error("no global " .. k) end,
                __newindex = function(_, k) error("frozen " .. k) end })
        end)");
    ASSERT_EQ(registerAdded(), 0);
    ASSERT_EQ(set_ctrl(controller_, "lock", 0, &board_), 0);

    // Storing "ctrl_state" now raises, before any lookup.
    EXPECT_EQ(set_ctrl(controller_, "absent", 0, &board_), -1);
    ASSERT_EQ(logLines().size(), 1u);
    EXPECT_NE(logLines()[0].find("frozen ctrl_state"), std::string::npos) << logLines()[0];
    EXPECT_EQ(lua_gettop(state()), 0);

    // Lifting only __newindex leaves the lookup of an absent name raising.
    ASSERT_EQ(luaL_dostring(state(), "getmetatable(_G).__newindex = nil"), LUA_OK);
    EXPECT_EQ(set_ctrl(controller_, "absent", 0, &board_), -1);
    ASSERT_EQ(logLines().size(), 2u);
    EXPECT_NE(logLines()[1].find("no global absent"), std::string::npos) << logLines()[1];
    EXPECT_EQ(set_ctrl(controller_, "lock", 0, &board_), 0);
}

TEST_F(SetCtrlTest, StackHeightHoldsOverAHundredThousandFailingCalls) {
    addRecord("raise", "function raise(v) error('no') end");
    addRecord("notfn", "notfn = {}");
    addRecord("ok", "function ok(v) return v, v, v end");
    ASSERT_EQ(registerAdded(), 0);
    int top = lua_gettop(state());

    int failures = 0;
    for (int i = 0; i < 100000; ++i) {
        const char* name = i % 3 == 0 ? "raise" : i % 3 == 1 ? "notfn" : "absent";
        failures += set_ctrl(controller_, name, i, &board_) == -1;
        if (i % 1000 == 0) logLines().clear();
    }
    EXPECT_EQ(failures, 100000);
    EXPECT_EQ(set_ctrl(controller_, "ok", 1, &board_), 0);
    EXPECT_EQ(lua_gettop(state()), top);
}

TEST_F(SetCtrlTest, CallbacksGetTheUserDataOfTheRunningCall) {
    addRecord("w", "function w(v) status = writeReg(v, v + 1) end");
    ASSERT_EQ(registerAdded(), 0);
    EXPECT_EQ(typeOf("ctrl_state"), "nil");

    Board other;
    board_.regStatus = 7;
    EXPECT_EQ(set_ctrl(controller_, "w", 1, &board_), 0);
    EXPECT_EQ(set_ctrl(controller_, "w", 2, &other), 0);
    EXPECT_EQ(number("status"), 0.0);  // other's status

    ASSERT_EQ(board_.regCalls.size(), 1u);
    EXPECT_EQ(board_.regCalls[0].reg, 1u);
    EXPECT_EQ(board_.regCalls[0].value, 2u);
    ASSERT_EQ(other.regCalls.size(), 1u);
    EXPECT_EQ(other.regCalls[0].reg, 2u);

    lua_getglobal(state(), "ctrl_state");
    EXPECT_EQ(lua_type(state(), -1), LUA_TLIGHTUSERDATA);
    EXPECT_EQ(lua_touserdata(state(), -1), controller_);
    lua_pop(state(), 1);
}

TEST_F(SetCtrlTest, ScriptFunctionsDoNothingUntilCtrlStateNamesThisController) {
    // At load time no set_ctrl has run: the board is not reached and the status is 0.
    addRecord("t", R"(
        loadStatus = SendVR(1, 2, 3, 1, {5})
        loadRead, loadValue = readReg(4)
        function t(v)
            ctrl_state = io.stdout
            forged = writeReg(1, 1)
            forgedRead, forgedValue = readReg(1)
            forgedVR = GetVR(1, 0, 0, 1, {0})
        end)");
    ASSERT_EQ(registerAdded(), 0);
    EXPECT_EQ(number("loadStatus"), 0.0);
    EXPECT_EQ(number("loadRead"), 0.0);
    EXPECT_EQ(number("loadValue"), 0.0);

    // A script that points ctrl_state elsewhere gets the same treatment.
    board_.regStatus = 9;
    board_.vendorStatus = 9;
    EXPECT_EQ(set_ctrl(controller_, "t", 0, &board_), 0);
    EXPECT_EQ(number("forged"), 0.0);
    EXPECT_EQ(number("forgedRead"), 0.0);
    EXPECT_EQ(number("forgedVR"), 0.0);
    EXPECT_TRUE(board_.regCalls.empty());
    EXPECT_TRUE(board_.vendorCalls.empty());
    EXPECT_EQ(strayCalls(), 0);
}

}  // namespace
}  // namespace vexo::controls::test
