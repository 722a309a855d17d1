// Capture through vexo::FrameRange and Camera::singleFrame over virtual boards: the frames are
// the boards' pictures, the capture starts and ends with the range, and failures surface as
// vexo::Error only when no frame comes.
#include "cpp/cpp_fixture.h"
#include "driver/virtual/virtual_bus.h"

namespace vexo::cpptest {
namespace {

using CppCapture = CppTest;

TEST_F(CppCapture, FramesAreTheBoardsPicturesInBothFramings) {
    for (uint16_t product : {0x03F1, 0x52CB}) {
        SCOPED_TRACE(product);
        virt::removeAllDevices();
        virt::BoardConfig config = smallBoard();
        config.productId = product;
        auto board = add(config);
        Camera camera = Camera::openFirst(configFor(config));

        PictureMatcher matcher(config.stream);
        unsigned seen = 0;
        uint64_t lastTime = 0;
        auto frames = camera.frames(20);
        for (const Frame& frame : frames) {
            EXPECT_EQ(frame.width(), 64u);
            EXPECT_EQ(frame.height(), 32u);
            EXPECT_EQ(frame.format(), FORMAT_MODE_RAW);
            EXPECT_EQ(frame.pixelBytes(), 1);
            EXPECT_EQ(frame.size(), frame.bytes().size());
            EXPECT_TRUE(matcher.matches(frame.bytes())) << "frame " << seen;
            EXPECT_GE(frame.time(), lastTime) << "time stamps do not run backwards";
            lastTime = frame.time();
            ++seen;
        }
        EXPECT_EQ(seen, 20u);
        EXPECT_EQ(frames.frameErrors(), 0u);
        EXPECT_NE(lastTime, 0u) << "the board's clock was set at open";
        EXPECT_TRUE(board->streaming()) << "the range ends the capture, not the last frame";
    }
}

TEST_F(CppCapture, LeavingTheLoopEarlyEndsTheCapture) {
    auto board = add(smallBoard());
    Camera camera = Camera::openFirst(configFor(board->config()));
    unsigned seen = 0;
    for (const Frame& frame : camera.frames()) {
        (void)frame;
        if (++seen == 3) break;
    }
    EXPECT_EQ(seen, 3u);
    EXPECT_FALSE(board->streaming());
    EXPECT_EQ(requestsWithCode(*board, 0xA2), 1u) << "one stop request";
    EXPECT_EQ(virt::pendingRequests(board->id(), 0x81), 0u) << "no read left in flight";
    EXPECT_EQ(Vexo_availableImage(camera.handle()), 0u) << "no stale frame left queued";

    // A new range starts afresh on the same camera.
    PictureMatcher matcher(board->config().stream, 100000);
    for (const Frame& frame : camera.frames(2)) EXPECT_TRUE(matcher.matches(frame.bytes()));
}

TEST_F(CppCapture, OneRangeAtATime) {
    auto board = add(smallBoard());
    Camera camera = Camera::openFirst(configFor(board->config()));
    auto first = camera.frames(10);
    auto it = first.begin();
    ASSERT_NE(it, first.end());

    try {
        camera.frames(1);
        ADD_FAILURE() << "a second range started";
    } catch (const Error& e) {
        EXPECT_EQ(e.code(), USB_CAMERA_USB_TASK_ERROR);
    }
    EXPECT_GE(Vexo_availableImage(camera.handle()), 1u) << "the refused range flushed nothing";
    ++it;
    EXPECT_NE(it, first.end()) << "the first range goes on";
}

TEST_F(CppCapture, FrameErrorsAreCountedWhileFramesStillCome) {
    auto board = add(smallBoard());
    Camera camera = Camera::openFirst(configFor(board->config()));
    virt::FaultConfig shortFrames;
    shortFrames.kind = virt::BoardFault::ShortFrame;
    shortFrames.atFrame = 0;
    shortFrames.count = 3;
    shortFrames.bytes = 10;
    board->addFault(shortFrames);

    PictureMatcher matcher(board->config().stream);
    auto frames = camera.frames(5);
    unsigned seen = 0;
    for (const Frame& frame : frames) {
        EXPECT_TRUE(matcher.matches(frame.bytes())) << "only whole frames are handed out";
        ++seen;
    }
    EXPECT_EQ(seen, 5u);
    EXPECT_EQ(frames.frameErrors(), 3u);
    EXPECT_EQ(frames.lastFrameError(), USB_CAMERA_DATA_LEN_ERROR);
}

TEST_F(CppCapture, NoFrameInTimeThrowsAndEndsTheCapture) {
    auto board = add(smallBoard());
    Camera camera = Camera::openFirst(configFor(board->config()));
    virt::FaultConfig stall;
    stall.kind = virt::BoardFault::Stall;
    stall.atFrame = 0;
    stall.ms = 0;  // until cleared
    board->addFault(stall);

    auto frames = camera.frames(1, std::chrono::milliseconds(100));
    try {
        for (const Frame& frame : frames) ADD_FAILURE() << "got " << frame.size() << " bytes";
        ADD_FAILURE() << "no error";
    } catch (const Error& e) {
        EXPECT_EQ(e.code(), USB_CAMERA_USB_TIMEOUT_ERROR);
        EXPECT_EQ(e.name(), "USB_CAMERA_USB_TIMEOUT_ERROR");
    }
    EXPECT_FALSE(board->streaming()) << "the range stopped at the error";
    EXPECT_EQ(frames.begin(), frames.end());
}

TEST_F(CppCapture, WrongSizeEverywhereIsReportedAsTheFrameError) {
    auto board = add(smallBoard());
    Config config = configFor(board->config());
    config.height = 33;  // every frame is one line shorter than this
    Camera camera = Camera::openFirst(config);
    try {
        for (const Frame& frame : camera.frames(1, std::chrono::milliseconds(200)))
            ADD_FAILURE() << "got " << frame.size() << " bytes";
        ADD_FAILURE() << "no error";
    } catch (const Error& e) {
        EXPECT_EQ(e.code(), USB_CAMERA_DATA_LEN_ERROR);
    }

    // Forced reading hands the odd frames out all the same.
    camera.setForceRead(true);
    for (const Frame& frame : camera.frames(2)) EXPECT_EQ(frame.size(), 64u * 32u);
}

TEST_F(CppCapture, AnUnpluggedBoardEndsTheRangeAtOnce) {
    auto board = add(smallBoard());
    Camera camera = Camera::openFirst(configFor(board->config()));
    virt::FaultConfig unplug;
    unplug.kind = virt::BoardFault::Unplug;
    unplug.atFrame = 4;
    board->addFault(unplug);
    unsigned seen = 0;
    try {
        for (const Frame& frame : camera.frames(1000, std::chrono::seconds(60))) {
            (void)frame;
            ++seen;
        }
        ADD_FAILURE() << "no error";
    } catch (const Error& e) {
        EXPECT_EQ(e.code(), USB_CAMERA_USB_TASK_ERROR) << e.what();
    }
    EXPECT_LE(seen, 4u);
}

TEST_F(CppCapture, SingleFrameIsAPicture) {
    auto board = add(smallBoard());
    Camera camera = Camera::openFirst(configFor(board->config()));
    const Frame frame = camera.singleFrame(std::chrono::milliseconds(500));
    PictureMatcher matcher(board->config().stream);
    EXPECT_TRUE(matcher.matches(frame.bytes()));
    EXPECT_EQ(frame.data().cfg.u32Size, frame.size());
    EXPECT_FALSE(board->streaming());
}

}  // namespace
}  // namespace vexo::cpptest
