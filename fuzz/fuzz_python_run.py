"""One run of fuzz/fuzz_python.py, in the interpreter the supervisor started for it.

Calls the functions of VexoSDK and of the vexo package in random order with random arguments
until the time is up, from the main thread and from one more thread that shares the handles,
and keeps what the calls return (handles, frame views, cameras, frames) as arguments for later
calls, closed or not. Prints "FUZZ-SUMMARY {json}" at the end; exits 1 after a finding.
"""
from __future__ import annotations

import array
import ctypes
import datetime
import decimal
import faulthandler
import fractions
import json
import math
import mmap
import os
import random
import reprlib
import resource
import signal
import sys
import tempfile
import threading
import time
import traceback
import warnings

import numpy as np

import VexoSDK as V
import vexo
import vexo.convert
import vexo.errors

STATUS_BYTES = 8192
SLOT = 4096


class Boom(Exception):
    """Raised by the fuzzer's own argument objects: the caller's error, passed on."""


# ------------------------------------------------------------------------------------------
# Argument objects with behaviour of their own
# ------------------------------------------------------------------------------------------

class IntSub(int):
    pass


class Number:
    """An object with __int__/__index__ that returns @result (or raises it)."""

    def __init__(self, result):
        self.result = result

    def _value(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result

    __int__ = __index__ = _value

    def __repr__(self):
        return f"Number({self.result!r})"


class Closer:
    """An integer whose conversion closes a handle or a camera first (or runs other calls)."""

    def __init__(self, run, target, value):
        self.run, self.target, self.value = run, target, value

    def _value(self):
        self.run.side_effect(self.target)
        return self.value

    __int__ = __index__ = _value

    def __repr__(self):
        return f"Closer({self.value!r})"


class Lying:
    """A sequence whose length and items disagree, or whose access raises."""

    def __init__(self, length, items):
        self.length, self.items = length, items

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, i):
        if isinstance(self.items, BaseException):
            raise self.items
        return self.items[i]

    def __repr__(self):
        return f"Lying({self.length!r}, {reprlib.repr(self.items)})"


class OddMapping(dict):
    """A configuration dict whose item access runs something first."""

    def __init__(self, base, hook):
        super().__init__(base)
        self.hook = hook

    def __getitem__(self, key):
        self.hook()
        return super().__getitem__(key)

    def __repr__(self):
        return f"OddMapping({dict.__repr__(self)[:200]})"


class BadEq:
    def __eq__(self, other):
        raise Boom("__eq__")

    __ne__ = __eq__
    __hash__ = object.__hash__

    def __repr__(self):
        return "BadEq()"


class CtrlRecord(ctypes.Structure):
    _fields_ = [("minValue", ctypes.c_int64), ("maxValue", ctypes.c_int64),
                ("callerData", ctypes.c_uint8 * 148), ("name", ctypes.c_char * 132),
                ("script", ctypes.c_char_p)]


def has(obj, name):
    """hasattr() that does not pass on other errors (a null ctypes pointer's .contents)."""
    try:
        getattr(obj, name)
    except AttributeError:
        return False
    except Exception:  # noqa: BLE001
        return True
    return True


def forged_capsule(pointer, name):
    new = ctypes.pythonapi.PyCapsule_New
    new.restype = ctypes.py_object
    new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    return new(ctypes.c_void_p(pointer), name, None)


FORMATS = {"RAW": 0, "RGB": 1, "YUV": 2, "JPG": 3, "MON": 4, "RAW_D": 5, "MON_D": 6}

# Configurations that fit the boards of fuzz_python.py, by device index.
GOOD_CONFIGS = {
    0: (640, 480, 1, "RAW"), 1: (320, 240, 1, "RAW"), 2: (320, 240, 1, "JPG"),
    3: (640, 480, 1, "RAW"), 4: (64, 48, 2, "YUV"), 5: (160, 120, 2, "MON"),
    6: (64, 32, 1, "RAW_D"),
}
BOARD_COUNT = 7

INT_EDGES = [0, 1, -1, 2, 7, 8, 16, 31, 32, 33, 127, 128, 255, 256, 1023, 1024, 1025, 4096,
             65535, 65536, 2**31 - 1, 2**31, -2**31, -2**31 - 1, 2**32 - 1, 2**32, 2**63 - 1,
             2**63, -2**63, -2**63 - 1, 2**64 - 1, 2**64, 2**100, -2**100, 10**30]
FLOATS = [0.0, -0.0, 0.5, 1.9, -1.5, 255.9, 1e10, -1e10, 1e300, float("nan"), float("inf"),
          float("-inf"), 5e-324]
TEXTS = ["", "gain", "x" * 200, "AnyNameUWant", "gain\0tail", "\ud800", "é", "0x46", "16_8",
         "RAW", "[camera]", "VEXO-VIRTUAL-000", "FUZZ-RAW-0", "\n" * 3]

SAMPLE_CONFIG = """[camera]
name = fuzz
width = {w}
height = {h}
pixel_bytes = {pb}
format = {fmt}
bayer = GR
i2c_address = 0x20
i2c_mode = 16_16
transfer_level = 0

[registers]
0x3012 0x40
delay 1
0x3060 7

[board]
0xD7 0x4600 0x0300 0x40
"""


class Run:
    def __init__(self, seed, seconds, status_path, verbose):
        self.seed = seed
        self.rng = random.Random(seed)
        self.deadline = time.monotonic() + seconds
        self.started = time.monotonic()
        self.verbose = verbose
        self.counter = [0]     # calls made by both threads
        self.outcomes = {"returned": 0, "raised": 0, "frames": 0}
        self.raised = {}
        self.count_lock = threading.Lock()
        self.findings = []
        self.seen = set()
        self.per_function = {}
        self.status = None
        if status_path:
            fd = os.open(status_path, os.O_RDWR)
            self.status = mmap.mmap(fd, STATUS_BYTES)
            os.close(fd)
        self.repr = reprlib.Repr()
        self.repr.maxstring = 60
        self.repr.maxother = 60
        self.repr.maxlist = self.repr.maxtuple = self.repr.maxdict = 6
        # What calls returned, kept for later calls (closed or not).
        self.handles = []      # [handle, device index or None, closed flag]
        self.views = []        # memoryviews handed out by the module
        self.cams = []         # vexo.Camera objects
        self.frames = []       # vexo.Frame objects
        self.generators = []   # running Camera.frames() generators
        self.records = []      # ctypes control records
        self.tmp = tempfile.mkdtemp(prefix="vexo-fuzz-")
        self.sdk_functions = sorted(n for n in dir(V) if callable(getattr(V, n))
                                    and not n.startswith("_"))

    # -- status and bookkeeping -----------------------------------------------------------

    def note(self, slot, text):
        if self.status is None:
            return
        raw = text.encode("utf-8", "replace")[:SLOT - 9] + b"\0"
        at = 8 if slot == 0 else SLOT
        self.status[at:at + len(raw)] = raw

    def tick(self):
        with self.count_lock:
            self.counter[0] += 1
            if self.status is not None:
                self.status[0:8] = self.counter[0].to_bytes(8, "little")

    @property
    def calls(self):
        return self.counter[0]

    def describe(self, name, args, kwargs):
        try:
            parts = [self.repr.repr(a) for a in args]
            parts += [f"{k}={self.repr.repr(v)}" for k, v in kwargs.items()]
        except Exception as e:  # noqa: BLE001 - a repr that fails is not the call's fault
            parts = [f"<repr failed: {type(e).__name__}>"]
        return f"{name}({', '.join(parts)})"

    def finding(self, kind, text, detail):
        key = (kind, text.split("(", 1)[0])
        if key in self.seen:
            return
        self.seen.add(key)
        self.findings.append({"kind": kind, "call": text, "detail": detail})
        print(f"FINDING ({kind}) after {self.calls} calls: {text}\n{detail}", file=sys.stderr,
              flush=True)

    def call(self, slot, name, fn, args=(), kwargs=None, allow=()):
        """Calls fn and judges the way it ends. Returns (ok, result)."""
        kwargs = kwargs or {}
        text = self.describe(name, args, kwargs)
        self.note(slot, f"[{threading.current_thread().name}] {text}")
        if self.verbose:
            print(text, flush=True)
        self.per_function[name] = self.per_function.get(name, 0) + 1
        try:
            result = fn(*args, **kwargs)
        except (TypeError, ValueError, OverflowError, KeyError, IndexError, MemoryError,
                vexo.CameraError, Boom) as e:
            self.tick()
            self.outcomes["raised"] += 1
            key = f"{name}: {type(e).__name__}"
            self.raised[key] = self.raised.get(key, 0) + 1
            return False, None
        except allow:
            self.tick()
            self.outcomes["raised"] += 1
            return False, None
        except BaseException as e:  # noqa: BLE001 - every other end is a finding
            self.tick()
            if isinstance(e, KeyboardInterrupt):
                raise
            self.finding(type(e).__name__, text, traceback.format_exc(limit=6))
            return False, None
        self.tick()
        self.outcomes["returned"] += 1
        return True, result

    def check(self, condition, text, what):
        if not condition:
            self.finding("wrong result", text, what)

    # -- values ---------------------------------------------------------------------------

    def integer(self, lo=None, hi=None):
        r = self.rng.random()
        if lo is not None and r < 0.7:
            return self.rng.randint(lo, hi)
        if r < 0.85:
            return self.rng.choice(INT_EDGES)
        return self.rng.getrandbits(self.rng.choice([8, 16, 33, 65, 200])) * \
            self.rng.choice([1, -1])

    def some_bytes(self, n=None):
        n = self.rng.choice([0, 1, 2, 16, 31, 32, 33, 200]) if n is None else n
        return bytes(self.rng.getrandbits(8) for _ in range(n))

    def pick(self, pool):
        """An item of a pool the other thread may change meanwhile (a copy is taken whole)."""
        items = list(pool)
        return self.rng.choice(items) if items else None

    def live_handle(self):
        live = [h for h in self.handles if not h[2]]
        if live and self.rng.random() < 0.9:
            return self.rng.choice(live)[0]
        if self.handles:
            return self.pick(self.handles)[0]
        return None

    def handle_like(self):
        r = self.rng.random()
        if r < 0.75:
            return self.live_handle()
        if r < 0.85 and self.cams:
            cam = self.pick(self.cams)
            return cam._handle
        return self.anything(depth=1)

    def anything(self, depth=0):
        """A value of any kind."""
        rng = self.rng
        kind = rng.randrange(26 if depth == 0 else 18)
        if kind == 0:
            return None
        if kind == 1:
            return self.integer()
        if kind == 2:
            return rng.choice(FLOATS)
        if kind == 3:
            return rng.choice(TEXTS)
        if kind == 4:
            return self.some_bytes()
        if kind == 5:
            return bytearray(self.some_bytes())
        if kind == 6:
            mv = memoryview(self.some_bytes(rng.choice([0, 4, 16])))
            r = rng.random()
            if r < 0.2:
                mv.release()
            elif r < 0.4 and len(mv) >= 4:
                mv = mv.cast("i")
            elif r < 0.6:
                mv = mv[::2]
            return mv
        if kind == 7:
            return [self.integer(0, 255) for _ in range(rng.choice([0, 1, 4, 33]))]
        if kind == 8:
            return rng.choice([True, False])
        if kind == 9:
            return rng.choice([datetime.datetime_CAPI, forged_capsule(16, b"AnyNameUWant"),
                               forged_capsule(8, b"other")])
        if kind == 10:
            return Number(rng.choice([5, -3, 2**40, "7", 1.5, IntSub(3), Boom("int"), None,
                                      OverflowError("x")]))
        if kind == 11:
            return rng.choice([object(), BadEq(), Ellipsis, NotImplemented, int, print, sys,
                               complex(1, 2), decimal.Decimal("2.7"), fractions.Fraction(7, 2),
                               decimal.Decimal("nan")])
        if kind == 12:
            return self.live_handle()
        if kind == 13 and self.views:
            return self.pick(self.views)
        if kind == 14:
            return array.array(rng.choice("bBhIdq"), [1, 2, 3])
        if kind == 15:
            return np.arange(rng.choice([0, 3, 12]), dtype=rng.choice(
                [np.uint8, np.int64, np.float32, np.uint16]))
        if kind == 16:
            return rng.choice([(), (1, 2), {}, {"a": 1}, set(), frozenset([1])])
        if kind == 17:
            return Lying(rng.choice([0, 5, -1, 2**70, Boom("len")]),
                         rng.choice([[1, 2], b"", Boom("item"), "abcde"]))
        if kind == 18:
            return self.config_dict()
        if kind == 19:
            return Closer(self, self.target(), rng.choice([0, 1, 2, 0x46]))
        if kind == 20:
            return self.control_pointer()[0]
        if kind == 21 and self.cams:
            return self.pick(self.cams)
        if kind == 22 and self.frames:
            return self.pick(self.frames)
        if kind == 23:
            return [self.anything(depth + 1) for _ in range(rng.randrange(3))]
        if kind == 24:
            key = rng.choice(["u32Width", 5, None, b"u32Width", ("u32Width",)])
            return {key: self.anything(depth + 1)}
        return self.integer(0, 0xFFFF)

    def target(self):
        """Something a side effect may close: a handle or a camera."""
        if self.cams and self.rng.random() < 0.3:
            return self.pick(self.cams)
        return self.live_handle()

    def side_effect(self, target):
        if self.rng.random() < 0.7:
            if isinstance(target, vexo.Camera):
                target.close()
            elif target is not None:
                try:
                    V.Py_Vexo_close(target)
                except ValueError:
                    pass
        else:
            try:
                V.Py_Vexo_scan()
                if target is not None and not isinstance(target, vexo.Camera):
                    V.Py_Vexo_readReg_8_8(target, 0x46, 0)
            except ValueError:
                pass

    def config_dict(self, index=None, mutate=0.3):
        rng = self.rng
        if index is None:
            index = rng.randrange(BOARD_COUNT)
        w, h, pb, fmt = GOOD_CONFIGS.get(index, GOOD_CONFIGS[0])
        cfg = {"u32CameraType": 0, "u32Width": w, "u32Height": h, "usbType": 0,
               "u8PixelBytes": pb, "u16Vid": 0, "u32Size": 0, "u32I2cAddr": 0x20,
               "u8PixelBits": 8 * pb, "emI2cMode": rng.randrange(5),
               "emImageFmtMode": FORMATS[fmt], "u32TransLvl": 0}
        while rng.random() < mutate:
            key = rng.choice(list(cfg))
            r = rng.random()
            if r < 0.15:
                del cfg[key]
            elif r < 0.6:
                # sizes up to 4096: the frame buffers are allocated, and arrays made of them
                cfg[key] = self.integer(0, 4096 if key.startswith("u32") else 300)
            else:
                cfg[key] = self.anything(depth=1)
        r = rng.random()
        if r < 0.05:
            return OddMapping(cfg, lambda: self.side_effect(self.target()))
        if r < 0.08:
            return OddMapping(cfg, lambda: (_ for _ in ()).throw(Boom("getitem")))
        return cfg

    def control_pointer(self):
        """(pointer, count) to control records, right or wrong."""
        rng = self.rng
        n = rng.choice([1, 2, 3])
        recs = (CtrlRecord * n)()
        for i, rec in enumerate(recs):
            rec.name = rng.choice([b"gain", b"exposure", b"x" * 131, b"", b"bad name"])
            rec.minValue, rec.maxValue = rng.choice([(0, 100), (5, -5), (-2**63, 2**63 - 1)])
            rec.script = rng.choice([
                b"function gain(v) writeReg(0x3060, math.floor(v)) end",
                b"function exposure(v) local s, x = readReg(0x3012) writeReg(0x3012, x) end",
                b"function gain(v) error('no') end", b"syntax error here (", None,
                b"function gain(v) SendVR(0xD7, 0x4600, 0x0300, {0x40}) end",
                b"function gain(v) GetVR(0x80, 0, 0, 2) end",
                b"function gain(v) writeReg(v, v) end"])
        self.records.append(recs)
        del self.records[:-20]
        r = rng.random()
        if r < 0.5:
            return ctypes.pointer(recs[0]), n
        if r < 0.7:
            return ctypes.cast(recs, ctypes.POINTER(CtrlRecord)), rng.choice([n, n + 1, -1])
        if r < 0.8:
            return ctypes.pointer(recs[rng.randrange(n)]), rng.choice([1, n, 2**31 - 1])
        if r < 0.9:
            return ctypes.POINTER(CtrlRecord)(), rng.choice([0, 1])
        return ctypes.pointer(ctypes.c_int(3)), 1

    # -- argument makers for the module's parameters -----------------------------------------

    def arg(self, kind):
        rng = self.rng
        if rng.random() < 0.15:
            value = self.anything()
            if kind == "timeout" and not self.bounded_timeout(value):
                return 100
            return value
        if kind == "handle":
            return self.handle_like()
        if kind == "cfg":
            return self.config_dict()
        if kind == "index":
            return self.integer(0, BOARD_COUNT)
        if kind == "ship":
            return rng.choice([0x46, 0x20, 0x20, 0x36, self.integer(0, 0x7F)])
        if kind == "reg":
            return self.integer(0, 0xFFFF)
        if kind == "val":
            return self.integer(0, 0xFFFF)
        if kind == "u8":
            return self.integer(0, 0xFF)
        if kind == "u16":
            return self.integer(0, 0xFFFF)
        if kind == "size":
            # Board requests beyond the 16-bit length of a control transfer are slow in the
            # virtual device (it moves every byte asked for); they are kept out of the run.
            n = self.integer(0, 40)
            return n if -2**31 <= n < 70000 or n >= 2**31 else 64
        if kind == "udaddr":
            return self.integer(0, 1040)
        if kind == "udlen":
            return self.integer(0, 40)
        if kind == "timeout":
            return rng.choice([0, 1, 50, 100, 200, 2.5, 2**31, -2**31 - 1, 10**20])
        if kind == "mode":
            return rng.choice([2, 2, 2, 1, 0, 3, self.integer()])
        if kind == "name":
            return rng.choice(["gain", "exposure", "missing", "", "\ud800", "x" * 300])
        if kind == "i64":
            return self.integer(-1000, 1000)
        if kind == "datas":
            r = rng.random()
            if r < 0.4:
                return self.some_bytes()
            if r < 0.6:
                return [self.integer(0, 255) for _ in range(rng.choice([0, 1, 3, 33]))]
            if r < 0.7:
                return None
            return self.anything()
        return self.anything()

    @staticmethod
    def bounded_timeout(value):
        """Whether a time-out argument cannot ask for a long wait: getSingleFrame waits as
        long as it is told when no frame comes, which is no finding."""
        if isinstance(value, (bool, int)):
            return 0 <= value <= 300 or value >= 2**31 or value < -2**31
        if isinstance(value, float):
            return not (value == value) or abs(value) >= 2**31 or 0 <= value <= 300
        return not isinstance(value, (Number, Closer, decimal.Decimal, fractions.Fraction,
                                      np.ndarray, IntSub))

    SDK_PARAMS = {
        "Py_Vexo_scan": [],
        "Py_Vexo_open": [("cfg", "cfg"), ("usbIdx", "index")],
        "Py_Vexo_autoopen": [("cfg", "cfg")],
        "Py_Vexo_close": [("handle", "handle")],
        "Py_Vexo_setCamCfg": [("handle", "handle"), ("cfg", "cfg")],
        "Py_Vexo_writeSensorReg": [("handle", "handle"), ("regAddr", "reg"), ("val", "val")],
        "Py_Vexo_readSensorReg": [("handle", "handle"), ("regAddr", "reg")],
        "Py_Vexo_setboardConfig": [("handle", "handle"), ("command", "u8"), ("value", "u16"),
                                   ("index", "u16"), ("buffsize", "size"), ("datas", "datas")],
        "Py_Vexo_getboardConfig": [("handle", "handle"), ("command", "u8"), ("value", "u16"),
                                   ("index", "u16"), ("buffsize", "size")],
        "Py_Vexo_readUserData": [("handle", "handle"), ("u16Addr", "udaddr"),
                                 ("u8Len", "udlen")],
        "Py_Vexo_writeUserData": [("handle", "handle"), ("address", "udaddr"),
                                  ("length", "udlen"), ("datas", "datas")],
        "Py_Vexo_getSingleFrame": [("handle", "handle"), ("time_out", "timeout")],
        "Py_Vexo_setMode": [("handle", "handle"), ("mode", "mode")],
        "Py_Vexo_registerCtrls": [("handle", "handle"), ("controls", "ctrl"),
                                  ("controls_length", "count")],
        "Py_Vexo_setCtrl": [("handle", "handle"), ("func_name", "name"), ("val", "i64")],
    }
    for _mode in ("8_8", "8_16", "16_8", "16_16", "16_32"):
        SDK_PARAMS[f"Py_Vexo_writeReg_{_mode}"] = [("handle", "handle"), ("shipAddr", "ship"),
                                                   ("regAddr", "reg"), ("val", "val")]
        SDK_PARAMS[f"Py_Vexo_readReg_{_mode}"] = [("handle", "handle"), ("shipAddr", "ship"),
                                                  ("regAddr", "reg")]
    # Functions that take the handle alone.
    HANDLE_ONLY = ["Py_Vexo_beginCaptureImage", "Py_Vexo_endCaptureImage",
                   "Py_Vexo_captureImage", "Py_Vexo_readImage", "Py_Vexo_del", "Py_Vexo_flush",
                   "Py_Vexo_availableImage", "Py_Vexo_getSensorCfg", "Py_Vexo_enableForceRead",
                   "Py_Vexo_disableForceRead", "Py_Vexo_softTrigger", "Py_Vexo_isFrameReady"]
    # How often each is picked, relative to 1.
    WEIGHT = {"Py_Vexo_open": 0.3, "Py_Vexo_autoopen": 0.1, "Py_Vexo_close": 0.3,
              "Py_Vexo_captureImage": 3, "Py_Vexo_readImage": 3, "Py_Vexo_del": 2,
              "Py_Vexo_setMode": 0.3, "Py_Vexo_getSingleFrame": 0.5,
              "Py_Vexo_setCamCfg": 0.5}

    def sdk_call(self, slot, name):
        rng = self.rng
        fn = getattr(V, name)
        if name in self.HANDLE_ONLY:
            params = [("handle", "handle")]
        else:
            params = self.SDK_PARAMS.get(name)
        if params is None:  # a function this table does not know: anything goes
            args = [self.anything() for _ in range(rng.randrange(4))]
            return self.call(slot, name, fn, args)
        values = []
        for pname, kind in params:
            if kind == "ctrl":
                pointer, count = self.control_pointer()
                values.append(pointer if rng.random() < 0.9 else self.anything())
                continue
            if kind == "count":
                values.append(count if rng.random() < 0.8 else self.integer(-2, 5))
                continue
            values.append(self.arg(kind))
        if name == "Py_Vexo_setboardConfig" and rng.random() < 0.6:
            datas = values[5]
            try:
                values[4] = len(datas) if datas is not None else 0
            except Exception:  # noqa: BLE001 - a value without a length keeps its size
                pass
        args, kwargs = list(values), {}
        r = rng.random()
        if r < 0.05:
            args = args[:rng.randrange(len(args) + 1)]                 # too few
        elif r < 0.08:
            args += [self.anything() for _ in range(rng.randint(1, 2))]  # too many
        elif r < 0.15 and params:
            cut = rng.randrange(len(params) + 1)                         # by keyword
            kwargs = {p: v for (p, _), v in zip(params[cut:], values[cut:])}
            args = values[:cut]
            if rng.random() < 0.2:
                kwargs[rng.choice(["x", "handle", "cfg"])] = 1
        allow = ()
        if name == "Py_Vexo_setCtrl" and len(values) > 1 and not has(values[1], "encode"):
            allow = (AttributeError,)
        if name == "Py_Vexo_registerCtrls" and len(values) > 1 and not has(values[1], "contents"):
            allow = (AttributeError,)
        ok, result = self.call(slot, name, fn, args, kwargs, allow)
        if ok:
            self.judge_sdk(name, args, kwargs, result)
        return ok, result

    def judge_sdk(self, name, args, kwargs, result):
        text = name
        if name in ("Py_Vexo_open", "Py_Vexo_autoopen"):
            self.check(isinstance(result, tuple) and len(result) == 3 and
                       type(result[1]).__name__ == "PyCapsule" and len(result[2]) == 12,
                       text, repr(result)[:200])
            rc, handle, _ = result
            index = args[1] if len(args) > 1 else kwargs.get("usbIdx")
            self.handles.append([handle, index, False])
            self.limit_open()
        elif name == "Py_Vexo_close":
            self.check(result == 0, text, repr(result))
            handle = args[0] if args else kwargs.get("handle")
            for h in self.handles:
                if h[0] is handle:
                    h[2] = True
        elif name == "Py_Vexo_scan":
            count, indexes, serials = result
            self.check(count >= 0xFF01 or (len(indexes) == len(serials) == count and
                                            all(len(s) == 16 for s in serials)),
                       text, repr(result)[:200])
        elif name in ("Py_Vexo_readImage", "Py_Vexo_getSingleFrame"):
            rc, data, frame = result
            if rc != 0 or data is None:
                self.check(data is None and frame is None, text, repr(result)[:200])
                return
            self.check(isinstance(data, memoryview) and data.readonly, text, "a writable view")
            if len(data):
                _ = data[0], data[-1]
            self.outcomes["frames"] += 1
            self.views.append(data)
            del self.views[:-30]
        elif name in ("Py_Vexo_getboardConfig", "Py_Vexo_readUserData"):
            rc, data = result
            self.check(isinstance(data, memoryview) and data.readonly, text, repr(result)[:200])
            if len(data):
                _ = data[0], data[-1]
            self.views.append(data)
            del self.views[:-30]
        elif name.startswith("Py_Vexo_readReg") or name == "Py_Vexo_readSensorReg":
            rc, value = result
            self.check(0 <= rc <= 0xFFFFFFFF and 0 <= value <= 0xFFFFFFFF, text, repr(result))
        elif name in ("Py_Vexo_enableForceRead", "Py_Vexo_disableForceRead"):
            self.check(result is None, text, repr(result))
        elif name in ("Py_Vexo_registerCtrls", "Py_Vexo_setCtrl"):
            self.check(isinstance(result, int), text, repr(result))
        elif name == "Py_Vexo_getSensorCfg":
            self.check(len(result) == 2 and len(result[1]) == 12, text, repr(result)[:200])
        else:
            self.check(isinstance(result, int) and 0 <= result <= 0xFFFFFFFF, text,
                       repr(result)[:200])

    def limit_open(self):
        # Boards are few: beyond four open handles the oldest is closed, so opens keep working.
        live = [h for h in self.handles if not h[2]]
        while len(live) > 4:
            old = live.pop(0)
            self.call(0, "Py_Vexo_close", V.Py_Vexo_close, (old[0],))
            old[2] = True
        del self.handles[:-40]

    # -- the vexo package -------------------------------------------------------------------

    def garbled_config_text(self):
        rng = self.rng
        index = rng.choice([0, 1, 4, 5])
        w, h, pb, fmt = GOOD_CONFIGS[index]
        text = SAMPLE_CONFIG.format(w=w, h=h, pb=pb, fmt=fmt)
        for _ in range(rng.choice([0, 0, 1, 2, 5])):
            at = rng.randrange(len(text) + 1)
            r = rng.random()
            if r < 0.3:
                text = text[:at] + text[at + rng.randint(1, 8):]
            elif r < 0.6:
                text = text[:at] + rng.choice(["0x", "=", "[", "]", "#", "\n", "99999999999",
                                               "\0", "\ud800", " ", "delay", "é", "-1",
                                               "[board]", "16_32"]) + text[at:]
            else:
                text = text[:at] + "".join(chr(rng.randrange(1, 0x3000))
                                           for _ in range(rng.randint(1, 5))) + text[at:]
        return text

    def vexo_config(self, index):
        rng = self.rng
        r = rng.random()
        if r < 0.35:
            w, h, pb, fmt = GOOD_CONFIGS.get(index, GOOD_CONFIGS[0])
            cfg = {"u32Width": w, "u32Height": h, "u8PixelBytes": pb, "u8PixelBits": 8 * pb,
                   "emImageFmtMode": FORMATS[fmt], "emI2cMode": 3}
            if rng.random() < 0.3:
                cfg[rng.choice(list(cfg) + ["bayer", "nonsense"])] = rng.choice(
                    [self.integer(0, 8), self.anything(depth=1)])
            return cfg
        if r < 0.5:
            path = os.path.join(self.tmp, f"c{rng.randrange(4)}.cfg")
            data = self.garbled_config_text().encode("utf-8", "surrogatepass") \
                if rng.random() < 0.8 else self.some_bytes(rng.choice([0, 50, 500]))
            with open(path, "wb") as f:
                f.write(data)
            return path
        if r < 0.6:
            return None
        if r < 0.7:
            return rng.choice([self.tmp, os.path.join(self.tmp, "missing.cfg"), 5, b"x.cfg",
                               [], vexo.default_config()])
        w, h, pb, fmt = GOOD_CONFIGS.get(index, GOOD_CONFIGS[0])
        return vexo.Config(width=w, height=h, pixel_bytes=pb, format=vexo.Format[fmt],
                           i2c_mode=vexo.I2cMode.M16_16,
                           registers=[vexo.RegisterStep(0x3012, self.integer(0, 0xFFFF))])

    def vexo_open(self, slot):
        rng = self.rng
        live = [c for c in self.cams if not c.closed]
        if len(live) >= 2:
            self.call(slot, "Camera.close", live[0].close)
        index = rng.choice([None, 0, 1, 2, 4, 5, 6, 3, 9, -1, "0", 1.5])
        kwargs = {"config": self.vexo_config(index if isinstance(index, int) else 0)}
        r = rng.random()
        if r < 0.6:
            kwargs["index"] = index
        elif r < 0.8:
            kwargs["serial"] = rng.choice(["FUZZ-RAW-0", "FUZZ-USB2-1", "nope", 5, None])
        ok, cam = self.call(slot, "vexo.open", vexo.open, (), kwargs)
        if ok:
            self.check(isinstance(cam, vexo.Camera), "vexo.open", repr(cam))
            self.cams.append(cam)
            del self.cams[:-6]

    def keep_frame(self, frame):
        if isinstance(frame, vexo.Frame):
            self.outcomes["frames"] += 1
            self.frames.append(frame)
            del self.frames[:-12]

    def frame_call(self, slot):
        rng = self.rng
        if not self.frames or rng.random() < 0.15:
            # a frame built by hand: any bytes, any description
            info = self.config_dict(mutate=0.5)
            if rng.random() < 0.5 and isinstance(info, dict):
                info["u64Time"] = self.integer()
            data = rng.choice([self.some_bytes(rng.choice([0, 7, 64 * 48 * 4])),
                               self.anything()] + self.views[-3:])
            ok, frame = self.call(slot, "vexo.Frame", vexo.Frame, (data, info),
                                  {"bayer": rng.choice([0, 1, 3, 4, -1, "RG"])})
            if ok:
                self.keep_frame(frame)
            return
        frame = self.pick(self.frames)
        what = rng.choice(["array", "to_rgb", "copy", "release", "repr", "array", "to_rgb"])
        if what == "array":
            ok, a = self.call(slot, "Frame.array", lambda: frame.array)
            if ok and a.size:
                self.check(not a.flags.writeable, "Frame.array", "a writable array")
                _ = a.reshape(-1)[0], a.reshape(-1)[-1]
        elif what == "to_rgb":
            ok, rgb = self.call(slot, "Frame.to_rgb", frame.to_rgb)
            if ok:
                self.check(rgb.dtype == np.uint8 and rgb.ndim == 3 and rgb.shape[2] == 3,
                           "Frame.to_rgb", f"{rgb.dtype} {rgb.shape}")
        elif what == "copy":
            ok, c = self.call(slot, "Frame.copy", frame.copy)
            if ok:
                self.keep_frame(c)
        elif what == "release":
            self.call(slot, "Frame.release", frame.release)
        else:
            self.call(slot, "repr(Frame)", repr, (frame,))

    def convert_call(self, slot):
        rng = self.rng
        shape = rng.choice([(0, 0), (1, 1), (2, 3), (5, 4), (4, 4, 2), (3, 5, 2), (6,), (2, 2, 3)])
        dtype = rng.choice([np.uint8, np.uint16, np.int32, np.float64, np.bool_])
        a = (np.arange(int(np.prod(shape))) * 37 % 1024).astype(dtype).reshape(shape)
        fn = rng.choice(["to_8bit", "debayer", "grey_to_rgb", "rgb565_to_rgb", "yuyv_to_rgb"])
        args = [a]
        if fn == "to_8bit":
            args.append(rng.choice([0, 1, 8, 10, 16, 17, -3, 2**70, 2.5, "8", None]))
        elif fn == "debayer" and rng.random() < 0.7:
            args.append(rng.choice([0, 1, 2, 3, 4, -1, "GR", None, vexo.Bayer.BG]))
        if rng.random() < 0.1:
            args[0] = self.anything()
        self.call(slot, f"vexo.convert.{fn}", getattr(vexo.convert, fn), args)

    def camera_call(self, slot):
        rng = self.rng
        if not self.cams:
            return self.vexo_open(slot)
        cam = self.pick(self.cams)
        what = rng.choice(["start", "stop", "capture", "available", "read", "frames", "frames",
                           "frame", "set_mode", "soft_trigger", "registers", "registers",
                           "i2c", "user_data", "user_data", "serial", "board_command",
                           "board_request", "close", "repr", "info", "next"])
        timeout = rng.choice([0, 0.05, 0.3, -1, float("nan"), "1", None, 0.2])
        if what == "start":
            self.call(slot, "Camera.start", cam.start)
        elif what == "stop":
            self.call(slot, "Camera.stop", cam.stop)
        elif what == "capture":
            self.call(slot, "Camera.capture", cam.capture)
        elif what == "available":
            self.call(slot, "Camera.available", lambda: cam.available)
        elif what == "read":
            ok, frame = self.call(slot, "Camera.read", cam.read, (timeout,))
            if ok:
                self.keep_frame(frame)
        elif what in ("frames", "next"):
            if what == "next" and self.generators:
                gen = self.pick(self.generators)
                ok, frame = self.call(slot, "next(frames)", next, (gen, None))
                if ok:
                    self.keep_frame(frame)
                return
            n = rng.choice([0, 1, 2, 3, None, -1, 2.5, "2", 10**30])
            kwargs = {"timeout": timeout}
            if rng.random() < 0.3:
                kwargs["capture"] = rng.choice([True, False, 0, "x"])
            ok, gen = self.call(slot, "Camera.frames", cam.frames, (n,), kwargs)
            if not ok:
                return
            for _ in range(rng.choice([0, 1, 2, 3])):
                ok, frame = self.call(slot, "next(frames)", next, (gen, None))
                if not ok or frame is None:
                    break
                self.keep_frame(frame)
            if rng.random() < 0.5:
                self.generators.append(gen)
                del self.generators[:-4]
            else:
                self.call(slot, "frames.close", gen.close)
        elif what == "frame":
            ok, frame = self.call(slot, "Camera.frame", cam.frame, (timeout,))
            if ok:
                self.keep_frame(frame)
        elif what == "set_mode":
            self.call(slot, "Camera.set_mode", cam.set_mode,
                      (rng.choice([2, 2, vexo.TriggerMode.CONTINUOUS, 1, 0, "x", 2.5]),))
        elif what == "soft_trigger":
            self.call(slot, "Camera.soft_trigger", cam.soft_trigger)
        elif what in ("registers", "i2c"):
            if what == "registers":
                ok, regs = self.call(slot, "Camera.registers", lambda: cam.registers)
            else:
                ok, regs = self.call(slot, "Camera.i2c", cam.i2c, (
                    rng.choice([0x46, 0x20, 0x36, self.integer(0, 0x7F), "x", None, 2.5]),
                    rng.choice(["8_8", "16_32", 3, vexo.I2cMode.M8_16, "bogus", 9, None])))
            if not ok:
                return
            addr = rng.choice([self.integer(0, 0xFFFF), 5, 0x3012, "x", None, 1.5, -1])
            if rng.random() < 0.5:
                self.call(slot, "Registers[]", regs.__getitem__, (addr,))
            else:
                value = rng.choice([self.integer(0, 0xFFFF), "x", None, 1.5, -1, 2**32])
                self.call(slot, "Registers[]=", regs.__setitem__, (addr, value))
            if rng.random() < 0.1:
                self.call(slot, "repr(Registers)", repr, (regs,))
        elif what == "user_data":
            ok, ud = self.call(slot, "Camera.user_data", lambda: cam.user_data)
            if not ok:
                return
            r = rng.random()
            key = rng.choice([self.integer(0, 1023), -1, -1024, -1025, 1024, 2.5, "x", None,
                              slice(0, 16), slice(1000, 1030), slice(5, 2), slice(0, 64, 2),
                              slice(-16, None), slice(None, None), slice("a", 3)])
            if r < 0.3:
                self.call(slot, "UserData[]", ud.__getitem__, (key,))
            elif r < 0.5:
                value = rng.choice([self.some_bytes(), 7, 300, -1, "x", None, [1, 2], 2**40,
                                    bytearray(b"ab")])
                self.call(slot, "UserData[]=", ud.__setitem__, (key, value))
            elif r < 0.75:
                self.call(slot, "UserData.read", ud.read, (
                    rng.choice([self.integer(0, 1023), 2.5, None, -5]),
                    rng.choice([self.integer(0, 64), 2.5, 0.5, None, -1, 10**12])))
            else:
                self.call(slot, "UserData.write", ud.write, (
                    rng.choice([self.integer(0, 1023), 2.5, None, -5]),
                    rng.choice([self.some_bytes(), 3, 2**40, "abc", [1, 300], None,
                                memoryview(b"xyz")])))
        elif what == "serial":
            if rng.random() < 0.8:
                self.call(slot, "UserData.serial", lambda: cam.user_data.serial)
            else:
                value = rng.choice(["FUZZ-NEW", "x" * 17, "é", None, 5, ""])

                def set_serial():
                    cam.user_data.serial = value
                self.call(slot, "UserData.serial=", set_serial)
        elif what == "board_command":
            self.call(slot, "Camera.board_command", cam.board_command, (
                self.arg("u8"), self.arg("u16"), self.arg("u16"),
                rng.choice([b"", b"@", self.some_bytes(), [1, 2, 300], "ab", None, 5, 2**40,
                            bytearray(b"\x01")])))
        elif what == "board_request":
            self.call(slot, "Camera.board_request", cam.board_request, (
                self.arg("u8"), self.arg("u16"), self.arg("u16"), self.arg("size")))
        elif what == "close":
            self.call(slot, "Camera.close", cam.close)
        elif what == "repr":
            self.call(slot, "repr(Camera)", repr, (cam,))
        else:
            self.call(slot, "Camera.info/handle", lambda: (cam.info, cam.handle))

    def package_call(self, slot):
        rng = self.rng
        r = rng.random()
        if r < 0.05:
            self.call(slot, "vexo.scan", vexo.scan)
        elif r < 0.12:
            self.vexo_open(slot)
        elif r < 0.55:
            self.camera_call(slot)
        elif r < 0.72:
            self.frame_call(slot)
        elif r < 0.80:
            self.convert_call(slot)
        elif r < 0.92:
            text = self.garbled_config_text()
            if rng.random() < 0.3:
                text = text.encode("utf-8", "surrogatepass") if rng.random() < 0.5 else \
                    self.anything()
            ok, cfg = self.call(slot, "vexo.parse_config", vexo.parse_config, (text,),
                                {"source": rng.choice(["x.cfg", "<s>", None, 5])})
            if ok:
                self.call(slot, "Config.to_dict", cfg.to_dict)
        elif r < 0.96:
            path = rng.choice([os.path.join(self.tmp, "c0.cfg"), self.tmp, "/nonexistent/x",
                               "", "\0", 5, None, b"/x", ROOT_CONFIG])
            self.call(slot, "vexo.load_config", vexo.load_config, (path,))
        else:
            code = rng.choice([0, 0xFF01, 0xFF26, 0xFFFF, -1, 2**70, "x", None, 1.5])
            fn = rng.choice([vexo.status_name, vexo.status_hint, vexo.CameraError,
                             vexo.errors.check])
            ok, out = self.call(slot, f"vexo.{getattr(fn, '__name__', fn)}", fn, (code,))
            if ok and isinstance(out, vexo.CameraError):
                self.call(slot, "str(CameraError)", str, (out,))

    # -- the run ----------------------------------------------------------------------------

    def replenish(self, slot):
        """Opens cameras when most are closed, so that most calls reach an open one."""
        rng = self.rng
        live = [h for h in self.handles if not h[2]]
        if len(live) < 2 and rng.random() < 0.8:
            index = rng.choice([0, 1, 2, 4, 5, 6])
            ok, result = self.call(slot, "Py_Vexo_open", V.Py_Vexo_open,
                                   (self.config_dict(index, mutate=0), index))
            if ok:
                self.handles.append([result[1], index, False])
                if result[0] == 0 and rng.random() < 0.8:
                    self.call(slot, "Py_Vexo_beginCaptureImage", V.Py_Vexo_beginCaptureImage,
                              (result[1],))
        if not any(not c.closed for c in self.cams) and rng.random() < 0.2:
            self.vexo_open(slot)

    def step(self, slot):
        rng = self.rng
        self.replenish(slot)
        if rng.random() < 0.6:
            names = self.sdk_functions
            weights = [self.WEIGHT.get(n, 1.0) for n in names]
            self.sdk_call(slot, rng.choices(names, weights)[0])
        else:
            self.package_call(slot)

    def chaos(self, stop):
        """The second thread: its own random calls on the same handles and cameras."""
        other = Run.__new__(Run)
        other.__dict__.update(self.__dict__)
        other.rng = random.Random(self.seed * 7919 + 1)
        try:
            while not stop.is_set() and time.monotonic() < self.deadline:
                other.step(1)
        except Exception:  # noqa: BLE001 - the fuzzer's own mistake, also a failed run
            self.finding("fuzzer error", "second thread", traceback.format_exc())

    def run(self, second_thread=True):
        stop = threading.Event()
        helper = threading.Thread(target=self.chaos, args=(stop,), name="chaos", daemon=True)
        if second_thread:
            helper.start()
        try:
            while time.monotonic() < self.deadline:
                self.step(0)
        finally:
            stop.set()
            if second_thread:
                helper.join(30)
        # Closing everything that is left, as a program would at its end.
        for gen in self.generators:
            self.call(0, "frames.close", gen.close)
        for cam in self.cams:
            self.call(0, "Camera.close", cam.close)
        for h in self.handles:
            if not h[2]:
                self.call(0, "Py_Vexo_close", V.Py_Vexo_close, (h[0],))
        for view in self.views:  # read after the close
            if len(view):
                _ = view[0], view[-1]
        self.check(not helper.is_alive(), "chaos thread", "did not end")


ROOT_CONFIG = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                           "examples", "configs", "virtual-default.cfg")


def run(seed, seconds, status_path, verbose, second_thread=True):
    faulthandler.register(signal.SIGUSR1, all_threads=True)
    warnings.simplefilter("ignore")
    # Room for large frame buffers the configurations may ask for, but not for all memory:
    # beyond it allocations fail (MemoryError, USB_CAMERA_BUFFER_ERROR), which is no finding.
    # (Not under AddressSanitizer, whose shadow memory is reserved address space.)
    if "asan" not in os.environ.get("LD_PRELOAD", ""):
        limit = 6 << 30
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    sys.setswitchinterval(0.001)  # the threads interleave often
    r = Run(seed, seconds, status_path, verbose)
    started = time.monotonic()
    r.run(second_thread)
    spent = time.monotonic() - started
    covered = sorted(set(r.per_function) & set(r.sdk_functions))
    missing = sorted(set(r.sdk_functions) - set(r.per_function))
    summary = {"seed": seed, "calls": r.calls, "seconds": round(spent, 2),
               "findings": len(r.findings), **r.outcomes,
               "most_raised": sorted(r.raised.items(), key=lambda kv: -kv[1])[:12], "sdk_functions": len(r.sdk_functions),
               "sdk_covered": len(covered), "sdk_missing": missing,
               "package_calls": sum(v for k, v in r.per_function.items()
                                    if not k.startswith("Py_Vexo_"))}
    print("FUZZ-SUMMARY " + json.dumps(summary), flush=True)
    return 1 if r.findings else 0
