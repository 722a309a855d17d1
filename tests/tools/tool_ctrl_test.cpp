// vexo ctrl end to end on a virtual board: settings applied in order and listed with the value
// read back from the sensor; --json that the published schema accepts; bad files and bad
// settings refused before anything reaches the board.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/support/tool_runner.h"

using namespace vexo::tools::test;

namespace {

const std::string kTool = VEXO_TOOL_PATH;
const std::string kExample = VEXO_SOURCE_DIR "/examples/configs/sensor-controls.cfg";

ToolRun ctrl(std::vector<std::string> args) {
    args.insert(args.begin(), "ctrl");
    return runProgram(kTool, args, {{"VEXO_VIRTUAL_BOARDS", "1"}});
}

TEST(ToolCtrl, SettingsAreAppliedInOrderAndReadBack) {
    // The later exposure wins; 510 lands on black_level's step of 4; gain on its 1/128 grid.
    const ToolRun run = ctrl({"-c", kExample, "--set", "exposure=7", "--set", "exposure=0x700",
                              "--set", "black_level=510", "--set", "analogue_gain=3.3", "--set",
                              "flip=on", "--set", "test_pattern=noise"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::vector<std::string> expected{
        "exposure         integer  lines  1..65535 step 1, default 1024: 1792",
        "analogue_gain    float    x      1..15.5 step 0.0078125, default 2: 3.296875",
        "black_level      integer  DN     0..1020 step 4, default 64: 512",
        "brightness       integer  -      -64..63 step 1, default 0: -64",
        "flip             boolean  -      0..1 step 1, default 0: 1",
        "mirror           boolean  -      0..1 step 1, default 0: 0",
        "test_pattern     menu     -      off=0|bars=1|fade=2|noise=3, default off: noise",
    };
    EXPECT_EQ(lines(run.out), expected);
}

TEST(ToolCtrl, JsonMatchesTheSchema) {
    ScratchDir dir;
    const ToolRun run = ctrl({"-c", kExample, "--set", "brightness=-7", "--json"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::string out = dir.write("controls.json", run.out);
    const std::string check = dir.write("check.py", R"(import json, sys, jsonschema
schema = json.load(open(sys.argv[1]))
doc = json.load(open(sys.argv[2]))
jsonschema.validate(doc, schema)
values = {c["name"]: c["value"] for c in doc}
assert values["brightness"] == -7, values
assert len(doc) == 7, doc
bad = [dict(doc[0], step=0), {k: v for k, v in doc[0].items() if k != "value"}]
for entry in bad:
    try:
        jsonschema.validate([entry], schema)
    except jsonschema.ValidationError:
        continue
    sys.exit("the schema accepted " + json.dumps(entry))
print("valid")
)");
    const ToolRun py =
        runProgram("/usr/bin/python3", {check, VEXO_SOURCE_DIR "/docs/controls.schema.json", out});
    EXPECT_EQ(py.exitCode, 0) << py.err << run.out;
    EXPECT_EQ(py.out, "valid\n");
}

TEST(ToolCtrl, MistakesAreRefusedBeforeTheBoardIsOpened) {
    ScratchDir dir;
    const std::string bad = dir.write("bad.cfg", R"([camera]
width = 640
height = 480
format = RAW
i2c_address = 0x20
i2c_mode = 16_8
[controls]
gain min=0 max=10 default=11 registers=0x3000
)");
    struct Case {
        std::vector<std::string> args;
        std::string error;
    };
    const std::vector<Case> cases{
        {{"-c", bad}, bad + ":8: default 11 is outside the range"},
        {{"-c", kExample, "--set", "exposure=5", "--set", "nope=1"}, "has no control 'nope'"},
        {{"-c", kExample, "--set", "exposure=5", "--set", "test_pattern=7"},
         "the menu of test_pattern has no value 7"},
        {{"-c", kExample, "--set", "exposure=lots"}, "'lots' is not a value of exposure"},
        {{"-c", kExample, "--set", "exposure"}, "expected NAME=VALUE"},
    };
    for (const Case& c : cases) {
        const ToolRun run = ctrl(c.args);
        EXPECT_NE(run.exitCode, 0) << c.error;
        EXPECT_NE(run.err.find(c.error), std::string::npos) << run.err;
        // Refused before a board was opened, so nothing can have been written.
        EXPECT_EQ(run.err.find("virtual board"), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
    }
}

}  // namespace
