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
 * Prints the recording's frames per second, frames dropped, and
 *   "ratio recording vs sequential write: x.xx"  (goal >= 0.8, with 0 frames dropped)
 *   "ratio DNG writer vs sequential write: x.xx"
 */
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench_camera.h"
#include <vexo/recorder.hpp>

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
    double seconds = 0;  // first frame offered .. the last file and the manifest written
    double offerSeconds = 0;  // first frame offered .. the last
};

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
        vexo::WrittenFile written;
        std::string error;
        if (!vexo::writeFrameFile(path.c_str(), vexo::FileKind::Dng, h.layout,
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

// Each phase into an empty `dir`, removed again after it.
struct Round {
    Recording recording;
    double recordRate = 0, sequentialRate = 0, writerRate = 0;
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
    r.writerRate = writeDngs(dir, r.recording.written);
    std::filesystem::remove_all(dir);
    return r.sequentialRate > 0 && r.writerRate > 0;
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
    std::vector<double> recordFps, recordRate, sequentialRate, writerRate, recordRatio,
        writerRatio;
    for (Round& r : rounds) {
        if (!runRound(dir, r)) {
            std::printf("recording or writing failed\n");
            return 1;
        }
        const Recording& rec = r.recording;
        std::printf("round: recording %llu of %llu frames written in %.2f s: %.1f fps, "
                    "%.1f MB/s, %llu dropped; sequential %.1f MB/s; DNG writer alone %.1f MB/s "
                    "(%.1f fps)\n",
                    static_cast<unsigned long long>(rec.written),
                    static_cast<unsigned long long>(rec.offered), rec.seconds,
                    rec.written / rec.seconds, r.recordRate / 1e6,
                    static_cast<unsigned long long>(rec.dropped), r.sequentialRate / 1e6,
                    r.writerRate / 1e6, r.writerRate / kFrameBytes);
        recordFps.push_back(rec.written / rec.seconds);
        recordRate.push_back(r.recordRate);
        sequentialRate.push_back(r.sequentialRate);
        writerRate.push_back(r.writerRate);
        recordRatio.push_back(r.recordRate / r.sequentialRate);
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
    std::printf("frames offered at %.1f fps asked (%.1f fps reached): %llu of %llu frames "
                "written in %.2f s (%.1f fps), %llu dropped\n",
                pacedFps, paced.offered / paced.offerSeconds,
                static_cast<unsigned long long>(paced.written),
                static_cast<unsigned long long>(paced.offered), paced.seconds,
                paced.written / paced.seconds, static_cast<unsigned long long>(paced.dropped));
    std::printf("DNG writer alone (median): %.1f MB/s (%.1f fps); sequential write (median): "
                "%.1f MB/s\n",
                median(writerRate) / 1e6, median(writerRate) / kFrameBytes,
                median(sequentialRate) / 1e6);
    std::printf("ratio recording vs sequential write: %.2f\n", median(recordRatio));
    std::printf("ratio DNG writer vs sequential write: %.2f\n", median(writerRatio));
    return 0;
}
