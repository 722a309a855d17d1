"""Checks of the arguments that callers hand the package."""
from __future__ import annotations

import math
import numbers
from typing import Any

__all__ = ["byte_string", "seconds"]


def seconds(timeout: float) -> float:
    """A time-out in seconds: a real number, not NaN (which no clock reading ever passes)."""
    if not isinstance(timeout, numbers.Real):
        raise TypeError(f"timeout must be a number of seconds, not {type(timeout).__name__}")
    value = float(timeout)
    if math.isnan(value):
        raise ValueError("timeout must be a number of seconds, not NaN")
    return value


def byte_string(data: Any, what: str = "data") -> bytes:
    """The bytes of a bytes-like object or of a sequence of byte values. An int is refused:
    bytes(n) would make n zero bytes."""
    if isinstance(data, (int, str)):
        raise TypeError(f"{what} must be bytes or a sequence of byte values, not "
                        f"{type(data).__name__}")
    return bytes(data)
