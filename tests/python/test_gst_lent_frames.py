"""vexosrc lends frame slots downstream: buffers held by a queue, a tee with a slow branch and
appsink in Python keep the bytes of their own frame, through a flush and after the pipeline
went to NULL, and state cycles with buffers out leave no GStreamer object alive.

Each case runs in its own interpreter with two identical virtual boards: the element streams
from the second, VexoSDK reads the first, and the frames compared are those of the same number
(a buffer's offset is its frame number in the stream, lost frames included)."""
import json
import os
import subprocess
import textwrap

import pytest

from conftest import BUILD, MODULE_DIR

pytest.importorskip("gi", reason="python3-gi is not installed")

PLUGIN_DIR = BUILD / "gst"
WIDTH, HEIGHT = 320, 240

BOARD = {"stream": {"width": WIDTH, "height": HEIGHT, "format": "RAW", "fps": 400}}
CONFIG = (f"[camera]\nwidth = {WIDTH}\nheight = {HEIGHT}\nformat = RAW\n"
          "i2c_address = 0x20\ni2c_mode = 16_8\ntransfer_level = 64\n")

PRELUDE = f"""
import sys
sys.path.insert(0, {str(MODULE_DIR)!r})
import gi
gi.require_version("Gst", "1.0")
from gi.repository import Gst
Gst.init(None)

def pipeline(text):
    p = Gst.parse_launch(text)
    assert p.set_state(Gst.State.PLAYING) != Gst.StateChangeReturn.FAILURE
    return p

def pull(sink, count, kept):
    # Keeps every buffer pulled: none is given back while the pipeline runs.
    while len(kept) < count:
        sample = sink.emit("try-pull-sample", 5 * Gst.SECOND)
        assert sample is not None, "no sample within 5 s"
        kept.append(sample.get_buffer())
"""


def run_gst(tmp_path, code, env_extra=None):
    if not (PLUGIN_DIR / "libgstvexo.so").exists():
        pytest.skip("the GStreamer plugin is not built")
    cfg = tmp_path / "camera.cfg"
    cfg.write_text(CONFIG)
    env = dict(os.environ)
    env.update({
        "VEXO_VIRTUAL_BOARDS": json.dumps({"boards": [BOARD, BOARD]}),
        "GST_PLUGIN_PATH": str(PLUGIN_DIR),
        "GST_REGISTRY": str(tmp_path / "registry.bin"),
        "CONFIG": str(cfg),
    })
    env.update(env_extra or {})
    proc = subprocess.run(["/usr/bin/python3", "-c", PRELUDE + textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=240)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return proc


def test_held_buffers_keep_their_frames_through_queue_tee_and_appsink(tmp_path):
    proc = run_gst(tmp_path, """
        import os
        import VexoSDK as V
        kept = []
        p = pipeline("vexosrc name=src index=1 config=" + os.environ["CONFIG"] +
                     " ! queue max-size-buffers=32 ! tee name=t"
                     " t. ! queue ! identity sleep-time=3000 ! fakesink"
                     " t. ! queue ! appsink name=sink max-buffers=0 sync=false")
        src = p.get_by_name("src")
        pull(p.get_by_name("sink"), 50, kept)
        # A flush drops what the queues hold (the element's lent frame among them) mid-stream.
        assert src.send_event(Gst.Event.new_flush_start())
        assert src.send_event(Gst.Event.new_flush_stop(False))
        pull(p.get_by_name("sink"), 100, kept)
        copies, frames = src.get_property("copies"), src.get_property("frames")
        # To NULL with the 100 buffers still out: the board closes under them.
        p.set_state(Gst.State.NULL)

        offsets = [b.offset for b in kept]
        assert offsets == sorted(offsets) and len(set(offsets)) == 100, offsets
        cfg = {"u32CameraType": 0, "u32Width": %(w)d, "u32Height": %(h)d, "usbType": 0,
               "u8PixelBytes": 1, "u16Vid": 0, "u32Size": 0, "u32I2cAddr": 0x20,
               "u8PixelBits": 8, "emI2cMode": V.I2C_MODE_16_8, "emImageFmtMode": 0,
               "u32TransLvl": 64}
        rc, handle, _ = V.Py_Vexo_open(cfg, 0)
        assert rc == 0 and V.Py_Vexo_beginCaptureImage(handle) == 0
        expected = []
        while len(expected) <= offsets[-1]:
            rc, data, frame = V.Py_Vexo_readImage(handle)
            if rc == 0:
                expected.append(bytes(data))
                V.Py_Vexo_del(handle)
            else:
                assert V.Py_Vexo_captureImage(handle) <= 0xFF
        V.Py_Vexo_endCaptureImage(handle)
        V.Py_Vexo_close(handle)
        wrong = [b.offset for b in kept
                 if b.extract_dup(0, b.get_size()) != expected[b.offset]]
        assert not wrong, ("frames whose bytes are not the board's", wrong)
        print(json.dumps({"copies": copies, "frames": frames}))
    """.replace("%(w)d", str(WIDTH)).replace("%(h)d", str(HEIGHT)).replace(
        "import os", "import os, json"))
    figures = json.loads(proc.stdout.strip().splitlines()[-1])
    # Held buffers cannot all have been lent: the copies are counted.
    assert 0 < figures["copies"] <= figures["frames"]


def test_state_cycles_with_buffers_out_leave_nothing_alive(tmp_path):
    proc = run_gst(tmp_path, """
        import os
        kept = []
        p = Gst.parse_launch("vexosrc config=" + os.environ["CONFIG"] +
                             " ! queue ! appsink name=sink max-buffers=0 sync=false")
        for cycle in range(10):
            assert p.set_state(Gst.State.PLAYING) != Gst.StateChangeReturn.FAILURE
            pull(p.get_by_name("sink"), 5 * (cycle + 1), kept)
            p.set_state(Gst.State.NULL)
        for b in kept:  # still readable after their board closed
            ok, info = b.map(Gst.MapFlags.READ)
            assert ok and info.size == %(size)d
            b.unmap(info)
        del kept, p, b, info
        import gc
        gc.collect()
        Gst.deinit()
        print("cycles done")
    """.replace("%(size)d", str(WIDTH * HEIGHT)),
        {"GST_TRACERS": "leaks", "GST_DEBUG": "GST_TRACER:7", "GST_DEBUG_NO_COLOR": "1"})
    assert "cycles done" in proc.stdout
    # The leaks tracer registers its record, then lists each object still alive at exit.
    records = [line for line in proc.stderr.splitlines()
               if "object-alive, type-name=(string)" in line]
    assert any("%s" in line for line in records), "the leaks tracer did not run"
    alive = [line for line in records if "%s" not in line]
    assert not alive, "\n".join(alive[:20])
