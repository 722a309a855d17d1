#include <fcntl.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>
#include <vexo/frame_files.hpp>
#include <vexo/image_files.hpp>

#include "isp_dng.h"

namespace vexo {

namespace {

bool fail(const char* path, const std::string& why, std::string& error) {
    error = std::string(path) + ": " + why;
    return false;
}

// "YYYY:MM:DD HH:MM:SS" (TIFF DateTime, UTC) of a FILETIME value. The civil date is computed
// here, not by gmtime(): a 32-bit time_t (32-bit ARM) ends in January 2038, and a year past
// 9999 would not fit the field's four digits (the last second of 9999 is written for later).
void tiffDateTime(uint64_t fileTime, char (&text)[20]) {
    constexpr uint64_t kUnixEpoch = 116444736000000000ull;
    constexpr uint64_t kLastSecond = 253402300799ull;  // 9999-12-31 23:59:59
    uint64_t seconds = fileTime > kUnixEpoch ? (fileTime - kUnixEpoch) / 10000000 : 0;
    if (seconds > kLastSecond) seconds = kLastSecond;
    const std::chrono::year_month_day date{
        std::chrono::sys_days{std::chrono::days{static_cast<int>(seconds / 86400)}}};
    const auto second = static_cast<unsigned>(seconds % 86400);
    // Every field is reduced to its digits so that the compiler sees the text fits.
    const int year = std::clamp(static_cast<int>(date.year()), 0, 9999);
    std::snprintf(text, sizeof text, "%04u:%02u:%02u %02u:%02u:%02u",
                  static_cast<unsigned>(year) % 10000u, static_cast<unsigned>(date.month()) % 100,
                  static_cast<unsigned>(date.day()) % 100, second / 3600 % 100, second / 60 % 60,
                  second % 60);
}

// The libtiff part of a DNG: one uncompressed strip holding the frame's bytes unchanged.
bool encodeDng(TIFF* tif, const FrameFormat& format, std::span<const uint8_t> frame,
               const FrameStamp& stamp, uint64_t& dataOffset) {
    const uint32_t rows = format.layout().rows;
    const uint16_t depth = static_cast<uint16_t>(format.pixelBytes * 8);
    // CFA colours of the top-left 2x2 cell (0 red, 1 green, 2 blue) for RG, GR, GB, BG.
    static constexpr uint8_t kCfa[4][4] = {{0, 1, 1, 2}, {1, 0, 2, 1}, {1, 2, 0, 1}, {2, 1, 1, 0}};
    static constexpr uint8_t kDngVersion[4] = {1, 4, 0, 0};
    static constexpr uint8_t kDngBackward[4] = {1, 1, 0, 0};
    static constexpr uint16_t kRepeat[2] = {2, 2};
    // The colour of the camera file's [colour] section; without one the camera's primaries
    // are taken as sRGB's, so raw converters show plausible colours.
    const DngColour colour =
        dngColour(stamp.colour ? *stamp.colour : ColourSettings{}, format.bayer);
    const uint32_t white[1] = {(1u << format.layout().sampleBits) - 1};
    char dateTime[20];
    tiffDateTime(stamp.time, dateTime);
    // The frame's number and exact time go into DocumentName: dcraw reads 512 bytes from an
    // ImageDescription's offset, which runs past the end of a small file's last tag.
    char description[96];
    std::snprintf(description, sizeof description, "vexo frame %llu, u64Time %llu",
                  static_cast<unsigned long long>(stamp.number),
                  static_cast<unsigned long long>(stamp.time));
    const std::string camera(stamp.camera);

    bool ok =
        TIFFSetField(tif, TIFFTAG_SUBFILETYPE, 0) &&
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, format.width) &&
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, rows) &&
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, depth) &&
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1) &&
        TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_NONE) &&
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_CFA) &&
        TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
        TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT) &&
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rows) && TIFFSetField(tif, TIFFTAG_MAKE, "Vexo") &&
        TIFFSetField(tif, TIFFTAG_MODEL, camera.c_str()) &&
        TIFFSetField(tif, TIFFTAG_UNIQUECAMERAMODEL, camera.c_str()) &&
        TIFFSetField(tif, TIFFTAG_SOFTWARE, "vexo") &&
        TIFFSetField(tif, TIFFTAG_DATETIME, dateTime) &&
        TIFFSetField(tif, TIFFTAG_DOCUMENTNAME, description) &&
        TIFFSetField(tif, TIFFTAG_DNGVERSION, kDngVersion) &&
        TIFFSetField(tif, TIFFTAG_DNGBACKWARDVERSION, kDngBackward) &&
        TIFFSetField(tif, TIFFTAG_CFAREPEATPATTERNDIM, kRepeat) &&
        TIFFSetField(tif, TIFFTAG_CFAPATTERN, 4, kCfa[static_cast<unsigned>(format.bayer) & 3]) &&
        TIFFSetField(tif, TIFFTAG_BLACKLEVELREPEATDIM, kRepeat) &&
        TIFFSetField(tif, TIFFTAG_BLACKLEVEL, 4, colour.black.data()) &&
        TIFFSetField(tif, TIFFTAG_WHITELEVEL, 1, white) &&
        TIFFSetField(tif, TIFFTAG_COLORMATRIX1, 9, colour.xyzToCamera.data()) &&
        TIFFSetField(tif, TIFFTAG_CALIBRATIONILLUMINANT1, 21) &&
        TIFFSetField(tif, TIFFTAG_ASSHOTNEUTRAL, 3, colour.neutral.data());
    // Written as received: TIFFWriteRawStrip neither swaps nor packs, and the file is
    // little-endian like the frame's 2-byte samples.
    ok = ok && TIFFWriteRawStrip(tif, 0, const_cast<uint8_t*>(frame.data()),
                                 static_cast<tmsize_t>(frame.size())) ==
                   static_cast<tmsize_t>(frame.size());
    uint64_t* offsets = nullptr;
    ok = ok && TIFFGetField(tif, TIFFTAG_STRIPOFFSETS, &offsets) && offsets;
    if (ok) dataOffset = offsets[0];
    return ok && TIFFWriteDirectory(tif);
}

bool writeDng(const char* path, const FrameFormat& format, std::span<const uint8_t> frame,
              const FrameStamp& stamp, WrittenFile& out, std::string& error) {
    // libtiff reports through handlers that print; the caller gets one line instead.
    TIFFSetErrorHandler(nullptr);
    TIFFSetWarningHandler(nullptr);
    TIFF* tif = TIFFOpen(path, "wl");
    if (!tif) return fail(path, std::strerror(errno ? errno : EIO), error);
    uint64_t offset = 0;
    const bool ok = encodeDng(tif, format, frame, stamp, offset);
    TIFFClose(tif);
    if (!ok) return fail(path, "DNG writing failed", error);
    out.dataOffset = offset;
    return true;
}

bool writeBytes(const char* path, std::span<const uint8_t> frame, WrittenFile& out,
                std::string& error) {
    FILE* file = std::fopen(path, "wb");
    if (!file) return fail(path, std::strerror(errno), error);
    const bool written = std::fwrite(frame.data(), 1, frame.size(), file) == frame.size();
    const int savedErrno = errno;
    if (std::fclose(file) != 0 || !written)
        return fail(path, std::strerror(written ? errno : savedErrno), error);
    out.dataOffset = 0;
    return true;
}

bool writeGreyPng(const char* path, const FrameFormat& format, std::span<const uint8_t> frame,
                  std::string& error) {
    ImageView image;
    image.width = format.width;
    image.height = format.layout().rows;
    if (format.pixelBytes == 1) {
        image.layout = PixelLayout::Gray8;
        image.pixels = frame;
        return writePng(path, image, error);
    }
    // PNG stores 16-bit samples big-endian and scaled to 16 bits, the original bits named by
    // sBIT. Shifting by 16 - bits keeps every value recoverable while all of them fit in the
    // significant bits; a frame with a larger value is kept unshifted with sBIT 16.
    unsigned bits = format.layout().sampleBits;
    const size_t samples = frame.size() / 2;
    const uint32_t max = (1u << bits) - 1;
    for (size_t i = 0; i < samples && bits < 16; ++i)
        if ((frame[2 * i] | (uint32_t{frame[2 * i + 1]} << 8)) > max) bits = 16;
    // One buffer per writing thread, grown once: frame after frame allocates nothing.
    thread_local std::vector<uint8_t> wide;
    wide.resize(frame.size());
    const unsigned shift = 16 - bits;
    for (size_t i = 0; i < samples; ++i) {
        const uint32_t v = (frame[2 * i] | (uint32_t{frame[2 * i + 1]} << 8)) << shift;
        wide[2 * i] = static_cast<uint8_t>(v >> 8);
        wide[2 * i + 1] = static_cast<uint8_t>(v);
    }
    image.layout = PixelLayout::Gray16;
    image.pixels = std::span<const uint8_t>(wide.data(), frame.size());
    image.significantBits = static_cast<uint8_t>(bits);
    return writePng(path, image, error);
}

// A TIFF file built in memory, in the image buffer of a direct write. The frame already lies at
// its place in the buffer: libtiff's write of the strip from that very place copies nothing, and
// any write that would overwrite the frame before it is in place is refused, so a libtiff that
// lays the file out otherwise fails over to the ordinary writer instead of corrupting a frame.
struct ImageSink {
    uint8_t* data = nullptr;
    size_t capacity = 0, pos = 0, length = 0;
    size_t frameBegin = 0, frameEnd = 0;

    bool overlapsFrame(size_t begin, size_t end) const {
        return begin < frameEnd && frameBegin < end;
    }
    static ImageSink& of(thandle_t h) { return *static_cast<ImageSink*>(h); }

    static tmsize_t read(thandle_t h, void* buffer, tmsize_t size) {
        ImageSink& s = of(h);
        const size_t n =
            s.pos < s.length ? std::min(static_cast<size_t>(size), s.length - s.pos) : 0;
        std::memcpy(buffer, s.data + s.pos, n);
        s.pos += n;
        return static_cast<tmsize_t>(n);
    }
    static tmsize_t write(thandle_t h, void* buffer, tmsize_t size) {
        ImageSink& s = of(h);
        const size_t n = static_cast<size_t>(size);
        if (size < 0 || n > s.capacity || s.pos > s.capacity - n) return -1;
        uint8_t* to = s.data + s.pos;
        if (to != buffer) {
            if (s.overlapsFrame(s.pos, s.pos + n)) return -1;
            // A file grown by a seek past its end reads zeros there.
            if (s.pos > s.length) {
                if (s.overlapsFrame(s.length, s.pos)) return -1;
                std::memset(s.data + s.length, 0, s.pos - s.length);
            }
            std::memmove(to, buffer, n);
        } else if (s.pos > s.length && s.overlapsFrame(s.length, s.pos)) {
            return -1;  // a gap before the frame's own place would not read as zeros
        } else if (s.pos > s.length) {
            std::memset(s.data + s.length, 0, s.pos - s.length);
        }
        s.pos += n;
        s.length = std::max(s.length, s.pos);
        return size;
    }
    static toff_t seek(thandle_t h, toff_t offset, int whence) {
        ImageSink& s = of(h);
        const uint64_t base = whence == SEEK_CUR ? s.pos : whence == SEEK_END ? s.length : 0;
        if (base > s.capacity || offset > s.capacity - base) return static_cast<toff_t>(-1);
        s.pos = static_cast<size_t>(base + offset);
        return s.pos;
    }
    static int close(thandle_t) { return 0; }
    static toff_t size(thandle_t h) { return of(h).length; }
    static int map(thandle_t, void**, toff_t*) { return 0; }
    static void unmap(thandle_t, void*, toff_t) {}
};

// Lays out a DNG of the frame at frameOffsetInFile(Dng) of `image`; its length in `length`.
bool dngImage(std::span<uint8_t> image, size_t frameBytes, const FrameFormat& format,
              const FrameStamp& stamp, size_t& length, uint64_t& dataOffset) {
    ImageSink sink;
    sink.data = image.data();
    sink.capacity = image.size();
    sink.frameBegin = frameOffsetInFile(FileKind::Dng);
    sink.frameEnd = sink.frameBegin + frameBytes;
    TIFFSetErrorHandler(nullptr);
    TIFFSetWarningHandler(nullptr);
    TIFF* tif =
        TIFFClientOpen("dng", "wl", &sink, ImageSink::read, ImageSink::write, ImageSink::seek,
                       ImageSink::close, ImageSink::size, ImageSink::map, ImageSink::unmap);
    if (!tif) return false;
    const std::span<const uint8_t> frame(image.data() + sink.frameBegin, frameBytes);
    const bool ok = encodeDng(tif, format, frame, stamp, dataOffset);
    TIFFClose(tif);
    length = sink.length;
    return ok;
}

// Writes the first `length` bytes of `image` to `path` with O_DIRECT. `refused`: the file
// system does not do direct I/O (nothing was written that the caller must keep).
bool writeDirect(const char* path, std::span<uint8_t> image, size_t length, bool& refused,
                 std::string& error) {
    refused = false;
    const size_t padded = (length + kDirectAlignment - 1) / kDirectAlignment * kDirectAlignment;
    if (padded > image.size()) return fail(path, "frame larger than its file buffer", error);
    // The padding reaches the disk for a moment, before the file is cut to its length.
    std::memset(image.data() + length, 0, padded - length);
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_DIRECT | O_CLOEXEC, 0666);
    if (fd < 0) {
        refused = errno == EINVAL;
        return fail(path, std::strerror(errno), error);
    }
    size_t done = 0;
    while (done < padded) {
        const ssize_t n =
            ::pwrite(fd, image.data() + done, padded - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int why = n < 0 ? errno : ENOSPC;
            refused = done == 0 && why == EINVAL;
            ::close(fd);
            return fail(path, std::strerror(why), error);
        }
        done += static_cast<size_t>(n);
    }
    if (::ftruncate(fd, static_cast<off_t>(length)) != 0) {
        const int why = errno;
        ::close(fd);
        return fail(path, std::strerror(why), error);
    }
    if (::close(fd) != 0) return fail(path, std::strerror(errno), error);
    return true;
}

}  // namespace

size_t frameOffsetInFile(FileKind kind) {
    return kind == FileKind::Dng ? 8 : 0;
}

bool DirectFileWriter::write(const char* path, FileKind kind, const FrameFormat& format,
                             std::span<uint8_t> image, size_t frameBytes, const FrameStamp& stamp,
                             WrittenFile& out, std::string& error) {
    const size_t offset = frameOffsetInFile(kind);
    if (image.size() < offset + frameBytes)
        return fail(path, "frame larger than its file buffer", error);
    const std::span<const uint8_t> frame(image.data() + offset, frameBytes);
    if (direct_ && kind != FileKind::Png) {
        out = WrittenFile{kind, std::nullopt};
        size_t length = frameBytes;
        uint64_t dataOffset = 0;
        bool laidOut = true;
        if (kind == FileKind::Dng) {
            const FrameLayout layout = format.layout();
            const bool whole =
                (format.format == FORMAT_MODE_RAW || format.format == FORMAT_MODE_RAW_D) &&
                layout.exact && frameBytes == layout.bytes && frameBytes > 0 &&
                (layout.sampleBytes == 1 || layout.sampleBytes == 2);
            // Anything the in-memory layout cannot do goes to the ordinary writer, which also
            // names what is wrong with the frame.
            laidOut = whole && dngImage(image, frameBytes, format, stamp, length, dataOffset);
        }
        if (laidOut) {
            bool refused = false;
            if (writeDirect(path, image, length, refused, error)) {
                out.dataOffset = dataOffset;
                return true;
            }
            if (!refused) return false;
            direct_ = false;
            std::fprintf(stderr,
                         "vexo: %s: the file system refuses direct I/O; frame files go through "
                         "the page cache\n",
                         path);
        }
    }
    return writeFrameFile(path, kind, format, frame, stamp, out, error);
}

FileKind fileKindFor(const FrameFormat& format, size_t size) {
    if (format.format == FORMAT_MODE_JPG) return FileKind::Jpeg;
    const FrameLayout layout = format.layout();
    // DNG and PNG hold whole frames of one- or two-byte samples; anything else is kept as
    // received.
    if (!layout.exact || size != layout.bytes || size == 0) return FileKind::Raw;
    if (layout.sampleBytes != 1 && layout.sampleBytes != 2) return FileKind::Raw;
    switch (format.format) {
        case FORMAT_MODE_RAW:
        case FORMAT_MODE_RAW_D:
            return FileKind::Dng;
        case FORMAT_MODE_MON:
        case FORMAT_MODE_MON_D:
            return FileKind::Png;
        default:
            return FileKind::Raw;
    }
}

std::string_view fileExtension(FileKind kind) {
    switch (kind) {
        case FileKind::Dng:
            return "dng";
        case FileKind::Png:
            return "png";
        case FileKind::Jpeg:
            return "jpg";
        default:
            return "raw";
    }
}

std::optional<FileKind> fileKindOfPath(std::string_view path) {
    const size_t dot = path.rfind('.');
    if (dot == std::string_view::npos || path.find('/', dot) != std::string_view::npos)
        return std::nullopt;
    std::string ext(path.substr(dot + 1));
    for (char& c : ext) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (ext == "dng" || ext == "tif" || ext == "tiff") return FileKind::Dng;
    if (ext == "png") return FileKind::Png;
    if (ext == "raw" || ext == "bin") return FileKind::Raw;
    if (ext == "jpg" || ext == "jpeg") return FileKind::Jpeg;
    return std::nullopt;
}

bool writeFrameFile(const char* path, FileKind kind, const FrameFormat& format,
                    std::span<const uint8_t> frame, const FrameStamp& stamp, WrittenFile& out,
                    std::string& error) {
    out = WrittenFile{kind, std::nullopt};
    const FrameLayout layout = format.layout();
    const bool whole = layout.exact && frame.size() == layout.bytes && !frame.empty() &&
                       (layout.sampleBytes == 1 || layout.sampleBytes == 2);
    const bool raw = format.format == FORMAT_MODE_RAW || format.format == FORMAT_MODE_RAW_D;
    const bool mono = format.format == FORMAT_MODE_MON || format.format == FORMAT_MODE_MON_D;
    switch (kind) {
        case FileKind::Dng:
            if (!raw || !whole)
                return fail(path, "DNG holds whole RAW frames only (this frame: use .raw)", error);
            return writeDng(path, format, frame, stamp, out, error);
        case FileKind::Png:
            if (!mono || !whole)
                return fail(path, "PNG holds whole MON frames only (this frame: use .raw)", error);
            return writeGreyPng(path, format, frame, error);
        default:
            return writeBytes(path, frame, out, error);
    }
}

bool saveFrame(const char* path, const FrameFormat& format, std::span<const uint8_t> frame,
               const FrameStamp& stamp, std::string& error) {
    const std::optional<FileKind> kind = fileKindOfPath(path);
    if (!kind) return fail(path, "unknown extension (use .dng, .png, .raw or .jpg)", error);
    if (*kind == FileKind::Jpeg && format.format != FORMAT_MODE_JPG)
        return fail(path, ".jpg holds JPG frames only (this frame: use .dng, .png or .raw)", error);
    WrittenFile written;
    return writeFrameFile(path, *kind, format, frame, stamp, written, error);
}

}  // namespace vexo
