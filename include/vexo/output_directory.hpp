// vexo/output_directory.hpp — the directory a program writes its files into (captured
// images, recordings).
#pragma once

#include <string>
#include <vexo/cpp_export.hpp>

namespace vexo {

/// Creates `directory` with its parents when missing and returns it absolute, normalised and
/// without a trailing slash (as given when that cannot be worked out). Throws
/// std::runtime_error ("cannot create DIR: reason") when it cannot be created.
VEXO_CPP_API std::string createOutputDirectory(const std::string& directory);

}  // namespace vexo
