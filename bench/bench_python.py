#!/usr/bin/python3
"""bench_python: the cost of VexoSDK calls, as ratios against baselines of the same run.

  ratio readImage+del vs builtin call      per-call cost of Py_Vexo_readImage + Py_Vexo_del
                                           on queued frames (frame dict and view included)
                                           against len() of a short list (a trivial builtin);
                                           also on an empty queue (the bare call path)
  ratio availableImage vs builtin call     per-call cost of Py_Vexo_availableImage
  ratio python capture vs C++ capture      frames per second of a Python capture loop over
                                           an unpaced virtual board (chunk framing, RAW
                                           640x480) against bench_capture's C++ loop over the
                                           same board, run in the same invocation

Run:  VEXO_BUILD_DIR=build /usr/bin/python3 bench/bench_python.py
The C++ figure needs ${VEXO_BUILD_DIR}/bench/bench_capture; without it that ratio is skipped.
"""
import os
import re
import subprocess
import sys
import time
from pathlib import Path

BUILD = Path(os.environ.get("VEXO_BUILD_DIR", Path(__file__).resolve().parents[1] / "build"))
os.environ.setdefault("VEXO_VIRTUAL_BOARDS", "1")  # one default board: USB 3, chunk framing
sys.path.insert(0, str(BUILD / "python"))

import VexoSDK as V  # noqa: E402

CFG = dict(u32CameraType=0, u32Width=640, u32Height=480, usbType=0, u8PixelBytes=1, u16Vid=0,
           u32Size=0, u32I2cAddr=0x20, u8PixelBits=8, emI2cMode=V.I2C_MODE_16_16,
           emImageFmtMode=V.FORMAT_MODE_RAW, u32TransLvl=0)
SECONDS = float(os.environ.get("VEXO_BENCH_SECONDS", "2"))


def per_call(fn, loops=200_000):
    """Best of five timings of @fn(loops), in seconds per loop."""
    best = float("inf")
    for _ in range(5):
        start = time.perf_counter()
        fn(loops)
        best = min(best, time.perf_counter() - start)
    return best / loops


def builtin_baseline(loops):
    items = [1, 2, 3]
    f = len
    for _ in range(loops):
        f(items)


def queue_calls(h):
    read, release, available = V.Py_Vexo_readImage, V.Py_Vexo_del, V.Py_Vexo_availableImage

    def read_del(loops):
        for _ in range(loops):
            read(h)
            release(h)

    def avail(loops):
        for _ in range(loops):
            available(h)

    return read_del, avail


def python_capture_fps(h):
    capture, read, release = V.Py_Vexo_captureImage, V.Py_Vexo_readImage, V.Py_Vexo_del
    frames = 0
    nbytes = 0
    for _ in range(128):  # warm-up: every queued read has gone round once
        capture(h)
        while read(h)[0] == 0:
            release(h)
    start = time.perf_counter()
    while time.perf_counter() - start < SECONDS:
        for _ in range(16):
            capture(h)
            while True:
                rc, data, frame = read(h)
                if rc != 0:
                    break
                nbytes += len(data)
                frames += 1
                release(h)
    elapsed = time.perf_counter() - start
    return frames / elapsed, nbytes / elapsed


def read_del_with_frames(h, rounds=3000):
    """Seconds per readImage + del pair on queued frames (capture calls not counted)."""
    capture, read, release, available = (V.Py_Vexo_captureImage, V.Py_Vexo_readImage,
                                         V.Py_Vexo_del, V.Py_Vexo_availableImage)
    spent = 0.0
    pairs = 0
    clock = time.perf_counter
    for _ in range(rounds):
        while available(h) < 5:
            capture(h)
        start = clock()
        for _ in range(5):
            read(h)
            release(h)
        spent += clock() - start
        pairs += 5
    return spent / pairs


def cpp_capture_rate():
    """Bytes per second of bench_capture's chunk-framing loop, or None."""
    program = BUILD / "bench" / "bench_capture"
    if not program.exists():
        return None
    out = subprocess.run([str(program)], capture_output=True, text=True, timeout=600).stdout
    m = re.search(r"capture chunk-header: ([0-9.]+) MB/s", out)
    return float(m.group(1)) * 1e6 if m else None


def main():
    rc, h, _ = V.Py_Vexo_open(CFG, 0)
    if rc != 0:
        print(f"open failed: {rc:#x}")
        return 1
    try:
        base = per_call(builtin_baseline)
        read_del, avail = queue_calls(h)
        # The queue is empty here: readImage reports READ_EMPTY, del DEL_EMPTY; this is the
        # cost of the call path itself (handle check, lock release, result tuple).
        t_read_del = per_call(read_del)
        t_avail = per_call(avail)
        assert V.Py_Vexo_beginCaptureImage(h) == 0
        t_frames = read_del_with_frames(h)
        fps, rate = python_capture_fps(h)
        V.Py_Vexo_endCaptureImage(h)
    finally:
        V.Py_Vexo_close(h)
    cpp = cpp_capture_rate()

    print(f"builtin call: {base * 1e9:.1f} ns")
    print(f"readImage+del (queued frames): {t_frames * 1e9:.1f} ns")
    print(f"readImage+del (empty queue): {t_read_del * 1e9:.1f} ns")
    print(f"availableImage: {t_avail * 1e9:.1f} ns")
    print(f"python capture loop: {fps:.0f} frames/s, {rate / 1e6:.1f} MB/s")
    if cpp is not None:
        print(f"C++ capture loop (bench_capture, chunk framing): {cpp / 1e6:.1f} MB/s")
    print(f"ratio readImage+del vs builtin call: {t_frames / base:.2f}")
    print(f"ratio readImage+del on an empty queue vs builtin call: {t_read_del / base:.2f}")
    print(f"ratio availableImage vs builtin call: {t_avail / base:.2f}")
    if cpp is not None:
        print(f"ratio python capture vs C++ capture: {rate / cpp:.2f}")
    else:
        print("ratio python capture vs C++ capture: skipped (bench_capture not built)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
