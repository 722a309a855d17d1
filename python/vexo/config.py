"""Camera configuration files (docs/camera-config.md), read by the vexo tool's own loader.

The parsing is done by the C++ loader (through the package's compiled part, vexo._native), so a
file gets the same values and a mistake the same one-line message ("file:line: what is wrong")
as in the tool.
"""
from __future__ import annotations

import dataclasses
import os
from typing import Any, Dict, List, Optional, Union

from . import _native
from .controls import ControlInfo
from .enums import Bayer, Format, I2cMode

__all__ = ["Config", "ConfigError", "RegisterStep", "BoardCommand", "load_config",
           "parse_config", "default_config", "DEFAULT_TEXT"]

#: the text of the default virtual board's configuration file
DEFAULT_TEXT: str = _native.default_text()


class ConfigError(ValueError):
    """A configuration file that cannot be used. ``str(error)`` is the one-line message
    "source:line: message" ("source: message" when no line is to blame); the parts are in
    ``source``, ``line`` (None or the 1-based line) and ``message``."""

    def __init__(self, source: str, line: Optional[int], message: str) -> None:
        self.source, self.line, self.message = source, line, message
        where = f"{source}:{line}" if line is not None else source
        super().__init__(f"{where}: {message}")


@dataclasses.dataclass
class RegisterStep:
    """One line of [registers]: a sensor register write, or a pause of ``value`` ms."""

    address: int
    value: int
    delay: bool = False
    line: int = 0


@dataclasses.dataclass
class BoardCommand:
    """One line of [board]: a host-to-device vendor request with its data bytes."""

    request: int
    value: int
    index: int
    data: bytes = b""
    line: int = 0


@dataclasses.dataclass
class Config:
    """A camera configuration: the values of the library's configuration record, the Bayer
    order, the sensor's start-up registers, the board commands and the named controls."""

    width: int = 640
    height: int = 480
    format: Format = Format.RAW
    i2c_address: int = 0x20
    i2c_mode: I2cMode = I2cMode.M16_8
    pixel_bytes: int = 1
    pixel_bits: int = 0  #: 0: 8 x pixel_bytes
    bayer: Bayer = Bayer.RG
    transfer_level: int = 0
    camera_type: int = 0
    sensor_vid: int = 0
    name: str = ""
    registers: List[RegisterStep] = dataclasses.field(default_factory=list)
    board_commands: List[BoardCommand] = dataclasses.field(default_factory=list)
    source: str = ""
    #: the [controls] section: what ``Camera.controls`` offers
    controls: List[ControlInfo] = dataclasses.field(default_factory=list)
    #: the [colour] section as the ISP reads it (black_level, auto_white_balance,
    #: white_balance, ccm, gamma, demosaic, auto_exposure); None without one
    colour: Optional[Dict[str, Any]] = None
    #: the loader's own copy of the file, from which the library's named controls work (None
    #: for a Config made in code, which has no controls on a camera)
    parsed: Any = dataclasses.field(default=None, repr=False, compare=False)

    def to_dict(self) -> Dict[str, int]:
        """The twelve-key configuration dict that VexoSDK's open functions take."""
        return {
            "u32CameraType": self.camera_type,
            "u32Width": self.width,
            "u32Height": self.height,
            "usbType": 0,
            "u8PixelBytes": self.pixel_bytes,
            "u16Vid": self.sensor_vid,
            "u32Size": 0,
            "u32I2cAddr": self.i2c_address,
            "u8PixelBits": self.pixel_bits or 8 * self.pixel_bytes,
            "emI2cMode": int(self.i2c_mode),
            "emImageFmtMode": int(self.format),
            "u32TransLvl": self.transfer_level,
        }


def _encoded(text: str) -> bytes:
    """@text as the bytes the loader reads; lone surrogates (bytes that were not UTF-8, or
    anything else) are kept."""
    try:
        return text.encode("utf-8", "surrogateescape")
    except UnicodeEncodeError:
        return text.encode("utf-8", "surrogatepass")


def _word(text: str, what: str) -> bytes:
    if not isinstance(text, str):
        raise TypeError(f"{what} must be str, not {type(text).__name__}")
    return _encoded(text)


def parse_number(text: str, maximum: int) -> Optional[int]:
    """Decimal or 0x hexadecimal, no sign, at most @maximum; None otherwise."""
    word = _word(text, "a number's text")
    if maximum < 0:
        return None
    return _native.parse_number(word, min(int(maximum), 2**64 - 1))


def parse_format(text: str) -> Optional[Format]:
    """"RAW" or "FORMAT_MODE_RAW" (any case) to a Format; None when unknown."""
    value = _native.parse_format(_word(text, "a format name"))
    return None if value is None else Format(value)


def parse_i2c_mode(text: str) -> Optional[I2cMode]:
    """"16_8" or "I2C_MODE_16_8" (any case) to an I2cMode; None when unknown."""
    value = _native.parse_i2c_mode(_word(text, "an I2C mode name"))
    return None if value is None else I2cMode(value)


def parse_bayer(text: str) -> Optional[Bayer]:
    """"RG", "RAW_RG" or "RGGB" (any case, and so on) to a Bayer order; None when unknown."""
    value = _native.parse_bayer(_word(text, "a Bayer order name"))
    return None if value is None else Bayer(value)


def _config(outcome: Any, source: Any) -> Config:
    """The Config of what the loader returned for @source, or its mistake raised."""
    if isinstance(outcome, tuple):
        line, message = outcome
        raise ConfigError(source, line or None, message)
    fields = dict(outcome)
    fields["format"] = Format(fields["format"])
    fields["i2c_mode"] = I2cMode(fields["i2c_mode"])
    fields["bayer"] = Bayer(fields["bayer"])
    fields["registers"] = [RegisterStep(*step) for step in fields["registers"]]
    fields["board_commands"] = [BoardCommand(*cmd) for cmd in fields["board_commands"]]
    fields["controls"] = [ControlInfo._from_native(c) for c in fields["controls"]]
    return Config(source=source, **fields)


def parse_config(text: Union[str, bytes], source: str = "<string>") -> Config:
    """Parses the text of a configuration file; @source names it in messages.
    Raises ConfigError."""
    if isinstance(text, str):
        data = _encoded(text)
    elif isinstance(text, (bytes, bytearray, memoryview)):
        data = bytes(text)
    else:
        raise TypeError(f"configuration text must be str or bytes, not {type(text).__name__}")
    return _config(_native.parse(data), source)


def load_config(path: Union[str, "os.PathLike[str]"]) -> Config:
    """Reads and parses a configuration file. Raises ConfigError, also for a file that cannot
    be read ("path: reason")."""
    name = os.fspath(path)
    return _config(_native.load(name), name)


def default_config() -> Config:
    """The configuration of the default virtual board (640x480 RAW8 RGGB, sensor at 0x20 in
    16_8 mode), the one the vexo tool uses without -c."""
    return _config(_native.default(), "<built-in default>")
