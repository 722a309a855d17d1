"""Cameras in Jupyter: frames as pictures, summaries as HTML, and a live view.

Frames, cameras and board lists show themselves in a notebook without this module being
imported (their ``_repr_png_`` and ``_repr_html_`` come here when IPython asks). Nothing
here needs IPython to import; the live view uses it when it runs:

    from vexo.notebook import LiveView
    view = LiveView(cam)
    view.start()  # one output, updated with the camera's frames
    view.stop()
"""
from __future__ import annotations

import base64
import html
import struct
import threading
import time
import uuid
import zlib
from typing import Any, Dict, Iterable, List, Optional, Tuple

import numpy as np

from .enums import Format

__all__ = ["DISPLAY_BOUND", "display_rgb", "png_bytes", "frame_png", "board_table_html",
           "camera_html", "controls_html", "LiveView"]

#: The longest side, in pixels, of a frame's picture in a notebook: larger frames are shrunk by
#: the smallest whole factor that fits them (each shown pixel the mean of a square of pixels).
DISPLAY_BOUND = 1024


def display_rgb(frame: Any) -> Optional[np.ndarray]:
    """The frame's picture as a notebook shows it: ``frame.to_rgb()``, shrunk to fit
    :data:`DISPLAY_BOUND`. None for frames that have no such picture (JPG frames, unknown
    formats, frames shorter than their format needs)."""
    if not isinstance(frame.format, Format) or frame.format == Format.JPG:
        return None
    try:
        rgb = frame.to_rgb()
    except ValueError:
        return None
    return shrink(rgb, DISPLAY_BOUND)


def shrink(rgb: np.ndarray, bound: int) -> np.ndarray:
    """@rgb with its longest side at most @bound: means of k x k squares for the smallest whole
    k that fits (rows and columns past the last whole square are left out; a side shorter
    than k is averaged whole)."""
    h, w, _ = rgb.shape
    k = -(-max(h, w) // bound)
    if k <= 1:
        return rgb
    ky, kx = min(k, h), min(k, w)
    rows, cols = h // ky, w // kx
    squares = rgb[:rows * ky, :cols * kx].reshape(rows, ky, cols, kx, 3)
    # Rounded mean of the samples, in integers: sums of up to 255 * k*k fit in 32 bits.
    sums = squares.sum(axis=(1, 3), dtype=np.uint32)
    return ((sums + (ky * kx) // 2) // (ky * kx)).astype(np.uint8)


def _chunk(kind: bytes, body: bytes) -> bytes:
    return struct.pack(">I", len(body)) + kind + body + \
        struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF)


def png_bytes(rgb: np.ndarray) -> bytes:
    """An 8-bit (height, width, 3) picture as the bytes of a PNG file."""
    rgb = np.ascontiguousarray(rgb, np.uint8)
    h, w, channels = rgb.shape
    if channels != 3 or h == 0 or w == 0:
        raise ValueError("a picture is a non-empty (height, width, 3) array")
    # Each row goes in with filter type 0 (none) before it.
    rows = np.empty((h, 1 + 3 * w), np.uint8)
    rows[:, 0] = 0
    rows[:, 1:] = rgb.reshape(h, 3 * w)
    header = struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0)  # 8-bit truecolour
    return (b"\x89PNG\r\n\x1a\n" + _chunk(b"IHDR", header) +
            _chunk(b"IDAT", zlib.compress(rows.tobytes(), 6)) + _chunk(b"IEND", b""))


def frame_png(frame: Any) -> Optional[bytes]:
    """The PNG of :func:`display_rgb`, or None when the frame has no such picture."""
    rgb = display_rgb(frame)
    return None if rgb is None else png_bytes(rgb)


def _table(rows: Iterable[Tuple[str, Any]]) -> str:
    cells = "".join(f"<tr><th style=\"text-align:left\">{html.escape(k)}</th>"
                    f"<td style=\"text-align:left\">{html.escape(str(v))}</td></tr>"
                    for k, v in rows)
    return f"<table>{cells}</table>"


def board_table_html(boards: List[Any]) -> str:
    """A board list (:func:`vexo.scan`) as an HTML table: device index and serial text."""
    if not boards:
        return "<p>No board found.</p>"
    head = "<tr><th>index</th><th>serial</th></tr>"
    rows = "".join(f"<tr><td>{b.index}</td><td>{html.escape(b.serial)}</td></tr>"
                   for b in boards)
    return f"<table>{head}{rows}</table>"


def _picture_text(config: Any) -> str:
    fmt = config.format.name if isinstance(config.format, Format) else str(config.format)
    bits = config.pixel_bits or 8 * config.pixel_bytes
    text = f"{config.width} x {config.height} {fmt}, {bits}-bit"
    if config.format in (Format.RAW, Format.RAW_D):
        text += f", Bayer {config.bayer.name}"
    return text


def camera_html(camera: Any) -> str:
    """A camera's summary as an HTML table: board, state, picture, link and reconnects."""
    state = "closed" if camera.closed else ("capturing" if camera.capturing else "open")
    rows: List[Tuple[str, Any]] = [
        ("serial", getattr(camera, "serial", "?")),
        ("index", getattr(camera, "index", "?")),
        ("state", state),
    ]
    config = getattr(camera, "config", None)
    if config is not None:
        rows.append(("picture", _picture_text(config)))
        if config.name:
            rows.append(("configuration", config.name))
    usb = getattr(camera, "info", {}).get("usbType", 0)
    if usb:
        rows.append(("link", f"USB {usb}"))
    if camera.reconnects:
        rows.append(("reconnects", camera.reconnects))
    return f"<b>vexo.Camera</b>{_table(rows)}"


def _range_text(row: Dict[str, Any]) -> str:
    if row["type"] == "menu":
        return " | ".join(row["menu"])
    if row["type"] == "boolean":
        return "off | on"
    return f"{row['min']} .. {row['max']} step {row['step']}"


def _control_gauge(row: Dict[str, Any], texts: Dict[str, str]) -> str:
    """A read-only picture of the value within its range: a slider's position, a switch, or
    the menu entry. They follow the camera, not the mouse: set values from code."""
    name, value = html.escape(row["name"]), row["value"]
    if row["type"] == "boolean":
        checked = " checked" if value else ""
        return f"<input type=\"checkbox\" disabled{checked} aria-label=\"{name}\">"
    if row["type"] == "menu":
        return "<b>" + html.escape(texts.get(row["name"], str(value))) + "</b>"
    return (f"<input type=\"range\" disabled min=\"{row['min']}\" max=\"{row['max']}\" "
            f"step=\"{row['step']}\" value=\"{value}\" aria-label=\"{name}\">")


def controls_html(controls: Any) -> str:
    """A camera's named controls as an HTML table: name, value (as ``vexo ctrl`` writes it)
    with a read-only slider, switch or menu entry showing it, unit, range and step, default.
    Values are read back from the sensor now."""
    rows = controls.table()
    if not rows:
        return "<p>No named controls (the camera's file has no [controls]).</p>"
    texts = {row["name"]: controls[row["name"]].text for row in rows}
    head = ("<tr><th>control</th><th>value</th><th></th><th>unit</th><th>range</th>"
            "<th>default</th></tr>")
    cells = "".join(
        f"<tr><td>{html.escape(r['name'])}</td><td>{html.escape(texts[r['name']])}</td>"
        f"<td>{_control_gauge(r, texts)}</td><td>{html.escape(r['unit'])}</td>"
        f"<td>{html.escape(_range_text(r))}</td><td>{html.escape(str(r['default']))}</td></tr>"
        for r in rows)
    return f"<table class=\"vexo-controls\">{head}{cells}</table>"


class LiveView:
    """A live picture of a camera in a notebook: one output, updated in place with the
    camera's frames by a thread of the view between :meth:`start` and :meth:`stop`.

    The output is IPython's display with an id, which every Jupyter front end and nbconvert
    update in place; it needs no widget library. While the view runs it is the camera's
    capture and reading thread: take no frames from the camera elsewhere until :meth:`stop`
    returns. At most @fps pictures a second are sent to the page (the frames in between are
    read and given back); JPG frames are sent as received, other formats as the PNG of
    :func:`display_rgb`.

    The view shows itself where it is displayed (the last expression of a cell), or where
    :meth:`start` runs when it was not displayed before.

    A camera with named controls (``camera.controls``) gets a second output under the picture:
    the controls with their values read back from the sensor (:func:`controls_html`).
    :meth:`set` changes them between updates, from any cell, also while the view runs, and
    refreshes that table; so does :meth:`stop`. With @controls False the table is left out.
    (The page's sliders show the values; they are not dragged: Debian's ipywidgets speaks an
    older widget protocol than its nbclient, which fails on it, so the view uses no widgets.)"""

    def __init__(self, camera: Any, fps: float = 10.0, controls: bool = True) -> None:
        self.camera = camera
        self.fps = float(fps)
        self._with_controls = bool(controls)
        #: pictures sent to the page since the view was made
        self.shown = 0
        #: a copy of the frame whose picture the page shows (None before the first)
        self.last_frame: Any = None
        #: why the view stopped by itself (the exception), None while it runs or after stop()
        self.error: Optional[BaseException] = None
        self._id = f"vexo-live-{uuid.uuid4().hex}"
        self._displayed = False
        self._picture: Optional[Dict[str, str]] = None
        self._shown_cond = threading.Condition()
        self._stop = threading.Event()
        self._thread: Optional[threading.Thread] = None

    def _bundle(self) -> Dict[str, str]:
        if self._picture is not None:
            return self._picture
        return {"text/plain": f"live view of {self.camera!r}: no picture yet"}

    def _controls_bundle(self) -> Optional[Dict[str, str]]:
        if not self._with_controls or len(self.camera.controls) == 0:
            return None
        controls = self.camera.controls
        text = ", ".join(f"{name}={control.text}" for name, control in controls.items())
        return {"text/html": controls_html(controls), "text/plain": text}

    def _ipython_display_(self) -> None:
        from IPython.display import display

        display(self._bundle(), raw=True, display_id=self._id)
        self._displayed = True
        table = self._controls_bundle()
        if table is not None:
            display(table, raw=True, display_id=f"{self._id}-controls")

    @property
    def controls(self) -> Any:
        """The camera's named controls (``camera.controls``)."""
        return self.camera.controls

    def set(self, **values: Any) -> Dict[str, Any]:
        """Sets named controls of the camera, ``view.set(exposure=800, analogue_gain=2.5)``:
        in the order given, after checking every name and text (nothing is written when one is
        wrong), by the rules of :mod:`vexo.controls`. Refreshes the controls table on the page
        and returns the values read back. The pictures that follow show the change."""
        applied = self.camera.controls.set(**values)
        self._update_controls()
        return applied

    def _update_controls(self) -> None:
        if not self._displayed:
            return
        table = self._controls_bundle()
        if table is not None:
            from IPython.display import update_display

            update_display(table, raw=True, display_id=f"{self._id}-controls")

    @property
    def running(self) -> bool:
        return self._thread is not None and self._thread.is_alive()

    def start(self) -> None:
        """Starts showing frames (and capture, when the camera was not capturing)."""
        if self.running:
            return
        if not self._displayed:
            self._ipython_display_()
        self._stop.clear()
        self.error = None
        self._thread = threading.Thread(target=self._run, name="vexo live view", daemon=True)
        self._thread.start()

    def wait(self, pictures: int = 1, timeout: float = 10.0) -> bool:
        """Waits until @pictures pictures were shown since the view was made, the view
        stopped, or @timeout seconds passed; True when they were shown."""
        with self._shown_cond:
            self._shown_cond.wait_for(lambda: self.shown >= pictures or not self.running,
                                      timeout)
            return self.shown >= pictures

    def stop(self) -> None:
        """Stops showing frames and waits for the view's thread. The output keeps the last
        picture, sent once more from the caller (so that a notebook run by nbconvert records
        it with the calling cell). Capture that the view started ends with it; the camera
        stays open."""
        self._stop.set()
        thread, self._thread = self._thread, None
        if thread is not None:
            thread.join()
        if self._displayed and self._picture is not None:
            self._update()
        self._update_controls()

    def _update(self) -> None:
        from IPython.display import update_display

        update_display(self._bundle(), raw=True, display_id=self._id)

    def _run(self) -> None:
        period = 1.0 / self.fps if self.fps > 0 else 0.0
        next_at = 0.0
        # Closed on the way out, so that capture the generator started ends with the view.
        frames = self.camera.frames()
        try:
            for frame in frames:
                if self._stop.is_set():
                    break
                now = time.monotonic()
                if now < next_at:
                    continue
                next_at = now + period
                self._show(frame)
        except Exception as exc:  # noqa: BLE001 - kept for the notebook to read
            if not self._stop.is_set():
                self.error = exc
        finally:
            frames.close()
            with self._shown_cond:
                self._shown_cond.notify_all()

    def _show(self, frame: Any) -> None:
        if frame.format == Format.JPG:
            picture, kind = bytes(frame.array), "image/jpeg"
        else:
            picture, kind = frame_png(frame), "image/png"
        if picture is None:
            return
        self.last_frame = frame.copy()
        self._picture = {kind: base64.b64encode(picture).decode("ascii"),
                         "text/plain": repr(self.last_frame)}
        self._update()
        with self._shown_cond:
            self.shown += 1
            self._shown_cond.notify_all()
