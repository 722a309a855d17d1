"""Enumerations of the camera library with the values of vexo/camera.h."""
from __future__ import annotations

import enum

from . import _native

__all__ = ["Format", "I2cMode", "Bayer", "TriggerMode"]


class _Named(enum.IntEnum):
    """An enumeration whose values print as their names (``RAW``), compare as numbers."""

    def __str__(self) -> str:
        return self.name


class Format(_Named):
    """Image format of a configuration (``emImageFmtMode``)."""

    RAW = 0    #: Bayer mosaic, W x H x pixel bytes
    RGB = 1    #: RGB565 little-endian, W x H x 2
    YUV = 2    #: YUYV 4:2:2, W x H x 2
    JPG = 3    #: one JPEG per frame, variable length
    MON = 4    #: grey, W x H x pixel bytes
    RAW_D = 5  #: RAW image then its inverted copy
    MON_D = 6  #: MON image then its inverted copy


class I2cMode(_Named):
    """Register-address and value widths of the sensor's I2C transfers (``emI2cMode``)."""

    M8_8 = 0
    M8_16 = 1
    M16_8 = 2
    M16_16 = 3
    M16_32 = 4

    @property
    def address_bits(self) -> int:
        return _I2C_WIDTHS[self][0]

    @property
    def value_bits(self) -> int:
        return _I2C_WIDTHS[self][1]

    @property
    def label(self) -> str:
        """The name configuration files use: "16_8"."""
        return self.name[1:]


#: mode -> (address bits, value bits), as the library's configuration loader has them
_I2C_WIDTHS = {mode: (address, value) for mode, address, value in _native.i2c_widths()}


class Bayer(_Named):
    """Colour order of the first two pixels of the first line of a RAW mosaic."""

    RG = 0
    GR = 1
    GB = 2
    BG = 3


class TriggerMode(_Named):
    """Capture modes of boards that support triggers."""

    EXTERNAL = 1
    CONTINUOUS = 2
