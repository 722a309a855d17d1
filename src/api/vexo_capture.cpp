// Exported capture, frame-queue, trigger and configuration functions: one camera operation
// each, behind the boundary guard.
#include <vexo/camera.h>

#include "api/boundary.h"

using vexo::api::guarded;
using vexo::api::guardedVoid;
using Camera = vexo::camera::UsbCameraLib;

extern "C" {

Uint32 VEXO_CALL Vexo_beginCaptureImage(CameraHandle h) {
    return guarded(h, [](Camera& c) { return c.beginCaptureImage(); });
}
Uint32 VEXO_CALL Vexo_captureImage(CameraHandle h) {
    return guarded(h, [](Camera& c) { return c.captureImage(); });
}
Uint32 VEXO_CALL Vexo_endCaptureImage(CameraHandle h) {
    return guarded(h, [](Camera& c) { return c.endCaptureImage(); });
}
Uint32 VEXO_CALL Vexo_readImage(CameraHandle h, FrameData** frame) {
    return guarded(h, [frame](Camera& c) { return c.readImage(frame); });
}
Uint32 VEXO_CALL Vexo_del(CameraHandle h) {
    return guarded(h, [](Camera& c) { return c.del(); });
}
Uint32 VEXO_CALL Vexo_flush(CameraHandle h) {
    return guarded(h, [](Camera& c) { return c.flush(); });
}
Uint32 VEXO_CALL Vexo_availableImage(CameraHandle h) {
    // A count, not a status: a null handle has no frames.
    if (h == nullptr) return 0;
    return guarded(h, [](Camera& c) { return c.availableImage(); });
}
Uint32 VEXO_CALL Vexo_shot(CameraHandle h) {
    return guarded(h, [](Camera& c) { return c.shot(); });
}
Uint32 VEXO_CALL Vexo_getSingleFrame(CameraHandle h, FrameData** frame, Uint32 timeoutMs) {
    return guarded(h, [frame, timeoutMs](Camera& c) { return c.getSingleFrame(frame, timeoutMs); });
}
Uint32 VEXO_CALL Vexo_softTrigger(CameraHandle h) {
    return guarded(h, [](Camera& c) { return c.softTrigger(); });
}
Uint32 VEXO_CALL Vexo_setMode(CameraHandle h, Uint32 mode) {
    return guarded(h, [mode](Camera& c) { return c.setMode(mode); });
}
Uint32 VEXO_CALL Vexo_isFrameReady(CameraHandle h) {
    return guarded(h, [](Camera& c) { return c.isFrameReady(); });
}
void VEXO_CALL Vexo_enableForceRead(CameraHandle h) {
    guardedVoid(h, [](Camera& c) { c.enableForceRead(); });
}
void VEXO_CALL Vexo_disableForceRead(CameraHandle h) {
    guardedVoid(h, [](Camera& c) { c.disableForceRead(); });
}
Uint32 VEXO_CALL Vexo_setCamCfg(CameraHandle h, CameraConfig* cfg) {
    if (cfg == nullptr) return USB_CAMERA_SIZE_EXCEED_ERROR;
    return guarded(h, [cfg](Camera& c) { return c.setCamCfg(cfg); });
}

}  // extern "C"
