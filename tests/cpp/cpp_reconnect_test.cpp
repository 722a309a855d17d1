// Boards that leave and return: a camera with reconnect on follows its board by serial, runs
// its start-up again, and reports what it lost; scans announce the board's comings and goings.
#include <cstdlib>
#include <memory>
#include <optional>
#include <vexo/board_watcher.hpp>

#include "cpp/cpp_fixture.h"
#include "driver/virtual/virtual_bus.h"

namespace vexo::cpptest {
namespace {

using namespace std::chrono_literals;

virt::FaultConfig replugAt(uint32_t frame, uint32_t ms, uint32_t times = 1) {
    virt::FaultConfig fault;
    fault.kind = virt::BoardFault::Replug;
    fault.atFrame = frame;
    fault.ms = ms;
    fault.count = times;
    return fault;
}

// Checks every frame against the picture the board drew: frame numbers start again at 0 each
// time the board returns, so the expected number follows the range's reconnect count.
class ReplugCapture {
  public:
    explicit ReplugCapture(const virt::StreamConfig& stream) : stream_(stream) {}

    void check(const Frame& frame, uint64_t reconnects) {
        if (reconnects != appearance_) {
            appearance_ = reconnects;
            number_ = 0;
        }
        virt::renderFrame(stream_, number_, expected_);
        EXPECT_TRUE(frame.size() == expected_.size() &&
                    std::equal(expected_.begin(), expected_.end(), frame.bytes().begin()))
            << "appearance " << appearance_ << " frame " << number_;
        ++number_;
        ++frames_;
    }
    uint64_t frames() const { return frames_; }
    uint32_t sinceReturn() const { return number_; }

  private:
    virt::StreamConfig stream_;
    std::vector<uint8_t> expected_;
    uint64_t appearance_ = 0;
    uint32_t number_ = 0;
    uint64_t frames_ = 0;
};

class CppReconnect : public CppTest, public ::testing::WithParamInterface<uint16_t> {};

// The board leaves at frame 10 and returns 40 ms later; another board was listed after it,
// so it comes back at another index. The capture goes on with the same board.
TEST_P(CppReconnect, CaptureFollowsTheBoardBySerialAndReportsTheGap) {
    virt::BoardConfig config = smallBoard();
    config.productId = GetParam();
    config.serial = "HOTPLUG-A";
    config.faults.push_back(replugAt(10, 40));
    auto board = add(config);
    virt::BoardConfig other = smallBoard();
    other.serial = "HOTPLUG-B";
    add(other);

    Camera camera = Camera::openSerial("HOTPLUG-A", configFor(config));
    int setups = 0;
    std::vector<Gap> told;
    ReconnectOptions options;
    options.wait = 5s;
    options.setup = [&](Camera& reopened) {
        ++setups;
        reopened.writeSensorReg(0x3012, 0x5A);
    };
    options.onGap = [&](const Gap& gap) { told.push_back(gap); };
    options.setup(camera);
    camera.setReconnect(options);

    ReplugCapture check(config.stream);
    auto frames = camera.frames(30);
    for (const Frame& frame : frames) check.check(frame, frames.reconnects());

    EXPECT_EQ(check.frames(), 30u) << "no frame of either appearance is missing";
    EXPECT_EQ(check.sinceReturn(), 20u);
    ASSERT_EQ(frames.reconnects(), 1u);
    ASSERT_EQ(told.size(), 1u);
    const Gap& gap = frames.gaps()[0];
    EXPECT_EQ(gap.serial, "HOTPLUG-A");
    EXPECT_EQ(gap.indexBefore, 0u);
    EXPECT_EQ(gap.indexAfter, 1u) << "it returned after the board that stayed";
    EXPECT_EQ(camera.index(), 1u);
    EXPECT_GE(gap.duration, 40ms) << "the board was away that long at least";
    EXPECT_LE(gap.lastFrame, gap.boardBack);
    EXPECT_LE(gap.boardBack, gap.firstFrame);
    EXPECT_EQ(gap.duration, gap.firstFrame - gap.lastFrame);
    EXPECT_GT(gap.frames, 0u) << "an unpaced stream loses frames in 40 ms";
    EXPECT_EQ(told[0].frames, gap.frames);

    EXPECT_EQ(setups, 2) << "start-up ran again after the return";
    EXPECT_EQ(board->returns(), 1u);
    EXPECT_EQ(board->sensorRegister(0x3012), 0x5Au)
        << "the returned board starts afresh, so the register was written again";
    EXPECT_EQ(camera.config(), configFor(config));
    EXPECT_EQ(camera.serial(), "HOTPLUG-A");
}

// 0x03F1: chunk headers; 0x52CB: a USB 2 board with trailer packets.
INSTANTIATE_TEST_SUITE_P(BothFramings, CppReconnect, ::testing::Values(0x03F1, 0x52CB));

using CppReplug = CppTest;

// A paced stream: the gap in frames follows the frame rate.
TEST_F(CppReplug, GapOfAPacedStreamCountsTheFramesTheRateWouldHaveSent) {
    virt::BoardConfig config = smallBoard();
    config.serial = "PACED";
    config.stream.fps = 200;
    config.faults.push_back(replugAt(8, 100));
    add(config);
    Camera camera = Camera::openFirst(configFor(config));
    camera.setReconnect({});
    auto frames = camera.frames(12);
    ReplugCapture check(config.stream);
    for (const Frame& frame : frames) check.check(frame, frames.reconnects());
    ASSERT_EQ(frames.gaps().size(), 1u);
    const Gap& gap = frames.gaps()[0];
    // Away 100 ms, then reopened: at 5 ms a frame at least 19 frames were not sent.
    EXPECT_GE(gap.frames, 19u);
    const double seconds = std::chrono::duration<double>(gap.duration).count();
    EXPECT_LE(gap.frames, static_cast<uint64_t>(seconds * 200 * 1.5) + 1);
    EXPECT_GT(gap.firstFrameTime, gap.lastFrameTime) << "board times run on across the gap";
}

TEST_F(CppReplug, ABoardThatStaysAwayEndsTheCaptureAfterTheWait) {
    virt::BoardConfig config = smallBoard();
    config.serial = "GONE";
    virt::FaultConfig unplug;
    unplug.kind = virt::BoardFault::Unplug;
    unplug.atFrame = 5;
    config.faults.push_back(unplug);
    add(config);
    Camera camera = Camera::openFirst(configFor(config));
    ReconnectOptions options;
    options.wait = 150ms;
    camera.setReconnect(options);
    uint32_t seen = 0;
    uint32_t code = 0;
    try {
        for (const Frame& frame : camera.frames(20)) {
            (void)frame;
            ++seen;
        }
    } catch (const Error& error) {
        code = error.code();
    }
    EXPECT_EQ(seen, 5u) << "the frames sent before the board left still came";
    EXPECT_EQ(code, USB_CAMERA_USB_CREATE_ERROR);
    EXPECT_EQ(camera.handle(), nullptr) << "the camera is closed";
}

TEST_F(CppReplug, ABoardWithoutASerialCannotReconnect) {
    virt::BoardConfig config = smallBoard();
    config.serial = "";
    add(config);
    Camera camera = Camera::openFirst(configFor(config));
    EXPECT_THROW(camera.setReconnect({}), Error);
    EXPECT_FALSE(camera.reconnects());
}

// A range started while the board is away waits for it too; a range refused by a board that
// still answers (a second range) is not mistaken for a loss.
TEST_F(CppReplug, ARangeStartedWhileTheBoardIsAwayWaitsForIt) {
    auto board = add([] {
        auto c = smallBoard();
        c.serial = "BETWEEN";
        return c;
    }());
    Camera camera = Camera::openFirst(configFor(board->config()));
    camera.setReconnect({});
    {
        auto first = camera.frames(2);
        for (const Frame& frame : first) (void)frame;
        try {
            camera.frames(1);
            ADD_FAILURE() << "a second range was allowed";
        } catch (const Error& error) {
            EXPECT_EQ(error.code(), USB_CAMERA_USB_TASK_ERROR);
        }
        EXPECT_EQ(board->returns(), 0u);
    }
    board->replug(30);
    ReplugCapture check(board->config().stream);
    for (const Frame& frame : camera.frames(3)) check.check(frame, 0);
    EXPECT_EQ(check.frames(), 3u);
    EXPECT_EQ(board->returns(), 1u);
}

// What the loop's body does to the range's camera at every fourth frame. The range never
// reaches a closed handle (AddressSanitizer): it streams on after a reopen or a move, every
// frame a picture the board drew, and ends at once when its camera is destroyed.
enum class CameraChange { Reopen, Move, Destroy };

class CppRangeCamera : public CppTest, public ::testing::WithParamInterface<CameraChange> {};

TEST_P(CppRangeCamera, RangeFollowsItsCamera) {
    virt::BoardConfig config = smallBoard();
    config.serial = "FOLLOW";
    auto board = add(config);
    std::optional<Camera> camera;
    camera.emplace(Camera::openFirst(configFor(config)));
    camera->setReconnect({});

    auto frames = camera->frames(12);
    auto matcher = std::make_unique<PictureMatcher>(config.stream);
    uint32_t seen = 0;
    for (const Frame& frame : frames) {
        EXPECT_TRUE(matcher->matches(frame.bytes())) << "frame " << seen;
        if (++seen % 4 != 0) continue;
        // The frame is gone with a reopen; the board may start its pictures afresh.
        matcher = std::make_unique<PictureMatcher>(config.stream);
        switch (GetParam()) {
            case CameraChange::Reopen:
                camera->reopen();
                break;
            case CameraChange::Move: {
                Camera moved(std::move(*camera));
                *camera = std::move(moved);
                break;
            }
            case CameraChange::Destroy:
                camera.reset();
                break;
        }
    }
    const bool destroyed = GetParam() == CameraChange::Destroy;
    EXPECT_EQ(seen, destroyed ? 4u : 12u);
    EXPECT_EQ(frames.reconnects(), 0u) << "a reopen asked for is no loss";
    EXPECT_EQ(closesSeen(*board), GetParam() == CameraChange::Move ? 0u : destroyed ? 1u : 3u);
    frames.stop();
    if (!camera) return;
    uint32_t more = 0;
    for (const Frame& frame : camera->frames(2)) more += frame.size() == 64u * 32u;
    EXPECT_EQ(more, 2u) << "the capture the range started on the new handle ended with it";
}

INSTANTIATE_TEST_SUITE_P(Changes, CppRangeCamera,
                         ::testing::Values(CameraChange::Reopen, CameraChange::Move,
                                           CameraChange::Destroy));

struct ChangeCase {
    const char* name;
    std::vector<BoardInfo> before, after;
    std::vector<std::pair<BoardEvent::Kind, BoardInfo>> expected;
};

class BoardChanges : public ::testing::TestWithParam<ChangeCase> {};

TEST_P(BoardChanges, ScansDifferBySerial) {
    const ChangeCase& c = GetParam();
    const std::vector<BoardEvent> events = boardChanges(c.before, c.after);
    ASSERT_EQ(events.size(), c.expected.size());
    for (size_t k = 0; k < events.size(); ++k) {
        EXPECT_EQ(events[k].kind, c.expected[k].first) << k;
        EXPECT_EQ(events[k].board.serial, c.expected[k].second.serial) << k;
        EXPECT_EQ(events[k].board.index, c.expected[k].second.index) << k;
    }
}

constexpr auto kIn = BoardEvent::Kind::Arrived;
constexpr auto kOut = BoardEvent::Kind::Left;
INSTANTIATE_TEST_SUITE_P(
    Cases, BoardChanges,
    ::testing::Values(
        ChangeCase{"OneLeftTheOtherMovedUp", {{0, "A"}, {1, "B"}}, {{0, "B"}}, {{kOut, {0, "A"}}}},
        ChangeCase{
            "TwoWithOneSerialArrive", {}, {{0, "X"}, {1, "X"}}, {{kIn, {0, "X"}}, {kIn, {1, "X"}}}},
        ChangeCase{
            "OfTwoWithoutSerialTheLastLeft", {{0, ""}, {1, ""}}, {{0, ""}}, {{kOut, {1, ""}}}},
        ChangeCase{"ReorderedIsNoEvent", {{0, "A"}, {1, "B"}}, {{0, "B"}, {1, "A"}}, {}},
        ChangeCase{"RemovalsComeFirst",
                   {{0, "B"}},
                   {{0, "A"}, {1, "C"}},
                   {{kOut, {0, "B"}}, {kIn, {0, "A"}}, {kIn, {1, "C"}}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CppReplug, MonitorSeesTheBoardLeaveAndReturn) {
    auto board = add([] {
        auto c = smallBoard();
        c.serial = "MONITORED";
        return c;
    }());
    BoardMonitor quiet(false);
    EXPECT_TRUE(quiet.poll().empty()) << "boards present at the start are not news";
    BoardMonitor monitor;
    ASSERT_EQ(monitor.poll().size(), 1u);
    board->replug(30);
    std::vector<BoardEvent> events = monitor.poll();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, BoardEvent::Kind::Left);
    EXPECT_TRUE(monitor.poll().empty()) << "not back before its time";
    std::this_thread::sleep_for(40ms);
    events = monitor.poll();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, BoardEvent::Kind::Arrived);
    EXPECT_EQ(events[0].board.serial, "MONITORED");
    EXPECT_EQ(board->returns(), 1u);
}

}  // namespace
}  // namespace vexo::cpptest
