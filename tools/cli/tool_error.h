// The one way a command reports failure: main() prints the message as one line and exits 1.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace vexo::tools {

class ToolError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

/// "what: USB_CAMERA_..._ERROR (0xFF26): hint" for a status code of the library.
std::string describeStatus(const std::string& what, uint32_t status);

}  // namespace vexo::tools
