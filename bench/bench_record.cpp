/*
 * bench_record: `vexo record`'s path from an unpaced 1280x720 RAW10 virtual board (two bytes
 * a pixel, 1.84 MB a frame) to DNG files: capture through the camera object, each frame offered
 * to the Recorder (copied into its bounded queue), DNG files and manifest written by its
 * writer thread. Against it, in the same run and on the same file system:
 *
 *   - a plain sequential write: the same number of bytes in frame-sized fwrite calls into one
 *     file (the most a writer of these bytes can expect from the file system);
 *   - the writer alone: the same frames written as DNG files from memory, with no capture
 *     competing for the two cores.
 *
 * Neither side syncs to the disk: both measure what the file system takes into its cache, as
 * a recording does while it runs. Files go to $VEXO_BENCH_DIR (default: bench-record in the
 * current directory) and are removed afterwards.
 *
 * Then the sustained rate: a board paced at 90% of the frames per second the unpaced recording
 * wrote, recorded again, with the frames it dropped (0 when the rate is sustained).
 *
 * Prints the recording's frames per second, frames dropped, and
 *   "ratio recording vs sequential write: x.xx"  (goal >= 0.8, with 0 frames dropped)
 *   "ratio DNG writer vs sequential write: x.xx"
 */
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_camera.h"
#include "record/recorder.h"

namespace {

using namespace vexo::bench;

constexpr uint32_t kFrameBytes = kWidth * kHeight * 2;
constexpr double kSeconds = 3.0;

vexo::tools::RecordingHeader header() {
    vexo::tools::RecordingHeader h;
    h.serial = "VEXO-VIRTUAL-000";
    h.configSource = "bench";
    h.layout = {kWidth, kHeight, 2, 10, FORMAT_MODE_RAW, RAW_RG};
    return h;
}

struct Recording {
    uint64_t offered = 0, written = 0, dropped = 0, bytes = 0;
    double seconds = 0;  // first frame offered .. the last file and the manifest written
};

bool record(const std::filesystem::path& dir, double fps, Recording& out) {
    BoardSetup setup;
    setup.pixelBytes = 2;
    setup.pixelBits = 10;
    setup.i2cMode = I2C_MODE_16_8;
    setup.fps = fps;
    BoardCapture board(setup);
    if (!board.started()) return false;

    vexo::tools::Recorder recorder(dir.string(), header());
    const auto start = Clock::now();
    while (secondsSince(start) < kSeconds)
        if (!board.capture([&](const FrameData& frame) { recorder.offer(frame); })) return false;
    board.camera().endCaptureImage();
    if (!recorder.finish().empty()) return false;
    out.seconds = secondsSince(start);
    out.offered = recorder.offered();
    out.written = recorder.written();
    out.dropped = recorder.dropped();
    out.bytes = recorder.bytesWritten();
    return out.written > 0;
}

// The same frames as DNG files straight from memory: the writer's own rate.
double writeDngs(const std::filesystem::path& dir, uint64_t frames) {
    std::vector<uint8_t> frame(kFrameBytes);
    for (size_t i = 0; i < frame.size(); i += 2) frame[i] = static_cast<uint8_t>(i / 2);
    const auto h = header();
    const auto start = Clock::now();
    for (uint64_t n = 0; n < frames; ++n) {
        const std::string path = (dir / ("w_" + std::to_string(n) + ".dng")).string();
        vexo::tools::WrittenFile written;
        std::string error;
        if (!vexo::tools::writeFrameFile(path.c_str(), vexo::tools::FileKind::Dng, h.layout,
                                         frame, {n, 0, "Vexo bench"}, written, error))
            return 0;
    }
    return static_cast<double>(frames * kFrameBytes) / secondsSince(start);
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

}  // namespace

int main() {
    const char* base = std::getenv("VEXO_BENCH_DIR");
    const std::filesystem::path dir =
        std::filesystem::path(base && *base ? base : "bench-record") / "run";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir / "writer");

    Recording r;
    if (!record(dir / "recording", 0, r)) {
        std::printf("recording failed\n");
        return 1;
    }
    std::filesystem::remove_all(dir / "recording");
    const double recordRate = static_cast<double>(r.bytes) / r.seconds;
    const double sequentialRate = writeSequential(dir / "sequential.bin", r.bytes);
    const double writerRate = writeDngs(dir / "writer", r.written);
    std::filesystem::remove_all(dir / "writer");
    std::filesystem::remove(dir / "sequential.bin");
    // The sustained rate: a board paced at 90% of what the unpaced recording wrote.
    Recording paced;
    const double pacedFps = 0.9 * r.written / r.seconds;
    if (!record(dir / "paced", pacedFps, paced)) {
        std::printf("paced recording failed\n");
        return 1;
    }
    std::filesystem::remove_all(dir);
    if (sequentialRate <= 0 || writerRate <= 0) {
        std::printf("writing failed\n");
        return 1;
    }
    std::printf("recording: %llu of %llu frames written in %.2f s: %.1f fps, %.1f MB/s, "
                "%llu dropped\n",
                static_cast<unsigned long long>(r.written),
                static_cast<unsigned long long>(r.offered), r.seconds, r.written / r.seconds,
                recordRate / 1e6, static_cast<unsigned long long>(r.dropped));
    std::printf("board paced at %.1f fps: %llu of %llu frames written in %.2f s (%.1f fps), "
                "%llu dropped\n",
                pacedFps, static_cast<unsigned long long>(paced.written),
                static_cast<unsigned long long>(paced.offered), paced.seconds,
                paced.written / paced.seconds, static_cast<unsigned long long>(paced.dropped));
    std::printf("DNG writer alone: %.1f MB/s (%.1f fps); sequential write: %.1f MB/s\n",
                writerRate / 1e6, writerRate / kFrameBytes, sequentialRate / 1e6);
    std::printf("ratio recording vs sequential write: %.2f\n", recordRate / sequentialRate);
    std::printf("ratio DNG writer vs sequential write: %.2f\n", writerRate / sequentialRate);
    return 0;
}
