// Recording and replay end to end: frames captured through the C functions from a virtual board
// (with injected faults) are recorded, the files are opened by programs no one here wrote
// (dcraw, LibRaw, libpng), and a board replaying the recording delivers the same bytes, in the
// same order, with the same times.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <vexo/camera.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>
#include <vexo/recorder.hpp>

#include "driver/virtual/board_config.h"
#include "driver/virtual/replay_source.h"
#include "driver/virtual/virtual_board.h"
#include "tools/support/image_reader.h"

#ifdef VEXO_HAVE_LIBRAW
#include <libraw/libraw.h>
#endif

namespace virt = vexo::driver::virt;
using namespace vexo;
namespace test = vexo::tools::test;

namespace {

constexpr uint32_t kWidth = 128, kHeight = 96;  // dcraw takes images from 22x22 on

struct Case {
    const char* name;
    const char* format;
    FormatMode mode;
    int pixelBytes;
    int bits;
    RawMode bayer;
    const char* productId;  // 0x03F1 chunk framing, 0x03F2 trailer framing
    const char* faults;     // JSON array
    FileKind kind;
    bool paced;
};

const char* bayerJson(RawMode b) {
    static const char* kNames[] = {"RGGB", "GRBG", "GBRG", "BGGR"};
    return kNames[b & 3];
}

struct Captured {
    std::vector<uint8_t> bytes;
    uint64_t time;
};

std::shared_ptr<virt::VirtualBoard> addBoard(const std::string& json) {
    std::vector<virt::BoardConfig> boards;
    std::string error;
    EXPECT_TRUE(virt::parseBoardsJson(json, boards, error)) << error << "\n" << json;
    if (boards.size() != 1) return nullptr;
    auto board = virt::addVirtualBoard(boards[0], &error);
    EXPECT_NE(board, nullptr) << error;
    return board;
}

CameraConfig cameraConfig(const Case& c) {
    CameraConfig cfg{};
    cfg.u32Width = kWidth;
    cfg.u32Height = kHeight;
    cfg.u8PixelBytes = static_cast<Uint8>(c.pixelBytes);
    cfg.u8PixelBits = static_cast<Uint8>(c.bits);
    cfg.u32I2cAddr = 0x20;
    cfg.emI2cMode = I2C_MODE_16_8;
    cfg.emImageFmtMode = c.mode;
    return cfg;
}

// Captures `count` frames from the only board through the C functions, handing each to the
// recorder when there is one. Stops early when no frame comes for `idle`.
std::vector<Captured> capture(CameraConfig cfg, size_t count, Recorder* recorder,
                              std::chrono::milliseconds idle = std::chrono::seconds(2)) {
    std::vector<Captured> frames;
    ScanEntry entries[255];
    if (Vexo_scan(entries) < 1) {
        ADD_FAILURE() << "no board";
        return frames;
    }
    CameraHandle camera = nullptr;
    EXPECT_EQ(Vexo_open(&camera, &cfg, entries[0].u8Index), USB_CAMERA_NO_ERROR);
    EXPECT_EQ(Vexo_beginCaptureImage(camera), USB_CAMERA_NO_ERROR);
    auto last = std::chrono::steady_clock::now();
    while (frames.size() < count && std::chrono::steady_clock::now() - last < idle) {
        Vexo_captureImage(camera);
        FrameData* frame = nullptr;
        while (frames.size() < count && Vexo_readImage(camera, &frame) == USB_CAMERA_NO_ERROR &&
               frame) {
            frames.push_back(
                {{frame->imageData, frame->imageData + frame->cfg.u32Size}, frame->u64Time});
            if (recorder) {
                EXPECT_TRUE(recorder->offer(*frame)) << "dropped with room left";
            }
            Vexo_del(camera);
            last = std::chrono::steady_clock::now();
        }
    }
    Vexo_endCaptureImage(camera);
    Vexo_close(camera);
    return frames;
}

std::string run(const std::string& command) {
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
        pclose(p);
    }
    return out;
}

// The samples of a frame as the sensor gave them: bytes, or little-endian words.
std::vector<uint16_t> samplesOf(const std::vector<uint8_t>& bytes, int pixelBytes) {
    std::vector<uint16_t> s(bytes.size() / pixelBytes);
    for (size_t i = 0; i < s.size(); ++i)
        s[i] = pixelBytes == 1 ? bytes[i]
                               : static_cast<uint16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
    return s;
}

// dcraw names the size and Bayer order, and decodes the mosaic (-D -4: raw values, 16-bit PGM).
void checkWithDcraw(const std::string& file, const Case& c, const std::vector<uint16_t>& want) {
    static const bool installed = std::system("command -v dcraw >/dev/null 2>&1") == 0;
    if (!installed) {
        std::printf("dcraw is not installed (scripts/packages/record.txt): DNG not checked\n");
        return;
    }
    const std::string info = run("dcraw -i -v '" + file + "' 2>&1");
    EXPECT_NE(info.find("Image size:   128 x 96"), std::string::npos) << info;
    static const char* kPattern[] = {"RG/GB", "GR/BG", "GB/RG", "BG/GR"};
    EXPECT_NE(info.find(std::string("Filter pattern: ") + kPattern[c.bayer]), std::string::npos)
        << info;
    const std::string pgm = run("dcraw -D -4 -c '" + file + "' 2>/dev/null");
    std::istringstream header(pgm);
    std::string magic;
    unsigned w = 0, h = 0, max = 0;
    header >> magic >> w >> h >> max;
    ASSERT_EQ(magic, "P5") << file;
    ASSERT_EQ(w * h, want.size());
    const size_t start = static_cast<size_t>(header.tellg()) + 1;
    ASSERT_EQ(pgm.size(), start + 2 * want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        const uint16_t got = static_cast<uint16_t>(static_cast<uint8_t>(pgm[start + 2 * i]) << 8 |
                                                   static_cast<uint8_t>(pgm[start + 2 * i + 1]));
        ASSERT_EQ(got, want[i]) << file << " sample " << i;
    }
}

void checkWithLibRaw([[maybe_unused]] const std::string& file, [[maybe_unused]] const Case& c,
                     [[maybe_unused]] const std::vector<uint16_t>& want) {
#ifdef VEXO_HAVE_LIBRAW
    LibRaw raw;
    ASSERT_EQ(raw.open_file(file.c_str()), LIBRAW_SUCCESS) << file;
    ASSERT_EQ(raw.unpack(), LIBRAW_SUCCESS) << file;
    ASSERT_EQ(raw.imgdata.sizes.raw_width, kWidth);
    ASSERT_EQ(raw.imgdata.sizes.raw_height, kHeight);
    EXPECT_EQ(raw.imgdata.color.maximum, (1u << (c.pixelBytes == 1 ? 8 : c.bits)) - 1);
    ASSERT_NE(raw.imgdata.rawdata.raw_image, nullptr);
    for (size_t i = 0; i < want.size(); ++i)
        ASSERT_EQ(raw.imgdata.rawdata.raw_image[i], want[i]) << file << " sample " << i;
#endif
}

class RecordReplay : public ::testing::TestWithParam<Case> {
  protected:
    void SetUp() override {
        virt::removeAllDevices();
        dir_ = std::filesystem::temp_directory_path() /
               ("vexo_record_" + std::string(GetParam().name) + "_" + std::to_string(getpid()));
        std::filesystem::remove_all(dir_);
    }
    void TearDown() override {
        virt::removeAllDevices();
        std::filesystem::remove_all(dir_);
    }
    std::filesystem::path dir_;
};

TEST_P(RecordReplay, FilesOpenElsewhereAndReplayDeliversTheSameFrames) {
    const Case& c = GetParam();
    constexpr size_t kFrames = 8;
    char board[512];
    std::snprintf(board, sizeof board,
                  R"({"boards": [{"productId": "%s", "stream": {"width": %u, "height": %u,
                     "pixelBytes": %d, "format": "%s", "bayer": "%s", "fps": %d},
                     "faults": %s}]})",
                  c.productId, kWidth, kHeight, c.pixelBytes, c.format, bayerJson(c.bayer),
                  c.paced ? 200 : 0, c.faults);
    ASSERT_NE(addBoard(board), nullptr);

    RecordingHeader header;
    header.serial = "VEXO-VIRTUAL-000";
    header.layout.width = kWidth;
    header.layout.height = kHeight;
    header.layout.pixelBytes = static_cast<uint8_t>(c.pixelBytes);
    header.layout.pixelBits = static_cast<uint8_t>(c.bits);
    header.layout.format = c.mode;
    header.layout.bayer = c.bayer;
    RecorderOptions options;
    options.queueFrames = kFrames;  // room for every frame: none may be dropped
    // A case expecting raw files where the format has its own file asks for --raw.
    options.rawFiles = c.kind == FileKind::Raw &&
                       fileKindFor(header.layout, header.layout.layout().bytes) != FileKind::Raw;
    Recorder recorder(dir_.string(), header, options);
    const std::vector<Captured> sent = capture(cameraConfig(c), kFrames, &recorder);
    ASSERT_EQ(sent.size(), kFrames);
    ASSERT_EQ(recorder.finish(), "");
    EXPECT_EQ(recorder.written(), kFrames);
    EXPECT_EQ(recorder.dropped(), 0u);
    if (c.kind != FileKind::Png) {
        std::string error;
        const auto recording = virt::loadRecording(dir_.string(), error);
        ASSERT_NE(recording, nullptr) << error;
        EXPECT_EQ(virt::formatName(recording->format), c.format) << "the manifest's format";
        EXPECT_EQ(static_cast<int>(recording->bayer), static_cast<int>(c.bayer));
        EXPECT_EQ(recording->frames.size(), kFrames);
    }

    for (size_t i = 0; i < kFrames; ++i) {
        const std::string file = (dir_ / Recorder::fileName(i, c.kind)).string();
        ASSERT_TRUE(std::filesystem::exists(file)) << file;
        const std::vector<uint16_t> want = samplesOf(sent[i].bytes, c.pixelBytes);
        if (c.kind == FileKind::Dng) {
            checkWithDcraw(file, c, want);
            checkWithLibRaw(file, c, want);
        } else if (c.kind == FileKind::Png) {
            test::DecodedImage png;
            std::string error;
            ASSERT_TRUE(test::readPng(file, png, error)) << error;
            ASSERT_EQ(png.bitDepth, c.pixelBytes == 2 ? 16u : 8u);
            ASSERT_EQ(png.samples.size(), want.size());
            const unsigned shift = c.pixelBytes == 2 ? 16 - c.bits : 0;
            for (size_t k = 0; k < want.size(); ++k)
                ASSERT_EQ(png.samples[k] >> shift, want[k]) << file << " sample " << k;
        } else {
            std::ifstream in(file, std::ios::binary);
            const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
            EXPECT_EQ(bytes, sent[i].bytes) << file;
        }
    }
    if (c.kind == FileKind::Png) return;  // PNG frames are not stored unchanged: no replay

    virt::removeAllDevices();
    std::snprintf(board, sizeof board,
                  R"({"boards": [{"productId": "%s", "stream": {"replay": "%s", "paced": %s}}]})",
                  c.productId, dir_.c_str(), c.paced ? "true" : "false");
    const auto replay = addBoard(board);
    ASSERT_NE(replay, nullptr);
    const auto start = std::chrono::steady_clock::now();
    const std::vector<Captured> replayed = capture(cameraConfig(c), kFrames, nullptr);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_EQ(replayed.size(), kFrames);
    EXPECT_EQ(replay->framesSent(), kFrames) << "a replay that runs once ends with its last frame";
    for (size_t i = 0; i < kFrames; ++i) {
        EXPECT_EQ(replayed[i].bytes, sent[i].bytes) << "frame " << i;
        EXPECT_EQ(replayed[i].time, sent[i].time) << "frame " << i;
    }
    if (c.paced) {
        // Frames never go out before their recorded distance from the first: a lower bound.
        const auto span = std::chrono::nanoseconds((sent.back().time - sent.front().time) * 100);
        EXPECT_GE(elapsed, span);
    }
}

const Case kCases[] = {
    {"raw8_chunk", "RAW", FORMAT_MODE_RAW, 1, 8, RAW_RG, "0x03F1",
     R"([{"kind": "repeatIndex", "atFrame": 2}, {"kind": "corruptHeader", "atFrame": 4}])",
     FileKind::Dng, false},
    {"raw10_trailer", "RAW", FORMAT_MODE_RAW, 2, 10, RAW_GR, "0x03F2",
     R"([{"kind": "skipIndex", "atFrame": 1}, {"kind": "discard", "atFrame": 3},
        {"kind": "shortFrame", "atFrame": 5, "bytes": 700}])",
     FileKind::Dng, false},
    {"raw12_chunk_paced", "RAW", FORMAT_MODE_RAW, 2, 12, RAW_BG, "0x03F1", "[]", FileKind::Dng,
     true},
    {"raw8_gb_trailer_paced", "RAW", FORMAT_MODE_RAW, 1, 8, RAW_GB, "0x03F2",
     R"([{"kind": "stall", "atFrame": 3, "ms": 30}])", FileKind::Dng, true},
    {"mon10_chunk", "MON", FORMAT_MODE_MON, 2, 10, RAW_RG, "0x03F1", "[]", FileKind::Png, false},
    {"mon8_trailer", "MON", FORMAT_MODE_MON, 1, 8, RAW_RG, "0x03F2", "[]", FileKind::Png, false},
    {"mon10_raw_files", "MON", FORMAT_MODE_MON, 2, 10, RAW_RG, "0x03F2",
     R"([{"kind": "repeatIndex", "atFrame": 1}])", FileKind::Raw, false},
    {"yuv_chunk", "YUV", FORMAT_MODE_YUV, 2, 8, RAW_RG, "0x03F1", "[]", FileKind::Raw, false},
    {"jpg_trailer", "JPG", FORMAT_MODE_JPG, 1, 8, RAW_RG, "0x03F2",
     R"([{"kind": "discard", "atFrame": 2}])", FileKind::Jpeg, false},
};

INSTANTIATE_TEST_SUITE_P(Formats, RecordReplay, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

namespace {

// A hand-made recording of three 32x24 RAW8 frames in one file, each frame a run of one value.
class ReplayManifest : public ::testing::Test {
  protected:
    static constexpr uint32_t kW = 32, kH = 24, kFrame = kW * kH;
    void SetUp() override {
        virt::removeAllDevices();
        dir_ = std::filesystem::temp_directory_path() /
               ("vexo_replay_manifest_" + std::to_string(getpid()));
        std::filesystem::create_directories(dir_);
        std::ofstream data(dir_ / "frames.raw", std::ios::binary);
        for (int f = 0; f < 3; ++f) data << std::string(kFrame, static_cast<char>(0x10 * (f + 1)));
    }
    void TearDown() override {
        virt::removeAllDevices();
        std::filesystem::remove_all(dir_);
    }
    std::string manifest(const std::string& file = "frames.raw", const char* extra = "") {
        char text[1024];
        std::snprintf(text, sizeof text,
                      R"({"vexoRecording": 1, "configuration": {"width": %u, "height": %u,
                         "pixelBytes": 1, "pixelBits": 8, "format": "RAW", "bayer": "RGGB"},
                         "frames": [{"file": "%s", "offset": 0, "u32Size": %u, "u64Time": 1000}%s,
                                    {"file": "%s", "offset": %u, "u32Size": %u, "u64Time": 1400},
                                    {"file": "%s", "offset": %u, "u32Size": %u, "u64Time": 1800}]})",
                      kW, kH, file.c_str(), kFrame, extra, file.c_str(), kFrame, kFrame,
                      file.c_str(), 2 * kFrame, kFrame);
        return text;
    }
    void write(const std::string& text) { std::ofstream(dir_ / "manifest.json") << text; }
    std::filesystem::path dir_;
};

TEST_F(ReplayManifest, HostileManifestsAreRefusedNamingTheKey) {
    struct Bad {
        std::string text;
        const char* says;
    };
    const std::string good = manifest();
    auto replaced = [&](const std::string& from, const std::string& to) {
        std::string t = good;
        t.replace(t.find(from), from.size(), to);
        return t;
    };
    const Bad bad[] = {
        {good.substr(0, good.size() / 2), "not valid JSON"},
        {manifest("../frames.raw"), "frames[0].file"},
        {manifest("sub/frames.raw"), "frames[0].file"},
        {manifest("missing.raw"), "frames[0].file"},
        {replaced("\"offset\": 0, ", ""), "frames[0].offset: missing"},
        {replaced("\"offset\": 1536,", "\"offset\": 1537,"), "past the end"},
        {replaced("\"offset\": 0,", "\"offset\": 18446744073709551615,"), "past the end"},
        {replaced("\"u32Size\": 768,", "\"u32Size\": 99999,"), "frames[0].u32Size: out of range"},
        {replaced("\"u32Size\": 768,", "\"u32Size\": -1,"), "frames[0].u32Size"},
        {replaced("\"u64Time\": 1400", "\"u64Time\": 1e400"),
         "frames[1].u64Time: number out of range (1e400)"},
        {replaced("\"width\": 32", "\"width\": -1e400"),
         "configuration.width: number out of range (-1e400)"},
        {replaced("\"format\": \"RAW\"", "\"format\": \"XYZ\""), "configuration.format"},
        {replaced("\"width\": 32", "\"width\": 0"), "configuration"},
        {replaced("\"vexoRecording\": 1", "\"vexoRecording\": 2"), "vexoRecording"},
        {R"({"vexoRecording": 1, "configuration": {"width": 1, "height": 1, "pixelBytes": 1,
            "format": "RAW", "bayer": "RGGB"}, "frames": []})",
         "frames: the recording holds no frame"},
        {"[]", "document"},
    };
    for (const Bad& b : bad) {
        write(b.text);
        std::string error;
        EXPECT_EQ(virt::loadRecording(dir_.string(), error), nullptr) << b.text;
        EXPECT_NE(error.find(b.says), std::string::npos) << error << "\n" << b.text;
        // The board's JSON carries the same line, under the key that named the recording.
        std::vector<virt::BoardConfig> boards;
        EXPECT_FALSE(virt::parseBoardsJson(
            R"({"boards": [{"stream": {"replay": ")" + dir_.string() + "\"}}]}", boards, error));
        EXPECT_NE(error.find("boards[0].stream.replay: "), std::string::npos) << error;
    }
    write(good);
    std::string error;
    EXPECT_NE(virt::loadRecording(dir_.string(), error), nullptr) << error;
}

// A frame file must be a regular file in the recording's directory: a link (even one that stays
// inside) could reach any file the process can read, and a FIFO would block the board's lock.
// Checked when the recording is loaded, and again for each frame, since the files can change
// while the board replays them.
TEST_F(ReplayManifest, FramesThatAreNotRegularFilesInTheDirectoryAreRefused) {
    const std::filesystem::path outside = dir_.string() + "_outside";
    std::filesystem::create_directories(outside);
    std::ofstream(outside / "secret.bin", std::ios::binary) << std::string(3 * kFrame, 'S');
    std::filesystem::copy_file(dir_ / "frames.raw", dir_ / "inside.raw");
    struct Kind {
        const char* name;
        std::function<void(const std::filesystem::path&)> make;
        const char* says;
    };
    const Kind kinds[] = {
        {"link out",
         [&](const auto& p) {
             std::filesystem::create_symlink("../" + outside.filename().string() + "/secret.bin",
                                             p);
         },
         "a symbolic link"},
        {"link in", [](const auto& p) { std::filesystem::create_symlink("inside.raw", p); },
         "a symbolic link"},
        {"fifo", [](const auto& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); },
         "not a regular file"},
        {"directory", [](const auto& p) { std::filesystem::create_directory(p); },
         "not a regular file"},
    };
    const std::filesystem::path frames = dir_ / "frames.raw";
    for (const Kind& k : kinds) {
        SCOPED_TRACE(k.name);
        write(manifest());
        std::string error;
        const auto recording = virt::loadRecording(dir_.string(), error);
        ASSERT_NE(recording, nullptr) << error;

        std::filesystem::rename(frames, dir_ / "kept.raw");
        k.make(frames);
        EXPECT_EQ(virt::loadRecording(dir_.string(), error), nullptr);
        EXPECT_NE(error.find("frames[0].file: " + frames.string() + ": " + k.says),
                  std::string::npos)
            << error;
        // Loaded while the file was sound, then swapped: the replay ends without a frame and
        // without waiting for a writer.
        virt::ReplayPlayer player(recording, false);
        EXPECT_FALSE(player.prepare());
        EXPECT_TRUE(player.ended());
        EXPECT_TRUE(player.bytes().empty());

        std::filesystem::remove(frames);
        std::filesystem::rename(dir_ / "kept.raw", frames);
        virt::ReplayPlayer sound(recording, false);
        ASSERT_TRUE(sound.prepare());
        EXPECT_EQ(std::vector<uint8_t>(sound.bytes().begin(), sound.bytes().end()),
                  std::vector<uint8_t>(kFrame, 0x10));
    }
    std::filesystem::remove_all(outside);
}

TEST_F(ReplayManifest, LoopedReplayRepeatsTheFramesWithRisingTimes) {
    write(manifest());
    ASSERT_NE(addBoard(R"({"boards": [{"productId": "0x03F2", "stream": {"replay": ")" +
                       dir_.string() + R"(", "loop": true, "paced": false}}]})"),
              nullptr);
    Case c{"loop", "RAW", FORMAT_MODE_RAW, 1, 8, RAW_RG, "0x03F2", "[]", FileKind::Raw, false};
    CameraConfig cfg = cameraConfig(c);
    cfg.u32Width = kW;
    cfg.u32Height = kH;
    const std::vector<Captured> frames = capture(cfg, 7, nullptr);
    ASSERT_EQ(frames.size(), 7u);
    // Three frames 400 apart: each pass is 1200 later than the one before.
    const uint64_t times[] = {1000, 1400, 1800, 2200, 2600, 3000, 3400};
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].bytes, std::vector<uint8_t>(kFrame, 0x10 * (i % 3 + 1))) << i;
        EXPECT_EQ(frames[i].time, times[i]) << i;
    }
}

}  // namespace
