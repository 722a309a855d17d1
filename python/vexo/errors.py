"""Status codes of the camera library as Python exceptions.

The names and hints are those of include/vexo/status.h, read from it through the package's
compiled part, vexo._native.
"""
from __future__ import annotations

from typing import Dict, Optional, Tuple

from . import _native

__all__ = ["CameraError", "STATUS", "status_name", "status_hint", "check"]

#: code -> (constant name, hint)
STATUS: Dict[int, Tuple[str, str]] = {
    code: (name, hint) for code, name, hint in _native.status_table()
}

#: Values from 0xFF01 up are status codes; smaller results of some calls are counts.
FIRST_FAILURE = 0xFF01


def status_name(code: int) -> Optional[str]:
    """The constant's name for a status code ("USB_CAMERA_DATA_LEN_ERROR"), or None."""
    entry = STATUS.get(code)
    return entry[0] if entry else None


def status_hint(code: int) -> Optional[str]:
    """One line of advice for a status code, or None for a value that is not one."""
    entry = STATUS.get(code)
    return entry[1] if entry else None


class CameraError(Exception):
    """A camera operation reported a status code other than success.

    Attributes: ``code`` (the int), ``name`` (the constant's name, or ``"0x...."`` for a value
    the library does not define), ``hint`` (advice, possibly empty) and ``operation`` (what
    was being done, possibly empty).
    """

    code: int
    name: str
    hint: str
    operation: str

    def __init__(self, code: int, operation: str = "") -> None:
        self.code = int(code)
        self.name = status_name(self.code) or f"0x{self.code:04X}"
        self.hint = status_hint(self.code) or ""
        self.operation = operation
        text = f"{self.name} (0x{self.code:04X})"
        if operation:
            text = f"{operation}: {text}"
        if self.hint:
            text += f": {self.hint}"
        super().__init__(text)

    def __reduce__(self):  # keeps the exception picklable with its code
        return (type(self), (self.code, self.operation))


def check(code: int, operation: str = "") -> int:
    """Returns @code when it is not a failure (0 or a count below 0xFF01); raises
    CameraError otherwise."""
    if code >= FIRST_FAILURE:
        raise CameraError(code, operation)
    return code
