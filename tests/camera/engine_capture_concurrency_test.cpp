// The capture thread beside a reader thread and beside reconfiguration (run under TSan).
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "camera/support/engine_fixture.h"

namespace vexo::camera::test {
namespace {

using EngineConcurrency = EngineTest;

TEST_F(EngineConcurrency, ReaderSeesEveryQueuedFrameWhole) {
    constexpr uint32_t kFrames = 10000;
    virt::BoardConfig config = smallBoard(0x52CB, 32, 16);
    /* Paced so that the reader, which renders each picture it compares against, keeps up
     * most of the time; frames it misses are skipped by the checker. */
    config.stream.fps = 2000;
    CameraConfig cfg = configFor(config);
    /* Reads of about one frame, so the queue rather than the read size decides what a
     * slow reader loses. */
    cfg.u32TransLvl = 1;
    ASSERT_EQ(openBoard(config, &cfg), USB_CAMERA_NO_ERROR);
    ASSERT_EQ(camera_->beginCaptureImage(), USB_CAMERA_NO_ERROR);

    std::atomic<bool> done{false};
    std::atomic<uint32_t> captureErrors{0};
    std::thread capture([&] {
        while (!done.load()) {
            const uint32_t result = camera_->captureImage();
            if (result > 0xFF) captureErrors.fetch_add(1);
        }
    });

    FrameChecker checker(config.stream, 100000);
    uint32_t checked = 0;
    std::string why;
    while (checked < kFrames) {
        FrameData* frame = nullptr;
        if (camera_->readImage(&frame) != USB_CAMERA_NO_ERROR) {
            std::this_thread::yield();
            continue;
        }
        if (!checker.check(*frame, &why)) break;
        ASSERT_EQ(camera_->del(), USB_CAMERA_NO_ERROR);
        ++checked;
    }
    done.store(true);
    capture.join();
    EXPECT_EQ(checked, kFrames) << why;
    EXPECT_EQ(captureErrors.load(), 0u);
    EXPECT_EQ(camera_->endCaptureImage(), USB_CAMERA_NO_ERROR);
}

TEST_F(EngineConcurrency, ReconfigurationBesideCapture) {
    virt::BoardConfig config = smallBoard(0x03F1, 64, 32);
    ASSERT_EQ(openBoard(config), USB_CAMERA_NO_ERROR);
    ASSERT_EQ(camera_->beginCaptureImage(), USB_CAMERA_NO_ERROR);

    std::atomic<bool> done{false};
    std::atomic<uint32_t> framesCompleted{0};
    std::thread capture([&] {
        while (!done.load()) {
            const uint32_t result = camera_->captureImage();
            /* Frames of the other size fail the length rule; nothing else may go wrong. */
            if (result <= 0xFF)
                framesCompleted.fetch_add(result);
            else
                EXPECT_EQ(result, USB_CAMERA_DATA_LEN_ERROR);
        }
    });

    CameraConfig small = configFor(config);
    CameraConfig large = small;
    large.u32Width = 128;
    CameraConfig refused = small;
    refused.u32Width = 0;
    /* Every frame read, during the reconfigurations too, is a whole picture the board drew:
     * a frame that began under the other size, or lost bytes to a reconfiguration, never
     * comes out. */
    FrameChecker checker(config.stream, UINT32_MAX);
    uint32_t checked = 0;
    auto readOne = [&] {
        FrameData* frame = nullptr;
        if (camera_->readImage(&frame) != USB_CAMERA_NO_ERROR) return false;
        std::string why;
        EXPECT_EQ(frame->cfg.u32Width, small.u32Width);
        EXPECT_TRUE(checker.check(*frame, &why, board_->nextFrameNumber())) << why;
        camera_->del();
        ++checked;
        return true;
    };
    for (int i = 0; i < 200; ++i) {
        /* Register traffic from this thread shares the control endpoint with the capture
         * loop's clock exchange. A refused configuration changes nothing but still holds
         * the assembly off. */
        if (i % 10 == 9)
            EXPECT_EQ(camera_->setCamCfg(i % 20 == 9 ? &large : &small), USB_CAMERA_NO_ERROR);
        else
            EXPECT_EQ(camera_->setCamCfg(&refused), USB_CAMERA_SIZE_EXCEED_ERROR);
        EXPECT_EQ(camera_->writeSensorReg(0x3012, static_cast<uint32_t>(i)), USB_CAMERA_NO_ERROR);
        readOne();
    }
    /* Back on the board's size, frames keep coming. */
    ASSERT_EQ(camera_->setCamCfg(&small), USB_CAMERA_NO_ERROR);
    const uint32_t before = checked;
    for (int spin = 0; spin < 2'000'000 && checked < before + 5; ++spin)
        if (!readOne()) std::this_thread::yield();
    done.store(true);
    capture.join();
    EXPECT_EQ(checked, before + 5);
    EXPECT_EQ(board_->sensorRegister(0x3012), 199u);
    EXPECT_EQ(camera_->endCaptureImage(), USB_CAMERA_NO_ERROR);
}

/* A frame read before a reconfiguration keeps its record and its bytes while the capture
 * thread fills the ring under the new size (AddressSanitizer checks that its bytes are still
 * the old buffer's). Force read queues the frames of the wrong length, so every slot's record
 * is written again meanwhile. */
TEST_F(EngineConcurrency, FrameReadBeforeReconfigurationStaysWhole) {
    virt::BoardConfig config = smallBoard(0x03F1, 64, 32);
    ASSERT_EQ(openBoard(config), USB_CAMERA_NO_ERROR);
    ASSERT_EQ(camera_->beginCaptureImage(), USB_CAMERA_NO_ERROR);

    std::atomic<bool> done{false};
    std::thread capture([&] {
        while (!done.load()) {
            const uint32_t result = camera_->captureImage();
            if (result > 0xFF) {
                EXPECT_EQ(result, USB_CAMERA_DATA_LEN_ERROR);
            }
        }
    });
    auto waitFor = [](auto&& ready) {
        for (int spin = 0; spin < 2'000'000; ++spin) {
            if (ready()) return true;
            std::this_thread::yield();
        }
        return false;
    };

    CameraConfig board = configFor(config);
    FrameChecker checker(config.stream, UINT32_MAX);
    for (uint32_t round = 0; round < 12; ++round) {
        SCOPED_TRACE(round);
        FrameData* lent = nullptr;
        ASSERT_TRUE(waitFor([&] { return camera_->readImage(&lent) == USB_CAMERA_NO_ERROR; }));
        std::string why;
        ASSERT_TRUE(checker.check(*lent, &why, board_->nextFrameNumber())) << why;
        const FrameData record = *lent;
        const std::vector<uint8_t> bytes(lent->imageData, lent->imageData + lent->cfg.u32Size);

        CameraConfig other = board;
        other.u32Width = round % 2 ? 16 : 128;
        camera_->enableForceRead();
        ASSERT_EQ(camera_->setCamCfg(&other), USB_CAMERA_NO_ERROR);
        ASSERT_TRUE(waitFor([&] { return camera_->availableImage() == FrameRing::kSlots - 1; }));
        EXPECT_EQ(std::memcmp(lent, &record, sizeof record), 0) << "the record was rewritten";
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), lent->imageData))
            << "the bytes were overwritten";

        /* Back on the board's size, only whole pictures come out again. */
        camera_->disableForceRead();
        ASSERT_EQ(camera_->setCamCfg(&board), USB_CAMERA_NO_ERROR);
    }
    done.store(true);
    capture.join();
    EXPECT_EQ(camera_->endCaptureImage(), USB_CAMERA_NO_ERROR);
}

}  // namespace
}  // namespace vexo::camera::test
