// The one way a command reports failure: main() prints the message as one line and exits 1,
// or 2 for a UsageError.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace vexo::tools {

class ToolError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

/// Wrong arguments found once the command runs (a value out of its range, options that do
/// not go together): exit status 2 and a pointer to the command's --help, as for the mistakes
/// the option parser finds itself.
class UsageError : public ToolError {
  public:
    using ToolError::ToolError;
};

/// "what: USB_CAMERA_..._ERROR (0xFF26): hint" for a status code of the library.
std::string describeStatus(const std::string& what, uint32_t status);

}  // namespace vexo::tools
