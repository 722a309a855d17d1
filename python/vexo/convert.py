"""Frame bytes to RGB pictures for viewing, by the vexo tool's own frame converter.

Every function takes the frame's array as ``Frame.array`` shapes it and returns a new
(height, width, 3) uint8 array; the frame's own bytes are never changed. The pixels are
computed by the C++ converter (through the package's compiled part, vexo._native), so a
picture is the one the tool makes of the same bytes.
"""
from __future__ import annotations

import numpy as np

from . import _native
from .enums import Bayer

__all__ = ["to_8bit", "debayer", "grey_to_rgb", "rgb565_to_rgb", "yuyv_to_rgb"]


def _numbers(a: np.ndarray, what: str) -> np.ndarray:
    """@a as an array of numbers (booleans, integers or floats); TypeError otherwise."""
    a = np.asarray(a)
    if a.dtype.kind not in "biuf":
        raise TypeError(f"{what} must be an array of numbers, not of dtype {a.dtype}")
    return a


def _samples(a: np.ndarray, dtype: str) -> np.ndarray:
    """@a as contiguous samples of @dtype ("u1" or "<u2"): other numbers are rounded and
    clipped to the type's range."""
    target = np.dtype(dtype)
    if a.dtype != target:
        top = np.iinfo(target).max
        a = np.clip(np.rint(a.astype(np.float64)), 0, top).astype(target)
    return np.ascontiguousarray(a)


def _picture(shape: tuple) -> np.ndarray:
    return np.empty(shape + (3,), np.uint8)


def to_8bit(samples: np.ndarray, bits: int) -> np.ndarray:
    """Scales samples of @bits significant bits (the low bits of each value) to 0..255,
    rounded; values above the bits' maximum are full scale."""
    samples = _numbers(samples, "samples")
    if samples.dtype == np.uint8 and bits >= 8:
        return samples
    bits = max(1, min(int(bits), 16))
    words = _samples(samples, "u1" if samples.dtype == np.uint8 else "<u2")
    out = np.empty(samples.shape, np.uint8)
    _native.scale(words, words.itemsize, bits, out)
    return out


def debayer(mosaic: np.ndarray, bayer: int = Bayer.RG) -> np.ndarray:
    """Bilinear demosaicing of an 8-bit Bayer mosaic (height, width) in the given order.

    Each missing colour is the rounded mean of the same-colour samples in the 3x3
    neighbourhood (clamped at the picture's borders); sites keep their own measured value."""
    mosaic = _numbers(mosaic, "a Bayer mosaic")
    if mosaic.ndim != 2:
        raise ValueError("a Bayer mosaic is a (height, width) array")
    order = Bayer(bayer)
    h, w = mosaic.shape
    out = _picture(mosaic.shape)
    _native.debayer(_samples(mosaic, "u1"), w, h, int(order), out)
    return out


def grey_to_rgb(grey: np.ndarray) -> np.ndarray:
    """An 8-bit grey picture as RGB."""
    grey = _numbers(grey, "a grey picture")
    return np.repeat(grey[..., None], 3, axis=2)


def rgb565_to_rgb(words: np.ndarray) -> np.ndarray:
    """RGB565 words (red in bits 15-11) to 8-bit RGB, each channel's top bits repeated below
    it so that full scale is 255."""
    words = _numbers(words, "RGB565 words")
    out = _picture(words.shape)
    _native.rgb565(_samples(words, "<u2"), out)
    return out


def yuyv_to_rgb(yuyv: np.ndarray) -> np.ndarray:
    """YUYV 4:2:2 (height, width, 2) in BT.601 studio range to RGB.

    Pixel pairs share U (second byte of the even pixel) and V (second byte of the odd one);
    a lone last pixel of an odd width has no V and is taken as neutral (128)."""
    yuyv = _numbers(yuyv, "YUYV data")
    if yuyv.ndim != 3 or yuyv.shape[2] != 2:
        raise ValueError("YUYV data is a (height, width, 2) array")
    h, w, _ = yuyv.shape
    out = _picture((h, w))
    _native.yuyv(_samples(yuyv, "u1"), w, h, out)
    return out
