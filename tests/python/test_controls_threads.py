"""Control scripts from ctypes records, and capture beside reading on two threads."""
import ctypes
import gc
import threading
import time

import pytest

import VexoSDK as V
from conftest import RAW_USB3


class CtrlRecord(ctypes.Structure):
    _fields_ = [("minValue", ctypes.c_int64), ("maxValue", ctypes.c_int64),
                ("callerData", ctypes.c_uint8 * 148), ("name", ctypes.c_char * 132),
                ("script", ctypes.c_char_p)]


assert ctypes.sizeof(CtrlRecord) == 304


def records(*controls):
    """A contiguous array of records: (name, min, max, script)."""
    array = (CtrlRecord * len(controls))()
    for rec, (name, lo, hi, script) in zip(array, controls):
        rec.name, rec.minValue, rec.maxValue, rec.script = name.encode(), lo, hi, script.encode()
    return array


GAIN = ("gain", 0, 100, "function gain(v) writeReg(0x3060, math.floor(v)) end")
BAD = ("broken", 0, 1, "function broken(v) error('no') end end")


class TestControls:
    def test_scripts_write_registers_with_clamped_values(self, camera):
        h = camera.handle
        recs = records(GAIN)
        assert V.Py_Vexo_registerCtrls(h, ctypes.pointer(recs[0]), 1) == 0
        assert V.Py_Vexo_setCtrl(h, "gain", 42) == 0
        assert V.Py_Vexo_readSensorReg(h, 0x3060) == (0, 42)
        assert V.Py_Vexo_setCtrl(h, "gain", 1000) == 0
        assert V.Py_Vexo_readSensorReg(h, 0x3060) == (0, 100)
        assert V.Py_Vexo_setCtrl(h, "missing", 1) == -1

    def test_failed_scripts_are_counted(self, camera):
        recs = records(GAIN, BAD)
        ptr = ctypes.cast(recs, ctypes.POINTER(CtrlRecord))
        assert V.Py_Vexo_registerCtrls(camera.handle, ptr, 2) == -1

    def test_records_are_kept_alive_by_the_module(self, camera):
        h = camera.handle
        assert V.Py_Vexo_registerCtrls(h, ctypes.pointer(records(GAIN)[0]), 1) == 0
        gc.collect()
        junk = [records(("x" * 100, 5, 5, "x = 1")) for _ in range(50)]  # reuse freed memory
        assert V.Py_Vexo_setCtrl(h, "gain", 1000) == 0
        assert V.Py_Vexo_readSensorReg(h, 0x3060) == (0, 100)  # clamped by the kept record
        del junk

    def test_no_records(self, camera):
        h = camera.handle
        assert V.Py_Vexo_registerCtrls(h, None, 0) == 0
        with pytest.raises(ValueError, match="controls_length"):
            V.Py_Vexo_registerCtrls(h, None, 2)
        with pytest.raises(ValueError):
            V.Py_Vexo_registerCtrls(h, ctypes.POINTER(CtrlRecord)(), -1)

    def test_argument_errors(self, camera, monkeypatch):
        h = camera.handle
        with pytest.raises(AttributeError):
            V.Py_Vexo_setCtrl(h, b"gain", 1)
        with pytest.raises(AttributeError):
            V.Py_Vexo_registerCtrls(h, records(GAIN), 1)  # an array has no .contents
        monkeypatch.delattr(V, "ctypes")
        with pytest.raises(NameError, match="name 'ctypes' is not defined"):
            V.Py_Vexo_registerCtrls(h, ctypes.pointer(records(GAIN)[0]), 1)

    def test_name_stops_at_the_first_zero(self, camera):
        h = camera.handle
        V.Py_Vexo_registerCtrls(h, ctypes.pointer(records(GAIN)[0]), 1)
        assert V.Py_Vexo_setCtrl(h, "gain\0tail", 7) == 0
        assert V.Py_Vexo_readSensorReg(h, 0x3060) == (0, 7)


# 0.2 s of work in Lua: when the script is loaded and when the control is set. os.clock() is the
# process's CPU time, which other threads of the process also advance, so the wall time of the
# spin can be a little shorter.
SPIN = "local t = os.clock() while os.clock() - t < 0.2 do end"
SPINNER = ("spin", 0, 1, f"{SPIN} function spin(v) {SPIN} end")


@pytest.mark.parametrize("call", ["registerCtrls", "setCtrl"])
def test_scripts_run_with_the_interpreter_lock_held(camera, call):
    """Another Python thread makes no progress while a control script runs (the module used to
    let go of the lock for the whole call)."""
    h = camera.handle
    recs = records(SPINNER)
    if call == "setCtrl":
        assert V.Py_Vexo_registerCtrls(h, ctypes.pointer(recs[0]), 1) == 0
    steps, stop = [], threading.Event()

    def other():
        while not stop.is_set():
            steps.append(time.monotonic())
            time.sleep(0)  # offers the lock at every step

    thread = threading.Thread(target=other)
    thread.start()
    try:
        while len(steps) < 10:
            time.sleep(0.001)
        start = time.monotonic()
        if call == "setCtrl":
            rc = V.Py_Vexo_setCtrl(h, "spin", 1)
        else:
            rc = V.Py_Vexo_registerCtrls(h, ctypes.pointer(recs[0]), 1)
        end = time.monotonic()
    finally:
        stop.set()
        thread.join()
    assert rc == 0 and end - start >= 0.15
    # The interpreter may hand the lock to the other thread for a switch interval (5 ms) just
    # before or after the call, never inside it: no step in the middle of the script.
    assert [t for t in steps if start + 0.05 < t < end - 0.05] == []


def test_capture_thread_and_reader_thread(camera):
    """One thread captures, another reads and releases frames, both with the lock released
    inside the camera calls."""
    camera.begin()
    h = camera.handle
    stop = threading.Event()
    errors = []
    seen = []

    def capture():
        try:
            while not stop.is_set():
                rc = V.Py_Vexo_captureImage(h)
                if rc >= 0xFF01 and rc != V.USB_CAMERA_USB_TIMEOUT_ERROR:
                    errors.append(hex(rc))
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)

    def read():
        try:
            while len(seen) < 40:
                rc, data, frame = V.Py_Vexo_readImage(h)
                if rc == V.USB_CAMERA_READ_EMPTY_ERROR:
                    continue
                assert rc == 0 and len(data) == 640 * 480
                assert data[0:8].tobytes() == data[0:8].tobytes()
                seen.append((frame["u64Time"], data[640 * 100 + 5]))
                assert V.Py_Vexo_del(h) == 0
        except Exception as e:  # noqa: BLE001
            errors.append(e)
        finally:
            stop.set()

    threads = [threading.Thread(target=capture), threading.Thread(target=read)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    assert not any(t.is_alive() for t in threads)
    assert errors == []
    assert len(seen) == 40
    times = [t for t, _ in seen]
    assert times == sorted(times) and len(set(times)) == 40
    assert all(v == 255 for _, v in seen)  # inside the white bar
