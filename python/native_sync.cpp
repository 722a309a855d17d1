// vexo._native's sync groups (vexo/sync_group.hpp) for vexo.sync: a group in a capsule, its
// sets handed to Python as dicts whose frames are bytes copied out of the group's slots (the set
// is released at once, so Python holds none of the group's memory). The interpreter lock is
// released while the group opens, starts, waits for a set and stops.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>
#include <vexo/board_session.hpp>
#include <vexo/camera_file.hpp>
#include <vexo/sync_group.hpp>
#include <vexo/vexo.hpp>

#include "native_parts.h"

namespace vexo::python {

namespace {

constexpr const char* kCapsule = "vexo.sync_group";

struct Group {
    std::optional<CameraFile> file;  // whose start-up runs on each board, when given
    std::unique_ptr<SyncGroup> group;
};

void freeGroup(PyObject* capsule) {
    auto* g = static_cast<Group*>(PyCapsule_GetPointer(capsule, kCapsule));
    if (!g) {
        PyErr_Clear();
        return;
    }
    // Stopping joins the group's threads, which never wait for the interpreter.
    Py_BEGIN_ALLOW_THREADS delete g;
    Py_END_ALLOW_THREADS
}

Group* groupOf(PyObject* capsule) {
    auto* g = static_cast<Group*>(PyCapsule_GetPointer(capsule, kCapsule));
    if (g && !g->group) {
        PyErr_SetString(PyExc_ValueError, "the sync group is closed");
        return nullptr;
    }
    return g;
}

// The library's error as vexo.CameraError is raised by vexo.sync from (code, message).
PyObject* raiseError(const Error& e) {
    PyObject* args = Py_BuildValue("(Is)", e.code(), e.what());
    if (args) {
        PyErr_SetObject(PyExc_RuntimeError, args);
        Py_DECREF(args);
    }
    return nullptr;
}

PyObject* text(const std::string& s) {
    return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogateescape");
}

// sync_open(serials, trigger, rate, triggers, tolerance_us, slots, reconnect, config_path,
//           (width, height, pixel_bytes, pixel_bits, format, i2c_address, i2c_mode))
PyObject* openCall(PyObject*, PyObject* args) {
    PyObject* serials = nullptr;
    const char* trigger = nullptr;
    double rate = 0;
    unsigned long long triggers = 0;
    long long toleranceUs = 0;
    Py_ssize_t slots = 0;
    int reconnect = 1;
    const char* configPath = nullptr;
    unsigned width = 0, height = 0, pixelBytes = 0, pixelBits = 0, format = 0, i2c = 0, mode = 0;
    if (!PyArg_ParseTuple(args, "OsdKLnpz(IIIIIII)", &serials, &trigger, &rate, &triggers,
                          &toleranceUs, &slots, &reconnect, &configPath, &width, &height,
                          &pixelBytes, &pixelBits, &format, &i2c, &mode))
        return nullptr;
    SyncOptions o;
    if (serials != Py_None) {
        PyObject* seq = PySequence_Fast(serials, "serials must be a list of str");
        if (!seq) return nullptr;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq); ++i) {
            const char* s = PyUnicode_AsUTF8(PySequence_Fast_GET_ITEM(seq, i));
            if (!s) {
                Py_DECREF(seq);
                return nullptr;
            }
            o.serials.emplace_back(s);
        }
        Py_DECREF(seq);
    }
    bool known = false;
    for (SyncTrigger t : {SyncTrigger::Software, SyncTrigger::External, SyncTrigger::FreeRun})
        if (std::string(trigger) == syncTriggerName(t)) {
            o.trigger = t;
            known = true;
        }
    if (!known || !(rate > 0) || slots < 2 || toleranceUs < 0) {
        PyErr_SetString(PyExc_ValueError,
                        "trigger must be soft, external or free, rate > 0, slots >= 2, "
                        "tolerance_us >= 0");
        return nullptr;
    }
    o.rateHz = rate;
    o.triggers = triggers;
    o.toleranceUs = toleranceUs;
    o.slotsPerBoard = static_cast<size_t>(slots);
    o.reconnect = reconnect != 0;
    auto g = std::make_unique<Group>();
    if (configPath) {
        CameraFile loaded;
        std::string error;
        if (!loadCameraFile(configPath, loaded, error)) {
            PyErr_SetString(PyExc_ValueError, error.c_str());
            return nullptr;
        }
        g->file = std::move(loaded);
        o.config = g->file->config;
        const CameraFile* file = &*g->file;
        o.setup = [file](CameraHandle handle) {
            StartupFailure failure;
            if (!runStartup(handle, *file, failure)) throw Error(failure.status, failure.step);
        };
    } else {
        o.config.u32Width = width;
        o.config.u32Height = height;
        o.config.u8PixelBytes = static_cast<Uint8>(pixelBytes);
        o.config.u8PixelBits = static_cast<Uint8>(pixelBits);
        o.config.emImageFmtMode = static_cast<FormatMode>(format);
        o.config.u32I2cAddr = i2c;
        o.config.emI2cMode = static_cast<I2cMode>(mode);
    }
    std::optional<Error> failed;
    Py_BEGIN_ALLOW_THREADS try {
        g->group = std::make_unique<SyncGroup>(o);
    } catch (const Error& e) {
        failed = e;
    }
    Py_END_ALLOW_THREADS if (failed) return raiseError(*failed);
    PyObject* capsule = PyCapsule_New(g.get(), kCapsule, freeGroup);
    if (capsule) g.release();
    return capsule;
}

PyObject* startCall(PyObject*, PyObject* args) {
    PyObject* capsule = nullptr;
    if (!PyArg_ParseTuple(args, "O", &capsule)) return nullptr;
    Group* g = groupOf(capsule);
    if (!g) return nullptr;
    std::optional<Error> failed;
    Py_BEGIN_ALLOW_THREADS try { g->group->start(); } catch (const Error& e) {
        failed = e;
    }
    Py_END_ALLOW_THREADS if (failed) return raiseError(*failed);
    Py_RETURN_NONE;
}

PyObject* frameDict(const SyncFrame& f, const std::string& serial) {
    return Py_BuildValue(
        "{s:n,s:N,s:K,s:L,s:L,s:K,s:y#}", "board", static_cast<Py_ssize_t>(f.board), "serial",
        text(serial), "time", static_cast<unsigned long long>(f.time), "aligned_time",
        static_cast<long long>(f.alignedTime), "arrival_time",
        static_cast<long long>(f.arrivalTime), "number", static_cast<unsigned long long>(f.number),
        "data", reinterpret_cast<const char*>(f.bytes.data()),
        static_cast<Py_ssize_t>(f.bytes.size()));
}

// sync_next(capsule, timeout_ms) -> dict, or None on time-out or at the end.
PyObject* nextCall(PyObject*, PyObject* args) {
    PyObject* capsule = nullptr;
    long long timeoutMs = 0;
    if (!PyArg_ParseTuple(args, "OL", &capsule, &timeoutMs)) return nullptr;
    Group* g = groupOf(capsule);
    if (!g) return nullptr;
    std::optional<SyncSet> set;
    Py_BEGIN_ALLOW_THREADS set =
        g->group->next(std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0));
    Py_END_ALLOW_THREADS if (!set) Py_RETURN_NONE;
    const std::vector<std::string>& serials = g->group->serials();
    PyObject* frames = PyList_New(static_cast<Py_ssize_t>(set->frames().size()));
    if (!frames) return nullptr;
    Py_ssize_t i = 0;
    for (const SyncFrame& f : set->frames()) {
        PyObject* frame = frameDict(f, serials[f.board]);
        if (!frame) {
            Py_DECREF(frames);
            return nullptr;
        }
        PyList_SET_ITEM(frames, i++, frame);
    }
    return Py_BuildValue("{s:K,s:K,s:N,s:L,s:N}", "index",
                         static_cast<unsigned long long>(set->index()), "trigger",
                         static_cast<unsigned long long>(set->trigger()), "complete",
                         PyBool_FromLong(set->complete()), "skew_us",
                         static_cast<long long>(set->skewUs()), "frames", frames);
}

PyObject* stopCall(PyObject*, PyObject* args) {
    PyObject* capsule = nullptr;
    if (!PyArg_ParseTuple(args, "O", &capsule)) return nullptr;
    Group* g = groupOf(capsule);
    if (!g) return nullptr;
    Py_BEGIN_ALLOW_THREADS g->group->stop();
    Py_END_ALLOW_THREADS Py_RETURN_NONE;
}

PyObject* doneCall(PyObject*, PyObject* args) {
    PyObject* capsule = nullptr;
    if (!PyArg_ParseTuple(args, "O", &capsule)) return nullptr;
    Group* g = groupOf(capsule);
    if (!g) return nullptr;
    return PyBool_FromLong(g->group->done());
}

PyObject* statsCall(PyObject*, PyObject* args) {
    PyObject* capsule = nullptr;
    if (!PyArg_ParseTuple(args, "O", &capsule)) return nullptr;
    Group* g = groupOf(capsule);
    if (!g) return nullptr;
    const SyncStats s = g->group->stats();
    PyObject* boards = PyList_New(static_cast<Py_ssize_t>(s.boards.size()));
    if (!boards) return nullptr;
    for (size_t b = 0; b < s.boards.size(); ++b) {
        const SyncBoardStats& x = s.boards[b];
        PyObject* d = Py_BuildValue("{s:N,s:K,s:K,s:K,s:N,s:d,s:d}", "serial", text(x.serial),
                                    "frames", static_cast<unsigned long long>(x.frames),
                                    "frame_errors", static_cast<unsigned long long>(x.frameErrors),
                                    "reconnects", static_cast<unsigned long long>(x.reconnects),
                                    "present", PyBool_FromLong(x.present), "offset_us", x.offsetUs,
                                    "drift_ppm", x.driftPpm);
        if (!d) {
            Py_DECREF(boards);
            return nullptr;
        }
        PyList_SET_ITEM(boards, static_cast<Py_ssize_t>(b), d);
    }
    return Py_BuildValue("{s:K,s:K,s:K,s:K,s:K,s:n,s:n,s:N,s:L}", "complete",
                         static_cast<unsigned long long>(s.complete), "incomplete",
                         static_cast<unsigned long long>(s.incomplete), "unmatched",
                         static_cast<unsigned long long>(s.unmatched), "overflow",
                         static_cast<unsigned long long>(s.overflow), "triggers",
                         static_cast<unsigned long long>(s.triggers), "frames_held_most",
                         static_cast<Py_ssize_t>(s.framesHeldMost), "slot_limit",
                         static_cast<Py_ssize_t>(s.slotLimit), "boards", boards, "tolerance_us",
                         static_cast<long long>(g->group->toleranceUs()));
}

PyObject* serialsCall(PyObject*, PyObject* args) {
    PyObject* capsule = nullptr;
    if (!PyArg_ParseTuple(args, "O", &capsule)) return nullptr;
    Group* g = groupOf(capsule);
    if (!g) return nullptr;
    const std::vector<std::string>& serials = g->group->serials();
    PyObject* out = PyList_New(static_cast<Py_ssize_t>(serials.size()));
    if (!out) return nullptr;
    for (size_t i = 0; i < serials.size(); ++i) {
        PyObject* s = text(serials[i]);
        if (!s) {
            Py_DECREF(out);
            return nullptr;
        }
        PyList_SET_ITEM(out, static_cast<Py_ssize_t>(i), s);
    }
    return out;
}

}  // namespace

PyMethodDef kSyncMethods[] = {
    {"sync_open", openCall, METH_VARARGS,
     "sync_open(serials, trigger, rate, triggers, tolerance_us, slots, reconnect, config_path, "
     "(width, height, pixel_bytes, pixel_bits, format, i2c_address, i2c_mode)) -> group"},
    {"sync_start", startCall, METH_VARARGS, "sync_start(group): starts the boards together"},
    {"sync_next", nextCall, METH_VARARGS,
     "sync_next(group, timeout_ms) -> {'index', 'trigger', 'complete', 'skew_us', 'frames'} or "
     "None"},
    {"sync_stop", stopCall, METH_VARARGS, "sync_stop(group)"},
    {"sync_done", doneCall, METH_VARARGS, "sync_done(group) -> bool"},
    {"sync_stats", statsCall, METH_VARARGS, "sync_stats(group) -> dict"},
    {"sync_serials", serialsCall, METH_VARARGS, "sync_serials(group) -> list of str"},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace vexo::python
