// VexoSDK's side of control_calls.h: the library's register pairs and Vexo_setCtrl, each made
// on the camera behind a module record while holding the record's control access kind.
#include "control_calls.h"

#include "support.h"

namespace pyvexo {

namespace {

thread_local Uint32 lastStatusOfThread = USB_CAMERA_NO_ERROR;

HandleState* stateOfHandle(CameraHandle handle) {
    return reinterpret_cast<HandleState*>(handle);
}

Uint32 noted(Uint32 status) {
    lastStatusOfThread = status;
    return status;
}

template <Uint32 (*Write)(CameraHandle, Uint32, Uint32, Uint32)>
Uint32 write(CameraHandle handle, Uint32 device, Uint32 reg, Uint32 value) {
    HandleState* state = stateOfHandle(handle);
    if (!enter(state, kControl)) return noted(USB_CAMERA_NOT_FOUND_DEVICE_ERROR);
    const Uint32 status = Write(cameraHandleOf(state), device, reg, value);
    leave(state, kControl);
    return noted(status);
}

template <Uint32 (*Read)(CameraHandle, Uint32, Uint32, Uint32*)>
Uint32 read(CameraHandle handle, Uint32 device, Uint32 reg, Uint32* value) {
    HandleState* state = stateOfHandle(handle);
    if (!enter(state, kControl)) return noted(USB_CAMERA_NOT_FOUND_DEVICE_ERROR);
    const Uint32 status = Read(cameraHandleOf(state), device, reg, value);
    leave(state, kControl);
    return noted(status);
}

int setCtrl(CameraHandle handle, const char* name, int64_t value) {
    HandleState* state = stateOfHandle(handle);
    const PyGILState_STATE gil = PyGILState_Ensure();
    int result = -1;
    if (enterKeepingInterpreter(state, kControl)) {
        result = Vexo_setCtrl(cameraHandleOf(state), name, value);
        leave(state, kControl);
        noted(USB_CAMERA_NO_ERROR);  // a script's failure has no status code
    } else {
        noted(USB_CAMERA_NOT_FOUND_DEVICE_ERROR);
    }
    PyGILState_Release(gil);
    return result;
}

CameraHandle stateHandle(PyObject* capsule) {
    return reinterpret_cast<CameraHandle>(stateOf(capsule));
}

vexo::RegisterCalls callsFor(I2cMode mode) {
    vexo::RegisterCalls calls;
    calls.setCtrl = setCtrl;
    switch (mode) {
        case I2C_MODE_8_8:
            calls.write = write<Vexo_writeReg_8_8>, calls.read = read<Vexo_readReg_8_8>;
            break;
        case I2C_MODE_8_16:
            calls.write = write<Vexo_writeReg_8_16>, calls.read = read<Vexo_readReg_8_16>;
            break;
        case I2C_MODE_16_8:
            calls.write = write<Vexo_writeReg_16_8>, calls.read = read<Vexo_readReg_16_8>;
            break;
        case I2C_MODE_16_16:
            calls.write = write<Vexo_writeReg_16_16>, calls.read = read<Vexo_readReg_16_16>;
            break;
        case I2C_MODE_16_32:
            calls.write = write<Vexo_writeReg_16_32>, calls.read = read<Vexo_readReg_16_32>;
            break;
        default:
            break;
    }
    return calls;
}

Uint32 lastStatus() {
    return lastStatusOfThread;
}

const ControlCalls kCalls{sizeof(ControlCalls), stateHandle, callsFor, lastStatus};

}  // namespace

PyObject* newControlCallsCapsule() {
    return PyCapsule_New(const_cast<ControlCalls*>(&kCalls), kControlCallsCapsule, nullptr);
}

}  // namespace pyvexo
