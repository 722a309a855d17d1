// The C functions that read and write registers of any I2C device, one pair per register mode
// (address and value widths): shared by 'vexo regs' and the preview's register panel.
#pragma once

#include <vexo/camera.h>

namespace vexo {

struct RegisterAccess {
    using WriteFn = Uint32 (*)(CameraHandle, Uint32, Uint32, Uint32);
    using ReadFn = Uint32 (*)(CameraHandle, Uint32, Uint32, Uint32*);
    I2cMode mode;
    WriteFn write;
    ReadFn read;
};

/// The pair of `mode`; null for a value that is none of the five modes.
inline const RegisterAccess* registerAccess(I2cMode mode) {
    static constexpr RegisterAccess kAccess[] = {
        {I2C_MODE_8_8, Vexo_writeReg_8_8, Vexo_readReg_8_8},
        {I2C_MODE_8_16, Vexo_writeReg_8_16, Vexo_readReg_8_16},
        {I2C_MODE_16_8, Vexo_writeReg_16_8, Vexo_readReg_16_8},
        {I2C_MODE_16_16, Vexo_writeReg_16_16, Vexo_readReg_16_16},
        {I2C_MODE_16_32, Vexo_writeReg_16_32, Vexo_readReg_16_32},
    };
    for (const RegisterAccess& a : kAccess)
        if (a.mode == mode) return &a;
    return nullptr;
}

}  // namespace vexo
