// Configuration files reach vexo::Config through the C++ layer's loader (libvexo-cpp): what a
// file says is what the camera opens with, and its register list runs through the camera.
#include <vexo/camera_file.hpp>

#include "cpp/cpp_fixture.h"

namespace vexo::cpptest {
namespace {

using CppConfigFile = CppTest;

TEST_F(CppConfigFile, DefaultFileIsTheDefaultConfig) {
    EXPECT_EQ(Config::from(defaultCameraFile().config), Config{})
        << "vexo::Config's defaults describe the default virtual board";
}

TEST_F(CppConfigFile, FileOpensACameraAndRunsItsRegisters) {
    const char* text = R"(
[camera]
width = 64
height = 32
format = MON
i2c_address = 0x20
i2c_mode = 16_16
camera_type = 7
sensor_vid = 0x1234

[registers]
0x3012 0xBEEF
delay 1
0x0100 0x0001
)";
    CameraFile file;
    std::string error;
    ASSERT_TRUE(parseCameraFile(text, "test.cfg", file, error)) << error;

    virt::BoardConfig boardConfig = smallBoard();
    boardConfig.stream.format = virt::PixelFormat::Mon;
    auto board = add(boardConfig);

    const Config config = Config::from(file.config);
    EXPECT_EQ(config.sensorVendor, 0x1234);
    Camera camera = Camera::openFirst(config);
    for (const RegisterStep& step : file.registers)
        if (step.kind == RegisterStep::Kind::Write) camera.writeSensorReg(step.address, step.value);
    EXPECT_EQ(board->sensorRegister(0x3012), 0xBEEFu);
    EXPECT_EQ(board->sensorRegister(0x0100), 0x0001u);

    CameraConfig applied{};
    ASSERT_EQ(Vexo_getSensorCfg(camera.handle(), &applied), USB_CAMERA_NO_ERROR);
    EXPECT_EQ(Config::from(applied), config);
    for (const Frame& frame : camera.frames(1)) EXPECT_EQ(frame.format(), FORMAT_MODE_MON);
}

}  // namespace
}  // namespace vexo::cpptest
