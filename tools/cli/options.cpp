#include "cli/options.h"

#include <cstdio>
#include <utility>

#include "cli/tool_error.h"

namespace vexo::tools {

void addBoardOptions(CLI::App* sub, BoardOptions& options) {
    auto* index = sub->add_option("-i,--index", options.index,
                                  "Device index of the board (the index column of 'vexo scan'); "
                                  "default: the first board");
    sub->add_option("--serial", options.serial,
                    "Serial text of the board to open (the serial column of 'vexo scan')")
        ->excludes(index);
    sub->add_option("-c,--config", options.configPath,
                    "Camera configuration file (docs/camera-config.md); default: the "
                    "default virtual board's settings (640x480 RAW8)");
}

CLI::App* addBoardCommand(CLI::App& parent, const std::string& name, const std::string& about,
                          BoardOptions& board) {
    CLI::App* sub = parent.add_subcommand(name, about);
    addBoardOptions(sub, board);
    return sub;
}

CommandGroup::CommandGroup(CLI::App& parent, const std::string& name, const std::string& about)
    : app_(parent.add_subcommand(name, about)) {
    app_->require_subcommand(1);
}

CLI::App* CommandGroup::add(const std::string& name, const std::string& about,
                            std::function<void()> run) {
    CLI::App* sub = app_->add_subcommand(name, about);
    parts_.push_back({sub, std::move(run)});
    return sub;
}

Command CommandGroup::command() const {
    return {app_, [parts = parts_] {
                for (const Command& part : parts)
                    if (part.app->parsed()) return part.run();
            }};
}

void addTimeoutOption(CLI::App* sub, StreamOptions& options) {
    sub->add_option("--timeout", options.timeoutMs,
                    "Milliseconds without a frame before giving up (default 5000)")
        ->check(CLI::Range(1u, 600000u));
}

void addQuietFlag(CLI::App* sub, StreamOptions& options) {
    sub->add_flag("-q,--quiet", options.quiet, "No progress line");
}

CLI::Validator positiveCount(uint64_t max) {
    return CLI::Validator(
        [max](std::string& text) -> std::string {
            uint64_t value = 0;
            if (!parseNumber(text, max, value) || value == 0)
                return "'" + text + "' is not a whole number from 1 to " + std::to_string(max);
            return {};
        },
        "COUNT");
}

uint64_t parseArgNumber(const std::string& text, uint64_t max, const char* what) {
    uint64_t value = 0;
    if (!parseNumber(text, max, value)) {
        char limit[32];
        std::snprintf(limit, sizeof(limit), "0x%llX", static_cast<unsigned long long>(max));
        throw UsageError(std::string(what) + " '" + text + "' is not a number from 0 to " + limit +
                         " (decimal or 0x hex)");
    }
    return value;
}

}  // namespace vexo::tools
