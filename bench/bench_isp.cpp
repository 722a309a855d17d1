// bench_isp: the ISP's whole chain (black level, white balance found in each frame, gradient-
// corrected demosaic, colour matrix, sRGB curve) on a 1920x1080 10-bit mosaic to 8-bit RGB, one
// thread, against the layer's plain bilinear FrameConverter of the same frame in the same run;
// and the allocations per frame. bench_isp.py compares it with OpenCV's bilinear cvtColor on
// the very frame this program writes (--frame PATH), timed in the same run.
//
//   bench_isp [--frame PATH] [--rounds N]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include <vexo/frame_converter.hpp>
#include <vexo/isp.hpp>

#include "bench_support.h"
#include "common/allocation_counter.h"

using namespace vexo;

namespace {

constexpr uint32_t kW = 1920, kH = 1080;

// A picture with edges, gradients and noise: what a sensor sends, not a flat field.
std::vector<uint8_t> mosaic() {
    std::vector<uint8_t> frame(size_t{kW} * kH * 2);
    uint32_t seed = 12345;
    for (uint32_t y = 0; y < kH; ++y)
        for (uint32_t x = 0; x < kW; ++x) {
            seed = seed * 1664525u + 1013904223u;
            const int c = bayerColour(RAW_RG, x, y);
            const double base = ((x / 64 + y / 64) & 1 ? 0.6 : 0.2) + 0.3 * x / kW;
            const double gain = c == 0 ? 0.55 : c == 2 ? 0.7 : 1.0;
            const unsigned v = 64 + static_cast<unsigned>(base * gain * 900) + (seed >> 29);
            frame[(size_t{y} * kW + x) * 2] = static_cast<uint8_t>(v);
            frame[(size_t{y} * kW + x) * 2 + 1] = static_cast<uint8_t>(v >> 8);
        }
    return frame;
}

template <class F>
double medianSeconds(int rounds, int frames, F&& run) {
    std::vector<double> times;
    for (int r = 0; r < rounds; ++r) {
        const auto start = bench::Clock::now();
        for (int i = 0; i < frames; ++i) run();
        times.push_back(bench::secondsSince(start) / frames);
    }
    return bench::median(times);
}

}  // namespace

int main(int argc, char** argv) {
    std::string framePath;
    int rounds = 7;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--frame") && i + 1 < argc)
            framePath = argv[++i];
        else if (!std::strcmp(argv[i], "--rounds") && i + 1 < argc)
            rounds = std::max(1, std::atoi(argv[++i]));
        else {
            std::fprintf(stderr, "usage: bench_isp [--frame PATH] [--rounds N]\n");
            return 2;
        }
    }
    const std::vector<uint8_t> frame = mosaic();
    if (!framePath.empty()) {
        FILE* f = std::fopen(framePath.c_str(), "wb");
        if (!f || std::fwrite(frame.data(), 1, frame.size(), f) != frame.size()) {
            std::fprintf(stderr, "cannot write %s\n", framePath.c_str());
            return 1;
        }
        std::fclose(f);
    }

    FrameFormat format;
    format.width = kW;
    format.height = kH;
    format.pixelBytes = 2;
    format.pixelBits = 10;
    format.format = FORMAT_MODE_RAW;
    format.bayer = RAW_RG;
    ColourSettings settings;
    settings.blackLevel = {64, 64, 64, 64};
    settings.ccm = {1.6, -0.4, -0.2, -0.3, 1.5, -0.2, 0.0, -0.6, 1.6};
    std::vector<uint8_t> rgb(size_t{kW} * kH * 3);
    const IspTarget target{rgb.data(), rgb.size(), size_t{kW} * 3, IspLayout::Rgb8};

    Isp isp(format, settings);
    ColourSettings bilinearSettings = settings;
    bilinearSettings.demosaic = ColourSettings::Demosaic::Bilinear;
    Isp bilinearIsp(format, bilinearSettings);
    FrameConverter converter(format);
    ImageView view;
    if (!isp.process(frame, target) || !bilinearIsp.process(frame, target) ||
        !converter.convert(frame, view)) {
        std::fprintf(stderr, "the frame was refused\n");
        return 1;
    }

    const int frames = 5;
    const uint64_t allocationsBefore = test::allocationCount();
    for (int i = 0; i < frames; ++i) isp.process(frame, target);
    const uint64_t allocations = test::allocationCount() - allocationsBefore;
    const double ispSeconds = medianSeconds(rounds, frames, [&] { isp.process(frame, target); });
    const double bilinearSeconds =
        medianSeconds(rounds, frames, [&] { bilinearIsp.process(frame, target); });
    const double converterSeconds =
        medianSeconds(rounds, frames, [&] { converter.convert(frame, view); });

    std::printf("isp_ms %.3f\n", ispSeconds * 1e3);
    std::printf("isp_bilinear_ms %.3f\n", bilinearSeconds * 1e3);
    std::printf("frame_converter_ms %.3f\n", converterSeconds * 1e3);
    std::printf("isp_vs_frame_converter %.2f\n", converterSeconds / ispSeconds);
    std::printf("allocations_per_frame %.2f%s\n", static_cast<double>(allocations) / frames,
                test::allocationCounting() ? "" : " (not counted in this build)");
    return 0;
}
