"""Boards that come and go: notices of arrivals and removals, and the gaps of reconnects.

    for event in vexo.watch():              # without end; timeout=... to stop
        print(event.kind, event.serial, event.index)

Arrivals and removals are seen by comparing each scan with the one before, board by board by
serial text, so every kind of board is seen (real ones and virtual ones). A notice comes at
most one scan interval after the change. See docs/hotplug.md.
"""
from __future__ import annotations

import asyncio
import collections
import dataclasses
import time
from typing import AsyncIterator, Dict, Iterator, List, Optional, Sequence

from .arguments import seconds as _seconds
from .boards import BoardInfo, scan

__all__ = ["BoardEvent", "BoardMonitor", "Gap", "awatch", "board_changes", "wait_for_board",
           "watch"]

ARRIVED = "arrived"
LEFT = "left"


@dataclasses.dataclass(frozen=True)
class BoardEvent:
    """A board that arrived or left: ``kind`` is ``"arrived"`` or ``"left"``. For a removal
    the index is the one the last scan listing the board gave it."""

    kind: str
    index: int
    serial: str


@dataclasses.dataclass(frozen=True)
class Gap:
    """Frames lost while a camera's board was away and the camera reconnected.

    ``frames`` is what the sensor would have sent meanwhile at the rate measured before the
    loss (the gap over the mean frame interval, less one, rounded; 0 when fewer than two
    frames came before), on the board's time stamps when the frames carry them, else on the
    host's clock; ``duration`` the seconds from the last frame before the loss to the first one
    after it. The times are :func:`time.monotonic` readings; ``last_frame_time`` and
    ``first_frame_time`` the two frames' board time stamps."""

    serial: str
    index_before: int
    index_after: int
    frames: int
    duration: float
    last_frame: float
    board_back: float
    first_frame: float
    last_frame_time: int
    first_frame_time: int


def board_changes(before: Sequence[BoardInfo], after: Sequence[BoardInfo]) -> List[BoardEvent]:
    """What changed between two scans: removals first, then arrivals, each in device order.
    Boards are told apart by serial text; of boards sharing one, as many arrived or left as
    their count changed by (the last ones listed). A board that only moved is no event."""
    was: Dict[str, List[BoardInfo]] = collections.defaultdict(list)
    now: Dict[str, List[BoardInfo]] = collections.defaultdict(list)
    for b in before:
        was[b.serial].append(b)
    for b in after:
        now[b.serial].append(b)
    left = [b for s, bs in was.items() for b in bs[len(now.get(s, ())):]]
    arrived = [b for s, bs in now.items() for b in bs[len(was.get(s, ())):]]
    return ([BoardEvent(LEFT, b.index, b.serial) for b in sorted(left, key=lambda b: b.index)] +
            [BoardEvent(ARRIVED, b.index, b.serial)
             for b in sorted(arrived, key=lambda b: b.index)])


class BoardMonitor:
    """Scans on request and reports what changed since the previous scan. With
    ``report_present`` the first :meth:`poll` reports the boards attached then as arrivals."""

    def __init__(self, report_present: bool = True) -> None:
        self.boards: List[BoardInfo] = [] if report_present else scan()

    def poll(self) -> List[BoardEvent]:
        now = scan()
        events = board_changes(self.boards, now)
        self.boards = now
        return events


def watch(interval: float = 0.25, timeout: Optional[float] = None,
          report_present: bool = True) -> Iterator[BoardEvent]:
    """Yields a :class:`BoardEvent` for every board that arrives or leaves, scanning every
    @interval seconds; ends after @timeout seconds (None: never). Boards attached at the
    start come first as arrivals unless @report_present is false."""
    interval = _seconds(interval)
    end = None if timeout is None else time.monotonic() + _seconds(timeout)
    monitor = BoardMonitor(report_present)
    while True:
        yield from monitor.poll()
        if end is not None and time.monotonic() >= end:
            return
        pause = interval if end is None else min(interval, max(0.0, end - time.monotonic()))
        time.sleep(pause)


async def awatch(interval: float = 0.25, timeout: Optional[float] = None,
                 report_present: bool = True) -> AsyncIterator[BoardEvent]:
    """``async for event in vexo.awatch()``: :func:`watch` for an event loop. The scans run
    on the loop's default executor (a scan of real boards reads their descriptors), and the
    loop sleeps between them."""
    interval = _seconds(interval)
    end = None if timeout is None else time.monotonic() + _seconds(timeout)
    loop = asyncio.get_running_loop()
    monitor = await loop.run_in_executor(None, BoardMonitor, report_present)
    while True:
        for event in await loop.run_in_executor(None, monitor.poll):
            yield event
        if end is not None and time.monotonic() >= end:
            return
        await asyncio.sleep(interval if end is None
                            else min(interval, max(0.0, end - time.monotonic())))


def wait_for_board(serial: str, timeout: float, interval: float = 0.02) -> Optional[BoardInfo]:
    """Scans every @interval seconds until a board with serial text @serial is listed, for at
    most @timeout seconds; returns it, or None."""
    end = time.monotonic() + _seconds(timeout)
    while True:
        for board in scan():
            if board.serial == serial:
                return board
        left = end - time.monotonic()
        if left <= 0:
            return None
        time.sleep(min(_seconds(interval), left))
