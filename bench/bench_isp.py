#!/usr/bin/python3
"""bench_isp: the ISP's whole chain against OpenCV's bilinear demosaic, on the same frame.

  ratio isp vs OpenCV bilinear     time of cv2.cvtColor(COLOR_BayerBG2BGR) on the 1920x1080
                                   10-bit RGGB mosaic (16-bit samples, OpenCV held to one thread)
                                   over the time of bench_isp's whole chain (black level, auto
                                   white balance, gradient-corrected demosaic, colour matrix,
                                   sRGB curve) on the very same frame to 8-bit RGB, one thread:
                                   above 1 means the ISP is faster
  isp allocations per frame        bench_isp's count of operator new calls while processing

Both are timed as medians of rounds, interleaved, in one run. OpenCV's C++ headers are not
installed here, so OpenCV is timed from Python: cvtColor on a numpy array is one call into the
same compiled code, and a call's overhead (microseconds) is small against a frame's time.

Run:  VEXO_BUILD_DIR=build /usr/bin/python3 bench/bench_isp.py
"""
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import cv2
import numpy as np

BUILD = Path(os.environ.get("VEXO_BUILD_DIR", Path(__file__).resolve().parents[1] / "build"))
ROUNDS = 5


def run_isp(frame_path):
    out = subprocess.run([str(BUILD / "bench" / "bench_isp"), "--frame", frame_path,
                          "--rounds", "5"], check=True, capture_output=True, text=True).stdout
    return {k: float(v) for k, v in re.findall(r"^(\w+) ([\d.]+)", out, re.M)}


def time_opencv(mosaic):
    cv2.setNumThreads(1)
    times = []
    for _ in range(5):
        start = time.perf_counter()
        for _ in range(5):
            cv2.cvtColor(mosaic, cv2.COLOR_BayerBG2BGR)
        times.append((time.perf_counter() - start) / 5 * 1e3)
    return statistics.median(times)


def main():
    with tempfile.TemporaryDirectory() as tmp:
        frame = os.path.join(tmp, "frame.raw")
        isp_ms, opencv_ms, allocations = [], [], 0.0
        for _ in range(ROUNDS):
            figures = run_isp(frame)
            isp_ms.append(figures["isp_ms"])
            allocations = max(allocations, figures["allocations_per_frame"])
            mosaic = np.fromfile(frame, dtype="<u2").reshape(1080, 1920)
            opencv_ms.append(time_opencv(mosaic))
    isp, opencv = statistics.median(isp_ms), statistics.median(opencv_ms)
    print(f"isp whole chain            {isp:8.2f} ms/frame")
    print(f"OpenCV bilinear cvtColor   {opencv:8.2f} ms/frame")
    print(f"ratio isp vs OpenCV bilinear {opencv / isp:6.2f}")
    print(f"isp allocations per frame  {allocations:8.2f}")


if __name__ == "__main__":
    sys.exit(main())
