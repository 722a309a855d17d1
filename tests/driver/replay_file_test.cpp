// A replayed recording whose frames lie in one large file: every frame is read from its own
// offset, also past 2 GiB and past 4 GiB. On 32-bit systems this needs 64-bit file offsets:
// with a 32-bit off_t, fstat() refuses the file and an offset past 4 GiB wraps to its start.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "driver/virtual/replay_source.h"

namespace vexo::driver::virt {
namespace {

constexpr uint32_t kFrameBytes = 64 * 4;

std::vector<uint8_t> framePattern(unsigned seed) {
    std::vector<uint8_t> bytes(kFrameBytes);
    for (uint32_t i = 0; i < kFrameBytes; ++i) bytes[i] = static_cast<uint8_t>(seed * 37 + i);
    return bytes;
}

TEST(ReplayFile, FramesPastTwoAndFourGiBComeFromTheirOwnOffsets) {
    const std::filesystem::path dir = std::filesystem::path(::testing::TempDir()) /
                                      ("vexo-replay-large-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    // The first offset is where the last one lands when cut to 32 bits.
    const std::vector<uint64_t> offsets = {0x2000, 0xC0000000ull, 0x100002000ull};
    {
        std::ofstream out(dir / "stream.raw", std::ios::binary);
        for (size_t i = 0; i < offsets.size(); ++i) {
            const std::vector<uint8_t> bytes = framePattern(static_cast<unsigned>(i + 1));
            out.seekp(static_cast<std::streamoff>(offsets[i]));
            out.write(reinterpret_cast<const char*>(bytes.data()), kFrameBytes);
        }
        ASSERT_TRUE(out.good()) << "could not write a sparse 4 GiB file in " << dir;
    }
    std::string manifest = R"({"vexoRecording": 1, "configuration": {"width": 64, "height": 4,
        "pixelBytes": 1, "format": "RAW", "bayer": "RGGB"}, "frames": [)";
    for (size_t i = 0; i < offsets.size(); ++i) {
        manifest += (i ? ", " : "") + std::string(R"({"file": "stream.raw", "offset": )") +
                    std::to_string(offsets[i]) + R"(, "u32Size": 256, "u64Time": )" +
                    std::to_string(1000 * (i + 1)) + "}";
    }
    manifest += "]}";

    std::string error;
    auto recording = parseRecording(manifest, dir.string(), true, error);
    ASSERT_TRUE(recording) << error;
    ReplayPlayer player(recording, false);
    for (size_t i = 0; i < offsets.size(); ++i) {
        ASSERT_TRUE(player.prepare()) << "frame " << i;
        const auto bytes = player.bytes();
        EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.end()),
                  framePattern(static_cast<unsigned>(i + 1)))
            << "frame " << i << " at offset " << offsets[i];
        player.advance();
    }
    EXPECT_FALSE(player.prepare());
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace vexo::driver::virt
