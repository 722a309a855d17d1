// The directory a command writes its files into ('vexo capture' images, 'vexo record'
// recordings).
#pragma once

#include <filesystem>
#include <string>
#include <system_error>

#include "cli/tool_error.h"

namespace vexo::tools {

/// Creates `directory` with its parents when missing and returns it absolute, normalised and
/// without a trailing slash (as given when that cannot be worked out). Throws ToolError when it
/// cannot be created.
inline std::string createOutputDirectory(const std::string& directory) {
    std::error_code ec;
    std::filesystem::create_directories(directory, ec);
    if (ec) throw ToolError("cannot create " + directory + ": " + ec.message());
    std::string path = std::filesystem::absolute(directory, ec).lexically_normal().string();
    if (ec || path.empty()) path = directory;
    if (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

}  // namespace vexo::tools
