// vexo record --sync end to end on a rig of virtual boards that stamp each frame with its
// trigger (or frame) index: the sets DIR/manifest.json lists are checked against the stamps
// read back from the frame files, and against each board's own manifest.
#ifdef VEXO_HAVE_RECORD
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "tools/support/vexo_tool.h"

namespace vexo::tools::test {
namespace {

using nlohmann::json;

json readJson(const std::string& path) {
    std::ifstream in(path);
    return json::parse(in, nullptr, false);
}

// The 4 bytes at `offset` of a frame file: the board's stamp.
uint32_t stampIn(const std::string& path, uint64_t offset) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    unsigned char b[4] = {};
    in.read(reinterpret_cast<char*>(b), 4);
    EXPECT_TRUE(in) << path;
    return b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
}

std::string rigJson(bool line, const std::string& fps) {
    std::string boards;
    for (const char* serial : {"RIG-L", "RIG-M", "RIG-R"})
        boards +=
            std::string(boards.empty() ? "" : ",") + R"({"serial": ")" + serial +
            R"(", "productId": "0x52CB", "stream": {"stamp": true, "width": 64,
                      "height": 48, "fps": )" +
            fps + R"(}, "clock": {"offsetUs": )" + (serial[4] == 'M' ? "-900" : "400") +
            R"(, "jitterUs": 40})" +
            (serial[4] == 'M' ? R"(, "faults": [{"kind": "corruptHeader", "atFrame": 4}])" : "") +
            "}";
    return std::string("{") + (line ? R"("rig": {"triggerHz": 30}, )" : "") + R"("boards": [)" +
           boards + "]}";
}

class ToolSyncRecord : public ::testing::TestWithParam<const char*> {};

TEST_P(ToolSyncRecord, SetsHoldOneInstantAndMatchEachBoardsManifest) {
    const std::string trigger = GetParam();
    ScratchDir dir;
    const std::string cfg = dir.write("cam.cfg", R"([camera]
width = 64
height = 48
pixel_bytes = 1
pixel_bits = 8
format = RAW
bayer = RG
i2c_address = 0x20
i2c_mode = 16_8
)");
    const Env env{
        {"VEXO_VIRTUAL_BOARDS", rigJson(trigger == "external", trigger == "free" ? "30" : "0")}};
    const std::string out = dir.path() + "/rig";
    ToolRun run = runVexo({"record", "--sync", "--serial", "RIG-L", "--serial", "RIG-M", "--serial",
                           "RIG-R", "--trigger", trigger, "-n", "12", "-q", "-c", cfg, "-o", out},
                          env);
    ASSERT_EQ(run.exitCode, 0) << run.err << run.out;
    EXPECT_NE(run.out.find("recorded 12 set(s)"), std::string::npos) << run.out;

    const json manifest = readJson(out + "/manifest.json");
    ASSERT_TRUE(manifest.is_object()) << "manifest.json is not whole JSON";
    EXPECT_EQ(manifest["trigger"], trigger);
    ASSERT_EQ(manifest["sets"].size(), 12u);
    std::map<std::string, json> boardManifest;
    for (const char* serial : {"RIG-L", "RIG-M", "RIG-R"}) {
        boardManifest[serial] = readJson(out + "/" + serial + "/manifest.json");
        ASSERT_TRUE(boardManifest[serial].is_object()) << serial;
    }
    uint64_t complete = 0;
    for (const json& set : manifest["sets"]) {
        std::set<uint32_t> stamps;
        for (const json& f : set["frames"]) {
            const std::string serial = f["serial"];
            ASSERT_TRUE(f["file"].is_string()) << f.dump();
            stamps.insert(stampIn(out + "/" + serial + "/" + f["file"].get<std::string>(),
                                  f["offset"].get<uint64_t>()));
            // The entry is the one the board's own manifest has for that frame.
            bool listed = false;
            for (const json& e : boardManifest[serial]["frames"])
                if (e["number"] == f["number"]) {
                    listed = true;
                    for (const char* key : {"file", "offset", "u64Time", "u32Size", "status"})
                        EXPECT_EQ(e[key], f[key]) << serial << " " << key;
                }
            EXPECT_TRUE(listed) << f.dump();
        }
        EXPECT_EQ(stamps.size(), 1u) << "set " << set["index"] << " mixes instants";
        EXPECT_EQ(set["complete"].get<bool>(), set["frames"].size() == 3u) << set.dump();
        complete += set["complete"].get<bool>();
    }
    EXPECT_EQ(manifest["complete"], complete);
    EXPECT_EQ(manifest["incomplete"], 12 - complete);
    EXPECT_GE(complete, 8u);
    EXPECT_EQ(manifest["failed"], nullptr);
}

INSTANTIATE_TEST_SUITE_P(Triggers, ToolSyncRecord, ::testing::Values("soft", "external", "free"));

TEST(ToolSyncRecord, WrongArgumentsAreNamed) {
    struct Case {
        std::vector<std::string> args;
        int exit;
        const char* says;
    } cases[] = {
        {{"record", "--sync", "-n", "2", "-o", "x"}, 2, "--sync needs --serial S for each board"},
        {{"record", "--trigger", "soft", "-n", "2", "-o", "x"}, 2, "--trigger requires --sync"},
        {{"record", "--serial", "A", "--serial", "B", "-n", "2", "-o", "x"}, 2, "only with --sync"},
        {{"record", "--sync", "--all", "--rate", "10", "--tolerance-us", "60000", "-n", "2", "-o",
          "x"},
         2,
         "less than half the period"},
        {{"record", "--sync", "--serial", "NOPE", "-n", "2", "-o", "x"},
         1,
         "no board with serial \"NOPE\""},
    };
    for (const Case& c : cases) {
        ToolRun run = runVexo(c.args);
        EXPECT_EQ(run.exitCode, c.exit) << run.err;
        EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    }
}

}  // namespace
}  // namespace vexo::tools::test
#endif
