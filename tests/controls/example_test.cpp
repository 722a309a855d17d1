#include "controls_fixture.h"

namespace vexo::controls::test {
namespace {

// The example of docs/controls.md, kept in step with it.
constexpr const char* kExposureScript = R"(
-- Exposure in lines: registers 0x3501 (high byte) and 0x3502 (low byte).
exposureWrites = 0

function exposure(v)
    local lines = math.tointeger(v)          -- v arrives as a float: 100.0
    local hi, lo = lines >> 8, lines & 0xFF
    if writeReg(0x3501, hi) ~= 0 then error("exposure: high byte not written") end
    if writeReg(0x3502, lo) ~= 0 then error("exposure: low byte not written") end
    exposureWrites = exposureWrites + 1

    -- Read back what the sensor holds now.
    local status, value = readReg(0x3502)
    if status ~= 0 or value ~= lo then error("exposure: read back " .. value) end

    -- Ask the board for two status bytes (request 0xA5), then send them back (0xA6).
    local reply = {0, 0}
    if GetVR(0xA5, 0, 0, 2, reply) ~= 0 then error("exposure: board did not answer") end
    SendVR(0xA6, 0, 0, 2, reply)
end
)";

TEST_F(ControlsTest, DocumentedExampleProgramsTheSensorAndEchoesTheBoard) {
    addRecord("exposure", kExposureScript, 1, 0xFFFF);
    ASSERT_EQ(registerAdded(), 0);

    board_.readValue = 0xFF;
    board_.reply = {0x12, 0x34};
    EXPECT_EQ(set_ctrl(controller_, "exposure", 100000, &board_), 0)
        << (logLines().empty() ? "" : logLines().back());

    ASSERT_EQ(board_.regCalls.size(), 3u);
    EXPECT_EQ(board_.regCalls[0].reg, 0x3501u);
    EXPECT_EQ(board_.regCalls[0].value, 0xFFu);  // clamped to 0xFFFF
    EXPECT_EQ(board_.regCalls[1].value, 0xFFu);
    ASSERT_EQ(board_.vendorCalls.size(), 2u);
    EXPECT_EQ(board_.vendorCalls[1].request, 0xA6);
    EXPECT_EQ(board_.vendorCalls[1].data[0], 0x12);
    EXPECT_EQ(board_.vendorCalls[1].data[1], 0x34);

    // A sensor that reads back something else makes the control fail, with the reason logged.
    board_.readValue = 0;
    EXPECT_EQ(set_ctrl(controller_, "exposure", 0x0102, &board_), -1);
    ASSERT_FALSE(logLines().empty());
    EXPECT_NE(logLines().back().find("exposure: read back 0"), std::string::npos);
    EXPECT_EQ(number("exposureWrites"), 2.0);
}

}  // namespace
}  // namespace vexo::controls::test
