// Several boards from one process, one capture thread each, and a watcher thread beside them:
// every frame is checked against the picture its own board drew, and the counts are exact.
// VEXO_SOAK_FRAMES makes the four-board run longer (frames per board).
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vexo/board_watcher.hpp>

#include "cpp/cpp_fixture.h"

namespace vexo::cpptest {
namespace {

using namespace std::chrono_literals;

virt::BoardConfig boardNamed(const std::string& serial, uint16_t product, uint32_t width = 64,
                             uint32_t height = 32) {
    virt::BoardConfig config = smallBoard(width, height);
    config.serial = serial;
    config.productId = product;
    return config;
}

// Per board: frames seen and frames that were not the expected picture. Frame numbers start
// again at 0 when the board returns (the range's reconnect count tells which appearance).
struct BoardRun {
    uint64_t frames = 0;
    uint64_t wrong = 0;
    uint64_t reconnects = 0;
    uint32_t returns = 0;
    std::string error;
};

BoardRun streamBoard(const std::string& serial, const virt::BoardConfig& config, uint64_t count,
                     bool reconnect) {
    BoardRun run;
    try {
        Camera camera = Camera::openSerial(serial, configFor(config));
        if (reconnect) camera.setReconnect({});
        std::vector<uint8_t> expected;
        uint64_t appearance = 0;
        uint32_t number = 0;
        auto frames = camera.frames(count);
        for (const Frame& frame : frames) {
            if (frames.reconnects() != appearance) {
                appearance = frames.reconnects();
                number = 0;
            }
            virt::renderFrame(config.stream, number++, expected);
            if (frame.size() != expected.size() ||
                !std::equal(expected.begin(), expected.end(), frame.bytes().begin()))
                ++run.wrong;
            ++run.frames;
        }
        run.reconnects = frames.reconnects();
    } catch (const std::exception& e) {
        run.error = e.what();
    }
    return run;
}

// Each board on a thread of its own; every board delivered `count` frames, all its own.
std::vector<BoardRun> streamAll(const std::vector<virt::BoardConfig>& configs, uint64_t count,
                                bool reconnect) {
    std::vector<BoardRun> runs(configs.size());
    std::vector<std::thread> threads;
    for (size_t k = 0; k < configs.size(); ++k)
        threads.emplace_back(
            [&, k] { runs[k] = streamBoard(configs[k].serial, configs[k], count, reconnect); });
    for (auto& t : threads) t.join();
    for (size_t k = 0; k < configs.size(); ++k) {
        SCOPED_TRACE(configs[k].serial);
        EXPECT_EQ(runs[k].error, "");
        EXPECT_EQ(runs[k].frames, count);
        EXPECT_EQ(runs[k].wrong, 0u);
    }
    return runs;
}

using CppBoards = CppTest;

TEST_F(CppBoards, FourBoardsStreamAtOnceEveryFrameTheirOwn) {
    const char* env = std::getenv("VEXO_SOAK_FRAMES");
    const uint64_t count = env ? std::strtoull(env, nullptr, 10) : 300;
    // Both framings, and sizes that differ, so a frame handed to the wrong camera shows.
    const std::vector<virt::BoardConfig> configs = {
        boardNamed("MULTI-0", 0x03F1, 64, 32), boardNamed("MULTI-1", 0x52CB, 48, 24),
        boardNamed("MULTI-2", 0x03F2, 80, 16), boardNamed("MULTI-3", 0x03F1, 32, 32)};
    std::vector<std::shared_ptr<virt::VirtualBoard>> boards;
    for (const auto& config : configs) boards.push_back(add(config));

    const std::vector<BoardRun> runs = streamAll(configs, count, false);
    for (size_t k = 0; k < configs.size(); ++k) {
        SCOPED_TRACE(configs[k].serial);
        EXPECT_FALSE(boards[k]->streaming());
    }
}

// 100 returns in all: four boards on four threads, 25 each, a frame check throughout. Each
// reopen takes the open's clock exchanges (about 0.2 s), so the boards share the waiting.
// ThreadSanitizer makes every scan and open many times slower; 2 each suffice there to
// check the threads, while the other builds (AddressSanitizer's leak check among them) do 100.
#if defined(__SANITIZE_THREAD__)
constexpr uint32_t kReplugsEach = 2;
#else
constexpr uint32_t kReplugsEach = 25;
#endif

TEST_F(CppBoards, HundredReplugsAcrossFourCapturingBoards) {
    constexpr uint32_t kFramesBetween = 3;
    std::vector<virt::BoardConfig> configs;
    for (int k = 0; k < 4; ++k) {
        virt::BoardConfig config =
            boardNamed("REPLUG-" + std::to_string(k), k % 2 ? 0x52CB : 0x03F1, 16, 8);
        virt::FaultConfig replug;
        replug.kind = virt::BoardFault::Replug;
        replug.atFrame = kFramesBetween;
        replug.ms = 1;
        replug.count = kReplugsEach;
        config.faults.push_back(replug);
        configs.push_back(config);
    }
    std::vector<std::shared_ptr<virt::VirtualBoard>> boards;
    for (const auto& config : configs) boards.push_back(add(config));

    const uint64_t count = kFramesBetween * (kReplugsEach + 1);
    const std::vector<BoardRun> runs = streamAll(configs, count, true);
    for (size_t k = 0; k < configs.size(); ++k) {
        SCOPED_TRACE(configs[k].serial);
        EXPECT_EQ(runs[k].reconnects, kReplugsEach);
        EXPECT_EQ(boards[k]->returns(), kReplugsEach);
    }
}

// The watcher's thread scans beside a capture: it reports the board's departure and return,
// while the capture (reconnecting) loses no frame of either appearance.
TEST_F(CppBoards, WatcherReportsAReplugWhileTheBoardStreams) {
    virt::BoardConfig config = boardNamed("WATCHED", 0x03F1);
    auto board = add(config);
    add(boardNamed("STILL", 0x03F1));

    std::mutex lock;
    std::vector<BoardEvent> events;
    BoardWatcher watcher(
        [&](const BoardEvent& e) {
            std::lock_guard<std::mutex> guard(lock);
            events.push_back(e);
        },
        5ms);
    auto eventsNow = [&] {
        std::lock_guard<std::mutex> guard(lock);
        return events;
    };
    auto waitFor = [&](size_t n) {
        for (int k = 0; k < 400 && eventsNow().size() < n; ++k) std::this_thread::sleep_for(5ms);
        return eventsNow();
    };
    ASSERT_EQ(waitFor(2).size(), 2u) << "both boards reported as present";

    std::thread capture([&] {
        virt::FaultConfig replug;
        replug.kind = virt::BoardFault::Replug;
        replug.atFrame = 20;
        replug.ms = 100;
        board->addFault(replug);
        BoardRun run = streamBoard("WATCHED", config, 40, true);
        EXPECT_EQ(run.error, "");
        EXPECT_EQ(run.frames, 40u);
        EXPECT_EQ(run.wrong, 0u);
        EXPECT_EQ(run.reconnects, 1u);
    });
    capture.join();
    watcher.stop();

    const std::vector<BoardEvent> seen = eventsNow();
    std::string told;
    for (const BoardEvent& e : seen)
        told += (e.kind == BoardEvent::Kind::Left ? " left " : " arrived ") + e.board.serial + "@" +
                std::to_string(e.board.index);
    ASSERT_EQ(seen.size(), 4u) << told;
    EXPECT_EQ(seen[0].kind, BoardEvent::Kind::Arrived);
    EXPECT_EQ(seen[0].board.serial, "WATCHED");
    EXPECT_EQ(seen[1].board.serial, "STILL");
    EXPECT_EQ(seen[2].kind, BoardEvent::Kind::Left);
    EXPECT_EQ(seen[2].board.serial, "WATCHED");
    EXPECT_EQ(seen[2].board.index, 0u);
    EXPECT_EQ(seen[3].kind, BoardEvent::Kind::Arrived);
    EXPECT_EQ(seen[3].board.serial, "WATCHED");
    EXPECT_EQ(seen[3].board.index, 1u) << "it returned after the board that stayed";
}

// A callback may stop its own watcher: the thread ends after that callback, and the other
// event of the same scan is not called back.
TEST_F(CppBoards, WatcherStoppedFromItsOwnCallback) {
    add(boardNamed("FIRST", 0x03F1));
    add(boardNamed("SECOND", 0x03F1));

    std::mutex lock;
    std::vector<BoardEvent> events;
    std::atomic<BoardWatcher*> self{nullptr};
    BoardWatcher watcher(
        [&](const BoardEvent& e) {
            while (self.load() == nullptr) std::this_thread::yield();
            {
                std::lock_guard<std::mutex> guard(lock);
                events.push_back(e);
            }
            self.load()->stop();
        },
        5ms);
    self.store(&watcher);
    auto count = [&] {
        std::lock_guard<std::mutex> guard(lock);
        return events.size();
    };
    for (int k = 0; k < 400 && count() == 0; ++k) std::this_thread::sleep_for(5ms);
    watcher.stop();

    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, BoardEvent::Kind::Arrived);
    EXPECT_EQ(events[0].board.serial, "FIRST");
}

}  // namespace
}  // namespace vexo::cpptest
