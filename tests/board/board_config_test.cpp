// The JSON form of board configurations.
#include "driver/virtual/board_config.h"

#include <gtest/gtest.h>

namespace vexo::driver::virt {
namespace {

std::string parseError(const std::string& text) {
    std::vector<BoardConfig> boards(1);
    std::string error;
    EXPECT_FALSE(parseBoardsJson(text, boards, error)) << text;
    EXPECT_EQ(boards.size(), 1u) << "a refused document leaves the list alone";
    EXPECT_EQ(error.find('\n'), std::string::npos);
    return error;
}

TEST(BoardConfigJson, EmptyBoardIsTheDefaultBoard) {
    std::vector<BoardConfig> boards;
    std::string error;
    ASSERT_TRUE(parseBoardsJson(R"({"boards": [{}, {}]})", boards, error)) << error;
    ASSERT_EQ(boards.size(), 2u);
    const BoardConfig& b = boards[0];
    EXPECT_EQ(b.vendorId, 0x52CB);
    EXPECT_EQ(b.productId, 0x03F1);
    EXPECT_EQ(linkOf(b), Link::Super);
    EXPECT_EQ(usbGeneration(b), 3);
    EXPECT_FALSE(usesTrailerFraming(b));
    EXPECT_EQ(b.firmware, 0x0320);
    EXPECT_TRUE(b.boardController.present);
    EXPECT_EQ(b.boardController.id, 35);
    EXPECT_EQ(b.boardController.version, (std::array<uint8_t, 3>{21, 6, 6}));
    EXPECT_EQ(b.sensor.i2cAddress, 0x20);
    EXPECT_EQ(b.stream.width, 640u);
    EXPECT_EQ(b.stream.height, 480u);
    EXPECT_EQ(b.stream.pixelBytes, 1);
    EXPECT_EQ(b.stream.format, PixelFormat::Raw);
    EXPECT_EQ(b.stream.fps, 0);
    EXPECT_EQ(b.serial, "VEXO-VIRTUAL-000");
    EXPECT_EQ(boards[1].serial, "VEXO-VIRTUAL-001");
}

TEST(BoardConfigJson, EveryKeyInNumbersAndHexStrings) {
    std::vector<BoardConfig> boards;
    std::string error;
    ASSERT_TRUE(parseBoardsJson(R"({"boards": [{
        "vendorId": "0x04B4", "productId": 21195, "link": "high", "serial": "CAM-7",
        "firmware": "0x0313", "manufacturer": "Acme", "product": "Cam",
        "boardController": {"present": false, "id": "34", "version": [18, "0x08", 17]},
        "sensor": {"i2cAddress": "0x36", "registers": {"0x3012": "0x0A0B", "18": 7}},
        "stream": {"width": 1280, "height": "720", "pixelBytes": 2, "format": "RAW_D",
                   "bayer": "GBRG", "fps": 29.97},
        "faults": [{"kind": "controlFail", "request": "0xB0", "count": 0},
                   {"kind": "shortFrame", "atFrame": 3, "bytes": 100},
                   {"kind": "stall", "ms": 250}]}]})",
                                boards, error))
        << error;
    const BoardConfig& b = boards[0];
    EXPECT_EQ(b.vendorId, 0x04B4);
    EXPECT_EQ(b.productId, 0x52CB);
    EXPECT_EQ(usbGeneration(b), 2);
    EXPECT_TRUE(usesTrailerFraming(b));
    EXPECT_EQ(b.serial, "CAM-7");
    EXPECT_EQ(b.firmware, 0x0313);
    EXPECT_FALSE(b.boardController.present);
    EXPECT_EQ(b.boardController.id, 34);
    EXPECT_EQ(b.boardController.version, (std::array<uint8_t, 3>{18, 8, 17}));
    EXPECT_EQ(b.sensor.i2cAddress, 0x36);
    EXPECT_EQ(b.sensor.registers.at(0x3012), 0x0A0Bu);
    EXPECT_EQ(b.sensor.registers.at(18), 7u);
    EXPECT_EQ(b.stream.format, PixelFormat::RawD);
    EXPECT_EQ(b.stream.bayer, BayerOrder::GBRG);
    EXPECT_DOUBLE_EQ(b.stream.fps, 29.97);
    ASSERT_EQ(b.faults.size(), 3u);
    EXPECT_EQ(b.faults[0].kind, BoardFault::ControlFail);
    EXPECT_EQ(b.faults[0].request, 0xB0);
    EXPECT_EQ(b.faults[0].count, 0u);
    EXPECT_EQ(b.faults[1].atFrame, 3u);
    EXPECT_EQ(b.faults[1].bytes, 100u);
    EXPECT_EQ(b.faults[1].count, 1u);
    EXPECT_EQ(b.faults[2].ms, 250u);
}

TEST(BoardConfigJson, MalformedDocumentsNameTheKey) {
    EXPECT_EQ(parseError(R"({"boards": [{"stream": {"width": 0}}]})"),
              "boards[0].stream.width: expected 1..16384");
    EXPECT_EQ(parseError(R"({"boards": [{}, {"stream": {"format": "BMP"}}]})"),
              "boards[1].stream.format: expected one of RAW, MON, RGB, YUV, JPG, RAW_D, MON_D");
    EXPECT_EQ(parseError(R"({"boards": [{"stream": {"fsp": 30}}]})"),
              "boards[0].stream.fsp: unknown key");
    EXPECT_EQ(parseError(R"({"boards": [{"vendorId": "0x1FFFF"}]})"),
              "boards[0].vendorId: out of range (at most 65535)");
    EXPECT_EQ(parseError(R"({"boards": [{"firmware": "3.20"}]})").rfind("boards[0].firmware:", 0),
              0u);
    EXPECT_EQ(parseError(R"({"boards": [{"sensor": {"i2cAddress": -1}}]})"),
              "boards[0].sensor.i2cAddress: must not be negative");
    EXPECT_EQ(parseError(R"({"boards": [{"faults": [{"atFrame": 2}]}]})"),
              "boards[0].faults[0].kind: missing");
    EXPECT_EQ(parseError(R"({"boards": [{"faults": [{"kind": "explode"}]}]})")
                  .rfind("boards[0].faults[0].kind: expected one of stall,", 0),
              0u);
    EXPECT_EQ(parseError(R"({"boards": [{"productId": "0x52CB", "link": "super"}]})"),
              "boards[0].link: a USB 2 board cannot run at SuperSpeed");
    EXPECT_EQ(parseError(R"({"boards": [{"serial": "SEVENTEEN-CHARS-X"}]})"),
              "boards[0].serial: at most 16 characters");
    EXPECT_EQ(parseError(R"({"boards": [{"boardController": {"version": [1, 2]}}]})"),
              "boards[0].boardController.version: expected [major, minor, patch]");
    EXPECT_EQ(parseError(R"({"boards": [{"sensor": {"registers": {"0xZZ": 1}}}]})"),
              "boards[0].sensor.registers.0xZZ: expected a 16-bit register address");
    EXPECT_EQ(parseError(R"({"boards": [{"sensor": {"i2cAddress": "0x46"}}]})"),
              "boards[0].sensor.i2cAddress: 0x46 is the board controller's address");
    EXPECT_EQ(parseError(R"({"boards": [{"replay": {"usb": "a.pcap"}, "serial": "X"}]})"),
              "boards[0].serial: unknown key");
    EXPECT_EQ(parseError(R"({"boards": [{"replay": {"pcap": "a.pcap"}}]})"),
              "boards[0].replay.pcap: unknown key");
    EXPECT_EQ(parseError(R"({"boards": [{"replay": {"device": "1.2"}}]})"),
              "boards[0].replay.usb: expected a capture file");
    EXPECT_EQ(parseError(R"({"board": []})"), "board: unknown key");
    EXPECT_EQ(parseError(R"({})"), "boards: missing");
    EXPECT_EQ(parseError(R"({"boards": [{}]  )").rfind("document: not valid JSON", 0), 0u);
}

// A number no double holds is refused by the JSON parser itself; the line still names its key.
TEST(BoardConfigJson, OverflowingNumbersNameTheirKey) {
    EXPECT_EQ(parseError(R"({"boards": [{"stream": {"fps": 1e400}}]})"),
              "boards[0].stream.fps: number out of range (1e400)");
    EXPECT_EQ(parseError(R"({"boards": [{}, {"faults": [{"kind": "stall"}, {"ms": -1e400}]}]})"),
              "boards[1].faults[1].ms: number out of range (-1e400)");
    EXPECT_EQ(parseError(R"({"boards": [{"sensor": {"registers": [7, 1E+999]}}]})"),
              "boards[0].sensor.registers[1]: number out of range (1E+999)");
    EXPECT_EQ(parseError(R"({"boards": [[], 1e400]})"), "boards[1]: number out of range (1e400)");
    EXPECT_EQ(parseError("1e400"), "document: number out of range (1e400)");
}

}  // namespace
}  // namespace vexo::driver::virt
