// The one way a command reports failure: main() prints the message as one line and exits 1,
// or 2 for a UsageError. The error of a failed step and the status text are the C++ layer's
// (vexo/status_text.hpp), shared with the preview.
#pragma once

#include <vexo/status_text.hpp>

namespace vexo::tools {

using ToolError = SessionError;

/// Wrong arguments found once the command runs (a value out of its range, options that do
/// not go together): exit status 2 and a pointer to the command's --help, as for the mistakes
/// the option parser finds itself.
class UsageError : public ToolError {
  public:
    using ToolError::ToolError;
};

}  // namespace vexo::tools
