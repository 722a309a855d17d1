"""Frame bytes to RGB pictures for viewing, with numpy only.

Every function takes the frame's array as ``Frame.array`` shapes it and returns a new
(height, width, 3) uint8 array; the frame's own bytes are never changed.
"""
from __future__ import annotations

import numpy as np

from .enums import Bayer

__all__ = ["to_8bit", "debayer", "grey_to_rgb", "rgb565_to_rgb", "yuyv_to_rgb"]

# Row and column of the red site in the 2x2 cell, for each order (blue is diagonal to it).
_RED_AT = {Bayer.RG: (0, 0), Bayer.GR: (0, 1), Bayer.GB: (1, 0), Bayer.BG: (1, 1)}


def _numbers(a: np.ndarray, what: str) -> np.ndarray:
    """@a as an array of numbers (booleans, integers or floats); TypeError otherwise."""
    a = np.asarray(a)
    if a.dtype.kind not in "biuf":
        raise TypeError(f"{what} must be an array of numbers, not of dtype {a.dtype}")
    return a


def to_8bit(samples: np.ndarray, bits: int) -> np.ndarray:
    """Scales samples of @bits significant bits (the low bits of each value) to 0..255."""
    samples = _numbers(samples, "samples")
    if samples.dtype == np.uint8 and bits >= 8:
        return samples
    bits = max(1, min(int(bits), 16))
    wide = samples.astype(np.uint32) & ((1 << bits) - 1)
    if bits >= 8:
        return (wide >> (bits - 8)).astype(np.uint8)
    return (wide * 255 // ((1 << bits) - 1)).astype(np.uint8)


def _sum3x3(plane: np.ndarray) -> np.ndarray:
    """Weighted 3x3 sum with the bilinear kernel [1 2 1; 2 4 2; 1 2 1] and zero borders."""
    p = np.pad(plane, 1)
    rows = p[:-2] + 2 * p[1:-1] + p[2:]
    return rows[:, :-2] + 2 * rows[:, 1:-1] + rows[:, 2:]


def debayer(mosaic: np.ndarray, bayer: int = Bayer.RG) -> np.ndarray:
    """Bilinear demosaicing of an 8-bit Bayer mosaic (height, width) in the given order.

    Each colour is interpolated from the sites that carry it (normalised convolution), so the
    picture's borders need no special case and sites keep their own measured value."""
    mosaic = _numbers(mosaic, "a Bayer mosaic")
    if mosaic.ndim != 2:
        raise ValueError("a Bayer mosaic is a (height, width) array")
    h, w = mosaic.shape
    ry, rx = _RED_AT[Bayer(bayer)]
    yy = (np.arange(h) & 1)[:, None]
    xx = (np.arange(w) & 1)[None, :]
    red = (yy == ry) & (xx == rx)
    blue = (yy != ry) & (xx != rx)
    green = ~(red | blue)
    values = mosaic.astype(np.float32)
    out = np.empty((h, w, 3), np.uint8)
    for channel, mask in enumerate((red, green, blue)):
        weight = _sum3x3(mask.astype(np.float32))
        total = _sum3x3(np.where(mask, values, 0.0))
        out[..., channel] = np.clip(np.rint(total / np.maximum(weight, 1e-6)), 0, 255)
    return out


def grey_to_rgb(grey: np.ndarray) -> np.ndarray:
    """An 8-bit grey picture as RGB."""
    grey = _numbers(grey, "a grey picture")
    return np.repeat(grey[..., None], 3, axis=2)


def rgb565_to_rgb(words: np.ndarray) -> np.ndarray:
    """RGB565 words (red in bits 15-11) to 8-bit RGB, each channel stretched to 0..255."""
    words = _numbers(words, "RGB565 words")
    v = words.astype(np.uint32)
    r = (v >> 11) & 0x1F
    g = (v >> 5) & 0x3F
    b = v & 0x1F
    out = np.empty(words.shape + (3,), np.uint8)
    out[..., 0] = (r * 255 + 15) // 31
    out[..., 1] = (g * 255 + 31) // 63
    out[..., 2] = (b * 255 + 15) // 31
    return out


def yuyv_to_rgb(yuyv: np.ndarray) -> np.ndarray:
    """YUYV 4:2:2 (height, width, 2) in BT.601 studio range to RGB.

    Pixel pairs share U (second byte of the even pixel) and V (second byte of the odd one);
    a lone last pixel of an odd width has no V and is taken as neutral (128)."""
    yuyv = _numbers(yuyv, "YUYV data")
    if yuyv.ndim != 3 or yuyv.shape[2] != 2:
        raise ValueError("YUYV data is a (height, width, 2) array")
    h, w, _ = yuyv.shape
    y = yuyv[..., 0].astype(np.int32)
    chroma = yuyv[..., 1].astype(np.int32)
    even = np.arange(w) & ~1
    odd = even + 1
    u = chroma[:, even]
    v = np.full((h, w), 128, np.int32)
    has_v = odd < w
    v[:, has_v] = chroma[:, odd[has_v]]
    c, d, e = y - 16, u - 128, v - 128
    out = np.empty((h, w, 3), np.uint8)
    out[..., 0] = np.clip((298 * c + 409 * e + 128) >> 8, 0, 255)
    out[..., 1] = np.clip((298 * c - 100 * d - 208 * e + 128) >> 8, 0, 255)
    out[..., 2] = np.clip((298 * c + 516 * d + 128) >> 8, 0, 255)
    return out
