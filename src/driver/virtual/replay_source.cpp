#include "driver/virtual/replay_source.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <system_error>

namespace vexo::driver::virt {

namespace {

using json = nlohmann::json;

constexpr size_t kLargestManifest = size_t{256} << 20;

struct Check {
    std::string& error;
    bool fail(const std::string& key, const std::string& what) {
        error = key + ": " + what;
        return false;
    }
    bool number(const json& object, const std::string& path, const char* key, uint64_t max,
                uint64_t& out) {
        auto it = object.find(key);
        const std::string where = path.empty() ? key : path + "." + key;
        if (it == object.end()) return fail(where, "missing");
        if (!it->is_number_unsigned()) return fail(where, "expected a whole number");
        out = it->get<uint64_t>();
        if (out > max) return fail(where, "out of range (at most " + std::to_string(max) + ")");
        return true;
    }
    template <size_t N>
    bool choice(const json& object, const std::string& path, const char* key,
                const char* const (&names)[N], int& out) {
        auto it = object.find(key);
        const std::string where = path + "." + key;
        if (it == object.end()) return fail(where, "missing");
        for (size_t i = 0; i < N; ++i) {
            if (it->is_string() && it->get_ref<const std::string&>() == names[i]) {
                out = static_cast<int>(i);
                return true;
            }
        }
        return fail(where, "not a known name");
    }
};

// A name that stays inside the recording's directory: no separators, no "." or "..".
bool plainFileName(const std::string& name) {
    if (name.empty() || name == "." || name == ".." || name.size() > 255) return false;
    for (const char c : name)
        if (c == '/' || c == '\\' || c == ':' || c == '\0') return false;
    return true;
}

// "configuration": the size and format every frame of the recording has.
bool readConfiguration(Check& c, const json& doc, Recording& rec) {
    auto cfg = doc.find("configuration");
    if (cfg == doc.end() || !cfg->is_object()) return c.fail("configuration", "expected an object");
    uint64_t width = 0, height = 0, pixelBytes = 0;
    int format = 0, bayer = 0;
    if (!c.number(*cfg, "configuration", "width", 16384, width) ||
        !c.number(*cfg, "configuration", "height", 16384, height) ||
        !c.number(*cfg, "configuration", "pixelBytes", 2, pixelBytes) ||
        !c.choice(*cfg, "configuration", "format", kPixelFormatNames, format) ||
        !c.choice(*cfg, "configuration", "bayer", kBayerOrderNames, bayer))
        return false;
    if (width == 0 || height == 0 || pixelBytes == 0)
        return c.fail("configuration", "width, height and pixelBytes must not be 0");
    rec.width = static_cast<uint32_t>(width);
    rec.height = static_cast<uint32_t>(height);
    rec.pixelBytes = static_cast<uint8_t>(pixelBytes);
    rec.format = static_cast<PixelFormat>(format);
    rec.bayer = static_cast<BayerOrder>(bayer);
    return true;
}

// One entry `p` of "frames": where its bytes lie, at most `largest` of them; with
// `checkFiles` the file must hold them.
bool readFrame(Check& c, const json& f, const std::string& p, const std::string& directory,
               uint64_t largest, bool checkFiles, RecordedFrame& r) {
    if (!f.is_object()) return c.fail(p, "expected an object");
    auto file = f.find("file");
    if (file == f.end() || !file->is_string() ||
        !plainFileName(file->get_ref<const std::string&>()))
        return c.fail(p + ".file", "expected a file name inside the recording");
    if (!f.contains("offset"))
        return c.fail(p + ".offset",
                      "missing: this frame's bytes are not stored unchanged (a PNG frame "
                      "cannot be replayed)");
    uint64_t size = 0;
    if (!c.number(f, p, "offset", UINT64_MAX, r.offset) ||
        !c.number(f, p, "u32Size", largest, size) || !c.number(f, p, "u64Time", UINT64_MAX, r.time))
        return false;
    r.size = static_cast<uint32_t>(size);
    r.path = directory + "/" + file->get<std::string>();
    if (!checkFiles) return true;
    std::error_code ec;
    const uint64_t length = std::filesystem::file_size(r.path, ec);
    if (ec) return c.fail(p + ".file", r.path + ": " + ec.message());
    if (r.offset > length || length - r.offset < r.size)
        return c.fail(p, "offset + u32Size lie past the end of " + r.path);
    return true;
}

}  // namespace

std::shared_ptr<const Recording> parseRecording(std::string_view manifest,
                                                const std::string& directory, bool checkFiles,
                                                std::string& error) {
    json doc;
    try {
        doc = json::parse(manifest.begin(), manifest.end());
    } catch (const json::parse_error& e) {
        error = "not valid JSON (error at byte " + std::to_string(e.byte) + ")";
        return nullptr;
    }
    Check c{error};
    if (!doc.is_object()) return c.fail("document", "expected an object"), nullptr;
    uint64_t version = 0;
    if (!c.number(doc, "", "vexoRecording", 1, version)) return nullptr;
    if (version != 1) return c.fail("vexoRecording", "expected 1"), nullptr;

    auto rec = std::make_shared<Recording>();
    rec->directory = directory;
    if (!readConfiguration(c, doc, *rec)) return nullptr;
    // The most any frame of this configuration may hold: two pictures of two-byte pixels
    // (doubled formats, RGB and YUV, the JPEG bound, long frames).
    const uint64_t largest =
        uint64_t{2} * rec->width * rec->height * std::max<uint64_t>(rec->pixelBytes, 2);

    auto frames = doc.find("frames");
    if (frames == doc.end() || !frames->is_array())
        return c.fail("frames", "expected an array"), nullptr;
    if (frames->empty()) return c.fail("frames", "the recording holds no frame"), nullptr;
    rec->frames.reserve(frames->size());
    for (size_t i = 0; i < frames->size(); ++i) {
        RecordedFrame r;
        if (!readFrame(c, (*frames)[i], "frames[" + std::to_string(i) + "]", directory, largest,
                       checkFiles, r))
            return nullptr;
        rec->largestFrame = std::max(rec->largestFrame, r.size);
        rec->frames.push_back(std::move(r));
    }
    return rec;
}

std::shared_ptr<const Recording> loadRecording(const std::string& path, std::string& error) {
    std::error_code ec;
    std::string directory = path, manifest = path;
    if (std::filesystem::is_directory(path, ec)) {
        manifest = path + "/manifest.json";
    } else {
        directory = std::filesystem::path(path).parent_path().string();
        if (directory.empty()) directory = ".";
    }
    const uint64_t length = std::filesystem::file_size(manifest, ec);
    if (ec) {
        error = manifest + ": " + ec.message();
        return nullptr;
    }
    if (length > kLargestManifest) {
        error = manifest + ": larger than 256 MiB";
        return nullptr;
    }
    std::string text(length, '\0');
    FILE* file = std::fopen(manifest.c_str(), "rb");
    const bool read = file && std::fread(text.data(), 1, text.size(), file) == text.size();
    if (file) std::fclose(file);
    if (!read) {
        error = manifest + ": cannot be read";
        return nullptr;
    }
    std::string why;
    auto rec = parseRecording(text, directory, true, why);
    if (!rec) error = manifest + ": " + why;
    return rec;
}

ReplayPlayer::ReplayPlayer(std::shared_ptr<const Recording> recording, bool loop)
    : recording_(std::move(recording)), loop_(loop), buffer_(recording_->largestFrame) {
    const auto& f = recording_->frames;
    const uint64_t first = f.front().time, last = f.back().time;
    const uint64_t span = last > first ? last - first : 0;
    passSpan_ = span + (f.size() > 1 ? span / (f.size() - 1) : 0);
}

uint64_t ReplayPlayer::nextTime() const {
    const auto& f = recording_->frames;
    const uint64_t pass = position_ / f.size();
    return f[position_ % f.size()].time + pass * passSpan_;
}

bool ReplayPlayer::prepare() {
    if (ended_) return false;
    if (prepared_) return true;
    const auto& frames = recording_->frames;
    if (!loop_ && position_ >= frames.size()) {
        ended_ = true;
        return false;
    }
    const RecordedFrame& f = frames[position_ % frames.size()];
    // The buffer holds the largest frame of the recording; a file that shrank since it was
    // checked gives a short read, and the replay ends rather than send bytes it did not read.
    FILE* file = std::fopen(f.path.c_str(), "rb");
    bool ok = file != nullptr && f.size <= buffer_.size();
    if (ok && f.offset > 0)
        ok = f.offset <= static_cast<uint64_t>(LONG_MAX) &&
             std::fseek(file, static_cast<long>(f.offset), SEEK_SET) == 0;
    ok = ok && std::fread(buffer_.data(), 1, f.size, file) == f.size;
    if (file) std::fclose(file);
    if (!ok) {
        ended_ = true;
        return false;
    }
    size_ = f.size;
    prepared_ = true;
    return true;
}

void ReplayPlayer::advance() {
    prepared_ = false;
    ++position_;
}

}  // namespace vexo::driver::virt
