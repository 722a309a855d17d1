// The subcommands of the vexo tool. Each add function registers its subcommand with its
// options and returns the action main() runs when that subcommand was given. Actions report
// failure by throwing ToolError.
#pragma once

#include <CLI/CLI.hpp>

#include "cli/options.h"

namespace vexo::tools {

Command addScanCommand(CLI::App& parent);
Command addCaptureCommand(CLI::App& parent);
Command addBenchCommand(CLI::App& parent);
Command addRegsCommand(CLI::App& parent);
Command addCtrlCommand(CLI::App& parent);
Command addUserDataCommand(CLI::App& parent);
Command addPreviewCommand(CLI::App& parent);  ///< built with libmicrohttpd (VEXO_HAVE_PREVIEW)
Command addRecordCommand(CLI::App& parent);

}  // namespace vexo::tools
