"""Threads on VexoSDK, run by test_threads.py in an interpreter of its own (a crash then fails
the test with the stacks instead of ending the test run).

    thread_workload.py SECONDS

Five virtual boards (BOARDS). Four camera threads each open their own 640x480 RAW board,
capture and check frames against the board's picture, write and read back sensor registers and
user data, close, and open again, while a scan thread lists the boards and a misuse thread
calls every function with closed handles, foreign capsules and wrong types. Beside them the
fifth board (USB 2, triggers) serves the shared-camera rounds: threads capturing, reading
frames and registers on one handle while another thread closes it. Then the lock checks: while
a capture call waits for image data that does not come, other threads run Python code and
register calls on the same camera, and a close waits for the capture call to end.

Prints one JSON line with what each part counted and the errors it met.
"""
import datetime
import faulthandler
import json
import os
import random
import sys
import threading
import time

import numpy as np

SERIALS = [f"VEXO-THREAD-{i:03d}" for i in range(4)] + ["VEXO-THREAD-TRG"]
BOARDS = {"boards": [{"serial": s} for s in SERIALS[:4]] + [{
    "vendorId": 0x52CB, "productId": 0x02F1, "link": "high", "serial": SERIALS[4],
    "boardController": {"present": True, "id": 35, "version": [18, 8, 17]},
    "stream": {"width": 320, "height": 240, "pixelBytes": 1, "format": "RAW"}}]}
SHARED = 4

if __name__ == "__main__":
    os.environ["VEXO_VIRTUAL_BOARDS"] = json.dumps(BOARDS)
    sys.path.insert(0, sys.argv[2] if len(sys.argv) > 2 else "build/python")

import VexoSDK as V  # noqa: E402
import vexo  # noqa: E402

BAR_COLOURS = [(255, 255, 255), (255, 255, 0), (0, 255, 255), (0, 255, 0),
               (255, 0, 255), (255, 0, 0), (0, 0, 255), (0, 0, 0)]
TIMEOUT = V.USB_CAMERA_USB_TIMEOUT_ERROR
# Codes of captureImage for frames lost or late (readers slowed down by the other threads).
FRAME_CODES = {V.USB_CAMERA_DATA_LACK_ERROR, V.USB_CAMERA_DATA_LEN_ERROR,
               V.USB_CAMERA_FRAME_INDEX_ERROR, TIMEOUT}


def config(width=640, height=480):
    return {"u32CameraType": 0, "u32Width": width, "u32Height": height, "usbType": 0,
            "u8PixelBytes": 1, "u16Vid": 0, "u32Size": 0, "u32I2cAddr": 0x20,
            "u8PixelBits": 8, "emI2cMode": V.I2C_MODE_16_16,
            "emImageFmtMode": V.FORMAT_MODE_RAW, "u32TransLvl": 0}


def bars(data, width, height):
    """The colour of each of the eight bars of the board's RAW picture (RGGB mosaic): the
    median of each site kind over the middle rows, out of reach of the moving marker."""
    img = np.frombuffer(data, np.uint8).reshape(height, width)
    rows = img[height * 5 // 24:height * 15 // 24]
    step, margin = width // 8, width // 80
    found = []
    for i in range(8):
        bar = rows[:, i * step + margin:(i + 1) * step - margin]
        found.append((int(np.median(bar[0::2, 0::2])),
                      int(np.median(np.concatenate([bar[0::2, 1::2].ravel(),
                                                    bar[1::2, 0::2].ravel()]))),
                      int(np.median(bar[1::2, 1::2]))))
    return found


class Report:
    def __init__(self):
        self.lock = threading.Lock()
        self.counts = {}
        self.errors = []

    def add(self, key, n=1):
        with self.lock:
            self.counts[key] = self.counts.get(key, 0) + n

    def error(self, where, what):
        with self.lock:
            if len(self.errors) < 40:
                self.errors.append(f"{where}: {what}")


def serial_of(handle):
    rc, data = V.Py_Vexo_readUserData(handle, 1008, 16)
    return rc, bytes(data).rstrip(b"\0").decode()


def camera_worker(board, deadline, report, closed_handles):
    """Own camera: frames checked against the picture, registers and user data read back."""
    rng = random.Random(board)
    where = f"camera {board}"
    try:
        while time.monotonic() < deadline:
            rc, h, _ = V.Py_Vexo_open(config(), board)
            if rc != 0:
                report.error(where, f"open: 0x{rc:X}")
                V.Py_Vexo_close(h)
                return
            report.add("opens")
            if serial_of(h) != (0, SERIALS[board]):
                report.error(where, f"serial {serial_of(h)}")
            if V.Py_Vexo_beginCaptureImage(h) != 0:
                report.error(where, "begin")
            last_time, frames = 0, 0
            session_end = min(deadline, time.monotonic() + 1.5)
            while time.monotonic() < session_end:
                rc = V.Py_Vexo_captureImage(h)
                if rc >= 0xFF01 and rc not in FRAME_CODES:
                    report.error(where, f"capture 0x{rc:X}")
                while V.Py_Vexo_availableImage(h) > 0:
                    rc, data, frame = V.Py_Vexo_readImage(h)
                    if rc != 0 or len(data) != 640 * 480 or frame["u64Time"] <= last_time:
                        report.error(where, f"frame rc 0x{rc:X} len {len(data)} time "
                                            f"{frame['u64Time'] - last_time} frame {frames}")
                    last_time = frame["u64Time"]
                    if frames % 4 == 0 and bars(data, 640, 480) != BAR_COLOURS:
                        report.error(where, f"picture {bars(data, 640, 480)}")
                    frames += 1
                    V.Py_Vexo_del(h)
                value = (board << 12) | rng.randrange(0x1000)
                if V.Py_Vexo_writeReg_16_16(h, 0x20, 0x3012, value) != 0 or \
                        V.Py_Vexo_readReg_16_16(h, 0x20, 0x3012) != (0, value):
                    report.error(where, "register read back")
                report.add("register pairs")
                if frames % 3 == 0:
                    data = bytes([board, frames & 0xFF]) * 8
                    if V.Py_Vexo_writeUserData(h, 64 * board, 16, data) != 0 or \
                            bytes(V.Py_Vexo_readUserData(h, 64 * board, 16)[1]) != data:
                        report.error(where, "user data read back")
                    report.add("user data pairs")
            report.add("frames", frames)
            V.Py_Vexo_endCaptureImage(h)
            V.Py_Vexo_close(h)
            closed_handles.append(h)
    except Exception as e:  # noqa: BLE001 - reported
        report.error(where, repr(e))


HANDLE_FUNCTIONS = [n for n in dir(V) if n.startswith("Py_Vexo_") and n not in (
    "Py_Vexo_scan", "Py_Vexo_open", "Py_Vexo_autoopen")]


def scan_worker(deadline, report):
    try:
        while time.monotonic() < deadline:
            count, indexes, serials = V.Py_Vexo_scan()
            names = [bytes(s).rstrip(b"\0").decode() for s in serials]
            if count != 5 or indexes != list(range(5)) or names != SERIALS:
                report.error("scan", f"{count} {indexes} {names}")
            if [b.serial for b in vexo.scan()] != SERIALS:
                report.error("scan", "vexo.scan")
            report.add("scans")
    except Exception as e:  # noqa: BLE001
        report.error("scan", repr(e))


def misuse_worker(deadline, report, closed_handles):
    """Every function with closed handles, foreign capsules and wrong types: the documented
    errors, while the cameras work."""
    bad = [datetime.datetime_CAPI, None, "AnyNameUWant", 7, b"\0" * 8]
    try:
        while time.monotonic() < deadline:
            handles = bad + closed_handles[-3:]
            for name in HANDLE_FUNCTIONS:
                fn = getattr(V, name)
                for h in handles:
                    args = (h,) + (0,) * (fn.__doc__ or "").count(",")
                    try:
                        fn(*args)
                        report.error("misuse", f"{name}({h!r}) returned")
                    except (ValueError, TypeError):
                        report.add("misuse calls refused")
            time.sleep(0.01)
    except Exception as e:  # noqa: BLE001
        report.error("misuse", repr(e))


def shared_rounds(deadline, report):
    """Threads share one camera; another thread closes it while they run. Frame views kept
    from a round must show the same bytes after the next round opened the board again and
    captured into new buffers."""
    rng = random.Random(5)
    previous = []
    while time.monotonic() < deadline:
        rc, h, _ = V.Py_Vexo_open(config(320, 240), SHARED)
        if rc != 0:
            report.error("shared", f"open 0x{rc:X}")
            V.Py_Vexo_close(h)
            return
        V.Py_Vexo_beginCaptureImage(h)
        ends = {}
        kept = []

        def until_closed(name, step):
            try:
                while True:
                    step()
            except ValueError:
                ends[name] = "ValueError"
            except Exception as e:  # noqa: BLE001
                ends[name] = repr(e)

        def capture():
            rc = V.Py_Vexo_captureImage(h)
            if rc >= 0xFF01 and rc not in FRAME_CODES:
                raise RuntimeError(f"capture 0x{rc:X}")

        def read():
            rc, data, frame = V.Py_Vexo_readImage(h)
            if rc == 0:
                if len(data) != 320 * 240:
                    raise RuntimeError(f"frame of {len(data)} bytes")
                if len(kept) < 2:
                    kept.append(data)
                V.Py_Vexo_del(h)
                report.add("shared frames")
            else:
                time.sleep(0.001)

        def registers():
            rc, value = V.Py_Vexo_readReg_8_8(h, 0x46, 0)
            if rc != 0 or value != 35:
                raise RuntimeError(f"board controller id {rc} {value}")

        threads = [threading.Thread(target=until_closed, args=(n, f))
                   for n, f in (("capture", capture), ("read", read), ("registers", registers))]
        for t in threads:
            t.start()
        time.sleep(rng.uniform(0.02, 0.25))
        if V.Py_Vexo_close(h) != 0:
            report.error("shared", "close did not return 0")
        for t in threads:
            t.join(10)
        if any(t.is_alive() for t in threads):
            report.error("shared", "a thread did not end after the close")
        if ends != {"capture": "ValueError", "read": "ValueError", "registers": "ValueError"}:
            report.error("shared", f"ends {ends}")
        for view, expected in previous:
            if view.tobytes() != expected:
                report.error("shared", "a view of a closed camera changed")
        previous = [(view, view.tobytes()) for view in kept]  # read after the close
        for view, _ in previous:
            if bars(view, 320, 240) != BAR_COLOURS:
                report.error("shared", f"picture {bars(view, 320, 240)}")
        report.add("shared views checked", len(previous))
        report.add("shared rounds")


def lock_checks(report):
    """A capture call waiting for data that does not come (trigger mode, no trigger) leaves the
    interpreter and the camera's control requests to other threads; a close waits for it."""
    rc, h, _ = V.Py_Vexo_open(config(320, 240), SHARED)
    if rc != 0 or V.Py_Vexo_setMode(h, V.EXTERNAL_TRIGGER_MODE) != 0:
        report.error("locks", f"open or trigger mode 0x{rc:X}")
        V.Py_Vexo_close(h)
        return
    V.Py_Vexo_beginCaptureImage(h)
    times = {}

    def capture():
        times["capture start"] = time.monotonic()
        times["capture rc"] = V.Py_Vexo_captureImage(h)
        times["capture end"] = time.monotonic()

    t = threading.Thread(target=capture)
    t.start()
    time.sleep(0.1)
    spins, started = 0, time.monotonic()
    while time.monotonic() - started < 0.3:  # pure Python work meanwhile
        spins += 1
    reads = 0
    for _ in range(50):  # control requests on the same camera meanwhile
        if V.Py_Vexo_readReg_8_8(h, 0x46, 0) == (0, 35):
            reads += 1
    times["reads done"] = time.monotonic()
    t.join(10)
    report.add("python spins while capture waits", spins)
    report.add("register reads while capture waits", reads)
    if not times["reads done"] < times["capture end"]:
        report.error("locks", "the register reads waited for the capture call")
    if times["capture rc"] != TIMEOUT:
        report.error("locks", f"capture 0x{times['capture rc']:X}")

    # The same wait in a new capture (after a time-out the next calls return at once), now
    # with a close from this thread: it waits for the capture call, which ends normally.
    V.Py_Vexo_endCaptureImage(h)
    V.Py_Vexo_beginCaptureImage(h)
    t = threading.Thread(target=capture)
    t.start()
    time.sleep(0.2)
    closing = time.monotonic()
    if V.Py_Vexo_close(h) != 0:
        report.error("locks", "close")
    closed = time.monotonic()
    t.join(10)
    # (the capture thread notes its end only once it has the interpreter lock again, which
    # may be after this thread's close returned: the close's own wait is what shows)
    if t.is_alive() or closed - closing < 0.5 or times["capture rc"] != TIMEOUT:
        report.error("locks", f"close returned after {closed - closing:.3f} s, the capture "
                              f"call gave 0x{times['capture rc']:X}")
    report.add("close waited ms", int((closed - closing) * 1000))
    if V.Py_Vexo_open(config(320, 240), SHARED)[0] != 0:
        report.error("locks", "the board was not free after the close")
    report.add("lock checks")


def main():
    seconds = float(sys.argv[1])
    faulthandler.dump_traceback_later(seconds + 60, exit=True)
    report = Report()
    deadline = time.monotonic() + seconds
    closed_handles = []
    threads = [threading.Thread(target=camera_worker, args=(b, deadline, report, closed_handles))
               for b in range(4)]
    threads.append(threading.Thread(target=scan_worker, args=(deadline, report)))
    threads.append(threading.Thread(target=misuse_worker, args=(deadline, report, closed_handles)))
    threads.append(threading.Thread(target=shared_rounds, args=(deadline, report)))
    for t in threads:
        t.start()
    for t in threads:
        t.join(seconds + 30)
    if any(t.is_alive() for t in threads):
        report.error("main", "threads did not end")
    lock_checks(report)
    print(json.dumps({"counts": report.counts, "errors": report.errors}))


if __name__ == "__main__":
    faulthandler.enable()
    main()
