// Boards as parts of a rig: the stamp over each frame's first bytes, the board's own clock
// (offset, drift, jitter) in its time stamps, and the rig's trigger line shared by every board.
#include <gtest/gtest.h>

#include <thread>

#include "board/support/model_bus.h"
#include "board/support/stream_decoder.h"
#include "driver/virtual/trigger_line.h"
#include "driver/virtual/virtual_board.h"

namespace vexo::test {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint64_t kHost = 133'000'000'000'000'000ull;

uint32_t stampOf(const Bytes& frame) {
    return frame[0] | frame[1] << 8 | frame[2] << 16 | static_cast<uint32_t>(frame[3]) << 24;
}

virt::BoardConfig rigBoard(uint16_t product, const char* serial) {
    virt::BoardConfig c;
    c.productId = product;
    c.serial = serial;
    c.stream.width = 64;
    c.stream.height = 32;
    c.stream.stamp = true;
    return c;
}

// Sets the board clock to kHost, as the host's clock exchange does.
void setClock(ModelBus& bus) {
    Bytes exchange(8);
    for (int i = 0; i < 8; ++i) exchange.push_back(static_cast<uint8_t>(kHost >> (8 * i)));
    ASSERT_TRUE(bus.out(0xB1, 0, 0, exchange));
}

// Frames of a trailer-framed board, waiting for them where the board says.
std::vector<DecodedFrame> frames(ModelBus& bus, size_t count) {
    TrailerDecoder d;
    for (int guard = 0; d.frames.size() < count && guard < 100000; ++guard) {
        auto r = bus.read(65536);
        if (r) {
            EXPECT_TRUE(d.feed(*r)) << d.why();
            continue;
        }
        if (bus.last.readyAt == driver::Clock::time_point::max()) break;
        std::this_thread::sleep_until(bus.last.readyAt);
    }
    return d.frames;
}

void expectPictureBehindStamp(const virt::BoardConfig& c, const DecodedFrame& f, uint32_t n) {
    Bytes picture;
    virt::renderFrame(c.stream, n, picture);
    ASSERT_EQ(f.bytes.size(), picture.size());
    EXPECT_TRUE(std::equal(picture.begin() + 4, picture.end(), f.bytes.begin() + 4));
}

TEST(BoardRig, StampsCountFramesOrTriggersOverThePicture) {
    // Free-running: the frame's number; the rest is the picture of that number.
    virt::BoardConfig c = rigBoard(0x03F2, "RIG-FREE");
    ModelBus free(c);
    ASSERT_TRUE(free.out(0xA1));
    auto got = frames(free, 4);
    ASSERT_EQ(got.size(), 4u);
    for (uint32_t n = 0; n < 4; ++n) {
        EXPECT_EQ(stampOf(got[n].bytes), n);
        expectPictureBehindStamp(c, got[n], n);
    }
    // Software trigger: the trigger's index, also across a frame the host throws away.
    virt::BoardConfig t = rigBoard(0x52CB, "RIG-SOFT");
    virt::FaultConfig discard;
    discard.kind = virt::BoardFault::Discard;
    discard.atFrame = 1;
    t.faults.push_back(discard);
    ModelBus soft(t);
    ASSERT_TRUE(soft.writeController(8, 0x81));
    ASSERT_TRUE(soft.writeController(8, 0x80));
    ASSERT_TRUE(soft.out(0xA1));
    for (int pulse = 0; pulse < 3; ++pulse)
        for (uint8_t v : {0x40, 0x60, 0x40}) ASSERT_TRUE(soft.writeController(3, v));
    got = frames(soft, 3);
    ASSERT_EQ(got.size(), 3u);
    for (uint32_t k = 0; k < 3; ++k) EXPECT_EQ(stampOf(got[k].bytes), k);
    EXPECT_TRUE(got[1].discarded);
    EXPECT_TRUE(frames(soft, 1).empty()) << "one frame per pulse";
}

TEST(BoardRig, ClockOffsetJitterAndDriftShowInTheTimeStamps) {
    virt::BoardConfig c = rigBoard(0x03F2, "RIG-CLOCK");
    c.stream.fps = 100;
    c.clock = {-2500, 20000, 3};  // 2.5 ms behind, 2 % fast, +-3 us
    ModelBus bus(c);
    const auto before = driver::Clock::now();
    setClock(bus);
    const auto after = driver::Clock::now();
    ASSERT_TRUE(bus.out(0xA1));
    auto got = frames(bus, 6);
    ASSERT_EQ(got.size(), 6u);
    // The oscillator counts the frame period: 10 ms of board time apart, within the jitter.
    for (size_t k = 1; k < got.size(); ++k) {
        const int64_t step = static_cast<int64_t>(got[k].timestamp - got[k - 1].timestamp);
        EXPECT_NEAR(step, 100000, 62) << k;
    }
    // Clock reads before and after a host interval: the board counts 2 % more than the host.
    auto read = [&] {
        auto r = bus.in(0xB0, 0, 0, 24);
        uint64_t t = 0;
        for (int i = 0; i < 8; ++i) t |= uint64_t{(*r)[i]} << (8 * i);
        return t;
    };
    const auto a0 = driver::Clock::now();
    const uint64_t b1 = read();
    const auto a1 = driver::Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto a2 = driver::Clock::now();
    const uint64_t b2 = read();
    const auto a3 = driver::Clock::now();
    auto ticks = [](auto d) { return std::chrono::duration<double>(d).count() * 1e7; };
    EXPECT_GE(static_cast<double>(b2 - b1), ticks(a2 - a1) * 1.02 - 1);
    EXPECT_LE(static_cast<double>(b2 - b1), ticks(a3 - a0) * 1.02 + 1);
    // Read at the exchange, the clock is the host time it was set to less its offset.
    EXPECT_GE(static_cast<double>(b1), kHost - 25000 + ticks(a0 - after) * 1.02 - 1);
    EXPECT_LE(static_cast<double>(b1), kHost - 25000 + ticks(a1 - before) * 1.02 + 1);
}

TEST(BoardRig, TheTriggerLineExposesEveryArmedBoardAtItsPulses) {
    virt::setTriggerLine(100);
    std::vector<std::vector<DecodedFrame>> got;
    for (const char* serial : {"RIG-LINE-A", "RIG-LINE-B"}) {
        ModelBus bus(rigBoard(0x52CB, serial));
        setClock(bus);
        ASSERT_TRUE(bus.writeController(8, 0x81));
        ASSERT_TRUE(bus.writeController(8, 0x80));
        ASSERT_TRUE(bus.out(0xA1));
        got.push_back(frames(bus, 4));
        ASSERT_EQ(got.back().size(), 4u);
        ASSERT_TRUE(bus.writeController(8, 0x00));
    }
    virt::setTriggerLine(0);
    for (const auto& board : got) {
        // Each frame is the line's pulse k, exposed 10 ms of board time after pulse k - 1,
        // however late the reads came.
        for (size_t k = 1; k < board.size(); ++k) {
            const uint32_t pulses = stampOf(board[k].bytes) - stampOf(board[k - 1].bytes);
            EXPECT_GE(pulses, 1u);
            EXPECT_NEAR(static_cast<double>(board[k].timestamp - board[k - 1].timestamp),
                        pulses * 100000.0, 2);
        }
    }
    // The line numbers its pulses for all boards: the second board, started later, sees later
    // pulses, never the first board's numbers again.
    EXPECT_GT(stampOf(got[1][0].bytes), stampOf(got[0][3].bytes));
}

TEST(BoardRig, DocumentKeysAndTheirErrors) {
    std::vector<virt::BoardConfig> boards;
    virt::RigConfig rig;
    std::string error;
    ASSERT_TRUE(virt::parseBoardsJson(
        R"({"rig": {"triggerHz": 30}, "boards": [{"stream": {"stamp": true},
             "clock": {"offsetUs": -1500.5, "driftPpm": 40, "jitterUs": 20}}]})",
        boards, rig, error))
        << error;
    EXPECT_EQ(rig.triggerHz, 30);
    ASSERT_EQ(boards.size(), 1u);
    EXPECT_TRUE(boards[0].stream.stamp);
    EXPECT_EQ(boards[0].clock.offsetUs, -1500.5);
    EXPECT_EQ(boards[0].clock.driftPpm, 40);
    EXPECT_EQ(boards[0].clock.jitterUs, 20);
    for (auto [text, line] : std::initializer_list<std::pair<const char*, const char*>>{
             {R"({"rig": {"triggerHz": -1}, "boards": []})", "rig.triggerHz: expected 0 .. 100000"},
             {R"({"rig": {"hz": 1}, "boards": []})", "rig.hz: unknown key"},
             {R"({"boards": [{"clock": {"driftPpm": "1"}}]})",
              "boards[0].clock.driftPpm: expected a number"},
             {R"({"boards": [{"clock": {"jitterUs": -1}}]})",
              "boards[0].clock.jitterUs: expected 0 .. 1e+06"},
             {R"({"boards": [{"stream": {"format": "JPG", "stamp": true}}]})",
              "boards[0].stream.stamp: not with JPG frames"}}) {
        EXPECT_FALSE(virt::parseBoardsJson(text, boards, rig, error)) << text;
        EXPECT_EQ(error, line);
    }
}

}  // namespace
}  // namespace vexo::test
