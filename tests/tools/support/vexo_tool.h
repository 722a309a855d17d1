// Running the built vexo tool from the end-to-end tests (VEXO_TOOL_PATH is set by CMake).
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "tools/support/tool_runner.h"

namespace vexo::tools::test {

using Env = std::vector<std::pair<std::string, std::string>>;

/// The tool on the default virtual board.
inline const Env kOneBoard{{"VEXO_VIRTUAL_BOARDS", "1"}};

inline ToolRun runVexo(const std::vector<std::string>& args, const Env& env = kOneBoard,
                       const std::string& workDir = "") {
    return runProgram(VEXO_TOOL_PATH, args, env, workDir);
}

/// A VEXO_VIRTUAL_BOARDS document with one board of `boardJson` (the inside of the board's
/// object, e.g. "\"stream\": {...}").
inline Env boardEnv(const std::string& boardJson) {
    return {{"VEXO_VIRTUAL_BOARDS", "{\"boards\": [{" + boardJson + "}]}"}};
}

}  // namespace vexo::tools::test
