// The subcommands of the vexo tool. Each add function registers its subcommand with its
// options and returns the action main() runs when that subcommand was given. Actions report
// failure by throwing ToolError.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <vector>

#include "cli/board_session.h"
#include "cli/stream_loop.h"

namespace vexo::tools {

struct Command {
    CLI::App* app;
    std::function<void()> run;
};

/// --index and --config, shared by every command that opens a board.
void addBoardOptions(CLI::App* sub, BoardOptions& options);
/// --timeout and -q,--quiet of the commands that stream, each added where the command lists it.
void addTimeoutOption(CLI::App* sub, StreamOptions& options);
void addQuietFlag(CLI::App* sub, StreamOptions& options);

Command addScanCommand(CLI::App& parent);
Command addCaptureCommand(CLI::App& parent);
Command addBenchCommand(CLI::App& parent);
Command addRegsCommand(CLI::App& parent);
Command addUserDataCommand(CLI::App& parent);
Command addPreviewCommand(CLI::App& parent);  ///< built with libmicrohttpd (VEXO_HAVE_PREVIEW)
Command addRecordCommand(CLI::App& parent);

/// Parses a number as the configuration files write it (decimal or 0x hex) for CLI11.
uint64_t parseArgNumber(const std::string& text, uint64_t max, const char* what);

}  // namespace vexo::tools
