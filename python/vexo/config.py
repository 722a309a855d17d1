"""Camera configuration files (docs/camera-config.md), read the way the vexo tool reads them.

The rules, limits and messages follow the C++ loader in tools/config/, so a file that one
accepts the other accepts with the same values, and a mistake gets the same one-line message
("file:line: what is wrong").
"""
from __future__ import annotations

import dataclasses
import os
from typing import Dict, List, Optional, Tuple, Union

from .enums import Bayer, Format, I2cMode

__all__ = ["Config", "ConfigError", "RegisterStep", "BoardCommand", "load_config",
           "parse_config", "default_config", "DEFAULT_TEXT"]

_SPACE = " \t\n\v\f\r"  # the C locale's white space, as the C++ loader trims

_FORMATS = {f.name: f for f in Format}
_I2C_MODES = {m.label: m for m in I2cMode}
_BAYERS = {"RG": Bayer.RG, "RGGB": Bayer.RG, "GR": Bayer.GR, "GRBG": Bayer.GR,
           "GB": Bayer.GB, "GBRG": Bayer.GB, "BG": Bayer.BG, "BGGR": Bayer.BG}

# Keys of [camera] in the loader's order; True for the required ones.
_CAMERA_KEYS: Tuple[Tuple[str, bool], ...] = (
    ("name", False), ("width", True), ("height", True), ("format", True),
    ("pixel_bytes", False), ("pixel_bits", False), ("bayer", False), ("i2c_address", True),
    ("i2c_mode", True), ("transfer_level", False), ("camera_type", False),
    ("sensor_vid", False))

DEFAULT_TEXT = """# The default virtual board: 640x480 RAW8 in RGGB order.
[camera]
name = virtual-default
width = 640
height = 480
pixel_bytes = 1
pixel_bits = 8
format = RAW
bayer = RG
i2c_address = 0x20
i2c_mode = 16_8
transfer_level = 0

[registers]
0x0100 0x00
0x3012 0x40
0x3013 0x02
0x0100 0x01
"""


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
    order, the sensor's start-up registers and the board commands."""

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


def _upper(text: str) -> str:
    # ASCII only, like toupper() in the C locale
    return "".join(chr(ord(c) - 32) if "a" <= c <= "z" else c for c in text)


def parse_number(text: str, maximum: int) -> Optional[int]:
    """Decimal or 0x hexadecimal, no sign, at most @maximum; None otherwise."""
    if not text:
        return None
    digits, base = text, 10
    if len(text) > 2 and text[0] == "0" and text[1] in "xX":
        digits, base = text[2:], 16
    allowed = "0123456789abcdefABCDEF" if base == 16 else "0123456789"
    if any(c not in allowed for c in digits):
        return None
    value = int(digits, base)
    return value if value <= maximum else None


def parse_format(text: str) -> Optional[Format]:
    """"RAW" or "FORMAT_MODE_RAW" (any case) to a Format; None when unknown."""
    s = _upper(text)
    if s.startswith("FORMAT_MODE_"):
        s = s[12:]
    return _FORMATS.get(s)


def parse_i2c_mode(text: str) -> Optional[I2cMode]:
    """"16_8" or "I2C_MODE_16_8" (any case) to an I2cMode; None when unknown."""
    s = _upper(text)
    if s.startswith("I2C_MODE_"):
        s = s[9:]
    return _I2C_MODES.get(s)


def parse_bayer(text: str) -> Optional[Bayer]:
    """"RG", "RAW_RG" or "RGGB" (any case, and so on) to a Bayer order; None when unknown."""
    s = _upper(text)
    if s.startswith("RAW_"):
        s = s[4:]
    return _BAYERS.get(s)


class _Parser:
    def __init__(self, source: str) -> None:
        self.source = source
        self.line = 0
        self.out = Config(source=source, width=0, height=0, i2c_address=0,
                          format=Format.RAW, i2c_mode=I2cMode.M8_8)
        self.seen: Dict[str, int] = {}
        self.sections: Dict[str, int] = {}
        self.section = ""

    def fail(self, message: str, line: Optional[int] = None) -> ConfigError:
        return ConfigError(self.source, self.line if line is None else line, message)

    def number(self, word: str, maximum: int, what: str) -> int:
        value = parse_number(word, maximum)
        if value is None:
            raise self.fail(f"{what} '{word}' is not a number from 0 to {maximum} "
                            "(decimal or 0x hex)")
        return value

    def run(self, text: str) -> Config:
        for self.line, raw in enumerate(text.split("\n"), start=1):
            line = raw.split("#", 1)[0].strip(_SPACE)
            if not line:
                continue
            if line[0] == "[":
                self.header(line)
            elif not self.section:
                raise self.fail("text before the first section; start the file with [camera]")
            else:
                getattr(self, self.section)(line)
        return self.finish()

    def header(self, line: str) -> None:
        if line[-1] != "]":
            raise self.fail(f"section header '{line}' lacks its ']'")
        name = _upper(line[1:-1].strip(_SPACE))
        if name not in ("CAMERA", "REGISTERS", "BOARD"):
            raise self.fail(f"unknown section '{line}' (known: [camera], [registers], [board])")
        if name in self.sections:
            raise self.fail(f"section {line} appears twice")
        self.sections[name] = self.line
        self.section = name.lower()

    def camera(self, line: str) -> None:
        key, eq, value = line.partition("=")
        if not eq:
            raise self.fail(f"expected 'key = value' in [camera], got '{line}'")
        key, value = key.strip(_SPACE), value.strip(_SPACE)
        if key not in dict(_CAMERA_KEYS):
            raise self.fail(f"unknown key '{key}' in [camera]")
        if key in self.seen:
            raise self.fail(f"key '{key}' already set on line {self.seen[key]}")
        self.seen[key] = self.line
        if not value:
            raise self.fail(f"key '{key}' has no value")
        out = self.out
        if key == "name":
            out.name = value
        elif key in ("width", "height"):
            n = self.number(value, 16384, key)
            if n == 0:
                raise self.fail(f"{key} must be 1..16384")
            setattr(out, key, n)
        elif key == "pixel_bytes":
            n = self.number(value, 2, key)
            if n == 0:
                raise self.fail("pixel_bytes must be 1 or 2")
            out.pixel_bytes = n
        elif key == "pixel_bits":
            n = self.number(value, 16, key)
            if n == 0:
                raise self.fail("pixel_bits must be 1..16")
            out.pixel_bits = n
        elif key == "format":
            fmt = parse_format(value)
            if fmt is None:
                raise self.fail(f"unknown format '{value}' (RAW, MON, RGB, YUV, JPG, RAW_D, "
                                "MON_D)")
            out.format = fmt
        elif key == "bayer":
            bayer = parse_bayer(value)
            if bayer is None:
                raise self.fail(f"unknown bayer order '{value}' (RG, GR, GB, BG)")
            out.bayer = bayer
        elif key == "i2c_address":
            out.i2c_address = self.number(value, 0xFF, key)
        elif key == "i2c_mode":
            mode = parse_i2c_mode(value)
            if mode is None:
                raise self.fail(f"unknown i2c_mode '{value}' (8_8, 8_16, 16_8, 16_16, 16_32)")
            out.i2c_mode = mode
        elif key == "transfer_level":
            out.transfer_level = self.number(value, 0xFFFFFFFF, key)
        elif key == "camera_type":
            out.camera_type = self.number(value, 0xFFFFFFFF, key)
        elif key == "sensor_vid":
            out.sensor_vid = self.number(value, 0xFFFF, key)

    def registers(self, line: str) -> None:
        words = line.split()
        if _upper(words[0]) == "DELAY":
            if len(words) != 2:
                raise self.fail("expected 'delay MILLISECONDS'")
            ms = self.number(words[1], 60000, "delay")
            self.out.registers.append(RegisterStep(0, ms, delay=True, line=self.line))
            return
        if len(words) != 2:
            raise self.fail(f"expected 'ADDRESS VALUE' in [registers], got '{line}'")
        # widths are checked at the end, once i2c_mode is known wherever it stands
        address = self.number(words[0], 0xFFFF, "register address")
        value = self.number(words[1], 0xFFFFFFFF, "register value")
        self.out.registers.append(RegisterStep(address, value, line=self.line))

    def board(self, line: str) -> None:
        words = line.split()
        if len(words) < 3:
            raise self.fail("expected 'REQUEST VALUE INDEX [DATA BYTES...]' in [board]")
        request = self.number(words[0], 0xFF, "request")
        value = self.number(words[1], 0xFFFF, "value")
        index = self.number(words[2], 0xFFFF, "index")
        data = bytes(self.number(w, 0xFF, "data byte") for w in words[3:])
        if len(data) > 4096:
            raise self.fail("a board command carries at most 4096 data bytes")
        self.out.board_commands.append(BoardCommand(request, value, index, data, self.line))

    def finish(self) -> Config:
        out = self.out
        if "CAMERA" not in self.sections:
            raise ConfigError(self.source, None, "no [camera] section")
        for key, required in _CAMERA_KEYS:
            if required and key not in self.seen:
                raise self.fail(f"[camera] lacks the key '{key}'", self.sections["CAMERA"])
        max_bits = 8 * out.pixel_bytes
        if "pixel_bits" not in self.seen:
            out.pixel_bits = max_bits
        elif out.pixel_bits > max_bits:
            raise self.fail(f"pixel_bits {out.pixel_bits} exceeds the {max_bits} bits of "
                            f"{out.pixel_bytes} pixel byte(s)", self.seen["pixel_bits"])
        mode = out.i2c_mode
        for step in out.registers:
            if step.delay:
                continue
            if step.address >> mode.address_bits:
                raise self.fail(f"register address exceeds the {mode.address_bits} bits of "
                                f"i2c_mode {mode.label}", step.line)
            if mode.value_bits < 32 and step.value >> mode.value_bits:
                raise self.fail(f"register value exceeds the {mode.value_bits} bits of "
                                f"i2c_mode {mode.label}", step.line)
        return out


def parse_config(text: Union[str, bytes], source: str = "<string>") -> Config:
    """Parses the text of a configuration file; @source names it in messages.
    Raises ConfigError."""
    if isinstance(text, (bytes, bytearray, memoryview)):
        text = bytes(text).decode("utf-8", "surrogateescape")
    elif not isinstance(text, str):
        raise TypeError(f"configuration text must be str or bytes, not {type(text).__name__}")
    return _Parser(source).run(text)


def load_config(path: Union[str, "os.PathLike[str]"]) -> Config:
    """Reads and parses a configuration file. Raises ConfigError, also for a file that cannot
    be read ("path: reason")."""
    name = os.fspath(path)
    try:
        with open(name, "rb") as f:
            data = f.read()
    except OSError as e:
        raise ConfigError(name, None, e.strerror or str(e)) from e
    return parse_config(data, name)


def default_config() -> Config:
    """The configuration of the default virtual board (640x480 RAW8 RGGB, sensor at 0x20 in
    16_8 mode), the one the vexo tool uses without -c."""
    return parse_config(DEFAULT_TEXT, "<built-in default>")
