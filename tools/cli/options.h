// Options and argument parsing that several commands share, kept apart from main() so that
// the commands do not depend on the program that lists them.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>
#include <vexo/board_session.hpp>

#include "cli/stream_loop.h"

namespace vexo::tools {

/// A subcommand and the action main() runs when it was given.
struct Command {
    CLI::App* app;
    std::function<void()> run;
};

/// A subcommand of @parent that opens one board (its --index, --serial and --config fill @board).
CLI::App* addBoardCommand(CLI::App& parent, const std::string& name, const std::string& about,
                          BoardOptions& board);

/// A command made of subcommands of which exactly one is given; its action runs that one's.
class CommandGroup {
  public:
    CommandGroup(CLI::App& parent, const std::string& name, const std::string& about);
    /// Adds a subcommand whose action is @run; the caller adds its options.
    CLI::App* add(const std::string& name, const std::string& about, std::function<void()> run);
    /// The group as main() lists it.
    Command command() const;

  private:
    CLI::App* app_;
    std::vector<Command> parts_;
};

/// --index, --serial and --config, shared by every command that opens a board.
void addBoardOptions(CLI::App* sub, BoardOptions& options);
/// --timeout and -q,--quiet of the commands that stream, each added where the command lists it.
void addTimeoutOption(CLI::App* sub, StreamOptions& options);
void addQuietFlag(CLI::App* sub, StreamOptions& options);

/// A count of 1 or more (frames, registers): CLI11's own range check would call a word like
/// "abc" out of range.
CLI::Validator positiveCount(uint64_t max);

/// Parses a number as the configuration files write it (decimal or 0x hex); throws UsageError.
uint64_t parseArgNumber(const std::string& text, uint64_t max, const char* what);

}  // namespace vexo::tools
