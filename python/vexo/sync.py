"""Several boards as one rig: the library's sync group (docs/sync.md) from Python.

    import vexo
    with vexo.SyncGroup(["LEFT", "RIGHT"], trigger="soft", rate=30, sets=100) as group:
        for s in group:                       # blocking; or: async for s in group.asets()
            left, right = s.frame(0), s.frame(1)
            if s.complete:
                print(s.index, s.skew_us, left.array.mean(), right.array.mean())
        print(group.stats())

The boards are opened by serial (``serials=None``: every board listed) and started together;
``trigger`` is ``"soft"`` (the group triggers every board ``rate`` times a second, ``sets``
times), ``"external"`` (one shared trigger line) or ``"free"`` (free-running, matched by time).
A set lacking a board's frame is delivered with ``complete`` False, never filled with a frame
of another instant. Each frame's bytes are copied out of the group, so a set holds none of the
group's memory.
"""
import asyncio
import dataclasses
from typing import Any, AsyncIterator, Dict, Iterator, List, Optional, Sequence, Union

import numpy as np

from . import _native
from .config import Config, default_config
from .errors import CameraError
from .frames import array_layout

__all__ = ["SyncGroup", "SyncSet", "SyncFrame"]


@dataclasses.dataclass
class SyncFrame:
    """One board's frame of a set."""

    board: int  #: position in SyncGroup.serials
    serial: str
    time: int  #: board time stamp, 100 ns units since 1601
    aligned_time: int  #: host-aligned time, 100 ns units since 1601
    arrival_time: int  #: host time the group received it
    number: int  #: frames the board delivered to the group before it
    data: bytes
    config: Config = dataclasses.field(repr=False, default_factory=default_config)

    @property
    def array(self) -> np.ndarray:
        """The frame as a numpy array (rows x width), as vexo.Frame.array shapes it."""
        c = self.config
        dtype, shape, size = array_layout(c.format, c.width, c.height, c.pixel_bytes)
        if len(self.data) < size:
            raise ValueError(f"frame holds {len(self.data)} bytes, needs {size}")
        return np.frombuffer(self.data, dtype, count=int(np.prod(shape))).reshape(shape)


@dataclasses.dataclass
class SyncSet:
    """One instant of the rig: ``frames`` holds one entry per board present in it."""

    index: int
    trigger: int
    complete: bool
    skew_us: int  #: largest difference between its frames' host-aligned times
    frames: List[SyncFrame]

    def frame(self, board: int) -> Optional[SyncFrame]:
        """Board ``board``'s frame (its position in SyncGroup.serials), or None."""
        for f in self.frames:
            if f.board == board:
                return f
        return None


def _raise(error: RuntimeError) -> None:
    if len(error.args) == 1 and isinstance(error.args[0], tuple) and len(error.args[0]) == 2:
        code, message = error.args[0]
        raise CameraError(code, message) from None
    raise error


class SyncGroup:
    """A sync group of boards; see the module's text. The boards are opened here, streamed
    from start() (called by iteration, ``with`` or asets() when not yet called), and closed by
    close() (or leaving ``with``)."""

    def __init__(self, serials: Optional[Sequence[str]] = None, *, trigger: str = "soft",
                 rate: float = 30.0, sets: int = 0, tolerance_us: int = 0,
                 config: Union[Config, str, None] = None, slots: int = 8,
                 reconnect: bool = True, timeout: float = 3.0) -> None:
        self.timeout = timeout
        path = config if isinstance(config, str) else None
        self._config = config if isinstance(config, Config) else default_config()
        c = self._config
        shape = (c.width, c.height, c.pixel_bytes, c.pixel_bits, int(c.format), c.i2c_address,
                 int(c.i2c_mode))
        if path is not None:
            from .config import load_config
            self._config = load_config(path)
        try:
            self._group: Any = _native.sync_open(
                None if serials is None else list(serials), trigger, float(rate), int(sets),
                int(tolerance_us), int(slots), bool(reconnect), path, shape)
        except RuntimeError as e:
            _raise(e)
        self.serials: List[str] = _native.sync_serials(self._group)
        self._started = False

    def start(self) -> None:
        """Starts every board's stream together, then the triggers. Once."""
        if self._started:
            return
        self._started = True
        try:
            _native.sync_start(self._group)
        except RuntimeError as e:
            _raise(e)

    def next(self, timeout: Optional[float] = None) -> Optional[SyncSet]:
        """The next set, waiting up to ``timeout`` seconds (default: the group's); None on
        time-out or at the end (see done())."""
        self.start()
        wait = self.timeout if timeout is None else timeout
        raw = _native.sync_next(self._group, int(max(0.0, wait) * 1000))
        return None if raw is None else self._set(raw)

    def _set(self, raw: Dict[str, Any]) -> SyncSet:
        frames = [SyncFrame(config=self._config, **f) for f in raw.pop("frames")]
        return SyncSet(frames=frames, **raw)

    def done(self) -> bool:
        """True once every set there will be has been handed out."""
        return bool(_native.sync_done(self._group))

    def __iter__(self) -> Iterator[SyncSet]:
        """Blocking: sets until done(); raises CameraError when none comes within the
        timeout."""
        while True:
            s = self.next()
            if s is not None:
                yield s
            elif self.done():
                return
            else:
                raise CameraError(0xFF26, "no set within the time-out")

    async def asets(self, poll: float = 0.05) -> AsyncIterator[SyncSet]:
        """``async for s in group.asets()``: as iteration, without blocking the event loop.
        Each wait runs in the loop's executor for at most ``poll`` seconds, so a cancelled
        loop leaves no set and no wait behind for long."""
        loop = asyncio.get_running_loop()
        await loop.run_in_executor(None, self.start)
        waited = 0.0
        while True:
            s = await loop.run_in_executor(None, self.next, poll)
            if s is not None:
                waited = 0.0
                yield s
            elif self.done():
                return
            else:
                waited += poll
                if waited >= self.timeout:
                    raise CameraError(0xFF26, "no set within the time-out")

    def stats(self) -> Dict[str, Any]:
        """complete, incomplete, unmatched, overflow, triggers, frames_held_most, slot_limit,
        tolerance_us, and per board (``boards``): serial, frames, frame_errors, reconnects,
        present, offset_us, drift_ppm."""
        return dict(_native.sync_stats(self._group))

    def stop(self) -> None:
        """Ends triggers and captures; sets already complete can still be read."""
        _native.sync_stop(self._group)

    def close(self) -> None:
        """Stops and closes the boards."""
        group, self._group = self._group, None
        if group is not None:
            _native.sync_stop(group)
            del group

    def __enter__(self) -> "SyncGroup":
        self.start()
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    async def __aenter__(self) -> "SyncGroup":
        await asyncio.get_running_loop().run_in_executor(None, self.start)
        return self

    async def __aexit__(self, *exc: Any) -> None:
        await asyncio.get_running_loop().run_in_executor(None, self.close)
