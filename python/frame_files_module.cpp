// vexo._frame_files: Frame.save's way to the C++ frame writers (tools/record/frame_files.h),
// so Python writes the same DNG, PNG and raw files as `vexo record`, not files of its own.
// One function, save(path, data, width, height, pixel_bytes, pixel_bits, format, bayer,
// number, time); the interpreter lock is released while the file is written.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>

#include "record/frame_files.h"

namespace {

PyObject* save(PyObject*, PyObject* args) {
    const char* path = nullptr;
    Py_buffer data{};
    unsigned width = 0, height = 0, pixelBytes = 0, pixelBits = 0, format = 0, bayer = 0;
    unsigned long long number = 0, time = 0;
    if (!PyArg_ParseTuple(args, "sy*IIIIIIKK", &path, &data, &width, &height, &pixelBytes,
                          &pixelBits, &format, &bayer, &number, &time))
        return nullptr;
    if (width == 0 || height == 0 || width > 16384 || height > 16384 ||
        (pixelBytes != 1 && pixelBytes != 2) || pixelBits > 16 || format > FORMAT_MODE_MON_D ||
        bayer > RAW_BG) {
        PyBuffer_Release(&data);
        PyErr_SetString(PyExc_ValueError, "frame description out of range");
        return nullptr;
    }
    vexo::tools::FrameLayout layout;
    layout.width = width;
    layout.height = height;
    layout.pixelBytes = static_cast<uint8_t>(pixelBytes);
    layout.pixelBits = static_cast<uint8_t>(pixelBits);
    layout.format = static_cast<FormatMode>(format);
    layout.bayer = static_cast<RawMode>(bayer);
    const std::span<const uint8_t> bytes(static_cast<const uint8_t*>(data.buf),
                                         static_cast<size_t>(data.len));
    const vexo::tools::FrameStamp stamp{number, time, "Vexo camera"};
    std::string error;
    bool ok = false;
    Py_BEGIN_ALLOW_THREADS
    ok = vexo::tools::saveFrame(path, layout, bytes, stamp, error);
    Py_END_ALLOW_THREADS
    PyBuffer_Release(&data);
    if (!ok) {
        PyErr_SetString(PyExc_OSError, error.c_str());
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef kMethods[] = {
    {"save", save, METH_VARARGS,
     "save(path, data, width, height, pixel_bytes, pixel_bits, format, bayer, number, time)"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "_frame_files",
                       "The C++ frame writers behind vexo.Frame.save.", -1, kMethods,
                       nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__frame_files() {
    return PyModule_Create(&kModule);
}
