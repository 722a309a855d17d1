// Recordings written past the page cache: frame files written with O_DIRECT are the same, byte
// for byte, as those written through the page cache; a refused direct write falls back to the
// ordinary one; a recording cut off by killing its process keeps every frame its manifest lists.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>
#include <vexo/recorder.hpp>

extern char** environ;

using namespace vexo;
namespace fs = std::filesystem;

namespace {

constexpr const char* kSerial = "VEXO-DIRECT";

// Frame `number` of a recording: every byte depends on the number and its place, so a frame
// holding another frame's bytes, or stale padding, shows.
void fillFrame(std::vector<uint8_t>& bytes, uint64_t number) {
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>((i * 7 + number * 131 + (i >> 9)) & 0xff);
}

uint64_t timeOf(uint64_t number) {
    return 134411742463279553ull + number * 333333;
}

RecordingHeader headerFor(const FrameFormat& layout) {
    RecordingHeader h;
    h.serial = kSerial;
    h.configSource = "direct test";
    h.layout = layout;
    return h;
}

FrameFormat format(uint32_t w, uint32_t h, int pixelBytes, int bits, FormatMode mode) {
    FrameFormat f;
    f.width = w;
    f.height = h;
    f.pixelBytes = static_cast<uint8_t>(pixelBytes);
    f.pixelBits = static_cast<uint8_t>(bits);
    f.format = mode;
    f.bayer = RAW_GB;
    return f;
}

std::vector<uint8_t> readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Whether files in `dir` may be opened with O_DIRECT (tmpfs refuses).
bool takesDirectIo(const fs::path& dir) {
    const fs::path probe = dir / "probe";
    const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_DIRECT, 0600);
    if (fd >= 0) ::close(fd);
    fs::remove(probe);
    return fd >= 0;
}

// Two directories on a disk (/var/tmp: tmpfs takes direct I/O only on recent kernels).
class Directories : public ::testing::Test {
  protected:
    void SetUp() override {
        base_ = fs::path("/var/tmp") / ("vexo_direct_" + std::to_string(getpid()));
        fs::remove_all(base_);
        fs::create_directories(base_);
        if (!takesDirectIo(base_)) GTEST_SKIP() << base_ << " does not take direct I/O";
    }
    void TearDown() override { fs::remove_all(base_); }
    fs::path base_;
};

// --- The same frames, direct and through the page cache ---------------------------------------

struct Case {
    const char* name;
    FrameFormat layout;
    bool rawFiles;
};

class SameFiles : public Directories, public ::testing::WithParamInterface<Case> {};

TEST_P(SameFiles, DirectRecordingEqualsThePageCacheOneByteForByte) {
    const Case& c = GetParam();
    const size_t whole = c.layout.layout().bytes;
    // Whole frames, then a short and a long one (kept as received, in .raw files), then an
    // empty one: none of the sizes is a multiple of the disk's block.
    const std::vector<size_t> sizes = {whole, whole, whole - 1001, whole + 77, 0, whole};
    RecorderOptions options;
    options.queueFrames = sizes.size();
    options.rawFiles = c.rawFiles;
    const fs::path directDir = base_ / "direct", bufferedDir = base_ / "buffered";
    Recorder direct(directDir.string(), headerFor(c.layout), options);
    options.directIo = false;
    Recorder buffered(bufferedDir.string(), headerFor(c.layout), options);
    std::vector<std::vector<uint8_t>> sent;
    for (size_t n = 0; n < sizes.size(); ++n) {
        sent.emplace_back(sizes[n]);
        fillFrame(sent.back(), n);
        FrameData frame{};
        frame.imageData = sent.back().data();
        frame.cfg.u32Size = static_cast<uint32_t>(sizes[n]);
        frame.u64Time = timeOf(n);
        ASSERT_TRUE(direct.offer(frame));
        ASSERT_TRUE(buffered.offer(frame));
    }
    ASSERT_EQ(direct.finish(), "");
    ASSERT_EQ(buffered.finish(), "");
    EXPECT_TRUE(direct.directIo()) << "a disk takes direct I/O";
    EXPECT_FALSE(buffered.directIo());
    ASSERT_EQ(direct.written(), sizes.size());
    ASSERT_EQ(buffered.written(), sizes.size());

    size_t files = 0;
    for (const auto& entry : fs::directory_iterator(bufferedDir)) {
        const fs::path name = entry.path().filename();
        ASSERT_TRUE(fs::exists(directDir / name)) << name;
        EXPECT_EQ(readFile(directDir / name), readFile(entry.path())) << name;
        ++files;
    }
    EXPECT_EQ(files, sizes.size() + 1) << "every frame and the manifest";
    // The frames' bytes themselves, where a file holds them as received.
    for (size_t n = 0; n < sizes.size(); ++n) {
        const fs::path raw = directDir / Recorder::fileName(n, FileKind::Raw);
        if (fs::exists(raw)) {
            EXPECT_EQ(readFile(raw), sent[n]) << raw;
        }
    }
}

const Case kCases[] = {
    {"raw10_dng", format(130, 97, 2, 10, FORMAT_MODE_RAW), false},
    {"raw8_dng", format(131, 67, 1, 8, FORMAT_MODE_RAW), false},
    {"raw12_raw_files", format(130, 97, 2, 12, FORMAT_MODE_RAW), true},
    {"mon10_png", format(130, 97, 2, 10, FORMAT_MODE_MON), false},
    {"yuv_raw", format(130, 97, 2, 8, FORMAT_MODE_YUV), false},
};

INSTANTIATE_TEST_SUITE_P(Formats, SameFiles, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// --- A recording cut off by SIGKILL
// ---------------------------------------------------------------

const FrameFormat kKillLayout = format(640, 480, 2, 10, FORMAT_MODE_RAW);

// The child: records frames into $VEXO_DIRECT_TEST_CHILD (with direct I/O when
// $VEXO_DIRECT_TEST_IO is not empty) until it is killed. Runs before main, so
// the test binary re-executed with that variable is the recording process and nothing else.
[[maybe_unused]] const bool kChild = [] {
    const char* dir = std::getenv("VEXO_DIRECT_TEST_CHILD");
    if (!dir) return false;
    RecorderOptions options;
    options.queueFrames = 4;
    const char* io = std::getenv("VEXO_DIRECT_TEST_IO");
    options.directIo = io && *io;
    Recorder recorder(dir, headerFor(kKillLayout), options);
    std::vector<uint8_t> bytes(kKillLayout.layout().bytes);
    for (;;) {
        const uint64_t n = recorder.offered();
        fillFrame(bytes, n);
        FrameData frame{};
        frame.imageData = bytes.data();
        frame.cfg.u32Size = static_cast<uint32_t>(bytes.size());
        frame.u64Time = timeOf(n);
        if (!recorder.offer(frame)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}();

struct Listed {
    std::string file;
    unsigned long long offset = 0, number = 0, time = 0;
    unsigned size = 0;
};

// The complete entries of a manifest that may end anywhere.
std::vector<Listed> listedFrames(const fs::path& manifest) {
    std::vector<Listed> out;
    std::ifstream in(manifest);
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || (line.back() != '}' && line.back() != ',') ||
            line.find("\"status\"") == std::string::npos)
            continue;
        Listed e;
        char file[64] = "";
        if (std::sscanf(line.c_str(),
                        " {\"file\": \"%63[^\"]\", \"offset\": %llu, \"number\": %llu, "
                        "\"u64Time\": %llu, \"u32Size\": %u",
                        file, &e.offset, &e.number, &e.time, &e.size) != 5)
            continue;
        e.file = file;
        out.push_back(e);
    }
    return out;
}

class KilledRecording : public Directories, public ::testing::WithParamInterface<bool> {};

TEST_P(KilledRecording, KeepsEveryFrameItsManifestLists) {
    const fs::path dir = base_ / "take";
    const std::string env = "VEXO_DIRECT_TEST_CHILD=" + dir.string();
    const std::string mode = std::string("VEXO_DIRECT_TEST_IO=") + (GetParam() ? "direct" : "");
    std::vector<char*> envp;
    for (char** e = environ; *e; ++e) envp.push_back(*e);
    envp.push_back(const_cast<char*>(env.c_str()));
    envp.push_back(const_cast<char*>(mode.c_str()));
    envp.push_back(nullptr);
    char self[] = "/proc/self/exe";
    char* argv[] = {self, nullptr};
    pid_t child = 0;
    ASSERT_EQ(posix_spawn(&child, self, nullptr, nullptr, argv, envp.data()), 0);

    // Killed while it writes, once it has listed a few dozen frames (given up after a minute).
    constexpr size_t kListed = 40;
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (listedFrames(dir / "manifest.json").size() < kListed &&
           std::chrono::steady_clock::now() < giveUp)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the recording ended by itself";

    const std::vector<Listed> listed = listedFrames(dir / "manifest.json");
    ASSERT_GE(listed.size(), kListed);
    const RecordingHeader header = headerFor(kKillLayout);
    std::vector<uint8_t> bytes(kKillLayout.layout().bytes);
    const fs::path expected = dir.parent_path() / "expected.dng";
    for (const Listed& e : listed) {
        ASSERT_EQ(e.file, Recorder::fileName(e.number, FileKind::Dng));
        ASSERT_EQ(e.size, bytes.size());
        ASSERT_EQ(e.time, timeOf(e.number));
        // The file is the one the page-cache writer makes of the frame the child sent.
        fillFrame(bytes, e.number);
        WrittenFile written;
        std::string error;
        const std::string camera = std::string("Vexo ") + kSerial;
        ASSERT_TRUE(writeFrameFile(expected.c_str(), FileKind::Dng, header.layout, bytes,
                                   {e.number, e.time, camera}, written, error))
            << error;
        ASSERT_EQ(written.dataOffset, e.offset);
        ASSERT_EQ(readFile(dir / e.file), readFile(expected)) << e.file;
    }
}

INSTANTIATE_TEST_SUITE_P(Writes, KilledRecording, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "direct" : "page_cache"; });

// --- A refused direct write
// -----------------------------------------------------------------------

// A file system that refuses O_DIRECT answers EINVAL, at the open (tmpfs before Linux 6.6) or
// at the first write; a disk answers a misaligned buffer the same way at the first write. The
// writer then writes that file, and every later one, through the page cache.
TEST_F(Directories, RefusedDirectWriteFallsBackToThePageCacheWithTheSameFile) {
    const FrameFormat layout = format(130, 97, 2, 10, FORMAT_MODE_RAW);
    const size_t bytes = layout.layout().bytes;
    const size_t offset = frameOffsetInFile(FileKind::Dng);
    const size_t room =
        (offset + bytes + kFileImageRoom) / kDirectAlignment * kDirectAlignment + kDirectAlignment;
    // aligned_alloc takes whole multiples of the alignment.
    auto* block =
        static_cast<uint8_t*>(std::aligned_alloc(kDirectAlignment, room + kDirectAlignment));
    ASSERT_NE(block, nullptr);
    const std::unique_ptr<uint8_t, decltype(&std::free)> owner(block, &std::free);
    const std::span<uint8_t> misaligned(block + 1, room);

    DirectFileWriter writer;
    for (uint64_t n = 0; n < 2; ++n) {
        std::vector<uint8_t> frame(bytes);
        fillFrame(frame, n);
        std::memcpy(misaligned.data() + offset, frame.data(), bytes);
        const FrameStamp stamp{n, timeOf(n), "Vexo test"};
        const fs::path got = base_ / ("got" + std::to_string(n) + ".dng");
        const fs::path want = base_ / ("want" + std::to_string(n) + ".dng");
        WrittenFile gotWritten, wantWritten;
        std::string error;
        ASSERT_TRUE(writer.write(got.c_str(), FileKind::Dng, layout, misaligned, bytes, stamp,
                                 gotWritten, error))
            << error;
        EXPECT_FALSE(writer.direct());
        ASSERT_TRUE(
            writeFrameFile(want.c_str(), FileKind::Dng, layout, frame, stamp, wantWritten, error))
            << error;
        EXPECT_EQ(gotWritten.dataOffset, wantWritten.dataOffset);
        EXPECT_EQ(readFile(got), readFile(want)) << got;
    }
}

}  // namespace

// --- The DNG's DateTime ------------------------------------------------------------------------

// A frame's u64Time as the DNG's DateTime text (UTC), also past January 2038, where a 32-bit
// time_t ends, and as the last second of 9999 for later times (the field has four digits).
struct DateCase {
    uint64_t time;
    const char* text;
};

class DngDateTime : public ::testing::TestWithParam<DateCase> {};

TEST_P(DngDateTime, IsTheFrameTimeInUtc) {
    const FrameFormat layout = format(64, 8, 1, 8, FORMAT_MODE_RAW);
    std::vector<uint8_t> frame(64 * 8);
    fillFrame(frame, 1);
    const fs::path path =
        fs::path(::testing::TempDir()) / ("vexo_dng_time_" + std::to_string(getpid()) + ".dng");
    WrittenFile written;
    std::string error;
    ASSERT_TRUE(writeFrameFile(path.c_str(), FileKind::Dng, layout, frame,
                               FrameStamp{1, GetParam().time, "Vexo test"}, written, error))
        << error;
    const std::vector<uint8_t> bytes = readFile(path);
    fs::remove(path);
    const std::string text(bytes.begin(), bytes.end());
    EXPECT_NE(text.find(std::string(GetParam().text) + '\0'), std::string::npos)
        << "no DateTime " << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Times, DngDateTime,
                         ::testing::Values(DateCase{0, "1970:01:01 00:00:00"},
                                           DateCase{134412048000000000ull, "2026:12:08 12:00:00"},
                                           DateCase{138585637230000000ull, "2040:02:29 01:02:03"},
                                           DateCase{159394408960000000ull, "2106:02:07 06:28:16"},
                                           DateCase{~0ull, "9999:12:31 23:59:59"}));
