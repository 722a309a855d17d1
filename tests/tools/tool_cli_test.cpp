// The vexo tool end to end on virtual boards: exit codes, one-line error messages, and the
// commands that do not write images (scan, regs, userdata, bench).
#include <gtest/gtest.h>

#include "tools/support/vexo_tool.h"

using namespace vexo::tools::test;

namespace {

// Failures are one line on stderr starting with "vexo <command>: " (or "vexo: ").
void expectOneLineError(const ToolRun& run, int exitCode, const std::string& start,
                        const std::string& contains) {
    EXPECT_EQ(run.exitCode, exitCode) << run.err;
    const std::vector<std::string> errLines = lines(run.err);
    ASSERT_EQ(errLines.size(), 1u) << run.err;
    EXPECT_EQ(errLines[0].rfind(start, 0), 0u) << errLines[0];
    EXPECT_NE(errLines[0].find(contains), std::string::npos) << errLines[0];
}

}  // namespace

TEST(ToolCommandLine, HelpForTheToolAndEachCommand) {
    const ToolRun top = runVexo({"--help"});
    EXPECT_EQ(top.exitCode, 0);
    for (const char* command : {"scan", "capture", "regs", "userdata", "bench"})
        EXPECT_NE(top.out.find(command), std::string::npos) << command;

    for (std::vector<std::string> args : {std::vector<std::string>{"scan", "--help"},
                                          {"capture", "--help"},
                                          {"regs", "--help"},
                                          {"regs", "read", "--help"},
                                          {"regs", "write", "--help"},
                                          {"userdata", "--help"},
                                          {"userdata", "serial", "--help"},
                                          {"bench", "--help"}}) {
        const ToolRun run = runVexo(args);
        EXPECT_EQ(run.exitCode, 0) << args[0];
        EXPECT_NE(run.out.find("Usage:"), std::string::npos) << args[0];
        EXPECT_TRUE(run.err.empty()) << run.err;
    }
    EXPECT_NE(runVexo({"capture", "--help"}).out.find("--frames"), std::string::npos);
    EXPECT_NE(runVexo({"scan", "--help"}).out.find("vendor and product ids"), std::string::npos)
        << "scan's help says what it cannot show";

    const ToolRun version = runVexo({"--version"});
    EXPECT_EQ(version.exitCode, 0) << version.err;
    EXPECT_EQ(version.out.rfind("vexo ", 0), 0u) << version.out;
    EXPECT_NE(version.out.find_first_of("0123456789"), std::string::npos) << version.out;
}

// Every mistake in the arguments, whether the option parser or the command finds it, exits 2
// with one line that points to the --help of the command it was given to.
struct WrongArgs {
    std::vector<std::string> args;
    std::string says;
    std::string help;  // the command whose --help the line names
};

void PrintTo(const WrongArgs& c, std::ostream* os) {
    for (const std::string& a : c.args) *os << a << ' ';
}

class ToolWrongArguments : public testing::TestWithParam<WrongArgs> {};

TEST_P(ToolWrongArguments, ExitTwoPointingToTheCommandsHelp) {
    const WrongArgs& c = GetParam();
    const std::string command = c.help.substr(0, c.help.find(' '));
    if (!command.empty() && runVexo({"--help"}).out.find(command) == std::string::npos)
        GTEST_SKIP() << "vexo built without " << command;
    const ToolRun run = runVexo(c.args);
    EXPECT_EQ(run.exitCode, 2) << run.out << run.err;
    const std::vector<std::string> errLines = lines(run.err);
    ASSERT_EQ(errLines.size(), 1u) << run.err;
    EXPECT_NE(errLines[0].find(c.says), std::string::npos) << errLines[0];
    const std::string pointer =
        c.help.empty() ? "see vexo --help" : "see vexo " + c.help + " --help";
    EXPECT_NE(errLines[0].find(pointer), std::string::npos) << errLines[0];
    EXPECT_TRUE(run.out.empty()) << run.out;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ToolWrongArguments,
    testing::Values(
        WrongArgs{{"regs", "write", "0x3012", "0x1FF"},
                  "register value '0x1FF' is not a number from 0 to 0xFF",
                  "regs write"},
        WrongArgs{{"regs", "read", "5", "-m", "9_9"}, "unknown register mode '9_9'", "regs read"},
        WrongArgs{{"regs", "read", "0xFFFF", "--count", "2", "-m", "16_8"},
                  "passes the 16-bit address space",
                  "regs read"},
        WrongArgs{{"regs", "read", "5", "--count", "many"},
                  "'many' is not a whole number from 1 to 65536",
                  "regs read"},
        WrongArgs{{"capture", "-n", "abc"},
                  "'abc' is not a whole number from 1 to 18446744073709551615",
                  "capture"},
        WrongArgs{{"capture", "--frames", "3", "--seconds", "1"}, "excludes", "capture"},
        WrongArgs{{"capture", "--index", "0", "--serial", "X"}, "excludes", "capture"},
        WrongArgs{{"userdata", "read", "1000", "30"}, "1000 + 30 bytes passes it", "userdata read"},
        WrongArgs{{"userdata", "write", "0"}, "nothing to write", "userdata write"},
        WrongArgs{{"userdata", "serial", "--set", "SEVENTEEN-CHARS-X"},
                  "at most 16 characters",
                  "userdata serial"},
        WrongArgs{{"record", "-o", "x"}, "give -n FRAMES or -t SECONDS", "record"},
        WrongArgs{{"preview", "--token", "short"}, "--token must be 8 to 128", "preview"},
        WrongArgs{{"preview", "--listen", "0.0.0.0:99999"},
                  "the port is not a number from 0 to 65535",
                  "preview"},
        WrongArgs{{"preview", "--sync"}, "--sync needs --serial S for each board", "preview"},
        WrongArgs{{"preview", "--serial", "A", "--serial", "B"}, "only with --sync", "preview"},
        WrongArgs{{"preview", "--trigger", "soft"}, "--trigger requires --sync", "preview"},
        WrongArgs{{"preview", "--sync", "--all", "--reconnect"},
                  "--controls and --reconnect are a single board's",
                  "preview"},
        WrongArgs{{"snap"}, "unknown command 'snap'", ""}, WrongArgs{{}, "", ""}));

TEST(ToolCommandLine, UnknownCommandListsEveryCommand) {
    const ToolRun help = runVexo({"--help"});
    const ToolRun run = runVexo({"snap"});
    for (const char* command :
         {"scan", "capture", "regs", "userdata", "bench", "preview", "record"}) {
        if (help.out.find(std::string(command) + " ") == std::string::npos) continue;
        EXPECT_NE(run.err.find(command), std::string::npos) << command << ": " << run.err;
    }
}

TEST(ToolCommandLine, WrongArgumentsExitTwoWithOneLine) {
    expectOneLineError(runVexo({}), 2, "vexo: ", "see vexo --help");
    expectOneLineError(runVexo({"snap"}), 2, "vexo: ", "unknown command 'snap'");
    expectOneLineError(runVexo({"capture", "--frames", "3", "--seconds", "1"}), 2,
                       "vexo: ", "excludes");
    expectOneLineError(runVexo({"capture", "--frames", "many"}), 2, "vexo: ", "many");
    expectOneLineError(runVexo({"capture", "--frames", "0"}), 2, "vexo: ", "--frames");
    expectOneLineError(runVexo({"regs", "read"}), 2, "vexo: ", "register");

    // A --boards document that adds no board (a key out of range, not JSON, an empty list)
    // is refused; the library names the mistake on the line before.
    for (const char* doc :
         {R"({"boards": [{"stream": {"width": 0}}]})", "{not json", R"({"boards": []})"}) {
        const ToolRun run = runVexo({"--boards", doc, "scan"}, {});
        EXPECT_EQ(run.exitCode, 2) << doc << "\n" << run.out << run.err;
        EXPECT_NE(run.err.find("vexo: --boards: the document adds no board"), std::string::npos)
            << run.err;
        EXPECT_EQ(run.out.find("no board attached"), std::string::npos) << run.out;
    }
    const ToolRun good = runVexo({"--boards", R"({"boards": [{}]})", "scan", "--no-open"}, {});
    EXPECT_EQ(good.exitCode, 0) << good.err;
    EXPECT_NE(good.out.find("VEXO-VIRTUAL-000"), std::string::npos) << good.out;
}

TEST(ToolErrors, BoardsAndConfigurationFiles) {
    expectOneLineError(runVexo({"capture", "--index", "7", "-n", "1"}), 1,
                       "vexo capture: ", "no board at index 7 (boards found at: 0)");

    ScratchDir dir;
    const std::string bad = dir.write("bad.cfg",
                                      "[camera]\nwidth = 640\nheight = 480\n"
                                      "format = RAWW\n");
    expectOneLineError(runVexo({"capture", "-c", bad, "-n", "1"}), 1,
                       "vexo capture: ", bad + ":4: unknown format 'RAWW'");
    expectOneLineError(runVexo({"capture", "-c", dir.path() + "/none.cfg"}), 1,
                       "vexo capture: ", "none.cfg: No such file or directory");

    // VEXO_VIRTUAL_BOARDS set to "0": no virtual board, and no fall-back either.
    expectOneLineError(runVexo({"capture", "-n", "1"}, {{"VEXO_VIRTUAL_BOARDS", "0"}}), 1,
                       "vexo capture: ", "no board found");
    // The default board is USB 3: it has no trigger input.
    expectOneLineError(runVexo({"capture", "--trigger", "-o", dir.path()}), 1,
                       "vexo capture: ", "USB_BOARD_FW_VERSION_NOT_SUPPORT_ERROR");
}

TEST(ToolErrors, StartUpListFailuresNameTheirLine) {
    // The board stalls vendor request 0xA5: the [board] line that sends it fails.
    ScratchDir dir;
    const std::string cfg = dir.write("cam.cfg", R"([camera]
width = 640
height = 480
format = RAW
i2c_address = 0x20
i2c_mode = 16_8
[board]
0xD7 0x4600 0x0300 0x40
0xA5 0 0 1 2
)");
    const ToolRun run = runVexo({"capture", "-c", cfg, "-n", "1", "-o", dir.path() + "/f"},
                                boardEnv(R"("faults": [{"kind": "controlFail", "request": "0xA5",
                                          "count": 0}])"));
    expectOneLineError(run, 1, "vexo capture: ",
                       cfg + ":9: board command 0xA5: USB_CAMERA_VR_COMMAND_ERROR (0xFF03)");
}

TEST(ToolErrors, FrameErrorsAreNamedWhenNoFrameArrives) {
    // Every frame one byte short: the library drops each with USB_CAMERA_DATA_LEN_ERROR.
    ScratchDir dir;
    const ToolRun run =
        runVexo({"capture", "-n", "2", "--timeout", "300", "-q", "-o", dir.path()},
                boardEnv(R"("faults": [{"kind": "shortFrame", "count": 0, "bytes": 1}])"));
    expectOneLineError(run, 1, "vexo capture: ",
                       "no frame for 300 ms; most frequent error: USB_CAMERA_DATA_LEN_ERROR "
                       "(0xFF24): a frame's byte count does not match the configuration");
}

TEST(ToolFallBack, NoBoardAttachedMeansAVirtualOne) {
    ScratchDir dir;
    const ToolRun run = runVexo({"capture", "-n", "1", "-q", "-o", dir.path()}, {});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("no board attached; falling back to a virtual board"), std::string::npos)
        << run.err;
    EXPECT_NE(run.out.find("VEXO-VIRTUAL-000"), std::string::npos) << run.out;

    const ToolRun scan = runVexo({"scan"}, {});
    EXPECT_EQ(scan.exitCode, 0);
    EXPECT_NE(scan.out.find("no board attached"), std::string::npos) << scan.out;
}

TEST(ToolScan, ListsEveryBoardWithTypeLinkAndFirmware) {
    const ToolRun run = runVexo({"scan"}, {{"VEXO_VIRTUAL_BOARDS",
                                            R"({"boards": [{"serial": "CAM-A"},
                                   {"productId": "0x02F1", "serial": "CAM-B", "firmware": "0x0310"}]})"}});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::vector<std::string> out = lines(run.out);
    ASSERT_EQ(out.size(), 3u) << run.out;
    EXPECT_NE(out[0].find("index"), std::string::npos);
    EXPECT_EQ(out[1], "0      CAM-A             USB 3     SuperSpeed  0x0320");
    EXPECT_EQ(out[2], "1      CAM-B             USB 2     high speed  0x0310");

    const ToolRun brief = runVexo({"--virtual", "scan", "--no-open"}, {});
    EXPECT_EQ(lines(brief.out).at(1), "0      VEXO-VIRTUAL-000");
}

TEST(ToolRegs, ReadAndWriteInEachWidth) {
    const Env env = boardEnv(R"("sensor": {"i2cAddress": "0x20",
                                           "registers": {"0x3012": "0x0A0B", "0x0010": "0x12345678"}})");
    // The configuration's sensor (0x20, 16_8) by default; other widths by --mode.
    ToolRun run = runVexo({"regs", "read", "0x3012", "--mode", "16_16"}, env);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "0x3012 = 0x0A0B\n");
    run = runVexo({"regs", "read", "0x10", "--mode", "16_32"}, env);
    EXPECT_EQ(run.out, "0x0010 = 0x12345678\n") << run.err;
    run = runVexo({"regs", "read", "0x3012", "--count", "2"}, env);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(lines(run.out).size(), 2u) << run.out;

    // The board controller (0x46, 8-bit registers) holds its version 21.6.6 in registers 5..7.
    run = runVexo({"regs", "read", "5", "--count", "3", "--device", "0x46", "--mode", "8_8"}, env);
    EXPECT_EQ(run.out, "0x05 = 0x15\n0x06 = 0x06\n0x07 = 0x06\n") << run.err;

    for (const char* mode : {"8_8", "8_16", "16_8", "16_16", "16_32"}) {
        run = runVexo({"regs", "write", "0x21", "0x7F", "--mode", mode}, env);
        EXPECT_EQ(run.exitCode, 0) << mode << ": " << run.err;
        EXPECT_NE(run.out.find("<- 0x"), std::string::npos) << mode;
        // The next run's board starts afresh, and the tool says so.
        EXPECT_NE(run.err.find("made afresh by every vexo run"), std::string::npos) << run.err;
    }
    expectOneLineError(runVexo({"regs", "write", "0x3012", "0x100"}, env), 2,
                       "vexo regs: ", "register value '0x100' is not a number from 0 to 0xFF");
    expectOneLineError(runVexo({"regs", "write", "0x3012", "1", "--mode", "8_8"}, env), 2,
                       "vexo regs: ", "register address '0x3012'");
    expectOneLineError(runVexo({"regs", "read", "1", "--mode", "9_9"}, env), 2,
                       "vexo regs: ", "unknown register mode '9_9'");
    // Firmware 0x0310 lacks 32-bit register access.
    expectOneLineError(
        runVexo({"regs", "read", "0x10", "--mode", "16_32"}, boardEnv(R"("firmware": "0x0310")")),
        1, "vexo regs: ", "USB_BOARD_FW_VERSION_NOT_SUPPORT_ERROR");
}

TEST(ToolUserData, SerialAndBytes) {
    ToolRun run = runVexo({"userdata", "serial"});
    EXPECT_EQ(run.out, "VEXO-VIRTUAL-000\n") << run.err;
    run = runVexo({"userdata", "serial", "--set", "BENCH-7"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "serial of board 0 set to BENCH-7\n");

    run = runVexo({"userdata", "read", "1008", "16"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out.rfind("0x3F0  56 45", 0), 0u) << "rows are labelled in hex: " << run.out;
    EXPECT_NE(run.out.find("56 45 58 4F"), std::string::npos) << run.out;  // "VEXO"
    EXPECT_NE(run.out.find("VEXO-VIRTUAL-000"), std::string::npos) << run.out;

    // Longer than one request (32 bytes): written and read back in pieces.
    std::vector<std::string> args{"userdata", "write", "100"};
    for (int i = 0; i < 70; ++i) args.push_back(std::to_string(i));
    run = runVexo(args);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "wrote 70 byte(s) at 100\n");
    run = runVexo({"userdata", "write", "0", "--text", "hello"});
    EXPECT_EQ(run.exitCode, 0) << run.err;

    expectOneLineError(runVexo({"userdata", "read", "1000", "30"}), 2,
                       "vexo userdata: ", "1000 + 30 bytes passes it");
    expectOneLineError(runVexo({"userdata", "serial", "--set", "SEVENTEEN-CHARS-X"}), 2,
                       "vexo userdata: ", "at most 16 characters");
    expectOneLineError(runVexo({"userdata", "write", "0"}), 2,
                       "vexo userdata: ", "nothing to write");
}

TEST(ToolBench, ReportsThroughputAndLosses) {
    const ToolRun run = runVexo({"bench", "--seconds", "0.3", "-q"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::vector<std::string> out = lines(run.out);
    ASSERT_EQ(out.size(), 2u) << run.out;
    EXPECT_EQ(out[0].rfind("bench: ", 0), 0u);
    EXPECT_NE(out[0].find("fps"), std::string::npos);
    EXPECT_EQ(out[0].find("bench: 0 frames"), std::string::npos) << "frames arrived";
    EXPECT_EQ(out[1], "drops: none; errors: none");

    // A board that skips a frame index now and then: the loss is counted by name.
    const ToolRun lossy =
        runVexo({"bench", "--seconds", "0.3", "-q"}, boardEnv(R"("productId": "0x02F1",
                                          "faults": [{"kind": "skipIndex", "atFrame": 2}])"));
    ASSERT_EQ(lossy.exitCode, 0) << lossy.err;
    EXPECT_NE(lossy.out.find("USB_CAMERA_FRAME_INDEX_ERROR 1"), std::string::npos) << lossy.out;
}

TEST(ToolBench, NoFrameAtAllFailsAndAMismatchedFallBackIsNamed) {
    // A JPEG configuration against the fall-back board, which streams RAW: every frame is
    // dropped. Nothing was measured, so the bench fails, and the tool says why up front.
    const std::string jpeg = std::string(VEXO_SOURCE_DIR) + "/examples/configs/jpeg-720p.cfg";
    const ToolRun run = runVexo({"bench", "-t", "0.3", "-q", "-c", jpeg}, {});
    EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
    EXPECT_NE(run.out.find("bench: 0 frames"), std::string::npos) << run.out;
    EXPECT_NE(run.err.find("the fall-back virtual board streams 640x480 RAW"), std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("asks for 1280x720 JPG, 1 byte(s) per pixel: describe a matching "
                           "board with --boards"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("vexo bench: no frame in "), std::string::npos) << run.err;

    // The same configuration with a board that matches it measures frames.
    const std::string board = std::string(VEXO_SOURCE_DIR) + "/examples/configs/jpeg-720p.json";
    const ToolRun matched =
        runVexo({"--boards", board, "bench", "-t", "0.3", "-q", "-c", jpeg}, {});
    EXPECT_EQ(matched.exitCode, 0) << matched.out << matched.err;
    EXPECT_EQ(matched.err.find("fall-back"), std::string::npos) << matched.err;
    EXPECT_EQ(matched.out.find("bench: 0 frames"), std::string::npos) << matched.out;

    // With --all, a board without frames is a failed board.
    const ToolRun all = runVexo({"bench", "--all", "-t", "0.3", "-c", jpeg}, {});
    EXPECT_EQ(all.exitCode, 1) << all.out << all.err;
    EXPECT_NE(all.out.find("failed: no frame in "), std::string::npos) << all.out;
}

TEST(ToolCapture, SerialPicksTheBoard) {
    const Env two{
        {"VEXO_VIRTUAL_BOARDS",
         R"({"boards": [{"serial": "CAM-A"}, {"serial": "CAM-B", "productId": "0x02F1"}]})"}};
    ScratchDir dir;
    const ToolRun run =
        runVexo({"capture", "--serial", "CAM-B", "-n", "1", "-q", "-o", dir.path()}, two);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out.rfind("board 1 (CAM-B): ", 0), 0u) << run.out;
    expectOneLineError(runVexo({"capture", "--serial", "CAM-C", "-n", "1", "-o", dir.path()}, two),
                       1, "vexo capture: ", "no board with serial 'CAM-C' (see vexo scan)");
}
