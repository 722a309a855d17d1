// Shared ownership of frame buffers: a frame's owner keeps its bytes through close() and
// reconfiguration, and is found for current and retired buffers alike.
#include <cstring>
#include <vector>

#include "camera/support/engine_fixture.h"
#include "driver/virtual/virtual_bus.h"

namespace vexo::camera::test {
namespace {

class EngineFrameOwner : public EngineTest {
  protected:
    /* Opens a small board, captures until a frame is queued and reads it (it stays
     * queued). Returns the record; @bytes receives a copy of its frameSize() bytes. */
    FrameData readOneFrame(std::vector<uint8_t>& bytes) {
        config_ = smallBoard();
        EXPECT_EQ(openBoard(config_), USB_CAMERA_NO_ERROR);
        EXPECT_EQ(camera_->beginCaptureImage(), USB_CAMERA_NO_ERROR);
        FrameData* frame = nullptr;
        for (int call = 0; call < 400 && camera_->availableImage() == 0; ++call)
            EXPECT_LE(camera_->captureImage(), 0xFFu);
        EXPECT_EQ(camera_->readImage(&frame), USB_CAMERA_NO_ERROR);
        EXPECT_EQ(camera_->endCaptureImage(), USB_CAMERA_NO_ERROR);
        if (frame == nullptr) return FrameData{};
        bytes.assign(frame->imageData, frame->imageData + camera_->frameSize());
        return *frame;
    }

    /* Reconfigures to the board's stream at @height rows (64 wide). */
    uint32_t configureHeight(uint32_t height) {
        CameraConfig cfg = configFor(config_);
        cfg.u32Height = height;
        return camera_->setCamCfg(&cfg);
    }

    virt::BoardConfig config_;
};

TEST_F(EngineFrameOwner, OwnerHoldsTheFramesBuffer) {
    std::vector<uint8_t> bytes;
    const FrameData frame = readOneFrame(bytes);
    ASSERT_NE(frame.imageData, nullptr);
    auto owner = camera_->frameBufferOwner(frame.imageData);
    ASSERT_NE(owner, nullptr);
    /* The buffer begins at or before the frame and holds the whole frame. */
    EXPECT_LE(owner.get(), frame.imageData);
    EXPECT_LE(frame.imageData + camera_->frameSize(),
              owner.get() + 2 * static_cast<size_t>(camera_->frameSize()));
    /* The camera keeps its own share besides ours. */
    EXPECT_EQ(owner.use_count(), 2);
    /* A pointer inside the same buffer finds the same owner, with the bytes left after it. */
    const size_t capacity = 2 * static_cast<size_t>(camera_->frameSize());
    size_t after = 0;
    EXPECT_EQ(camera_->frameBufferOwner(frame.imageData + 7, &after), owner);
    EXPECT_EQ(after, capacity - static_cast<size_t>(frame.imageData + 7 - owner.get()));
    EXPECT_EQ(camera_->frameBufferOwner(owner.get() + capacity - 1, &after), owner);
    EXPECT_EQ(after, 1u);
}

TEST_F(EngineFrameOwner, PointersOutsideEveryBufferHaveNoOwner) {
    std::vector<uint8_t> bytes;
    const FrameData frame = readOneFrame(bytes);
    ASSERT_NE(frame.imageData, nullptr);
    size_t after = 99;
    EXPECT_EQ(camera_->frameBufferOwner(nullptr, &after), nullptr);
    EXPECT_EQ(after, 0u);
    after = 99;
    EXPECT_EQ(camera_->frameBufferOwner(bytes.data(), &after), nullptr);
    EXPECT_EQ(after, 0u);
    uint8_t local = 0;
    EXPECT_EQ(camera_->frameBufferOwner(&local), nullptr);
    /* One past the end of a buffer belongs to none (whatever lies there). */
    auto owner = camera_->frameBufferOwner(frame.imageData);
    ASSERT_NE(owner, nullptr);
    const uint8_t* end = owner.get() + 2 * static_cast<size_t>(camera_->frameSize());
    auto past = camera_->frameBufferOwner(end);
    EXPECT_NE(past, owner);
}

TEST_F(EngineFrameOwner, OwnerOutlivesClose) {
    std::vector<uint8_t> bytes;
    const FrameData frame = readOneFrame(bytes);
    ASSERT_NE(frame.imageData, nullptr);
    auto owner = camera_->frameBufferOwner(frame.imageData);
    ASSERT_NE(owner, nullptr);
    ASSERT_EQ(camera_->close(), USB_CAMERA_NO_ERROR);
    /* The camera let go of its share; ours keeps the bytes (AddressSanitizer checks that the
     * memory is still allocated). */
    EXPECT_EQ(owner.use_count(), 1);
    EXPECT_EQ(camera_->frameBufferOwner(frame.imageData), nullptr);
    EXPECT_EQ(std::memcmp(frame.imageData, bytes.data(), bytes.size()), 0);
    FrameChecker checker(config_.stream);
    std::string why;
    EXPECT_TRUE(checker.check(frame, &why)) << why;
    /* A camera opened afterwards allocates elsewhere and leaves the bytes alone. */
    camera_ = std::make_unique<ZuUsbCameraLib>();
    virt::removeAllDevices();
    ASSERT_EQ(openBoard(config_), USB_CAMERA_NO_ERROR);
    ASSERT_EQ(camera_->beginCaptureImage(), USB_CAMERA_NO_ERROR);
    for (int call = 0; call < 400 && camera_->availableImage() < 5; ++call)
        EXPECT_LE(camera_->captureImage(), 0xFFu);
    EXPECT_EQ(camera_->endCaptureImage(), USB_CAMERA_NO_ERROR);
    EXPECT_EQ(std::memcmp(frame.imageData, bytes.data(), bytes.size()), 0);
    FrameChecker again(config_.stream);
    EXPECT_TRUE(again.check(frame, &why)) << why;
}

TEST_F(EngineFrameOwner, OwnerOutlivesReconfiguration) {
    std::vector<uint8_t> bytes;
    const FrameData frame = readOneFrame(bytes);
    ASSERT_NE(frame.imageData, nullptr);
    auto owner = camera_->frameBufferOwner(frame.imageData);
    ASSERT_NE(owner, nullptr);

    /* Another size: the buffer is retired, and still found. */
    ASSERT_EQ(configureHeight(16), USB_CAMERA_NO_ERROR);
    EXPECT_EQ(camera_->frameBufferOwner(frame.imageData), owner);
    EXPECT_EQ(owner.use_count(), 2);
    /* A third size: the camera drops the retired buffer; ours stays. */
    ASSERT_EQ(configureHeight(8), USB_CAMERA_NO_ERROR);
    EXPECT_EQ(camera_->frameBufferOwner(frame.imageData), nullptr);
    EXPECT_EQ(owner.use_count(), 1);
    /* Back to the first size with fresh buffers, and frames captured into them. */
    ASSERT_EQ(configureHeight(32), USB_CAMERA_NO_ERROR);
    ASSERT_EQ(camera_->beginCaptureImage(), USB_CAMERA_NO_ERROR);
    for (int call = 0; call < 400 && camera_->availableImage() < 5; ++call)
        EXPECT_LE(camera_->captureImage(), 0xFFu);
    EXPECT_EQ(camera_->availableImage(), 5u);
    EXPECT_EQ(camera_->endCaptureImage(), USB_CAMERA_NO_ERROR);
    EXPECT_EQ(std::memcmp(frame.imageData, bytes.data(), bytes.size()), 0);
    FrameChecker checker(config_.stream);
    std::string why;
    EXPECT_TRUE(checker.check(frame, &why)) << why;
    /* And through the close at the end. */
    ASSERT_EQ(camera_->close(), USB_CAMERA_NO_ERROR);
    EXPECT_EQ(std::memcmp(frame.imageData, bytes.data(), bytes.size()), 0);
}

TEST_F(EngineFrameOwner, SameSizeReconfigurationKeepsTheBuffer) {
    std::vector<uint8_t> bytes;
    const FrameData frame = readOneFrame(bytes);
    ASSERT_NE(frame.imageData, nullptr);
    auto owner = camera_->frameBufferOwner(frame.imageData);
    ASSERT_NE(owner, nullptr);
    ASSERT_EQ(configureHeight(32), USB_CAMERA_NO_ERROR);
    /* Still the slot's current buffer: the same owner, shared with the camera. */
    EXPECT_EQ(camera_->frameBufferOwner(frame.imageData), owner);
    EXPECT_EQ(owner.use_count(), 2);
}

}  // namespace
}  // namespace vexo::camera::test
