// vexo._native's named controls: the [controls] of a parsed camera file described for Python,
// and vexo::NamedControls on a camera VexoSDK opened, whose register calls come from VexoSDK
// (control_calls.h) because the camera handle belongs to that module's copy of the library.
// The rules (clamping, steps, menus, read-back, value text) are NamedControls'; Python only
// turns its outcomes into exceptions.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>
#include <new>
#include <string>
#include <vexo/named_controls.hpp>

#include "control_calls.h"
#include "native_parts.h"

namespace vexo::python {

namespace {

constexpr const char* kParsedName = "vexo._native.CameraFile";

PyObject* text(std::string_view s) {
    return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogateescape");
}

PyObject* describe(const ControlSpec& c) {
    PyObject* menu = PyList_New(0);
    PyObject* registers = PyTuple_New(static_cast<Py_ssize_t>(c.registers.size()));
    if (!menu || !registers) {
        Py_XDECREF(menu);
        Py_XDECREF(registers);
        return nullptr;
    }
    for (size_t i = 0; i < c.registers.size(); ++i)
        PyTuple_SET_ITEM(registers, static_cast<Py_ssize_t>(i),
                         PyLong_FromUnsignedLong(c.registers[i]));
    for (const auto& item : c.menu) {
        PyObject* entry = Py_BuildValue("(Nd)", text(item.name), item.value);
        if (!entry || PyList_Append(menu, entry) != 0) {
            Py_XDECREF(entry);
            Py_DECREF(menu);
            Py_DECREF(registers);
            return nullptr;
        }
        Py_DECREF(entry);
    }
    return Py_BuildValue("{s:N,s:N,s:N,s:d,s:d,s:d,s:d,s:N,s:N,s:(II),s:s,s:d,s:d,s:N,s:I}", "name",
                         text(c.name), "type", text(controlTypeName(c.type)), "unit", text(c.unit),
                         "min", c.min, "max", c.max, "step", c.step, "default", c.defaultValue,
                         "menu", menu, "registers", registers, "bits", c.lowBit, c.bitCount,
                         "order", c.bigEndian ? "big" : "little", "scale", c.scale, "offset",
                         c.offset, "lua", text(c.luaFunction), "line", c.line);
}

void freeParsed(PyObject* capsule) {
    delete static_cast<CameraFile*>(PyCapsule_GetPointer(capsule, kParsedName));
}

// The Python face of one NamedControls. It holds the VexoSDK handle capsule, so the module's
// record of the camera (the handle NamedControls calls with) outlives it.
struct ControlsObject {
    PyObject_HEAD std::unique_ptr<NamedControls> controls;
    PyObject* handle;
    Uint32 (*lastStatus)();
};

void controlsDealloc(PyObject* self) {
    auto* o = reinterpret_cast<ControlsObject*>(self);
    PyTypeObject* type = Py_TYPE(self);
    o->controls.~unique_ptr<NamedControls>();
    Py_CLEAR(o->handle);
    type->tp_free(self);
    Py_DECREF(type);  // instances of a heap type hold a reference to it
}

// (status, value, board status, message): status 0 ok, 1 unknown name, 2 invalid value,
// 3 board error (board status: the failing register call's status code; 0 when a Lua control
// function failed).
PyObject* outcome(ControlsObject* o, ControlStatus status, double value, const std::string& error) {
    const Uint32 board = status == ControlStatus::BoardError ? o->lastStatus() : 0;
    return Py_BuildValue("(idIN)", static_cast<int>(status), value, board, text(error));
}

bool nameOf(PyObject* args, std::string& name, double* value) {
    const char* s = nullptr;
    Py_ssize_t length = 0;
    if (value ? !PyArg_ParseTuple(args, "s#d", &s, &length, value)
              : !PyArg_ParseTuple(args, "s#", &s, &length))
        return false;
    name.assign(s, static_cast<size_t>(length));
    return true;
}

PyObject* controlsGet(PyObject* self, PyObject* args) {
    auto* o = reinterpret_cast<ControlsObject*>(self);
    std::string name, error;
    if (!nameOf(args, name, nullptr)) return nullptr;
    double value = 0;
    ControlStatus status;
    Py_BEGIN_ALLOW_THREADS status = o->controls->get(name, value, &error);
    Py_END_ALLOW_THREADS return outcome(o, status, value, error);
}

PyObject* controlsSet(PyObject* self, PyObject* args) {
    auto* o = reinterpret_cast<ControlsObject*>(self);
    std::string name, error;
    double value = 0;
    if (!nameOf(args, name, &value)) return nullptr;
    double applied = 0;
    ControlStatus status;
    Py_BEGIN_ALLOW_THREADS status = o->controls->set(name, value, &applied, &error);
    Py_END_ALLOW_THREADS return outcome(o, status, applied, error);
}

PyObject* controlsParse(PyObject* self, PyObject* args) {
    auto* o = reinterpret_cast<ControlsObject*>(self);
    const char* name = nullptr;
    const char* value = nullptr;
    Py_ssize_t nameLength = 0, valueLength = 0;
    if (!PyArg_ParseTuple(args, "s#s#", &name, &nameLength, &value, &valueLength)) return nullptr;
    const ControlSpec* c = o->controls->find(std::string_view(name, nameLength));
    double parsed = 0;
    if (!c || !NamedControls::parseValue(*c, std::string_view(value, valueLength), parsed))
        Py_RETURN_NONE;
    return PyFloat_FromDouble(parsed);
}

PyObject* controlsFormat(PyObject* self, PyObject* args) {
    auto* o = reinterpret_cast<ControlsObject*>(self);
    const char* name = nullptr;
    Py_ssize_t length = 0;
    double value = 0;
    if (!PyArg_ParseTuple(args, "s#d", &name, &length, &value)) return nullptr;
    const ControlSpec* c = o->controls->find(std::string_view(name, length));
    if (!c) Py_RETURN_NONE;
    return text(NamedControls::formatValue(*c, value));
}

PyMethodDef kControlsMethods[] = {
    {"get", controlsGet, METH_VARARGS,
     "get(name) -> (status, value, board_status, message): the value read back"},
    {"set", controlsSet, METH_VARARGS,
     "set(name, value) -> (status, applied, board_status, message): clamped, stepped, written, "
     "read back"},
    {"parse_value", controlsParse, METH_VARARGS,
     "parse_value(name, text) -> float, or None for text the control does not take"},
    {"format_value", controlsFormat, METH_VARARGS,
     "format_value(name, value) -> the value as text (a menu entry's name, a number)"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kControlsSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(controlsDealloc)},
    {Py_tp_methods, kControlsMethods},
    {Py_tp_doc, const_cast<char*>("A camera's named controls (made by named_controls())")},
    {0, nullptr},
};

PyType_Spec kControlsSpec = {"vexo._native.NamedControls", sizeof(ControlsObject), 0,
                             Py_TPFLAGS_DEFAULT, kControlsSlots};

// Made once, on first use, and kept for the life of the process.
PyTypeObject* controlsType() {
    static PyObject* type = nullptr;
    if (!type) type = PyType_FromSpec(&kControlsSpec);
    return reinterpret_cast<PyTypeObject*>(type);
}

const pyvexo::ControlCalls* controlCalls() {
    auto* calls =
        static_cast<const pyvexo::ControlCalls*>(PyCapsule_Import(pyvexo::kControlCallsCapsule, 0));
    if (calls && calls->size != sizeof(pyvexo::ControlCalls)) {
        PyErr_SetString(PyExc_ImportError, "VexoSDK and vexo._native were built apart");
        return nullptr;
    }
    return calls;
}

// named_controls(handle, parsed, i2c_address, i2c_mode) -> NamedControls
PyObject* namedControls(PyObject*, PyObject* args) {
    PyObject *handle = nullptr, *parsed = nullptr;
    unsigned address = 0;
    int mode = 0;
    if (!PyArg_ParseTuple(args, "OOIi", &handle, &parsed, &address, &mode)) return nullptr;
    const CameraFile* file = parsedFileOf(parsed);
    if (!file) return nullptr;
    const pyvexo::ControlCalls* calls = controlCalls();
    if (!calls) return nullptr;
    const CameraHandle state = calls->stateHandle(handle);
    if (!state) return nullptr;
    PyTypeObject* type = controlsType();
    if (!type) return nullptr;
    auto* o = PyObject_New(ControlsObject, type);
    if (!o) return nullptr;
    new (&o->controls) std::unique_ptr<NamedControls>();
    Py_INCREF(handle);
    o->handle = handle;
    o->lastStatus = calls->lastStatus;
    try {
        // The camera's address and mode as it was opened with (a Config changed after it was
        // read keeps its controls).
        CameraFile copy = *file;
        copy.config.u32I2cAddr = address;
        copy.config.emI2cMode = static_cast<I2cMode>(mode);
        o->controls = std::make_unique<NamedControls>(state, copy,
                                                      calls->callsFor(static_cast<I2cMode>(mode)));
    } catch (const std::bad_alloc&) {
        Py_DECREF(o);
        return PyErr_NoMemory();
    }
    return reinterpret_cast<PyObject*>(o);
}

}  // namespace

NamedControls* namedControlsOf(PyObject* object) {
    PyTypeObject* type = controlsType();
    if (!type) return nullptr;
    if (!PyObject_TypeCheck(object, type)) {
        PyErr_SetString(PyExc_TypeError, "expected the named controls of named_controls()");
        return nullptr;
    }
    return reinterpret_cast<ControlsObject*>(object)->controls.get();
}

unsigned lastControlStatus(PyObject* object) {
    return reinterpret_cast<ControlsObject*>(object)->lastStatus();
}

const CameraFile* parsedFileOf(PyObject* capsule) {
    return static_cast<const CameraFile*>(PyCapsule_GetPointer(capsule, kParsedName));
}

PyObject* controlDescriptions(const CameraFile& file) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(file.controls.size()));
    if (!list) return nullptr;
    for (size_t i = 0; i < file.controls.size(); ++i) {
        PyObject* d = describe(file.controls[i]);
        if (!d) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), d);
    }
    return list;
}

PyObject* parsedFile(const CameraFile& file) {
    CameraFile* copy = new (std::nothrow) CameraFile(file);
    if (!copy) return PyErr_NoMemory();
    PyObject* capsule = PyCapsule_New(copy, kParsedName, freeParsed);
    if (!capsule) delete copy;
    return capsule;
}

PyMethodDef kControlMethods[] = {
    {"named_controls", namedControls, METH_VARARGS,
     "named_controls(handle, parsed, i2c_address, i2c_mode) -> NamedControls: the controls of "
     "a parsed file (Config's parsed capsule) on a VexoSDK camera"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vexo::python
