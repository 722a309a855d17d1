"""Concurrency soak of VexoSDK, run by test_soak.py in an interpreter of its own (a crash then
fails the test with the thread stacks instead of ending the test run).

    soak_workload.py SECONDS FRAMING SEED [MODULE_DIR]

FRAMING is "chunk" (product 0x03F1) or "trailer" (product 0x03F2). One virtual board streams
self-checking frames: RAW_D, whose second half is the first half inverted (255 - value). The
camera is opened, used by five threads at once, closed under them by the main thread, and opened
again, until SECONDS have passed. In random order:

- capture: captureImage in a loop;
- reader: readImage, a check of every byte of the frame and of its time stamp (later than the
  previous frame's), del; now and then flush, availableImage and an accepted setCamCfg (the
  board's own configuration, which empties the queue). Before del the reader overwrites the
  lent frame with a byte that can never pass the check, so a frame later handed out from that
  slot with bytes that were not stored fails;
- controls: setCtrl of a name that none of the many registered records has (the host scans
  them all), setCtrl of a control whose script writes a sensor register (read back),
  registerCtrls of new records or of none, disableForceRead, softTrigger;
- registers: sensor register write/read-back, the board controller's id, the serial in user
  data, the firmware version by getboardConfig, getSensorCfg, isFrameReady, registerCtrls;
- reconfigure: setCamCfg with width 0, refused with 0xFF51 (the ring stays as it is);
- main: endCaptureImage and beginCaptureImage now and then, then close under the other
  threads, which must end with ValueError on their next call.

The control records lie in memory of their own (an anonymous mapping that is unmapped when the
records are freed), so a record read after the module let go of it faults at once.

Prints one line "RESULT {json}" with the counts and the errors met (empty: the soak passed).
"""
import ctypes
import faulthandler
import json
import mmap
import os
import random
import sys
import threading
import time

import numpy as np

FRAMINGS = {"chunk": 0x03F1, "trailer": 0x03F2}
WIDTH, HEIGHT = 320, 240
SERIAL = "VEXO-PY-SOAK-001"

if __name__ == "__main__":
    os.environ["VEXO_VIRTUAL_BOARDS"] = json.dumps({"boards": [{
        "productId": FRAMINGS[sys.argv[2]], "serial": SERIAL,
        "stream": {"width": WIDTH, "height": HEIGHT, "pixelBytes": 1, "format": "RAW_D"}}]})
    sys.path.insert(0, sys.argv[4] if len(sys.argv) > 4 else "build/python")

import VexoSDK as V  # noqa: E402
from thread_workload import Report  # noqa: E402

FRAME_BYTES = WIDTH * HEIGHT * 2
POISON = 0x5A  # 0x5A + 0x5A != 255: a poisoned byte never passes the inversion check
# captureImage codes that are no fault here: not capturing (between end and begin), a frame of
# the wrong length or out of sequence (cut by a reconfiguration or a stop), a late read.
CAPTURE_CODES = {V.USB_CAMERA_USB_TASK_ERROR, V.USB_CAMERA_DATA_LEN_ERROR,
                 V.USB_CAMERA_FRAME_INDEX_ERROR, V.USB_CAMERA_USB_TIMEOUT_ERROR}


def config(width=WIDTH):
    return {"u32CameraType": 0, "u32Width": width, "u32Height": HEIGHT, "usbType": 0,
            "u8PixelBytes": 1, "u16Vid": 0, "u32Size": 0, "u32I2cAddr": 0x20, "u8PixelBits": 8,
            "emI2cMode": V.I2C_MODE_16_16, "emImageFmtMode": V.FORMAT_MODE_RAW_D,
            "u32TransLvl": 0}


class CtrlRecord(ctypes.Structure):
    _fields_ = [("minValue", ctypes.c_int64), ("maxValue", ctypes.c_int64),
                ("callerData", ctypes.c_uint8 * 148), ("name", ctypes.c_char * 132),
                ("script", ctypes.c_char_p)]


GAIN_SCRIPT = b"function gain(v) writeReg(0x3060, math.floor(v)) end function probe(v) end"


TEMPLATES = {}  # count -> the records every registration copies


def control_records(count):
    """@count records in an anonymous mapping of their own: "gain" (0..100) first, whose script
    also defines probe(), a function no record names, so setCtrl("probe") scans every record;
    the others have empty scripts. The mapping goes away with the last reference to the
    records. Copied from a template made once (which keeps the script texts alive)."""
    if count not in TEMPLATES:
        records = (CtrlRecord * count)()
        records[0].name, records[0].minValue, records[0].maxValue = b"gain", 0, 100
        records[0].script = GAIN_SCRIPT
        empty = ctypes.c_char_p(b"")
        for i in range(1, count):
            records[i].script = empty
        TEMPLATES[count] = records
    area = mmap.mmap(-1, ctypes.sizeof(TEMPLATES[count]))
    records = (CtrlRecord * count).from_buffer(area)
    ctypes.memmove(records, TEMPLATES[count], ctypes.sizeof(records))
    return ctypes.pointer(records[0])


class Session:
    """One open camera and the threads that use it until the main thread closes it."""

    def __init__(self, handle, rng, report, records):
        self.h, self.rng, self.report, self.records = handle, rng, report, records
        self.ends = {}
        self.last_time = 0

    def run(self, name, step):
        rng = random.Random(self.rng.random())
        try:
            while True:
                step(rng)
        except ValueError as e:  # the handle was closed under the thread: its capsule was
            # renamed before this call, or the close came while the call waited for the camera
            closed = "incorrect name" in str(e) or "handle was closed" in str(e)
            self.ends[name] = "closed" if closed else repr(e)
        except Exception as e:  # noqa: BLE001 - reported
            self.ends[name] = repr(e)

    def capture(self, rng):
        rc = V.Py_Vexo_captureImage(self.h)
        if rc >= 0xFF01:
            if rc not in CAPTURE_CODES:
                self.report.error("capture", f"0x{rc:X}")
            if rc == V.USB_CAMERA_USB_TASK_ERROR:
                time.sleep(0.001)

    def reader(self, rng):
        h = self.h
        roll = rng.random()
        if roll < 0.01:
            rc = V.Py_Vexo_setCamCfg(h, config())
            self.report.add("accepted reconfigurations")
            if rc != 0:
                self.report.error("reader", f"setCamCfg of the board's configuration 0x{rc:X}")
        elif roll < 0.02:
            if V.Py_Vexo_flush(h) != 0:
                self.report.error("reader", "flush")
        elif roll < 0.05 and not 0 <= V.Py_Vexo_availableImage(h) <= 5:
            self.report.error("reader", "availableImage beyond the ring")
        rc, data, info = V.Py_Vexo_readImage(h)
        if rc == V.USB_CAMERA_READ_EMPTY_ERROR:
            time.sleep(0.0005)
            return
        if rc != 0:
            self.report.error("reader", f"readImage 0x{rc:X}")
            return
        self.check(data, info)
        # The frame is the reader's until del: mark every byte of it, so that a frame handed
        # out from this slot later with bytes the camera did not store shows them.
        frame = np.frombuffer(data, np.uint8)
        if frame.nbytes:
            ctypes.memset(frame.ctypes.data, POISON, frame.nbytes)
        del frame
        if V.Py_Vexo_del(h) != 0:
            self.report.error("reader", "del")

    def check(self, data, info):
        self.report.add("frames checked")
        if (len(data), info["u32Size"], info["u32Width"], info["u32Height"]) != \
                (FRAME_BYTES, FRAME_BYTES, WIDTH, HEIGHT):
            self.report.error("frame", f"{len(data)} bytes, dict {info}")
            return
        if info["u64Time"] <= self.last_time:
            self.report.error("frame", f"time {info['u64Time']} after {self.last_time}")
        self.last_time = info["u64Time"]
        frame = np.frombuffer(data, np.uint8)
        half = FRAME_BYTES // 2
        wrong = np.flatnonzero(frame[:half].astype(np.uint16) + frame[half:] != 255)
        if wrong.size:
            self.report.add("wrong frames")
            self.report.error("frame", f"{wrong.size} bytes wrong, the first at {wrong[0]} "
                                       f"({frame[wrong[0]]}, {frame[half + wrong[0]]})")

    def controls(self, rng):
        h = self.h
        roll = rng.random()
        if roll < 0.6:
            if V.Py_Vexo_setCtrl(h, "probe", 1) != 0:
                self.report.error("controls", "setCtrl probe")
            self.report.add("setCtrl scans")
        elif roll < 0.8:
            value = rng.randrange(101)
            if V.Py_Vexo_setCtrl(h, "gain", value) != 0 or \
                    V.Py_Vexo_readSensorReg(h, 0x3060) != (0, value):
                self.report.error("controls", f"gain {value}")
        elif roll < 0.9:
            self.register(rng)
        elif roll < 0.95:
            if V.Py_Vexo_disableForceRead(h) is not None:
                self.report.error("controls", "disableForceRead")
        elif V.Py_Vexo_softTrigger(h) != V.USB_BOARD_FW_VERSION_NOT_SUPPORT_ERROR:
            self.report.error("controls", "softTrigger on a USB 3 board")
        time.sleep(rng.random() * 0.0005)  # scripts keep the interpreter: leave it to the others

    def register(self, rng):
        """New records (or none) replace the registered ones, which are then freed unless
        the module still holds them."""
        if rng.random() < 0.1:
            rc = V.Py_Vexo_registerCtrls(self.h, None, 0)
        else:
            rc = V.Py_Vexo_registerCtrls(self.h, control_records(self.records), self.records)
        self.report.add("registrations")
        if rc != 0:
            self.report.error("registerCtrls", str(rc))

    def registers(self, rng):
        h = self.h
        roll = rng.random()
        if roll < 0.4:
            value = rng.randrange(0x10000)
            if V.Py_Vexo_writeReg_16_16(h, 0x20, 0x3012, value) != 0 or \
                    V.Py_Vexo_readReg_16_16(h, 0x20, 0x3012) != (0, value):
                self.report.error("registers", "sensor register read back")
            self.report.add("register pairs")
        elif roll < 0.45:
            if V.Py_Vexo_readReg_8_8(h, 0x46, 0) != (0, 35):
                self.report.error("registers", "board controller id")
        elif roll < 0.5:
            rc, data = V.Py_Vexo_readUserData(h, 1008, 16)
            if rc != 0 or bytes(data).rstrip(b"\0").decode() != SERIAL:
                self.report.error("registers", f"serial 0x{rc:X} {bytes(data)}")
        elif roll < 0.55:
            rc, data = V.Py_Vexo_getboardConfig(h, 0x80, 0, 0, 2)
            if (rc, bytes(data)) != (0, b"\x03\x20"):
                self.report.error("registers", f"firmware version 0x{rc:X} {bytes(data)}")
        elif roll < 0.6:
            rc, cfg = V.Py_Vexo_getSensorCfg(h)
            if rc != 0 or (cfg["u32Width"], cfg["emImageFmtMode"]) != (WIDTH, 5):
                self.report.error("registers", f"getSensorCfg 0x{rc:X} {cfg}")
        elif roll < 0.65:
            V.Py_Vexo_isFrameReady(h)
        else:
            self.register(rng)
        time.sleep(rng.random() * 0.002)

    def reconfigure(self, rng):
        rc = V.Py_Vexo_setCamCfg(self.h, config(width=0))
        if rc != V.USB_CAMERA_SIZE_EXCEED_ERROR:
            self.report.error("reconfigure", f"width 0 gave 0x{rc:X}")
        self.report.add("refused reconfigurations")
        time.sleep(rng.random() * 0.002)


def session(rng, report, records, until):
    rc, h, _ = V.Py_Vexo_open(config(), 0)
    if rc != 0:
        report.error("main", f"open 0x{rc:X}")
        V.Py_Vexo_close(h)
        return False
    if V.Py_Vexo_registerCtrls(h, control_records(records), records) != 0 or \
            V.Py_Vexo_beginCaptureImage(h) != 0:
        report.error("main", "registerCtrls or beginCaptureImage")
    s = Session(h, rng, report, records)
    steps = {"capture": s.capture, "reader": s.reader, "controls": s.controls,
             "registers": s.registers, "reconfigure": s.reconfigure}
    threads = [threading.Thread(target=s.run, args=(name, step), name=name)
               for name, step in steps.items()]
    for t in threads:
        t.start()
    end = min(until, time.monotonic() + rng.uniform(0.2, 0.8))
    while time.monotonic() < end:
        time.sleep(rng.uniform(0.02, 0.2))
        if rng.random() < 0.3:
            V.Py_Vexo_endCaptureImage(h)
            time.sleep(rng.uniform(0, 0.02))
            if V.Py_Vexo_beginCaptureImage(h) != 0:
                report.error("main", "beginCaptureImage after endCaptureImage")
            report.add("capture restarts")
    if V.Py_Vexo_close(h) != 0:
        report.error("main", "close")
    for t in threads:
        t.join(10)
    if any(t.is_alive() for t in threads):
        report.error("main", "a thread did not end after the close")
        faulthandler.dump_traceback()
        return False
    if s.ends != {name: "closed" for name in steps}:
        report.error("main", f"threads ended with {s.ends}")
    report.add("sessions")
    return True


def main():
    seconds, seed = float(sys.argv[1]), int(sys.argv[3])
    faulthandler.dump_traceback_later(seconds + 60, exit=True)
    rng = random.Random(seed)
    report = Report()
    until = time.monotonic() + seconds
    # Records enough that a scan of them by setCtrl takes a while (about a quarter of a
    # millisecond), few enough that loading their scripts does not take the run over.
    records = 10000
    while time.monotonic() < until and session(rng, report, records, until):
        pass
    print("RESULT " + json.dumps({"counts": report.counts, "errors": report.errors}),
          flush=True)


if __name__ == "__main__":
    faulthandler.enable()
    main()
