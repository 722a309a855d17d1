"""Boards that leave and return, seen from the vexo package: a camera opened with reconnect
follows its board by serial and records the gap; watch() reports the departure and return.
Each test runs in a fresh interpreter with boards of its own (a replug fault)."""
import json

from conftest import run_python

BOARDS = {"boards": [
    {"serial": "PY-REPLUG", "stream": {"width": 64, "height": 32},
     "faults": [{"kind": "replug", "atFrame": 6, "ms": 60}]},
    {"serial": "PY-STAY", "stream": {"width": 64, "height": 32}},
]}


def test_capture_follows_the_board_and_watch_reports_it():
    proc = run_python("""
        import json, threading, vexo
        events, stop = [], threading.Event()
        def watcher():
            monitor = vexo.BoardMonitor()
            while not stop.is_set():
                events.extend([e.kind, e.serial, e.index] for e in monitor.poll())
                stop.wait(0.005)
        t = threading.Thread(target=watcher)
        t.start()
        told = []
        cfg = vexo.Config(width=64, height=32,
                          registers=[vexo.RegisterStep(0x3012, 0x5A)])
        with vexo.open(serial="PY-REPLUG", config=cfg, reconnect=5, on_gap=told.append) as cam:
            frames, reconnects_at = [], []
            for f in cam.frames(16):
                frames.append(bytes(f.data))
                reconnects_at.append(cam.reconnects)
            register = cam.registers[0x3012]
            gap = cam.gaps[0]
            out = {"same": [frames[k] == frames[6 + k] for k in range(6)],
                   "reconnects": reconnects_at, "gaps": len(cam.gaps), "told": len(told),
                   "register": register, "index": cam.index,
                   "gap": [gap.serial, gap.index_before, gap.index_after, gap.frames,
                           gap.duration, gap.last_frame <= gap.board_back <= gap.first_frame]}
        stop.set()
        t.join()
        out["events"] = events
        print(json.dumps(out))
    """, BOARDS)
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout)
    # Frame numbers start again when the board returns: frames 6.. repeat frames 0.. byte
    # for byte, so none of either appearance was lost or damaged.
    assert out["same"] == [True] * 6
    assert out["reconnects"] == [0] * 6 + [1] * 10
    assert out["gaps"] == out["told"] == 1
    serial, before, after, lost, duration, ordered = out["gap"]
    assert (serial, before, after, ordered) == ("PY-REPLUG", 0, 1, True)
    assert duration >= 0.06 and lost > 0
    assert out["register"] == 0x5A, "the start-up registers went to the returned board"
    assert out["index"] == 1
    assert out["events"][:2] == [["arrived", "PY-REPLUG", 0], ["arrived", "PY-STAY", 1]]
    assert out["events"][2:4] == [["left", "PY-REPLUG", 0], ["arrived", "PY-REPLUG", 1]]


def test_a_board_that_stays_away_ends_the_capture():
    boards = {"boards": [{"serial": "PY-GONE", "stream": {"width": 64, "height": 32},
                          "faults": [{"kind": "unplug", "atFrame": 3}]}]}
    proc = run_python("""
        import vexo
        present = list(vexo.watch(interval=0.01, timeout=0.05))
        with vexo.open(config=vexo.Config(width=64, height=32), reconnect=0.2) as cam:
            seen = 0
            try:
                for f in cam.frames(10):
                    seen += 1
            except vexo.CameraError as e:
                print(seen, e.name, cam.closed)
        print(present, list(vexo.watch(interval=0.01, timeout=0.05)), vexo.board_changes(
            [vexo.BoardInfo(0, "A"), vexo.BoardInfo(1, "B")], [vexo.BoardInfo(0, "B")]))
    """, boards)
    assert proc.returncode == 0, proc.stderr
    ended, changes = proc.stdout.strip().split("\n")
    assert ended == "3 USB_CAMERA_USB_CREATE_ERROR True"
    assert changes.startswith("[BoardEvent(kind='arrived', index=0, serial='PY-GONE')] [] ")
    assert changes.endswith("[BoardEvent(kind='left', index=0, serial='A')]")
