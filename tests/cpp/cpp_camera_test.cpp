// vexo::Camera and its neighbours over virtual boards: status names and errors, scan, the
// three ways to open, ownership, registers, user data and board commands.
#include <array>
#include <string>
#include <vector>

#include "cpp/cpp_fixture.h"

namespace vexo::cpptest {
namespace {

// Runs `body` and returns the code of the vexo::Error it throws; fails the test otherwise.
template <typename Body>
uint32_t errorCodeOf(Body&& body) {
    try {
        body();
    } catch (const Error& e) {
        return e.code();
    }
    ADD_FAILURE() << "no vexo::Error thrown";
    return USB_CAMERA_NO_ERROR;
}

TEST(CppStatus, NamesAndErrorsCarryTheCode) {
    EXPECT_EQ(statusName(USB_CAMERA_DATA_LEN_ERROR), "USB_CAMERA_DATA_LEN_ERROR");
    EXPECT_EQ(statusName(USB_CAMERA_NO_ERROR), "USB_CAMERA_NO_ERROR");
    EXPECT_EQ(statusName(3), "UNKNOWN_STATUS") << "a frame count is not a status";
    EXPECT_TRUE(statusHint(3).empty());
    EXPECT_FALSE(statusHint(USB_USERDATA_LEN_ERROR).empty());

    const Error error(USB_CAMERA_USB_TIMEOUT_ERROR, "Vexo_captureImage");
    EXPECT_EQ(error.code(), USB_CAMERA_USB_TIMEOUT_ERROR);
    EXPECT_EQ(error.name(), "USB_CAMERA_USB_TIMEOUT_ERROR");
    const std::string what = error.what();
    EXPECT_EQ(what.rfind("Vexo_captureImage: USB_CAMERA_USB_TIMEOUT_ERROR [0xFF26]", 0), 0u)
        << what;
}

using CppOpen = CppTest;

virt::BoardConfig withSerial(const char* serial) {
    virt::BoardConfig config;
    config.serial = serial;
    return config;
}

TEST_F(CppOpen, ScanListsBoardsWithIndexAndSerial) {
    virt::BoardConfig foreign;
    foreign.vendorId = 0x1234;
    add(foreign);
    add(withSerial("BOARD-A"));
    add(withSerial("SIXTEEN-BYTES-XX"));

    const std::vector<BoardInfo> boards = scan();
    ASSERT_EQ(boards.size(), 2u);
    EXPECT_EQ(boards[0].index, 1u) << "the index counts every device, not only boards";
    EXPECT_EQ(boards[0].serial, "BOARD-A") << "padding is not part of the text";
    EXPECT_EQ(boards[1].index, 2u);
    EXPECT_EQ(boards[1].serial, "SIXTEEN-BYTES-XX") << "a full-length serial has no NUL";
}

TEST_F(CppOpen, OpensByIndexSerialOrFirstBoard) {
    auto boardA = add(withSerial("BOARD-A"));
    auto boardB = add(withSerial("BOARD-B"));

    {
        Camera camera = Camera::openSerial("BOARD-B");
        camera.writeSensorReg(0x3012, 0x5A);
        EXPECT_EQ(boardB->sensorRegister(0x3012), 0x5Au);
        EXPECT_FALSE(boardA->sensorRegister(0x3012).has_value());
        EXPECT_EQ(camera.usbType(), USB_3);
    }
    {
        Camera camera = Camera::openFirst();
        camera.writeSensorReg(0x3014, 0x01);
        EXPECT_EQ(boardA->sensorRegister(0x3014), 0x01u);
    }
    {
        Camera camera = Camera::open(1);
        EXPECT_EQ(camera.serial(), "BOARD-B");
    }
    EXPECT_EQ(errorCodeOf([] { Camera::openSerial("BOARD"); }), USB_CAMERA_USB_CREATE_ERROR)
        << "a serial matches whole, not by prefix";
}

TEST_F(CppOpen, FailuresThrowTheOpensOwnCode) {
    EXPECT_EQ(errorCodeOf([] { Camera::openFirst(); }), USB_CAMERA_USB_CREATE_ERROR)
        << "no board at all";

    virt::BoardConfig foreign;
    foreign.vendorId = 0x1234;
    add(foreign);
    auto board = add();
    EXPECT_EQ(errorCodeOf([] { Camera::open(0); }), USB_CAMERA_USB_VERSION_ERROR);
    EXPECT_EQ(errorCodeOf([] { Camera::open(5); }), USB_CAMERA_USB_CREATE_ERROR);

    Config zeroWidth;
    zeroWidth.width = 0;
    // Vexo_autoopen would say USB_CAMERA_USB_CREATE_ERROR here; the open's own code is kept.
    EXPECT_EQ(errorCodeOf([&] { Camera::openFirst(zeroWidth); }), USB_CAMERA_SIZE_EXCEED_ERROR);

    // The failed opens gave their handles back: the board opens normally.
    Camera camera = Camera::openFirst();
    EXPECT_EQ(camera.config(), Config{});
}

TEST_F(CppOpen, MovesHandOverTheHandleAndCloseItOnce) {
    auto boardA = add(withSerial("BOARD-A"));
    auto boardB = add(withSerial("BOARD-B"));

    {
        Camera first = Camera::openSerial("BOARD-A");
        Camera moved(std::move(first));
        EXPECT_EQ(first.handle(), nullptr);
        {
            Camera gone(std::move(moved));
            // `moved` is empty now; destroying `gone` closes the board once.
        }
        EXPECT_EQ(closesSeen(*boardA), 1u);
    }
    EXPECT_EQ(closesSeen(*boardA), 1u) << "moved-from cameras close nothing";

    Camera target = Camera::openSerial("BOARD-A");
    Camera source = Camera::openSerial("BOARD-B");
    const CameraHandle handleB = source.handle();
    target = std::move(source);
    EXPECT_EQ(closesSeen(*boardA), 2u) << "assignment closes the camera it replaces";
    EXPECT_EQ(target.handle(), handleB);
    target.writeSensorReg(0x3020, 0x33);
    EXPECT_EQ(boardB->sensorRegister(0x3020), 0x33u);
    EXPECT_EQ(closesSeen(*boardB), 0u);
}

TEST_F(CppOpen, SetConfigAppliesOrKeepsTheOldOne) {
    add();
    Camera camera = Camera::openFirst();
    Config config;
    config.width = 320;
    config.height = 240;
    config.format = FORMAT_MODE_MON;
    camera.setConfig(config);
    EXPECT_EQ(camera.config(), config);

    Config bad = config;
    bad.height = 20000;
    EXPECT_EQ(errorCodeOf([&] { camera.setConfig(bad); }), USB_CAMERA_SIZE_EXCEED_ERROR);
    EXPECT_EQ(camera.config(), config) << "a refused configuration changes nothing";
    CameraConfig applied{};
    ASSERT_EQ(Vexo_getSensorCfg(camera.handle(), &applied), USB_CAMERA_NO_ERROR);
    EXPECT_EQ(applied.u32Height, 240u);
}

using CppRegisters = CppTest;

TEST_F(CppRegisters, EveryWidthRoundTrips) {
    auto board = add();
    Camera camera = Camera::openFirst();
    struct Case {
        I2cMode widths;
        uint32_t reg;
        uint32_t value;
    };
    for (const Case& c : {Case{I2C_MODE_8_8, 0x12, 0xA5}, Case{I2C_MODE_8_16, 0x13, 0xBEEF},
                          Case{I2C_MODE_16_8, 0x3012, 0x7E}, Case{I2C_MODE_16_16, 0x3014, 0xCAFE},
                          Case{I2C_MODE_16_32, 0x3018, 0x12345678}}) {
        SCOPED_TRACE(c.widths);
        camera.writeReg(c.widths, 0x20, c.reg, c.value);
        EXPECT_EQ(board->sensorRegister(static_cast<uint16_t>(c.reg)), c.value);
        EXPECT_EQ(camera.readReg(c.widths, 0x20, c.reg), c.value);
    }
    camera.writeSensorReg(0x3100, 0x44);
    EXPECT_EQ(camera.readSensorReg(0x3100), 0x44u);
    EXPECT_EQ(camera.readReg(I2C_MODE_8_8, 0x46, 0), 35u) << "board controller id";
}

TEST_F(CppRegisters, RefusalsAreThrownWithTheirCode) {
    virt::BoardConfig old;
    old.firmware = 0x0310;
    add(old);
    Camera camera = Camera::openFirst();
    EXPECT_EQ(errorCodeOf([&] { camera.writeReg(I2C_MODE_16_32, 0x20, 0x3018, 1); }),
              USB_BOARD_FW_VERSION_NOT_SUPPORT_ERROR);
    EXPECT_EQ(errorCodeOf([&] { camera.readReg(I2C_MODE_16_32, 0x20, 0x3018); }),
              USB_BOARD_FW_VERSION_NOT_SUPPORT_ERROR);
    EXPECT_EQ(errorCodeOf([&] { camera.writeReg(static_cast<I2cMode>(9), 0x20, 1, 1); }),
              USB_CAMERA_VR_COMMAND_ERROR);
    // Triggers belong to USB 2 boards; this one is USB 3.
    EXPECT_EQ(errorCodeOf([&] { camera.setTriggerMode(EXTERNAL_TRIGGER_MODE); }),
              USB_BOARD_FW_VERSION_NOT_SUPPORT_ERROR);
    EXPECT_EQ(errorCodeOf([&] { camera.softTrigger(); }), USB_BOARD_FW_VERSION_NOT_SUPPORT_ERROR);
}

TEST_F(CppRegisters, BoardCommandsBothWays) {
    virt::BoardConfig config;
    config.firmware = 0x0321;
    auto board = add(config);
    Camera camera = Camera::openFirst();
    std::array<uint8_t, 2> version{};
    camera.readBoardCommand(0x80, 0, 0, version);
    EXPECT_EQ(version, (std::array<uint8_t, 2>{0x03, 0x21}));

    const std::array<uint8_t, 1> value{0x40};
    camera.sendBoardCommand(0xD7, 0x4600, 0x1000, value);
    EXPECT_EQ(board->boardControllerRegister(0x10), 0x40);
    EXPECT_EQ(camera.readReg(I2C_MODE_8_8, 0x46, 0x10), 0x40u);

    virt::FaultConfig fail;
    fail.kind = virt::BoardFault::ControlFail;
    fail.count = 1;
    board->addFault(fail);
    EXPECT_EQ(errorCodeOf([&] { camera.readBoardCommand(0x80, 0, 0, version); }),
              USB_CAMERA_VR_COMMAND_ERROR);
}

using CppUserData = CppTest;

TEST_F(CppUserData, LongSpansGoInPiecesAndOutOfRangeMovesNothing) {
    auto board = add();
    Camera camera = Camera::openFirst();
    std::vector<uint8_t> bytes(100);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 1);
    camera.writeUserData(900, bytes);
    const std::vector<uint8_t> store = board->userData();
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), store.begin() + 900));
    EXPECT_EQ(camera.readUserData(900, bytes.size()), bytes);
    EXPECT_EQ(camera.readUserData(0, 1024).size(), 1024u) << "the whole store in one call";

    const std::vector<uint8_t> more(40, 0xEE);
    EXPECT_EQ(errorCodeOf([&] { camera.writeUserData(1000, more); }), USB_USERDATA_ADDR_ERROR);
    EXPECT_EQ(board->userData(), store) << "not even the pieces that would fit";
    EXPECT_EQ(errorCodeOf([&] { camera.readUserData(1000, 25); }), USB_USERDATA_ADDR_ERROR);
}

TEST_F(CppUserData, SerialTextRoundTripsAndIsFoundByScan) {
    add();
    Camera camera = Camera::openFirst();
    EXPECT_EQ(camera.serial(), "VEXO-VIRTUAL-000");
    camera.setSerial("LAB-7");
    EXPECT_EQ(camera.serial(), "LAB-7") << "the rest of the old text is cleared";
    EXPECT_THROW(camera.setSerial("SEVENTEEN-BYTES-X"), std::invalid_argument);
    EXPECT_EQ(camera.serial(), "LAB-7");

    Camera again = Camera::openSerial("LAB-7");
    EXPECT_EQ(scan().at(0).serial, "LAB-7");
}

}  // namespace
}  // namespace vexo::cpptest
