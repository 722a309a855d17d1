/*
 * Throughput of the frame assembly on realistic streams, against memcpy of the same
 * transfers into the same slot buffers, measured in one run:
 *   - 1280 x 720 RAW, 2 pixel bytes, 524288-byte transfers, both framings;
 *   - JPEG frames in 8192-byte transfers, both framings.
 * Ends with one "ratio <what> vs memcpy: x.xx" line per stream (1.00 = as fast as memcpy)
 * and the operator new calls per frame counted in the steady state.
 */
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "camera/frame_assembly.h"
#include "camera/frame_length.h"
#include "camera/frame_ring.h"
#include "common/allocation_counter.h"

namespace {

using namespace vexo::camera;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kWidth = 1280, kHeight = 720;
constexpr int kFramesPerStream = 4;

/* Pseudo-random image bytes; for JPEG every 0xFF is followed by 0x00, as in entropy-coded
 * data, so markers appear only where placed. */
Bytes content(size_t size, uint32_t seed, bool jpeg) {
    Bytes out(size);
    uint32_t x = seed * 2654435761u + 12345;
    for (size_t i = 0; i < size; ++i) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        out[i] = static_cast<uint8_t>(x);
        if (jpeg && out[i] == 0xFF && i + 1 < size) out[++i] = 0x00;
    }
    if (jpeg) {
        out[0] = 0xFF, out[1] = 0xD8;
        out[size - 2] = 0xFF, out[size - 1] = 0xD9;
    }
    return out;
}

std::vector<Bytes> trailerStream(const std::vector<Bytes>& frames, size_t transfer) {
    Bytes s;
    for (size_t n = 0; n < frames.size(); ++n) {
        const Bytes& f = frames[n];
        const size_t padded = (f.size() + 511) / 512 * 512;
        const size_t at = s.size();
        s.resize(at + padded + 512, 0);
        std::memcpy(s.data() + at, f.data(), f.size());
        uint8_t* t = s.data() + at + padded;
        const uint8_t magic[] = {5, 6, 7, 8, 9, 0xAA};
        std::memcpy(t + 4, magic, sizeof(magic));
        t[14] = static_cast<uint8_t>(n >> 8), t[15] = static_cast<uint8_t>(n);
        const uint16_t v = static_cast<uint16_t>(f.size() % 512);
        t[510] = static_cast<uint8_t>(v >> 8), t[511] = static_cast<uint8_t>(v);
    }
    std::vector<Bytes> out;
    for (size_t off = 0; off < s.size(); off += transfer)
        out.emplace_back(s.begin() + off, s.begin() + std::min(s.size(), off + transfer));
    return out;
}

std::vector<Bytes> chunkStream(const std::vector<Bytes>& frames, size_t transfer) {
    constexpr size_t kChunk = 16384, kPayload = kChunk - 16;
    std::vector<Bytes> out;
    Bytes current;
    uint8_t toggle = 1;
    for (const Bytes& f : frames) {
        for (size_t off = 0; off < f.size(); off += kPayload) {
            const size_t m = std::min(kPayload, f.size() - off);
            const bool last = off + m == f.size();
            const size_t at = current.size();
            current.resize(at + 16 + m, 0);
            current[at] = 0x0C;
            current[at + 1] = static_cast<uint8_t>(toggle | (last ? 2 : 0));
            std::memcpy(current.data() + at + 16, f.data() + off, m);
            if (m < kPayload || current.size() >= transfer)
                out.push_back(std::move(current)), current.clear();
        }
        toggle ^= 1;
    }
    if (!current.empty()) out.push_back(std::move(current));
    return out;
}

struct Stream {
    CameraConfig cfg{};
    std::vector<Bytes> transfers;
    size_t bytes = 0;
};

/* One camera's worth of assembly state with its six slot buffers. */
struct Camera {
    explicit Camera(const CameraConfig& cfg) {
        state.config = cfg;
        state.frameSize = frameSizeFor(cfg, 0);
        state.triggerMode = true; /* streams repeat: frame indices restart each pass */
        const size_t cap = frameBufferSize(state.frameSize);
        for (uint32_t i = 0; i < FrameRing::kSlots; ++i) {
            buffers.emplace_back(cap, 0);
            ring.setSlotBuffer(i, buffers.back().data(), cap);
        }
    }
    AssemblyState state;
    FrameRing ring;
    std::vector<Bytes> buffers;
};

Stream makeStream(FormatMode format, bool chunked, size_t transfer) {
    Stream s;
    s.cfg.u32Width = kWidth;
    s.cfg.u32Height = kHeight;
    s.cfg.u8PixelBytes = 2;
    s.cfg.emImageFmtMode = format;
    s.cfg.usbType = USB_3;
    std::vector<Bytes> frames;
    for (int n = 0; n < kFramesPerStream; ++n) {
        const bool jpeg = format == FORMAT_MODE_JPG;
        frames.push_back(content(jpeg ? 180000 + 7919 * n : kWidth * kHeight * 2, n + 1, jpeg));
    }
    s.transfers = chunked ? chunkStream(frames, transfer) : trailerStream(frames, transfer);
    for (const Bytes& t : s.transfers) s.bytes += t.size();
    return s;
}

uint64_t assemblePass(Camera& cam, const Stream& s, bool chunked) {
    uint64_t frames = 0;
    uint8_t completed = 0;
    for (const Bytes& t : s.transfers) {
        const uint32_t r =
            chunked ? assembleChunkFrames(cam.state, cam.ring, t.data(), t.size(), completed)
                    : assembleTrailerFrames(cam.state, cam.ring, t.data(), t.size(), completed);
        if (r > 255) std::fprintf(stderr, "assembly error 0x%X\n", r), std::exit(1);
        frames += completed;
        cam.ring.flush();
    }
    return frames;
}

/* memcpy of every transfer into the slot buffers, moving to the next slot per frame. */
void memcpyPass(Camera& cam, const Stream& s) {
    uint32_t slot = 0;
    size_t offset = 0;
    const size_t frameSize = cam.state.frameSize;
    for (const Bytes& t : s.transfers) {
        if (offset + t.size() > cam.buffers[slot].size() || offset >= frameSize)
            slot = (slot + 1) % FrameRing::kSlots, offset = 0;
        std::memcpy(cam.buffers[slot].data() + offset, t.data(), t.size());
        offset += t.size();
    }
    benchmark::ClobberMemory();
}

struct Case {
    std::string name;
    FormatMode format;
    bool chunked;
    size_t transfer;
};

const Case kCases[] = {
    {"trailer RAW", FORMAT_MODE_RAW, false, 524288},
    {"chunk RAW", FORMAT_MODE_RAW, true, 524288},
    {"trailer JPEG", FORMAT_MODE_JPG, false, 8192},
    {"chunk JPEG", FORMAT_MODE_JPG, true, 8192},
};

std::map<std::string, Stream> streams;

class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs)
            if (r.run_type == Run::RT_Iteration && !r.error_occurred)
                seconds[r.benchmark_name().substr(0, r.benchmark_name().find('/'))] =
                    r.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> seconds;
};

}  // namespace

int main(int argc, char** argv) {
    for (const Case& c : kCases)
        streams.emplace(c.name, makeStream(c.format, c.chunked, c.transfer));

    for (const Case& c : kCases) {
        const Stream* s = &streams.at(c.name);
        const bool chunked = c.chunked;
        benchmark::RegisterBenchmark(
            ("assemble " + c.name).c_str(),
            [s, chunked](benchmark::State& st) {
                Camera cam(s->cfg);
                for (auto _ : st) benchmark::DoNotOptimize(assemblePass(cam, *s, chunked));
                st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * s->bytes));
            })
            ->MinTime(0.5)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(
            ("memcpy " + c.name).c_str(),
            [s](benchmark::State& st) {
                Camera cam(s->cfg);
                for (auto _ : st) memcpyPass(cam, *s);
                st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * s->bytes));
            })
            ->MinTime(0.5)
            ->Unit(benchmark::kMillisecond);
    }

    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    /* Steady state: after one warm-up pass, count operator new calls per frame. */
    uint64_t frames = 0, allocs = 0;
    for (const Case& c : kCases) {
        const Stream& s = streams.at(c.name);
        Camera cam(s.cfg);
        assemblePass(cam, s, c.chunked);
        const uint64_t before = vexo::test::allocationCount();
        for (int pass = 0; pass < 3; ++pass) frames += assemblePass(cam, s, c.chunked);
        allocs += vexo::test::allocationCount() - before;
    }

    for (const Case& c : kCases) {
        const auto a = reporter.seconds.find("assemble " + c.name);
        const auto m = reporter.seconds.find("memcpy " + c.name);
        if (a != reporter.seconds.end() && m != reporter.seconds.end() && a->second > 0)
            std::printf("ratio %s vs memcpy: %.2f\n", c.name.c_str(), m->second / a->second);
    }
    if (frames == 0) {
        std::printf("allocations per frame: no frames assembled\n");
        return 1;
    }
    std::printf("allocations per frame: %g\n", static_cast<double>(allocs) / frames);
    return 0;
}
