// vexo._native: the package's way to the C++ camera-configuration loader (tools/config) and
// frame converter (tools/imaging), so that vexo.config and vexo.convert follow the vexo tool's
// rules and messages instead of rules of their own; the module's other parts (native_parts.h)
// add the library's tables and the frame functions. It needs no optional package (the frame
// writers come along when the build has libtiff), so the package always has it. The
// interpreter lock is released while a file is read or parsed and while a picture is converted.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vexo/camera_file.hpp>
#include <vexo/frame_converter.hpp>

#include "native_parts.h"

namespace {

using namespace vexo;

// Text of the file (a name, a message quoting a line) as str: bytes that are not UTF-8 come
// back as the lone surrogates Python uses for such bytes in file names.
PyObject* decoded(std::string_view s) {
    return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogateescape");
}

// A parsed file as the dict of vexo.Config's fields: enumerations as numbers, registers as
// (address, value, delay, line), board commands as (request, value, index, data, line), the
// controls described, the [colour] settings (None without), and the parsed file itself for
// named_controls() and isp().
PyObject* fileValues(const CameraFile& f) {
    PyObject* registers = PyList_New(static_cast<Py_ssize_t>(f.registers.size()));
    PyObject* commands = PyList_New(static_cast<Py_ssize_t>(f.boardCommands.size()));
    if (!registers || !commands) {
        Py_XDECREF(registers);
        Py_XDECREF(commands);
        return nullptr;
    }
    Py_ssize_t i = 0;
    for (const RegisterStep& s : f.registers) {
        PyObject* step =
            Py_BuildValue("(IINI)", s.address, s.value,
                          PyBool_FromLong(s.kind == RegisterStep::Kind::Delay), s.line);
        if (!step) {
            Py_DECREF(registers);
            Py_DECREF(commands);
            return nullptr;
        }
        PyList_SET_ITEM(registers, i++, step);
    }
    i = 0;
    for (const BoardCommand& b : f.boardCommands) {
        // (an empty vector's data() may be null, which "y#" would make None)
        const char* data = b.data.empty() ? "" : reinterpret_cast<const char*>(b.data.data());
        PyObject* command =
            Py_BuildValue("(IIIy#I)", unsigned{b.request}, unsigned{b.value}, unsigned{b.index},
                          data, static_cast<Py_ssize_t>(b.data.size()), b.line);
        if (!command) {
            Py_DECREF(registers);
            Py_DECREF(commands);
            return nullptr;
        }
        PyList_SET_ITEM(commands, i++, command);
    }
    PyObject* controls = python::controlDescriptions(f);
    PyObject* parsed = controls ? python::parsedFile(f) : nullptr;
    PyObject* colour = parsed ? python::colourValues(f) : nullptr;
    if (!colour) {
        Py_XDECREF(parsed);
        Py_XDECREF(controls);
        Py_DECREF(registers);
        Py_DECREF(commands);
        return nullptr;
    }
    const CameraConfig& c = f.config;
    return Py_BuildValue("{s:N,s:I,s:I,s:i,s:I,s:i,s:I,s:I,s:i,s:I,s:I,s:I,s:N,s:N,s:N,s:N,s:N}",
                         "name", decoded(f.name), "width", c.u32Width, "height", c.u32Height,
                         "format", static_cast<int>(c.emImageFmtMode), "i2c_address", c.u32I2cAddr,
                         "i2c_mode", static_cast<int>(c.emI2cMode), "pixel_bytes",
                         unsigned{c.u8PixelBytes}, "pixel_bits", unsigned{c.u8PixelBits}, "bayer",
                         static_cast<int>(f.bayer), "transfer_level", c.u32TransLvl, "camera_type",
                         c.u32CameraType, "sensor_vid", unsigned{c.u16Vid}, "registers", registers,
                         "board_commands", commands, "controls", controls, "parsed", parsed,
                         "colour", colour);
}

// The loader's outcome: the file's values, or (line, message) with line 0 when no line is
// to blame.
PyObject* outcome(bool ok, const CameraFile& file, const CameraFileError& error) {
    if (ok) return fileValues(file);
    return Py_BuildValue("(IN)", error.line, decoded(error.message));
}

PyObject* parse(PyObject*, PyObject* args) {
    Py_buffer text{};
    if (!PyArg_ParseTuple(args, "y*", &text)) return nullptr;
    CameraFile file;
    CameraFileError error;
    bool ok = false;
    Py_BEGIN_ALLOW_THREADS ok = parseCameraFile(
        std::string_view(static_cast<const char*>(text.buf), static_cast<size_t>(text.len)), "",
        file, error);
    Py_END_ALLOW_THREADS PyBuffer_Release(&text);
    return outcome(ok, file, error);
}

PyObject* load(PyObject*, PyObject* args) {
    PyObject* path = nullptr;
    if (!PyArg_ParseTuple(args, "O&", PyUnicode_FSConverter, &path)) return nullptr;
    const std::string name(PyBytes_AS_STRING(path), static_cast<size_t>(PyBytes_GET_SIZE(path)));
    Py_DECREF(path);
    CameraFile file;
    CameraFileError error;
    bool ok = false;
    Py_BEGIN_ALLOW_THREADS ok = loadCameraFile(name, file, error);
    Py_END_ALLOW_THREADS return outcome(ok, file, error);
}

PyObject* defaultFile(PyObject*, PyObject*) {
    return fileValues(defaultCameraFile());
}

PyObject* defaultText(PyObject*, PyObject*) {
    return decoded(defaultCameraFileText());
}

PyObject* parseNumberCall(PyObject*, PyObject* args) {
    const char* text = nullptr;
    Py_ssize_t length = 0;
    unsigned long long max = 0;
    if (!PyArg_ParseTuple(args, "y#K", &text, &length, &max)) return nullptr;
    uint64_t value = 0;
    if (!parseNumber(std::string_view(text, static_cast<size_t>(length)), max, value))
        Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(value);
}

// parse_format, parse_i2c_mode, parse_bayer: the enumeration's number, or None.
template <typename Enum, bool (*Parse)(std::string_view, Enum&)>
PyObject* parseName(PyObject*, PyObject* args) {
    const char* text = nullptr;
    Py_ssize_t length = 0;
    if (!PyArg_ParseTuple(args, "y#", &text, &length)) return nullptr;
    Enum value{};
    if (!Parse(std::string_view(text, static_cast<size_t>(length)), value)) Py_RETURN_NONE;
    return PyLong_FromLong(static_cast<long>(value));
}

// The converters: a contiguous source buffer, picture sizes, and a writable buffer the
// picture goes to. `convert` runs without the interpreter lock and says whether the buffers
// were large enough.
template <typename Convert>
PyObject* converted(Py_buffer& source, Py_buffer& target, Convert convert) {
    const std::span<const uint8_t> in(static_cast<const uint8_t*>(source.buf),
                                      static_cast<size_t>(source.len));
    const std::span<uint8_t> out(static_cast<uint8_t*>(target.buf),
                                 static_cast<size_t>(target.len));
    bool ok = false;
    Py_BEGIN_ALLOW_THREADS ok = convert(in, out);
    Py_END_ALLOW_THREADS PyBuffer_Release(&source);
    PyBuffer_Release(&target);
    if (!ok) {
        PyErr_SetString(PyExc_ValueError, "buffer too short for the picture's size");
        return nullptr;
    }
    Py_RETURN_NONE;
}

bool pictureSize(Py_buffer& source, Py_buffer& target, Py_ssize_t width, Py_ssize_t height) {
    if (width >= 0 && height >= 0 && width <= UINT32_MAX && height <= UINT32_MAX) return true;
    PyBuffer_Release(&source);
    PyBuffer_Release(&target);
    PyErr_SetString(PyExc_ValueError, "picture size out of range");
    return false;
}

PyObject* debayerCall(PyObject*, PyObject* args) {
    Py_buffer source{}, target{};
    Py_ssize_t width = 0, height = 0;
    int bayer = 0;
    if (!PyArg_ParseTuple(args, "y*nniw*", &source, &width, &height, &bayer, &target))
        return nullptr;
    if (!pictureSize(source, target, width, height)) return nullptr;
    const RawMode order = static_cast<RawMode>(bayer & 3);
    return converted(source, target, [=](auto in, auto out) {
        return debayer8(in, static_cast<uint32_t>(width), static_cast<uint32_t>(height), order,
                        out);
    });
}

PyObject* yuyvCall(PyObject*, PyObject* args) {
    Py_buffer source{}, target{};
    Py_ssize_t width = 0, height = 0;
    if (!PyArg_ParseTuple(args, "y*nnw*", &source, &width, &height, &target)) return nullptr;
    if (!pictureSize(source, target, width, height)) return nullptr;
    return converted(source, target, [=](auto in, auto out) {
        return yuyvToRgb(in, static_cast<uint32_t>(width), static_cast<uint32_t>(height), out);
    });
}

PyObject* rgb565Call(PyObject*, PyObject* args) {
    Py_buffer source{}, target{};
    if (!PyArg_ParseTuple(args, "y*w*", &source, &target)) return nullptr;
    return converted(source, target, [](auto in, auto out) { return rgb565ToRgb(in, out); });
}

PyObject* scaleCall(PyObject*, PyObject* args) {
    Py_buffer source{}, target{};
    unsigned sampleBytes = 0, bits = 0;
    if (!PyArg_ParseTuple(args, "y*IIw*", &source, &sampleBytes, &bits, &target)) return nullptr;
    return converted(source, target,
                     [=](auto in, auto out) { return scaleTo8Bits(in, sampleBytes, bits, out); });
}

PyMethodDef kMethods[] = {
    {"parse", parse, METH_VARARGS,
     "parse(text: bytes) -> dict of Config fields, or (line, message); line 0: none"},
    {"load", load, METH_VARARGS, "load(path) -> as parse(), the file read without the lock"},
    {"default", defaultFile, METH_NOARGS, "default() -> the default board's Config fields"},
    {"default_text", defaultText, METH_NOARGS, "default_text() -> the default file's text"},
    {"parse_number", parseNumberCall, METH_VARARGS,
     "parse_number(text: bytes, maximum) -> int or None"},
    {"parse_format", parseName<FormatMode, parseFormatName>, METH_VARARGS,
     "parse_format(text: bytes) -> FormatMode value or None"},
    {"parse_i2c_mode", parseName<I2cMode, parseI2cModeName>, METH_VARARGS,
     "parse_i2c_mode(text: bytes) -> I2cMode value or None"},
    {"parse_bayer", parseName<RawMode, parseBayerName>, METH_VARARGS,
     "parse_bayer(text: bytes) -> RawMode value or None"},
    {"debayer", debayerCall, METH_VARARGS,
     "debayer(mosaic, width, height, bayer, rgb): 8-bit mosaic to RGB bytes"},
    {"yuyv", yuyvCall, METH_VARARGS, "yuyv(yuyv, width, height, rgb): YUYV to RGB bytes"},
    {"rgb565", rgb565Call, METH_VARARGS, "rgb565(words, rgb): little-endian RGB565 to RGB"},
    {"scale", scaleCall, METH_VARARGS,
     "scale(samples, sample_bytes, bits, out): samples stretched to 8 bits"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT,
                       "_native",
                       "The C++ configuration loader, frame converter and frame writers "
                       "behind vexo.config, vexo.convert, vexo.errors and vexo.Frame.",
                       -1,
                       kMethods,
                       nullptr,
                       nullptr,
                       nullptr,
                       nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__native() {
    PyObject* module = PyModule_Create(&kModule);
    if (module && (PyModule_AddFunctions(module, vexo::python::kTableMethods) != 0 ||
                   PyModule_AddFunctions(module, vexo::python::kFrameMethods) != 0 ||
                   PyModule_AddFunctions(module, vexo::python::kControlMethods) != 0 ||
                   PyModule_AddFunctions(module, vexo::python::kIspModuleMethods) != 0 ||
                   PyModule_AddFunctions(module, vexo::python::kSyncMethods) != 0))
        Py_CLEAR(module);
    return module;
}
