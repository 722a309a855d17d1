#include <gtest/gtest.h>
#include <vexo/camera.h>

extern "C" {
size_t cCameraConfigSize(void);
size_t cFrameDataTimeOffset(void);
size_t cFrameDataSize(void);
size_t cScanEntrySize(void);
size_t cTransLvlOffset(void);
}

TEST(Records, CAndCppAgreeOnLayout) {
    EXPECT_EQ(cCameraConfigSize(), sizeof(CameraConfig));
    EXPECT_EQ(cFrameDataTimeOffset(), offsetof(FrameData, u64Time));
    EXPECT_EQ(cFrameDataSize(), sizeof(FrameData));
    EXPECT_EQ(cScanEntrySize(), sizeof(ScanEntry));
    EXPECT_EQ(cTransLvlOffset(), offsetof(CameraConfig, u32TransLvl));
}

TEST(Records, StatusCodesKeepTheirWireValues) {
    EXPECT_EQ(USB_CAMERA_USB_CREATE_ERROR, 65281u);
    EXPECT_EQ(USB_CAMERA_USB_TASK_ERROR, 65312u);
    EXPECT_EQ(USB_CAMERA_DATA_LEN_ERROR, 65316u);
    EXPECT_EQ(USB_CAMERA_READ_EMPTY_ERROR, 65328u);
    EXPECT_EQ(USB_CAMERA_SIZE_EXCEED_ERROR, 65361u);
    EXPECT_EQ(USB_BOARD_FW_VERSION_NOT_SUPPORT_ERROR, 65393u);
}
