// vexo._native's tables: the status names and hints of <vexo/status.h> for vexo.errors, and the
// register widths of each I2C mode for vexo.I2cMode, so that Python tells the same story as the
// C and C++ callers and the tool without tables of its own.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <vexo/status.h>

#include <vexo/camera_file.hpp>

#include "native_parts.h"

namespace vexo::python {

namespace {

// Status codes are 16-bit values (0 and 0xFF01 up); the header names each one it knows.
constexpr uint32_t kLastCode = 0xFFFF;

// Appends `row` (a new reference, or null after a failure) to `rows`; false after a failure.
bool append(PyObject* rows, PyObject* row) {
    const bool ok = row && PyList_Append(rows, row) == 0;
    Py_XDECREF(row);
    return ok;
}

// The list `rows` as a tuple, or null (the list released either way).
PyObject* finished(PyObject* rows, bool ok) {
    PyObject* result = ok ? PyList_AsTuple(rows) : nullptr;
    Py_DECREF(rows);
    return result;
}

PyObject* statusTable(PyObject*, PyObject*) {
    PyObject* rows = PyList_New(0);
    if (!rows) return nullptr;
    bool ok = true;
    for (uint32_t code = 0; ok && code <= kLastCode; ++code) {
        const char* name = vexoStatusName(code);
        if (!name) continue;
        const char* hint = vexoStatusHint(code);
        ok = append(rows, Py_BuildValue("(Iss)", code, name, hint ? hint : ""));
    }
    return finished(rows, ok);
}

PyObject* i2cWidths(PyObject*, PyObject*) {
    PyObject* rows = PyList_New(0);
    if (!rows) return nullptr;
    bool ok = true;
    for (unsigned mode = I2C_MODE_8_8; ok && mode <= I2C_MODE_16_32; ++mode) {
        const auto m = static_cast<I2cMode>(mode);
        ok = append(rows, Py_BuildValue("(III)", mode, addressBits(m), valueBits(m)));
    }
    return finished(rows, ok);
}

}  // namespace

PyMethodDef kTableMethods[] = {
    {"status_table", statusTable, METH_NOARGS,
     "status_table() -> ((code, name, hint), ...) of every status code"},
    {"i2c_widths", i2cWidths, METH_NOARGS,
     "i2c_widths() -> ((mode, address_bits, value_bits), ...) of every I2C mode"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vexo::python
