// capture.cpp — capture frames with the C++ layer (vexo/vexo.hpp): open the first board, start
// its sensor, and walk a range of frames. Closing, ending the capture and giving frames back
// happen in destructors, also when an error is thrown halfway.
//
//   capture_cpp [FRAMES]      (default 10)
//
// Without hardware: VEXO_VIRTUAL_BOARDS=1 ./capture_cpp
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <string>
#include <utility>
#include <vexo/vexo.hpp>

int main(int argc, char** argv) {
    const unsigned wanted =
        argc > 1 ? static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10)) : 10;
    try {
        const auto boards = vexo::scan();
        if (boards.empty()) {
            std::fprintf(stderr, "no board found (VEXO_VIRTUAL_BOARDS=1 adds a virtual one)\n");
            return 1;
        }
        std::printf("%zu board(s); opening device %u, serial %s\n", boards.size(), boards[0].index,
                    boards[0].serial.c_str());

        // The default virtual board's sensor: 640x480 RAW8 at 0x20, 16-bit registers.
        vexo::Config config;
        config.width = 640;
        config.height = 480;
        config.format = FORMAT_MODE_RAW;
        vexo::Camera camera = vexo::Camera::open(boards[0].index, config);
        for (auto [reg, value] : {std::pair<uint32_t, uint32_t>{0x0100, 0x00},
                                  {0x3012, 0x40},
                                  {0x3013, 0x02},
                                  {0x0100, 0x01}})
            camera.writeSensorReg(reg, value);

        unsigned received = 0;
        uint64_t firstTime = 0;
        auto frames = camera.frames(wanted);
        for (const vexo::Frame& frame : frames) {
            // The bytes are lent until the loop moves on: compute here, or copy.
            const auto bytes = frame.bytes();
            const double mean = std::accumulate(bytes.begin(), bytes.end(), 0.0) /
                                static_cast<double>(bytes.size());
            if (received == 0) firstTime = frame.time();
            // Board time counts 100 ns units.
            std::printf("frame %u: %zu bytes, mean level %.1f, at +%.1f ms\n", received,
                        frame.size(), mean, static_cast<double>(frame.time() - firstTime) / 1e4);
            ++received;
        }
        if (frames.frameErrors() != 0)
            std::printf("%llu frame(s) dropped for errors, the last %s\n",
                        static_cast<unsigned long long>(frames.frameErrors()),
                        std::string(vexo::statusName(frames.lastFrameError())).c_str());
        return received == wanted ? 0 : 1;
    } catch (const vexo::Error& e) {
        // e.what() names the call, the status and what to do about it.
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
