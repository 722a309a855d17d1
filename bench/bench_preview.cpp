// vexo preview on a 1280x720 RAW virtual board sent as fast as it is read, one client reading
// the MJPEG stream. With --isp, a 10-bit board paced at 60 frames/s and a camera file with a
// [colour] section instead, so every frame goes through the ISP (goal: at least 30 frames/s
// delivered, no capture drop); the ISP's time per frame is compared with the plain converter's
// on the same frame. Reports, from one run:
//  - frames/s delivered to the client, with the capture's own drops (must be 0);
//  - CPU time of the whole process per delivered frame;
//  - the preview's JPEG encode time against a plain libturbojpeg encode of the same image
//    (same quality and flags), as a ratio;
//  - latency from the frame's arrival in the queue to its JPEG handed to the socket: median, p99.
#include <httplib.h>
#include <sys/resource.h>
#include <turbojpeg.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "preview/preview_service.h"

using namespace vexo;
using namespace vexo::tools;
using Clock = std::chrono::steady_clock;

namespace {

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Encode time of the preview's writer vs bare tjCompress2 on the same converted frame.
double encodeRatio(const preview::EncodedFrame& frame, double& previewMs, double& plainMs) {
    FrameConverter converter(frameFormatOf(frame.meta.cfg, frame.bayer));
    ImageView view;
    if (!converter.convert(frame.rawBytes(), view)) return 0;
    preview::JpegWriter writer;
    std::vector<uint8_t> out;
    size_t size = 0;
    tjhandle tj = tjInitCompress();
    std::vector<uint8_t> plain(tjBufSize(int(view.width), int(view.height), TJSAMP_420));
    const int rounds = 60;
    double tPreview = 0, tPlain = 0;
    for (int i = 0; i < rounds; ++i) {  // interleaved so both see the same machine
        auto t0 = Clock::now();
        writer.encode(view, out, size);
        auto t1 = Clock::now();
        unsigned char* dest = plain.data();
        unsigned long length = plain.size();
        tjCompress2(tj, view.pixels.data(), int(view.width), 0, int(view.height), TJPF_RGB, &dest,
                    &length, TJSAMP_420, 85, TJFLAG_NOREALLOC | TJFLAG_FASTDCT);
        auto t2 = Clock::now();
        tPreview += std::chrono::duration<double, std::milli>(t1 - t0).count();
        tPlain += std::chrono::duration<double, std::milli>(t2 - t1).count();
    }
    tjDestroy(tj);
    previewMs = tPreview / rounds;
    plainMs = tPlain / rounds;
    return tPreview / tPlain;
}

}  // namespace

// Milliseconds per frame of the ISP (8-bit RGB out) and of the plain converter on one frame.
void ispCost(const preview::EncodedFrame& frame, const ColourSettings& colour, double& ispMs,
             double& converterMs) {
    const FrameFormat format = frameFormatOf(frame.meta.cfg, frame.bayer);
    Isp isp(format, colour);
    std::vector<uint8_t> out(size_t{isp.width()} * isp.height() * 3);
    IspTarget target;
    target.data = out.data();
    target.bytes = out.size();
    target.stride = size_t{isp.width()} * 3;
    FrameConverter converter(format);
    ImageView view;
    const int rounds = 30;
    double tIsp = 0, tConverter = 0;
    for (int i = 0; i < rounds; ++i) {
        auto t0 = Clock::now();
        isp.process(frame.rawBytes(), target);
        auto t1 = Clock::now();
        converter.convert(frame.rawBytes(), view);
        auto t2 = Clock::now();
        tIsp += std::chrono::duration<double, std::milli>(t1 - t0).count();
        tConverter += std::chrono::duration<double, std::milli>(t2 - t1).count();
    }
    ispMs = tIsp / rounds;
    converterMs = tConverter / rounds;
}

int main(int argc, char** argv) {
    const bool withIsp = argc > 1 && std::string(argv[1]) == "--isp";
    setenv("VEXO_VIRTUAL_BOARDS",
           withIsp ? R"({"boards": [{"stream": {"width": 1280, "height": 720, "pixelBytes": 2,
                         "format": "RAW", "fps": 60}}]})"
                   : R"({"boards": [{"stream": {"width": 1280, "height": 720, "pixelBytes": 1,
                         "format": "RAW"}}]})",
           1);
    const std::string config = "/tmp/vexo_bench_preview.cfg";
    if (FILE* f = std::fopen(config.c_str(), "w")) {
        std::fputs(withIsp ? "[camera]\nwidth = 1280\nheight = 720\nformat = RAW\npixel_bytes = 2\n"
                             "pixel_bits = 10\nbayer = RG\ni2c_address = 0x20\ni2c_mode = 16_8\n"
                             "[colour]\nblack_level = 16\nwhite_balance = auto\n"
                           : "[camera]\nwidth = 1280\nheight = 720\nformat = RAW\npixel_bytes = 1\n"
                             "pixel_bits = 8\nbayer = RG\ni2c_address = 0x20\ni2c_mode = 16_8\n",
                   f);
        std::fclose(f);
    }
    preview::PreviewOptions options;
    options.listen = "127.0.0.1:0";
    options.board.configPath = config;
    preview::PreviewService service(options);
    service.start();

    httplib::Client client("127.0.0.1", service.port());
    client.set_read_timeout(30, 0);
    client.Get("/frame.jpg");  // warm up: first frame encoded
    service.latency().clear();
    const auto before = service.capture().stats();
    const double cpu0 = cpuSeconds();
    const auto t0 = Clock::now();
    uint64_t parts = 0;
    std::string carry;
    client.Get("/stream.mjpg?frames=300", [&](const char* data, size_t n) {
        carry.append(data, n);
        size_t at;
        while ((at = carry.find("X-Frame-Number")) != std::string::npos) {
            ++parts;
            carry.erase(0, at + 14);
        }
        if (carry.size() > 64) carry.erase(0, carry.size() - 64);
        return true;
    });
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    const double cpu = cpuSeconds() - cpu0;
    const auto after = service.capture().stats();
    const auto lat = service.latency().summary();

    double previewMs = 0, plainMs = 0, ratio = 0, ispMs = 0, converterMs = 0;
    bool shownThroughIsp = false;
    if (preview::FrameRef frame = service.hub().latest()) {
        ratio = encodeRatio(*frame, previewMs, plainMs);
        shownThroughIsp = frame->isp.used;
        if (withIsp && service.capture().file().colour)
            ispCost(*frame, *service.capture().file().colour, ispMs, converterMs);
    }
    service.stop();

    const uint64_t captured = after.stats.frames() - before.stats.frames();
    const uint64_t drops = after.stats.queueDrops() + after.stats.errors();
    std::printf(withIsp
                    ? "preview bench: 1280x720 RAW10 virtual board at 60 frames/s through the "
                      "ISP, one MJPEG client\n"
                    : "preview bench: 1280x720 RAW8 virtual board, unpaced, one MJPEG client\n");
    std::printf(
        "delivered      %llu frames in %.2f s: %.1f frames/s (capture %.0f frames/s, "
        "capture drops+errors %llu)\n",
        (unsigned long long)parts, seconds, parts / seconds, captured / seconds,
        (unsigned long long)drops);
    std::printf("cpu            %.2f ms of process CPU per delivered frame (%.0f%% of a core)\n",
                1000 * cpu / double(parts ? parts : 1), 100 * cpu / seconds);
    std::printf("jpeg encode    preview %.2f ms, plain libturbojpeg %.2f ms: ratio %.3f (<= 1.2)\n",
                previewMs, plainMs, ratio);
    std::printf("latency        queue -> JPEG sent: median %.2f ms, p99 %.2f ms (%zu samples)\n",
                lat.median, lat.p99, lat.samples);
    if (withIsp) {
        std::printf(
            "isp            %.2f ms per frame, plain converter (bilinear) %.2f ms: ratio "
            "%.2f; shown frames through the ISP: %s\n",
            ispMs, converterMs, converterMs > 0 ? ispMs / converterMs : 0,
            shownThroughIsp ? "yes" : "NO");
        return (drops == 0 && shownThroughIsp && parts / seconds >= 30) ? 0 : 1;
    }
    return (drops == 0 && ratio > 0 && ratio <= 1.2) ? 0 : 1;
}
