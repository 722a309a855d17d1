/*
 * bench_record: `vexo record`'s path from an unpaced 1280x720 RAW10 virtual board (two bytes
 * a pixel, 1.84 MB a frame) to DNG files: capture through the camera object, each frame offered
 * to the Recorder (copied into its bounded queue), DNG files and manifest written by its
 * writer thread. Against it, in the same run and on the same file system:
 *
 *   - a plain sequential write: the same number of bytes in frame-sized fwrite calls into one
 *     file, through the page cache;
 *   - a direct sequential write, as `dd oflag=direct bs=<frame>` does it: the same bytes in
 *     frame-sized O_DIRECT writes from one aligned buffer into one file (the most a writer of
 *     these bytes past the page cache can expect from the file system);
 *   - the writer alone: the same frames written as DNG files from memory by the recorder's
 *     writer (past the page cache where the file system allows it), with no capture competing
 *     for the two cores.
 *
 * Every phase starts from the same file-system state: the previous phase's files are removed
 * first, and a warm-up write of the same size (removed again) comes before the first round, so
 * no phase pays for pages another left behind or for memory first touched. Three rounds of the
 * three phases; the medians are printed. Neither side syncs to the disk: both measure what the
 * file system takes into its cache, as a recording does while it runs. Files go to
 * $VEXO_BENCH_DIR (default: bench-record in the current directory) and are removed afterwards.
 *
 * Then the sustained rate: frames offered at 90% of the frames per second the unpaced
 * recordings wrote (their median), with the frames dropped (0 when the rate is sustained). The
 * bench paces the offers itself: frame k of the unpaced board is held until start + k / rate.
 * A virtual board paced at that rate would not deliver it: its modelled SuperSpeed link carries
 * 400 MB/s, about 217 of these frames a second, less the host's turn-around between reads.
 * The rate the offers actually reached is printed beside the rate asked for.
 *
 * Prints the recording's frames per second, frames dropped, the CPU time the process spent per
 * recorded GB (capture and writing together) beside that of the direct sequential write, and
 *   "ratio recording vs sequential write: x.xx"
 *   "ratio recording vs direct sequential write: x.xx"  (goal >= 0.8, with 0 frames dropped)
 *   "ratio DNG writer vs sequential write: x.xx"
 */
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>
#include <vexo/recorder.hpp>

#include "bench_camera.h"

namespace {

using namespace vexo::bench;

constexpr uint32_t kFrameBytes = kWidth * kHeight * 2;
constexpr double kSeconds = 3.0;
constexpr int kRounds = 3;

vexo::RecordingHeader header() {
    vexo::RecordingHeader h;
    h.serial = "VEXO-VIRTUAL-000";
    h.configSource = "bench";
    h.layout = {kWidth, kHeight, 2, 10, FORMAT_MODE_RAW, RAW_RG};
    return h;
}

struct Recording {
    uint64_t offered = 0, written = 0, dropped = 0, bytes = 0;
    double seconds = 0;       // first frame offered .. the last file and the manifest written
    double offerSeconds = 0;  // first frame offered .. the last
    double cpuSeconds = 0;    // of the whole process (capture and writer) over `seconds`
    bool direct = false;      // the files went past the page cache
};

// User and system CPU time of the whole process so far.
double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// One aligned buffer for direct writes; freed with free().
struct AlignedBuffer {
    explicit AlignedBuffer(size_t bytes)
        : data(static_cast<uint8_t*>(std::aligned_alloc(vexo::kDirectAlignment, bytes))),
          size(bytes) {}
    ~AlignedBuffer() { std::free(data); }
    AlignedBuffer(const AlignedBuffer&) = delete;
    AlignedBuffer& operator=(const AlignedBuffer&) = delete;
    uint8_t* data;
    size_t size;
};

size_t roundUp(size_t n) {
    return (n + vexo::kDirectAlignment - 1) / vexo::kDirectAlignment * vexo::kDirectAlignment;
}

// Records for kSeconds. `fps` 0: every frame offered as soon as the unpaced board delivers it;
// otherwise frame k is held until start + k / fps, so frames are offered at that rate.
bool record(const std::filesystem::path& dir, double fps, Recording& out) {
    BoardSetup setup;
    setup.pixelBytes = 2;
    setup.pixelBits = 10;
    setup.i2cMode = I2C_MODE_16_8;
    BoardCapture board(setup);
    if (!board.started()) return false;

    vexo::Recorder recorder(dir.string(), header());
    const double cpuStart = cpuSeconds();
    const auto start = Clock::now();
    uint64_t k = 0;
    auto offer = [&](const FrameData& frame) {
        if (fps > 0)
            std::this_thread::sleep_until(
                start + std::chrono::duration_cast<Clock::duration>(
                            std::chrono::duration<double>(static_cast<double>(k++) / fps)));
        recorder.offer(frame);
    };
    while (secondsSince(start) < kSeconds)
        if (!board.capture(offer)) return false;
    out.offerSeconds = secondsSince(start);
    board.camera().endCaptureImage();
    if (!recorder.finish().empty()) return false;
    out.seconds = secondsSince(start);
    out.cpuSeconds = cpuSeconds() - cpuStart;
    out.direct = recorder.directIo();
    out.offered = recorder.offered();
    out.written = recorder.written();
    out.dropped = recorder.dropped();
    out.bytes = recorder.bytesWritten();
    return out.written > 0;
}

// The same frames as DNG files straight from memory, by the recorder's writer: its own rate.
double writeDngs(const std::filesystem::path& dir, uint64_t frames) {
    const size_t offset = vexo::frameOffsetInFile(vexo::FileKind::Dng);
    AlignedBuffer image(roundUp(offset + kFrameBytes + vexo::kFileImageRoom));
    if (!image.data) return 0;
    const auto h = header();
    // The writer lays the file out around the frame without touching it: placed once.
    for (size_t i = 0; i < kFrameBytes; i += 2) {
        image.data[offset + i] = static_cast<uint8_t>(i / 2);
        image.data[offset + i + 1] = 0;
    }
    vexo::DirectFileWriter writer;
    const auto start = Clock::now();
    for (uint64_t n = 0; n < frames; ++n) {
        const std::string path = (dir / ("w_" + std::to_string(n) + ".dng")).string();
        vexo::WrittenFile written;
        std::string error;
        if (!writer.write(path.c_str(), vexo::FileKind::Dng, h.layout,
                          std::span<uint8_t>(image.data, image.size), kFrameBytes,
                          {n, 0, "Vexo bench"}, written, error))
            return 0;
    }
    return static_cast<double>(frames * kFrameBytes) / secondsSince(start);
}

// `bytes` in frame-sized O_DIRECT writes from one aligned buffer into one file, as
// `dd if=/dev/zero of=FILE oflag=direct bs=<frame>` writes them. 0 when the file system refuses
// direct I/O. `cpu`: the CPU time it took.
double writeDirectSequential(const std::filesystem::path& file, uint64_t bytes, double& cpu) {
    AlignedBuffer frame(roundUp(kFrameBytes));
    if (!frame.data) return 0;
    std::memset(frame.data, 0x5A, frame.size);
    const double cpuStart = cpuSeconds();
    const auto start = Clock::now();
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_DIRECT, 0644);
    if (fd < 0) return 0;
    uint64_t done = 0;
    while (done < bytes) {
        if (::write(fd, frame.data, frame.size) != static_cast<ssize_t>(frame.size)) break;
        done += frame.size;
    }
    if (::close(fd) != 0 || done < bytes) return 0;
    const double rate = static_cast<double>(done) / secondsSince(start);
    cpu = cpuSeconds() - cpuStart;
    return rate;
}

// `bytes` in frame-sized fwrite calls into one file.
double writeSequential(const std::filesystem::path& file, uint64_t bytes) {
    std::vector<uint8_t> frame(kFrameBytes, 0x5A);
    const auto start = Clock::now();
    FILE* f = std::fopen(file.c_str(), "wb");
    if (!f) return 0;
    uint64_t done = 0;
    while (done < bytes) {
        if (std::fwrite(frame.data(), 1, frame.size(), f) != frame.size()) break;
        done += frame.size();
    }
    if (std::fclose(f) != 0 || done < bytes) return 0;
    return static_cast<double>(done) / secondsSince(start);
}

// Each phase into an empty `dir`, removed again after it.
struct Round {
    Recording recording;
    double recordRate = 0, sequentialRate = 0, directRate = 0, writerRate = 0;
    double directCpu = 0;  // CPU seconds of the direct sequential write
};

bool runRound(const std::filesystem::path& dir, Round& r) {
    std::filesystem::remove_all(dir);
    if (!record(dir, 0, r.recording)) return false;
    r.recordRate = static_cast<double>(r.recording.bytes) / r.recording.seconds;
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    r.sequentialRate = writeSequential(dir / "sequential.bin", r.recording.bytes);
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    r.directRate = writeDirectSequential(dir / "direct.bin", r.recording.bytes, r.directCpu);
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    r.writerRate = writeDngs(dir, r.recording.written);
    std::filesystem::remove_all(dir);
    return r.sequentialRate > 0 && r.directRate > 0 && r.writerRate > 0;
}

}  // namespace

int main() {
    const char* base = std::getenv("VEXO_BENCH_DIR");
    const std::filesystem::path dir =
        std::filesystem::path(base && *base ? base : "bench-record") / "run";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    // Warm-up: the file system and the memory behind its cache take one run's worth of bytes
    // before anything is timed.
    if (writeSequential(dir / "warm-up.bin", 600ull * kFrameBytes) <= 0) {
        std::printf("writing failed\n");
        return 1;
    }
    std::filesystem::remove_all(dir);

    std::vector<Round> rounds(kRounds);
    std::vector<double> recordFps, recordRate, sequentialRate, directRate, writerRate, recordRatio,
        directRatio, writerRatio, recordCpu, directCpu;
    bool direct = true;
    for (Round& r : rounds) {
        if (!runRound(dir, r)) {
            std::printf("recording or writing failed (a file system without direct I/O?)\n");
            return 1;
        }
        const Recording& rec = r.recording;
        std::printf(
            "round: recording %llu of %llu frames written in %.2f s: %.1f fps, "
            "%.1f MB/s, %llu dropped; sequential %.1f MB/s; direct sequential %.1f MB/s; "
            "DNG writer alone %.1f MB/s (%.1f fps)\n",
            static_cast<unsigned long long>(rec.written),
            static_cast<unsigned long long>(rec.offered), rec.seconds, rec.written / rec.seconds,
            r.recordRate / 1e6, static_cast<unsigned long long>(rec.dropped),
            r.sequentialRate / 1e6, r.directRate / 1e6, r.writerRate / 1e6,
            r.writerRate / kFrameBytes);
        recordFps.push_back(rec.written / rec.seconds);
        recordRate.push_back(r.recordRate);
        sequentialRate.push_back(r.sequentialRate);
        writerRate.push_back(r.writerRate);
        directRate.push_back(r.directRate);
        recordRatio.push_back(r.recordRate / r.sequentialRate);
        directRatio.push_back(r.recordRate / r.directRate);
        recordCpu.push_back(rec.cpuSeconds / (static_cast<double>(rec.bytes) / 1e9));
        directCpu.push_back(r.directCpu / (static_cast<double>(rec.bytes) / 1e9));
        direct = direct && rec.direct;
        writerRatio.push_back(r.writerRate / r.sequentialRate);
    }

    // The sustained rate: frames offered at 90% of what the unpaced recordings wrote.
    Recording paced;
    const double pacedFps = 0.9 * median(recordFps);
    if (!record(dir, pacedFps, paced)) {
        std::printf("paced recording failed\n");
        return 1;
    }
    std::filesystem::remove_all(dir);

    std::printf("recording (median of %d): %.1f fps, %.1f MB/s\n", kRounds, median(recordFps),
                median(recordRate) / 1e6);
    std::printf(
        "frames offered at %.1f fps asked (%.1f fps reached): %llu of %llu frames "
        "written in %.2f s (%.1f fps), %llu dropped\n",
        pacedFps, paced.offered / paced.offerSeconds,
        static_cast<unsigned long long>(paced.written),
        static_cast<unsigned long long>(paced.offered), paced.seconds,
        paced.written / paced.seconds, static_cast<unsigned long long>(paced.dropped));
    std::printf(
        "DNG writer alone (median): %.1f MB/s (%.1f fps); sequential write (median): "
        "%.1f MB/s\n",
        median(writerRate) / 1e6, median(writerRate) / kFrameBytes, median(sequentialRate) / 1e6);
    std::printf("frame files %s; direct sequential write (median): %.1f MB/s\n",
                direct ? "past the page cache (O_DIRECT)" : "through the page cache",
                median(directRate) / 1e6);
    std::printf(
        "CPU per recorded GB (median, capture and writer): %.2f s; direct sequential "
        "write: %.2f s\n",
        median(recordCpu), median(directCpu));
    std::printf("ratio recording vs sequential write: %.2f\n", median(recordRatio));
    std::printf("ratio recording vs direct sequential write: %.2f\n", median(directRatio));
    std::printf("ratio DNG writer vs sequential write: %.2f\n", median(writerRatio));
    return 0;
}
