// Runs a built program (the vexo tool, an example) as a child process and collects what it
// printed.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace vexo::tools::test {

struct ToolRun {
    int exitCode = -1;  ///< exit status, or -1 when the tool did not exit normally
    std::string out;
    std::string err;
};

/// Runs `program` with `args` in `workDir` (empty: the test's own). The environment is the
/// test's own, with VEXO_VIRTUAL_BOARDS removed and then `env` (NAME, value pairs) added.
ToolRun runProgram(const std::string& program, const std::vector<std::string>& args,
                   const std::vector<std::pair<std::string, std::string>>& env = {},
                   const std::string& workDir = "");

/// A fresh empty directory under the system's temporary folder, removed by the destructor.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }
    /// Writes a file under the directory and returns its path.
    std::string write(const std::string& name, const std::string& text) const;

  private:
    std::string path_;
};

/// Lines of a text, without their line feeds.
std::vector<std::string> lines(const std::string& text);

}  // namespace vexo::tools::test
