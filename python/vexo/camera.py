"""Cameras: scan, open, capture frames, registers and user data over the VexoSDK module.

Threading: one thread may capture (:meth:`Camera.capture`, or :meth:`Camera.frames` driving
capture) while another reads frames (:meth:`Camera.read`, or ``frames(capture=False)``).
All other calls on one camera (registers, user data, board commands, start, stop, close) are
serialised with capture by the camera's lock, so they may come from any thread; they wait
while a capture call is in progress (at most about 1.5 s).
"""
from __future__ import annotations

import asyncio
import functools
import operator
import os
import threading
import time
from typing import (Any, AsyncIterator, Callable, Dict, Iterator, List, Mapping, Optional, Tuple,
                    Union)

import VexoSDK as _sdk

from .arguments import byte_string as _byte_string
from .arguments import seconds as _seconds
from .boards import BoardInfo, scan, serial_text
from .capture_worker import CaptureWorker, settled
from .config import Config, load_config
from .controls import Controls
from .enums import Bayer, Format, I2cMode, TriggerMode
from .errors import FIRST_FAILURE, CameraError, check
from .frames import Frame
from .hotplug import Gap

__all__ = ["BoardInfo", "Camera", "Registers", "UserData", "scan", "open"]

_TIMEOUT = 0xFF26      # USB_CAMERA_USB_TIMEOUT_ERROR
_CREATE = 0xFF01       # USB_CAMERA_USB_CREATE_ERROR
_READ_EMPTY = 0xFF30   # USB_CAMERA_READ_EMPTY_ERROR
_TASK = _sdk.USB_CAMERA_USB_TASK_ERROR
# Codes of captureImage that mean one frame was lost, not that capture broke down.
_FRAME_LOST = {0xFF22, 0xFF24, 0xFF25}
# Scan interval while a reconnect waits for its board.
_RESCAN = 0.02

ConfigLike = Union[Config, Mapping[str, int], str, "os.PathLike[str]", None]


class _Aborted(Exception):
    """A frame wait given up by its consumer (a cancelled asynchronous read)."""


class _Stream:
    """One asynchronous consumer's state, shared with the steps it asks of the worker."""

    def __init__(self) -> None:
        self.started = False  # capture was started for it
        self.abort = threading.Event()


def _as_config(config: ConfigLike) -> Config:
    if config is None:
        from .config import default_config
        return default_config()
    if isinstance(config, Config):
        return config
    if isinstance(config, (str, os.PathLike)):
        return load_config(config)
    if isinstance(config, Mapping):
        # the module's twelve-key dict; keys left out take the default board's values
        base = _as_config(None).to_dict()
        unknown = set(config) - set(base) - {"bayer"}
        if unknown:
            raise KeyError(f"unknown configuration key(s): {', '.join(sorted(unknown))}")
        d = {**base, **config}
        return Config(width=d["u32Width"], height=d["u32Height"],
                      format=Format(d["emImageFmtMode"]), i2c_address=d["u32I2cAddr"],
                      i2c_mode=I2cMode(d["emI2cMode"]), pixel_bytes=d["u8PixelBytes"],
                      pixel_bits=d["u8PixelBits"], bayer=Bayer(config.get("bayer", 0)),
                      transfer_level=d["u32TransLvl"], camera_type=d["u32CameraType"],
                      sensor_vid=d["u16Vid"])
    raise TypeError(f"config must be a Config, a mapping or a file path, not "
                    f"{type(config).__name__}")


def _mode(mode: Union[I2cMode, int, str]) -> I2cMode:
    if isinstance(mode, str):
        from .config import parse_i2c_mode
        parsed = parse_i2c_mode(mode)
        if parsed is None:
            raise ValueError(f"unknown I2C mode {mode!r} (8_8, 8_16, 16_8, 16_16, 16_32)")
        return parsed
    return I2cMode(mode)


def open(index: Optional[int] = None, serial: Optional[str] = None,
         config: ConfigLike = None, reconnect: Union[bool, float] = False,
         on_gap: Optional[Callable[[Any], None]] = None) -> "Camera":
    """Opens a board: by device index, by serial text, or the first board found.

    With @reconnect (True: wait up to 10 s; a number: that many seconds) the camera's
    :meth:`Camera.frames` follows its board when it goes away: it waits for a board with the
    same serial, reopens it with the same configuration, sends the start-up registers and
    board commands again and streams on; each loss is recorded as a :class:`vexo.Gap` in
    :attr:`Camera.gaps` and passed to @on_gap.

    @config is a :class:`Config`, a configuration file's path, or a mapping of the module's
    configuration keys (those left out take the default board's values, ``"bayer"`` may be
    added); None is the default virtual board's configuration. The sensor's start-up
    registers and the board commands of the configuration are sent after the open.
    Raises CameraError (for instance USB_CAMERA_USB_CREATE_ERROR when no such board exists).
    Use the camera as a context manager, or call :meth:`Camera.close`."""
    cfg = _as_config(config)
    if index is not None and serial is not None:
        raise ValueError("give index or serial, not both")
    if index is None:
        boards = scan()
        if serial is not None:
            found = [b.index for b in boards if b.serial == serial]
            if not found:
                raise CameraError(_CREATE, f"no board with serial {serial!r} (found: "
                                           f"{', '.join(b.serial for b in boards) or 'none'})")
            index = found[0]
        elif boards:
            index = boards[0].index
        else:
            raise CameraError(_CREATE, "no board found")
    return Camera(index, cfg, reconnect=reconnect, on_gap=on_gap)


class Camera:
    """An open board. Made by :func:`open`; closed by :meth:`close` or at the end of a
    ``with`` block (which also ends capture)."""

    def __init__(self, index: int, config: Config, reconnect: Union[bool, float] = False,
                 on_gap: Optional[Callable[[Any], None]] = None) -> None:
        self._handle: Any = None
        self._closed = False
        # Held by a capture step and by every call that is not a frame-queue call.
        self._lock = threading.RLock()
        # Held for a moment around the frame queue: reading a frame, giving it back, emptying.
        self._queue = threading.Lock()
        self._capturing = False
        self._lent: Optional[Frame] = None
        # Emptyings of the frame queue (stop, reconnect, close). A frame lent before one no
        # longer heads the queue: giving it back then would drop a frame nobody has read.
        self._flushes = 0
        # Calls of stop() and close(). A capture step that fails after one of them failed
        # because capture was ended on purpose, not because the board went away.
        self._stops = 0
        #: the thread that runs this camera's asynchronous reads, while there are any
        self._worker: Any = None
        if isinstance(reconnect, bool):
            self._reconnect_wait: Optional[float] = 10.0 if reconnect else None
        else:
            self._reconnect_wait = _seconds(reconnect)
        self._on_gap = on_gap
        #: the gaps of the reconnects whose first frame has come, oldest first
        self.gaps: List[Gap] = []
        self._pending_gap: Optional[Dict[str, Any]] = None
        # frames, first and last arrival, first and last board time of the current appearance
        self._seen = [0, 0.0, 0.0, 0, 0]
        self._controls: Optional[Controls] = None
        rc, handle, applied = _sdk.Py_Vexo_open(config.to_dict(), index)
        self._handle = handle
        if rc != 0:
            self._close_handle()
            raise CameraError(rc, f"open board {index}")
        self.index = index
        self.config = config
        #: the configuration dict as the open left it ("usbType": 2 USB 2, 3 USB 3, ...)
        self.info: Dict[str, int] = applied
        try:
            self.serial = self.user_data.serial
            self._start_up()
        except BaseException:
            self._close_handle()
            raise
        if self._reconnect_wait is not None and not self.serial:
            self._close_handle()
            raise ValueError("a board without a serial text cannot reconnect")

    # -- lifetime ---------------------------------------------------------------------------

    @property
    def handle(self) -> Any:
        """The VexoSDK handle, for the module's functions that this class does not cover.
        Raises ValueError once the camera is closed, and CameraError
        (USB_CAMERA_USB_CREATE_ERROR) while its board is away and it waits to reconnect."""
        handle = self._handle
        if handle is None:
            if self._closed:
                raise ValueError("the camera is closed")
            raise CameraError(_CREATE, f"board {self.serial!r} is away; the camera waits for "
                                       f"it to come back")
        return handle

    @property
    def closed(self) -> bool:
        """True once :meth:`close` ran, or the board went away and did not come back."""
        return self._closed

    def _close_handle(self) -> None:
        with self._queue:
            handle, self._handle = self._handle, None
            self._flushes += 1
        if handle is not None:
            _sdk.Py_Vexo_close(handle)

    def close(self) -> None:
        """Ends capture and closes the board. Frames' arrays stay readable afterwards (they
        keep their bytes). Closing twice does nothing. A close from another thread ends a
        reconnect in progress: the board is not reopened."""
        with self._lock:
            if self._closed:
                return
            self._closed = True
            try:
                self.stop()
            finally:
                self._close_handle()
                worker, self._worker = self._worker, None
                if worker is not None:
                    worker.retire()

    def __enter__(self) -> "Camera":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            if getattr(self, "_handle", None) is not None:
                self.close()
        except Exception:  # noqa: BLE001 - nothing to report to at collection time
            pass

    def __repr__(self) -> str:
        state = "closed" if self.closed else f"index {self.index}"
        return f"<vexo.Camera {state} serial={getattr(self, 'serial', '?')!r}>"

    def _repr_html_(self) -> str:
        """A short summary for notebooks: board, state, picture, link and reconnects."""
        from .notebook import camera_html

        return camera_html(self)

    def _start_up(self) -> None:
        regs = self.registers
        for step in self.config.registers:
            if step.delay:
                time.sleep(step.value / 1000)
            else:
                regs[step.address] = step.value
        for cmd in self.config.board_commands:
            self.board_command(cmd.request, cmd.value, cmd.index, cmd.data)

    # -- capture ----------------------------------------------------------------------------

    @property
    def capturing(self) -> bool:
        return self._capturing

    def start(self) -> None:
        """Starts capture (the board streams; frames collect in the camera's queue)."""
        with self._lock:
            if not self._capturing:
                check(_sdk.Py_Vexo_beginCaptureImage(self.handle), "begin capture")
                self._capturing = True

    def stop(self) -> None:
        """Ends capture and empties the frame queue. Does nothing when not capturing. A
        :meth:`frames` loop of another thread then ends with USB_CAMERA_USB_TASK_ERROR, also
        on a camera that reconnects (a stop is not a board that went away)."""
        with self._lock:
            self._stops += 1
            self._give_back()
            if self._capturing:
                self._capturing = False
                handle = self.handle
                _sdk.Py_Vexo_endCaptureImage(handle)
                with self._queue:
                    _sdk.Py_Vexo_flush(handle)
                    self._flushes += 1

    def capture(self) -> int:
        """One step of the capture loop: waits up to about 1.5 s for image data and returns
        the number of frames it completed (0 or more). Raises CameraError for a failure:
        USB_CAMERA_USB_TIMEOUT_ERROR when no data came, a frame error
        (USB_CAMERA_DATA_LEN_ERROR, ...) when a frame was lost, USB_CAMERA_USB_TASK_ERROR
        when capture is not running (call :meth:`start` first; a capture thread therefore
        stops with that error once another thread called :meth:`stop`)."""
        with self._lock:
            return check(_sdk.Py_Vexo_captureImage(self.handle), "capture")

    @property
    def available(self) -> int:
        """Frames waiting in the queue."""
        return _sdk.Py_Vexo_availableImage(self.handle)

    def _give_back(self) -> None:
        with self._queue:
            lent, self._lent = self._lent, None
        if lent is not None:
            lent.release()

    def _release(self, handle: Any, flushes: int) -> None:
        """Gives back the frame at the head of the queue, read when the queue had been
        emptied @flushes times; nothing when it was emptied since (the frame went with it)."""
        with self._queue:
            if self._handle is handle and self._flushes == flushes:
                _sdk.Py_Vexo_del(handle)

    def _lend(self, handle: Any) -> Frame:
        with self._queue:
            self._same_handle(handle)
            rc, data, info = _sdk.Py_Vexo_readImage(handle)
            check(rc, "read frame")
            frame = Frame(data, info, self.config.bayer,
                          release=functools.partial(self._release, handle, self._flushes),
                          colour=self.config.parsed if self.config.colour else None)
            self._lent = frame
        return frame

    def _same_handle(self, handle: Any) -> None:
        """Raises when the camera was closed, or its board reopened, since @handle was taken."""
        if self.handle is not handle:
            raise CameraError(_CREATE, "the board was reopened meanwhile")

    @property
    def reconnects(self) -> int:
        """Times the camera reconnected to its board."""
        return len(self.gaps) + (self._pending_gap is not None)

    def _note_frame(self, frame: Frame) -> Optional[Gap]:
        """Counts a frame of the board's current appearance; the gap that it ends, if any."""
        now = time.monotonic()
        seen = self._seen
        if seen[0] == 0:
            seen[1] = now
            seen[3] = frame.timestamp or 0
        seen[0] += 1
        seen[2] = now
        seen[4] = frame.timestamp or 0
        gap, self._pending_gap = self._pending_gap, None
        if gap is None:
            return None
        interval, board_interval = gap.pop("interval"), gap.pop("board_interval")
        duration = now - gap["last_frame"]
        # board time stamps (100 ns units) when both sides and the interval have them
        if board_interval > 0 and seen[4] > gap["last_frame_time"]:
            periods = (seen[4] - gap["last_frame_time"]) / board_interval
        else:
            periods = duration / interval if interval > 0 else 0.0
        done = Gap(frames=int(periods + 0.5) - 1 if periods >= 1.5 else 0, duration=duration,
                   first_frame=now, first_frame_time=seen[4], **gap)
        self.gaps.append(done)
        return done

    def _tell(self, gap: Optional[Gap]) -> None:
        if gap is not None and self._on_gap is not None:
            self._on_gap(gap)

    def _await_board(self, end: float) -> Optional[BoardInfo]:
        """The board with the camera's serial once a scan lists it; None at @end or once the
        camera is closed."""
        while not self._closed:
            for board in scan():
                if board.serial == self.serial:
                    return board
            left = end - time.monotonic()
            if left <= 0:
                return None
            time.sleep(min(_RESCAN, left))
        return None

    def _reconnect(self, handle: Any, stops: int, rc: int) -> None:
        """Capture on @handle failed with @rc and left nothing queued: the board went away,
        unless a stop or close came since the step began (@stops). Waits for the board by
        serial, reopens it as it was first opened and starts capture again.

        The camera's lock is let go while the board is away, so that other threads' calls
        fail at once instead of waiting, and a close ends the wait. The lock is held again
        for the reopen and start-up, after the last check for a close or a stop: a close
        that comes later closes the reopened board."""
        with self._lock:
            self._same_handle(handle)  # raises ValueError once closed
            if self._stops != stops:
                if self._capturing:  # stopped and started again: capture goes on
                    return
                raise CameraError(rc, "capture")
            frames, first, last, first_time, last_time = self._seen
            now = time.monotonic()
            timed = frames >= 2 and last_time > first_time
            gap = {"serial": self.serial, "index_before": self.index,
                   "last_frame": last if frames else now, "last_frame_time": last_time,
                   "interval": (last - first) / (frames - 1) if frames >= 2 else 0.0,
                   "board_interval": (last_time - first_time) / (frames - 1) if timed else 0.0}
            self._give_back()
            self._capturing = False
            self._close_handle()
        try:
            self._reopen_when_back(now + (self._reconnect_wait or 0.0), stops, gap)
        except BaseException:
            # Nobody waits for the board any more: the camera is closed, not left half open.
            with self._lock:
                if self._handle is None:
                    self._closed = True
            raise

    def _reopen_when_back(self, end: float, stops: int, gap: Dict[str, Any]) -> None:
        wait = self._reconnect_wait
        rc = _CREATE
        while True:
            board = self._await_board(end)
            with self._lock:
                if self._closed:
                    raise ValueError("the camera was closed while its board was away")
                if board is None:
                    self._closed = True
                    raise CameraError(rc, f"board {self.serial!r} did not come back within "
                                          f"{wait} s")
                back = time.monotonic()
                if self._reopen(board.index):
                    self.index = board.index
                    gap.update(index_after=board.index, board_back=back)
                    self._pending_gap = gap
                    self._seen = [0, 0.0, 0.0, 0, 0]
                    if self._stops != stops:
                        raise CameraError(_TASK,
                                          "capture was stopped while the board was away")
                    self.start()
                    return
                rc = self._reopen_failure
                if time.monotonic() >= end:
                    self._closed = True
                    raise CameraError(rc, f"board {self.serial!r} could not be reopened")
            time.sleep(_RESCAN)

    def _reopen(self, index: int) -> bool:
        """Opens board @index with the camera's configuration and start-up steps, when it is
        the camera's board (indices move when boards come and go between the scan and the
        open). On failure the board is closed again and the code kept in _reopen_failure."""
        rc, self._handle, applied = _sdk.Py_Vexo_open(self.config.to_dict(), index)
        if rc == 0:
            try:
                if self.user_data.serial == self.serial:
                    self._start_up()
                    self.info = applied
                    return True
            except CameraError as e:  # gone again during its start-up
                rc = e.code
        self._close_handle()
        self._reopen_failure = rc or _CREATE
        return False

    def _next(self, deadline: float, drive: bool,
              abort: Optional[threading.Event] = None) -> Tuple[Frame, Optional[Gap]]:
        """The next queued frame, capturing meanwhile when @drive, and the reconnect gap
        that it ends. Raises _Aborted once @abort is set."""
        handle = self.handle
        span = deadline - time.monotonic()
        while True:
            if abort is not None and abort.is_set():
                raise _Aborted()
            if _sdk.Py_Vexo_availableImage(handle) > 0:
                frame = self._lend(handle)
                return frame, self._note_frame(frame) if self._reconnect_wait else None
            if time.monotonic() >= deadline:
                raise CameraError(_TIMEOUT, "no frame within the time-out")
            if drive:
                with self._lock:
                    self._same_handle(handle)
                    if not self._capturing:  # stopped by another thread
                        raise CameraError(_TASK, "capture")
                    stops = self._stops
                    rc = _sdk.Py_Vexo_captureImage(handle)
                if rc >= FIRST_FAILURE and rc != _TIMEOUT and rc not in _FRAME_LOST:
                    if self._reconnect_wait is None:
                        raise CameraError(rc, "capture")
                    # Capture ended with its board; frames still queued were sent before.
                    if _sdk.Py_Vexo_availableImage(handle) == 0:
                        self._reconnect(handle, stops, rc)
                        handle = self.handle
                        deadline = time.monotonic() + span
            else:
                time.sleep(0.001)

    def read(self, timeout: float = 2.0) -> Frame:
        """The oldest queued frame, lent until the next read (or ``frame.release()``): for a
        thread that reads while another one runs :meth:`capture`. Waits up to @timeout
        seconds for a frame; then raises CameraError(USB_CAMERA_USB_TIMEOUT_ERROR)."""
        timeout = _seconds(timeout)
        self._give_back()
        frame, gap = self._next(time.monotonic() + timeout, drive=False)
        self._tell(gap)
        return frame

    def frames(self, n: Optional[int] = None, timeout: float = 3.0,
               capture: bool = True) -> Iterator[Frame]:
        """Yields @n frames (None: without end), each lent until the next one is asked for.

        With @capture (the default) the generator runs the capture loop itself: it starts
        capture if needed and ends it when it finishes or is left early (``break``, an
        exception, ``close()``). Lost frames are skipped. With ``capture=False`` it only reads
        frames that another thread's :meth:`capture` calls queue. Raises
        CameraError(USB_CAMERA_USB_TIMEOUT_ERROR) when no frame comes for @timeout seconds,
        CameraError(USB_CAMERA_USB_TASK_ERROR) when another thread stopped capture, and
        ValueError when another thread closed the camera."""
        timeout = _seconds(timeout)
        started = False
        if capture and not self._capturing:
            self.start()
            started = True
        try:
            count = 0
            while n is None or count < n:
                self._give_back()
                frame, gap = self._next(time.monotonic() + timeout, drive=capture)
                self._tell(gap)
                count += 1
                yield frame
        finally:
            self._give_back()
            if started and not self._closed:
                self.stop()

    def frame(self, timeout: float = 3.0) -> Frame:
        """One frame, as a copy that stays valid: taken from the running capture, or from a
        capture started and ended for it."""
        frames = self.frames(1, timeout)
        try:
            return next(frames).copy()
        finally:
            frames.close()

    # -- asyncio ----------------------------------------------------------------------------

    def _async_worker(self) -> CaptureWorker:
        if self._closed:
            raise ValueError("the camera is closed")
        worker = self._worker
        if worker is None:
            worker = self._worker = CaptureWorker(f"vexo camera {self.index}")
        return worker

    def _step(self, timeout: float, stream: "_Stream") -> Tuple[Frame, Optional[Gap]]:
        """On the worker: gives the last frame back and waits for the next one, starting
        capture first when it is not running."""
        if not self._capturing:
            self.start()
            stream.started = True
        self._give_back()
        return self._next(time.monotonic() + timeout, True, stream.abort)

    def _end_stream(self, stream: "_Stream") -> None:
        """On the worker: the last frame goes back; capture ends if the stream began it."""
        if not self._closed:
            self._give_back()
            if stream.started:
                self.stop()

    async def _on_worker(self, worker: CaptureWorker, fn: Callable[..., Any], *args: Any) -> None:
        """Runs a clean-up on the worker and waits for it, also when the waiting task is
        cancelled again; nothing when the camera closed (the close cleaned up)."""
        try:
            await settled(worker.submit(fn, *args))
        except ValueError:
            if not self._closed:
                raise

    def _end_worker_when_idle(self, worker: CaptureWorker) -> None:
        """The worker ends with the capture it ran for, or with a close from another thread
        that retired it; either way its last job has run, so the wait for its thread is
        short, and no thread is left behind once the stream has ended."""
        if not self._capturing and self._worker is worker:
            self._worker = None
            worker.retire()
        if self._worker is not worker:
            worker.join()

    async def aframes(self, n: Optional[int] = None, timeout: float = 3.0,
                      gaps: bool = False) -> AsyncIterator[Union[Frame, Gap]]:
        """``async for frame in cam.aframes()``: :meth:`frames` for an event loop. Yields @n
        frames (None: without end), each lent until the next one is asked for; capture starts
        if needed and ends with the loop (finished, left, cancelled) when it started here.

        The capture steps run on one thread of the camera's own, never on the event loop,
        which awaits each frame without polling. With @gaps, each reconnect's
        :class:`vexo.Gap` is yielded before the first frame after it (and passed to
        ``on_gap`` on the loop's thread either way). Cancelling the task that iterates gives
        the lent frame back and leaves the camera usable; so does ``aclose()`` of the
        iterator, which ``contextlib.aclosing`` calls at once when the loop is left."""
        timeout = _seconds(timeout)
        worker = self._async_worker()
        stream = _Stream()
        try:
            count = 0
            while n is None or count < n:
                frame, gap = await asyncio.wrap_future(worker.submit(self._step, timeout,
                                                                     stream))
                if gap is not None:
                    self._tell(gap)
                    if gaps:
                        yield gap
                count += 1
                yield frame
        finally:
            stream.abort.set()  # a step still waiting for a frame gives up
            await self._on_worker(worker, self._end_stream, stream)
            self._end_worker_when_idle(worker)

    async def aread(self, timeout: float = 3.0) -> Frame:
        """``await cam.aread()``: the next frame, lent until the next ``aread()`` (or
        ``frame.release()``). Starts capture when it is not running and leaves it running
        for the next call: end it with :meth:`stop`, :meth:`aclose` or the ``async with``
        block. Raises CameraError(USB_CAMERA_USB_TIMEOUT_ERROR) when no frame comes for
        @timeout seconds. Cancelled, it gives back what it was lent."""
        timeout = _seconds(timeout)
        worker = self._async_worker()
        stream = _Stream()
        try:
            frame, gap = await asyncio.wrap_future(worker.submit(self._step, timeout, stream))
        except asyncio.CancelledError:
            stream.abort.set()
            await self._on_worker(worker, self._give_back)
            raise
        self._tell(gap)
        return frame

    async def aclose(self) -> None:
        """:meth:`close` for an event loop: a capture step in progress is waited for on the
        camera's worker thread, not on the loop."""
        worker = self._worker
        if worker is None:
            self.close()
            return
        try:
            await settled(worker.submit(self.close))
        except ValueError:  # the worker was retired meanwhile: nothing runs on it any more
            self.close()
        worker.join()

    async def __aenter__(self) -> "Camera":
        return self

    async def __aexit__(self, *exc: Any) -> None:
        await self.aclose()

    # -- trigger ----------------------------------------------------------------------------

    def set_mode(self, mode: TriggerMode) -> None:
        """Continuous or external-trigger capture (USB 2 boards with trigger support)."""
        with self._lock:
            check(_sdk.Py_Vexo_setMode(self.handle, int(mode)), "set trigger mode")

    def soft_trigger(self) -> None:
        """Releases one frame in external-trigger mode."""
        with self._lock:
            check(_sdk.Py_Vexo_softTrigger(self.handle), "software trigger")

    # -- registers, board commands, user data -------------------------------------------

    @property
    def controls(self) -> "Controls":
        """The named controls of the configuration file's [controls] section (a mapping of
        name to :class:`vexo.Control`): ``cam.controls["exposure"] = 500``. Empty for a
        configuration without them. See :mod:`vexo.controls` for the rules."""
        controls = self._controls
        if controls is None:
            controls = self._controls = Controls(self)
        return controls

    @property
    def registers(self) -> "Registers":
        """The sensor's registers, with the configured I2C address and mode:
        ``cam.registers[0x3012]``, ``cam.registers[0x3012] = 0x40``."""
        return Registers(self, self.config.i2c_address, self.config.i2c_mode)

    def i2c(self, device: int, mode: Union[I2cMode, int, str] = I2cMode.M8_8) -> "Registers":
        """Registers of any I2C device on the board, e.g. ``cam.i2c(0x46)[5]`` for the board
        controller's version."""
        return Registers(self, device, _mode(mode))

    @property
    def user_data(self) -> "UserData":
        """The board's 1024-byte user-data store."""
        return UserData(self)

    def board_command(self, request: int, value: int, index: int, data: bytes = b"") -> None:
        """Sends a host-to-device vendor request with @data."""
        data = _byte_string(data)
        with self._lock:
            check(_sdk.Py_Vexo_setboardConfig(self.handle, request, value, index, len(data),
                                              data or None), f"board command 0x{request:02X}")

    def board_request(self, request: int, value: int, index: int, length: int) -> bytes:
        """Sends a device-to-host vendor request and returns the @length bytes received."""
        with self._lock:
            rc, data = _sdk.Py_Vexo_getboardConfig(self.handle, request, value, index, length)
            check(rc, f"board request 0x{request:02X}")
            return data.tobytes()


class Registers:
    """Registers of one I2C device with fixed address and value widths. Indexing reads and
    writes one register; values must fit the widths. Failures raise CameraError."""

    def __init__(self, camera: Camera, device: int, mode: I2cMode) -> None:
        self.camera, self.device, self.mode = camera, device, mode
        label = mode.label
        self._read = getattr(_sdk, f"Py_Vexo_readReg_{label}")
        self._write = getattr(_sdk, f"Py_Vexo_writeReg_{label}")

    def __repr__(self) -> str:
        return f"<vexo.Registers device 0x{self.device:02X} mode {self.mode.label}>"

    def _address(self, address: int) -> int:
        if not 0 <= address < 1 << self.mode.address_bits:
            raise IndexError(f"register address 0x{address:X} exceeds the "
                             f"{self.mode.address_bits} bits of mode {self.mode.label}")
        return address

    def __getitem__(self, address: int) -> int:
        address = self._address(address)
        with self.camera._lock:
            rc, value = self._read(self.camera.handle, self.device, address)
        if rc != 0:
            # Some reads pass the board's I2C status byte on (1: no device answered).
            what = f"read register 0x{address:X} of device 0x{self.device:02X}"
            if rc < FIRST_FAILURE:
                what += f" (I2C status {rc}: no answer from the device)"
            raise CameraError(rc, what)
        return value

    def __setitem__(self, address: int, value: int) -> None:
        address = self._address(address)
        if not 0 <= value < 1 << self.mode.value_bits:
            raise ValueError(f"register value 0x{value:X} exceeds the {self.mode.value_bits} "
                             f"bits of mode {self.mode.label}")
        with self.camera._lock:
            rc = self._write(self.camera.handle, self.device, address, value)
        check(rc, f"write register 0x{address:X} of device 0x{self.device:02X}")


class UserData:
    """The board's 1024-byte user-data store: ``ud[0:16]`` reads bytes, ``ud[16:20] = b"abcd"``
    writes them (any length; sent in pieces of at most 32 bytes), ``ud[5]`` is one byte.
    ``serial`` is the 16-byte serial text at 1008..1023."""

    SIZE = 1024
    PIECE = 32
    SERIAL_AT = 1008

    def __init__(self, camera: Camera) -> None:
        self.camera = camera

    def __len__(self) -> int:
        return self.SIZE

    def read(self, address: int, length: int) -> bytes:
        """@length bytes from @address."""
        address, length = operator.index(address), operator.index(length)
        self._range(address, length)
        out = bytearray()
        with self.camera._lock:
            while len(out) < length:
                n = min(self.PIECE, length - len(out))
                rc, data = _sdk.Py_Vexo_readUserData(self.camera.handle, address + len(out), n)
                check(rc, "read user data")
                out += data
        return bytes(out)

    def write(self, address: int, data: bytes) -> None:
        """Writes @data at @address."""
        address = operator.index(address)
        data = _byte_string(data)
        self._range(address, len(data))
        with self.camera._lock:
            for at in range(0, len(data), self.PIECE):
                piece = data[at:at + self.PIECE]
                check(_sdk.Py_Vexo_writeUserData(self.camera.handle, address + at, len(piece),
                                                 piece), "write user data")

    def _range(self, address: int, length: int) -> None:
        if address < 0 or length < 0 or address + length > self.SIZE:
            raise IndexError(f"user data {address}..{address + length} is outside 0..1024")

    def _slice(self, key: slice) -> range:
        r = range(self.SIZE)[key]
        if r.step != 1:
            raise ValueError("user data slices take no step")
        return r

    def __getitem__(self, key: Union[int, slice]) -> Union[int, bytes]:
        if isinstance(key, slice):
            r = self._slice(key)
            return self.read(r.start, len(r)) if len(r) else b""
        key = operator.index(key)
        if key < 0:
            key += self.SIZE
        return self.read(key, 1)[0]

    def __setitem__(self, key: Union[int, slice], value: Any) -> None:
        if isinstance(key, slice):
            r = self._slice(key)
            value = _byte_string(value, "value")
            if len(value) != len(r):
                raise ValueError(f"{len(value)} bytes for a slice of {len(r)}")
            if value:
                self.write(r.start, value)
            return
        key = operator.index(key)
        if key < 0:
            key += self.SIZE
        self.write(key, bytes([value]))

    @property
    def serial(self) -> str:
        """The serial text (user data 1008..1023, up to the first zero byte)."""
        return serial_text(self.read(self.SERIAL_AT, 16))

    @serial.setter
    def serial(self, text: str) -> None:
        if not isinstance(text, str):
            raise TypeError(f"a serial text is a str, not {type(text).__name__}")
        raw = text.encode("ascii")
        if len(raw) > 16:
            raise ValueError("a serial text has at most 16 characters")
        self.write(self.SERIAL_AT, raw.ljust(16, b"\0"))
