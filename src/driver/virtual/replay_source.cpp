#include "driver/virtual/replay_source.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <system_error>

#include "driver/virtual/json_document.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

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

constexpr const char* kRegularFilesOnly =
    "a recording's files must be regular files inside its directory";

// One file of a recording, open for reading. Frame files are opened without following a
// link, so a name in the manifest cannot reach a file outside the directory, and without
// blocking, so a FIFO put in a frame's place cannot hold the board's lock for ever; only a
// regular file is kept open.
class RecordingFile {
  public:
    RecordingFile() = default;
    RecordingFile(const RecordingFile&) = delete;
    RecordingFile& operator=(const RecordingFile&) = delete;
    ~RecordingFile() { close(); }

    // False with `why` ("DIR/f.raw: a symbolic link; ...") when it cannot be read.
    bool open(const std::string& path, bool followLinks, std::string& why) {
        close();
#ifndef _WIN32
        const int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | (followLinks ? 0 : O_NOFOLLOW);
        fd_ = ::open(path.c_str(), flags);
        if (fd_ < 0) {
            why = path + ": " +
                  (errno == ELOOP && !followLinks
                       ? std::string("a symbolic link; ") + kRegularFilesOnly
                       : std::strerror(errno));
            return false;
        }
        struct stat st {};
        if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
            why = path + ": not a regular file; " + kRegularFilesOnly;
            close();
            return false;
        }
        const int status = ::fcntl(fd_, F_GETFL);
        if (status < 0 || ::fcntl(fd_, F_SETFL, status & ~O_NONBLOCK) != 0) {
            why = path + ": " + std::strerror(errno);
            close();
            return false;
        }
        size_ = static_cast<uint64_t>(st.st_size);
        return true;
#else
        std::error_code ec;
        const auto status = followLinks ? std::filesystem::status(path, ec)
                                        : std::filesystem::symlink_status(path, ec);
        if (ec) {
            why = path + ": " + ec.message();
            return false;
        }
        if (!std::filesystem::is_regular_file(status)) {
            why = path + ": not a regular file; " + kRegularFilesOnly;
            return false;
        }
        file_ = std::fopen(path.c_str(), "rb");
        if (!file_ || _fseeki64(file_, 0, SEEK_END) != 0) {
            why = path + ": cannot be read";
            close();
            return false;
        }
        size_ = static_cast<uint64_t>(_ftelli64(file_));
        return true;
#endif
    }

    uint64_t size() const {
        return size_;
    }

    // Reads exactly `n` bytes at `offset`; false on a short read.
    bool read(uint64_t offset, uint8_t* out, size_t n) {
#ifndef _WIN32
        while (n > 0) {
            if (offset > static_cast<uint64_t>(INT64_MAX)) return false;
            const ssize_t got = ::pread(fd_, out, n, static_cast<off_t>(offset));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return false;
            out += got;
            offset += static_cast<uint64_t>(got);
            n -= static_cast<size_t>(got);
        }
        return true;
#else
        return offset <= static_cast<uint64_t>(INT64_MAX) &&
               _fseeki64(file_, static_cast<int64_t>(offset), SEEK_SET) == 0 &&
               std::fread(out, 1, n, file_) == n;
#endif
    }

  private:
    void close() {
#ifndef _WIN32
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
#else
        if (file_) std::fclose(file_);
        file_ = nullptr;
#endif
        size_ = 0;
    }
#ifndef _WIN32
    int fd_ = -1;
#else
    FILE* file_ = nullptr;
#endif
    uint64_t size_ = 0;
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
    RecordingFile frameFile;
    std::string why;
    if (!frameFile.open(r.path, false, why)) return c.fail(p + ".file", why);
    const uint64_t length = frameFile.size();
    if (r.offset > length || length - r.offset < r.size)
        return c.fail(p, "offset + u32Size lie past the end of " + r.path);
    return true;
}

}  // namespace

std::shared_ptr<const Recording> parseRecording(std::string_view manifest,
                                                const std::string& directory, bool checkFiles,
                                                std::string& error) {
    json doc;
    if (!parseJsonDocument(manifest, doc, error)) return nullptr;
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
    // The manifest is the file the caller named, so a link to it is followed; a FIFO is not.
    RecordingFile file;
    std::string why;
    if (!file.open(manifest, true, why)) {
        error = why;
        return nullptr;
    }
    if (file.size() > kLargestManifest) {
        error = manifest + ": larger than 256 MiB";
        return nullptr;
    }
    std::string text(file.size(), '\0');
    if (!file.read(0, reinterpret_cast<uint8_t*>(text.data()), text.size())) {
        error = manifest + ": cannot be read";
        return nullptr;
    }
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
    // A file swapped for a link or a FIFO since then is refused the same way, without waiting.
    RecordingFile file;
    std::string why;
    const bool ok = f.size <= buffer_.size() && file.open(f.path, false, why) &&
                    file.read(f.offset, buffer_.data(), f.size);
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
