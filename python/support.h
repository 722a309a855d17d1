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

// Frame views. A view is a zero-copy window on the camera's frame buffer that holds a share
// of that buffer: the memoryview, its slices and any array made from them keep the bytes
// allocated after the camera has closed or replaced its buffers.

// Frame size of a frame record's configuration, by the module's per-format rule.
int64_t frameSizeOf(const CameraConfig& cfg);
// Read-only memoryview of the frame bytes of @frame; its length is the per-format size,
// cut to the bytes of the frame's buffer from the frame on (empty when the camera holds no
// buffer with the frame).
PyObject* frameView(CameraHandle camera, const FrameData* frame);

// Marks a handle capsule as closed: it keeps its pointer but no longer carries the name the
// handle check asks for, so every later use raises ValueError.
int retireHandle(PyObject* capsule);

// Sets ValueError for an outgoing size that exceeds the bytes the caller supplied.
int refuseSize(const char* param, unsigned long long size, Py_ssize_t have);

}  // namespace pyvexo
