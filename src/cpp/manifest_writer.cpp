#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vexo/camera_file.hpp>
#include <vexo/manifest_writer.hpp>

namespace vexo {

std::string jsonString(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", u);
            out += esc;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string_view manifestBayerName(RawMode bayer) {
    static constexpr const char* kNames[] = {"RGGB", "GRBG", "GBRG", "BGGR"};
    return kNames[static_cast<unsigned>(bayer) & 3];
}

ManifestWriter::ManifestWriter(const std::string& path, const RecordingHeader& header)
    : path_(path) {
    file_ = std::fopen(path.c_str(), "w");
    if (!file_) throw std::runtime_error(path + ": " + std::strerror(errno));
    const FrameFormat& l = header.layout;
    std::fprintf(file_,
                 "{\"vexoRecording\": 1,\n"
                 " \"board\": {\"index\": %u, \"serial\": %s},\n"
                 " \"configuration\": {\"source\": %s, \"width\": %u, \"height\": %u, "
                 "\"pixelBytes\": %u, \"pixelBits\": %u, \"format\": \"%s\", \"bayer\": \"%s\"},\n"
                 " \"frames\": [",
                 header.boardIndex, jsonString(header.serial).c_str(),
                 jsonString(header.configSource).c_str(), l.width, l.height, l.pixelBytes,
                 l.pixelBits, std::string(formatName(l.format)).c_str(),
                 manifestBayerName(l.bayer).data());
}

ManifestWriter::~ManifestWriter() {
    if (file_) std::fclose(file_);
}

bool ManifestWriter::add(const ManifestEntry& e) {
    if (!file_) return false;
    char offset[40] = "";
    if (e.offset)
        std::snprintf(offset, sizeof offset, " \"offset\": %llu,",
                      static_cast<unsigned long long>(*e.offset));
    const int n = std::fprintf(
        file_,
        "%s\n  {\"file\": \"%.*s\",%s \"number\": %llu, \"u64Time\": %llu, \"u32Size\": %u, "
        "\"status\": \"%.*s\"}",
        first_ ? "" : ",", static_cast<int>(e.file.size()), e.file.data(), offset,
        static_cast<unsigned long long>(e.number), static_cast<unsigned long long>(e.time), e.size,
        static_cast<int>(e.status.size()), e.status.data());
    first_ = false;
    // Flushed per frame: an interrupted recording keeps every entry of the files it wrote.
    return n > 0 && std::fflush(file_) == 0;
}

bool ManifestWriter::close(uint64_t written, uint64_t dropped, std::string_view failure) {
    if (!file_) return false;
    std::fprintf(file_, "\n ],\n \"written\": %llu, \"dropped\": %llu, \"failed\": %s}\n",
                 static_cast<unsigned long long>(written), static_cast<unsigned long long>(dropped),
                 failure.empty() ? "null" : jsonString(failure).c_str());
    const bool ok = !std::ferror(file_);
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    return ok && closed;
}

}  // namespace vexo
