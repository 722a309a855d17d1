// Device selection, the open sequence, configuration and close, against virtual boards.
#include <cstring>

#include "camera/frame_length.h"
#include "camera/support/engine_fixture.h"

namespace vexo::camera::test {
namespace {

using EngineOpen = EngineTest;

TEST_F(EngineOpen, OpenSequenceExchangesClocksThreeTimesThenProbes) {
    ASSERT_EQ(openBoard(smallBoard()), USB_CAMERA_NO_ERROR);
    auto requests = board_->controlRequests();
    ASSERT_GE(requests.size(), 6u);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(requests[i].setup.bRequest, i % 2 == 0 ? 0xB0 : 0xB1) << "request " << i;
    /* Each answer echoes the first eight bytes of the board's reply. */
    for (int i = 0; i < 6; i += 2) {
        ASSERT_EQ(requests[i + 1].data.size(), 16u);
        EXPECT_TRUE(std::equal(requests[i].data.begin(), requests[i].data.begin() + 8,
                               requests[i + 1].data.begin()));
    }
    EXPECT_EQ(requestsWithCode(*board_, 0x80).size(), 1u);
    const BoardInfo& info = camera_->boardInfo();
    EXPECT_EQ(info.boardId, 35u);
    EXPECT_EQ(info.boardCtrlVersion.major, 21u);
    EXPECT_EQ(info.boardCtrlVersion.minor, 6u);
    EXPECT_EQ(info.boardCtrlVersion.patch, 6u);
    EXPECT_EQ(info.usbFirmwareVersion, 0x0320u);
    EXPECT_EQ(info.boardUsbType, 3u);
    /* The echo test leaves the scratch register as it found it. */
    EXPECT_EQ(board_->boardControllerRegister(4), 0);
    EXPECT_EQ(camera_->transferParams().transferLength, 8192u);
}

TEST_F(EngineOpen, BoardWithoutControllerStillOpens) {
    virt::BoardConfig config = smallBoard();
    config.boardController.present = false;
    config.firmware = 0x0315;
    ASSERT_EQ(openBoard(config), USB_CAMERA_NO_ERROR);
    EXPECT_EQ(camera_->boardInfo().boardId, 0u);
    EXPECT_EQ(camera_->boardInfo().boardCtrlVersion.major, 0u);
    EXPECT_EQ(camera_->boardInfo().usbFirmwareVersion, 0x0315u);
}

TEST_F(EngineOpen, ControllerBelowId35HasNoVersion) {
    virt::BoardConfig config = smallBoard();
    config.boardController.id = 34;
    ASSERT_EQ(openBoard(config), USB_CAMERA_NO_ERROR);
    EXPECT_EQ(camera_->boardInfo().boardId, 34u);
    EXPECT_EQ(camera_->boardInfo().boardCtrlVersion.major, 0u);
}

TEST_F(EngineOpen, SizeLimitsRefuseAndApplyNothing) {
    ASSERT_EQ(openBoard(smallBoard()), USB_CAMERA_NO_ERROR);
    CameraConfig good = configFor(board_->config());
    good.u32Width = 16384;
    good.u32Height = 1;
    EXPECT_EQ(camera_->setCamCfg(&good), USB_CAMERA_NO_ERROR);

    struct {
        uint32_t width, height;
        uint8_t pixelBytes;
    } refused[] = {{16385, 1, 1}, {0, 1, 1}, {1, 16385, 1}, {1, 0, 1}, {8, 8, 0}, {8, 8, 3}};
    for (auto r : refused) {
        CameraConfig cfg = good;
        cfg.u32Width = r.width;
        cfg.u32Height = r.height;
        cfg.u8PixelBytes = r.pixelBytes;
        cfg.u32CameraType = 99;
        EXPECT_EQ(camera_->setCamCfg(&cfg), USB_CAMERA_SIZE_EXCEED_ERROR)
            << r.width << "x" << r.height;
        CameraConfig applied{};
        camera_->getSensorCfg(&applied);
        EXPECT_EQ(applied.u32Width, 16384u);
        EXPECT_EQ(applied.u32CameraType, good.u32CameraType);
    }
}

TEST_F(EngineOpen, ThirtyTwoBitModeNeedsFirmwareInItsWindow) {
    struct {
        uint16_t firmware;
        bool accepts32;
    } cases[] = {{0x0313, false}, {0x0314, true}, {0x03FF, true}, {0x0400, false}};
    for (auto c : cases) {
        SCOPED_TRACE(c.firmware);
        virt::removeAllDevices();
        camera_ = std::make_unique<ZuUsbCameraLib>();
        virt::BoardConfig config = smallBoard();
        config.firmware = c.firmware;
        CameraConfig cfg16 = configFor(config, I2C_MODE_16_16);
        EXPECT_EQ(openBoard(config, &cfg16), USB_CAMERA_NO_ERROR);
        CameraConfig cfg32 = configFor(config, I2C_MODE_16_32);
        EXPECT_EQ(camera_->setCamCfg(&cfg32),
                  c.accepts32 ? USB_CAMERA_NO_ERROR : USB_BOARD_FW_VERSION_NOT_SUPPORT_ERROR);
        /* The configuration stays applied; the register pair answers for itself. */
        CameraConfig applied{};
        camera_->getSensorCfg(&applied);
        EXPECT_EQ(applied.emI2cMode, I2C_MODE_16_32);
        board_->clearControlRequests();
        uint32_t value = 0;
        EXPECT_EQ(camera_->writeSensorReg(0x3012, 0x01020304) == USB_CAMERA_NO_ERROR, c.accepts32);
        EXPECT_EQ(camera_->readSensorReg(0x3012, &value) == USB_CAMERA_NO_ERROR, c.accepts32);
        if (!c.accepts32) {
            EXPECT_TRUE(board_->controlRequests().empty());
        }
        camera_->close();
    }
}

TEST_F(EngineOpen, UsbTypeFollowsBoardAndLink) {
    struct {
        uint16_t productId;
        virt::Link link;
        uint8_t usbType;
    } cases[] = {
        {0x03F1, virt::Link::Super, USB_3},
        {0x03F2, virt::Link::High, USB_3_2},
        {0x52CB, virt::Link::High, USB_2},
        /* Board type 1 is not covered by the mapping: a new camera reports 0 rather than
         * a guess. */
        {0x1234, virt::Link::High, 0},
        {0x1234, virt::Link::Super, 0},
    };
    for (auto c : cases) {
        SCOPED_TRACE(c.productId);
        virt::removeAllDevices();
        camera_ = std::make_unique<ZuUsbCameraLib>();
        virt::BoardConfig config = smallBoard(c.productId);
        config.link = c.link;
        CameraConfig cfg = configFor(config);
        cfg.usbType = 0xEE;
        CameraConfig before = cfg;
        ASSERT_EQ(openBoard(config, &cfg), USB_CAMERA_NO_ERROR);
        EXPECT_EQ(cfg.usbType, c.usbType);
        /* Nothing else of the caller's record changes. */
        before.usbType = cfg.usbType;
        EXPECT_EQ(std::memcmp(&before, &cfg, sizeof cfg), 0);
        CameraConfig reported{};
        camera_->getSensorCfg(&reported);
        EXPECT_EQ(reported.usbType, c.usbType);
        camera_->close();
    }
}

TEST_F(EngineOpen, FrameBuffersAreSizedPerFormat) {
    ASSERT_EQ(openBoard(smallBoard()), USB_CAMERA_NO_ERROR);
    struct {
        uint32_t format, width, height;
        uint8_t pixelBytes;
        uint32_t frameSize;
        size_t buffer;
    } cases[] = {
        {7, 1280, 720, 1, 4147200, 8294400},      {FORMAT_MODE_RAW, 640, 480, 1, 307200, 614400},
        {FORMAT_MODE_RAW, 100, 3, 1, 300, 1024},  {FORMAT_MODE_YUV, 100, 3, 1, 600, 1536},
        {FORMAT_MODE_JPG, 100, 3, 2, 1200, 2560}, {FORMAT_MODE_MON_D, 100, 3, 2, 1200, 2560},
    };
    for (auto c : cases) {
        SCOPED_TRACE(c.format);
        CameraConfig cfg = configFor(board_->config());
        std::memcpy(&cfg.emImageFmtMode, &c.format, sizeof c.format);
        cfg.u32Width = c.width;
        cfg.u32Height = c.height;
        cfg.u8PixelBytes = c.pixelBytes;
        ASSERT_EQ(camera_->setCamCfg(&cfg), USB_CAMERA_NO_ERROR);
        EXPECT_EQ(camera_->frameSize(), c.frameSize);
        for (uint32_t slot = 0; slot < FrameRing::kSlots; ++slot) {
            EXPECT_EQ(camera_->frameRing().slotCapacity(slot), c.buffer);
            EXPECT_NE(camera_->frameRing().slot(slot).imageData, nullptr);
        }
    }
    /* A format without a size keeps the previous one. */
    CameraConfig cfg = configFor(board_->config());
    const uint32_t unnamed = 9;
    std::memcpy(&cfg.emImageFmtMode, &unnamed, sizeof unnamed);
    ASSERT_EQ(camera_->setCamCfg(&cfg), USB_CAMERA_NO_ERROR);
    EXPECT_EQ(camera_->frameSize(), 1200u);
}

TEST_F(EngineOpen, SetCamCfgReplacesBuffersOnlyWhenTheSizeChanges) {
    ASSERT_EQ(openBoard(smallBoard()), USB_CAMERA_NO_ERROR);
    const uint8_t* before = camera_->frameRing().slot(3).imageData;
    board_->clearControlRequests();
    CameraConfig same = configFor(board_->config());
    same.u32CameraType = 42;
    ASSERT_EQ(camera_->setCamCfg(&same), USB_CAMERA_NO_ERROR);
    EXPECT_EQ(camera_->frameRing().slot(3).imageData, before);
    EXPECT_EQ(controllerWrites(*board_, 3), std::vector<uint8_t>{0x40});
    EXPECT_TRUE(requestsWithCode(*board_, 0xB0).empty()) << "no clock exchange";

    CameraConfig bigger = same;
    bigger.u32Width = 128;
    ASSERT_EQ(camera_->setCamCfg(&bigger), USB_CAMERA_NO_ERROR);
    EXPECT_NE(camera_->frameRing().slot(3).imageData, before);
    EXPECT_EQ(camera_->frameRing().slotCapacity(3), frameBufferSize(128 * 32));
    EXPECT_EQ(camera_->frameRing().available(), 0u);
}

TEST_F(EngineOpen, CloseTellsTheBoardAndReleasesEverything) {
    ASSERT_EQ(openBoard(smallBoard()), USB_CAMERA_NO_ERROR);
    EXPECT_EQ(camera_->close(), USB_CAMERA_NO_ERROR);
    EXPECT_EQ(board_->boardControllerRegister(1), 0x0F);
    EXPECT_FALSE(camera_->isAttached());
    EXPECT_EQ(camera_->frameRing().slot(0).imageData, nullptr);
    /* A second close has no device to talk to and still succeeds. */
    board_->clearControlRequests();
    EXPECT_EQ(camera_->close(), USB_CAMERA_NO_ERROR);
    EXPECT_TRUE(board_->controlRequests().empty());
    EXPECT_EQ(camera_->beginCaptureImage(), USB_CAMERA_USB_TASK_ERROR);
}

TEST_F(EngineOpen, DeviceSelection) {
    virt::BoardConfig foreign = smallBoard();
    foreign.vendorId = 0x1234;
    virt::BoardConfig second = smallBoard(0x52CB);
    second.vendorId = 0x04B4;
    second.serial = "SECOND-BOARD";
    addBoard(foreign);
    board_ = addBoard(smallBoard());
    auto other = addBoard(second);

    ScanEntry entries[255] = {};
    ASSERT_EQ(camera_->scan(entries), 2u);
    EXPECT_EQ(entries[0].u8Index, 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(entries[0].u8Serial), 16), "VEXO-VIRTUAL-000");
    EXPECT_EQ(entries[1].u8Index, 2);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(entries[1].u8Serial), 12), "SECOND-BOARD");
    EXPECT_FALSE(camera_->isAttached()) << "a scan opens nothing";

    uint32_t indices[255] = {};
    EXPECT_EQ(camera_->scanByVid(indices, 0x1234), 1u);
    EXPECT_EQ(indices[0], 0u);

    CameraConfig cfg = configFor(board_->config());
    EXPECT_EQ(camera_->open(&cfg, 3), USB_CAMERA_USB_CREATE_ERROR);
    EXPECT_EQ(camera_->open(&cfg, 0), USB_CAMERA_USB_VERSION_ERROR);
    EXPECT_FALSE(camera_->isAttached());
    /* Only the low 8 bits of the index count. */
    EXPECT_EQ(camera_->open(&cfg, 0x102), USB_CAMERA_NO_ERROR);
    EXPECT_EQ(cfg.usbType, USB_2);
    camera_->close();

    /* autoopen takes the first accepted board; any failure after that is a create error
     * and leaves nothing attached. */
    cfg.u32Width = 0;
    EXPECT_EQ(camera_->autoopen(&cfg), USB_CAMERA_USB_CREATE_ERROR);
    EXPECT_FALSE(camera_->isAttached());
    EXPECT_EQ(camera_->open(&cfg, 1), USB_CAMERA_SIZE_EXCEED_ERROR);
    EXPECT_TRUE(camera_->isAttached()) << "a failed open stays attached until close";
    camera_->close();
    cfg.u32Width = 64;
    EXPECT_EQ(camera_->autoopen(&cfg), USB_CAMERA_NO_ERROR);
    EXPECT_EQ(cfg.usbType, USB_3);
}

TEST_F(EngineOpen, NoBoardsAtAll) {
    ScanEntry entries[4] = {};
    EXPECT_EQ(camera_->scan(entries), 0u);
    CameraConfig cfg{};
    cfg.u32Width = cfg.u32Height = 8;
    cfg.u8PixelBytes = 1;
    EXPECT_EQ(camera_->autoopen(&cfg), USB_CAMERA_USB_CREATE_ERROR);
    EXPECT_EQ(camera_->open(&cfg, 0), USB_CAMERA_USB_CREATE_ERROR);
}

TEST_F(EngineOpen, ClockExchangeIsPacedToOncePerSecond) {
    ManualClock clock;
    ASSERT_EQ(openBoard(smallBoard()), USB_CAMERA_NO_ERROR);
    board_->clearControlRequests();

    clock.advanceMs(1500);
    camera_->syncTime(false);
    clock.advanceMs(500);
    camera_->syncTime(false);
    auto answers = requestsWithCode(*board_, 0xB1);
    EXPECT_EQ(requestsWithCode(*board_, 0xB0).size(), 1u);
    ASSERT_EQ(answers.size(), 1u);
    uint64_t sent = 0;
    for (int i = 7; i >= 0; --i) sent = sent << 8 | answers[0].data[8 + i];
    EXPECT_EQ(sent, clock.now() - 500 * 10'000) << "host time, little-endian";

    /* Exactly one second after the last exchange is not yet due. */
    clock.advanceMs(500);
    camera_->syncTime(false);
    EXPECT_EQ(requestsWithCode(*board_, 0xB0).size(), 1u);
    camera_->syncTime(true);
    camera_->syncTime(true);
    EXPECT_EQ(requestsWithCode(*board_, 0xB0).size(), 3u);
    EXPECT_EQ(requestsWithCode(*board_, 0xB1).size(), 3u);
}

}  // namespace
}  // namespace vexo::camera::test
