// Capture end to end over virtual boards: both framings, every format, failure paths.
#include <chrono>

#include "camera/support/engine_fixture.h"
#include "driver/virtual/virtual_bus.h"

namespace vexo::camera::test {
namespace {

using Clock = std::chrono::steady_clock;

struct StreamCase {
    uint16_t productId; /* 0x03F1 chunk header; 0x03F2 and 0x52CB trailer-marked */
    virt::PixelFormat format;
    uint8_t pixelBytes;
};

std::string caseName(const ::testing::TestParamInfo<StreamCase>& info) {
    char name[64];
    std::snprintf(name, sizeof name, "pid%04X_%s_%u", info.param.productId,
                  std::string(virt::formatName(info.param.format)).c_str(), info.param.pixelBytes);
    return name;
}

class EngineStream : public EngineTest, public ::testing::WithParamInterface<StreamCase> {};

TEST_P(EngineStream, FramesMatchThePicturesTheBoardDrew) {
    virt::BoardConfig config = smallBoard(GetParam().productId, 64, 32);
    config.stream.format = GetParam().format;
    config.stream.pixelBytes = GetParam().pixelBytes;
    ASSERT_EQ(openBoard(config), USB_CAMERA_NO_ERROR);
    ASSERT_EQ(camera_->beginCaptureImage(), USB_CAMERA_NO_ERROR);
    FrameChecker checker(config.stream);
    EXPECT_EQ(captureAndCheck(*camera_, checker, 12, 400), 12u);
    FrameData* frame = nullptr;
    if (camera_->readImage(&frame) == USB_CAMERA_NO_ERROR) {
        EXPECT_EQ(frame->cfg.u32Width, 64u);
        EXPECT_EQ(frame->cfg.emImageFmtMode, formatModeOf(GetParam().format));
    }
    EXPECT_EQ(camera_->endCaptureImage(), USB_CAMERA_NO_ERROR);
}

std::vector<StreamCase> allStreams() {
    std::vector<StreamCase> cases;
    for (uint16_t pid : {0x03F1, 0x03F2, 0x52CB})
        for (auto f : {virt::PixelFormat::Raw, virt::PixelFormat::Mon, virt::PixelFormat::Rgb,
                       virt::PixelFormat::Yuv, virt::PixelFormat::Jpg, virt::PixelFormat::RawD,
                       virt::PixelFormat::MonD})
            cases.push_back({pid, f, 1});
    cases.push_back({0x03F1, virt::PixelFormat::Raw, 2});
    cases.push_back({0x52CB, virt::PixelFormat::MonD, 2});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(AllFramings, EngineStream, ::testing::ValuesIn(allStreams()), caseName);

using EngineCapture = EngineTest;

TEST_F(EngineCapture, StartAndStopTalkToTheBoard) {
    ASSERT_EQ(openBoard(smallBoard()), USB_CAMERA_NO_ERROR);
    EXPECT_EQ(camera_->captureImage(), USB_CAMERA_USB_TASK_ERROR) << "not capturing yet";
    board_->clearControlRequests();
    ASSERT_EQ(camera_->beginCaptureImage(), USB_CAMERA_NO_ERROR);
    EXPECT_EQ(controllerWrites(*board_, 3), (std::vector<uint8_t>{0xC0, 0x40, 0x00}));
    EXPECT_EQ(requestsWithCode(*board_, 0xA1).size(), 1u);
    EXPECT_TRUE(board_->streaming());
    EXPECT_EQ(virt::pendingRequests(board_->id(), 0x81), 64u);

    /* A second start, or a single frame, while capturing changes nothing. */
    EXPECT_EQ(camera_->beginCaptureImage(), USB_CAMERA_USB_TASK_ERROR);
    FrameData* frame = nullptr;
    EXPECT_EQ(camera_->getSingleFrame(&frame, 100), USB_CAMERA_USB_TASK_ERROR);
    EXPECT_TRUE(camera_->isCapturing());
    EXPECT_LE(camera_->captureImage(), 0xFFu);

    EXPECT_EQ(camera_->endCaptureImage(), USB_CAMERA_NO_ERROR);
    EXPECT_EQ(requestsWithCode(*board_, 0xA2).size(), 1u);
    EXPECT_EQ(virt::pendingRequests(board_->id(), 0x81), 0u);
    EXPECT_EQ(camera_->captureImage(), USB_CAMERA_USB_TASK_ERROR);
    /* Ending twice releases nothing twice. */
    EXPECT_EQ(camera_->endCaptureImage(), USB_CAMERA_NO_ERROR);
    EXPECT_EQ(requestsWithCode(*board_, 0xA2).size(), 2u);
}

TEST_F(EngineCapture, TransferLengthRule) {
    virt::BoardConfig usb2 = smallBoard(0x52CB);
    CameraConfig cfg = configFor(usb2);
    cfg.u32TransLvl = 2;
    ASSERT_EQ(openBoard(usb2, &cfg), USB_CAMERA_NO_ERROR);
    ASSERT_EQ(camera_->beginCaptureImage(), USB_CAMERA_NO_ERROR);
    EXPECT_EQ(camera_->transferParams().transferLength, 2u * 512 * 16);
    EXPECT_EQ(virt::transferSize(board_->id(), 0x81), 16384u);
    camera_->endCaptureImage();

    cfg.u32TransLvl = 0;
    cfg.emImageFmtMode = FORMAT_MODE_JPG;
    ASSERT_EQ(camera_->setCamCfg(&cfg), USB_CAMERA_NO_ERROR);
    ASSERT_EQ(camera_->beginCaptureImage(), USB_CAMERA_NO_ERROR);
    EXPECT_EQ(camera_->transferParams().transferLength, 8192u);
    camera_->endCaptureImage();

    cfg.emImageFmtMode = FORMAT_MODE_RAW;
    ASSERT_EQ(camera_->setCamCfg(&cfg), USB_CAMERA_NO_ERROR);
    ASSERT_EQ(camera_->beginCaptureImage(), USB_CAMERA_NO_ERROR);
    EXPECT_EQ(camera_->transferParams().transferLength, 524288u);
    camera_->endCaptureImage();
}

TEST_F(EngineCapture, FullQueueDropsNewFramesSilently) {
    virt::BoardConfig config = smallBoard();
    ASSERT_EQ(openBoard(config), USB_CAMERA_NO_ERROR);
    ASSERT_EQ(camera_->beginCaptureImage(), USB_CAMERA_NO_ERROR);
    uint32_t completed = 0;
    for (int call = 0; call < 200 && completed < 20; ++call) {
        const uint32_t result = camera_->captureImage();
        ASSERT_LE(result, 0xFFu);
        completed += result;
    }
    ASSERT_GE(completed, 20u);
    EXPECT_EQ(camera_->availableImage(), 5u);
    /* The five oldest frames are the ones kept, in order. */
    FrameChecker checker(config.stream, 1);
    for (int i = 0; i < 5; ++i) {
        FrameData* frame = nullptr;
        ASSERT_EQ(camera_->readImage(&frame), USB_CAMERA_NO_ERROR);
        std::string why;
        EXPECT_TRUE(checker.check(*frame, &why)) << why;
        EXPECT_EQ(camera_->del(), USB_CAMERA_NO_ERROR);
    }
    FrameData* frame = reinterpret_cast<FrameData*>(1);
    EXPECT_EQ(camera_->readImage(&frame), USB_CAMERA_READ_EMPTY_ERROR);
    EXPECT_EQ(frame, nullptr);
    EXPECT_EQ(camera_->del(), USB_CAMERA_DEL_EMPTY_ERROR);
}

TEST_F(EngineCapture, ShotEmptiesTheQueueAndSendsThePair) {
    ASSERT_EQ(openBoard(smallBoard()), USB_CAMERA_NO_ERROR);
    ASSERT_EQ(camera_->beginCaptureImage(), USB_CAMERA_NO_ERROR);
    for (int i = 0; i < 20 && camera_->availableImage() == 0; ++i) camera_->captureImage();
    ASSERT_GT(camera_->availableImage(), 0u);
    board_->clearControlRequests();
    EXPECT_EQ(camera_->shot(), USB_CAMERA_NO_ERROR);
    EXPECT_EQ(camera_->availableImage(), 0u);
    auto requests = board_->controlRequests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].setup.bRequest, 0xA9);
    EXPECT_EQ(requests[1].setup.bRequest, 0xA8);
}

TEST_F(EngineCapture, StalledBoardTimesOutAndCaptureRecovers) {
    virt::BoardConfig config = smallBoard();
    ASSERT_EQ(openBoard(config), USB_CAMERA_NO_ERROR);
    ASSERT_EQ(camera_->beginCaptureImage(), USB_CAMERA_NO_ERROR);
    FrameChecker checker(config.stream);
    ASSERT_EQ(captureAndCheck(*camera_, checker, 2, 50), 2u);

    virt::FaultConfig stall;
    stall.kind = virt::BoardFault::Stall;
    stall.atFrame = board_->nextFrameNumber();
    stall.ms = 0;
    board_->addFault(stall);
    /* Reads already filled before the stall still complete; then the wait runs out. */
    uint32_t result = 0;
    int calls = 0;
    while ((result = camera_->captureImage()) != USB_CAMERA_USB_TIMEOUT_ERROR && calls < 200)
        ++calls;
    ASSERT_EQ(result, USB_CAMERA_USB_TIMEOUT_ERROR);
    EXPECT_TRUE(camera_->isCapturing());
    board_->clearFaults();
    camera_->flush();

    /* The abort cancelled every read; each call finishes one and queues it again, so the
     * queue of 64 is whole again within 64 calls and frames flow. */
    int timeouts = 0;
    for (int call = 0; call < 64; ++call)
        if (camera_->captureImage() == USB_CAMERA_USB_TIMEOUT_ERROR) ++timeouts;
    EXPECT_GE(timeouts, 1);
    EXPECT_LE(timeouts, 64);
    EXPECT_EQ(virt::pendingRequests(board_->id(), 0x81), 64u);
    FrameChecker after(config.stream, 100000);
    EXPECT_EQ(captureAndCheck(*camera_, after, 3, 100), 3u);
}

TEST_F(EngineCapture, UnpluggedBoardEndsCaptureWithStatusCodes) {
    ASSERT_EQ(openBoard(smallBoard()), USB_CAMERA_NO_ERROR);
    ASSERT_EQ(camera_->beginCaptureImage(), USB_CAMERA_NO_ERROR);
    for (int i = 0; i < 5; ++i) EXPECT_LE(camera_->captureImage(), 0xFFu);
    board_->unplug();
    uint32_t result = 0;
    for (int call = 0; call < 200 && camera_->isCapturing(); ++call) {
        result = camera_->captureImage();
        EXPECT_TRUE(result <= 0xFF || result == USB_CAMERA_USB_TIMEOUT_ERROR ||
                    result == USB_CAMERA_USB_TASK_ERROR)
            << result;
    }
    EXPECT_EQ(result, USB_CAMERA_USB_TASK_ERROR);
    EXPECT_FALSE(camera_->isCapturing());
    EXPECT_EQ(camera_->captureImage(), USB_CAMERA_USB_TASK_ERROR);
    uint32_t value = 0;
    EXPECT_EQ(camera_->readReg_16_32(0x20, 0x3012, &value), USB_CAMERA_VR_COMMAND_ERROR);
    EXPECT_EQ(camera_->endCaptureImage(), USB_CAMERA_NO_ERROR);
    EXPECT_EQ(camera_->close(), USB_CAMERA_NO_ERROR);
    EXPECT_FALSE(camera_->isAttached());
}

TEST_F(EngineCapture, SingleFrameReturnsTheFirstFrame) {
    virt::BoardConfig config = smallBoard(0x52CB);
    ASSERT_EQ(openBoard(config), USB_CAMERA_NO_ERROR);
    board_->clearControlRequests();
    FrameData* frame = nullptr;
    ASSERT_EQ(camera_->getSingleFrame(&frame, 1500), USB_CAMERA_NO_ERROR);
    ASSERT_NE(frame, nullptr);
    FrameChecker checker(config.stream);
    std::string why;
    EXPECT_TRUE(checker.check(*frame, &why)) << why;
    EXPECT_EQ(controllerWrites(*board_, 8), (std::vector<uint8_t>{0x00, 0x81, 0x80}));
    EXPECT_EQ(controllerWrites(*board_, 3), (std::vector<uint8_t>{0xC0, 0x40}));
    EXPECT_TRUE(requestsWithCode(*board_, 0xA1).empty()) << "no start request";
    EXPECT_FALSE(camera_->isCapturing());
    EXPECT_FALSE(camera_->triggerMode());
    EXPECT_EQ(virt::pendingRequests(board_->id(), 0x81), 0u);
}

TEST_F(EngineCapture, SingleFrameGivesUpAfterTwiceItsTimeOut) {
    virt::BoardConfig config = smallBoard(0x52CB);
    virt::FaultConfig stall;
    stall.kind = virt::BoardFault::Stall;
    stall.ms = 0;
    config.faults.push_back(stall);
    ASSERT_EQ(openBoard(config), USB_CAMERA_NO_ERROR);
    board_->clearControlRequests();
    FrameData* frame = reinterpret_cast<FrameData*>(1);
    const auto start = Clock::now();
    EXPECT_EQ(camera_->getSingleFrame(&frame, 300), USB_CAMERA_USB_TIMEOUT_ERROR);
    const auto waited = Clock::now() - start;
    /* The wait, then the wait after the abort; only the lower bound is a property of the
     * operation, the upper one would measure the machine. */
    EXPECT_GE(waited, std::chrono::milliseconds(300));
    EXPECT_EQ(frame, reinterpret_cast<FrameData*>(1)) << "not written on failure";
    EXPECT_EQ(controllerWrites(*board_, 8), (std::vector<uint8_t>{0x00, 0x81, 0x80}));
    EXPECT_EQ(controllerWrites(*board_, 3), (std::vector<uint8_t>{0xC0, 0x40}));
    EXPECT_FALSE(camera_->isCapturing());
}

TEST_F(EngineCapture, RefusedConfigurationKeepsTheBuffersUsable) {
    ASSERT_EQ(openBoard(smallBoard()), USB_CAMERA_NO_ERROR);
    CameraConfig cfg = configFor(board_->config());
    cfg.emImageFmtMode = FORMAT_MODE_RAW;
    /* The refusal of a size is not a failed allocation: the old buffers still serve. */
    cfg.u32Width = 0;
    EXPECT_EQ(camera_->setCamCfg(&cfg), USB_CAMERA_SIZE_EXCEED_ERROR);
    EXPECT_EQ(camera_->beginCaptureImage(), USB_CAMERA_NO_ERROR);
    camera_->endCaptureImage();
    /* After close there are no buffers at all: capture is refused without a device. */
    camera_->close();
    EXPECT_EQ(camera_->beginCaptureImage(), USB_CAMERA_USB_TASK_ERROR);
}

TEST_F(EngineCapture, CaptureAfterAFailedOpenAnswersWithTheOpensFailure) {
    /* Nothing failed to allocate: the open's own code names the cause (it was 0xFF05). */
    struct {
        uint16_t firmware;
        uint32_t width;
        I2cMode mode;
        uint32_t status;
    } cases[] = {{0x0320, 0, I2C_MODE_16_16, USB_CAMERA_SIZE_EXCEED_ERROR},
                 {0x0313, 64, I2C_MODE_16_32, USB_BOARD_FW_VERSION_NOT_SUPPORT_ERROR}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        virt::removeAllDevices();
        camera_ = std::make_unique<ZuUsbCameraLib>();
        virt::BoardConfig config = smallBoard();
        config.firmware = c.firmware;
        CameraConfig cfg = configFor(config, c.mode);
        cfg.u32Width = c.width;
        ASSERT_EQ(openBoard(config, &cfg), c.status);
        EXPECT_EQ(camera_->beginCaptureImage(), c.status);
        FrameData* frame = nullptr;
        EXPECT_EQ(camera_->getSingleFrame(&frame, 100), c.status);
        EXPECT_FALSE(camera_->isCapturing());
    }
}

TEST_F(EngineCapture, CloseDuringCaptureLeavesTheCameraReadyForAnotherOpen) {
    virt::BoardConfig config = smallBoard();
    ASSERT_EQ(openBoard(config), USB_CAMERA_NO_ERROR);
    ASSERT_EQ(camera_->beginCaptureImage(), USB_CAMERA_NO_ERROR);
    EXPECT_LE(camera_->captureImage(), 0xFFu);
    EXPECT_EQ(camera_->close(), USB_CAMERA_NO_ERROR);
    /* Not capturing any more: no device to reach for (it once crashed here). */
    EXPECT_FALSE(camera_->isCapturing());
    EXPECT_EQ(camera_->captureImage(), USB_CAMERA_USB_TASK_ERROR);
    /* The same object opens again and captures (it once answered 0xFF20 for ever). */
    CameraConfig cfg = configFor(config);
    ASSERT_EQ(camera_->open(&cfg, 0), USB_CAMERA_NO_ERROR);
    ASSERT_EQ(camera_->beginCaptureImage(), USB_CAMERA_NO_ERROR);
    FrameChecker checker(config.stream, 100000);
    EXPECT_EQ(captureAndCheck(*camera_, checker, 3, 200), 3u);
}

class EngineTrigger : public EngineTest {
  protected:
    uint32_t openWithController(uint16_t productId, uint8_t id, std::array<uint8_t, 3> version) {
        virt::BoardConfig config = smallBoard(productId);
        config.boardController.id = id;
        config.boardController.version = version;
        uint32_t status = openBoard(config);
        board_->clearControlRequests();
        return status;
    }
};

TEST_F(EngineTrigger, SupportedBoardSwitchesModes) {
    ASSERT_EQ(openWithController(0x52CB, 35, {18, 8, 17}), USB_CAMERA_NO_ERROR);
    EXPECT_EQ(camera_->setMode(EXTERNAL_TRIGGER_MODE), USB_CAMERA_NO_ERROR);
    EXPECT_TRUE(camera_->triggerMode());
    EXPECT_TRUE(board_->externalTrigger());
    EXPECT_EQ(controllerWrites(*board_, 3), (std::vector<uint8_t>{0xC0, 0x40}));
    EXPECT_EQ(controllerWrites(*board_, 8), (std::vector<uint8_t>{0x81, 0x80}));

    board_->clearControlRequests();
    EXPECT_EQ(camera_->softTrigger(), USB_CAMERA_NO_ERROR);
    EXPECT_EQ(controllerWrites(*board_, 3), (std::vector<uint8_t>{0x40, 0x60, 0x40}));
    EXPECT_EQ(camera_->isFrameReady(), board_->boardControllerRegister(9));

    for (uint32_t mode : {0u, 2u}) {
        board_->clearControlRequests();
        EXPECT_EQ(camera_->setMode(mode), USB_CAMERA_NO_ERROR);
        EXPECT_FALSE(camera_->triggerMode());
        EXPECT_EQ(controllerWrites(*board_, 8), std::vector<uint8_t>{0x00});
    }
}

TEST_F(EngineTrigger, ExternalTriggerCapturesTriggeredFrames) {
    ASSERT_EQ(openWithController(0x52CB, 35, {21, 6, 6}), USB_CAMERA_NO_ERROR);
    ASSERT_EQ(camera_->setMode(EXTERNAL_TRIGGER_MODE), USB_CAMERA_NO_ERROR);
    ASSERT_EQ(camera_->beginCaptureImage(), USB_CAMERA_NO_ERROR);
    FrameChecker checker(board_->config().stream);
    for (int shot = 0; shot < 2; ++shot) {
        ASSERT_EQ(camera_->softTrigger(), USB_CAMERA_NO_ERROR);
        EXPECT_LE(camera_->isFrameReady(), 0xFFu);
        EXPECT_EQ(captureAndCheck(*camera_, checker, 1, 20), 1u) << "trigger " << shot;
    }
    camera_->endCaptureImage();
}

TEST_F(EngineTrigger, UnsupportedBoardsRefuse) {
    struct {
        uint16_t productId;
        uint8_t id;
        std::array<uint8_t, 3> version;
    } cases[] = {
        {0x03F1, 35, {21, 6, 6}},  /* USB 3 board */
        {0x52CB, 34, {21, 6, 6}},  /* controller without version registers */
        {0x52CB, 35, {18, 8, 16}}, /* one below 18.8.17 */
    };
    for (auto c : cases) {
        SCOPED_TRACE(c.version[2]);
        virt::removeAllDevices();
        camera_ = std::make_unique<ZuUsbCameraLib>();
        ASSERT_EQ(openWithController(c.productId, c.id, c.version), USB_CAMERA_NO_ERROR);
        EXPECT_EQ(camera_->setMode(EXTERNAL_TRIGGER_MODE), USB_BOARD_FW_VERSION_NOT_SUPPORT_ERROR);
        EXPECT_TRUE(camera_->triggerMode()) << "set before the check";
        EXPECT_EQ(controllerWrites(*board_, 3), (std::vector<uint8_t>{0xC0, 0x40}));
        EXPECT_TRUE(controllerWrites(*board_, 8).empty());
        board_->clearControlRequests();
        EXPECT_EQ(camera_->softTrigger(), USB_BOARD_FW_VERSION_NOT_SUPPORT_ERROR);
        EXPECT_EQ(camera_->isFrameReady(), USB_BOARD_FW_VERSION_NOT_SUPPORT_ERROR);
        EXPECT_TRUE(requestsWithCode(*board_, 0xD7).empty());
        camera_->close();
    }
}

}  // namespace
}  // namespace vexo::camera::test
