"""Frames: the bytes of one picture with what describes them, as numpy arrays."""
from __future__ import annotations

import os
import threading
from typing import Any, Callable, Dict, Optional, Tuple, Union

import numpy as np

from . import _native
from .enums import Bayer, Format

__all__ = ["Frame"]

# Makes giving a frame back happen once, whichever threads ask at the same time.
_RELEASE = threading.RLock()


class Frame:
    """One frame as the camera delivered it.

    ``data`` is the read-only memoryview of the frame's bytes and ``array`` a numpy array over
    the same memory (no copy): (height, width) for RAW and MON (uint8, or little-endian uint16
    with ``pixel_bits`` significant bits for two-byte pixels), (2 x height, width) for RAW_D
    and MON_D (the picture above its inverted copy), (height, width) RGB565 words for RGB,
    (height, width, 2) for YUYV, and the JPEG's bytes (1-D) for JPG.

    A frame handed out by :meth:`Camera.frames` or :meth:`Camera.read` is lent: once it is
    released (the consumer moves on), capture may refill its buffer and ``data`` and
    ``array`` then show a later picture. Keep a frame with :meth:`copy`.
    """

    def __init__(self, data: Any, info: Dict[str, int], bayer: int = Bayer.RG,
                 release: Optional[Callable[[], None]] = None, colour: Any = None) -> None:
        view = memoryview(data)
        # The arrays are made over the bytes as they lie: one run of bytes, counted in bytes.
        if not view.c_contiguous:
            raise ValueError("frame data must be contiguous bytes")
        if view.ndim != 1 or view.format != "B":
            view = view.cast("B")
        # Read-only also over writable memory (a bytearray), as data and array promise.
        self.data = view.toreadonly()
        #: the frame dict of the module (twelve configuration keys, "u64Time" when known)
        self.info = dict(info)
        self.width: int = info["u32Width"]
        self.height: int = info["u32Height"]
        self.format = Format(info["emImageFmtMode"]) if info["emImageFmtMode"] in \
            Format._value2member_map_ else info["emImageFmtMode"]
        self.pixel_bytes: int = info["u8PixelBytes"]
        self.pixel_bits: int = info["u8PixelBits"] or 8 * self.pixel_bytes
        #: bytes the board sent for this frame
        self.size: int = info["u32Size"]
        #: the board's time stamp (100 ns units since 1601-01-01 UTC), None for single frames
        self.timestamp: Optional[int] = info.get("u64Time")
        self.bayer = Bayer(bayer)
        self._release = release
        self._array: Optional[np.ndarray] = None
        # The camera file's own copy (Config.parsed) when it has a [colour] section: to_rgb
        # then renders through the ISP.
        self._colour = colour

    def __repr__(self) -> str:
        fmt = self.format.name if isinstance(self.format, Format) else self.format
        return (f"<Frame {self.width}x{self.height} {fmt} {self.size} bytes "
                f"time={self.timestamp}>")

    def _repr_png_(self) -> Optional[bytes]:
        """The frame's picture for notebooks: :meth:`to_rgb`, shrunk to at most 1024 pixels
        on its longest side (see vexo.notebook). None for JPG frames (shown by
        ``_repr_jpeg_``) and frames too short for their format."""
        from .notebook import frame_png

        return frame_png(self)

    def _repr_jpeg_(self) -> Optional[bytes]:
        """A JPG frame's bytes as received, for notebooks; None for other formats."""
        return bytes(self.array) if self.format == Format.JPG else None

    @property
    def released(self) -> bool:
        """True once the frame went back to the camera (or was never lent)."""
        return self._release is None

    def release(self) -> None:
        """Gives the frame's buffer back to the camera now (done for you when the consumer
        moves on). Does nothing for copies and frames already released."""
        with _RELEASE:  # held through the call: a read waiting for it sees the queue after
            release, self._release = self._release, None
            if release is not None:
                release()

    def __enter__(self) -> "Frame":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.release()

    def copy(self) -> "Frame":
        """A frame with a copy of the bytes, kept for as long as you hold it."""
        return Frame(bytes(self.data), self.info, self.bayer, colour=self._colour)

    @property
    def array(self) -> np.ndarray:
        """The frame as a read-only numpy array over the frame's memory (see the class)."""
        if self._array is None:
            self._array = self._make_array()
        return self._array

    def _make_array(self) -> np.ndarray:
        fmt = self.format
        if fmt == Format.JPG or not isinstance(fmt, Format):
            return np.frombuffer(self.data, np.uint8, count=min(self.size, len(self.data)))
        dtype, shape, need = array_layout(fmt, self.width, self.height, self.pixel_bytes)
        if len(self.data) < need:
            raise ValueError(f"frame holds {len(self.data)} bytes; {fmt.name} "
                             f"{self.width}x{self.height} needs {need}")
        return np.frombuffer(self.data, dtype, count=int(np.prod(shape))).reshape(shape)

    def save(self, path: Union[str, "os.PathLike[str]"], number: int = 0) -> None:
        """Writes the frame losslessly to ``path``, as its extension says, through the same
        writers as ``vexo record``:

        - ``.dng`` (or ``.tif``): RAW and RAW_D frames as a DNG raw file (CFA pattern from
          ``bayer``, 8 or 16-bit samples, white level from ``pixel_bits``), which dcraw,
          LibRaw and raw converters open;
        - ``.png``: MON and MON_D frames as 8 or 16-bit grey (16-bit samples shifted to the
          top bits, the significant bits named in the sBIT chunk);
        - ``.raw``: the frame's bytes as received, any format;
        - ``.jpg``: JPG frames as received.

        ``number`` goes into the DNG with the frame's time; when the camera file has a
        ``[colour]`` section, the DNG carries its black level, white balance (AsShotNeutral)
        and colour matrix, as ``vexo record`` writes them, so raw developers render what
        :meth:`to_rgb` shows. Raises ValueError for an unknown
        format, OSError (with the path and the reason) when the frame cannot be written so,
        for instance a short frame as DNG, and RuntimeError when the package was built
        without the writers (libtiff)."""
        if not hasattr(_native, "save_frame"):
            raise RuntimeError("Frame.save needs the frame writers, which this vexo package "
                               "was built without (libtiff)")
        if not isinstance(self.format, Format):
            raise ValueError(f"unknown image format {self.format}")
        size = min(self.size, len(self.data))
        _native.save_frame(os.fspath(path), self.data[:size], self.width, self.height,
                           self.pixel_bytes, self.info.get("u8PixelBits", 0), int(self.format),
                           int(self.bayer), number, self.timestamp or 0, self._colour)

    def to_rgb(self, isp: Any = None) -> np.ndarray:
        """A new (height, width, 3) uint8 picture for viewing.

        When the frame's camera file has a ``[colour]`` section, RAW, RAW_D, MON and MON_D
        frames go through the library's ISP (:mod:`vexo.isp`: black level, white balance,
        demosaic, colour matrix, curve), a new one for this frame, so automatic white balance
        is found in this frame alone; pass a :class:`vexo.Isp` as @isp to keep its state from
        frame to frame (and to render frames of any camera with it).

        Otherwise: RAW debayered (bilinear, in the configured Bayer order), MON as grey,
        RGB565 and YUYV (BT.601) converted. Two-byte samples are scaled from ``pixel_bits`` to
        8 bits. RAW_D and MON_D give both images, one above the other (2 x height rows). The
        picture is the one ``vexo capture --8bit`` writes of the same frame: the tool's
        converter makes both.

        JPG frames are not decoded (no JPEG decoder in the standard library): this raises
        ValueError; ``data`` holds the JPEG file's bytes."""
        fmt = self.format
        if fmt == Format.JPG:
            raise ValueError("JPG frames are not decoded here: frame.data holds the JPEG "
                             "(write it to a .jpg file or hand it to an image library)")
        if not isinstance(fmt, Format):
            raise ValueError(f"unknown image format {fmt}")
        if isp is not None or (self._colour is not None and fmt in _ISP_FORMATS):
            from .isp import frame_picture

            return frame_picture(self, isp, self._colour)
        self.array  # a short frame raises ValueError here, saying what it holds and needs
        w, h, rgb = _native.frame_to_rgb(self.data, int(fmt), self.width, self.height,
                                         self.pixel_bytes, self.pixel_bits, int(self.bayer))
        return np.frombuffer(rgb, np.uint8).reshape(h, w, 3)


_ISP_FORMATS = (Format.RAW, Format.RAW_D, Format.MON, Format.MON_D)


def array_layout(fmt: Format, width: int, height: int,
                 pixel_bytes: int) -> Tuple[Any, Tuple[int, ...], int]:
    """The numpy dtype and shape of a frame of fixed size, and the bytes they span (JPG frames
    have neither). The rows and the byte count are the library's frame layout; only the numpy
    shape is this package's: YUYV as (rows, width, 2) bytes, RGB565 and 2-byte samples as
    16-bit words, samples of another size as each row's bytes."""
    layout = _native.frame_layout(int(fmt), width, height, pixel_bytes, 0)
    if layout is None or not layout["exact"]:
        raise ValueError(f"format {fmt!r} has no fixed frame layout")
    rows, sample = layout["rows"], layout["sample_bytes"]
    if fmt == Format.YUV:
        dtype, shape = np.uint8, (rows, width, 2)
    elif sample in (1, 2):
        dtype, shape = ("<u2" if sample == 2 else np.uint8), (rows, width)
    else:
        dtype, shape = np.uint8, (rows, layout["stride"])
    return dtype, shape, layout["bytes"]
