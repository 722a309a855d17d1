// A camera closed and opened again on the same board streams as the first time: the board's
// frame index starts again at 0 for the new host, so no frame is refused as out of sequence.
#include <gtest/gtest.h>
#include <vexo/camera.h>

#include <vector>

#include "default_board_config.h"
#include "driver/virtual/virtual_board.h"

namespace virt = vexo::driver::virt;

namespace {

TEST(ApiReopen, EachOpenStreamsWithoutAFrameIndexError) {
    virt::removeAllDevices();
    virt::BoardConfig board;
    board.productId = 0x02F1;  // USB 2: the trailer's frame index is checked
    board.stream.width = 64;
    board.stream.height = 32;
    auto added = virt::addVirtualBoard(board);
    ASSERT_NE(added, nullptr);
    for (int open = 0; open < 3; ++open) {
        CameraHandle handle = nullptr;
        CameraConfig cfg = defaultBoardConfig();
        cfg.u32Width = 64;
        cfg.u32Height = 32;
        ASSERT_EQ(Vexo_open(&handle, &cfg, 0), USB_CAMERA_NO_ERROR);
        ASSERT_EQ(Vexo_beginCaptureImage(handle), USB_CAMERA_NO_ERROR);
        // The picture's frame numbers run on across opens; frames follow one another.
        uint32_t frameNumber = added->nextFrameNumber();
        std::vector<uint8_t> expected;
        int frames = 0;
        for (int call = 0; call < 2000 && frames < 4; ++call) {
            const uint32_t status = Vexo_captureImage(handle);
            ASSERT_LE(status, 0xFFu) << "open " << open << ": status " << status;
            for (; Vexo_availableImage(handle) > 0 && frames < 4; ++frames) {
                FrameData* frame = nullptr;
                ASSERT_EQ(Vexo_readImage(handle, &frame), USB_CAMERA_NO_ERROR);
                virt::renderFrame(board.stream, frameNumber++, expected);
                ASSERT_EQ(
                    std::vector<uint8_t>(frame->imageData, frame->imageData + frame->cfg.u32Size),
                    expected)
                    << "open " << open << " frame " << frames;
                Vexo_del(handle);
            }
        }
        EXPECT_EQ(frames, 4) << "open " << open;
        Vexo_endCaptureImage(handle);
        Vexo_close(handle);
    }
    virt::removeAllDevices();
}

}  // namespace
