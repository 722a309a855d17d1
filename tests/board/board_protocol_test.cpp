// The board's endpoint-0 protocol, driven through its device model.
#include <gtest/gtest.h>

#include "board/support/model_bus.h"

namespace vexo::test {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(BoardProtocol, FirmwareVersionIsMajorThenMinor) {
    ModelBus bus;
    EXPECT_EQ(bus.in(0x80, 0, 0, 2), (Bytes{0x03, 0x20}));
    virt::BoardConfig c;
    c.firmware = 0x0313;
    ModelBus old(c);
    EXPECT_EQ(old.in(0x80, 0, 0, 2), (Bytes{0x03, 0x13}));
    EXPECT_FALSE(old.out(0x80));  // wrong direction
}

TEST(BoardProtocol, SensorRegistersInEveryWidth) {
    virt::BoardConfig c;
    c.sensor.registers[0x0100] = 0xCAFE;
    ModelBus bus(c);
    // 16-bit register, 16-bit value: wIndex is the register.
    EXPECT_TRUE(bus.out(0xE1, 0x2000, 0x3012, {0x0A, 0x0B}));
    EXPECT_EQ(bus.model->sensorRegister(0x3012), 0x0A0Bu);
    EXPECT_EQ(bus.in(0xE2, 0x2000, 0x3012, 3), (Bytes{0x0A, 0x0B, 0x00}));
    // A write keeps the value cut to its width; a read cuts what is stored to its own.
    EXPECT_TRUE(bus.out(0xE5, 0x2000, 0x0200, {0x12, 0x34, 0x56, 0x78}));
    EXPECT_EQ(bus.in(0xE6, 0x2000, 0x0200, 5), (Bytes{0x12, 0x34, 0x56, 0x78, 0x00}));
    EXPECT_EQ(bus.in(0xDF, 0x2000, 0x0200, 2), (Bytes{0x78, 0x00}));
    EXPECT_EQ(bus.in(0xE2, 0x2000, 0x0200, 3), (Bytes{0x56, 0x78, 0x00}));
    EXPECT_TRUE(bus.out(0xE0, 0x2000, 0x0200, {0xAB}));
    EXPECT_EQ(bus.model->sensorRegister(0x0200), 0xABu);
    // 8-bit register numbers travel in wIndex's high byte.
    EXPECT_TRUE(bus.out(0xD7, 0x2000, 0x1200, {0x5A}));
    EXPECT_EQ(bus.model->sensorRegister(0x12), 0x5Au);
    EXPECT_TRUE(bus.out(0xD5, 0x2000, 0x1300, {0xBE, 0xEF}));
    EXPECT_EQ(bus.in(0xD4, 0x2000, 0x1300, 3), (Bytes{0xBE, 0xEF, 0x00}));
    EXPECT_EQ(bus.in(0xD6, 0x2000, 0x1300, 2), (Bytes{0xEF, 0x00}));
    // Preset and never-written registers.
    EXPECT_EQ(bus.in(0xE2, 0x2000, 0x0100, 3), (Bytes{0xCA, 0xFE, 0x00}));
    EXPECT_EQ(bus.in(0xE6, 0x2000, 0x7777, 5), (Bytes{0, 0, 0, 0, 0}));
    EXPECT_FALSE(bus.model->sensorRegister(0x7777));
    // A write without its value bytes is refused.
    EXPECT_FALSE(bus.out(0xE5, 0x2000, 0x0300, {0x01, 0x02}));
    EXPECT_FALSE(bus.model->sensorRegister(0x0300));
}

TEST(BoardProtocol, NobodyAnswersAtOtherAddresses) {
    ModelBus bus;
    EXPECT_EQ(bus.in(0xE2, 0x3000, 0x0001, 3), (Bytes{0, 0, 1}));  // status: no device
    EXPECT_FALSE(bus.out(0xE1, 0x3000, 0x0001, {1, 2}));
    // The board controller knows only 8-bit registers with 8-bit values.
    EXPECT_EQ(bus.in(0xE2, 0x4600, 0x0000, 3), (Bytes{0, 0, 1}));
}

TEST(BoardProtocol, BoardControllerRegisters) {
    ModelBus bus;
    EXPECT_EQ(bus.readController(0), 35);
    EXPECT_EQ(bus.readController(5), 21);
    EXPECT_EQ(bus.readController(6), 6);
    EXPECT_EQ(bus.readController(7), 6);
    // The echo test of the board probe.
    EXPECT_TRUE(bus.writeController(4, 0x5C));
    EXPECT_EQ(bus.in(0xD6, 0x4600, 0x0400, 2), (Bytes{0x5C, 0x00}));
    // Identity registers are read-only.
    EXPECT_TRUE(bus.writeController(0, 99));
    EXPECT_EQ(bus.readController(0), 35);
    EXPECT_TRUE(bus.writeController(1, 0x0F));
    EXPECT_EQ(bus.model->boardControllerRegister(1), 0x0F);

    virt::BoardConfig c;
    c.boardController.id = 34;
    c.boardController.version = {18, 8, 17};
    ModelBus other(c);
    EXPECT_EQ(other.readController(0), 34);
    EXPECT_EQ(other.readController(7), 17);

    c.boardController.present = false;
    ModelBus none(c);
    EXPECT_FALSE(none.writeController(4, 0x11));
    EXPECT_EQ(none.in(0xD6, 0x4600, 0x0400, 2), (Bytes{0x00, 0x01}));
}

TEST(BoardProtocol, UserDataStoreHoldsTheSerial) {
    virt::BoardConfig c;
    c.serial = "SN-1";
    ModelBus bus(c);
    auto serial = bus.in(0xF7, 0x1C00 + 1008, 16 << 8, 16);
    ASSERT_TRUE(serial);
    EXPECT_EQ(*serial, (Bytes{'S', 'N', '-', '1', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));

    Bytes data(24);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
    EXPECT_TRUE(bus.out(0xF8, 0x1C00 + 1000, 24 << 8, data));
    EXPECT_EQ(bus.in(0xF7, 0x1C00 + 1000, 24 << 8, 24), data);
    EXPECT_EQ(bus.model->userData()[1000 + 23], data[23]);
    // Beyond the store, or below its base address: stalled.
    EXPECT_FALSE(bus.in(0xF7, 0x1C00 + 1000, 25 << 8, 25));
    EXPECT_FALSE(bus.out(0xF8, 0x1C00 + 1020, 8 << 8, Bytes(8)));
    EXPECT_FALSE(bus.in(0xF7, 0x1BFF, 1 << 8, 1));
}

uint64_t le64(const Bytes& b) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | b[i];
    return v;
}

TEST(BoardProtocol, ClockFollowsTheHostTimeSentInTheExchange) {
    ModelBus bus;
    auto first = bus.in(0xB0, 0, 0, 24);
    ASSERT_TRUE(first);
    ASSERT_EQ(first->size(), 24u);
    EXPECT_LT(le64(*first), 600'000'000u);  // counts from 0 since the board appeared

    const uint64_t host = 133'000'000'000'000'000ull;  // a FILETIME in 2022
    Bytes exchange(first->begin(), first->begin() + 8);
    for (int i = 0; i < 8; ++i) exchange.push_back(static_cast<uint8_t>(host >> (8 * i)));
    EXPECT_TRUE(bus.out(0xB1, 0, 0, exchange));
    uint64_t now = le64(*bus.in(0xB0, 0, 0, 24));
    EXPECT_GE(now, host);
    EXPECT_LT(now, host + 600'000'000u);
    EXPECT_GE(bus.model->boardTime(), now);
    EXPECT_FALSE(bus.out(0xB1, 0, 0, Bytes(8)));  // too short to carry a time
}

TEST(BoardProtocol, UnknownRequestsStallAndEverythingIsLogged) {
    ModelBus bus;
    EXPECT_FALSE(bus.out(0x42));
    EXPECT_FALSE(bus.in(0xA1, 0, 0, 0));  // start is an OUT request
    EXPECT_TRUE(bus.out(0xE1, 0x2000, 0x3012, {0x0A, 0x0B}));
    auto log = bus.model->controlRequests();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_FALSE(log[0].ok);
    EXPECT_EQ(log[0].setup.bRequest, 0x42);
    EXPECT_TRUE(log[2].ok);
    EXPECT_EQ(log[2].setup.wValue, 0x2000);
    EXPECT_EQ(log[2].setup.wIndex, 0x3012);
    EXPECT_EQ(log[2].data, (Bytes{0x0A, 0x0B}));
    bus.model->clearControlRequests();
    EXPECT_TRUE(bus.model->controlRequests().empty());
}

TEST(BoardProtocol, ControlFailFaults) {
    virt::BoardConfig c;
    virt::FaultConfig f;
    f.kind = virt::BoardFault::ControlFail;
    f.request = 0x80;
    f.count = 2;
    c.faults.push_back(f);
    ModelBus bus(c);
    EXPECT_TRUE(bus.in(0xB0, 0, 0, 24));  // another code is not touched
    EXPECT_FALSE(bus.in(0x80, 0, 0, 2));
    EXPECT_FALSE(bus.in(0x80, 0, 0, 2));
    EXPECT_TRUE(bus.in(0x80, 0, 0, 2));

    // Every vendor request, for good, once one frame has started.
    virt::FaultConfig all;
    all.kind = virt::BoardFault::ControlFail;
    all.count = 0;
    all.atFrame = 1;
    bus.model->addFault(all);
    EXPECT_TRUE(bus.out(0xA1));
    EXPECT_TRUE(bus.read(524288));  // frame 0
    EXPECT_TRUE(bus.read(524288));  // frame 1 has started
    EXPECT_FALSE(bus.in(0xB0, 0, 0, 24));
    EXPECT_FALSE(bus.out(0xA2));
    bus.model->clearFaults();
    EXPECT_TRUE(bus.out(0xA2));
}

}  // namespace
}  // namespace vexo::test
