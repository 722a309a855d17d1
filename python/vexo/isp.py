"""The library's software ISP for Python: raw frames to pictures as the scene looked.

A camera file's ``[colour]`` section (docs/camera-config.md) tells the ISP the sensor's black
level, white balance (fixed gains or ``auto``), colour matrix, curve and whether to run auto
exposure. :meth:`vexo.Frame.to_rgb` goes through the ISP when the frame's camera file has such
a section; :class:`Isp` keeps the ISP's state from frame to frame (the white balance found,
the exposure measured) and drives the camera's ``exposure`` and ``analogue_gain`` controls.

Everything is computed by the C++ layer's vexo::Isp; this module shapes its pictures as numpy
arrays.
"""
from __future__ import annotations

import dataclasses
import os
import threading
from typing import Any, Dict, Optional, Tuple, Union

import numpy as np

from . import _native
from .errors import CameraError

__all__ = ["Isp", "AutoExposure"]

# The results of one auto exposure step, in the library's order.
_STEPS = ("waiting", "settled", "adjusted", "at_limit", "no_control", "board_error")


@dataclasses.dataclass(frozen=True)
class AutoExposure:
    """What auto exposure measured in the last frame and what it did so far."""

    #: log-average of the green level in linear light, as a fraction of the range above
    #: black (0 before the first frame)
    level: float
    target: float  #: the level auto exposure brings frames to (mid grey)
    clipped: float  #: fraction of the frame's regions with a clipped sample
    settled: bool  #: the level is within 1/6 stop of the target
    exposure: float  #: the ``exposure`` control after the last step, in its unit
    analogue_gain: float  #: the ``analogue_gain`` control after the last step
    adjustments: int  #: steps that changed the controls


def frame_key(frame: Any) -> Tuple[int, int, int, int, int, int]:
    return (int(frame.format), frame.width, frame.height, frame.pixel_bytes, frame.pixel_bits,
            int(frame.bayer))


def process(native: Any, frame: Any, bits: int) -> np.ndarray:
    """@frame through the library ISP @native, as a (rows, width, 3) array of @bits bits."""
    if bits not in (8, 16):
        raise ValueError(f"an ISP picture has 8 or 16 bits a sample, not {bits}")
    frame.array  # a short frame raises ValueError here, saying what it holds and needs
    w, h, picture = native.process(frame.data, bits == 16)
    return np.frombuffer(picture, np.uint8 if bits == 8 else np.uint16).reshape(h, w, 3)


class Isp:
    """An ISP that keeps its state across frames: ``isp = vexo.Isp(cam)``, then
    ``rgb = isp.process(frame)`` for each frame.

    @source is a camera (its configuration's ``[colour]`` section, and its named controls for
    auto exposure), a :class:`vexo.Config` or a configuration file's path (no auto
    exposure: there is no camera to drive), or None (the ISP's defaults: no black level,
    automatic white balance, identity matrix, sRGB curve). A file without ``[colour]`` gets
    the defaults too.

    With a camera whose ``[colour]`` says ``auto_exposure = on`` (or with
    ``auto_exposure=True``, which raises ValueError without a camera), each :meth:`process` is followed by one auto exposure step that
    moves the camera's ``exposure`` (then ``analogue_gain``) controls towards mid grey; the
    frames after the next show the change. The ISP is made for the first frame's format and
    made again, with fresh state, when a frame of another format or size comes.

    Threading: one thread at a time processes frames (calls are serialised by a lock of the
    ISP); the auto exposure step takes the camera's lock, as setting a control does."""

    def __init__(self, source: Any = None, auto_exposure: Optional[bool] = None) -> None:
        from .config import Config, load_config

        self._camera: Any = None
        if hasattr(source, "controls") and isinstance(getattr(source, "config", None), Config):
            self._camera, config = source, source.config  # a vexo.Camera
        elif isinstance(source, Config):
            config = source
        elif isinstance(source, (str, os.PathLike)):
            config = load_config(source)
        elif source is None:
            config = None
        else:
            raise TypeError(f"an ISP is made from a Camera, a Config or a file path, not "
                            f"{type(source).__name__}")
        self._parsed = config.parsed if config is not None else None
        #: the ``[colour]`` settings as the library reads them (None: the ISP's defaults)
        self.colour: Optional[Dict[str, Any]] = config.colour if config is not None else None
        # (from a file alone there is no camera to drive: its auto_exposure is left aside)
        wanted = bool(self._camera is not None and self.colour and self.colour["auto_exposure"])
        if auto_exposure is not None:
            wanted = bool(auto_exposure)
        if wanted and self._camera is None:
            raise ValueError("auto exposure needs a camera to drive (vexo.Isp(cam))")
        #: whether :meth:`process` runs an auto exposure step after each frame
        self.auto_exposure = wanted
        #: the outcome of the last auto exposure step: "waiting", "settled", "adjusted",
        #: "at_limit", "no_control" (the camera has no ``exposure`` control), or None
        self.last_step: Optional[str] = None
        self._native: Any = None
        self._key: Optional[Tuple[int, ...]] = None
        self._lock = threading.Lock()

    def _for(self, frame: Any) -> Any:
        key = frame_key(frame)
        if key != self._key:
            self._native = _native.isp(self._parsed, *key)
            self._key = key
        return self._native

    def process(self, frame: Any, bits: int = 8) -> np.ndarray:
        """@frame (RAW, RAW_D, MON or MON_D, 1 or 2 bytes a pixel) as a new (rows, width, 3)
        picture: uint8, or uint16 with @bits 16. RAW_D and MON_D give both images, one above
        the other. Raises ValueError for other formats and for frames shorter than their
        format needs; CameraError when an auto exposure step fails on the board."""
        with self._lock:
            native = self._for(frame)
            picture = process(native, frame, bits)
            if self.auto_exposure:
                self._step(native)
        return picture

    def _step(self, native: Any) -> None:
        camera = self._camera
        assert camera is not None
        with camera._lock:
            result, board, message = native.step(camera.controls._bound())
        self.last_step = _STEPS[result]
        if self.last_step == "board_error":
            if board:
                raise CameraError(board, f"auto exposure: {message}")
            raise RuntimeError(f"auto exposure: {message}")

    @property
    def white_balance(self) -> Tuple[float, float, float]:
        """The white-balance gains (red, green, blue multipliers of the camera's colours)
        applied to the last frame; the configured ones before the first."""
        with self._lock:
            if self._native is None:
                return tuple(self.colour["white_balance"]) if self.colour else (1.0, 1.0, 1.0)
            return self._native.white_balance()

    @property
    def exposure(self) -> AutoExposure:
        """What auto exposure measured in the last frame and did so far."""
        with self._lock:
            if self._native is None:
                return AutoExposure(0.0, 0.18, 0.0, False, 0.0, 0.0, 0)
            return AutoExposure(**self._native.auto_exposure())

    @property
    def settings(self) -> Dict[str, Any]:
        """The settings the ISP works with: the file's ``[colour]`` or the defaults."""
        if self.colour is not None:
            return dict(self.colour)
        return _native.isp(None, 0, 2, 2, 1, 8, 0).settings()

    def __repr__(self) -> str:
        source = "camera" if self._camera is not None else ("[colour]" if self.colour
                                                             else "defaults")
        return f"<vexo.Isp {source} white_balance={self.white_balance}>"


def frame_picture(frame: Any, isp: Union[Isp, Any, None], colour: Any) -> Optional[np.ndarray]:
    """Frame.to_rgb's ISP path: through @isp when given, else through a new ISP of the frame's
    camera file @colour (its parsed file, when the file has [colour]); None for neither."""
    if isinstance(isp, Isp):
        return isp.process(frame)
    if isp is not None:
        raise TypeError(f"isp must be a vexo.Isp, not {type(isp).__name__}")
    if colour is None:
        return None
    return process(_native.isp(colour, *frame_key(frame)), frame, 8)
