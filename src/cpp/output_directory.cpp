#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <vexo/output_directory.hpp>

namespace vexo {

std::string createOutputDirectory(const std::string& directory) {
    std::error_code ec;
    std::filesystem::create_directories(directory, ec);
    if (ec) throw std::runtime_error("cannot create " + directory + ": " + ec.message());
    std::string path = std::filesystem::absolute(directory, ec).lexically_normal().string();
    if (ec || path.empty()) path = directory;
    if (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

}  // namespace vexo
