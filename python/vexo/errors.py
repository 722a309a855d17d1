"""Status codes of the camera library as Python exceptions.

The table mirrors include/vexo/status.h (names and one-line hints); a test keeps the two in
step.
"""
from __future__ import annotations

from typing import Dict, Optional, Tuple

__all__ = ["CameraError", "STATUS", "status_name", "status_hint", "check"]

_UNUSED = "not returned by this library; kept for existing callers"

#: code -> (constant name, hint)
STATUS: Dict[int, Tuple[str, str]] = {
    0x0000: ("USB_CAMERA_NO_ERROR", "success"),
    0xFF01: ("USB_CAMERA_USB_CREATE_ERROR",
             "no board could be opened: check the cable, the device index (vexo scan) and the "
             "device permissions"),
    0xFF02: ("USB_CAMERA_USB_SET_CONTEXT_ERROR",
             "an unexpected internal failure was stopped at the library boundary; the call "
             "did not complete"),
    0xFF03: ("USB_CAMERA_VR_COMMAND_ERROR",
             "the board refused a control request, or the I2C mode is not one of the five: "
             "check the i2c_mode of the configuration and that the board is still attached"),
    0xFF04: ("USB_CAMERA_USB_VERSION_ERROR",
             "the device is not a supported camera board (vendor id or product id): pick "
             "another index from vexo scan"),
    0xFF05: ("USB_CAMERA_BUFFER_ERROR",
             "the frame buffers could not be allocated: lower the width, height or pixel "
             "bytes, or free memory"),
    0xFF06: ("USB_CAMERA_NOT_FOUND_DEVICE_ERROR", _UNUSED),
    0xFF0B: ("USB_CAMERA_I2C_BIT_ERROR", _UNUSED),
    0xFF0C: ("USB_CAMERA_I2C_NACK_ERROR", _UNUSED),
    0xFF0D: ("USB_CAMERA_I2C_TIMEOUT", _UNUSED),
    0xFF20: ("USB_CAMERA_USB_TASK_ERROR",
             "capture is not running or its reads could not be queued: call "
             "Vexo_beginCaptureImage first; on Linux raise usbfs_memory_mb"),
    0xFF21: ("USB_CAMERA_DATA_OVERFLOW_ERROR", _UNUSED),
    0xFF22: ("USB_CAMERA_DATA_LACK_ERROR",
             "a JPEG frame lacked its start or end marker: the frame was dropped"),
    0xFF23: ("USB_CAMERA_FIFO_FULL_ERROR", _UNUSED),
    0xFF24: ("USB_CAMERA_DATA_LEN_ERROR",
             "a frame's byte count does not match the configuration: check width, height, "
             "pixel bytes and format against what the sensor sends"),
    0xFF25: ("USB_CAMERA_FRAME_INDEX_ERROR",
             "frames were lost between two received frames: read frames faster or lower "
             "the frame rate"),
    0xFF26: ("USB_CAMERA_USB_TIMEOUT_ERROR",
             "no image data within the time-out: check that the start-up registers start the "
             "sensor and that the board is not waiting for a trigger"),
    0xFF30: ("USB_CAMERA_READ_EMPTY_ERROR",
             "no frame is queued yet: keep calling Vexo_captureImage"),
    0xFF31: ("USB_CAMERA_DEL_EMPTY_ERROR", "no frame is queued to release"),
    0xFF51: ("USB_CAMERA_SIZE_EXCEED_ERROR",
             "width and height must be 1..16384 and pixel bytes 1 or 2"),
    0xFF61: ("USB_USERDATA_ADDR_ERROR", "user data: address + length must not exceed 1024"),
    0xFF62: ("USB_USERDATA_LEN_ERROR", "user data: at most 32 bytes per call"),
    0xFF71: ("USB_BOARD_FW_VERSION_NOT_SUPPORT_ERROR",
             "the board's firmware lacks this function (32-bit registers need USB firmware "
             "0x0314..0x03FF; triggers need a USB 2 board with controller 18.8.17 or later)"),
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
