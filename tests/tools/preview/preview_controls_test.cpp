// The preview's named controls against the board and against `vexo ctrl`: settings made through
// the API leave the register bytes the camera file's fields say, and the preview then lists
// exactly what `vexo ctrl --set ... --json` lists for the same settings on a fresh board.
#include <vexo/camera.h>

#include <nlohmann/json.hpp>
#include <utility>
#include <vector>

#include "tools/preview/preview_fixture.h"
#include "tools/support/tool_runner.h"

using nlohmann::json;

namespace vexo::tools::test {
namespace {

struct ControlCase {
    const char* name;
    std::vector<std::pair<const char*, json>> settings;    // in this order
    std::vector<std::pair<uint32_t, uint32_t>> registers;  // sensor register, byte it holds
};

void PrintTo(const ControlCase& c, std::ostream* os) {
    *os << c.name;
}

class PreviewControls : public PreviewTest, public ::testing::WithParamInterface<ControlCase> {};

TEST_P(PreviewControls, ReachTheRegistersAndListAsTheToolDoes) {
    const ControlCase& c = GetParam();
    std::vector<std::string> args{"ctrl", "-c", config_, "--json"};
    for (const auto& [name, value] : c.settings) {
        auto r = post("/api/control", json{{"name", name}, {"value", value}}.dump());
        ASSERT_TRUE(r);
        ASSERT_EQ(r->status, 200) << name << " " << r->body;
        args.push_back("--set");
        args.push_back(std::string(name) + "=" +
                       (value.is_string() ? value.get<std::string>() : value.dump()));
    }
    for (const auto& [address, expected] : c.registers) {
        auto r = post("/api/register/read", json{{"address", address}}.dump());
        ASSERT_EQ(r->status, 200) << r->body;
        EXPECT_EQ(json::parse(r->body)["number"], expected) << "register 0x" << std::hex << address;
    }

    const json listed = json::parse(client_->Get("/api/controls")->body)["controls"];
    const ToolRun tool = runProgram(VEXO_TOOL_PATH, args, {{"VEXO_VIRTUAL_BOARDS", "1"}});
    ASSERT_EQ(tool.exitCode, 0) << tool.err;
    const json fromTool = json::parse(tool.out, nullptr, false);
    EXPECT_EQ(listed, fromTool) << "preview: " << listed.dump() << "\ntool:    " << tool.out;
}

INSTANTIATE_TEST_SUITE_P(
    ExampleFile, PreviewControls,
    ::testing::Values(
        // 20 bits across three registers, the low nibble of 0x3502 kept.
        ControlCase{
            "ExposureMax", {{"exposure", 65535}}, {{0x3500, 0x0F}, {0x3501, 0xFF}, {0x3502, 0xF0}}},
        ControlCase{"ExposureMiddle",
                    {{"exposure", 0x1234}},
                    {{0x3500, 0x01}, {0x3501, 0x23}, {0x3502, 0x40}}},
        ControlCase{"ExposureBelowMin",
                    {{"exposure", 0}},
                    {{0x3500, 0x00}, {0x3501, 0x00}, {0x3502, 0x10}}},
        // Fixed point with 7 fraction bits: 3.3 lands on 3.296875 = 422/128.
        ControlCase{"GainFraction", {{"analogue_gain", 3.3}}, {{0x3508, 0x01}, {0x3509, 0xA6}}},
        ControlCase{"GainAboveMax", {{"analogue_gain", 99}}, {{0x3508, 0x07}, {0x3509, 0xC0}}},
        // Steps of 4, the first register the low byte.
        ControlCase{"BlackLevelStep", {{"black_level", 510}}, {{0x4009, 0x00}, {0x4008, 0x02}}},
        ControlCase{"BrightnessOffset", {{"brightness", -7}}, {{0x5001, 57}}},
        ControlCase{"BrightnessMin", {{"brightness", -64}}, {{0x5001, 0}}},
        // Two switches in one register; the second keeps the first's bit.
        ControlCase{"FlipAndMirror", {{"flip", true}, {"mirror", "on"}}, {{0x3820, 0x06}}},
        ControlCase{"MirrorOnly", {{"flip", "on"}, {"flip", 0}, {"mirror", 1}}, {{0x3820, 0x02}}},
        ControlCase{"MenuByName", {{"test_pattern", "noise"}}, {{0x5080, 0xC0}}},
        ControlCase{"MenuByNumber", {{"test_pattern", 1}}, {{0x5080, 0x40}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PreviewTest, ControlMistakesAreRefusedAndWriteNothing) {
    struct Refusal {
        const char* body;
        int status;
    };
    for (const Refusal& r : {Refusal{R"({"name": "test_pattern", "value": 2.5})", 400},
                             Refusal{R"({"name": "test_pattern", "value": "stripes"})", 400},
                             Refusal{R"({"name": "exposure", "value": "lots"})", 400},
                             Refusal{R"({"name": "exposure", "value": [1]})", 400},
                             Refusal{R"({"name": "focus", "value": 1})", 404}}) {
        auto a = post("/api/control", r.body);
        ASSERT_TRUE(a);
        EXPECT_EQ(a->status, r.status) << r.body << " " << a->body;
        EXPECT_FALSE(json::parse(a->body)["ok"]) << r.body;
    }
    // The registers keep their power-on values (the virtual sensor's exposure: 1024 lines).
    for (auto [address, powerOn] :
         {std::pair{0x5080u, 0}, {0x3500u, 0}, {0x3501u, 0x40}, {0x3502u, 0}}) {
        auto read = post("/api/register/read", json{{"address", address}}.dump());
        EXPECT_EQ(json::parse(read->body)["number"], powerOn) << std::hex << address;
    }
}

}  // namespace
}  // namespace vexo::tools::test
