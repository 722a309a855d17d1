#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vexo/named_controls.hpp>

namespace vexo {

namespace {

uint64_t ones(unsigned bits) {
    return bits >= 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1;
}

// Where register `i` of a field sits in the registers' joined bits.
unsigned shiftOf(const ControlSpec& c, size_t i, unsigned valueBits) {
    const size_t n = c.registers.size();
    return static_cast<unsigned>(c.bigEndian ? n - 1 - i : i) * valueBits;
}

bool isWholeType(ControlSpec::Type type) {
    return type != ControlSpec::Type::Float;
}

void say(std::string* error, std::string text) {
    if (error) *error = std::move(text);
}

std::string hex(uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", v);
    return text;
}

}  // namespace

NamedControls::NamedControls(CameraHandle handle, const CameraFile& file, RegisterCalls calls)
    : handle_(handle),
      i2cAddress_(file.config.u32I2cAddr),
      valueBits_(valueBits(file.config.emI2cMode)),
      calls_(calls),
      controls_(file.controls),
      groupHold_(file.groupHold) {
    remembered_.reserve(controls_.size());
    for (const ControlSpec& c : controls_) remembered_.push_back(c.defaultValue);
}

const ControlSpec* NamedControls::find(std::string_view name) const {
    for (const ControlSpec& c : controls_)
        if (c.name == name) return &c;
    return nullptr;
}

ControlStatus NamedControls::readField(const ControlSpec& c, uint64_t& raw, std::string* error) {
    if (!calls_.read) {
        say(error, "no register calls for this camera's I2C mode");
        return ControlStatus::BoardError;
    }
    uint64_t joined = 0;
    for (size_t i = 0; i < c.registers.size(); ++i) {
        Uint32 value = 0;
        const Uint32 status = calls_.read(handle_, i2cAddress_, c.registers[i], &value);
        if (status != USB_CAMERA_NO_ERROR) {
            say(error, "reading register " + hex(c.registers[i]) + " failed (status " +
                           std::to_string(status) + ")");
            return ControlStatus::BoardError;
        }
        joined |= (uint64_t{value} & ones(valueBits_)) << shiftOf(c, i, valueBits_);
    }
    raw = (joined >> c.lowBit) & ones(c.bitCount);
    return ControlStatus::Ok;
}

ControlStatus NamedControls::writeField(const ControlSpec& c, uint64_t raw, std::string* error) {
    if (!calls_.read || !calls_.write) {
        say(error, "no register calls for this camera's I2C mode");
        return ControlStatus::BoardError;
    }
    const uint64_t field = ones(c.bitCount) << c.lowBit;
    const uint64_t bits = (raw & ones(c.bitCount)) << c.lowBit;
    const uint64_t regMask = ones(valueBits_);
    // In the file's order: a sensor that latches on its last register gets that one last.
    for (size_t i = 0; i < c.registers.size(); ++i) {
        const unsigned shift = shiftOf(c, i, valueBits_);
        const uint64_t mask = (field >> shift) & regMask;
        uint64_t value = (bits >> shift) & mask;
        if (mask != regMask) {
            // The rest of the register belongs to other settings: keep it.
            Uint32 current = 0;
            const Uint32 status = calls_.read(handle_, i2cAddress_, c.registers[i], &current);
            if (status != USB_CAMERA_NO_ERROR) {
                say(error, "reading register " + hex(c.registers[i]) + " failed (status " +
                               std::to_string(status) + ")");
                return ControlStatus::BoardError;
            }
            value |= uint64_t{current} & regMask & ~mask;
        }
        const Uint32 status =
            calls_.write(handle_, i2cAddress_, c.registers[i], static_cast<Uint32>(value));
        if (status != USB_CAMERA_NO_ERROR) {
            say(error, "writing register " + hex(c.registers[i]) + " failed (status " +
                           std::to_string(status) + ")");
            return ControlStatus::BoardError;
        }
    }
    return ControlStatus::Ok;
}

// A field over several registers is written under the sensor's group hold, when the file
// names one: without it a frame may start between two of the writes and be exposed with half
// of the new value. The hold is released even when a write failed, so the sensor is not left
// holding.
ControlStatus NamedControls::writeHeld(const ControlSpec& c, uint64_t raw, std::string* error) {
    if (!groupHold_ || c.registers.size() < 2) return writeField(c, raw, error);
    auto hold = [&](Uint32 on) {
        const Uint32 status = calls_.write(handle_, i2cAddress_, *groupHold_, on);
        if (status == USB_CAMERA_NO_ERROR) return ControlStatus::Ok;
        say(error, std::string(on ? "setting" : "releasing") + " the group hold (register " +
                       hex(*groupHold_) + ") failed (status " + std::to_string(status) + ")");
        return ControlStatus::BoardError;
    };
    if (!calls_.write) return writeField(c, raw, error);
    if (ControlStatus s = hold(1); s != ControlStatus::Ok) return s;
    std::string writeError;
    const ControlStatus written = writeField(c, raw, &writeError);
    const ControlStatus released = hold(0);
    if (written == ControlStatus::Ok) return released;
    say(error, std::move(writeError));  // the write's failure is the one to report
    return written;
}

ControlStatus NamedControls::get(std::string_view name, double& value, std::string* error) {
    const ControlSpec* c = find(name);
    if (!c) {
        say(error, "no control named '" + std::string(name) + "'");
        return ControlStatus::UnknownName;
    }
    if (c->registers.empty()) {
        value = remembered_[static_cast<size_t>(c - controls_.data())];
        return ControlStatus::Ok;
    }
    uint64_t raw = 0;
    if (ControlStatus s = readField(*c, raw, error); s != ControlStatus::Ok) return s;
    double v = (static_cast<double>(raw) - c->offset) / c->scale;
    if (isWholeType(c->type)) v = std::round(v);
    value = v;
    return ControlStatus::Ok;
}

ControlStatus NamedControls::set(std::string_view name, double value, double* applied,
                                 std::string* error) {
    const ControlSpec* c = find(name);
    if (!c) {
        say(error, "no control named '" + std::string(name) + "'");
        return ControlStatus::UnknownName;
    }
    if (std::isnan(value)) {
        say(error, c->name + ": not a number");
        return ControlStatus::InvalidValue;
    }
    using Type = ControlSpec::Type;
    double v = value;
    if (c->type == Type::Boolean) {
        v = value != 0 ? 1 : 0;
    } else if (c->type == Type::Menu) {
        if (std::none_of(c->menu.begin(), c->menu.end(),
                         [&](const auto& e) { return e.value == value; })) {
            say(error, c->name + ": " + formatValue(*c, value) + " is none of the menu's values");
            return ControlStatus::InvalidValue;
        }
    } else {
        v = std::clamp(v, c->min, c->max);
        const double steps = std::floor((c->max - c->min) / c->step + 1e-9);
        v = c->min + std::min(std::round((v - c->min) / c->step), steps) * c->step;
    }

    const size_t index = static_cast<size_t>(c - controls_.data());
    const double raw = std::round(v * c->scale + c->offset);
    if (c->registers.empty()) {
        if (!calls_.setCtrl ||
            calls_.setCtrl(handle_, c->luaFunction.c_str(), static_cast<int64_t>(raw)) != 0) {
            say(error,
                c->name + ": the Lua function " + c->luaFunction + " failed or is not registered");
            return ControlStatus::BoardError;
        }
        remembered_[index] = v;
    } else if (ControlStatus s = writeHeld(*c, static_cast<uint64_t>(raw), error);
               s != ControlStatus::Ok) {
        return s;
    }

    double back = v;
    if (ControlStatus s = get(c->name, back, error); s != ControlStatus::Ok) return s;
    if (applied) *applied = back;
    if (onChange_) onChange_(*c, back);
    return ControlStatus::Ok;
}

bool NamedControls::parseValue(const ControlSpec& control, std::string_view text, double& value) {
    for (const auto& e : control.menu)
        if (e.name == text) {
            value = e.value;
            return true;
        }
    if (control.type == ControlSpec::Type::Boolean) {
        if (text == "on" || text == "true") return value = 1, true;
        if (text == "off" || text == "false") return value = 0, true;
    }
    if (text.empty() || text.size() > 40) return false;
    const std::string copy(text);
    char* end = nullptr;
    const double v = std::strtod(copy.c_str(), &end);
    if (end != copy.c_str() + copy.size() || !std::isfinite(v)) return false;
    value = v;
    return true;
}

std::string NamedControls::formatValue(const ControlSpec& control, double value) {
    for (const auto& e : control.menu)
        if (e.value == value) return e.name;
    char text[48];
    if (isWholeType(control.type) || std::floor(value) == value)
        std::snprintf(text, sizeof text, "%.0f", value);
    else
        std::snprintf(text, sizeof text, "%.9g", value);
    return text;
}

}  // namespace vexo
