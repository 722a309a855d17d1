// The parts of the package's compiled module vexo._native beside the configuration loader and
// the converters on plain buffers (native_module.cpp): each is a table of functions that the
// module's initialisation adds to it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <vexo/camera_file.hpp>
#include <vexo/named_controls.hpp>

namespace vexo::python {

/// status_table() and i2c_widths(): the library's own tables (native_tables.cpp).
extern PyMethodDef kTableMethods[];
/// frame_layout(), frame_to_rgb(), and save_frame() when the package is built with the frame
/// writers (native_frames.cpp).
extern PyMethodDef kFrameMethods[];
/// named_controls(): a camera file's controls on a VexoSDK camera (native_controls.cpp).
extern PyMethodDef kControlMethods[];

/// sync_open() and the other sync_* calls: sync groups for vexo.sync (native_sync.cpp).
extern PyMethodDef kSyncMethods[];

/// isp(): the ISP for vexo.Isp and Frame.to_rgb (native_isp.cpp).
extern PyMethodDef kIspModuleMethods[];

/// The [colour] section of a file as a dict (black_level, auto_white_balance, white_balance,
/// ccm, gamma, demosaic, auto_exposure), or None when the file has none.
PyObject* colourValues(const CameraFile& file);

/// The NamedControls of an object named_controls() made, or null with TypeError.
NamedControls* namedControlsOf(PyObject* object);
/// The status of the last register call that object's controls made on this thread.
unsigned lastControlStatus(PyObject* object);
/// The file in a capsule of parsedFile(), or null with an exception.
const CameraFile* parsedFileOf(PyObject* capsule);

/// The [controls] of a file as a list of dicts (name, type, unit, min, max, step, default, menu,
/// registers, bits, order, scale, offset, lua, line).
PyObject* controlDescriptions(const CameraFile& file);
/// A capsule holding a copy of the parsed file, from which named_controls() works.
PyObject* parsedFile(const CameraFile& file);

}  // namespace vexo::python
