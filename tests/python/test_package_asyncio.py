"""The vexo package in an event loop: aframes, aread, awatch and ``async with`` against
virtual boards, several cameras in one loop, reconnect gaps, and cancellation that leaves
no frame lent and no thread behind. Each test runs in a fresh interpreter with boards of its
own."""
import json
import textwrap

from conftest import run_python

AWAY = 8  # the replugging board leaves when its frame 8 would start, every time
BOARDS = {"boards": [
    {"serial": "PY-AIO-REPLUG", "stream": {"width": 64, "height": 32},
     "faults": [{"kind": "replug", "atFrame": AWAY, "ms": 60, "count": 0}]},
    {"serial": "PY-AIO-STAY", "stream": {"width": 64, "height": 32}},
]}
PRELUDE = """
import asyncio, contextlib, json, threading, vexo
cfg = vexo.Config(width=64, height=32)
def threads():  # all but the loop's executor threads, which awatch scans on
    return sum(not t.name.startswith("asyncio_") for t in threading.enumerate())
"""


def run(code):
    proc = run_python(PRELUDE + textwrap.dedent(code), BOARDS)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


def test_two_cameras_and_a_watcher_in_one_loop():
    # The replugging board sends frames 0..7 at each appearance: every appearance the camera
    # delivers must be those same bytes, in order, with one gap event between appearances.
    out = run(f"""
        async def stream(serial, n, told):
            async with vexo.open(serial=serial, config=cfg, reconnect=5,
                                 on_gap=told.append) as cam:
                got = []
                async with contextlib.aclosing(cam.aframes(n, gaps=True)) as frames:
                    async for x in frames:
                        got.append("gap" if isinstance(x, vexo.Gap) else
                                   [bytes(x.data).hex(), x.timestamp])
                return got, cam.reconnects, len(cam.gaps)

        async def watch():
            return [[e.kind, e.serial] async for e in vexo.awatch(interval=0.01, timeout=1.0)]

        async def main():
            before = threads()
            told = []
            (replug, reconnects, gaps), (stay, _, _), events = await asyncio.gather(
                stream("PY-AIO-REPLUG", 3 * {AWAY}, told), stream("PY-AIO-STAY", 40, []),
                watch())
            return dict(replug=replug, reconnects=reconnects, gaps=gaps, told=len(told),
                        stay=stay, events=events, threads=threads() - before)
        print(json.dumps(asyncio.run(main())))
    """)
    replug = out["replug"]
    assert [i for i, x in enumerate(replug) if x == "gap"] == [AWAY, 2 * AWAY + 1]
    first, second, third = (replug[k * (AWAY + 1):k * (AWAY + 1) + AWAY] for k in range(3))
    assert [f[0] for f in first] == [f[0] for f in second] == [f[0] for f in third]
    assert len({f[0] for f in first}) == AWAY
    for appearance in (first, second, third):
        times = [f[1] for f in appearance]
        assert times == sorted(set(times))
    assert out["reconnects"] == out["gaps"] == out["told"] == 2
    stay = out["stay"]
    assert len(stay) == 40 and "gap" not in stay
    assert [f[1] for f in stay] == sorted({f[1] for f in stay})
    assert len({f[0] for f in stay}) == 40
    events = out["events"]
    assert events.count(["arrived", "PY-AIO-STAY"]) == 1 and ["left", "PY-AIO-STAY"] not in events
    replugs = [e[0] for e in events if e[1] == "PY-AIO-REPLUG"]
    assert "left" in replugs and set(replugs[::2]) == {"arrived"} and set(replugs[1::2]) == {"left"}
    assert out["threads"] == 0  # the cameras' worker threads ended with them


def test_cancelling_mid_stream_leaves_the_camera_usable():
    out = run("""
        async def main():
            before = threads()
            cam = vexo.open(serial="PY-AIO-STAY", config=cfg)
            faults = []
            for trial in range(100):
                got, running = [], trial % 2 == 1
                if running:  # a capture already running is left running
                    cam.start()
                async def consume():
                    async for frame in cam.aframes():
                        got.append(frame)
                task = asyncio.create_task(consume())
                while len(got) < 3 and not task.done():
                    await asyncio.sleep(0.001)
                task.cancel()
                try:
                    await task
                except asyncio.CancelledError:
                    pass
                times = [f.timestamp for f in got]
                state = [all(f.released for f in got), cam.capturing == running,
                         times == sorted(set(times)), threads() - before == running]
                if not all(state):
                    faults.append([trial] + state)
                cam.stop()
            # afterwards: a read, then a loop of frames, then the close
            first = await cam.aread()
            rest = [f.timestamp async for f in cam.aframes(5)]
            usable = [first.timestamp < rest[0], rest == sorted(set(rest)), len(rest)]
            await cam.aclose()
            return dict(faults=faults, usable=usable, closed=cam.closed,
                        threads=threads() - before)
        print(json.dumps(asyncio.run(main())))
    """)
    assert out["faults"] == []
    assert out["usable"] == [True, True, 5]
    assert out["closed"] and out["threads"] == 0


def test_cancelled_read_and_closed_cameras():
    out = run("""
        async def main():
            before = threads()
            async with vexo.open(serial="PY-AIO-STAY", config=cfg) as cam:
                lent = await cam.aread()
                task = asyncio.create_task(cam.aread())
                await asyncio.sleep(0)
                task.cancel()
                try:
                    await task
                    cancelled = False
                except asyncio.CancelledError:
                    cancelled = True
                after = await cam.aread()
                state = [lent.released, cancelled, after.timestamp > lent.timestamp,
                         not after.released, cam.capturing]
            try:
                await cam.aread()
                refused = None
            except ValueError as e:
                refused = str(e)
            # another thread closes a camera whose frames a coroutine is reading
            other, ended, got = vexo.open(serial="PY-AIO-STAY", config=cfg), None, []
            closer = threading.Thread(target=other.close)
            try:
                async for frame in other.aframes():
                    got.append(frame)
                    if len(got) == 3:
                        closer.start()
            except ValueError as e:
                ended = str(e)
            closer.join()
            return dict(state=state, closed=cam.closed, refused=refused,
                        after_released=after.released, other=[ended, other.closed, len(got) >= 3],
                        threads=threads() - before)
        print(json.dumps(asyncio.run(main())))
    """)
    assert out == {"state": [True, True, True, True, True], "closed": True,
                   "refused": "the camera is closed", "after_released": True,
                   "other": [out["other"][0], True, True], "threads": 0}
    assert "closed" in out["other"][0]
