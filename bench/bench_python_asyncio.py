#!/usr/bin/python3
"""bench_python_asyncio: how much two cameras streaming into one event loop hold it up.

  ratio ticker lag p99 beside two cameras vs idle loop
        a coroutine that wakes every 10 ms records how late each wake-up is (p99), while two
        cameras stream 640x480 RAW at the virtual boards' full speed through aframes() in
        the same loop, against the same ticker in an idle loop of the same run; the frames
        of each camera are checked to arrive in the board's order

Run:  VEXO_BUILD_DIR=build /usr/bin/python3 bench/bench_python_asyncio.py
VEXO_BENCH_SECONDS sets each phase's length (default 10).
"""
import asyncio
import json
import os
import sys
from pathlib import Path

BUILD = Path(os.environ.get("VEXO_BUILD_DIR", Path(__file__).resolve().parents[1] / "build"))
os.environ["VEXO_VIRTUAL_BOARDS"] = json.dumps(
    {"boards": [{"serial": "BENCH-AIO-A"}, {"serial": "BENCH-AIO-B"}]})
sys.path.insert(0, str(BUILD / "python"))

import vexo  # noqa: E402

SECONDS = float(os.environ.get("VEXO_BENCH_SECONDS", "10"))
TICK = 0.010


async def ticker(seconds):
    """Lateness of each 10 ms wake-up, in seconds."""
    lags = []
    loop = asyncio.get_running_loop()
    end = loop.time() + seconds
    due = loop.time() + TICK
    while due < end:
        await asyncio.sleep(max(0.0, due - loop.time()))
        lags.append(loop.time() - due)
        due += TICK
    return lags


async def stream(serial, stop):
    frames, ordered, last = 0, True, -1
    async with vexo.open(serial=serial) as cam:
        async for frame in cam.aframes():
            ordered &= frame.timestamp > last
            last = frame.timestamp
            frames += 1
            if stop.is_set():
                break
    return frames, ordered


def p99(values):
    values = sorted(values)
    return values[min(len(values) - 1, int(0.99 * len(values)))]


async def main():
    idle = await ticker(SECONDS)
    stop = asyncio.Event()
    cams = [asyncio.create_task(stream(s, stop)) for s in ("BENCH-AIO-A", "BENCH-AIO-B")]
    await asyncio.sleep(0.5)  # both streaming
    busy = await ticker(SECONDS)
    stop.set()
    results = await asyncio.gather(*cams)
    base, loaded = p99(idle), p99(busy)
    print(f"idle loop: ticker lag p99 {base * 1e3:.2f} ms, max {max(idle) * 1e3:.2f} ms")
    print(f"two cameras streaming: ticker lag p99 {loaded * 1e3:.2f} ms, "
          f"max {max(busy) * 1e3:.2f} ms")
    for serial, (frames, ordered) in zip(("A", "B"), results):
        rate = frames / (SECONDS + 0.5)
        print(f"camera {serial}: {rate:.0f} frames/s, in order: {ordered}")
    print(f"ratio ticker lag p99 beside two cameras vs idle loop: {loaded / max(base, 1e-6):.2f}")
    return 0 if all(ordered for _, ordered in results) else 1


if __name__ == "__main__":
    sys.exit(asyncio.run(main()))
