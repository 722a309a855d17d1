"""Named camera controls: the [controls] section of a camera's configuration file, live.

``cam.controls`` maps each control's name to a :class:`Control` that describes it (type, unit,
range, step, default, menu) and reads and sets its value on the sensor. The rules are those of
the library's named controls (the C++ layer's vexo::NamedControls, which ``vexo ctrl`` uses too):

* a register-mapped control reads back what the sensor's registers hold; a Lua control reports
  the value last set (its default before that), as a script cannot be read back;
* a number out of range is clamped into [min, max], then rounded to the nearest step counted
  from min (never past max); a boolean is on for any value but 0;
* a menu value must be one the menu lists (ValueError otherwise; nothing is written), and so
  must a value that is not a number (NaN);
* text is read as ``vexo ctrl --set`` reads it: a number, a menu entry's name, on/off or
  true/false (ValueError for other text);
* an unknown name raises KeyError; a failed register call raises CameraError with its status
  (a multi-register control may then be partly written), a failed Lua control function
  RuntimeError.

Setting returns (and the change callbacks receive) the value read back after the write.

Threading: the calls take the camera's lock, like register access, so they may come from any
thread; callbacks run on the thread that set the control.
"""
from __future__ import annotations

import dataclasses
import math
import threading
from typing import Any, Callable, Dict, Iterator, List, Mapping, Tuple, Union

from . import _native
from .errors import CameraError

__all__ = ["ControlInfo", "Control", "Controls"]

Value = Union[int, float, bool]

_OK, _UNKNOWN, _INVALID, _BOARD = 0, 1, 2, 3


@dataclasses.dataclass(frozen=True)
class ControlInfo:
    """One line of a configuration file's [controls] section, as the loader read it."""

    name: str
    type: str  #: "integer", "boolean", "menu" or "float"
    unit: str
    min: Value
    max: Value
    step: Value
    default: Value
    #: a menu's (name, value) pairs in the file's order; empty for other types
    menu: Tuple[Tuple[str, int], ...] = ()
    #: the sensor registers holding the field, in the order they are written; empty for Lua
    registers: Tuple[int, ...] = ()
    #: the field within the registers' joined bits: (lowest bit, bit count)
    bits: Tuple[int, int] = (0, 0)
    order: str = "big"  #: "big": the first register holds the most significant bits
    scale: float = 1.0
    offset: float = 0.0
    lua: str = ""  #: the Lua control function, for a control that is not a register field
    line: int = 0

    @classmethod
    def _from_native(cls, d: Mapping[str, Any]) -> "ControlInfo":
        kind = d["type"]
        whole = kind != "float"
        fields = dict(d)
        for key in ("min", "max", "step", "default"):
            fields[key] = _typed(kind, d[key]) if whole else float(d[key])
        fields["menu"] = tuple((name, int(value)) for name, value in d["menu"])
        fields["registers"] = tuple(d["registers"])
        fields["bits"] = tuple(d["bits"])
        return cls(**fields)


def _typed(kind: str, value: float) -> Value:
    """A value as the control's type shows it: bool, int, or float."""
    if kind == "float":
        return float(value)
    if kind == "boolean":
        return value != 0
    return int(value)


class Control:
    """A named control of an open camera: its description (the attributes of
    :class:`ControlInfo`) and its value on the sensor (:attr:`value`)."""

    def __init__(self, controls: "Controls", info: ControlInfo) -> None:
        self._controls = controls
        self.info = info

    def __getattr__(self, name: str) -> Any:
        if name.startswith("_") or name == "info":  # (copy and pickle ask before __init__)
            raise AttributeError(name)
        return getattr(self.info, name)

    @property
    def value(self) -> Value:
        """The value read back from the sensor (a Lua control: the value last set)."""
        return self._controls._get(self.info.name)

    @value.setter
    def value(self, value: Union[Value, str]) -> None:
        self._controls._set(self.info.name, value)

    def set(self, value: Union[Value, str]) -> Value:
        """Sets the value (clamped and stepped, see the module's rules); returns the value
        read back."""
        return self._controls._set(self.info.name, value)

    def reset(self) -> Value:
        """Sets the default value; returns the value read back."""
        return self.set(self.info.default)

    @property
    def text(self) -> str:
        """The current value as ``vexo ctrl`` prints it (a menu entry's name, a number)."""
        return self._controls._format(self.info.name, self.value)

    def __repr__(self) -> str:
        unit = f" {self.info.unit}" if self.info.unit else ""
        return (f"<vexo.Control {self.info.name} {self.info.type} "
                f"{self.info.min}..{self.info.max}{unit}>")


class Controls(Mapping[str, Control]):
    """The named controls of an open camera (``cam.controls``), in the file's order:
    ``cam.controls["exposure"].value``, ``cam.controls["exposure"] = 500``,
    ``cam.controls.set(exposure=500, analogue_gain=2.0)``, ``cam.controls.values_now()``."""

    def __init__(self, camera: Any) -> None:
        self._camera = camera
        config = camera.config
        self._infos = {info.name: info for info in config.controls}
        self._parsed = config.parsed
        self._native: Any = None
        self._native_handle: Any = None
        self._callbacks: List[Callable[[str, Value], None]] = []
        self._callbacks_lock = threading.Lock()

    # -- the mapping ------------------------------------------------------------------------

    def __getitem__(self, name: str) -> Control:
        info = self._infos.get(name)
        if info is None:
            raise KeyError(name)
        return Control(self, info)

    def __iter__(self) -> Iterator[str]:
        return iter(self._infos)

    def __len__(self) -> int:
        return len(self._infos)

    def __setitem__(self, name: str, value: Union[Value, str]) -> None:
        self._set(name, value)

    def __repr__(self) -> str:
        return f"<vexo.Controls {', '.join(self._infos) or '(none)'}>"

    def _repr_html_(self) -> str:
        from .notebook import controls_html

        return controls_html(self)

    # -- reading and setting ----------------------------------------------------------------

    def table(self) -> List[Dict[str, Any]]:
        """Each control's description and current value as plain dicts, with the keys of
        ``vexo ctrl --json``'s entries (name, type, unit, min, max, step, default, menu as
        the entries' names, value)."""
        rows = []
        for name, info in self._infos.items():
            rows.append({"name": name, "type": info.type, "unit": info.unit, "min": info.min,
                         "max": info.max, "step": info.step, "default": info.default,
                         "menu": [n for n, _ in info.menu], "value": self._get(name)})
        return rows

    def values_now(self) -> Dict[str, Value]:
        """Every control's value, read back now, by name."""
        return {name: self._get(name) for name in self._infos}

    def set(self, **values: Union[Value, str]) -> Dict[str, Value]:
        """Sets several controls in the order given, after checking that every name is known
        and every text is a value of its control (nothing is written otherwise), as
        ``vexo ctrl --set`` does. Returns the values read back."""
        for name, value in values.items():
            if name not in self._infos:
                raise KeyError(name)
            if isinstance(value, str):
                self._parse(name, value)
        return {name: self._set(name, value) for name, value in values.items()}

    def on_change(self, callback: Callable[[str, Value], None]) -> Callable[[str, Value], None]:
        """Calls ``callback(name, value)`` after each successful set through this camera's
        controls, with the value read back; returns @callback (so it serves as a decorator).
        Remove it with :meth:`remove_callback`."""
        with self._callbacks_lock:
            self._callbacks.append(callback)
        return callback

    def remove_callback(self, callback: Callable[[str, Value], None]) -> None:
        with self._callbacks_lock:
            self._callbacks.remove(callback)

    def _bound(self) -> Any:
        """The library's named controls for the camera's current board (a reconnect opens a
        new one). Called with the camera's lock."""
        handle = self._camera.handle
        if self._native is None or self._native_handle is not handle:
            if self._parsed is None:
                raise KeyError("the camera's configuration has no [controls]")
            config = self._camera.config
            self._native = _native.named_controls(handle, self._parsed, config.i2c_address,
                                                  int(config.i2c_mode))
            self._native_handle = handle
        return self._native

    def _parse(self, name: str, text: str) -> float:
        with self._camera._lock:
            value = self._bound().parse_value(name, text)
        if value is None:
            info = self._infos[name]
            names = ", ".join(n for n, _ in info.menu)
            known = f" (one of {names})" if names else ""
            raise ValueError(f"{name}: {text!r} is not a value of this control{known}")
        return value

    def _outcome(self, name: str, result: Tuple[int, float, int, str], doing: str) -> Value:
        status, value, board, message = result
        if status == _UNKNOWN:
            raise KeyError(name)
        if status == _INVALID:
            raise ValueError(message)
        if status == _BOARD:
            if board == 0:  # a Lua control function failed: scripts give no status code
                raise RuntimeError(f"{doing} control {name}: {message}")
            raise CameraError(board, f"{doing} control {name}: {message}")
        return _typed(self._infos[name].type, value)

    def _get(self, name: str) -> Value:
        if name not in self._infos:
            raise KeyError(name)
        with self._camera._lock:
            return self._outcome(name, self._bound().get(name), "read")

    def _set(self, name: str, value: Union[Value, str]) -> Value:
        if name not in self._infos:
            raise KeyError(name)
        if isinstance(value, str):
            number = self._parse(name, value)
        elif isinstance(value, (int, float)):  # bool is an int
            try:
                number = float(value)
            except OverflowError:  # an int past any float: clamped like infinity
                number = math.inf if value > 0 else -math.inf
        else:
            raise TypeError(f"a control's value is a number or text, not "
                            f"{type(value).__name__}")
        with self._camera._lock:
            applied = self._outcome(name, self._bound().set(name, float(number)), "set")
        with self._callbacks_lock:
            callbacks = list(self._callbacks)
        for callback in callbacks:
            callback(name, applied)
        return applied

    def _format(self, name: str, value: Value) -> str:
        with self._camera._lock:
            return self._bound().format_value(name, float(value))

