// Arbitrary bytes as a recording's manifest.json, next to one small frame file "f". Loading
// must end with a recording or an error line; a loaded recording is then played a few passes
// and every frame's bytes must lie inside the player's buffer.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "driver/virtual/replay_source.h"

using namespace vexo::driver::virt;

namespace {

const std::string& directory() {
    static const std::string dir = [] {
        const auto d = std::filesystem::temp_directory_path() /
                       ("vexo_fuzz_recording_" + std::to_string(::getpid()));
        std::filesystem::create_directories(d);
        if (FILE* f = std::fopen((d / "f").c_str(), "wb")) {
            for (int i = 0; i < 64; ++i) std::fputc(i, f);
            std::fclose(f);
        }
        return d.string();
    }();
    return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& dir = directory();
    const std::string manifest = dir + "/manifest.json";
    if (FILE* f = std::fopen(manifest.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    std::string error;
    auto recording = loadRecording(dir, error);
    if (!recording) {
        if (error.empty()) __builtin_trap();  // a refusal always says why
        return 0;
    }
    ReplayPlayer player(recording, true);
    unsigned sum = 0;
    for (size_t i = 0; i < 3 * recording->frames.size() && i < 64 && player.prepare(); ++i) {
        for (const uint8_t b : player.bytes()) sum += b;
        sum += static_cast<unsigned>(player.nextTime());
        player.advance();
    }
    return static_cast<int>(sum & 0);
}
