"""Argument passing, integer conversion kinds and the handle check."""
import ctypes
import decimal

import pytest

import VexoSDK as V
from conftest import RAW_USB3, config


def raises(exc, text, fn, *args, **kwargs):
    with pytest.raises(exc) as info:
        fn(*args, **kwargs)
    assert str(info.value) == text
    return info.value


class TestArgumentCounts:
    def test_no_argument_and_one_argument_forms_use_the_interpreter_checks(self):
        # The interpreter's own messages (it prefixes the module name).
        with pytest.raises(TypeError, match=r"Py_Vexo_scan\(\) takes no arguments \(1 given\)"):
            V.Py_Vexo_scan(1)
        with pytest.raises(TypeError, match=r"Py_Vexo_close\(\) takes exactly one argument \(0 given\)"):
            V.Py_Vexo_close()
        with pytest.raises(TypeError, match=r"Py_Vexo_close\(\) takes exactly one argument \(2 given\)"):
            V.Py_Vexo_close(None, 1)
        with pytest.raises(TypeError):
            V.Py_Vexo_readImage(handle=None)

    def test_positional_counts(self):
        raises(TypeError, "Py_Vexo_open() takes exactly 2 positional arguments (1 given)",
               V.Py_Vexo_open, config())
        raises(TypeError, "Py_Vexo_open() takes exactly 2 positional arguments (3 given)",
               V.Py_Vexo_open, config(), 0, 1)
        raises(TypeError, "Py_Vexo_getSingleFrame() takes at least 1 positional argument (0 given)",
               V.Py_Vexo_getSingleFrame)
        raises(TypeError, "Py_Vexo_getSingleFrame() takes at most 2 positional arguments (3 given)",
               V.Py_Vexo_getSingleFrame, None, 1, 2)

    def test_missing_keyword_counts_the_parameters_before_it(self):
        raises(TypeError, "Py_Vexo_writeReg_8_8() takes exactly 4 positional arguments (2 given)",
               V.Py_Vexo_writeReg_8_8, None, 1, val=3)
        raises(TypeError, "Py_Vexo_open() takes exactly 2 positional arguments (0 given)",
               V.Py_Vexo_open, usbIdx=0)

    def test_keyword_errors(self):
        raises(TypeError, "Py_Vexo_open() got multiple values for keyword argument 'usbIdx'",
               V.Py_Vexo_open, config(), 0, usbIdx=1)
        raises(TypeError, "Py_Vexo_open() got an unexpected keyword argument 'x'",
               V.Py_Vexo_open, cfg=config(), usbIdx=0, x=1)
        with pytest.raises(TypeError, match="keywords must be strings"):
            V.Py_Vexo_open(config(), 0, **{1: 2})

    def test_keywords_fill_parameters_by_name(self, camera):
        assert V.Py_Vexo_writeReg_8_8(val=0x5A, regAddr=4, shipAddr=0x46, handle=camera.handle) == 0
        assert V.Py_Vexo_readReg_8_8(camera.handle, 0x46, regAddr=4)[1] == 0x5A
        rc, data, frame = V.Py_Vexo_getSingleFrame(camera.handle, time_out=1500)
        assert rc == 0 and len(data) == 640 * 480


class Evil:
    """An object whose __int__ returns what the test asks for."""

    def __init__(self, result):
        self.result = result

    def __int__(self):
        return self.result


class IntSub(int):
    pass


class TestConversionKinds:
    """Each kind through one parameter that uses it; the camera is never reached because a
    conversion fails first (or the handle is None and fails after it)."""

    # Parameters by kind, each as a call with the failing value in the converted slot.
    CALLS = {
        "Uint8": lambda h, v: V.Py_Vexo_open(config(u8PixelBytes=v), 0),
        "Uint16": lambda h, v: V.Py_Vexo_open(config(u16Vid=v), 0),
        "Uint32": lambda h, v: V.Py_Vexo_open(config(u32Width=v), 0),
        "unsigned int": lambda h, v: V.Py_Vexo_writeReg_16_32(h, 1, 2, v),
        "size": lambda h, v: V.Py_Vexo_getboardConfig(None, 0, 0, 0, v),
        "int": lambda h, v: V.Py_Vexo_open(config(), v),
        "long long": lambda h, v: V.Py_Vexo_setCtrl(h, "x", v),
    }

    @pytest.mark.parametrize("kind,low,high,below,above", [
        ("Uint8", 0, 255, "can't convert negative value to Uint8", "value too large to convert to Uint8"),
        ("Uint16", 0, 65535, "can't convert negative value to Uint16", "value too large to convert to Uint16"),
        ("Uint32", 0, 2**32 - 1, "can't convert negative value to Uint32", None),
        ("unsigned int", 0, 2**32 - 1, "can't convert negative value to unsigned int", None),
        ("size", 0, 2**64 - 1, "can't convert negative value to size_t", None),
        ("int", -2**31, 2**31 - 1, None, None),
    ])
    def test_limits_and_messages(self, camera, kind, low, high, below, above):
        call = lambda v: self.CALLS[kind](camera.handle, v)
        with pytest.raises(OverflowError) as info:
            call(low - 1)
        if below:
            assert str(info.value) == below
        with pytest.raises(OverflowError) as info:
            call(high + 1)
        if above:
            assert str(info.value) == above
        with pytest.raises(OverflowError):
            call(2**100)
        with pytest.raises(OverflowError):
            call(-2**100)

    def test_values_at_the_limits_pass_conversion(self, camera):
        for v in (0, 2**32 - 1):
            assert V.Py_Vexo_writeReg_16_32(camera.handle, 0x20, 0x3000, v) == 0
            assert V.Py_Vexo_readReg_16_32(camera.handle, 0x20, 0x3000) == (0, v)
        for v in (-2**63, 2**63 - 1):  # no control of that name: the host reports -1
            assert V.Py_Vexo_setCtrl(camera.handle, "nothing", v) == -1

    def test_long_long_overflow_runs_no_script(self, camera):
        with pytest.raises(OverflowError):
            V.Py_Vexo_setCtrl(camera.handle, "x", 2**63)
        with pytest.raises(OverflowError):
            V.Py_Vexo_setCtrl(camera.handle, "x", -2**63 - 1)

    def test_non_integers(self, camera):
        h = camera.handle
        raises(TypeError, "an integer is required", V.Py_Vexo_setMode, h, "1")
        raises(TypeError, "an integer is required", V.Py_Vexo_setMode, h, None)
        raises(TypeError, "__int__ returned non-int (type str)", V.Py_Vexo_setMode, h, Evil("2"))
        # floats and objects with __int__ are truncated toward zero
        assert V.Py_Vexo_writeReg_8_8(h, 0x46, 4.9, Evil(0x33)) == 0
        assert V.Py_Vexo_readReg_8_8(h, 0x46, decimal.Decimal("4.7")) == (0, 0x33)
        assert V.Py_Vexo_writeReg_8_8(h, 0x46, True, 0) == 0  # bool is an int

    def test_int_subclass_from_int_warns_and_is_used(self, camera):
        with pytest.warns(DeprecationWarning, match=r"__int__ returned non-int \(type IntSub\)"):
            assert V.Py_Vexo_writeReg_8_8(camera.handle, 0x46, 4, Evil(IntSub(0x44))) == 0
        assert V.Py_Vexo_readReg_8_8(camera.handle, 0x46, 4) == (0, 0x44)
        import warnings
        with warnings.catch_warnings():
            warnings.simplefilter("error", DeprecationWarning)
            with pytest.raises(DeprecationWarning):
                V.Py_Vexo_writeReg_8_8(camera.handle, 0x46, 4, Evil(IntSub(0x55)))
        assert V.Py_Vexo_readReg_8_8(camera.handle, 0x46, 4) == (0, 0x44)


class TestHandles:
    FUNCS_ONE = ["Py_Vexo_close", "Py_Vexo_beginCaptureImage", "Py_Vexo_endCaptureImage",
                 "Py_Vexo_captureImage", "Py_Vexo_readImage", "Py_Vexo_del", "Py_Vexo_flush",
                 "Py_Vexo_availableImage", "Py_Vexo_getSensorCfg", "Py_Vexo_enableForceRead",
                 "Py_Vexo_disableForceRead", "Py_Vexo_softTrigger", "Py_Vexo_getSingleFrame",
                 "Py_Vexo_isFrameReady"]

    @pytest.mark.parametrize("bad", [None, 7, "AnyNameUWant"])
    @pytest.mark.parametrize("name", FUNCS_ONE)
    def test_non_handles_are_refused(self, name, bad):
        with pytest.raises(ValueError):
            getattr(V, name)(bad)

    def test_capsule_of_another_name_is_refused(self, camera):
        other = ctypes.pythonapi.PyCapsule_New
        other.restype = ctypes.py_object
        other.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
        fake = other(ctypes.c_void_p(16), b"SomethingElse", None)
        with pytest.raises(ValueError, match="incorrect name"):
            V.Py_Vexo_readImage(fake)
        with pytest.raises(ValueError):
            V.Py_Vexo_writeReg_8_8(fake, 0x46, 1, 1)

    def test_closed_handle_is_detected(self, open_camera):
        cam = open_camera(RAW_USB3)
        h = cam.handle
        assert V.Py_Vexo_close(h) == 0
        cam.closed = True
        for name in self.FUNCS_ONE:
            with pytest.raises(ValueError):
                getattr(V, name)(h)
        with pytest.raises(ValueError):
            V.Py_Vexo_readReg_8_8(h, 0x46, 0)
        with pytest.raises(ValueError):
            V.Py_Vexo_setCtrl(h, "x", 1)
        # the board is free again: a second open of the same index works
        again = open_camera(RAW_USB3)
        assert again.rc == 0
