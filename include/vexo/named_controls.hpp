// Named camera controls: the [controls] section of a configuration file made live on an open
// camera. A register-mapped control is set by writing its field into the sensor's registers
// (read-modify-write where the field shares a register) and read back from them, so get()
// reports what the sensor holds. A Lua control calls its control function through
// Vexo_setCtrl; a script cannot be read back, so its value is the one last set (the default
// before that).
//
// Everything reaches the board through the C functions; the caller binds them with
// registerCallsFor(), so that this layer works with whichever copy of the library the
// program links.
//
// Threading: one thread at a time per NamedControls; the change callback runs on the thread
// that called set().
#pragma once

#include <vexo/camera.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>
#include <vexo/camera_file.hpp>
#include <vexo/cpp_export.hpp>

namespace vexo {

/// The C functions a NamedControls calls: the register pair of the sensor's I2C mode and
/// Vexo_setCtrl.
struct RegisterCalls {
    Uint32 (*write)(CameraHandle, Uint32 i2cAddr, Uint32 reg, Uint32 value) = nullptr;
    Uint32 (*read)(CameraHandle, Uint32 i2cAddr, Uint32 reg, Uint32* value) = nullptr;
    int (*setCtrl)(CameraHandle, const char* name, int64_t value) = nullptr;
};

/// The library's register pair for `mode` (null members for an unknown mode) and Vexo_setCtrl.
inline RegisterCalls registerCallsFor(I2cMode mode) {
    RegisterCalls calls;
    calls.setCtrl = Vexo_setCtrl;
    switch (mode) {
        case I2C_MODE_8_8:
            calls.write = Vexo_writeReg_8_8, calls.read = Vexo_readReg_8_8;
            break;
        case I2C_MODE_8_16:
            calls.write = Vexo_writeReg_8_16, calls.read = Vexo_readReg_8_16;
            break;
        case I2C_MODE_16_8:
            calls.write = Vexo_writeReg_16_8, calls.read = Vexo_readReg_16_8;
            break;
        case I2C_MODE_16_16:
            calls.write = Vexo_writeReg_16_16, calls.read = Vexo_readReg_16_16;
            break;
        case I2C_MODE_16_32:
            calls.write = Vexo_writeReg_16_32, calls.read = Vexo_readReg_16_32;
            break;
        default:
            break;
    }
    return calls;
}

enum class ControlStatus {
    Ok,
    UnknownName,   ///< no control of that name
    InvalidValue,  ///< not a number, or a menu value the menu does not list
    BoardError,    ///< a register or Lua call failed; the control may be partly written
};

class VEXO_CPP_API NamedControls {
  public:
    /// The controls of `file` on the open camera `handle`, which the caller keeps open for as
    /// long as this object is used. Nothing is written here.
    NamedControls(CameraHandle handle, const CameraFile& file, RegisterCalls calls);

    /// Every control, in the file's order.
    const std::vector<ControlSpec>& list() const { return controls_; }
    /// The control called `name`, or null.
    const ControlSpec* find(std::string_view name) const;

    /// Reads a control: a register field from the sensor's registers, converted back to the
    /// control's units; a Lua control's last value set.
    ControlStatus get(std::string_view name, double& value, std::string* error = nullptr);

    /// Sets a control. The value is clamped into [min, max], then rounded to the nearest step
    /// counted from min (never past max); a boolean is 1 for any value but 0. A menu value
    /// must be one the menu lists (InvalidValue otherwise, nothing written). On success
    /// `applied` (when given) holds the value read back afterwards, and the change callback runs
    /// with it.
    ControlStatus set(std::string_view name, double value, double* applied = nullptr,
                      std::string* error = nullptr);

    /// Parses a value as a person writes it: a number, a menu entry's name, or for a boolean
    /// on/off, true/false. False for anything else.
    static bool parseValue(const ControlSpec& control, std::string_view text, double& value);
    /// The value as text: a menu entry's name, a whole number, or a decimal for a float.
    static std::string formatValue(const ControlSpec& control, double value);

    /// Called after each successful set() with the control and its read-back value.
    using ChangeCallback = std::function<void(const ControlSpec&, double)>;
    void onChange(ChangeCallback callback) { onChange_ = std::move(callback); }

  private:
    ControlStatus readField(const ControlSpec& c, uint64_t& raw, std::string* error);
    ControlStatus writeField(const ControlSpec& c, uint64_t raw, std::string* error);
    ControlStatus writeHeld(const ControlSpec& c, uint64_t raw, std::string* error);

    CameraHandle handle_;
    uint32_t i2cAddress_;
    unsigned valueBits_;
    RegisterCalls calls_;
    std::vector<ControlSpec> controls_;
    std::vector<double> remembered_;  // per control; used by Lua controls
    std::optional<uint32_t> groupHold_;
    ChangeCallback onChange_;
};

}  // namespace vexo
