// The parts of the package's compiled module vexo._native beside the configuration loader and
// the converters on plain buffers (native_module.cpp): each is a table of functions that the
// module's initialisation adds to it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <vexo/camera_file.hpp>

namespace vexo::python {

/// status_table() and i2c_widths(): the library's own tables (native_tables.cpp).
extern PyMethodDef kTableMethods[];
/// frame_layout(), frame_to_rgb(), and save_frame() when the package is built with the frame
/// writers (native_frames.cpp).
extern PyMethodDef kFrameMethods[];
/// named_controls(): a camera file's controls on a VexoSDK camera (native_controls.cpp).
extern PyMethodDef kControlMethods[];

/// The [controls] of a file as a list of dicts (name, type, unit, min, max, step, default, menu,
/// registers, bits, order, scale, offset, lua, line).
PyObject* controlDescriptions(const CameraFile& file);
/// A capsule holding a copy of the parsed file, from which named_controls() works.
PyObject* parsedFile(const CameraFile& file);

}  // namespace vexo::python
