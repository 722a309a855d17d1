// The lifetime functions and the boundary of the exported camera functions, driven through
// the C interface against virtual devices.
#include <gtest/gtest.h>
#include <vexo/camera.h>

#include <cstring>
#include <vector>

#include "default_board_config.h"
#include "driver/virtual/virtual_board.h"

namespace virt = vexo::driver::virt;

namespace {

CameraConfig rawConfig(uint32_t width = 640, uint32_t height = 480) {
    CameraConfig cfg = defaultBoardConfig();
    cfg.u32Width = width;
    cfg.u32Height = height;
    return cfg;
}

virt::BoardConfig notABoard() {
    virt::BoardConfig config;
    config.vendorId = 0x1234;
    return config;
}

class ApiLifetime : public ::testing::Test {
  protected:
    void SetUp() override { virt::removeAllDevices(); }
    void TearDown() override { virt::removeAllDevices(); }

    std::shared_ptr<virt::VirtualBoard> add(const virt::BoardConfig& config) {
        auto board = virt::addVirtualBoard(config);
        EXPECT_NE(board, nullptr);
        return board;
    }
};

TEST_F(ApiLifetime, NoDeviceScansNothingAndAutoopenStillHandsOutAHandle) {
    ScanEntry entries[255];
    std::memset(entries, 0xAA, sizeof entries);
    EXPECT_EQ(Vexo_scan(entries), 0u);
    EXPECT_EQ(entries[0].u8Index, 0xAA) << "no entry may be written";

    CameraConfig cfg = rawConfig();
    CameraHandle handle = nullptr;
    EXPECT_EQ(Vexo_autoopen(&handle, &cfg), USB_CAMERA_USB_CREATE_ERROR);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(Vexo_close(handle), USB_CAMERA_NO_ERROR);
}

TEST_F(ApiLifetime, ScanListsBoardsByTheirIndexAmongAllDevices) {
    add(notABoard());
    add(notABoard());
    virt::BoardConfig board;
    board.serial = "SERIAL-NUMBER-42";
    add(board);

    ScanEntry entries[255]{};
    ASSERT_EQ(Vexo_scan(entries), 1u);
    EXPECT_EQ(entries[0].u8Index, 2);
    EXPECT_EQ(std::memcmp(entries[0].u8Serial, "SERIAL-NUMBER-42", 16), 0);
    EXPECT_EQ(Vexo_scan(nullptr), 1u) << "counting without an array";
}

TEST_F(ApiLifetime, OpenRefusesMissingDevicesAndForeignVendors) {
    add(notABoard());
    add(virt::BoardConfig{});
    CameraConfig cfg = rawConfig();

    CameraHandle handle = nullptr;
    EXPECT_EQ(Vexo_open(&handle, &cfg, 2), USB_CAMERA_USB_CREATE_ERROR) << "index = count";
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(Vexo_close(handle), 0u);

    EXPECT_EQ(Vexo_open(&handle, &cfg, 0), USB_CAMERA_USB_VERSION_ERROR) << "vendor 0x1234";
    EXPECT_EQ(Vexo_close(handle), 0u);

    EXPECT_EQ(Vexo_open(&handle, &cfg, 1), USB_CAMERA_NO_ERROR);
    EXPECT_EQ(cfg.usbType, USB_3);
    EXPECT_EQ(Vexo_close(handle), 0u);
}

TEST_F(ApiLifetime, OnlyTheLowEightBitsOfTheIndexCount) {
    add(virt::BoardConfig{});
    CameraConfig cfg = rawConfig();
    CameraHandle handle = nullptr;
    EXPECT_EQ(Vexo_open(&handle, &cfg, 256), USB_CAMERA_NO_ERROR);
    EXPECT_EQ(Vexo_close(handle), 0u);
}

TEST_F(ApiLifetime, BadSizeIsReportedByOpenButHiddenByAutoopen) {
    add(virt::BoardConfig{});
    CameraConfig cfg = rawConfig(0, 480);

    CameraHandle handle = nullptr;
    EXPECT_EQ(Vexo_open(&handle, &cfg, 0), USB_CAMERA_SIZE_EXCEED_ERROR);
    EXPECT_EQ(Vexo_close(handle), 0u) << "a failed open's handle is closed normally";

    EXPECT_EQ(Vexo_autoopen(&handle, &cfg), USB_CAMERA_USB_CREATE_ERROR);
    EXPECT_EQ(Vexo_close(handle), 0u);

    // The board is still usable afterwards: nothing was left open on it.
    cfg = rawConfig();
    EXPECT_EQ(Vexo_autoopen(&handle, &cfg), USB_CAMERA_NO_ERROR);
    EXPECT_EQ(Vexo_close(handle), 0u);
}

TEST_F(ApiLifetime, NullArgumentsAreRefusedNotDereferenced) {
    add(virt::BoardConfig{});
    CameraConfig cfg = rawConfig();
    EXPECT_EQ(Vexo_open(nullptr, &cfg, 0), USB_CAMERA_USB_CREATE_ERROR);

    CameraHandle handle = nullptr;
    EXPECT_EQ(Vexo_open(&handle, nullptr, 0), USB_CAMERA_SIZE_EXCEED_ERROR);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(Vexo_close(handle), 0u);
    /* autoopen reports every failure as one code, a missing configuration too. */
    handle = nullptr;
    EXPECT_EQ(Vexo_autoopen(&handle, nullptr), USB_CAMERA_USB_CREATE_ERROR);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(Vexo_close(handle), 0u);

    EXPECT_EQ(Vexo_close(nullptr), 0u);
    EXPECT_EQ(Vexo_captureImage(nullptr), USB_CAMERA_USB_CREATE_ERROR);
    EXPECT_EQ(Vexo_availableImage(nullptr), 0u);
    EXPECT_EQ(Vexo_setCtrl(nullptr, "gain", 1), -1);
    Vexo_enableForceRead(nullptr);
}

TEST_F(ApiLifetime, ForwardersReachTheCamera) {
    auto board = add(virt::BoardConfig{});
    CameraConfig cfg = rawConfig();
    CameraHandle handle = nullptr;
    ASSERT_EQ(Vexo_open(&handle, &cfg, 0), USB_CAMERA_NO_ERROR);

    EXPECT_EQ(Vexo_writeSensorReg(handle, 0x3012, 0xAB), USB_CAMERA_NO_ERROR);
    EXPECT_EQ(board->sensorRegister(0x3012), 0xABu);
    Uint32 value = 0;
    EXPECT_EQ(Vexo_readSensorReg(handle, 0x3012, &value), USB_CAMERA_NO_ERROR);
    EXPECT_EQ(value, 0xABu);

    Uint8 data[4] = {1, 2, 3, 4};
    EXPECT_EQ(Vexo_writeUserData(handle, 100, 4, data), USB_CAMERA_NO_ERROR);
    Uint8 back[4] = {};
    EXPECT_EQ(Vexo_readUserData(handle, 100, 4, back), USB_CAMERA_NO_ERROR);
    EXPECT_EQ(std::memcmp(data, back, 4), 0);

    Uint8 boardType = 0, linkType = 0;
    EXPECT_EQ(Vexo_getUsbType(handle, &boardType, &linkType), USB_CAMERA_NO_ERROR);
    EXPECT_EQ(boardType, 3);
    EXPECT_EQ(linkType, 3);

    Uint8 firmware[2] = {};
    EXPECT_EQ(Vexo_getboardConfig(handle, 0x80, 0, 0, 2, firmware), USB_CAMERA_NO_ERROR);
    EXPECT_EQ(firmware[0], 0x03);
    EXPECT_EQ(firmware[1], 0x20);
    EXPECT_EQ(Vexo_close(handle), 0u);
}

}  // namespace

namespace {

// The environment's boards follow the variable: a program can fall back to a virtual board
// after a scan that found none.
TEST(ApiEnvironment, ChangedVariableReplacesTheEnvironmentBoards) {
    virt::removeAllDevices();
    unsetenv("VEXO_VIRTUAL_BOARDS");
    EXPECT_EQ(Vexo_scan(nullptr), 0u);
    setenv("VEXO_VIRTUAL_BOARDS", "1", 1);
    EXPECT_EQ(Vexo_scan(nullptr), 1u);
    EXPECT_EQ(Vexo_scan(nullptr), 1u) << "an unchanged value adds nothing more";
    setenv("VEXO_VIRTUAL_BOARDS", R"({"boards": [{}, {"productId": "0x03F2"}]})", 1);
    EXPECT_EQ(Vexo_scan(nullptr), 2u);
    setenv("VEXO_VIRTUAL_BOARDS", "0", 1);
    EXPECT_EQ(Vexo_scan(nullptr), 0u);
    unsetenv("VEXO_VIRTUAL_BOARDS");
}

}  // namespace
