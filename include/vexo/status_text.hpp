// vexo/status_text.hpp — how a program of Vexo tells its user what failed: one line naming the
// step, the status code and what to do about it.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vexo/cpp_export.hpp>

namespace vexo {

/// A failed step of a board session or a capture, with its one-line message (what()). The tool
/// prints it as it is and exits 1.
class VEXO_CPP_API SessionError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
    ~SessionError() override;
};

/// "what: USB_CAMERA_..._ERROR (0xFF26): hint" for a status code of the library;
/// "what: unexpected result N" for a value that is none.
VEXO_CPP_API std::string describeStatus(const std::string& what, uint32_t status);

}  // namespace vexo
