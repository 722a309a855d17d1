// Exported register, board-command and user-data functions: one camera operation each,
// behind the boundary guard.
#include <vexo/camera.h>

#include "api/boundary.h"

using vexo::api::guarded;
using Camera = vexo::camera::UsbCameraLib;
namespace cam = vexo::camera;

extern "C" {

Uint32 VEXO_CALL Vexo_writeSensorReg(CameraHandle h, Uint32 reg, Uint32 value) {
    return guarded(h, [=](Camera& c) { return c.writeSensorReg(reg, value); });
}
Uint32 VEXO_CALL Vexo_readSensorReg(CameraHandle h, Uint32 reg, Uint32* value) {
    return guarded(h, [=](Camera& c) { return c.readSensorReg(reg, value); });
}
Uint32 VEXO_CALL Vexo_getSensorCfg(CameraHandle h, CameraConfig* cfg) {
    return guarded(h, [=](Camera& c) { return c.getSensorCfg(cfg); });
}
Uint32 VEXO_CALL Vexo_getUsbType(CameraHandle h, Uint8* boardType, Uint8* linkType) {
    return guarded(h, [=](Camera& c) { return c.getUsbType(boardType, linkType); });
}

Uint32 VEXO_CALL Vexo_writeReg_8_8(CameraHandle h, Uint32 dev, Uint32 reg, Uint32 value) {
    return guarded(h, [=](Camera& c) { return c.writeReg_8_8(dev, reg, value); });
}
Uint32 VEXO_CALL Vexo_readReg_8_8(CameraHandle h, Uint32 dev, Uint32 reg, Uint32* value) {
    return guarded(h, [=](Camera& c) { return c.readReg_8_8(dev, reg, value); });
}
Uint32 VEXO_CALL Vexo_writeReg_8_16(CameraHandle h, Uint32 dev, Uint32 reg, Uint32 value) {
    return guarded(h, [=](Camera& c) { return c.writeReg_8_16(dev, reg, value); });
}
Uint32 VEXO_CALL Vexo_readReg_8_16(CameraHandle h, Uint32 dev, Uint32 reg, Uint32* value) {
    return guarded(h, [=](Camera& c) { return c.readReg_8_16(dev, reg, value); });
}
Uint32 VEXO_CALL Vexo_writeReg_16_8(CameraHandle h, Uint32 dev, Uint32 reg, Uint32 value) {
    return guarded(h, [=](Camera& c) { return c.writeReg_16_8(dev, reg, value); });
}
Uint32 VEXO_CALL Vexo_readReg_16_8(CameraHandle h, Uint32 dev, Uint32 reg, Uint32* value) {
    return guarded(h, [=](Camera& c) { return c.readReg_16_8(dev, reg, value); });
}
Uint32 VEXO_CALL Vexo_writeReg_16_16(CameraHandle h, Uint32 dev, Uint32 reg, Uint32 value) {
    return guarded(h, [=](Camera& c) { return c.writeReg_16_16(dev, reg, value); });
}
Uint32 VEXO_CALL Vexo_readReg_16_16(CameraHandle h, Uint32 dev, Uint32 reg, Uint32* value) {
    return guarded(h, [=](Camera& c) { return c.readReg_16_16(dev, reg, value); });
}
Uint32 VEXO_CALL Vexo_writeReg_16_32(CameraHandle h, Uint32 dev, Uint32 reg, Uint32 value) {
    return guarded(h, [=](Camera& c) { return c.writeReg_16_32(dev, reg, value); });
}
Uint32 VEXO_CALL Vexo_readReg_16_32(CameraHandle h, Uint32 dev, Uint32 reg, Uint32* value) {
    return guarded(h, [=](Camera& c) { return c.readReg_16_32(dev, reg, value); });
}

// The byte count the request reports is not passed back to the caller.
Uint32 VEXO_CALL Vexo_setboardConfig(CameraHandle h, Uint8 request, Uint16 value, Uint16 index,
                                     Uint32 length, Uint8* data) {
    return guarded(h, [=](Camera& c) {
        return c.vendorRequest(request, cam::kHostToDevice, value, index, length, data, nullptr);
    });
}
Uint32 VEXO_CALL Vexo_getboardConfig(CameraHandle h, Uint8 request, Uint16 value, Uint16 index,
                                     Uint32 length, Uint8* data) {
    return guarded(h, [=](Camera& c) {
        return c.vendorRequest(request, cam::kDeviceToHost, value, index, length, data, nullptr);
    });
}

Uint32 VEXO_CALL Vexo_readUserData(CameraHandle h, Uint16 address, Uint8 length, Uint8* data) {
    return guarded(h, [=](Camera& c) { return c.readUserData(address, length, data); });
}
Uint32 VEXO_CALL Vexo_writeUserData(CameraHandle h, Uint16 address, Uint8 length, Uint8* data) {
    return guarded(h, [=](Camera& c) { return c.writeUserData(address, length, data); });
}

}  // extern "C"
