// vexo: scan boards, capture frames to image files, read and write registers and user data,
// measure a stream. Exit status: 0 success, 1 a command failed, 2 wrong arguments.
#include <vexo/camera.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cli/commands.h"
#include "cli/tool_error.h"

using namespace vexo::tools;

namespace vexo::tools {

void addBoardOptions(CLI::App* sub, BoardOptions& options) {
    sub->add_option("-i,--index", options.index,
                    "Device index of the board (the index column of 'vexo scan'); "
                    "default: the first board");
    sub->add_option("-c,--config", options.configPath,
                    "Camera configuration file (docs/camera-config.md); default: the "
                    "default virtual board's settings (640x480 RAW8)");
}

void addTimeoutOption(CLI::App* sub, StreamOptions& options) {
    sub->add_option("--timeout", options.timeoutMs,
                    "Milliseconds without a frame before giving up (default 5000)")
        ->check(CLI::Range(1u, 600000u));
}

void addQuietFlag(CLI::App* sub, StreamOptions& options) {
    sub->add_flag("-q,--quiet", options.quiet, "No progress line");
}

uint64_t parseArgNumber(const std::string& text, uint64_t max, const char* what) {
    uint64_t value = 0;
    if (!parseNumber(text, max, value)) {
        char limit[32];
        std::snprintf(limit, sizeof(limit), "0x%llX", static_cast<unsigned long long>(max));
        throw ToolError(std::string(what) + " '" + text + "' is not a number from 0 to " + limit +
                        " (decimal or 0x hex)");
    }
    return value;
}

}  // namespace vexo::tools

int main(int argc, char** argv) {
    CLI::App app{
        "vexo: scan camera boards, capture frames to image files, read and write "
        "registers and user data, measure a stream.\n"
        "Without an attached board, commands that open one fall back to a virtual "
        "board and say so.",
        "vexo"};
    app.require_subcommand(1);
    bool useVirtual = false;
    std::string boards;
    app.add_flag("--virtual", useVirtual,
                 "Use virtual boards: the boards of VEXO_VIRTUAL_BOARDS when it is set, else "
                 "one default virtual board");
    app.add_option("--boards", boards,
                   "Virtual boards to use: JSON text or the path of a JSON file "
                   "(docs/virtual-boards.md); sets VEXO_VIRTUAL_BOARDS");
    std::string usbCapture;
    app.add_option("--usb-capture", usbCapture,
                   "Write real boards' USB traffic to this pcap file (docs/usb-captures.md); "
                   "sets VEXO_USB_CAPTURE");

    std::vector<Command> commands{addScanCommand(app), addCaptureCommand(app), addRegsCommand(app),
                                  addUserDataCommand(app), addBenchCommand(app)};
#ifdef VEXO_HAVE_PREVIEW
    commands.push_back(addPreviewCommand(app));
#endif
#ifdef VEXO_HAVE_RECORD
    commands.push_back(addRecordCommand(app));
#endif

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        // CLI11 reports a mistyped command as a missing one; name the word instead.
        if (app.get_subcommands().empty()) {
            for (int i = 1; i < argc; ++i) {
                const std::string word = argv[i];
                if (word == "--boards" || word == "--usb-capture") {
                    ++i;
                } else if (argv[i][0] != '-') {
                    std::fprintf(stderr,
                                 "vexo: unknown command '%s' (commands: scan, capture, regs, "
                                 "userdata, bench, record; see vexo --help)\n",
                                 argv[i]);
                    return 2;
                }
            }
        }
        std::fprintf(stderr, "vexo: %s (see vexo --help)\n", e.what());
        return 2;
    }

    if (!usbCapture.empty()) setenv("VEXO_USB_CAPTURE", usbCapture.c_str(), 1);
    if (!boards.empty()) {
        // The library reads the document at its next call and can only name a mistake on
        // stderr; a document that adds no board is refused here rather than run without.
        setenv("VEXO_VIRTUAL_BOARDS", "0", 1);
        const uint32_t without = Vexo_scan(nullptr);
        setenv("VEXO_VIRTUAL_BOARDS", boards.c_str(), 1);
        const uint32_t with = Vexo_scan(nullptr);
        if (without <= 255 && with <= 255 && with <= without) {
            std::fprintf(stderr, "vexo: --boards: the document adds no board "
                                 "(see docs/virtual-boards.md)\n");
            return 2;
        }
    } else if (useVirtual && !std::getenv("VEXO_VIRTUAL_BOARDS")) {
        setenv("VEXO_VIRTUAL_BOARDS", "1", 1);
    }

    for (const Command& command : commands) {
        if (!command.app->parsed()) continue;
        try {
            command.run();
        } catch (const ToolError& e) {
            std::fflush(stdout);
            std::fprintf(stderr, "vexo %s: %s\n", command.app->get_name().c_str(), e.what());
            return 1;
        } catch (const std::exception& e) {
            std::fflush(stdout);
            std::fprintf(stderr, "vexo %s: %s\n", command.app->get_name().c_str(), e.what());
            return 1;
        }
        return 0;
    }
    return 2;
}
