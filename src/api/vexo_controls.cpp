// Exported control-script functions of a camera: the camera's own script host, with the
// handle as the user context the board callbacks receive.
#include <vexo/camera.h>
#include <vexo/controls.h>

#include "api/boundary.h"

using vexo::api::guardedScript;
using Camera = vexo::camera::UsbCameraLib;

extern "C" {

int VEXO_CALL Vexo_registerCtrls(CameraHandle h, const CtrlRecord* records, Uint32 count) {
    return guardedScript(h, [=](Camera& c) { return c.registerCtrls(records, count); });
}

int VEXO_CALL Vexo_setCtrl(CameraHandle h, const char* name, int64_t value) {
    if (name == nullptr) return -1;
    return guardedScript(h, [=](Camera& c) { return c.setCtrl(name, value, h); });
}

}  // extern "C"
