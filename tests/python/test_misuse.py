"""Misuse that must end in a Python exception, never in the library touching a camera that is
gone or memory that is not what the caller said: forged handles, handles closed from inside an
argument conversion, control records that are too short or too few."""
import ctypes
import datetime  # noqa: F401  (its C API capsule is a capsule of another module)

import pytest

import VexoSDK as V
from conftest import RAW_USB3, config
from test_controls_threads import GAIN, CtrlRecord, records


def capsule(pointer, name):
    new = ctypes.pythonapi.PyCapsule_New
    new.restype = ctypes.py_object
    new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    return new(ctypes.c_void_p(pointer), name, None)


class TestForeignCapsules:
    def test_capsule_of_another_module_is_refused(self):
        with pytest.raises(ValueError):
            V.Py_Vexo_readReg_8_8(datetime.datetime_CAPI, 0x46, 0)
        with pytest.raises(ValueError):
            V.Py_Vexo_close(datetime.datetime_CAPI)

    def test_capsule_with_the_handle_name_made_elsewhere_is_refused(self, camera):
        # Before, the module handed any pointer of a capsule with the right name to the
        # library, which dereferenced it.
        for pointer in (16, id(camera)):
            fake = capsule(pointer, b"AnyNameUWant")
            for call in (lambda: V.Py_Vexo_readImage(fake), lambda: V.Py_Vexo_close(fake),
                         lambda: V.Py_Vexo_writeReg_8_8(fake, 0x46, 4, 1),
                         lambda: V.Py_Vexo_getSingleFrame(fake, 10)):
                with pytest.raises(ValueError, match="not a camera handle"):
                    call()
        # nor with the real camera's pointer: only the module's own capsule carries the camera
        pointer = ctypes.pythonapi.PyCapsule_GetPointer
        pointer.restype = ctypes.c_void_p
        pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
        twin = capsule(pointer(camera.handle, b"AnyNameUWant"), b"AnyNameUWant")
        with pytest.raises(ValueError, match="not a camera handle"):
            V.Py_Vexo_close(twin)
        assert V.Py_Vexo_readReg_8_8(camera.handle, 0x46, 0)[0] == 0  # still open


class Closer:
    """An argument whose conversion closes the handle it is passed with."""

    def __init__(self, handle, value=1):
        self.handle, self.value = handle, value

    def __int__(self):
        V.Py_Vexo_close(self.handle)
        return self.value

    __index__ = __int__


class ClosingConfig(dict):
    """A configuration mapping that closes the handle when it is read."""

    def __init__(self, handle):
        super().__init__(config())
        self.handle = handle

    def __getitem__(self, key):
        if key == "u32TransLvl":
            V.Py_Vexo_close(self.handle)
        return super().__getitem__(key)


class TestHandleClosedDuringTheCall:
    """Arguments are converted before the camera is entered. Before, the module took the
    camera's pointer first and used it after a conversion had closed (deleted) it."""

    CALLS = {
        "writeReg": lambda h: V.Py_Vexo_writeReg_8_8(h, 0x46, 4, Closer(h)),
        "readReg": lambda h: V.Py_Vexo_readReg_16_16(h, Closer(h, 0x20), 0x3000),
        "writeSensorReg": lambda h: V.Py_Vexo_writeSensorReg(h, 0x3012, Closer(h)),
        "setCamCfg": lambda h: V.Py_Vexo_setCamCfg(h, ClosingConfig(h)),
        "setboardConfig": lambda h: V.Py_Vexo_setboardConfig(h, 0xD7, 0, Closer(h, 0), 1, b"@"),
        "getboardConfig": lambda h: V.Py_Vexo_getboardConfig(h, 0x80, Closer(h, 0), 0, 2),
        "readUserData": lambda h: V.Py_Vexo_readUserData(h, Closer(h, 0), 4),
        "writeUserData": lambda h: V.Py_Vexo_writeUserData(h, Closer(h, 0), 2, b"ab"),
        "getSingleFrame": lambda h: V.Py_Vexo_getSingleFrame(h, Closer(h, 100)),
        "setMode": lambda h: V.Py_Vexo_setMode(h, Closer(h, 2)),
        "setCtrl": lambda h: V.Py_Vexo_setCtrl(h, "gain", Closer(h, 3)),
        "registerCtrls": lambda h: V.Py_Vexo_registerCtrls(h, None, Closer(h, 0)),
    }

    @pytest.mark.parametrize("name", CALLS)
    def test_call_is_refused_and_the_board_is_free(self, open_camera, name):
        cam = open_camera(RAW_USB3)
        with pytest.raises(ValueError, match="closed"):
            self.CALLS[name](cam.handle)
        cam.closed = True
        with pytest.raises(ValueError):
            V.Py_Vexo_readReg_8_8(cam.handle, 0x46, 0)
        assert open_camera(RAW_USB3).rc == 0  # the close released the board


class TestControlRecords:
    """The host reads count records of 304 bytes at the pointer's address, on registration
    and on every set: a pointer that ctypes knows to cover less is refused."""

    def test_too_few_records_for_the_count(self, camera):
        recs = records(GAIN, GAIN)
        with pytest.raises(ValueError, match="holds 2 records"):
            V.Py_Vexo_registerCtrls(camera.handle, ctypes.pointer(recs[0]), 3)
        with pytest.raises(ValueError, match="holds 1 records"):
            V.Py_Vexo_registerCtrls(camera.handle, ctypes.pointer(recs[1]), 2)
        with pytest.raises(ValueError, match="holds 2 records"):
            V.Py_Vexo_registerCtrls(camera.handle, ctypes.cast(recs, ctypes.POINTER(CtrlRecord)),
                                    2**31 - 1)
        with pytest.raises(ValueError, match="holds 1 records"):
            V.Py_Vexo_registerCtrls(camera.handle, ctypes.pointer(CtrlRecord()), 2)
        # the whole array is fine
        assert V.Py_Vexo_registerCtrls(camera.handle, ctypes.pointer(recs[0]), 2) == 0

    def test_negative_count_and_short_records(self, camera):
        recs = records(GAIN)
        with pytest.raises(ValueError, match="controls_length is -1"):
            V.Py_Vexo_registerCtrls(camera.handle, ctypes.pointer(recs[0]), -1)
        with pytest.raises(ValueError, match="controls holds 0 records"):
            V.Py_Vexo_registerCtrls(camera.handle, ctypes.pointer(ctypes.c_int(1)), 1)
        assert V.Py_Vexo_setCtrl(camera.handle, "gain", 5) == -1  # nothing was registered

    def test_the_extent_decides_not_the_pointer_type(self, camera):
        # Records laid out right but reached through a pointer to bytes were refused because
        # a byte is shorter than a record.
        h = camera.handle
        as_bytes = ctypes.cast(records(GAIN, GAIN), ctypes.POINTER(ctypes.c_ubyte))
        with pytest.raises(ValueError, match="holds 2 records"):
            V.Py_Vexo_registerCtrls(h, as_bytes, 3)
        assert V.Py_Vexo_registerCtrls(h, as_bytes, 2) == 0
        assert V.Py_Vexo_setCtrl(h, "gain", 1000) == 0
        assert V.Py_Vexo_readSensorReg(h, 0x3060) == (0, 100)  # clamped by the record
