#include "controls_fixture.h"

namespace vexo::controls::test {
namespace {

using RegisterTest = ControlsTest;

TEST_F(RegisterTest, BrokenScriptBetweenTwoGoodOnesFailsAloneAndIsLogged) {
    addRecord("first", "function first(v) firstSeen = v end");
    addRecord("second", "function second(v) end end");
    addRecord("third", "function third(v) thirdSeen = v end");

    EXPECT_EQ(registerAdded(), -1);
    ASSERT_EQ(logLines().size(), 1u);
    EXPECT_NE(logLines()[0].find("<eof> expected near 'end'"), std::string::npos) << logLines()[0];

    EXPECT_EQ(typeOf("first"), "function");
    EXPECT_EQ(typeOf("second"), "nil");
    EXPECT_EQ(typeOf("third"), "function");
    EXPECT_EQ(set_ctrl(controller_, "third", 3, &board_), 0);
    EXPECT_EQ(number("thirdSeen"), 3.0);
}

TEST_F(RegisterTest, ResultCountsEveryFailureAndLeavesTheStackAsFound) {
    addRecord("a", "error('boom while loading')");
    addRecord("b", "return 1, 2, 3");  // results of a good chunk must not pile up either
    addRecord("c", "local x = ");
    addRecord("d", "d = 1");
    addRecord("e", "error({})");
    addRecord("f", "\x1bLua");  // precompiled chunks are not checked by Lua: refused

    EXPECT_EQ(registerAdded(), -4);
    ASSERT_EQ(logLines().size(), 4u);
    EXPECT_NE(logLines()[0].find("boom while loading"), std::string::npos);
    EXPECT_EQ(logLines()[2], "(error object is a table value)");
    EXPECT_NE(logLines()[3].find("binary chunk"), std::string::npos) << logLines()[3];
    EXPECT_EQ(number("d"), 1.0);
    EXPECT_EQ(lua_gettop(state()), 0);
}

TEST_F(RegisterTest, GlobalsSurviveALaterRegistrationWhichReplacesTheRecords) {
    addRecord("gain", "calls = 0 function gain(v) calls = calls + 1 seen = v end", 0, 10);
    ASSERT_EQ(registerAdded(), 0);
    EXPECT_EQ(set_ctrl(controller_, "gain", 500, &board_), 0);
    EXPECT_EQ(number("seen"), 10.0);

    addRecord("exposure", "function exposure(v) calls = calls + 100 end");
    ASSERT_EQ(registerAdded(), 0);

    // The first script's function and globals are still there, but its range went with
    // its record array.
    EXPECT_EQ(set_ctrl(controller_, "gain", 500, &board_), 0);
    EXPECT_EQ(number("seen"), 500.0);
    EXPECT_EQ(set_ctrl(controller_, "exposure", 1, &board_), 0);
    EXPECT_EQ(number("calls"), 102.0);
}

TEST_F(RegisterTest, MissingScriptOrArrayIsHandledWithoutTouchingMemory) {
    CtrlRecord array[2] = {};
    std::strcpy(array[0].name, "ghost");
    array[0].script = nullptr;
    std::strcpy(array[1].name, "real");
    array[1].script = "function real(v) seen = v end";
    array[1].maxValue = 1;

    EXPECT_EQ(register_ctrls(controller_, array, 2), -1);
    ASSERT_EQ(logLines().size(), 1u);
    EXPECT_EQ(logLines()[0], "ghost: no script\n");
    EXPECT_EQ(set_ctrl(controller_, "real", 9, &board_), 0);
    EXPECT_EQ(number("seen"), 1.0);

    // No array: nothing to run, and the earlier range no longer applies.
    EXPECT_EQ(register_ctrls(controller_, nullptr, 5), 0);
    EXPECT_EQ(set_ctrl(controller_, "real", 9, &board_), 0);
    EXPECT_EQ(number("seen"), 9.0);

    EXPECT_EQ(register_ctrls(nullptr, array, 2), -1);
}

TEST_F(RegisterTest, NameFillingTheWholeFieldIsReadNoFurther) {
    std::string longName(VEXO_CTRL_NAME_BYTES, 'x');
    CtrlRecord record{};
    record.minValue = 0;
    record.maxValue = 7;
    std::memcpy(record.name, longName.data(), sizeof(record.name));  // no terminator
    std::string script = "_G['" + longName + "'] = function(v) seen = v end";
    record.script = script.c_str();

    ASSERT_EQ(register_ctrls(controller_, &record, 1), 0);
    // The bytes after the field (the script pointer) are not part of the name: the full
    // 132-character name matches and is clamped.
    EXPECT_EQ(set_ctrl(controller_, longName.c_str(), 100, &board_), 0);
    EXPECT_EQ(number("seen"), 7.0);
}

}  // namespace
}  // namespace vexo::controls::test
