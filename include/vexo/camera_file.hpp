// Camera configuration files: the text form of a CameraConfig plus what a sensor needs at
// start-up (its register list) and optional board commands. docs/camera-config.md describes
// the format. The vexo tool, the GStreamer element, C++ programs and the Python package (through
// its compiled part) all read files with this loader.
//
// Threading: plain values and reentrant functions.
#pragma once

#include <vexo/camera.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>
#include <vexo/cpp_export.hpp>
#include <vexo/isp_settings.hpp>

namespace vexo {

/// One line of the [registers] section: a sensor register write, or a pause.
struct RegisterStep {
    enum class Kind : uint8_t { Write, Delay };
    Kind kind = Kind::Write;
    uint32_t address = 0;
    uint32_t value = 0;  ///< the value for a write, milliseconds for a pause
    unsigned line = 0;   ///< line in the file, for messages about this step
};

/// One line of the [board] section: a host-to-device vendor request.
struct BoardCommand {
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    std::vector<uint8_t> data;
    unsigned line = 0;
};

/// One line of the [controls] section: a named control, its range, and how it reaches the
/// sensor (a field of one or more sensor registers, or a Lua control function).
struct ControlSpec {
    enum class Type : uint8_t { Integer, Boolean, Menu, Float };
    struct MenuItem {
        std::string name;
        double value = 0;
    };
    std::string name;
    Type type = Type::Integer;
    std::string unit;  ///< free text ("us", "dB"); empty when the file gives none
    double min = 0, max = 0, step = 1, defaultValue = 0;
    std::vector<MenuItem> menu;  ///< a menu's named values, as the file lists them

    /// Sensor registers holding the field, in the order the file lists them (and writes them);
    /// empty for a Lua control.
    std::vector<uint32_t> registers;
    /// True: the first register holds the most significant bits of the registers' joined bits.
    bool bigEndian = true;
    unsigned lowBit = 0, bitCount = 0;  ///< the field within the joined bits
    /// The field holds round(value * scale + offset); a float control is fixed-point this way.
    double scale = 1, offset = 0;
    std::string luaFunction;  ///< the Lua control function; empty for a register field
    unsigned line = 0;
};

/// Names as the [controls] section writes them: "integer", "boolean", "menu", "float".
VEXO_CPP_API std::string_view controlTypeName(ControlSpec::Type type);

struct CameraFile {
    std::string source;  ///< file name used in messages
    std::string name;    ///< optional "name" key; empty when absent
    CameraConfig config{};
    RawMode bayer = RAW_RG;
    std::vector<RegisterStep> registers;
    std::vector<BoardCommand> boardCommands;
    std::vector<ControlSpec> controls;
    /// The [colour] section (how the ISP renders this sensor); empty when the file has none.
    std::optional<ColourSettings> colour;
    /// The sensor's group-hold register ([controls] "group_hold = REGISTER"): set to 1 before
    /// and 0 after a control's writes to several registers, so that they take effect together.
    std::optional<uint32_t> groupHold;
};

/// What is wrong with a configuration file, and where.
struct VEXO_CPP_API CameraFileError {
    std::string source;   ///< file name given to the loader
    unsigned line = 0;    ///< 1-based line to blame; 0 when no line is (a missing section)
    std::string message;  ///< what is wrong, without the place
    /// The one-line message: "source:line: message", or "source: message" without a line.
    std::string text() const;
};

/// Parses the text of a configuration file. On failure returns false and fills `error`;
/// `out` is then unchanged.
VEXO_CPP_API bool parseCameraFile(std::string_view text, std::string_view source, CameraFile& out,
                                  CameraFileError& error);
/// The same, with the error as its one-line text().
VEXO_CPP_API bool parseCameraFile(std::string_view text, std::string_view source, CameraFile& out,
                                  std::string& error);

/// Reads and parses a file; a file that cannot be read is reported without a line, its
/// message the system's reason ("path: No such file or directory").
VEXO_CPP_API bool loadCameraFile(const std::string& path, CameraFile& out, CameraFileError& error);
VEXO_CPP_API bool loadCameraFile(const std::string& path, CameraFile& out, std::string& error);

/// The configuration of the default virtual board (640x480 RAW8 RGGB, sensor at 0x20 in
/// 16-bit address / 8-bit value mode), used when no file is given.
VEXO_CPP_API const CameraFile& defaultCameraFile();
/// The text the default configuration is parsed from (examples/configs/virtual-default.cfg
/// holds the same settings).
VEXO_CPP_API std::string_view defaultCameraFileText();

/// Names as the files write them: "RAW", "16_8", "RG".
VEXO_CPP_API std::string_view formatName(FormatMode format);
VEXO_CPP_API std::string_view i2cModeName(I2cMode mode);
VEXO_CPP_API std::string_view bayerName(RawMode bayer);
/// Accepts the short and the constant name ("16_8" or "I2C_MODE_16_8"), any letter case.
VEXO_CPP_API bool parseFormatName(std::string_view text, FormatMode& out);
VEXO_CPP_API bool parseI2cModeName(std::string_view text, I2cMode& out);
/// "RG", "RAW_RG" or "RGGB" (and the same for GR, GB, BG).
VEXO_CPP_API bool parseBayerName(std::string_view text, RawMode& out);

/// Decimal or 0x hexadecimal, no sign, at most `max`.
VEXO_CPP_API bool parseNumber(std::string_view text, uint64_t max, uint64_t& out);

/// Register address and value widths in bits of an I2C mode.
VEXO_CPP_API unsigned addressBits(I2cMode mode);
VEXO_CPP_API unsigned valueBits(I2cMode mode);

}  // namespace vexo
