// The calls vexo._native's named controls make on a camera that VexoSDK opened. VexoSDK carries
// its own private copy of the library, so a VexoSDK camera handle means nothing to the copy
// that libvexo-cpp links: VexoSDK hands out, in the capsule "VexoSDK.__vexo_control_calls__", its
// register pairs and Vexo_setCtrl behind the camera's access kinds, and vexo._native gives them
// to vexo::NamedControls (whose RegisterCalls take the camera as an opaque handle).
//
// The handle these calls take is the module's record of the camera (stateHandle()), which
// stays valid while a reference to the handle capsule is held. The register calls are made
// without the interpreter lock; setCtrl takes it (control scripts run with it held).
#pragma once

#include <Python.h>
#include <vexo/camera.h>

#include <vexo/named_controls.hpp>

namespace pyvexo {

struct ControlCalls {
    /// sizeof(ControlCalls) as VexoSDK was built: both modules must agree on the layout.
    size_t size = sizeof(ControlCalls);
    /// The handle for the calls below: the record behind a VexoSDK camera handle capsule, or
    /// null with ValueError for anything else. Called with the interpreter lock.
    CameraHandle (*stateHandle)(PyObject* capsule) = nullptr;
    /// The register pair of `mode` (null members for an unknown mode) and setCtrl.
    vexo::RegisterCalls (*callsFor)(I2cMode mode) = nullptr;
    /// The status of this thread's last call above: a register call's own status,
    /// USB_CAMERA_NOT_FOUND_DEVICE_ERROR for a camera closed meanwhile, USB_CAMERA_NO_ERROR after
    /// setCtrl ran (a control script's failure has no status code). NamedControls stops at
    /// the first call that fails, so after a BoardError this is that call's status.
    Uint32 (*lastStatus)() = nullptr;
};

constexpr const char* kControlCallsCapsule = "VexoSDK.__vexo_control_calls__";

/// The capsule VexoSDK publishes as __vexo_control_calls__ (a dunder: the module's public
/// names stay exactly as they are) (new reference, or null with an exception).
PyObject* newControlCallsCapsule();

}  // namespace pyvexo
