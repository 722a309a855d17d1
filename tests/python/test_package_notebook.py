"""Cameras in Jupyter: frames as PNG pictures, cameras and board lists as escaped HTML, and the
example notebook executed by nbconvert on a virtual board."""
import base64
import html.parser
import importlib.util
import io
import json
import os
import shutil
import subprocess

import numpy as np
import pytest

import vexo
from conftest import MODULE_DIR, RAW_USB3, ROOT

Image = pytest.importorskip("PIL.Image", reason="decoding PNGs needs python3-pil")

NOTEBOOK = ROOT / "examples" / "notebooks" / "camera.ipynb"
CONTROLS = ROOT / "examples" / "configs" / "sensor-controls.cfg"


def decode(png):
    picture = Image.open(io.BytesIO(png))
    assert picture.mode == "RGB"
    return np.asarray(picture)


def frame_of(fmt, w, h, data, pb=1):
    info = {"u32Width": w, "u32Height": h, "emImageFmtMode": int(fmt), "u8PixelBytes": pb,
            "u8PixelBits": 8 * pb, "u32Size": len(data)}
    return vexo.Frame(bytes(data), info)


RNG = np.random.default_rng(36)


@pytest.mark.parametrize("fmt,w,h,pb", [
    (vexo.Format.RAW, 33, 20, 1),
    (vexo.Format.RAW, 16, 12, 2),
    (vexo.Format.MON_D, 21, 7, 1),
    (vexo.Format.YUV, 15, 9, 2),
    (vexo.Format.RGB, 10, 10, 2),
])
def test_png_holds_the_converters_picture(fmt, w, h, pb):
    rows = 2 * h if fmt in (vexo.Format.RAW_D, vexo.Format.MON_D) else h
    frame = frame_of(fmt, w, h, RNG.integers(0, 256, rows * w * pb, np.uint8), pb)
    np.testing.assert_array_equal(decode(frame._repr_png_()), frame.to_rgb())


def test_large_frame_is_shrunk_by_square_means():
    # 2100 wide: shrunk by 3 to 700 x 10; each 3 x 3 square one grey, so its mean is exact.
    # The last row and column of 31 x 2101 fall outside the whole squares.
    squares = RNG.integers(0, 256, (10, 700), np.uint8)
    grey = np.zeros((31, 2101), np.uint8)
    grey[:30, :2100] = squares.repeat(3, 0).repeat(3, 1)
    grey[30, :] = grey[:, 2100] = 255
    frame = frame_of(vexo.Format.MON, 2101, 31, grey.tobytes())
    shown = decode(frame._repr_png_())
    assert shown.shape == (10, 700, 3)
    np.testing.assert_array_equal(shown, frame.to_rgb()[:30:3, :2100:3])
    # A side shorter than the factor is averaged whole rather than shrunk to nothing.
    line = frame_of(vexo.Format.MON, 2100, 1, squares[0].repeat(3).tobytes())
    np.testing.assert_array_equal(decode(line._repr_png_()), line.to_rgb()[:, ::3])


def test_frames_without_a_picture_show_none_or_their_jpeg():
    short = frame_of(vexo.Format.RAW, 8, 8, bytes(63))
    assert short._repr_png_() is None and short._repr_jpeg_() is None
    jpeg = frame_of(vexo.Format.JPG, 8, 8, b"\xff\xd8jpeg\xff\xd9")
    assert jpeg._repr_png_() is None and jpeg._repr_jpeg_() == b"\xff\xd8jpeg\xff\xd9"


def test_html_escapes_board_text():
    from vexo.notebook import board_table_html

    boards = vexo.boards.Boards([vexo.BoardInfo(7, "<b>&x")])
    assert boards == [vexo.BoardInfo(7, "<b>&x")]
    assert "<td>&lt;b&gt;&amp;x</td>" in boards._repr_html_()
    assert board_table_html(boards) == boards._repr_html_()
    assert "<b>&x" not in boards._repr_html_()


def test_camera_and_scan_summaries():
    found = vexo.scan()
    assert "VEXO-PY-RAW-0001" in found._repr_html_()
    cam = vexo.open(index=RAW_USB3)
    cam.serial = "<script>"  # as a board's user data might say
    summary = cam._repr_html_()
    assert "&lt;script&gt;" in summary and "<script>" not in summary
    assert "640 x 480 RAW, 8-bit, Bayer RG" in summary and ">open<" in summary
    cam.close()
    assert ">closed<" in cam._repr_html_()


def test_live_view_shows_the_cameras_frames():
    from vexo.notebook import LiveView

    with vexo.open(index=RAW_USB3) as cam:
        view = LiveView(cam, fps=100)
        view.start()
        assert view.wait(3)
        view.stop()
        assert view.error is None and not cam.capturing
        shown = view._bundle()
        np.testing.assert_array_equal(decode(base64.b64decode(shown["image/png"])),
                                      view.last_frame.to_rgb())
        assert cam.frame().width == 640  # the camera is usable after the view


class ControlRows(html.parser.HTMLParser):
    """The rows of a controls table: name -> (value text, the gauge's attributes)."""

    def __init__(self, text):
        super().__init__()
        self.rows, self._cells, self._gauge = {}, None, {}
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        if tag == "tr":
            self._cells, self._gauge = [], {}
        elif tag == "td" and self._cells is not None:
            self._cells.append("")
        elif tag == "input":
            self._gauge = dict(attrs)

    def handle_data(self, data):
        if self._cells:
            self._cells[-1] += data

    def handle_endtag(self, tag):
        if tag == "tr" and self._cells:
            self.rows[self._cells[0]] = (self._cells[1], self._gauge)


def test_live_view_sets_controls_between_pictures():
    from vexo.notebook import LiveView, controls_html

    with vexo.open(index=RAW_USB3, config=CONTROLS) as cam:
        view = LiveView(cam, fps=100)
        view.start()
        assert view.wait(2)
        assert view.set(exposure=70000, flip="on", test_pattern="fade") == \
            {"exposure": 65535, "flip": True, "test_pattern": 2}
        before = [cam.registers[a] for a in (0x3500, 0x3501, 0x3502, 0x5080)]
        with pytest.raises(ValueError):
            view.set(exposure=5, test_pattern="stripes")  # checked before anything is written
        assert [cam.registers[a] for a in (0x3500, 0x3501, 0x3502, 0x5080)] == before
        assert view.wait(view.shown + 3)  # the view goes on showing frames
        view.stop()
        assert view.error is None
        rows = ControlRows(view._controls_bundle()["text/html"]).rows
        assert rows["exposure"][0] == "65535" and rows["exposure"][1]["value"] == "65535"
        assert rows["test_pattern"][0] == "fade" and "checked" in rows["flip"][1]
        assert rows["analogue_gain"][1]["max"] == "15.5"
        assert controls_html(cam.controls) == cam.controls._repr_html_()
    with vexo.open(index=RAW_USB3, config=vexo.Config()) as plain:  # no [controls]: no table
        assert LiveView(plain)._controls_bundle() is None
        assert "No named controls" in plain.controls._repr_html_()


def test_package_imports_without_ipython():
    code = ("import sys; sys.modules['IPython'] = None; import vexo, vexo.notebook; "
            "print('ok')")
    proc = subprocess.run(["/usr/bin/python3", "-c", code], capture_output=True, text=True,
                          env={"PYTHONPATH": str(MODULE_DIR)}, timeout=60)
    assert proc.stdout.strip() == "ok", proc.stderr


def outputs(notebook):
    """Each code cell's source with the mime bundles of its outputs (texts that the file
    keeps as lists of lines joined)."""
    cells = json.loads(notebook.read_text())["cells"]

    def bundle(data):
        return {k: "".join(v) if isinstance(v, list) else v for k, v in data.items()}

    return [("".join(c["source"]), [bundle(o.get("data", {})) for o in c["outputs"]])
            for c in cells if c["cell_type"] == "code"]


@pytest.mark.skipif(shutil.which("jupyter-nbconvert") is None or
                    importlib.util.find_spec("nbclient") is None or
                    importlib.util.find_spec("ipykernel") is None,
                    reason="needs jupyter-nbconvert, python3-nbclient and python3-ipykernel")
def test_example_notebook_runs_on_a_virtual_board(tmp_path):
    env = dict(os.environ, VEXO_VIRTUAL_BOARDS="1", PYTHONPATH=str(MODULE_DIR),
               PYDEVD_DISABLE_FILE_VALIDATION="1", JUPYTER_RUNTIME_DIR=str(tmp_path / "run"),
               IPYTHONDIR=str(tmp_path / "ipython"))
    proc = subprocess.run(
        ["jupyter-nbconvert", "--to", "notebook", "--execute", str(NOTEBOOK),
         "--output-dir", str(tmp_path), "--output", "run.ipynb",
         "--ExecutePreprocessor.timeout=120"],
        capture_output=True, text=True, env=env, timeout=300)
    assert proc.returncode == 0, proc.stderr[-3000:]
    cells = outputs(tmp_path / "run.ipynb")
    pictures = [decode(base64.b64decode(d["image/png"]))
                for _, bundles in cells for d in bundles if "image/png" in d]
    # the frame, the live view and the loop's output: each the virtual board's 640 x 480
    assert len(pictures) == 3
    assert all(p.shape == (480, 640, 3) for p in pictures)
    # view.set(exposure=512, analogue_gain=1.5) reached the sensor: 3/4 of the light
    assert pictures[2].mean() == pytest.approx(0.75 * pictures[0].mean(), rel=0.05)
    html = [d["text/html"] for _, bundles in cells for d in bundles if "text/html" in d]
    assert "VEXO-VIRTUAL-000" in html[0] and "vexo.Camera" in html[1]
    assert "640 x 480 RAW" in html[1]
    # The controls: listed by cam.controls, and under the live view's picture, whose table
    # view.set() updated; a refused setting changed nothing.
    tables = [ControlRows(h).rows for h in html if "vexo-controls" in h]
    assert len(tables) == 2 and all("exposure" in t for t in tables)
    view_table = next(t for source, bundles in cells if "view.start()" in source
                      for b in bundles if "vexo-controls" in b.get("text/html", "")
                      for t in [ControlRows(b["text/html"]).rows])
    assert view_table["exposure"][0] == "512" and view_table["analogue_gain"][0] == "1.5"
    refused = next(b for source, bundles in cells if "lots" in source for b in bundles
                   if "text/plain" in b)
    assert refused["text/plain"] == "512"
