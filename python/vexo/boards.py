"""Boards on the bus: what a scan lists."""
from __future__ import annotations

import dataclasses
from typing import Any, List

import VexoSDK as _sdk

from .errors import FIRST_FAILURE, CameraError

__all__ = ["BoardInfo", "Boards", "scan"]


@dataclasses.dataclass(frozen=True)
class BoardInfo:
    """A board found by :func:`scan`: its device index and serial text."""

    index: int
    serial: str


class Boards(List[BoardInfo]):
    """The list :func:`scan` returns: a plain list of :class:`BoardInfo` that a notebook
    shows as a table."""

    def _repr_html_(self) -> str:
        from .notebook import board_table_html

        return board_table_html(self)


def serial_text(raw: Any) -> str:
    """The serial text of a board's 16 serial bytes: up to the first zero byte."""
    return bytes(raw).split(b"\0", 1)[0].decode("ascii", "replace")


def scan() -> Boards:
    """The boards attached (real ones first, then virtual ones), with their serial texts."""
    count, indexes, serials = _sdk.Py_Vexo_scan()
    if count >= FIRST_FAILURE:
        raise CameraError(count, "scan")
    return Boards(BoardInfo(i, serial_text(s)) for i, s in zip(indexes, serials))
