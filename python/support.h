// Pieces of the VexoSDK module written directly against the CPython API: integer conversions
// with the module's exact messages, the configuration record reader, the byte blocks behind
// incoming buffers, and the frame views that share the camera's frame buffers.
//
// Every function here is called with the interpreter lock held. Functions returning int give
// 0 on success and -1 with a Python exception set.
#pragma once

#include <Python.h>
#include <vexo/camera.h>

#include <cstddef>
#include <cstdint>

#include "api/shared_frame.h"

namespace pyvexo {

// Integer conversion kinds. An int (bool included) is taken as it is; any other object goes
// through its __int__ first, so floats are truncated toward zero.
int toUint8(PyObject* obj, Uint8* out);
int toUint16(PyObject* obj, Uint16* out);
int toUint32(PyObject* obj, Uint32* out);
int toUnsignedInt(PyObject* obj, unsigned int* out);
int toSize(PyObject* obj, size_t* out);
int toInt(PyObject* obj, int* out);
int toLongLong(PyObject* obj, long long* out);

// Reads the twelve keys of a configuration mapping, in the module's fixed order, into *out.
// An exact dict missing a key raises KeyError(key); other mappings raise their own errors.
int readConfig(PyObject* cfg, CameraConfig* out);

// Byte blocks: zero-filled heap memory owned by a Python object, handed to an operation as an
// incoming buffer and then shown as a read-only memoryview that keeps the block alive.
PyObject* newByteBlock(size_t size);  // new reference, or null with MemoryError
Uint8* byteBlockData(PyObject* block);
PyObject* byteBlockView(PyObject* block, Py_ssize_t length);  // read-only memoryview

// Camera handles. A handle is a capsule named "AnyNameUWant" whose pointer is the library's
// CameraHandle; its context is the module's record of that camera, which serialises the calls
// made on it from several threads and knows whether it was closed. Only capsules made by
// newHandle pass the handle check: a capsule of that name made elsewhere holds a pointer the
// module cannot trust.
//
// Calls take one or more access kinds for the time they spend in the library, always in the
// order below, and without the interpreter lock. The kinds follow the engine's threading
// rules: one capture call and one frame-queue call may run side by side, control requests
// beside either; everything that starts, ends, reconfigures or closes the camera waits for
// all of them.
struct HandleState;
enum Access : unsigned {
    kControl = 1u,  // registers, board requests, user data, trigger, controls, settings
    kCapture = 2u,  // captureImage
    kQueue = 4u,    // readImage, del, flush, availableImage (and the frame's buffer share)
    kEverything = kControl | kCapture | kQueue,
};

// A new handle capsule for @camera (not null), or null with an exception set.
PyObject* newHandle(CameraHandle camera);
// The record behind a handle, or null with ValueError for anything else: not a capsule, a
// capsule of another name (also a closed handle, whose capsule is renamed), or a capsule of
// that name that this module did not make.
HandleState* stateOf(PyObject* capsule);
// The camera handle behind the record; used between enter() and leave(), while it is open.
CameraHandle cameraHandleOf(const HandleState* state);
// Without the interpreter lock: takes the access kinds of @access, waiting for calls of other
// threads that hold them. False (holding nothing) when the camera was closed meanwhile.
bool enter(HandleState* state, unsigned access) noexcept;
// The same for the calls that keep the interpreter lock while they run: called with it, and
// returns with it. Only a wait for another thread's call lets go of it: a thread that blocked
// on a camera's kinds while holding the lock would stop the call it waits for from ever taking
// the lock back.
bool enterKeepingInterpreter(HandleState* state, unsigned access) noexcept;
void leave(HandleState* state, unsigned access) noexcept;
// ValueError for a handle closed while the call waited; returns -1.
int closedError();

// Close: retires the capsule's name at once (with the interpreter lock), then, without it,
// waits for every call in progress on the camera, marks it closed and returns the camera to
// hand to Vexo_close (null when another close got there first).
int retireHandle(PyObject* capsule);
CameraHandle closeState(HandleState* state) noexcept;

// The control records registered on the camera (the caller's ctypes object), held by the
// handle's record for as long as the control host may read them. With the interpreter lock and
// kControl held, right after the host was given @controls: stores a reference to it and hands
// back the reference to the records it replaces, for the caller to drop once it has left the
// camera (dropping it may run Python code). takeControls hands back the reference after the
// camera was closed (and its host destroyed). Both return None rather than null.
PyObject* swapControls(HandleState* state, PyObject* controls);
PyObject* takeControls(HandleState* state);

// Frame views. A view is a zero-copy window on the camera's frame buffer that holds a share
// of that buffer: the memoryview, its slices and any array made from them keep the bytes
// allocated after the camera has closed or replaced its buffers.
//
// A frame handed out by the camera, copied with a share of the buffer that holds its bytes.
// Filled without the interpreter lock while the call holds kQueue; the view is made after.
using FrameRef = vexo::api::SharedFrame;
// Vexo_readImage / Vexo_getSingleFrame, the frame's record and buffer share into *out.
Uint32 readFrame(HandleState* state, FrameRef* out) noexcept;
Uint32 singleFrame(HandleState* state, Uint32 timeoutMs, int* gotFrame, FrameRef* out) noexcept;
// Read-only memoryview of the bytes of a frame taken by readFrame or singleFrame (its byte
// count; empty when the camera held no buffer with the frame).
PyObject* frameRefView(const FrameRef& frame);

// Sets ValueError for an outgoing size that exceeds the bytes the caller supplied.
int refuseSize(const char* param, unsigned long long size, Py_ssize_t have);

}  // namespace pyvexo
