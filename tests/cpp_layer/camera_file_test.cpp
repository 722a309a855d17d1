// The camera configuration file loader: what a file sets, and that every mistake is reported
// with the file and line a person has to fix.
#include <gtest/gtest.h>

#include <cstring>
#include <tuple>
#include <vexo/camera_file.hpp>

using namespace vexo;

namespace {

constexpr const char* kMinimal = R"([camera]
width = 640
height = 480
format = RAW
i2c_address = 0x20
i2c_mode = 16_8
)";

struct Parsed {
    bool ok;
    CameraFile file;
    std::string error;
};

Parsed parse(const std::string& text) {
    Parsed p;
    p.ok = parseCameraFile(text, "cam.cfg", p.file, p.error);
    return p;
}

// The minimal file plus a section header (when given) and one more line.
std::string withLine(const std::string& section, const std::string& line) {
    return std::string(kMinimal) + (section.empty() ? "" : section + "\n") + line + "\n";
}

// The minimal file with one of its lines replaced.
std::string replaced(const std::string& from, const std::string& to) {
    std::string text = kMinimal;
    text.replace(text.find(from), from.size(), to);
    return text;
}

}  // namespace

TEST(CameraFile, FullFileSetsEveryField) {
    const Parsed p = parse(R"(# a comment line
[camera]
name = test sensor     # trailing comment
width = 0x500
height = 720
pixel_bytes = 2
pixel_bits = 10
format = format_mode_mon
bayer = BGGR
i2c_address = 0x36
i2c_mode = I2C_MODE_16_16
transfer_level = 4
camera_type = 7
sensor_vid = 0x1234

[registers]
0x3012 0x0A0B
delay 5
0x0100 1

[board]
0xD7 0x4600 0x0300 0x40
0xA1 0 0
)");
    ASSERT_TRUE(p.ok) << p.error;
    const CameraConfig& c = p.file.config;
    EXPECT_EQ(p.file.name, "test sensor");
    EXPECT_EQ(c.u32Width, 1280u);
    EXPECT_EQ(c.u32Height, 720u);
    EXPECT_EQ(c.u8PixelBytes, 2);
    EXPECT_EQ(c.u8PixelBits, 10);
    EXPECT_EQ(c.emImageFmtMode, FORMAT_MODE_MON);
    EXPECT_EQ(p.file.bayer, RAW_BG);
    EXPECT_EQ(c.u32I2cAddr, 0x36u);
    EXPECT_EQ(c.emI2cMode, I2C_MODE_16_16);
    EXPECT_EQ(c.u32TransLvl, 4u);
    EXPECT_EQ(c.u32CameraType, 7u);
    EXPECT_EQ(c.u16Vid, 0x1234);

    ASSERT_EQ(p.file.registers.size(), 3u);
    EXPECT_EQ(p.file.registers[0].kind, RegisterStep::Kind::Write);
    EXPECT_EQ(p.file.registers[0].address, 0x3012u);
    EXPECT_EQ(p.file.registers[0].value, 0x0A0Bu);
    EXPECT_EQ(p.file.registers[0].line, 17u);
    EXPECT_EQ(p.file.registers[1].kind, RegisterStep::Kind::Delay);
    EXPECT_EQ(p.file.registers[1].value, 5u);

    ASSERT_EQ(p.file.boardCommands.size(), 2u);
    EXPECT_EQ(p.file.boardCommands[0].request, 0xD7);
    EXPECT_EQ(p.file.boardCommands[0].value, 0x4600);
    EXPECT_EQ(p.file.boardCommands[0].index, 0x0300);
    EXPECT_EQ(p.file.boardCommands[0].data, std::vector<uint8_t>{0x40});
    EXPECT_TRUE(p.file.boardCommands[1].data.empty());
}

TEST(CameraFile, DefaultsForOptionalKeys) {
    const Parsed p = parse(kMinimal);
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.file.config.u8PixelBytes, 1);
    EXPECT_EQ(p.file.config.u8PixelBits, 8);
    EXPECT_EQ(p.file.bayer, RAW_RG);
    EXPECT_EQ(p.file.config.u32TransLvl, 0u);

    const Parsed two = parse(std::string(kMinimal) + "pixel_bytes = 2\n");
    ASSERT_TRUE(two.ok) << two.error;
    EXPECT_EQ(two.file.config.u8PixelBits, 16) << "pixel bits default to all bits of the bytes";
}

TEST(CameraFile, ErrorsNameFileAndLine) {
    struct Case {
        std::string text;
        std::string expected;  // the whole message
    };
    const std::vector<Case> cases{
        {"width = 3\n", "cam.cfg:1: text before the first section; start the file with [camera]"},
        {withLine("", "widht = 5"), "cam.cfg:7: unknown key 'widht' in [camera]"},
        {withLine("", "width = 320"), "cam.cfg:7: key 'width' already set on line 2"},
        {withLine("", "pixel_bytes = 3"),
         "cam.cfg:7: pixel_bytes '3' is not a number from 0 to 2 (decimal or 0x hex)"},
        {replaced("format = RAW", "format = BMP"),
         "cam.cfg:4: unknown format 'BMP' (RAW, MON, RGB, YUV, JPG, RAW_D, MON_D)"},
        {withLine("", "bayer = RB"), "cam.cfg:7: unknown bayer order 'RB' (RG, GR, GB, BG)"},
        {withLine("[sensor]", ""),
         "cam.cfg:7: unknown section '[sensor]' (known: [camera], [registers], [board], "
         "[controls], [colour])"},
        {withLine("[registers]", "0x3012"),
         "cam.cfg:8: expected 'ADDRESS VALUE' in [registers], got '0x3012'"},
        {withLine("[registers]", "0x3012 0x100"),
         "cam.cfg:8: register value exceeds the 8 bits of i2c_mode 16_8"},
        {withLine("[registers]", "0x10000 1"),
         "cam.cfg:8: register address '0x10000' is not a number from 0 to 65535 (decimal or 0x "
         "hex)"},
        {withLine("[registers]", "0x3012 0x1g"),
         "cam.cfg:8: register value '0x1g' is not a number from 0 to 4294967295 (decimal or 0x "
         "hex)"},
        {withLine("[board]", "0xD7 0x4600"),
         "cam.cfg:8: expected 'REQUEST VALUE INDEX [DATA BYTES...]' in [board]"},
        {withLine("[board]", "0xD7 0 0 256"),
         "cam.cfg:8: data byte '256' is not a number from 0 to 255 (decimal or 0x hex)"},
        {"[camera]\nwidth = 640\nheight = 480\nformat = RAW\ni2c_mode = 8_8\n",
         "cam.cfg:1: [camera] lacks the key 'i2c_address'"},
        {"# nothing\n", "cam.cfg: no [camera] section"},
        {withLine("", "pixel_bits = 9"),
         "cam.cfg:7: pixel_bits 9 exceeds the 8 bits of 1 pixel byte(s)"},
        {withLine("[camera]", ""), "cam.cfg:7: section [camera] appears twice"},
        {withLine("[registers]", "delay"), "cam.cfg:8: expected 'delay MILLISECONDS'"},
        {"[registers]\n0x3012 0x100\n" + std::string(kMinimal),
         "cam.cfg:2: register value exceeds the 8 bits of i2c_mode 16_8"},
        {replaced("width = 640", "width = 0"), "cam.cfg:2: width must be 1..16384"},
        {replaced("height = 480", "height = 16385"),
         "cam.cfg:3: height '16385' is not a number from 0 to 16384 (decimal or 0x hex)"},
    };
    for (const Case& c : cases) {
        const Parsed p = parse(c.text);
        EXPECT_FALSE(p.ok) << c.text;
        EXPECT_EQ(p.error, c.expected) << c.text;
        // The same mistake in parts: the line alone, the message without the place.
        CameraFile unused;
        CameraFileError parts;
        ASSERT_FALSE(parseCameraFile(c.text, "cam.cfg", unused, parts));
        EXPECT_EQ(parts.text(), c.expected);
        EXPECT_TRUE(c.expected.ends_with(": " + parts.message)) << parts.message;
    }
}

// Each bad [controls] entry is refused with the line of the entry at fault (line 8 is the first
// line after the section header) and a reason a person can act on.
TEST(CameraFile, ControlEntriesRefusedWithTheirLine) {
    const std::string good = "gain type=integer min=0 max=255 registers=0x3000\n";
    struct Case {
        std::string lines;  // after "[controls]"
        std::string expected;
    };
    const std::vector<Case> cases{
        {good + "dgain type=integer min=0 max=15 registers=0x3000 bits=0..3",
         "cam.cfg:9: control 'dgain' overlaps the bits of control 'gain' (line 8) in register "
         "0x3000"},
        {good + "a type=boolean registers=0x3001,0x3002 order=little bits=7",
         "cam.cfg:9: register 0x3002 holds none of the field's bits"},
        {"x type=integer min=0 max=3 registers=0x3001,0x3002 bits=7..8\n"
         "y type=boolean registers=0x3002 bits=7",
         "cam.cfg:9: control 'y' overlaps the bits of control 'x' (line 8) in register 0x3002"},
        {"gain min=0 max=10 default=11 registers=0x3000",
         "cam.cfg:8: default 11 is outside the range"},
        {"gain min=0 max=10 default=-1 registers=0x3000",
         "cam.cfg:8: default -1 is outside the range"},
        {"gain min=0 max=10 step=0 registers=0x3000", "cam.cfg:8: step must be above 0"},
        {"gain type=float min=0 max=1 step=-0.5 registers=0x3000",
         "cam.cfg:8: step must be above 0"},
        {"gain min=10 max=0 registers=0x3000", "cam.cfg:8: min is above max"},
        {"gain min=0 max=1.5 registers=0x3000",
         "cam.cfg:8: an integer control's min, max and step are whole numbers"},
        {"gain min=0 max=10 registers=0x13000",
         "cam.cfg:8: register address '0x13000' is not a number from 0 to 65535 (decimal or 0x "
         "hex)"},
        {"gain min=0 max=256 registers=0x3000",
         "cam.cfg:8: the range maps to field values 0..256, outside the 8-bit field"},
        {"gain min=0 max=1e15 registers=0x3000",
         "cam.cfg:8: the range maps to field values 0..1000000000000000, outside the 8-bit "
         "field"},
        {"gain min=0 max=1e300 lua=g", "cam.cfg:8: min and max lie within -2^53..2^53"},
        {"gain min=0 max=10 offset=-1 registers=0x3000",
         "cam.cfg:8: the range maps to field values -1..9, outside the 8-bit field"},
        {"gain min=0 max=10 registers=0x3000 bits=4..8",
         "cam.cfg:8: bits 4..8 pass the 8 bits of i2c_mode 16_8 of 1 register(s)"},
        {"gain min=0 max=10 registers=0x3000,0x3000", "cam.cfg:8: register 0x3000 listed twice"},
        {"gain min=0 max=10",
         "cam.cfg:8: control 'gain' needs either registers=... or lua=FUNCTION"},
        {"gain min=0 max=10 registers=0x3000 lua=g",
         "cam.cfg:8: control 'gain' needs either registers=... or lua=FUNCTION"},
        {"gain type=integer max=10 registers=0x3000",
         "cam.cfg:8: control 'gain' needs min and max"},
        {"gain type=dial min=0 max=1 registers=0x3000",
         "cam.cfg:8: unknown control type 'dial' (integer, boolean, menu, float)"},
        {"gain min=0 max=1 colour=red registers=0x3000",
         "cam.cfg:8: unknown key 'colour' for control 'gain'"},
        {"gain min=0 max=1 min=0 registers=0x3000", "cam.cfg:8: key 'min' given twice"},
        {"gain min=zero max=1 registers=0x3000", "cam.cfg:8: min 'zero' is not a number"},
        {"gain min=nan max=1 registers=0x3000", "cam.cfg:8: min 'nan' is not a number"},
        {"gain min=0 max=1 registers=0x3000 scale=0", "cam.cfg:8: scale must be above 0"},
        {"gain min=0 max=1 registers=0x3000 order=middle",
         "cam.cfg:8: order is 'big' (first register most significant) or 'little'"},
        {"gain min=0 max=1 registers=0x3000 bits=5..2",
         "cam.cfg:8: bits LOW..HIGH has its high bit below its low bit"},
        {good + "gain type=boolean registers=0x3001",
         "cam.cfg:9: control 'gain' already defined on line 8"},
        {"9lives type=boolean registers=0x3001",
         "cam.cfg:8: control name '9lives' must be letters, digits, '_', '-' or '.', not starting "
         "with a digit"},
        {"m type=menu values=a:0,b:0 registers=0x3001",
         "cam.cfg:8: menu entry 'b:0' repeats a name or number"},
        {"m type=menu values=a:0,b registers=0x3001",
         "cam.cfg:8: menu entry 'b' is not NAME:WHOLE_NUMBER"},
        {"m type=menu values=a:0,b:1 default=c registers=0x3001",
         "cam.cfg:8: default 'c' is not a number"},
        {"m type=menu values=a:0,b:2 default=1 registers=0x3001",
         "cam.cfg:8: default 1 is none of the menu's values"},
        {"m type=menu registers=0x3001", "cam.cfg:8: a menu control needs values=NAME:NUMBER,..."},
        {"b type=boolean min=0 max=1 registers=0x3001",
         "cam.cfg:8: a boolean is 0 or 1; drop min, max and step"},
        {"f type=float min=0 max=10 lua=set_f scale=2",
         "cam.cfg:8: bits, order, scale and offset describe register fields, not lua"},
        {"exposure 100", "cam.cfg:8: expected KEY=VALUE after the control's name, got '100'"},
        {good + "group_hold = 0x3000",
         "cam.cfg:8: control 'gain' uses the group_hold register 0x3000"},
        {"group_hold = 0x0104\ngroup_hold=0x0105", "cam.cfg:9: group_hold already set on line 8"},
        {"group_hold = hold",
         "cam.cfg:8: group_hold register 'hold' is not a number from 0 to 4294967295 (decimal "
         "or 0x hex)"},
        {"group_hold = 0x10000",
         "cam.cfg:8: group_hold register exceeds the 16 bits of i2c_mode 16_8"},
    };
    for (const Case& c : cases) {
        const Parsed p = parse(withLine("[controls]", c.lines));
        EXPECT_FALSE(p.ok) << c.lines;
        EXPECT_EQ(p.error, c.expected) << c.lines;
    }
    // Register widths come from i2c_mode wherever it stands: 8-bit addresses refuse 0x3000.
    std::string text = kMinimal;
    text.replace(text.find("16_8"), 4, "8_16");
    EXPECT_EQ(parse(text + "[controls]\n" + good).error,
              "cam.cfg:8: register address exceeds the 8 bits of i2c_mode 8_16");
}

TEST(CameraFile, ControlEntriesDescribeTheirField) {
    const Parsed p = parse(withLine("[controls]",
                                    "exposure type=integer unit=us min=1 max=65535 default=0x400 "
                                    "registers=0x3500,0x3501,0x3502 bits=4..23\n"
                                    "gain type=float unit=dB min=0 max=24 scale=16 offset=8 "
                                    "registers=0x3508,0x3509 order=little bits=0..9\n"
                                    "mode type=menu values=off:0,on:2 default=on registers=0x3600\n"
                                    "dgain min=0 max=100 lua=set_dgain\n"
                                    "group_hold = 0x0104"));
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.file.groupHold, 0x0104u);
    EXPECT_FALSE(parse(kMinimal).file.groupHold);
    ASSERT_EQ(p.file.controls.size(), 4u);
    const ControlSpec& e = p.file.controls[0];
    EXPECT_EQ(e.unit, "us");
    EXPECT_EQ(e.defaultValue, 1024);
    EXPECT_EQ(e.registers, (std::vector<uint32_t>{0x3500, 0x3501, 0x3502}));
    EXPECT_TRUE(e.bigEndian);
    EXPECT_EQ(e.lowBit, 4u);
    EXPECT_EQ(e.bitCount, 20u);
    EXPECT_EQ(e.line, 8u);
    const ControlSpec& g = p.file.controls[1];
    EXPECT_EQ(g.type, ControlSpec::Type::Float);
    EXPECT_DOUBLE_EQ(g.step, 1.0 / 16);  // a float's step is one unit of its fixed point
    EXPECT_FALSE(g.bigEndian);
    EXPECT_EQ(g.bitCount, 10u);
    const ControlSpec& m = p.file.controls[2];
    EXPECT_EQ(m.min, 0);
    EXPECT_EQ(m.max, 2);
    EXPECT_EQ(m.defaultValue, 2);
    EXPECT_EQ(m.bitCount, 8u);  // the whole register when bits= is absent
    EXPECT_EQ(p.file.controls[3].luaFunction, "set_dgain");
    EXPECT_TRUE(p.file.controls[3].registers.empty());
}

TEST(CameraFile, RegisterWidthsFollowTheMode) {
    std::string text = kMinimal;
    text.replace(text.find("16_8"), 4, "8_16");
    EXPECT_FALSE(parse(text + "[registers]\n0x3012 1\n").ok);
    EXPECT_TRUE(parse(text + "[registers]\n0x30 0xFFFF\n").ok);
    text.replace(text.find("8_16"), 4, "16_32");
    EXPECT_TRUE(parse(text + "[registers]\n0x3012 0xFFFFFFFF\n").ok);
}

TEST(CameraFile, NumbersAndNames) {
    uint64_t v = 0;
    EXPECT_TRUE(parseNumber("0x1F", 0xFF, v));
    EXPECT_EQ(v, 0x1Fu);
    EXPECT_TRUE(parseNumber("4294967295", 0xFFFFFFFF, v));
    EXPECT_FALSE(parseNumber("4294967296", 0xFFFFFFFF, v));
    EXPECT_FALSE(parseNumber("0x", 0xFF, v));
    EXPECT_FALSE(parseNumber("-1", 0xFF, v));
    EXPECT_FALSE(parseNumber("3", 2, v)) << "a single digit above the limit";
    EXPECT_FALSE(parseNumber("0xF", 9, v));
    EXPECT_FALSE(parseNumber("1e3", 0xFFFF, v));
    EXPECT_FALSE(parseNumber("99999999999999999999999", ~uint64_t{0}, v)) << "overflow";

    RawMode b{};
    EXPECT_TRUE(parseBayerName("gbrg", b));
    EXPECT_EQ(b, RAW_GB);
    EXPECT_TRUE(parseBayerName("RAW_GR", b));
    EXPECT_EQ(b, RAW_GR);
    FormatMode f{};
    EXPECT_TRUE(parseFormatName("raw_d", f));
    EXPECT_EQ(f, FORMAT_MODE_RAW_D);
    for (FormatMode m : {FORMAT_MODE_RAW, FORMAT_MODE_RGB, FORMAT_MODE_YUV, FORMAT_MODE_JPG,
                         FORMAT_MODE_MON, FORMAT_MODE_RAW_D, FORMAT_MODE_MON_D}) {
        ASSERT_TRUE(parseFormatName(formatName(m), f));
        EXPECT_EQ(f, m);
    }
    I2cMode i{};
    for (I2cMode m : {I2C_MODE_8_8, I2C_MODE_8_16, I2C_MODE_16_8, I2C_MODE_16_16, I2C_MODE_16_32}) {
        ASSERT_TRUE(parseI2cModeName(i2cModeName(m), i));
        EXPECT_EQ(i, m);
    }
}

TEST(CameraFile, UnreadableFileIsReportedWithItsPathAndReason) {
    CameraFile f;
    std::string error;
    EXPECT_FALSE(loadCameraFile("/nonexistent/cam.cfg", f, error));
    EXPECT_EQ(error, "/nonexistent/cam.cfg: No such file or directory");
    // A directory opens but cannot be read: its reason, not "no [camera] section".
    CameraFileError failure;
    EXPECT_FALSE(loadCameraFile(VEXO_SOURCE_DIR "/examples", f, failure));
    EXPECT_EQ(failure.line, 0u);
    EXPECT_EQ(failure.message, "Is a directory");
    EXPECT_EQ(failure.text(), VEXO_SOURCE_DIR "/examples: Is a directory");
}

TEST(CameraFile, ShippedExamplesLoadAndTheDefaultMatchesItsFile) {
    for (const char* name :
         {"virtual-default.cfg", "usb2-mono10.cfg", "jpeg-720p.cfg", "sensor-controls.cfg"}) {
        CameraFile f;
        std::string error;
        EXPECT_TRUE(
            loadCameraFile(std::string(VEXO_SOURCE_DIR "/examples/configs/") + name, f, error))
            << error;
    }
    CameraFile shipped;
    std::string error;
    ASSERT_TRUE(
        loadCameraFile(VEXO_SOURCE_DIR "/examples/configs/virtual-default.cfg", shipped, error))
        << error;
    const CameraFile& builtIn = defaultCameraFile();
    EXPECT_EQ(0, std::memcmp(&shipped.config, &builtIn.config, sizeof(CameraConfig)));
    EXPECT_EQ(shipped.bayer, builtIn.bayer);
    ASSERT_EQ(shipped.registers.size(), builtIn.registers.size());
    for (size_t i = 0; i < shipped.registers.size(); ++i) {
        EXPECT_EQ(shipped.registers[i].address, builtIn.registers[i].address);
        EXPECT_EQ(shipped.registers[i].value, builtIn.registers[i].value);
    }
    // The virtual sensor's exposure controls and group hold, the same in both.
    ASSERT_EQ(shipped.controls.size(), builtIn.controls.size());
    for (size_t i = 0; i < shipped.controls.size(); ++i) {
        const ControlSpec &a = shipped.controls[i], &b = builtIn.controls[i];
        EXPECT_EQ(a.name, b.name);
        EXPECT_EQ(std::tie(a.min, a.max, a.step, a.defaultValue, a.scale, a.lowBit, a.bitCount),
                  std::tie(b.min, b.max, b.step, b.defaultValue, b.scale, b.lowBit, b.bitCount))
            << a.name;
        EXPECT_EQ(a.registers, b.registers) << a.name;
    }
    EXPECT_EQ(shipped.groupHold, builtIn.groupHold);
    EXPECT_EQ(builtIn.groupHold, 0x0104u);
    // The default virtual board: 640x480 RAW8 RGGB, sensor 0x20 in 16_8 mode.
    EXPECT_EQ(builtIn.config.u32Width, 640u);
    EXPECT_EQ(builtIn.config.u32Height, 480u);
    EXPECT_EQ(builtIn.config.emImageFmtMode, FORMAT_MODE_RAW);
    EXPECT_EQ(builtIn.config.u32I2cAddr, 0x20u);
    EXPECT_EQ(builtIn.config.emI2cMode, I2C_MODE_16_8);
}
