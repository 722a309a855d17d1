// vexo: scan boards, capture frames to image files, read and write registers and user data,
// measure a stream. Exit status: 0 success, 1 a command failed, 2 wrong arguments.
#include <vexo/camera.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/tool_error.h"

using namespace vexo::tools;

namespace {

// "capture" or "regs read": the deepest command the parser reached, for pointing at its --help.
std::string commandPath(const CLI::App& app) {
    std::string path;
    const CLI::App* at = &app;
    while (!at->get_subcommands().empty()) {
        at = at->get_subcommands().front();
        path += (path.empty() ? "" : " ") + at->get_name();
    }
    return path;
}

std::string helpPointer(const std::string& path) {
    return path.empty() ? "see vexo --help" : "see vexo " + path + " --help";
}

// The options before the command: which boards the library sees.
struct GlobalOptions {
    bool useVirtual = false;
    std::string boards;
    std::string usbCapture;
};

void addGlobalOptions(CLI::App& app, GlobalOptions& options) {
    app.set_version_flag("--version", "vexo " VEXO_TOOL_VERSION);
    app.add_flag("--virtual", options.useVirtual,
                 "Use virtual boards: the boards of VEXO_VIRTUAL_BOARDS when it is set, else "
                 "one default virtual board");
    app.add_option("--boards", options.boards,
                   "Virtual boards to use: JSON text or the path of a JSON file "
                   "(docs/virtual-boards.md); sets VEXO_VIRTUAL_BOARDS");
    app.add_option("--usb-capture", options.usbCapture,
                   "Write real boards' USB traffic to this pcap file (docs/usb-captures.md); "
                   "sets VEXO_USB_CAPTURE");
}

std::vector<Command> addCommands(CLI::App& app) {
    std::vector<Command> commands{addScanCommand(app),     addCaptureCommand(app),
                                  addRegsCommand(app),     addCtrlCommand(app),
                                  addUserDataCommand(app), addBenchCommand(app)};
#ifdef VEXO_HAVE_PREVIEW
    commands.push_back(addPreviewCommand(app));
#endif
#ifdef VEXO_HAVE_RECORD
    commands.push_back(addRecordCommand(app));
#endif
    return commands;
}

// Exit status 2 with the parser's complaint. CLI11 reports a mistyped command as a missing
// one; the word is named instead.
int wrongArguments(const CLI::App& app, const std::vector<Command>& commands, int argc, char** argv,
                   const CLI::ParseError& e) {
    if (app.get_subcommands().empty()) {
        for (int i = 1; i < argc; ++i) {
            const std::string word = argv[i];
            if (word == "--boards" || word == "--usb-capture") {
                ++i;
            } else if (argv[i][0] != '-') {
                std::string names;
                for (const Command& command : commands)
                    names += (names.empty() ? "" : ", ") + command.app->get_name();
                std::fprintf(stderr, "vexo: unknown command '%s' (commands: %s; see vexo --help)\n",
                             argv[i], names.c_str());
                return 2;
            }
        }
    }
    std::fprintf(stderr, "vexo: %s (%s)\n", e.what(), helpPointer(commandPath(app)).c_str());
    return 2;
}

// Hands the options to the library through its environment; false when --boards adds no board.
bool applyGlobalOptions(const GlobalOptions& options) {
    if (!options.usbCapture.empty()) setenv("VEXO_USB_CAPTURE", options.usbCapture.c_str(), 1);
    if (!options.boards.empty()) {
        // The library reads the document at its next call and can only name a mistake on
        // stderr; a document that adds no board is refused here rather than run without.
        setenv("VEXO_VIRTUAL_BOARDS", "0", 1);
        const uint32_t without = Vexo_scan(nullptr);
        setenv("VEXO_VIRTUAL_BOARDS", options.boards.c_str(), 1);
        const uint32_t with = Vexo_scan(nullptr);
        if (without <= 255 && with <= 255 && with <= without) {
            std::fprintf(stderr,
                         "vexo: --boards: the document adds no board "
                         "(see docs/virtual-boards.md)\n");
            return false;
        }
    } else if (options.useVirtual && !std::getenv("VEXO_VIRTUAL_BOARDS")) {
        setenv("VEXO_VIRTUAL_BOARDS", "1", 1);
    }
    return true;
}

// Runs the command given: 0 done, 1 it failed, 2 it was called wrongly.
int runCommand(const CLI::App& app, const std::vector<Command>& commands) {
    for (const Command& command : commands) {
        if (!command.app->parsed()) continue;
        try {
            command.run();
        } catch (const UsageError& e) {
            std::fflush(stdout);
            std::fprintf(stderr, "vexo %s: %s (%s)\n", command.app->get_name().c_str(), e.what(),
                         helpPointer(commandPath(app)).c_str());
            return 2;
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

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "vexo: scan camera boards, capture frames to image files, read and write "
        "registers and user data, measure a stream.\n"
        "Without an attached board, commands that open one fall back to a virtual "
        "board and say so.",
        "vexo"};
    app.require_subcommand(1);
    GlobalOptions options;
    addGlobalOptions(app, options);
    const std::vector<Command> commands = addCommands(app);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        return wrongArguments(app, commands, argc, argv, e);
    }
    if (!applyGlobalOptions(options)) return 2;
    return runCommand(app, commands);
}
