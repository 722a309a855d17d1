"""Cameras: scan, open, capture frames, registers and user data over the VexoSDK module.

Threading: one thread may capture (:meth:`Camera.capture`, or :meth:`Camera.frames` driving
capture) while another reads frames (:meth:`Camera.read`, or ``frames(capture=False)``).
All other calls on one camera (registers, user data, board commands, start, stop, close) are
serialised with capture by the camera's lock, so they may come from any thread; they wait
while a capture call is in progress (at most about 1.5 s).
"""
from __future__ import annotations

import dataclasses
import math
import numbers
import operator
import os
import threading
import time
from typing import Any, Callable, Dict, Iterator, List, Mapping, Optional, Union

import VexoSDK as _sdk

from .config import Config, load_config
from .enums import Bayer, Format, I2cMode, TriggerMode
from .errors import FIRST_FAILURE, CameraError, check
from .frames import Frame

__all__ = ["BoardInfo", "Camera", "Registers", "UserData", "scan", "open"]

_TIMEOUT = 0xFF26      # USB_CAMERA_USB_TIMEOUT_ERROR
_CREATE = 0xFF01       # USB_CAMERA_USB_CREATE_ERROR
_READ_EMPTY = 0xFF30   # USB_CAMERA_READ_EMPTY_ERROR
# Codes of captureImage that mean one frame was lost, not that capture broke down.
_FRAME_LOST = {0xFF22, 0xFF24, 0xFF25}

ConfigLike = Union[Config, Mapping[str, int], str, "os.PathLike[str]", None]


@dataclasses.dataclass(frozen=True)
class BoardInfo:
    """A board found by :func:`scan`: its device index and serial text."""

    index: int
    serial: str


def _serial_text(raw: Any) -> str:
    return bytes(raw).split(b"\0", 1)[0].decode("ascii", "replace")


def scan() -> List[BoardInfo]:
    """The boards attached (real ones first, then virtual ones), with their serial texts."""
    count, indexes, serials = _sdk.Py_Vexo_scan()
    if count >= FIRST_FAILURE:
        raise CameraError(count, "scan")
    return [BoardInfo(i, _serial_text(s)) for i, s in zip(indexes, serials)]


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


def _seconds(timeout: float) -> float:
    """A time-out in seconds: a real number, not NaN (which no clock reading ever passes)."""
    if not isinstance(timeout, numbers.Real):
        raise TypeError(f"timeout must be a number of seconds, not {type(timeout).__name__}")
    value = float(timeout)
    if math.isnan(value):
        raise ValueError("timeout must be a number of seconds, not NaN")
    return value


def _byte_string(data: Any, what: str = "data") -> bytes:
    """The bytes of a bytes-like object or of a sequence of byte values. An int is refused:
    bytes(n) would make n zero bytes."""
    if isinstance(data, (int, str)):
        raise TypeError(f"{what} must be bytes or a sequence of byte values, not "
                        f"{type(data).__name__}")
    return bytes(data)


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
        self._lock = threading.RLock()
        self._capturing = False
        self._lent: Optional[Frame] = None
        if isinstance(reconnect, bool):
            self._reconnect_wait: Optional[float] = 10.0 if reconnect else None
        else:
            self._reconnect_wait = _seconds(reconnect)
        self._on_gap = on_gap
        #: the gaps of the reconnects whose first frame has come, oldest first
        self.gaps: List[Any] = []
        self._pending_gap: Optional[Dict[str, Any]] = None
        # frames, first and last arrival, first and last board time of the current appearance
        self._seen = [0, 0.0, 0.0, 0, 0]
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
        """The VexoSDK handle, for the module's functions that this class does not cover."""
        if self._handle is None:
            raise ValueError("the camera is closed")
        return self._handle

    @property
    def closed(self) -> bool:
        return self._handle is None

    def _close_handle(self) -> None:
        handle, self._handle = self._handle, None
        if handle is not None:
            _sdk.Py_Vexo_close(handle)

    def close(self) -> None:
        """Ends capture and closes the board. Frames' arrays stay readable afterwards (they
        keep their bytes). Closing twice does nothing."""
        with self._lock:
            if self._handle is None:
                return
            try:
                self.stop()
            finally:
                self._close_handle()

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
        """Ends capture and empties the frame queue. Does nothing when not capturing."""
        with self._lock:
            self._give_back()
            if self._capturing:
                self._capturing = False
                _sdk.Py_Vexo_endCaptureImage(self.handle)
                _sdk.Py_Vexo_flush(self.handle)

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
        lent, self._lent = self._lent, None
        if lent is not None:
            lent.release()

    def _lend(self, handle: Any) -> Frame:
        rc, data, info = _sdk.Py_Vexo_readImage(handle)
        check(rc, "read frame")
        frame = Frame(data, info, self.config.bayer, release=lambda: _sdk.Py_Vexo_del(handle))
        self._lent = frame
        if self._reconnect_wait is not None:
            self._note_frame(frame)
        return frame

    @property
    def reconnects(self) -> int:
        """Times the camera reconnected to its board."""
        return len(self.gaps) + (self._pending_gap is not None)

    def _note_frame(self, frame: Frame) -> None:
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
            return
        from .hotplug import Gap
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
        if self._on_gap is not None:
            self._on_gap(done)

    def _reconnect(self) -> None:
        """The board went away: waits for it by serial, reopens it as it was first opened
        and starts capture again."""
        from .hotplug import wait_for_board
        with self._lock:
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
            wait = self._reconnect_wait or 0.0
            end = now + wait
            rc = _CREATE
            while True:
                board = wait_for_board(self.serial, max(0.0, end - time.monotonic()))
                if board is None:
                    raise CameraError(rc, f"board {self.serial!r} did not come back within "
                                          f"{wait} s")
                back = time.monotonic()
                rc, self._handle, applied = _sdk.Py_Vexo_open(self.config.to_dict(), board.index)
                if rc == 0:
                    try:
                        # indices move when boards come and go between the scan and the open
                        if self.user_data.serial == self.serial:
                            self._start_up()
                            self.start()
                            break
                    except CameraError as e:  # gone again during its start-up
                        rc = e.code
                self._close_handle()
                if time.monotonic() >= end:
                    raise CameraError(rc, f"board {self.serial!r} could not be reopened")
                time.sleep(0.02)
            self.index = board.index
            self.info = applied
            gap.update(index_after=board.index, board_back=back)
            self._pending_gap = gap
            self._seen = [0, 0.0, 0.0, 0, 0]

    def _next(self, deadline: float, drive: bool) -> Frame:
        """The next queued frame, capturing meanwhile when @drive."""
        handle = self.handle
        span = deadline - time.monotonic()
        while True:
            if _sdk.Py_Vexo_availableImage(handle) > 0:
                return self._lend(handle)
            if time.monotonic() >= deadline:
                raise CameraError(_TIMEOUT, "no frame within the time-out")
            if drive:
                with self._lock:
                    rc = _sdk.Py_Vexo_captureImage(handle)
                if rc >= FIRST_FAILURE and rc != _TIMEOUT and rc not in _FRAME_LOST:
                    if self._reconnect_wait is None:
                        raise CameraError(rc, "capture")
                    # Capture ended with its board; frames still queued were sent before.
                    if _sdk.Py_Vexo_availableImage(handle) == 0:
                        self._reconnect()
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
        return self._next(time.monotonic() + timeout, drive=False)

    def frames(self, n: Optional[int] = None, timeout: float = 3.0,
               capture: bool = True) -> Iterator[Frame]:
        """Yields @n frames (None: without end), each lent until the next one is asked for.

        With @capture (the default) the generator runs the capture loop itself: it starts
        capture if needed and ends it when it finishes or is left early (``break``, an
        exception, ``close()``). Lost frames are skipped. With ``capture=False`` it only reads
        frames that another thread's :meth:`capture` calls queue. Raises
        CameraError(USB_CAMERA_USB_TIMEOUT_ERROR) when no frame comes for @timeout seconds."""
        timeout = _seconds(timeout)
        started = False
        if capture and not self._capturing:
            self.start()
            started = True
        try:
            count = 0
            while n is None or count < n:
                self._give_back()
                frame = self._next(time.monotonic() + timeout, drive=capture)
                count += 1
                yield frame
        finally:
            if self._handle is not None:
                self._give_back()
                if started:
                    self.stop()

    def frame(self, timeout: float = 3.0) -> Frame:
        """One frame, as a copy that stays valid: taken from the running capture, or from a
        capture started and ended for it."""
        frames = self.frames(1, timeout)
        try:
            return next(frames).copy()
        finally:
            frames.close()

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
        return _serial_text(self.read(self.SERIAL_AT, 16))

    @serial.setter
    def serial(self, text: str) -> None:
        if not isinstance(text, str):
            raise TypeError(f"a serial text is a str, not {type(text).__name__}")
        raw = text.encode("ascii")
        if len(raw) > 16:
            raise ValueError("a serial text has at most 16 characters")
        self.write(self.SERIAL_AT, raw.ljust(16, b"\0"))
