// The parts of the package's compiled module vexo._native beside the configuration loader and
// the converters on plain buffers (native_module.cpp): each is a table of functions that the
// module's initialisation adds to it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vexo::python {

/// status_table() and i2c_widths(): the library's own tables (native_tables.cpp).
extern PyMethodDef kTableMethods[];
/// frame_layout(), frame_to_rgb(), and save_frame() when the package is built with the frame
/// writers (native_frames.cpp).
extern PyMethodDef kFrameMethods[];

}  // namespace vexo::python
