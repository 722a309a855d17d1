#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <vexo/camera_file.hpp>

#include "colour_section.h"

namespace vexo {

namespace {

struct FormatEntry {
    FormatMode mode;
    std::string_view name;
};
constexpr std::array<FormatEntry, 7> kFormats{{
    {FORMAT_MODE_RAW, "RAW"},
    {FORMAT_MODE_RGB, "RGB"},
    {FORMAT_MODE_YUV, "YUV"},
    {FORMAT_MODE_JPG, "JPG"},
    {FORMAT_MODE_MON, "MON"},
    {FORMAT_MODE_RAW_D, "RAW_D"},
    {FORMAT_MODE_MON_D, "MON_D"},
}};

struct I2cEntry {
    I2cMode mode;
    std::string_view name;
    unsigned addressBits, valueBits;
};
constexpr std::array<I2cEntry, 5> kI2cModes{{
    {I2C_MODE_8_8, "8_8", 8, 8},
    {I2C_MODE_8_16, "8_16", 8, 16},
    {I2C_MODE_16_8, "16_8", 16, 8},
    {I2C_MODE_16_16, "16_16", 16, 16},
    {I2C_MODE_16_32, "16_32", 16, 32},
}};

struct BayerEntry {
    RawMode mode;
    std::string_view name, pattern;
};
constexpr std::array<BayerEntry, 4> kBayers{{
    {RAW_RG, "RG", "RGGB"},
    {RAW_GR, "GR", "GRBG"},
    {RAW_GB, "GB", "GBRG"},
    {RAW_BG, "BG", "BGGR"},
}};

std::string upper(std::string_view text) {
    std::string s(text);
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return s;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

std::vector<std::string_view> splitWords(std::string_view s) {
    std::vector<std::string_view> words;
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
        size_t start = i;
        while (i < s.size() && !std::isspace(static_cast<unsigned char>(s[i]))) ++i;
        if (i > start) words.push_back(s.substr(start, i - start));
    }
    return words;
}

enum class Section { None, Camera, Registers, Board, Controls, Colour };

// Keys of [camera]; `required` ones must appear in every file.
struct KeySpec {
    std::string_view key;
    bool required;
};
constexpr std::array<KeySpec, 12> kCameraKeys{{
    {"name", false},
    {"width", true},
    {"height", true},
    {"format", true},
    {"pixel_bytes", false},
    {"pixel_bits", false},
    {"bayer", false},
    {"i2c_address", true},
    {"i2c_mode", true},
    {"transfer_level", false},
    {"camera_type", false},
    {"sensor_vid", false},
}};

// A number of a control's range: decimal with sign and fraction, or 0x hex.
bool parseReal(std::string_view text, double& out) {
    uint64_t whole = 0;
    if (parseNumber(text, ~uint64_t{0} >> 11, whole)) {
        out = static_cast<double>(whole);
        return true;
    }
    if (text.empty() || text.size() > 40) return false;
    const std::string copy(text);
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(copy.c_str(), &end);
    // strtod also takes "inf", "nan" and hex floats; a range is plain decimal.
    if (errno || end != copy.c_str() + copy.size() ||
        copy.find_first_not_of("+-.0123456789eE") != std::string::npos || !std::isfinite(value))
        return false;
    out = value;
    return true;
}

bool validName(std::string_view name) {
    if (name.empty() || std::isdigit(static_cast<unsigned char>(name[0]))) return false;
    return std::all_of(name.begin(), name.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '_' || c == '-' || c == '.';
    });
}

std::string hexText(uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", v);
    return text;
}

std::string wholeText(double v) {
    char text[48];
    std::snprintf(text, sizeof text, "%.0f", v);
    return text;
}

bool isWhole(double v) {
    return std::floor(v) == v;
}

std::vector<std::string_view> splitList(std::string_view s) {
    std::vector<std::string_view> items;
    size_t start = 0;
    while (start <= s.size()) {
        size_t comma = s.find(',', start);
        if (comma == std::string_view::npos) comma = s.size();
        items.push_back(s.substr(start, comma - start));
        start = comma + 1;
    }
    return items;
}

// The keys a control line may carry; the index is its place in a ControlLine's `seen`.
constexpr std::array<std::string_view, 13> kControlKeys{
    "type",      "unit", "min",   "max",   "step",   "default", "values",
    "registers", "bits", "order", "scale", "offset", "lua"};
enum ControlKey : size_t {
    kType,
    kUnit,
    kMin,
    kMax,
    kStep,
    kDefault,
    kValues,
    kRegisters,
    kBits,
    kOrder,
    kScale,
    kOffset,
    kLua
};

// A control line's KEY=VALUE words, by key.
struct ControlWords {
    std::array<std::string_view, kControlKeys.size()> value{};
    std::array<bool, kControlKeys.size()> seen{};
};

class Parser {
  public:
    Parser(std::string_view source, CameraFile& out, CameraFileError& error)
        : source_(source), out_(out), error_(error) {}

    bool run(std::string_view text);

  private:
    bool fail(std::string message, unsigned line) {
        error_.source = std::string(source_);
        error_.line = line;
        error_.message = std::move(message);
        return false;
    }
    bool fail(std::string message) { return fail(std::move(message), line_); }
    bool number(std::string_view word, uint64_t max, uint64_t& value, std::string_view what) {
        if (parseNumber(word, max, value)) return true;
        std::ostringstream msg;
        msg << what << " '" << word << "' is not a number from 0 to " << max
            << " (decimal or 0x hex)";
        return fail(msg.str());
    }
    bool cameraLine(std::string_view line);
    bool registerLine(std::string_view line);
    bool boardLine(std::string_view line);
    bool controlLine(std::string_view line);
    bool groupHoldLine(std::string_view line);
    bool checkGroupHold();
    bool controlName(std::string_view word, ControlSpec& c);
    bool controlWords(const std::vector<std::string_view>& words, const std::string& name,
                      ControlWords& w);
    bool controlReal(const ControlWords& w, ControlKey k, double& out);
    bool controlType(const ControlWords& w, ControlSpec& c);
    bool controlRange(const ControlWords& w, ControlSpec& c);
    bool menuRange(const ControlWords& w, ControlSpec& c);
    bool controlDefault(const ControlWords& w, ControlSpec& c);
    bool luaTarget(const ControlWords& w, ControlSpec& c);
    bool registerTarget(const ControlWords& w, ControlSpec& c);
    bool fieldBits(std::string_view bits, ControlSpec& c);
    bool checkControlWidths();
    bool finish();

    std::string_view source_;
    CameraFile& out_;
    CameraFileError& error_;
    unsigned line_ = 0;
    Section section_ = Section::None;
    std::array<unsigned, kCameraKeys.size()> seenAt_{};  // line of each key, 0 = absent
    std::array<bool, 5> sectionSeen_{};
    ColourSection colour_;
    unsigned cameraLineNo_ = 0;
    unsigned holdLine_ = 0;  // line of group_hold
};

bool Parser::run(std::string_view text) {
    out_ = CameraFile{};
    out_.source = std::string(source_);
    out_.config.u8PixelBytes = 1;

    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view raw = text.substr(pos, end - pos);
        pos = end + 1;
        ++line_;

        if (size_t hash = raw.find('#'); hash != std::string_view::npos) raw = raw.substr(0, hash);
        std::string_view line = trim(raw);
        if (line.empty()) {
            if (end == text.size()) break;
            continue;
        }

        if (line.front() == '[') {
            if (line.back() != ']')
                return fail("section header '" + std::string(line) + "' lacks its ']'");
            std::string name = upper(trim(line.substr(1, line.size() - 2)));
            Section next;
            if (name == "CAMERA")
                next = Section::Camera;
            else if (name == "REGISTERS")
                next = Section::Registers;
            else if (name == "BOARD")
                next = Section::Board;
            else if (name == "CONTROLS")
                next = Section::Controls;
            else if (name == "COLOUR")
                next = Section::Colour;
            else
                return fail("unknown section '" + std::string(line) +
                            "' (known: [camera], [registers], [board], [controls], [colour])");
            size_t slot = static_cast<size_t>(next) - 1;
            if (sectionSeen_[slot]) return fail("section " + std::string(line) + " appears twice");
            sectionSeen_[slot] = true;
            section_ = next;
            if (next == Section::Camera) cameraLineNo_ = line_;
        } else {
            bool ok = false;
            switch (section_) {
                case Section::None:
                    return fail("text before the first section; start the file with [camera]");
                case Section::Camera:
                    ok = cameraLine(line);
                    break;
                case Section::Registers:
                    ok = registerLine(line);
                    break;
                case Section::Board:
                    ok = boardLine(line);
                    break;
                case Section::Controls:
                    ok = controlLine(line);
                    break;
                case Section::Colour:
                    if (std::string why; !(ok = colour_.line(line, line_, why))) return fail(why);
                    break;
            }
            if (!ok) return false;
        }
        if (end == text.size()) break;
    }
    return finish();
}

bool Parser::cameraLine(std::string_view line) {
    size_t eq = line.find('=');
    if (eq == std::string_view::npos)
        return fail("expected 'key = value' in [camera], got '" + std::string(line) + "'");
    std::string_view key = trim(line.substr(0, eq));
    std::string_view value = trim(line.substr(eq + 1));

    auto known = std::find_if(kCameraKeys.begin(), kCameraKeys.end(),
                              [&](const KeySpec& k) { return k.key == key; });
    if (known == kCameraKeys.end())
        return fail("unknown key '" + std::string(key) + "' in [camera]");
    size_t slot = static_cast<size_t>(known - kCameraKeys.begin());
    if (seenAt_[slot])
        return fail("key '" + std::string(key) + "' already set on line " +
                    std::to_string(seenAt_[slot]));
    seenAt_[slot] = line_;
    if (value.empty()) return fail("key '" + std::string(key) + "' has no value");

    CameraConfig& cfg = out_.config;
    uint64_t n = 0;
    if (key == "name") {
        out_.name = std::string(value);
    } else if (key == "width" || key == "height") {
        if (!number(value, 16384, n, key)) return false;
        if (n == 0) return fail(std::string(key) + " must be 1..16384");
        (key == "width" ? cfg.u32Width : cfg.u32Height) = static_cast<uint32_t>(n);
    } else if (key == "pixel_bytes") {
        if (!number(value, 2, n, key)) return false;
        if (n == 0) return fail("pixel_bytes must be 1 or 2");
        cfg.u8PixelBytes = static_cast<uint8_t>(n);
    } else if (key == "pixel_bits") {
        if (!number(value, 16, n, key)) return false;
        if (n == 0) return fail("pixel_bits must be 1..16");
        cfg.u8PixelBits = static_cast<uint8_t>(n);
    } else if (key == "format") {
        if (!parseFormatName(value, cfg.emImageFmtMode))
            return fail("unknown format '" + std::string(value) +
                        "' (RAW, MON, RGB, YUV, JPG, RAW_D, MON_D)");
    } else if (key == "bayer") {
        if (!parseBayerName(value, out_.bayer))
            return fail("unknown bayer order '" + std::string(value) + "' (RG, GR, GB, BG)");
    } else if (key == "i2c_address") {
        if (!number(value, 0xFF, n, key)) return false;
        cfg.u32I2cAddr = static_cast<uint32_t>(n);
    } else if (key == "i2c_mode") {
        if (!parseI2cModeName(value, cfg.emI2cMode))
            return fail("unknown i2c_mode '" + std::string(value) +
                        "' (8_8, 8_16, 16_8, 16_16, 16_32)");
    } else if (key == "transfer_level") {
        if (!number(value, 0xFFFFFFFF, n, key)) return false;
        cfg.u32TransLvl = static_cast<uint32_t>(n);
    } else if (key == "camera_type") {
        if (!number(value, 0xFFFFFFFF, n, key)) return false;
        cfg.u32CameraType = static_cast<uint32_t>(n);
    } else if (key == "sensor_vid") {
        if (!number(value, 0xFFFF, n, key)) return false;
        cfg.u16Vid = static_cast<uint16_t>(n);
    }
    return true;
}

bool Parser::registerLine(std::string_view line) {
    std::vector<std::string_view> words = splitWords(line);
    RegisterStep step;
    step.line = line_;
    uint64_t a = 0, v = 0;
    if (upper(words[0]) == "DELAY") {
        if (words.size() != 2) return fail("expected 'delay MILLISECONDS'");
        if (!number(words[1], 60000, v, "delay")) return false;
        step.kind = RegisterStep::Kind::Delay;
        step.value = static_cast<uint32_t>(v);
        out_.registers.push_back(step);
        return true;
    }
    if (words.size() != 2)
        return fail("expected 'ADDRESS VALUE' in [registers], got '" + std::string(line) + "'");
    // Widths are checked in finish(), once i2c_mode is known wherever it stands.
    if (!number(words[0], 0xFFFF, a, "register address") ||
        !number(words[1], 0xFFFFFFFF, v, "register value"))
        return false;
    step.address = static_cast<uint32_t>(a);
    step.value = static_cast<uint32_t>(v);
    out_.registers.push_back(step);
    return true;
}

bool Parser::boardLine(std::string_view line) {
    std::vector<std::string_view> words = splitWords(line);
    if (words.size() < 3) return fail("expected 'REQUEST VALUE INDEX [DATA BYTES...]' in [board]");
    uint64_t request = 0, value = 0, index = 0;
    if (!number(words[0], 0xFF, request, "request") || !number(words[1], 0xFFFF, value, "value") ||
        !number(words[2], 0xFFFF, index, "index"))
        return false;
    BoardCommand cmd;
    cmd.request = static_cast<uint8_t>(request);
    cmd.value = static_cast<uint16_t>(value);
    cmd.index = static_cast<uint16_t>(index);
    cmd.line = line_;
    for (size_t i = 3; i < words.size(); ++i) {
        uint64_t byte = 0;
        if (!number(words[i], 0xFF, byte, "data byte")) return false;
        cmd.data.push_back(static_cast<uint8_t>(byte));
    }
    // A control transfer's data stage is at most 4096 bytes on the boards' firmware.
    if (cmd.data.size() > 4096) return fail("a board command carries at most 4096 data bytes");
    out_.boardCommands.push_back(std::move(cmd));
    return true;
}

bool Parser::finish() {
    if (!sectionSeen_[0]) return fail("no [camera] section", 0);
    for (size_t i = 0; i < kCameraKeys.size(); ++i) {
        if (kCameraKeys[i].required && !seenAt_[i])
            return fail("[camera] lacks the key '" + std::string(kCameraKeys[i].key) + "'",
                        cameraLineNo_);
    }

    CameraConfig& cfg = out_.config;
    const unsigned maxBits = 8u * cfg.u8PixelBytes;
    const size_t bitsSlot = 5;  // "pixel_bits" in kCameraKeys
    if (!seenAt_[bitsSlot]) {
        cfg.u8PixelBits = static_cast<uint8_t>(maxBits);
    } else if (cfg.u8PixelBits > maxBits) {
        return fail("pixel_bits " + std::to_string(cfg.u8PixelBits) + " exceeds the " +
                        std::to_string(maxBits) + " bits of " + std::to_string(cfg.u8PixelBytes) +
                        " pixel byte(s)",
                    seenAt_[bitsSlot]);
    }

    const unsigned aBits = addressBits(cfg.emI2cMode), vBits = valueBits(cfg.emI2cMode);
    for (const RegisterStep& step : out_.registers) {
        if (step.kind != RegisterStep::Kind::Write) continue;
        if (aBits < 32 && step.address >> aBits)
            return fail("register address exceeds the " + std::to_string(aBits) +
                            " bits of i2c_mode " + std::string(i2cModeName(cfg.emI2cMode)),
                        step.line);
        if (vBits < 32 && step.value >> vBits)
            return fail("register value exceeds the " + std::to_string(vBits) +
                            " bits of i2c_mode " + std::string(i2cModeName(cfg.emI2cMode)),
                        step.line);
    }
    if (sectionSeen_[4]) {
        unsigned line = 0;
        if (std::string why; !colour_.finish(cfg.u8PixelBits, line, why)) return fail(why, line);
        out_.colour = colour_.settings();
    }
    return checkControlWidths() && checkGroupHold();
}

bool Parser::controlLine(std::string_view line) {
    if (line.starts_with("group_hold") && trim(line.substr(10)).starts_with("="))
        return groupHoldLine(line);
    const std::vector<std::string_view> words = splitWords(line);
    ControlSpec c;
    c.line = line_;
    ControlWords w;
    if (!controlName(words[0], c) || !controlWords(words, c.name, w) || !controlType(w, c) ||
        !controlRange(w, c) || !controlDefault(w, c))
        return false;
    if (w.seen[kLua] == w.seen[kRegisters])
        return fail("control '" + c.name + "' needs either registers=... or lua=FUNCTION");
    if (!(w.seen[kLua] ? luaTarget(w, c) : registerTarget(w, c))) return false;
    out_.controls.push_back(std::move(c));
    return true;
}

// "group_hold = REGISTER": the sensor's group-hold register, set around multi-register writes.
bool Parser::groupHoldLine(std::string_view line) {
    if (out_.groupHold) return fail("group_hold already set on line " + std::to_string(holdLine_));
    const std::string_view value = trim(trim(line.substr(10)).substr(1));
    uint64_t address = 0;
    if (!number(value, 0xFFFFFFFF, address, "group_hold register")) return false;
    out_.groupHold = static_cast<uint32_t>(address);
    holdLine_ = line_;
    return true;
}

bool Parser::checkGroupHold() {
    if (!out_.groupHold) return true;
    const unsigned aBits = addressBits(out_.config.emI2cMode);
    if (aBits < 32 && *out_.groupHold >> aBits)
        return fail("group_hold register exceeds the " + std::to_string(aBits) +
                        " bits of i2c_mode " + std::string(i2cModeName(out_.config.emI2cMode)),
                    holdLine_);
    for (const ControlSpec& c : out_.controls)
        for (uint32_t reg : c.registers)
            if (reg == *out_.groupHold)
                return fail("control '" + c.name + "' uses the group_hold register " + hexText(reg),
                            c.line);
    return true;
}

bool Parser::controlName(std::string_view word, ControlSpec& c) {
    c.name = std::string(word);
    if (!validName(word) || word.find('=') != std::string_view::npos)
        return fail("control name '" + c.name +
                    "' must be letters, digits, '_', '-' or '.', not starting with a digit");
    for (const ControlSpec& other : out_.controls)
        if (other.name == c.name)
            return fail("control '" + c.name + "' already defined on line " +
                        std::to_string(other.line));
    return true;
}

bool Parser::controlWords(const std::vector<std::string_view>& words, const std::string& name,
                          ControlWords& w) {
    for (size_t i = 1; i < words.size(); ++i) {
        const size_t eq = words[i].find('=');
        if (eq == std::string_view::npos)
            return fail("expected KEY=VALUE after the control's name, got '" +
                        std::string(words[i]) + "'");
        const std::string_view key = words[i].substr(0, eq);
        auto known = std::find(kControlKeys.begin(), kControlKeys.end(), key);
        if (known == kControlKeys.end())
            return fail("unknown key '" + std::string(key) + "' for control '" + name + "'");
        const size_t k = static_cast<size_t>(known - kControlKeys.begin());
        if (w.seen[k]) return fail("key '" + std::string(key) + "' given twice");
        w.seen[k] = true;
        w.value[k] = words[i].substr(eq + 1);
        if (w.value[k].empty()) return fail("key '" + std::string(key) + "' has no value");
    }
    return true;
}

bool Parser::controlReal(const ControlWords& w, ControlKey k, double& out) {
    if (parseReal(w.value[k], out)) return true;
    return fail(std::string(kControlKeys[k]) + " '" + std::string(w.value[k]) +
                "' is not a number");
}

// type, unit, scale and offset: what the range and default are read against.
bool Parser::controlType(const ControlWords& w, ControlSpec& c) {
    if (w.seen[kType]) {
        const std::string t = upper(w.value[kType]);
        if (t == "INTEGER")
            c.type = ControlSpec::Type::Integer;
        else if (t == "BOOLEAN")
            c.type = ControlSpec::Type::Boolean;
        else if (t == "MENU")
            c.type = ControlSpec::Type::Menu;
        else if (t == "FLOAT")
            c.type = ControlSpec::Type::Float;
        else
            return fail("unknown control type '" + std::string(w.value[kType]) +
                        "' (integer, boolean, menu, float)");
    }
    if (w.seen[kUnit]) c.unit = std::string(w.value[kUnit]);
    if (w.seen[kScale] && !controlReal(w, kScale, c.scale)) return false;
    if (w.seen[kOffset] && !controlReal(w, kOffset, c.offset)) return false;
    if (!(c.scale > 0)) return fail("scale must be above 0");
    return true;
}

bool Parser::controlRange(const ControlWords& w, ControlSpec& c) {
    using Type = ControlSpec::Type;
    if (c.type == Type::Menu) return menuRange(w, c);
    if (w.seen[kValues]) return fail("values= belongs to menu controls");
    if (c.type == Type::Boolean) {
        if (w.seen[kMin] || w.seen[kMax] || w.seen[kStep])
            return fail("a boolean is 0 or 1; drop min, max and step");
        c.max = 1;
        return true;
    }
    if (!w.seen[kMin] || !w.seen[kMax]) return fail("control '" + c.name + "' needs min and max");
    if (!controlReal(w, kMin, c.min) || !controlReal(w, kMax, c.max)) return false;
    if (c.type == Type::Float) c.step = 1 / c.scale;
    if (w.seen[kStep] && !controlReal(w, kStep, c.step)) return false;
    if (!(c.step > 0)) return fail("step must be above 0");
    if (c.min > c.max) return fail("min is above max");
    if (c.type == Type::Integer && !(isWhole(c.min) && isWhole(c.max) && isWhole(c.step)))
        return fail("an integer control's min, max and step are whole numbers");
    return true;
}

bool Parser::menuRange(const ControlWords& w, ControlSpec& c) {
    if (!w.seen[kValues]) return fail("a menu control needs values=NAME:NUMBER,...");
    if (w.seen[kMin] || w.seen[kMax] || w.seen[kStep])
        return fail("a menu's range comes from its values; drop min, max and step");
    for (std::string_view item : splitList(w.value[kValues])) {
        const size_t colon = item.find(':');
        ControlSpec::MenuItem entry;
        if (colon == std::string_view::npos || colon == 0 || !validName(item.substr(0, colon)) ||
            !parseReal(item.substr(colon + 1), entry.value) || !isWhole(entry.value))
            return fail("menu entry '" + std::string(item) + "' is not NAME:WHOLE_NUMBER");
        entry.name = std::string(item.substr(0, colon));
        for (const auto& e : c.menu)
            if (e.name == entry.name || e.value == entry.value)
                return fail("menu entry '" + std::string(item) + "' repeats a name or number");
        c.menu.push_back(std::move(entry));
    }
    c.min = c.max = c.menu[0].value;
    for (const auto& e : c.menu) {
        c.min = std::min(c.min, e.value);
        c.max = std::max(c.max, e.value);
    }
    return true;
}

bool Parser::controlDefault(const ControlWords& w, ControlSpec& c) {
    // Values travel as doubles and, to a Lua function, as 64-bit integers: keep them exact.
    constexpr double kLargest = 9007199254740992.0;  // 2^53
    if (std::fabs(c.min) > kLargest || std::fabs(c.max) > kLargest)
        return fail("min and max lie within -2^53..2^53");
    c.defaultValue = c.min;
    if (!w.seen[kDefault]) return true;
    const std::string_view given = w.value[kDefault];
    bool named = false;
    for (const auto& e : c.menu)
        if (e.name == given) {
            c.defaultValue = e.value;
            named = true;
        }
    if (!named && !controlReal(w, kDefault, c.defaultValue)) return false;
    if (c.defaultValue < c.min || c.defaultValue > c.max)
        return fail("default " + std::string(given) + " is outside the range");
    if (c.type == ControlSpec::Type::Integer && !isWhole(c.defaultValue))
        return fail("an integer control's default is a whole number");
    if (c.type == ControlSpec::Type::Menu &&
        std::none_of(c.menu.begin(), c.menu.end(),
                     [&](const auto& e) { return e.value == c.defaultValue; }))
        return fail("default " + std::string(given) + " is none of the menu's values");
    return true;
}

bool Parser::luaTarget(const ControlWords& w, ControlSpec& c) {
    if (w.seen[kBits] || w.seen[kOrder] || w.seen[kScale] || w.seen[kOffset])
        return fail("bits, order, scale and offset describe register fields, not lua");
    if (!validName(w.value[kLua]))
        return fail("lua function name '" + std::string(w.value[kLua]) + "' is not a name");
    c.luaFunction = std::string(w.value[kLua]);
    return true;
}

bool Parser::registerTarget(const ControlWords& w, ControlSpec& c) {
    for (std::string_view item : splitList(w.value[kRegisters])) {
        uint64_t address = 0;
        if (!number(item, 0xFFFF, address, "register address")) return false;
        if (std::find(c.registers.begin(), c.registers.end(), address) != c.registers.end())
            return fail("register " + std::string(item) + " listed twice");
        c.registers.push_back(static_cast<uint32_t>(address));
    }
    if (c.registers.size() > 8) return fail("a field spans at most 8 registers");
    if (w.seen[kOrder]) {
        const std::string order = upper(w.value[kOrder]);
        if (order == "BIG")
            c.bigEndian = true;
        else if (order == "LITTLE")
            c.bigEndian = false;
        else
            return fail("order is 'big' (first register most significant) or 'little'");
    }
    return !w.seen[kBits] || fieldBits(w.value[kBits], c);
}

// bits=N or bits=LOW..HIGH within the joined registers.
bool Parser::fieldBits(std::string_view bits, ControlSpec& c) {
    const size_t dots = bits.find("..");
    uint64_t lo = 0, hi = 0;
    if (dots == std::string_view::npos) {
        if (!number(bits, 63, lo, "bit")) return false;
        hi = lo;
    } else if (!number(bits.substr(0, dots), 63, lo, "low bit") ||
               !number(bits.substr(dots + 2), 63, hi, "high bit")) {
        return false;
    }
    if (hi < lo) return fail("bits LOW..HIGH has its high bit below its low bit");
    c.lowBit = static_cast<unsigned>(lo);
    c.bitCount = static_cast<unsigned>(hi - lo + 1);
    if (c.bitCount > 32) return fail("a field holds at most 32 bits");
    return true;
}

// Register widths are known once the whole file is read: the field's bits must lie within its
// registers, the range must fit the field, and no two controls may share a register bit.
bool Parser::checkControlWidths() {
    const I2cMode mode = out_.config.emI2cMode;
    const unsigned aBits = addressBits(mode), vBits = valueBits(mode);
    struct Claim {
        uint32_t address;
        uint64_t mask;
        const ControlSpec* owner;
    };
    std::vector<Claim> claims;
    for (ControlSpec& c : out_.controls) {
        if (c.registers.empty()) continue;
        const std::string modeText = " bits of i2c_mode " + std::string(i2cModeName(mode));
        for (uint32_t address : c.registers)
            if (aBits < 32 && address >> aBits)
                return fail("register address exceeds the " + std::to_string(aBits) + modeText,
                            c.line);
        const unsigned joined = static_cast<unsigned>(c.registers.size()) * vBits;
        if (joined > 64)
            return fail("the registers join to more than 64 bits with i2c_mode " +
                            std::string(i2cModeName(mode)),
                        c.line);
        if (c.bitCount == 0) c.bitCount = std::min(joined, 32u);
        if (c.lowBit + c.bitCount > joined)
            return fail("bits " + std::to_string(c.lowBit) + ".." +
                            std::to_string(c.lowBit + c.bitCount - 1) + " pass the " +
                            std::to_string(joined) + modeText + " of " +
                            std::to_string(c.registers.size()) + " register(s)",
                        c.line);
        const double fieldMax = std::ldexp(1.0, static_cast<int>(c.bitCount)) - 1;
        const double rawMin = std::round(c.min * c.scale + c.offset);
        const double rawMax = std::round(c.max * c.scale + c.offset);
        if (rawMin < 0 || rawMax > fieldMax)
            return fail("the range maps to field values " + wholeText(rawMin) + ".." +
                            wholeText(rawMax) + ", outside the " + std::to_string(c.bitCount) +
                            "-bit field",
                        c.line);
        const uint64_t field = ((c.bitCount >= 64 ? ~uint64_t{0} : (uint64_t{1} << c.bitCount) - 1))
                               << c.lowBit;
        const uint64_t regMask = vBits >= 64 ? ~uint64_t{0} : (uint64_t{1} << vBits) - 1;
        const size_t n = c.registers.size();
        for (size_t i = 0; i < n; ++i) {
            const unsigned shift = static_cast<unsigned>(c.bigEndian ? n - 1 - i : i) * vBits;
            const uint64_t mask = (field >> shift) & regMask;
            if (!mask)
                return fail(
                    "register " + hexText(c.registers[i]) + " holds none of the field's bits",
                    c.line);
            for (const Claim& claim : claims)
                if (claim.address == c.registers[i] && (claim.mask & mask))
                    return fail("control '" + c.name + "' overlaps the bits of control '" +
                                    claim.owner->name + "' (line " +
                                    std::to_string(claim.owner->line) + ") in register " +
                                    hexText(c.registers[i]),
                                c.line);
            claims.push_back({c.registers[i], mask, &c});
        }
    }
    return true;
}

constexpr std::string_view kDefaultText =
    R"(# The default virtual board: 640x480 RAW8 in RGGB order.
[camera]
name = virtual-default
width = 640
height = 480
pixel_bytes = 1
pixel_bits = 8
format = RAW
bayer = RG
i2c_address = 0x20
i2c_mode = 16_8
transfer_level = 0

[registers]
0x0100 0x00
0x3012 0x40
0x3013 0x02
0x0100 0x01

[controls]
group_hold = 0x0104
exposure      type=integer unit=lines min=1 max=65535 default=1024 registers=0x3500,0x3501,0x3502 bits=4..23
analogue_gain type=float unit=x min=1 max=15.9921875 default=1 scale=128 registers=0x3508,0x3509 bits=0..10
)";

}  // namespace

bool parseNumber(std::string_view text, uint64_t max, uint64_t& out) {
    if (text.empty()) return false;
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    uint64_t value = 0;
    for (char c : text) {
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = static_cast<unsigned>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = static_cast<unsigned>(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = static_cast<unsigned>(c - 'A' + 10);
        else
            return false;
        if (digit > max || value > (max - digit) / base) return false;
        value = value * base + digit;
    }
    out = value;
    return true;
}

std::string_view formatName(FormatMode format) {
    for (const auto& f : kFormats)
        if (f.mode == format) return f.name;
    return "?";
}

std::string_view i2cModeName(I2cMode mode) {
    for (const auto& m : kI2cModes)
        if (m.mode == mode) return m.name;
    return "?";
}

std::string_view bayerName(RawMode bayer) {
    for (const auto& b : kBayers)
        if (b.mode == bayer) return b.name;
    return "?";
}

namespace {

// Finds the entry of `table` that `text` names, in any letter case and with or without the
// constant's `prefix` ("FORMAT_MODE_RAW" as well as "raw").
template <typename Table, typename Mode>
bool findByName(const Table& table, std::string_view text, std::string_view prefix, Mode& out) {
    std::string s = upper(text);
    if (s.starts_with(prefix)) s.erase(0, prefix.size());
    for (const auto& entry : table) {
        bool named = entry.name == s;
        if constexpr (requires { entry.pattern; }) named = named || entry.pattern == s;
        if (named) {
            out = entry.mode;
            return true;
        }
    }
    return false;
}

}  // namespace

bool parseFormatName(std::string_view text, FormatMode& out) {
    return findByName(kFormats, text, "FORMAT_MODE_", out);
}

bool parseI2cModeName(std::string_view text, I2cMode& out) {
    return findByName(kI2cModes, text, "I2C_MODE_", out);
}

bool parseBayerName(std::string_view text, RawMode& out) {
    return findByName(kBayers, text, "RAW_", out);
}

unsigned addressBits(I2cMode mode) {
    for (const auto& m : kI2cModes)
        if (m.mode == mode) return m.addressBits;
    return 16;
}

unsigned valueBits(I2cMode mode) {
    for (const auto& m : kI2cModes)
        if (m.mode == mode) return m.valueBits;
    return 32;
}

std::string_view controlTypeName(ControlSpec::Type type) {
    switch (type) {
        case ControlSpec::Type::Integer:
            return "integer";
        case ControlSpec::Type::Boolean:
            return "boolean";
        case ControlSpec::Type::Menu:
            return "menu";
        case ControlSpec::Type::Float:
            return "float";
    }
    return "?";
}

std::string CameraFileError::text() const {
    return line ? source + ":" + std::to_string(line) + ": " + message : source + ": " + message;
}

bool parseCameraFile(std::string_view text, std::string_view source, CameraFile& out,
                     CameraFileError& error) {
    CameraFile parsed;
    Parser parser(source, parsed, error);
    if (!parser.run(text)) return false;
    out = std::move(parsed);
    return true;
}

bool parseCameraFile(std::string_view text, std::string_view source, CameraFile& out,
                     std::string& error) {
    CameraFileError failure;
    if (parseCameraFile(text, source, out, failure)) return true;
    error = failure.text();
    return false;
}

bool loadCameraFile(const std::string& path, CameraFile& out, CameraFileError& error) {
    // stdio rather than a stream: a read that fails (a directory, an I/O error) must be
    // reported with its reason, not parsed as an empty file.
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                         &std::fclose);
    int reason = errno;
    std::string text;
    if (file) {
        char block[4096];
        size_t got;
        while ((got = std::fread(block, 1, sizeof block, file.get())) > 0) text.append(block, got);
        reason = errno;
    }
    if (!file || std::ferror(file.get())) {
        error = CameraFileError{path, 0, std::strerror(reason)};
        return false;
    }
    return parseCameraFile(text, path, out, error);
}

bool loadCameraFile(const std::string& path, CameraFile& out, std::string& error) {
    CameraFileError failure;
    if (loadCameraFile(path, out, failure)) return true;
    error = failure.text();
    return false;
}

std::string_view defaultCameraFileText() {
    return kDefaultText;
}

const CameraFile& defaultCameraFile() {
    static const CameraFile file = [] {
        CameraFile f;
        std::string error;
        // The text is ours and covered by a test; a failure here is a build mistake.
        if (!parseCameraFile(kDefaultText, "<built-in default>", f, error)) std::abort();
        return f;
    }();
    return file;
}

}  // namespace vexo
