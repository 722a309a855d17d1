#include "support.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

namespace pyvexo {

namespace {

// A static type whose instances only export a read-only buffer (the objects behind the
// memoryviews the module hands out).
PyTypeObject bufferType(const char* name, Py_ssize_t size, destructor dealloc,
                        PyBufferProcs* buffer, const char* doc) {
    PyTypeObject t{};
    Py_SET_REFCNT(&t, 1);
    t.tp_name = name;
    t.tp_basicsize = size;
    t.tp_dealloc = dealloc;
    t.tp_as_buffer = buffer;
    t.tp_flags = Py_TPFLAGS_DEFAULT;
    t.tp_doc = doc;
    return t;
}

// @type once PyType_Ready has accepted it; null (with the error set) when it refused.
PyTypeObject* readyType(PyTypeObject& type) {
    if (!(type.tp_flags & Py_TPFLAGS_READY) && PyType_Ready(&type) < 0) return nullptr;
    return &type;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Integer conversions
// ---------------------------------------------------------------------------------------

namespace {

// The int behind @obj: @obj itself when it is an int, otherwise what its __int__ returns.
PyObject* intOf(PyObject* obj) {
    if (PyLong_Check(obj)) {
        Py_INCREF(obj);
        return obj;
    }
    PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
    PyObject* result = nullptr;
    if (number != nullptr && number->nb_int != nullptr) result = number->nb_int(obj);
    if (result == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "an integer is required");
        return nullptr;
    }
    if (PyLong_CheckExact(result)) return result;
    if (PyLong_Check(result)) {
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to return an "
                             "instance of a strict subclass of int is deprecated, and may be "
                             "removed in a future version of Python.",
                             Py_TYPE(result)->tp_name) < 0) {
            Py_DECREF(result);
            return nullptr;
        }
        return result;
    }
    PyErr_Format(PyExc_TypeError, "__%.4s__ returned non-%.4s (type %.200s)", "int", "int",
                 Py_TYPE(result)->tp_name);
    Py_DECREF(result);
    return nullptr;
}

// Unsigned conversion up to @max. Values below 0 raise "can't convert negative value to
// <name>"; values above @max raise @tooLarge.
int toUnsigned(PyObject* obj, unsigned long long max, const char* name, const char* tooLarge,
               unsigned long long* out) {
    PyObject* value = intOf(obj);
    if (value == nullptr) return -1;
    if (_PyLong_Sign(value) < 0) {
        Py_DECREF(value);
        PyErr_Format(PyExc_OverflowError, "can't convert negative value to %s", name);
        return -1;
    }
    unsigned long long v = PyLong_AsUnsignedLongLong(value);
    Py_DECREF(value);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return -1;
        PyErr_Clear();
        PyErr_SetString(PyExc_OverflowError, tooLarge);
        return -1;
    }
    if (v > max) {
        PyErr_SetString(PyExc_OverflowError, tooLarge);
        return -1;
    }
    *out = v;
    return 0;
}

// The interpreter's own text for an unsigned 32-bit conversion that does not fit.
constexpr const char* kUintTooLarge = "Python int too large for C unsigned int";

}  // namespace

int toUint8(PyObject* obj, Uint8* out) {
    unsigned long long v = 0;
    if (toUnsigned(obj, 0xFF, "Uint8", "value too large to convert to Uint8", &v) < 0) return -1;
    *out = static_cast<Uint8>(v);
    return 0;
}

int toUint16(PyObject* obj, Uint16* out) {
    unsigned long long v = 0;
    if (toUnsigned(obj, 0xFFFF, "Uint16", "value too large to convert to Uint16", &v) < 0)
        return -1;
    *out = static_cast<Uint16>(v);
    return 0;
}

int toUint32(PyObject* obj, Uint32* out) {
    unsigned long long v = 0;
    if (toUnsigned(obj, 0xFFFFFFFFu, "Uint32", kUintTooLarge, &v) < 0) return -1;
    *out = static_cast<Uint32>(v);
    return 0;
}

int toUnsignedInt(PyObject* obj, unsigned int* out) {
    unsigned long long v = 0;
    if (toUnsigned(obj, UINT_MAX, "unsigned int", kUintTooLarge, &v) < 0) return -1;
    *out = static_cast<unsigned int>(v);
    return 0;
}

int toSize(PyObject* obj, size_t* out) {
    PyObject* value = intOf(obj);
    if (value == nullptr) return -1;
    if (_PyLong_Sign(value) < 0) {
        Py_DECREF(value);
        PyErr_SetString(PyExc_OverflowError, "can't convert negative value to size_t");
        return -1;
    }
    size_t v = PyLong_AsSize_t(value);  // the interpreter's error above 2**64 - 1
    Py_DECREF(value);
    if (v == static_cast<size_t>(-1) && PyErr_Occurred()) return -1;
    *out = v;
    return 0;
}

int toInt(PyObject* obj, int* out) {
    PyObject* value = intOf(obj);
    if (value == nullptr) return -1;
    int overflow = 0;
    long v = PyLong_AsLongAndOverflow(value, &overflow);
    Py_DECREF(value);
    if (v == -1 && PyErr_Occurred()) return -1;
    if (overflow != 0 || v > INT_MAX || v < INT_MIN) {
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C int");
        return -1;
    }
    *out = static_cast<int>(v);
    return 0;
}

int toLongLong(PyObject* obj, long long* out) {
    PyObject* value = intOf(obj);
    if (value == nullptr) return -1;
    // long long, not long: long has 32 bits on 32-bit ARM, where a control value past 2**31
    // would be refused.
    const long long v = PyLong_AsLongLong(value);
    Py_DECREF(value);
    if (v == -1 && PyErr_Occurred()) return -1;
    *out = v;
    return 0;
}

// ---------------------------------------------------------------------------------------
// Configuration mapping
// ---------------------------------------------------------------------------------------

namespace {

// The value under @key: dict lookup for exact dicts, the mapping's own item access otherwise.
PyObject* itemOf(PyObject* mapping, const char* key) {
    PyObject* name = PyUnicode_InternFromString(key);
    if (name == nullptr) return nullptr;
    PyObject* value = nullptr;
    if (PyDict_CheckExact(mapping)) {
        value = PyDict_GetItemWithError(mapping, name);
        if (value != nullptr) {
            Py_INCREF(value);
        } else if (!PyErr_Occurred()) {
            PyErr_SetObject(PyExc_KeyError, name);
        }
    } else {
        value = PyObject_GetItem(mapping, name);
    }
    Py_DECREF(name);
    return value;
}

template <typename T>
int readKey(PyObject* mapping, const char* key, int (*convert)(PyObject*, T*), T* out) {
    PyObject* value = itemOf(mapping, key);
    if (value == nullptr) return -1;
    int rc = convert(value, out);
    Py_DECREF(value);
    return rc;
}

}  // namespace

int readConfig(PyObject* cfg, CameraConfig* out) {
    CameraConfig c{};
    int i2cMode = 0;
    int format = 0;
    if (readKey(cfg, "u32CameraType", toUint32, &c.u32CameraType) < 0 ||
        readKey(cfg, "u32Width", toUint32, &c.u32Width) < 0 ||
        readKey(cfg, "u32Height", toUint32, &c.u32Height) < 0 ||
        readKey(cfg, "usbType", toUint8, &c.usbType) < 0 ||
        readKey(cfg, "u8PixelBytes", toUint8, &c.u8PixelBytes) < 0 ||
        readKey(cfg, "u16Vid", toUint16, &c.u16Vid) < 0 ||
        readKey(cfg, "u32Size", toUint32, &c.u32Size) < 0 ||
        readKey(cfg, "u32I2cAddr", toUint32, &c.u32I2cAddr) < 0 ||
        readKey(cfg, "u8PixelBits", toUint8, &c.u8PixelBits) < 0 ||
        readKey(cfg, "emI2cMode", toInt, &i2cMode) < 0 ||
        readKey(cfg, "emImageFmtMode", toInt, &format) < 0 ||
        readKey(cfg, "u32TransLvl", toUint32, &c.u32TransLvl) < 0)
        return -1;
    c.emI2cMode = static_cast<I2cMode>(i2cMode);
    c.emImageFmtMode = static_cast<FormatMode>(format);
    *out = c;
    return 0;
}

// ---------------------------------------------------------------------------------------
// Byte blocks
// ---------------------------------------------------------------------------------------

namespace {

struct ByteBlock {
    PyObject_HEAD Uint8* data;
    size_t size;
    Py_ssize_t viewLength;  // bytes the next memoryview shows
};

int byteBlockGetBuffer(PyObject* self, Py_buffer* view, int flags) {
    auto* block = reinterpret_cast<ByteBlock*>(self);
    return PyBuffer_FillInfo(view, self, block->data, block->viewLength, 1, flags);
}

void byteBlockDealloc(PyObject* self) {
    std::free(reinterpret_cast<ByteBlock*>(self)->data);
    Py_TYPE(self)->tp_free(self);
}

PyBufferProcs byteBlockBuffer = {byteBlockGetBuffer, nullptr};

PyTypeObject* byteBlockType() {
    static PyTypeObject type = bufferType("VexoSDK.ByteBlock", sizeof(ByteBlock), byteBlockDealloc,
                                          &byteBlockBuffer, "Bytes received from the board.");
    return readyType(type);
}

}  // namespace

PyObject* newByteBlock(size_t size) {
    PyTypeObject* type = byteBlockType();
    if (type == nullptr) return nullptr;
    if (size > static_cast<size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
    // Zero-filled, so bytes the board did not send never show other memory.
    Uint8* data = static_cast<Uint8*>(std::calloc(size == 0 ? 1 : size, 1));
    if (data == nullptr) return PyErr_NoMemory();
    ByteBlock* block = PyObject_New(ByteBlock, type);
    if (block == nullptr) {
        std::free(data);
        return nullptr;
    }
    block->data = data;
    block->size = size;
    block->viewLength = 0;
    return reinterpret_cast<PyObject*>(block);
}

Uint8* byteBlockData(PyObject* block) {
    return reinterpret_cast<ByteBlock*>(block)->data;
}

PyObject* byteBlockView(PyObject* obj, Py_ssize_t length) {
    auto* block = reinterpret_cast<ByteBlock*>(obj);
    block->viewLength = std::min<Py_ssize_t>(length, static_cast<Py_ssize_t>(block->size));
    return PyMemoryView_FromObject(obj);
}

// ---------------------------------------------------------------------------------------
// Frame views
// ---------------------------------------------------------------------------------------

namespace {

using BufferOwner = std::shared_ptr<const uint8_t[]>;

// The exporter behind one frame view: a window on a camera's frame buffer and a share of
// that buffer, so the bytes live as long as any memoryview or array made from it.
struct FrameBytes {
    PyObject_HEAD const Uint8* data;
    Py_ssize_t length;
    BufferOwner owner;  // constructed in place by frameView
};

int frameGetBuffer(PyObject* self, Py_buffer* view, int flags) {
    auto* frame = reinterpret_cast<FrameBytes*>(self);
    return PyBuffer_FillInfo(view, self, const_cast<Uint8*>(frame->data), frame->length, 1, flags);
}

void frameDealloc(PyObject* self) {
    reinterpret_cast<FrameBytes*>(self)->owner.~BufferOwner();
    Py_TYPE(self)->tp_free(self);
}

PyBufferProcs frameBuffer = {frameGetBuffer, nullptr};

PyTypeObject* frameBytesType() {
    static PyTypeObject type = bufferType("VexoSDK.FrameBytes", sizeof(FrameBytes), frameDealloc,
                                          &frameBuffer, "The bytes of one frame.");
    return readyType(type);
}

}  // namespace

PyObject* frameRefView(const FrameRef& frame) {
    PyTypeObject* type = frameBytesType();
    if (type == nullptr) return nullptr;
    // Nothing at all without a buffer that the view can hold on to.
    const size_t length = frame.owner ? std::min<size_t>(frame.bytes, PY_SSIZE_T_MAX) : 0;

    FrameBytes* bytes = PyObject_New(FrameBytes, type);
    if (bytes == nullptr) return nullptr;
    static Uint8 nothing[1] = {0};
    bytes->data = frame.owner ? frame.record.imageData : nothing;
    bytes->length = static_cast<Py_ssize_t>(length);
    new (&bytes->owner) BufferOwner(frame.owner);
    PyObject* view = PyMemoryView_FromObject(reinterpret_cast<PyObject*>(bytes));
    Py_DECREF(bytes);  // the memoryview's managed buffer keeps it
    return view;
}

// ---------------------------------------------------------------------------------------
// Handles
// ---------------------------------------------------------------------------------------

struct HandleState {
    explicit HandleState(CameraHandle c) : camera(c) {}
    const CameraHandle camera;
    // One lock per access kind, always taken in the order of Access.
    std::mutex control;
    std::mutex capture;
    std::mutex queue;
    bool closed = false;  // written with every lock held, read with any
    // The registered control records (a new reference, or null); changed with kControl and
    // the interpreter lock held.
    PyObject* controls = nullptr;
};

namespace {

constexpr const char* kHandleName = "AnyNameUWant";
constexpr const char* kClosedName = "VexoSDK closed camera";

void freeHandleState(PyObject* capsule) {
    // Runs when the last reference goes, so no call holds the record any more, nor can one
    // reach its camera to read the control records.
    auto* state = static_cast<HandleState*>(PyCapsule_GetContext(capsule));
    if (state != nullptr) Py_CLEAR(state->controls);
    delete state;
}

void lockKinds(HandleState* state, unsigned access) {
    if (access & kControl) state->control.lock();
    if (access & kCapture) state->capture.lock();
    if (access & kQueue) state->queue.lock();
}

// All kinds of @access at once, or none.
bool tryLockKinds(HandleState* state, unsigned access) {
    if ((access & kControl) && !state->control.try_lock()) return false;
    if ((access & kCapture) && !state->capture.try_lock()) {
        if (access & kControl) state->control.unlock();
        return false;
    }
    if ((access & kQueue) && !state->queue.try_lock()) {
        if (access & kCapture) state->capture.unlock();
        if (access & kControl) state->control.unlock();
        return false;
    }
    return true;
}

}  // namespace

PyObject* newHandle(CameraHandle camera) {
    auto* state = new (std::nothrow) HandleState(camera);
    if (state == nullptr) return PyErr_NoMemory();
    PyObject* capsule = PyCapsule_New(camera, kHandleName, freeHandleState);
    if (capsule == nullptr) {
        delete state;
        return nullptr;
    }
    if (PyCapsule_SetContext(capsule, state) < 0) {
        Py_DECREF(capsule);  // frees nothing: the context is not set
        delete state;
        return nullptr;
    }
    return capsule;
}

HandleState* stateOf(PyObject* capsule) {
    // The interpreter's own messages for objects that are not capsules of the handle name.
    void* pointer = PyCapsule_GetPointer(capsule, kHandleName);
    if (pointer == nullptr) return nullptr;
    auto* state = PyCapsule_GetDestructor(capsule) == freeHandleState
                      ? static_cast<HandleState*>(PyCapsule_GetContext(capsule))
                      : nullptr;
    if (state == nullptr || state->camera != pointer) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ValueError, "not a camera handle of VexoSDK");
        return nullptr;
    }
    return state;
}

CameraHandle cameraHandleOf(const HandleState* state) {
    return state->camera;
}

bool enter(HandleState* state, unsigned access) noexcept {
    lockKinds(state, access);
    if (!state->closed) return true;
    leave(state, access);
    return false;
}

bool enterKeepingInterpreter(HandleState* state, unsigned access) noexcept {
    if (!tryLockKinds(state, access)) {
        Py_BEGIN_ALLOW_THREADS lockKinds(state, access);
        Py_END_ALLOW_THREADS
    }
    if (!state->closed) return true;
    leave(state, access);
    return false;
}

void leave(HandleState* state, unsigned access) noexcept {
    if (access & kQueue) state->queue.unlock();
    if (access & kCapture) state->capture.unlock();
    if (access & kControl) state->control.unlock();
}

int closedError() {
    PyErr_SetString(PyExc_ValueError, "the camera handle was closed");
    return -1;
}

int retireHandle(PyObject* capsule) {
    return PyCapsule_SetName(capsule, kClosedName);
}

CameraHandle closeState(HandleState* state) noexcept {
    lockKinds(state, kEverything);
    CameraHandle camera = state->closed ? nullptr : state->camera;
    state->closed = true;
    leave(state, kEverything);
    return camera;
}

PyObject* swapControls(HandleState* state, PyObject* controls) {
    PyObject* old = state->controls;
    Py_INCREF(controls);
    state->controls = controls;
    return old != nullptr ? old : Py_NewRef(Py_None);
}

PyObject* takeControls(HandleState* state) {
    PyObject* old = state->controls;
    state->controls = nullptr;
    return old != nullptr ? old : Py_NewRef(Py_None);
}

Uint32 readFrame(HandleState* state, FrameRef* out) noexcept {
    return vexo::api::readSharedFrame(state->camera, out);
}

Uint32 singleFrame(HandleState* state, Uint32 timeoutMs, int* gotFrame, FrameRef* out) noexcept {
    bool got = false;
    const Uint32 rc = vexo::api::getSharedSingleFrame(state->camera, timeoutMs, out, &got);
    *gotFrame = got ? 1 : 0;
    return rc;
}

int refuseSize(const char* param, unsigned long long size, Py_ssize_t have) {
    PyErr_Format(PyExc_ValueError, "%s is %llu but datas holds %zd bytes", param, size, have);
    return -1;
}

}  // namespace pyvexo
