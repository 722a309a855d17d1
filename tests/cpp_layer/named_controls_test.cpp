// Named controls end to end on a virtual board: each control of the example file set through
// the C functions lands in the sensor's registers as the file lays it out, and reads back; and
// every malformed [controls] entry is refused with its line.
#include <gtest/gtest.h>
#include <vexo/camera.h>
#include <vexo/controls.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>
#include <vexo/named_controls.hpp>

#include "common/board_protocol.h"
#include "driver/virtual/virtual_board.h"

using namespace vexo;
namespace virt = vexo::driver::virt;

namespace {

const std::string kExample = VEXO_SOURCE_DIR "/examples/configs/sensor-controls.cfg";
const std::string kVirtualDefault = VEXO_SOURCE_DIR "/examples/configs/virtual-default.cfg";

// Bits of the example's registers that belong to no control, which a write must keep.
const std::map<uint16_t, uint32_t> kPreset = {
    {0x3500, 0}, {0x3501, 0}, {0x3502, 0x05}, {0x3508, 0xF8}, {0x3509, 0},
    {0x4008, 0}, {0x4009, 0}, {0x5001, 0},    {0x3820, 0x81}, {0x5080, 0x05},
};

struct Row {
    const char* control;
    const char* which;  // min, max, default or middle
    double value;
    double readBack;
    std::map<uint16_t, uint32_t> registers;
    const std::string* file = &kExample;
};

void PrintTo(const Row& row, std::ostream* os) {
    *os << row.control << " " << row.which << " = " << row.value;
}

const Row kRows[] = {
    {"exposure", "min", 1, 1, {{0x3500, 0x00}, {0x3501, 0x00}, {0x3502, 0x15}}},
    {"exposure", "max", 65535, 65535, {{0x3500, 0x0F}, {0x3501, 0xFF}, {0x3502, 0xF5}}},
    {"exposure", "default", 1024, 1024, {{0x3500, 0x00}, {0x3501, 0x40}, {0x3502, 0x05}}},
    {"exposure", "middle", 32768, 32768, {{0x3500, 0x08}, {0x3501, 0x00}, {0x3502, 0x05}}},
    {"analogue_gain", "min", 1, 1, {{0x3508, 0xF8}, {0x3509, 0x80}}},
    {"analogue_gain", "max", 15.5, 15.5, {{0x3508, 0xFF}, {0x3509, 0xC0}}},
    {"analogue_gain", "default", 2, 2, {{0x3508, 0xF9}, {0x3509, 0x00}}},
    {"analogue_gain", "middle", 8.25, 8.25, {{0x3508, 0xFC}, {0x3509, 0x20}}},
    {"black_level", "min", 0, 0, {{0x4009, 0x00}, {0x4008, 0x00}}},
    {"black_level", "max", 1020, 1020, {{0x4009, 0xFC}, {0x4008, 0x03}}},
    {"black_level", "default", 64, 64, {{0x4009, 0x40}, {0x4008, 0x00}}},
    // 510 is off the step of 4: the nearest step is 512.
    {"black_level", "middle", 510, 512, {{0x4009, 0x00}, {0x4008, 0x02}}},
    {"brightness", "min", -64, -64, {{0x5001, 0x00}}},
    {"brightness", "max", 63, 63, {{0x5001, 0x7F}}},
    {"brightness", "default", 0, 0, {{0x5001, 0x40}}},
    {"brightness", "middle", -32, -32, {{0x5001, 0x20}}},
    {"flip", "min", 0, 0, {{0x3820, 0x81}}},
    {"flip", "max", 1, 1, {{0x3820, 0x85}}},
    {"mirror", "max", 1, 1, {{0x3820, 0x83}}},
    {"mirror", "default", 0, 0, {{0x3820, 0x81}}},
    {"flip", "default", 0, 0, {{0x3820, 0x81}}},
    {"mirror", "min", 0, 0, {{0x3820, 0x81}}},
    {"test_pattern", "default", 0, 0, {{0x5080, 0x05}}},
    {"test_pattern", "min", 0, 0, {{0x5080, 0x05}}},
    {"test_pattern", "max", 3, 3, {{0x5080, 0xC5}}},
    {"test_pattern", "middle", 1, 1, {{0x5080, 0x45}}},
    // Out of range: clamped to the nearest end.
    {"exposure", "above max", 1e9, 65535, {{0x3500, 0x0F}, {0x3501, 0xFF}, {0x3502, 0xF5}}},
    {"brightness", "below min", -1000, -64, {{0x5001, 0x00}}},
    {"flip", "nonzero", -3, 1, {{0x3820, 0x85}}},
    // The default virtual board's file: its controls are the virtual sensor's registers.
    {"exposure", "min", 1, 1, {{0x3500, 0x00}, {0x3501, 0x00}, {0x3502, 0x15}}, &kVirtualDefault},
    {"exposure",
     "max",
     65535,
     65535,
     {{0x3500, 0x0F}, {0x3501, 0xFF}, {0x3502, 0xF5}},
     &kVirtualDefault},
    {"exposure",
     "default",
     1024,
     1024,
     {{0x3500, 0x00}, {0x3501, 0x40}, {0x3502, 0x05}},
     &kVirtualDefault},
    {"exposure",
     "middle",
     32768,
     32768,
     {{0x3500, 0x08}, {0x3501, 0x00}, {0x3502, 0x05}},
     &kVirtualDefault},
    {"analogue_gain", "min", 1, 1, {{0x3508, 0xF8}, {0x3509, 0x80}}, &kVirtualDefault},
    {"analogue_gain",
     "max",
     15.9921875,
     15.9921875,
     {{0x3508, 0xFF}, {0x3509, 0xFF}},
     &kVirtualDefault},
    {"analogue_gain", "default", 1, 1, {{0x3508, 0xF8}, {0x3509, 0x80}}, &kVirtualDefault},
    // 8.003 is off the step of 1/128: the nearest step is 8.
    {"analogue_gain", "middle", 8.003, 8, {{0x3508, 0xFC}, {0x3509, 0x00}}, &kVirtualDefault},
};

// The sensor register writes the board received, in order.
std::vector<std::pair<uint16_t, uint32_t>> sensorWrites(const virt::VirtualBoard& board) {
    std::vector<std::pair<uint16_t, uint32_t>> writes;
    for (const virt::ControlRecord& r : board.controlRequests()) {
        const auto op = vexo::board::registerRequest(r.setup.bRequest);
        if (!op || op->in || !r.ok || vexo::board::registerDevice(r.setup.wValue) != 0x20) continue;
        uint32_t value = 0;
        for (uint8_t b : r.data) value = value << 8 | b;
        writes.emplace_back(vexo::board::registerNumber(r.setup.wIndex, op->reg16), value);
    }
    return writes;
}

uint32_t expectedAfter(const Row& row, uint16_t reg) {
    auto it = row.registers.find(reg);
    return it != row.registers.end() ? it->second : kPreset.at(reg);
}

class NamedControlsBoard : public ::testing::TestWithParam<Row> {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(loadCameraFile(kExample, file_, error)) << error;
        board_ = virt::addVirtualBoard(virt::BoardConfig{}, &error);
        ASSERT_NE(board_, nullptr) << error;
        ScanEntry entries[255];
        ASSERT_GE(Vexo_scan(entries), 1u);
        CameraConfig cfg = file_.config;
        ASSERT_EQ(Vexo_open(&camera_, &cfg, entries[0].u8Index), USB_CAMERA_NO_ERROR);
        for (const auto& [reg, value] : kPreset) board_->setSensorRegister(reg, value);
    }
    void TearDown() override {
        if (camera_) Vexo_close(camera_);
        if (board_) board_->remove();
    }

    CameraFile file_;
    std::shared_ptr<virt::VirtualBoard> board_;
    CameraHandle camera_ = nullptr;
};

TEST_P(NamedControlsBoard, SetWritesTheFieldAndReadsItBack) {
    const Row& row = GetParam();
    std::string error;
    ASSERT_TRUE(loadCameraFile(*row.file, file_, error)) << error;
    NamedControls controls(camera_, file_, registerCallsFor(file_.config.emI2cMode));
    std::vector<std::pair<std::string, double>> changes;
    controls.onChange([&](const ControlSpec& c, double v) { changes.emplace_back(c.name, v); });

    double applied = -12345;
    board_->clearControlRequests();
    ASSERT_EQ(controls.set(row.control, row.value, &applied, &error), ControlStatus::Ok) << error;
    EXPECT_DOUBLE_EQ(applied, row.readBack);

    // The field's registers are written in the file's order; with a group hold in the file,
    // between setting and releasing it.
    const ControlSpec& described = *controls.find(row.control);
    std::vector<std::pair<uint16_t, uint32_t>> order;
    const bool held = file_.groupHold && described.registers.size() > 1;
    if (held) order.emplace_back(*file_.groupHold, 1);
    for (uint32_t reg : described.registers) order.emplace_back(reg, expectedAfter(row, reg));
    if (held) order.emplace_back(*file_.groupHold, 0);
    EXPECT_EQ(sensorWrites(*board_), order);

    std::map<uint16_t, uint32_t> expected = kPreset;
    for (const auto& [reg, value] : row.registers) expected[reg] = value;
    for (const auto& [reg, value] : expected)
        EXPECT_EQ(board_->sensorRegister(reg).value_or(0xDEAD), value)
            << row.control << " " << row.which << ": register 0x" << std::hex << reg;

    // Read-back comes from the sensor: a register changed behind our back shows.
    double got = 0;
    ASSERT_EQ(controls.get(row.control, got, &error), ControlStatus::Ok) << error;
    EXPECT_DOUBLE_EQ(got, row.readBack);
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].first, row.control);
    EXPECT_DOUBLE_EQ(changes[0].second, row.readBack);
}

INSTANTIATE_TEST_SUITE_P(ExampleFile, NamedControlsBoard, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& info) {
                             std::string name = std::string(info.param.control) + "_" +
                                                info.param.which + "_" + std::to_string(info.index);
                             for (char& c : name)
                                 if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });

TEST_F(NamedControlsBoard, EveryControlOfTheExamplesIsCovered) {
    for (const std::string* path : {&kExample, &kVirtualDefault}) {
        CameraFile file;
        std::string error;
        ASSERT_TRUE(loadCameraFile(*path, file, error)) << error;
        for (const ControlSpec& c : file.controls)
            for (const char* which : {"min", "max", "default", "middle"}) {
                bool covered = false;
                for (const Row& row : kRows)
                    covered = covered || (c.name == row.control && row.file == path &&
                                          std::string(which) == row.which);
                // A switch has no middle.
                EXPECT_TRUE(covered || (c.type == ControlSpec::Type::Boolean &&
                                        std::string(which) == "middle"))
                    << *path << ": " << c.name << " " << which;
            }
    }
}

TEST_F(NamedControlsBoard, ReadBackIsWhatTheSensorHolds) {
    NamedControls controls(camera_, file_, registerCallsFor(file_.config.emI2cMode));
    board_->setSensorRegister(0x3500, 0x01);
    board_->setSensorRegister(0x3501, 0x23);
    board_->setSensorRegister(0x3502, 0x4F);  // low nibble: not exposure's
    double value = 0;
    ASSERT_EQ(controls.get("exposure", value), ControlStatus::Ok);
    EXPECT_EQ(value, 0x1234);
}

TEST_F(NamedControlsBoard, RefusedValuesWriteNothing) {
    NamedControls controls(camera_, file_, registerCallsFor(file_.config.emI2cMode));
    int changes = 0;
    controls.onChange([&](const ControlSpec&, double) { ++changes; });
    std::string error;
    EXPECT_EQ(controls.set("test_pattern", 2.5, nullptr, &error), ControlStatus::InvalidValue);
    EXPECT_NE(error.find("none of the menu"), std::string::npos) << error;
    EXPECT_EQ(controls.set("test_pattern", NAN), ControlStatus::InvalidValue);
    EXPECT_EQ(controls.set("no_such_control", 1), ControlStatus::UnknownName);
    double v = 0;
    EXPECT_EQ(controls.get("no_such_control", v), ControlStatus::UnknownName);
    EXPECT_EQ(changes, 0);
    for (const auto& [reg, value] : kPreset) EXPECT_EQ(board_->sensorRegister(reg), value);
}

// A Lua control runs its function; its value is the one last set, as a script has no read-back.
TEST_F(NamedControlsBoard, LuaControlCallsItsFunctionAndRemembersTheValue) {
    std::string error;
    CameraFile file;
    ASSERT_TRUE(parseCameraFile(R"([camera]
width = 640
height = 480
format = RAW
i2c_address = 0x20
i2c_mode = 16_8
[controls]
digital_gain type=integer min=0 max=200 default=16 lua=set_dgain
)",
                                "lua.cfg", file, error))
        << error;
    static const char kScript[] = "function set_dgain(v) writeReg(0x6000, v) end";
    CtrlRecord record{};
    record.minValue = 0;
    record.maxValue = 255;
    std::snprintf(record.name, sizeof record.name, "set_dgain");
    record.script = kScript;
    ASSERT_EQ(Vexo_registerCtrls(camera_, &record, 1), 0);

    NamedControls controls(camera_, file, registerCallsFor(file.config.emI2cMode));
    double v = 0;
    ASSERT_EQ(controls.get("digital_gain", v), ControlStatus::Ok);
    EXPECT_EQ(v, 16);
    ASSERT_EQ(controls.set("digital_gain", 300, &v, &error), ControlStatus::Ok) << error;
    EXPECT_EQ(v, 200);
    EXPECT_EQ(board_->sensorRegister(0x6000).value_or(0), 200u);
}

}  // namespace
