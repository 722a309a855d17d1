// vexo._status_codes: the status names and hints of <vexo/status.h>, so that vexo.errors
// tells the same story as the C and C++ callers without a table of its own.
// One function, table(): ((code, name, hint), ...) in ascending code order.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <vexo/status.h>

namespace {

// Status codes are 16-bit values (0 and 0xFF01 up); the header names each one it knows.
constexpr uint32_t kLastCode = 0xFFFF;

PyObject* table(PyObject*, PyObject*) {
    PyObject* rows = PyList_New(0);
    if (!rows) return nullptr;
    for (uint32_t code = 0; code <= kLastCode; ++code) {
        const char* name = vexoStatusName(code);
        if (!name) continue;
        const char* hint = vexoStatusHint(code);
        PyObject* row = Py_BuildValue("(Iss)", code, name, hint ? hint : "");
        if (!row || PyList_Append(rows, row) != 0) {
            Py_XDECREF(row);
            Py_DECREF(rows);
            return nullptr;
        }
        Py_DECREF(row);
    }
    PyObject* result = PyList_AsTuple(rows);
    Py_DECREF(rows);
    return result;
}

PyMethodDef kMethods[] = {
    {"table", table, METH_NOARGS, "table() -> ((code, name, hint), ...) of every status code"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "_status_codes",
                       "The status names and hints of the camera library.", -1, kMethods,
                       nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__status_codes() {
    return PyModule_Create(&kModule);
}
