// vexo._native's ISP: vexo::Isp (black level, white balance, demosaic, colour matrix, curve)
// for vexo.Isp and Frame.to_rgb, set from a parsed camera file's [colour] section, and its
// auto exposure driving a camera's named controls (native_controls.cpp). The pictures, the
// white-balance gains and the exposure steps are the C++ layer's; Python only shapes arrays.
// The interpreter lock is released while a frame is processed or a step reaches the board.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>
#include <new>
#include <string>
#include <vexo/isp.hpp>

#include "native_parts.h"

namespace vexo::python {

namespace {

struct IspObject {
    PyObject_HEAD std::unique_ptr<Isp> isp;
};

void ispDealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<IspObject*>(self)->isp.~unique_ptr<Isp>();
    type->tp_free(self);
    Py_DECREF(type);
}

Isp& ispOf(PyObject* self) {
    return *reinterpret_cast<IspObject*>(self)->isp;
}

// process(data, wide) -> (width, rows, bytearray of rows x width x 3 samples of 1 or 2 bytes
// in the host's order); ValueError for a frame the ISP does not take or one too short.
PyObject* ispProcess(PyObject* self, PyObject* args) {
    Py_buffer data{};
    int wide = 0;
    if (!PyArg_ParseTuple(args, "y*p", &data, &wide)) return nullptr;
    Isp& isp = ispOf(self);
    const IspLayout layout = wide ? IspLayout::Rgb16 : IspLayout::Rgb8;
    const size_t stride = size_t{isp.width()} * ispPixelBytes(layout);
    PyObject* picture =
        PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(stride * isp.height()));
    if (!picture) {
        PyBuffer_Release(&data);
        return nullptr;
    }
    IspTarget target;
    target.data = reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(picture));
    target.bytes = stride * isp.height();
    target.stride = stride;
    target.layout = layout;
    const std::span<const uint8_t> frame(static_cast<const uint8_t*>(data.buf),
                                         static_cast<size_t>(data.len));
    bool ok = false;
    Py_BEGIN_ALLOW_THREADS ok = isp.process(frame, target);
    Py_END_ALLOW_THREADS PyBuffer_Release(&data);
    if (!ok) {
        Py_DECREF(picture);
        PyErr_SetString(PyExc_ValueError,
                        isp.processes() ? "frame too short for its format and size"
                                        : "the ISP takes RAW, RAW_D, MON and MON_D frames of 1 "
                                          "or 2 bytes a pixel");
        return nullptr;
    }
    return Py_BuildValue("(IIN)", isp.width(), isp.height(), picture);
}

PyObject* ispWhiteBalance(PyObject* self, PyObject*) {
    const auto g = ispOf(self).whiteBalanceGains();
    return Py_BuildValue("(ddd)", g[0], g[1], g[2]);
}

PyObject* ispAutoExposure(PyObject* self, PyObject*) {
    const AutoExposureState& ae = ispOf(self).autoExposure();
    return Py_BuildValue("{s:d,s:d,s:d,s:O,s:d,s:d,s:I}", "level", ae.level, "target", ae.target,
                         "clipped", ae.clipped, "settled", ae.settled ? Py_True : Py_False,
                         "exposure", ae.exposure, "analogue_gain", ae.analogueGain, "adjustments",
                         ae.adjustments);
}

PyObject* settingsDict(const ColourSettings& s) {
    const auto& b = s.blackLevel;
    const auto& w = s.whiteBalance;
    const auto& m = s.ccm;
    return Py_BuildValue("{s:(dddd),s:O,s:(ddd),s:(ddddddddd),s:s,s:s,s:O}", "black_level", b[0],
                         b[1], b[2], b[3], "auto_white_balance",
                         s.autoWhiteBalance ? Py_True : Py_False, "white_balance", w[0], w[1], w[2],
                         "ccm", m[0], m[1], m[2], m[3], m[4], m[5], m[6], m[7], m[8], "gamma",
                         s.gamma == ColourSettings::Gamma::Srgb ? "srgb" : "linear", "demosaic",
                         s.demosaic == ColourSettings::Demosaic::Gradient ? "gradient" : "bilinear",
                         "auto_exposure", s.autoExposure ? Py_True : Py_False);
}

PyObject* ispSettings(PyObject* self, PyObject*) {
    return settingsDict(ispOf(self).settings());
}

// step(controls) -> (result, board status, message): one auto exposure step on the camera's
// named controls (the caller holds the camera's lock). Results: 0 waiting, 1 settled,
// 2 adjusted, 3 at limit, 4 no control, 5 board error.
PyObject* ispStep(PyObject* self, PyObject* args) {
    PyObject* controls = nullptr;
    if (!PyArg_ParseTuple(args, "O", &controls)) return nullptr;
    NamedControls* named = namedControlsOf(controls);
    if (!named) return nullptr;
    std::string error;
    Isp::StepResult result;
    Py_BEGIN_ALLOW_THREADS result = ispOf(self).autoExposureStep(*named, &error);
    Py_END_ALLOW_THREADS const unsigned board =
        result == Isp::StepResult::BoardError ? lastControlStatus(controls) : 0;
    return Py_BuildValue("(iIs)", static_cast<int>(result), board, error.c_str());
}

PyObject* ispShape(PyObject* self, PyObject*) {
    const Isp& isp = ispOf(self);
    return Py_BuildValue("(IIOO)", isp.width(), isp.height(), isp.processes() ? Py_True : Py_False,
                         isp.mono() ? Py_True : Py_False);
}

PyMethodDef kIspMethods[] = {
    {"process", ispProcess, METH_VARARGS,
     "process(data, wide) -> (width, rows, RGB bytes of 8 or 16-bit samples)"},
    {"white_balance", ispWhiteBalance, METH_NOARGS,
     "white_balance() -> (r, g, b): the gains applied to the last frame"},
    {"auto_exposure", ispAutoExposure, METH_NOARGS,
     "auto_exposure() -> dict: what auto exposure measured and did"},
    {"settings", ispSettings, METH_NOARGS, "settings() -> dict of the [colour] settings"},
    {"step", ispStep, METH_VARARGS,
     "step(named_controls) -> (result, board status, message): one auto exposure step"},
    {"shape", ispShape, METH_NOARGS, "shape() -> (width, rows, processes, mono)"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kIspSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(ispDealloc)},
    {Py_tp_methods, kIspMethods},
    {Py_tp_doc, const_cast<char*>("The ISP for one frame format (made by isp())")},
    {0, nullptr},
};

PyType_Spec kIspSpec = {"vexo._native.Isp", sizeof(IspObject), 0, Py_TPFLAGS_DEFAULT, kIspSlots};

PyTypeObject* ispType() {
    static PyObject* type = nullptr;  // made on first use, kept for the process
    if (!type) type = PyType_FromSpec(&kIspSpec);
    return reinterpret_cast<PyTypeObject*>(type);
}

// isp(parsed or None, format, width, height, pixel_bytes, pixel_bits, bayer) -> Isp: the
// file's [colour] settings (the ISP's defaults without a file or section).
PyObject* newIsp(PyObject*, PyObject* args) {
    PyObject* parsed = nullptr;
    unsigned format = 0, width = 0, height = 0, pixelBytes = 0, pixelBits = 0, bayer = 0;
    if (!PyArg_ParseTuple(args, "OIIIIII", &parsed, &format, &width, &height, &pixelBytes,
                          &pixelBits, &bayer))
        return nullptr;
    if (format > FORMAT_MODE_MON_D || width == 0 || height == 0 || width > 16384 ||
        height > 16384 || (pixelBytes != 1 && pixelBytes != 2) || pixelBits > 16 ||
        bayer > RAW_BG) {
        PyErr_SetString(PyExc_ValueError, "frame description out of range");
        return nullptr;
    }
    ColourSettings settings;
    if (parsed != Py_None) {
        const CameraFile* file = parsedFileOf(parsed);
        if (!file) return nullptr;
        settings = colourSettingsOf(*file);
    }
    FrameFormat f;
    f.width = width;
    f.height = height;
    f.pixelBytes = static_cast<uint8_t>(pixelBytes);
    f.pixelBits = static_cast<uint8_t>(pixelBits ? pixelBits : 8 * pixelBytes);
    f.format = static_cast<FormatMode>(format);
    f.bayer = static_cast<RawMode>(bayer);
    PyTypeObject* type = ispType();
    if (!type) return nullptr;
    auto* o = PyObject_New(IspObject, type);
    if (!o) return nullptr;
    new (&o->isp) std::unique_ptr<Isp>();
    try {
        o->isp = std::make_unique<Isp>(f, settings);
    } catch (const std::bad_alloc&) {
        Py_DECREF(o);
        return PyErr_NoMemory();
    }
    return reinterpret_cast<PyObject*>(o);
}

}  // namespace

PyObject* colourValues(const CameraFile& file) {
    if (!file.colour) Py_RETURN_NONE;
    return settingsDict(*file.colour);
}

PyMethodDef kIspModuleMethods[] = {
    {"isp", newIsp, METH_VARARGS,
     "isp(parsed or None, format, width, height, pixel_bytes, pixel_bits, bayer) -> Isp"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vexo::python
