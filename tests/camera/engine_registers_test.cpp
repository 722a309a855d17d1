// Register, user-data and vendor-request access as the board receives it.
#include <cstring>
#include <vector>

#include "camera/support/engine_fixture.h"

namespace vexo::camera::test {
namespace {

class EngineRegisters : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        ASSERT_EQ(openBoard(smallBoard()), USB_CAMERA_NO_ERROR);
        board_->clearControlRequests();
    }

    virt::ControlRecord onlyRequest() {
        auto requests = board_->controlRequests();
        EXPECT_EQ(requests.size(), 1u);
        return requests.empty() ? virt::ControlRecord{} : requests.front();
    }
};

struct WireCase {
    const char* name;
    uint32_t (UsbCameraLib::*write)(uint32_t, uint32_t, uint32_t);
    uint32_t (UsbCameraLib::*read)(uint32_t, uint32_t, uint32_t*);
    uint8_t writeCode, readCode;
    bool wideRegister;
    unsigned valueBytes;
};

const WireCase kWidths[] = {
    {"8_8", &UsbCameraLib::writeReg_8_8, &UsbCameraLib::readReg_8_8, 0xD7, 0xD6, false, 1},
    {"8_16", &UsbCameraLib::writeReg_8_16, &UsbCameraLib::readReg_8_16, 0xD5, 0xD4, false, 2},
    {"16_8", &UsbCameraLib::writeReg_16_8, &UsbCameraLib::readReg_16_8, 0xE0, 0xDF, true, 1},
    {"16_16", &UsbCameraLib::writeReg_16_16, &UsbCameraLib::readReg_16_16, 0xE1, 0xE2, true, 2},
    {"16_32", &UsbCameraLib::writeReg_16_32, &UsbCameraLib::readReg_16_32, 0xE5, 0xE6, true, 4},
};

TEST_F(EngineRegisters, EveryWidthSendsItsBytesAndReadsBackWhatItWrote) {
    for (const WireCase& c : kWidths) {
        SCOPED_TRACE(c.name);
        const uint32_t reg = c.wideRegister ? 0x3012 : 0x12;
        /* Wider than every width: the value is cut to the operation's width. */
        const uint32_t value = 0xA1B2C3D4;
        const uint32_t cut = c.valueBytes == 4 ? value : value & ((1u << (8 * c.valueBytes)) - 1);
        board_->clearControlRequests();
        EXPECT_EQ((camera_.get()->*c.write)(0x20, reg, value), USB_CAMERA_NO_ERROR);
        auto w = onlyRequest();
        EXPECT_EQ(w.setup.bmRequestType, 0x40);
        EXPECT_EQ(w.setup.bRequest, c.writeCode);
        EXPECT_EQ(w.setup.wValue, 0x2000);
        EXPECT_EQ(w.setup.wIndex, c.wideRegister ? 0x3012 : 0x1200);
        ASSERT_EQ(w.data.size(), c.valueBytes);
        for (unsigned i = 0; i < c.valueBytes; ++i)
            EXPECT_EQ(w.data[i], static_cast<uint8_t>(cut >> (8 * (c.valueBytes - 1 - i))));

        board_->clearControlRequests();
        uint32_t back = 0xDEADBEEF;
        EXPECT_EQ((camera_.get()->*c.read)(0x20, reg, &back), USB_CAMERA_NO_ERROR);
        EXPECT_EQ(back, cut);
        auto r = onlyRequest();
        EXPECT_EQ(r.setup.bmRequestType, 0xC0);
        EXPECT_EQ(r.setup.bRequest, c.readCode);
        EXPECT_EQ(r.setup.wLength, c.valueBytes + 1) << "value bytes and a status byte";
    }
}

TEST_F(EngineRegisters, BoardControllerWriteCutsTheValueToOneByte) {
    EXPECT_EQ(camera_->writeReg_8_8(0x46, 4, 0x1AB), USB_CAMERA_NO_ERROR);
    auto w = onlyRequest();
    EXPECT_EQ(w.setup.bRequest, 0xD7);
    EXPECT_EQ(w.setup.wValue, 0x4600);
    EXPECT_EQ(w.setup.wIndex, 0x0400);
    EXPECT_EQ(w.data, std::vector<uint8_t>{0xAB});
    EXPECT_EQ(board_->boardControllerRegister(4), 0xAB);
}

TEST_F(EngineRegisters, SensorRegistersFollowTheAppliedI2cMode) {
    CameraConfig cfg = configFor(board_->config(), I2C_MODE_8_16);
    ASSERT_EQ(camera_->setCamCfg(&cfg), USB_CAMERA_NO_ERROR);
    board_->clearControlRequests();
    EXPECT_EQ(camera_->writeSensorReg(0x31, 0x0102), USB_CAMERA_NO_ERROR);
    EXPECT_EQ(onlyRequest().setup.bRequest, 0xD5);

    const uint32_t unknownMode = 5;
    std::memcpy(&cfg.emI2cMode, &unknownMode, sizeof unknownMode);
    ASSERT_EQ(camera_->setCamCfg(&cfg), USB_CAMERA_NO_ERROR);
    board_->clearControlRequests();
    uint32_t value = 0;
    EXPECT_EQ(camera_->writeSensorReg(0x31, 1), USB_CAMERA_VR_COMMAND_ERROR);
    EXPECT_EQ(camera_->readSensorReg(0x31, &value), USB_CAMERA_VR_COMMAND_ERROR);
    EXPECT_TRUE(board_->controlRequests().empty());
}

TEST_F(EngineRegisters, FailedRequestsShowOnlyWhereTheResultIsPassedOn) {
    virt::FaultConfig fault;
    fault.kind = virt::BoardFault::ControlFail;
    fault.count = 0;
    board_->addFault(fault);
    uint32_t value = 0x55;
    /* Writes and most reads report 0 whatever happened on the wire. */
    EXPECT_EQ(camera_->writeReg_16_16(0x20, 0x3012, 1), USB_CAMERA_NO_ERROR);
    EXPECT_EQ(camera_->readReg_16_16(0x20, 0x3012, &value), USB_CAMERA_NO_ERROR);
    EXPECT_EQ(value, 0u) << "the reply buffer starts zeroed";
    /* The 8_8 read of a USB 3 board carries a status byte, which a stalled request never
     * delivered: the failure is reported, not a zero status. */
    EXPECT_EQ(camera_->readReg_8_8(0x46, 0, &value), USB_CAMERA_VR_COMMAND_ERROR);
    EXPECT_EQ(camera_->readReg_16_32(0x20, 0x3012, &value), USB_CAMERA_VR_COMMAND_ERROR);
    uint8_t data[4] = {};
    EXPECT_EQ(camera_->vendorRequest(0x80, kDeviceToHost, 0, 0, 2, data, nullptr),
              USB_CAMERA_VR_COMMAND_ERROR);
}

TEST_F(EngineRegisters, ThirtyTwoBitReadPassesTheBoardStatusOn) {
    board_->setSensorRegister(0x3012, 0x12345678);
    uint32_t value = 0;
    EXPECT_EQ(camera_->readReg_16_32(0x20, 0x3012, &value), 0u);
    EXPECT_EQ(value, 0x12345678u);
}

TEST_F(EngineRegisters, UserDataRangesAreCheckedBeforeAnythingIsSent) {
    uint8_t bytes[40];
    for (int i = 0; i < 40; ++i) bytes[i] = static_cast<uint8_t>(i + 1);
    EXPECT_EQ(camera_->writeUserData(1000, 24, bytes), USB_CAMERA_NO_ERROR);
    auto data = board_->userData();
    EXPECT_TRUE(std::equal(bytes, bytes + 24, data.begin() + 1000));
    auto w = onlyRequest();
    EXPECT_EQ(w.setup.bRequest, 0xF8);
    EXPECT_EQ(w.setup.wValue, 0x1C00 + 1000);
    EXPECT_EQ(w.setup.wIndex, 24 << 8);

    board_->clearControlRequests();
    EXPECT_EQ(camera_->writeUserData(1000, 25, bytes), USB_USERDATA_ADDR_ERROR);
    EXPECT_EQ(camera_->writeUserData(0, 33, bytes), USB_USERDATA_LEN_ERROR);
    EXPECT_EQ(camera_->writeUserData(1000, 40, bytes), USB_USERDATA_ADDR_ERROR);
    EXPECT_EQ(camera_->readUserData(1000, 40, bytes), USB_USERDATA_ADDR_ERROR);
    /* Bytes to move but no buffer: refused, and reported (it once came back as 0). */
    EXPECT_EQ(camera_->writeUserData(0, 4, nullptr), USB_CAMERA_VR_COMMAND_ERROR);
    EXPECT_EQ(camera_->readUserData(0, 4, nullptr), USB_CAMERA_VR_COMMAND_ERROR);
    EXPECT_TRUE(board_->controlRequests().empty());
    EXPECT_EQ(camera_->readUserData(0, 0, nullptr), USB_CAMERA_NO_ERROR) << "nothing to move";
}

TEST_F(EngineRegisters, SerialIsReadFromTheLastSixteenBytes) {
    uint8_t serial[16] = {};
    EXPECT_EQ(camera_->readUserData(1008, 16, serial), USB_CAMERA_NO_ERROR);
    auto r = onlyRequest();
    EXPECT_EQ(r.setup.wValue, 0x1FF0);
    EXPECT_EQ(r.setup.wIndex, 0x1000);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(serial), 16), "VEXO-VIRTUAL-000");
}

TEST_F(EngineRegisters, VendorRequestRefusesWhatASetupPacketCannotCarry) {
    uint32_t moved = 99;
    EXPECT_EQ(camera_->vendorRequest(0x80, kDeviceToHost, 0, 0, 2, nullptr, &moved),
              USB_CAMERA_VR_COMMAND_ERROR);
    EXPECT_EQ(moved, 0u);
    /* wLength is 16 bits: a longer data stage would reach the board as its low 16 bits. */
    std::vector<uint8_t> big(65536);
    EXPECT_EQ(camera_->vendorRequest(0x80, kDeviceToHost, 0, 0, 65536, big.data(), &moved),
              USB_CAMERA_VR_COMMAND_ERROR);
    EXPECT_EQ(camera_->vendorRequest(0x40, kHostToDevice, 0, 0, 0xFFFFFFFF, big.data(), &moved),
              USB_CAMERA_VR_COMMAND_ERROR);
    EXPECT_TRUE(board_->controlRequests().empty());
    EXPECT_EQ(camera_->vendorRequest(0x80, kDeviceToHost, 0, 0, 65535, big.data(), &moved),
              USB_CAMERA_NO_ERROR);
    ASSERT_EQ(board_->controlRequests().size(), 1u);
    EXPECT_EQ(board_->controlRequests()[0].setup.wLength, 65535);
    uint8_t version[2] = {};
    EXPECT_EQ(camera_->vendorRequest(0x80, kDeviceToHost, 0, 0, 2, version, &moved),
              USB_CAMERA_NO_ERROR);
    EXPECT_EQ(moved, 2u);
    EXPECT_EQ(version[0] << 8 | version[1], 0x0320);
}

TEST_F(EngineRegisters, ControlScriptsReachTheSensorThroughTheCamera) {
    static const char* script =
        "function Gain(v)\n"
        "  writeReg(0x3012, v)\n"
        "  local s, back = readReg(0x3012)\n"
        "  local d = {0, 0}\n"
        "  GetVR(0x80, 0, 0, 2, d)\n"
        "  writeReg(0x3014, back + d[1] * 256 + d[2])\n"
        "end\n";
    CtrlRecord record{};
    record.minValue = 0;
    record.maxValue = 100;
    std::strcpy(record.name, "Gain");
    record.script = script;
    ASSERT_EQ(camera_->registerCtrls(&record, 1), 0);
    EXPECT_EQ(camera_->setCtrl("Gain", 250, camera_.get()), 0);
    EXPECT_EQ(board_->sensorRegister(0x3012), 100u) << "clamped to the record's range";
    EXPECT_EQ(board_->sensorRegister(0x3014), 100u + 0x0320);
}

TEST(EngineWithoutDevice, RequestsReportTheMissingDevice) {
    ZuUsbCameraLib camera;
    uint8_t data[2] = {};
    uint8_t boardType = 9, linkType = 9;
    EXPECT_EQ(camera.vendorRequest(0x80, kDeviceToHost, 0, 0, 2, data, nullptr),
              USB_CAMERA_USB_CREATE_ERROR);
    EXPECT_EQ(camera.getUsbType(&boardType, &linkType), USB_CAMERA_USB_CREATE_ERROR);
    EXPECT_EQ(boardType, 9);
    EXPECT_EQ(camera.captureImage(), USB_CAMERA_USB_TASK_ERROR);
    EXPECT_EQ(camera.beginCaptureImage(), USB_CAMERA_USB_TASK_ERROR);
    EXPECT_EQ(camera.close(), USB_CAMERA_NO_ERROR);
    EXPECT_EQ(camera.frameRing().slot(0).imageData, nullptr);
}

}  // namespace
}  // namespace vexo::camera::test
