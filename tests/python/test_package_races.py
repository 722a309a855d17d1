"""The vexo package's camera when other threads close, stop or give frames back while a
capture loop runs, also while its board replugs: the camera ends as asked and stays so, the
frames delivered are the board's own, and a frame goes back to the queue once.
Each test runs in a fresh interpreter with boards of its own."""
import json
import textwrap

import pytest

from conftest import run_python

TRIALS = 6
PRELUDE = """
import json, sys, threading, time, vexo
sys.setswitchinterval(1e-5)  # threads change hands often: races show up
cfg = vexo.Config(width=64, height=32)
"""


def run(code, boards):
    proc = run_python(PRELUDE + textwrap.dedent(code), boards)
    assert proc.returncode == 0, proc.stderr
    return [json.loads(line) for line in proc.stdout.strip().split("\n")]


def boards(name, **fault):
    return {"boards": [{"serial": f"{name}-{i}", "stream": {"width": 64, "height": 32},
                        "faults": [fault] if fault else []} for i in range(TRIALS)]}


def test_close_while_the_board_is_away_leaves_the_camera_closed():
    # A second thread closes the camera when a register read fails (the board left): the
    # reconnect must not bring the camera back, and the frames before were the board's own.
    trials = run(f"""
        for i in range({TRIALS}):
            serial = f"PY-CLOSE-{{i}}"
            cam = vexo.open(serial=serial, config=cfg, reconnect=5)
            got, ended = [], []
            def stream():
                try:
                    for f in cam.frames():
                        got.append(bytes(f.data))
                except Exception as e:
                    ended.append(type(e).__name__)
            def closer():
                while True:
                    try:
                        cam.i2c(0x46)[5]
                    except vexo.CameraError:
                        cam.close()
                        return
            threads = [threading.Thread(target=stream), threading.Thread(target=closer)]
            for t in threads: t.start()
            for t in threads: t.join(10)
            alive = any(t.is_alive() for t in threads)
            if alive:
                cam.close()
            vexo.wait_for_board(serial, 5)
            with vexo.open(serial=serial, config=cfg) as again:  # the board is free again
                sent = [bytes(f.data) for f in again.frames(12)]
            print(json.dumps([alive, ended, cam.closed, cam.reconnects, got == sent]))
    """, boards("PY-CLOSE", kind="replug", atFrame=12, ms=150))
    assert trials == [[False, ["ValueError"], True, 0, True]] * TRIALS


def test_stop_from_another_thread_is_no_board_loss():
    # The frames loop of a camera that reconnects ends as without reconnect: the healthy
    # board is not closed and reopened, and no gap is recorded.
    trials = run(f"""
        for i in range({TRIALS}):
            cam = vexo.open(serial=f"PY-STOP-{{i}}", config=cfg, reconnect=5)
            handle, got, ended, ready = cam.handle, [], [], threading.Event()
            def stream():
                try:
                    for f in cam.frames():
                        got.append(f.timestamp)
                        if len(got) == 20:
                            ready.set()
                except vexo.CameraError as e:
                    ended.append(e.name)
            t = threading.Thread(target=stream)
            t.start()
            ready.wait(10)
            cam.stop()
            t.join(10)
            print(json.dumps([t.is_alive(), ended, cam.reconnects, cam.gaps, cam.handle is handle,
                              got == sorted(set(got)), cam.capturing]))
            cam.close()
    """, boards("PY-STOP"))
    assert trials == [[False, ["USB_CAMERA_USB_TASK_ERROR"], 0, [], True, True, False]] * TRIALS


@pytest.mark.parametrize("rival", ["release", "stop", "read"])
def test_a_lent_frame_goes_back_once(rival):
    # Threads give the same lent frame back at once (frame.release, and the camera's stop or
    # next read): the queue loses exactly that frame, never one nobody read.
    trials = run(f"""
        cam = vexo.open(serial="PY-LEND-0", config=cfg)
        out = []
        for trial in range(150):
            cam.start()
            while cam.available < 4:
                cam.capture()
            frame, before, read = cam.read(), cam.available, []
            gate = threading.Barrier(4)
            def rival():
                gate.wait()
                if "{rival}" == "read":
                    read.append(cam.read())
                else:
                    getattr({{"release": frame, "stop": cam}}["{rival}"], "{rival}")()
            def giver():
                gate.wait()
                frame.release()
            threads = [threading.Thread(target=f) for f in (rival, giver, giver, giver)]
            for t in threads: t.start()
            for t in threads: t.join()
            after = cam.available
            newer = [f.timestamp > frame.timestamp and not f.released for f in read]
            # a stop empties the queue; otherwise it holds one frame less
            out.append([after if "{rival}" == "stop" else before - after, frame.released] + newer)
            cam.stop()
        print(json.dumps(out))
    """, boards("PY-LEND"))[0]
    expected = [0 if rival == "stop" else 1, True] + ([True] if rival == "read" else [])
    assert trials == [expected] * 150
