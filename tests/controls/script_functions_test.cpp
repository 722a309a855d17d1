#include <tuple>

#include "controls_fixture.h"

namespace vexo::controls::test {
namespace {

using ScriptFunctionsTest = ControlsTest;

// What a vendor call asked for, besides its data: direction, request, value, index, length.
using CallSetup = std::tuple<bool, int, int, int, uint32_t>;
CallSetup setupOf(const VendorCall& call) {
    return {call.deviceToHost, call.request, call.value, call.index, call.length};
}

std::vector<uint8_t> padded(std::vector<uint8_t> bytes) {
    bytes.resize(VEXO_CTRL_DATA_BYTES, 0);
    return bytes;
}

TEST_F(ScriptFunctionsTest, GetVRReplacesTheTableWithTheBoardsBytes) {
    board_.reply = {9, 8, 7, 6, 5};
    board_.vendorStatus = USB_CAMERA_VR_COMMAND_ERROR;
    ASSERT_EQ(runControl("data = {0, 0, 0, 0} status = GetVR(0xD8, 0x4600, 0x0100, 4, data) "
                         "short = {0, 0} GetVR(1, 0, 0, 4, short)"),
              0);

    EXPECT_EQ(number("status"), 0xFF03);
    EXPECT_EQ(eval("#data"), 4);
    EXPECT_EQ(eval("data[1] * 1000 + data[2] * 100 + data[3] * 10 + data[4]"), 9876);
    EXPECT_EQ(eval("#short * 100 + short[1] * 10 + short[2]"), 298);  // filled, never grown
    ASSERT_EQ(board_.vendorCalls.size(), 2u);
    EXPECT_EQ(setupOf(board_.vendorCalls[0]), (CallSetup{true, 0xD8, 0x4600, 0x0100, 4}));
}

TEST_F(ScriptFunctionsTest, SendVRNarrowsItsArgumentsAndSendsTheTableBytes) {
    board_.vendorStatus = 0xFFFFFFFF;
    ASSERT_EQ(runControl("status = SendVR(0x1D7, 0x12345, -1, 3.9, {1, 258, -1, 'x'})"), 0);

    EXPECT_EQ(number("status"), 4294967295.0);  // unsigned for vendor requests
    ASSERT_EQ(board_.vendorCalls.size(), 1u);
    EXPECT_EQ(setupOf(board_.vendorCalls[0]), (CallSetup{false, 0xD7, 0x2345, 0xFFFF, 3}));
    EXPECT_EQ(board_.vendorCalls[0].data, padded({1, 2, 0xFF, 0}));
}

TEST_F(ScriptFunctionsTest, FifthArgumentOtherThanATableIsRefusedOnStandardError) {
    testing::internal::CaptureStderr();
    ASSERT_EQ(runControl("sent = SendVR(1, 2, 3, 1, 5) got = GetVR(1, 2, 3, 1)"), 0);
    std::string err = testing::internal::GetCapturedStderr();

    EXPECT_EQ(number("sent"), -1.0);
    EXPECT_EQ(number("got"), -1.0);
    EXPECT_EQ(err,
              "SensorVR: The fifth parameter is not a table.\n"
              "SensorVR: The fifth parameter is not a table.\n");
    EXPECT_TRUE(board_.vendorCalls.empty());
}

TEST_F(ScriptFunctionsTest, DataBeyondSixteenBytesIsRefusedAndLogged) {
    ASSERT_EQ(runControl(R"(
        big = {} for i = 1, 17 do big[i] = i end
        bigSent = SendVR(1, 0, 0, 16, big)
        bigGot = GetVR(1, 0, 0, 16, big)
        longSent = SendVR(1, 0, 0, 17, {1})
        negativeGot = GetVR(1, 0, 0, -1, {1})
        wrappedSent = SendVR(1, 0, 0, 2^32 + 4, {1})
    )"),
              0);

    for (const char* result : {"bigSent", "bigGot", "longSent", "negativeGot", "wrappedSent"})
        EXPECT_EQ(number(result), -1.0) << result;
    EXPECT_EQ(eval("big[17]"), 17);  // the refused GetVR left the table alone
    EXPECT_TRUE(board_.vendorCalls.empty());
    ASSERT_EQ(logLines().size(), 5u);
    EXPECT_EQ(logLines()[0], "SendVR: data table of 17 entries exceeds 16 bytes\n");
    EXPECT_EQ(logLines()[1], "GetVR: data table of 17 entries exceeds 16 bytes\n");
    EXPECT_EQ(logLines()[2], "SendVR: length 17 outside 0..16\n");
    EXPECT_EQ(logLines()[3], "GetVR: length -1 outside 0..16\n");
}

TEST_F(ScriptFunctionsTest, SixteenBytesFitExactly) {
    board_.reply.assign(16, 0xAB);
    ASSERT_EQ(runControl(R"(
        full = {} for i = 1, 16 do full[i] = i end
        sent = SendVR(1, 0, 0, 16, full)
        got = GetVR(2, 0, 0, 16, full)
    )"),
              0);
    EXPECT_EQ(number("sent"), 0.0);
    EXPECT_EQ(number("got"), 0.0);
    ASSERT_EQ(board_.vendorCalls.size(), 2u);
    EXPECT_EQ(board_.vendorCalls[0].data,
              std::vector<uint8_t>({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}));
    EXPECT_EQ(eval("full[1] + full[16]"), 2 * 0xAB);
    EXPECT_TRUE(logLines().empty());
}

TEST_F(ScriptFunctionsTest, RegisterFunctionsReportSignedStatusAndUnsignedValue) {
    board_.regStatus = static_cast<uint32_t>(-5);
    board_.readValue = 0xFFFFFFFF;
    ASSERT_EQ(runControl("wrote = writeReg(0x3012, 0x1234) st, val = readReg(0x3012)"), 0);

    EXPECT_EQ(number("wrote"), -5.0);
    EXPECT_EQ(number("st"), -5.0);
    EXPECT_EQ(number("val"), 4294967295.0);
    ASSERT_EQ(board_.regCalls.size(), 2u);
    EXPECT_TRUE(board_.regCalls[0].write);
    EXPECT_EQ(board_.regCalls[0].reg, 0x3012u);
    EXPECT_EQ(board_.regCalls[0].value, 0x1234u);
    EXPECT_FALSE(board_.regCalls[1].write);
}

TEST_F(ScriptFunctionsTest, ArgumentsConvertByTruncationWithoutUndefinedBehaviour) {
    ASSERT_EQ(runControl(R"(
        writeReg(-1, 0/0)
        writeReg(1e300, -1e300)
        writeReg(-2.9, 2.9)
        writeReg('abc', nil)
        writeReg('0x10', ' 17 ')
        writeReg(math.huge, -math.huge)
        writeReg(2^63, -2^63)
        writeReg(2^63 - 1024, 0)
        writeReg()
    )"),
              0);

    std::vector<std::pair<uint32_t, uint32_t>> seen;
    for (const RegCall& call : board_.regCalls) seen.emplace_back(call.reg, call.value);
    std::vector<std::pair<uint32_t, uint32_t>> expected = {
        {0xFFFFFFFF, 0},  // -1 wraps after 64-bit truncation; NaN is 0
        {0xFFFFFFFF, 0},  // saturated to the 64-bit limits, then narrowed
        {0xFFFFFFFE, 2},  // toward zero
        {0, 0},           // not numbers
        {16, 17},         // numeric strings count
        {0xFFFFFFFF, 0},  // infinities saturate too
        {0xFFFFFFFF, 0},  // 2^63 is already out of range
        {0xFFFFFC00, 0},  // the largest double below it is not
        {0, 0},           // missing
    };
    EXPECT_EQ(seen, expected);
}

TEST_F(ScriptFunctionsTest, MissingCallbacksGiveStatusZero) {
    Controller* bare = nullptr;
    ASSERT_EQ(init_controller(&bare, nullptr, nullptr, nullptr, nullptr, nullptr), 0);
    CtrlRecord record{};
    std::strcpy(record.name, "t");
    record.script = R"(function t(v)
        a = writeReg(1, 1) b, c = readReg(1) d = SendVR(1, 0, 0, 1, {1}) e = GetVR(1, 0, 0, 1, {7})
        f = SendVR(1, 0, 0, 99, {1})
        error('no log callback to see this')
    end)";
    ASSERT_EQ(register_ctrls(bare, &record, 1), 0);
    EXPECT_EQ(set_ctrl(bare, "t", 0, &board_), -1);
    lua_State* L = bare->scriptState;
    ASSERT_EQ(luaL_dostring(L, "return a + b + c + d + e, f"), LUA_OK);
    EXPECT_EQ(lua_tonumberx(L, -2, nullptr), 0.0);
    EXPECT_EQ(lua_tonumberx(L, -1, nullptr), -1.0);
    deinit_controller(bare);
    deinit_controller(nullptr);
    EXPECT_EQ(init_controller(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), -1);
}

}  // namespace
}  // namespace vexo::controls::test
