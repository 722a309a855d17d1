// vexo._native's frame functions, all the C++ layer's (libvexo-cpp): the frame layout (bytes and
// rows of a frame, as the library counts them), Frame.to_rgb through its frame converter and,
// when the layer is built with libtiff, Frame.save through the frame writers of `vexo record`,
// so Python counts, shows and writes frames as the tool does, not by rules of its own. The
// interpreter lock is released while a frame is converted or a file written.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <new>
#include <span>
#include <string>
#include <vexo/frame_converter.hpp>
#include <vexo/frame_layout.hpp>

#include "native_parts.h"
#ifdef VEXO_HAVE_RECORD
#include <vexo/frame_files.hpp>
#endif

namespace vexo::python {

namespace {

bool grey(FormatMode format) {
    return format == FORMAT_MODE_MON || format == FORMAT_MODE_MON_D;
}

// The frame as an 8-bit RGB picture in `rgb` (the converter's picture, grey repeated in the
// three channels); false for a frame shorter than its format and size need.
bool convertFrame(FrameConverter& converter, bool grey, std::span<const uint8_t> frame,
                  uint8_t* rgb) {
    ImageView image;
    if (!converter.convert(frame, image)) return false;
    if (grey) {
        for (size_t i = 0; i < image.pixels.size(); ++i)
            rgb[3 * i] = rgb[3 * i + 1] = rgb[3 * i + 2] = image.pixels[i];
    } else {
        std::memcpy(rgb, image.pixels.data(), image.pixels.size());
    }
    return true;
}

// frame_to_rgb(data, format, width, height, pixel_bytes, pixel_bits, bayer)
//   -> (width, rows, bytearray of rows x width x 3)
PyObject* frameToRgb(PyObject*, PyObject* args) {
    Py_buffer data{};
    Py_ssize_t width = 0, height = 0, bits = 0;
    int format = 0, pixelBytes = 0, bayer = 0;
    if (!PyArg_ParseTuple(args, "y*innini", &data, &format, &width, &height, &pixelBytes, &bits,
                          &bayer))
        return nullptr;
    const std::span<const uint8_t> frame(static_cast<const uint8_t*>(data.buf),
                                         static_cast<size_t>(data.len));
    const char* refused = nullptr;
    if (format < FORMAT_MODE_RAW || format > FORMAT_MODE_MON_D || format == FORMAT_MODE_JPG)
        refused = "frame format out of range (JPG frames are not converted)";
    else if (pixelBytes != 1 && pixelBytes != 2)
        refused = "pixel bytes must be 1 or 2";
    // Every pixel takes a byte of the frame at least, so the frame's length bounds the
    // picture (and what the converter allocates) before the converter is made.
    else if (width < 0 || height < 0 ||
             (width > 0 && static_cast<size_t>(height) > frame.size() / width))
        refused = "frame too short for its format and size";
    PyObject* result = nullptr;
    if (refused) {
        PyErr_SetString(PyExc_ValueError, refused);
    } else {
        FrameFormat f;
        f.width = static_cast<uint32_t>(width);
        f.height = static_cast<uint32_t>(height);
        f.pixelBytes = static_cast<uint8_t>(pixelBytes);
        f.pixelBits = bits > 0 && bits <= 16 ? static_cast<uint8_t>(bits) : 0;  // 0: all bits
        f.format = static_cast<FormatMode>(format);
        f.bayer = static_cast<RawMode>(bayer & 3);
        f.wideRgb = f.wideGrey = false;  // pictures for viewing: 8 bits a sample
        try {
            FrameConverter converter(f);
            const size_t size = size_t{converter.imageWidth()} * converter.imageHeight() * 3;
            PyObject* picture =
                PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
            bool ok = false;
            if (picture) {
                auto* rgb = reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(picture));
                Py_BEGIN_ALLOW_THREADS ok = convertFrame(converter, grey(f.format), frame, rgb);
                Py_END_ALLOW_THREADS if (ok) result = Py_BuildValue(
                    "(IIN)", converter.imageWidth(), converter.imageHeight(), picture);
                else {
                    Py_DECREF(picture);
                    PyErr_SetString(PyExc_ValueError, "frame too short for its format and size");
                }
            }
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        }
    }
    PyBuffer_Release(&data);
    return result;
}

// frame_layout(format, width, height, pixel_bytes, pixel_bits) -> dict, or None for a format
// the library gives no size
PyObject* frameLayoutCall(PyObject*, PyObject* args) {
    unsigned format = 0, width = 0, height = 0, pixelBytes = 0, pixelBits = 0;
    if (!PyArg_ParseTuple(args, "IIIII", &format, &width, &height, &pixelBytes, &pixelBits))
        return nullptr;
    if (pixelBytes > 255 || pixelBits > 255) {
        PyErr_SetString(PyExc_ValueError, "pixel bytes and bits must be 0..255");
        return nullptr;
    }
    CameraConfig cfg{};
    cfg.u32Width = width;
    cfg.u32Height = height;
    cfg.u8PixelBytes = static_cast<uint8_t>(pixelBytes);
    cfg.u8PixelBits = static_cast<uint8_t>(pixelBits);
    // Any 32-bit value may stand in the field; it is only ever read as bytes.
    std::memcpy(&cfg.emImageFmtMode, &format, sizeof format);
    const FrameLayout l = frameLayout(cfg);
    if (!l.known) Py_RETURN_NONE;
    return Py_BuildValue(
        "{s:K,s:O,s:n,s:I,s:I,s:I,s:I,s:I,s:n}", "bytes", static_cast<unsigned long long>(l.bytes),
        "exact", l.exact ? Py_True : Py_False, "slot_bytes", static_cast<Py_ssize_t>(l.slotBytes),
        "width", l.width, "height", l.height, "images", l.images, "rows", l.rows, "sample_bytes",
        l.sampleBytes, "stride", static_cast<Py_ssize_t>(l.stride));
}

#ifdef VEXO_HAVE_RECORD
// save_frame(path, data, width, height, pixel_bytes, pixel_bits, format, bayer, number, time,
//            parsed camera file or None)
PyObject* saveFrame(PyObject*, PyObject* args) {
    const char* path = nullptr;
    Py_buffer data{};
    unsigned width = 0, height = 0, pixelBytes = 0, pixelBits = 0, format = 0, bayer = 0;
    unsigned long long number = 0, time = 0;
    PyObject* parsed = Py_None;
    if (!PyArg_ParseTuple(args, "sy*IIIIIIKK|O", &path, &data, &width, &height, &pixelBytes,
                          &pixelBits, &format, &bayer, &number, &time, &parsed))
        return nullptr;
    // The camera file's [colour] section goes into a DNG's colour tags, as vexo record does.
    const CameraFile* file = parsed == Py_None ? nullptr : parsedFileOf(parsed);
    if (parsed != Py_None && !file) {
        PyBuffer_Release(&data);
        return nullptr;
    }
    if (width == 0 || height == 0 || width > 16384 || height > 16384 ||
        (pixelBytes != 1 && pixelBytes != 2) || pixelBits > 16 || format > FORMAT_MODE_MON_D ||
        bayer > RAW_BG) {
        PyBuffer_Release(&data);
        PyErr_SetString(PyExc_ValueError, "frame description out of range");
        return nullptr;
    }
    FrameFormat layout;
    layout.width = width;
    layout.height = height;
    layout.pixelBytes = static_cast<uint8_t>(pixelBytes);
    layout.pixelBits = static_cast<uint8_t>(pixelBits);
    layout.format = static_cast<FormatMode>(format);
    layout.bayer = static_cast<RawMode>(bayer);
    const std::span<const uint8_t> bytes(static_cast<const uint8_t*>(data.buf),
                                         static_cast<size_t>(data.len));
    FrameStamp stamp{number, time, "Vexo camera"};
    if (file && file->colour) stamp.colour = &*file->colour;
    std::string error;
    bool ok = false;
    Py_BEGIN_ALLOW_THREADS ok = saveFrame(path, layout, bytes, stamp, error);
    Py_END_ALLOW_THREADS PyBuffer_Release(&data);
    if (!ok) {
        PyErr_SetString(PyExc_OSError, error.c_str());
        return nullptr;
    }
    Py_RETURN_NONE;
}
#endif

}  // namespace

PyMethodDef kFrameMethods[] = {
    {"frame_layout", frameLayoutCall, METH_VARARGS,
     "frame_layout(format, width, height, pixel_bytes, pixel_bits) -> {'bytes', 'exact', "
     "'slot_bytes', 'width', 'height', 'images', 'rows', 'sample_bytes', 'stride'}, or None for "
     "a format the library gives no size: a frame's layout as the library counts it"},
    {"frame_to_rgb", frameToRgb, METH_VARARGS,
     "frame_to_rgb(data, format, width, height, pixel_bytes, pixel_bits, bayer) -> "
     "(width, rows, RGB bytes): the frame as the tool's 8-bit picture"},
#ifdef VEXO_HAVE_RECORD
    {"save_frame", saveFrame, METH_VARARGS,
     "save_frame(path, data, width, height, pixel_bytes, pixel_bits, format, bayer, number, "
     "time, parsed=None): the frame as a file of the kind its extension names; a DNG carries "
     "the [colour] section of the parsed camera file"},
#endif
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vexo::python
