"""Shared set-up of the VexoSDK tests: the virtual boards of this process and the module.

The library reads VEXO_VIRTUAL_BOARDS once, before its first scan or open, so the document
below is set before VexoSDK is imported and describes every board the tests use. Tests that
need boards of their own (no board at all, an unplugged board) run a short subprocess.
"""
import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("VEXO_BUILD_DIR", ROOT / "build"))
MODULE_DIR = BUILD / "python"

# Device indices on the virtual bus, in the order below.
RAW_USB3 = 0     # default USB 3 board: chunk framing, RAW 640x480, 1 pixel byte
USB2_TRIG = 1    # USB 2 board, trailer framing, board controller that supports triggers
JPG_USB3 = 2     # JPEG stream
NOT_A_BOARD = 3  # a device of vendor 0x1234
YUV_USB3 = 4     # YUV 64x48, 2 pixel bytes
MON_TRAILER = 5  # USB 3 product with trailer framing, MON 160x120

BOARDS = {
    "boards": [
        {"serial": "VEXO-PY-RAW-0001"},
        {
            "vendorId": 0x52CB, "productId": 0x02F1, "link": "high",
            "serial": "VEXO-PY-USB2-002",
            "boardController": {"present": True, "id": 35, "version": [18, 8, 17]},
            "stream": {"width": 320, "height": 240, "pixelBytes": 1, "format": "RAW"},
        },
        {
            "serial": "VEXO-PY-JPG-0003",
            "stream": {"width": 320, "height": 240, "pixelBytes": 1, "format": "JPG"},
        },
        {"vendorId": 0x1234, "productId": 0x0001, "serial": "NOT-A-BOARD"},
        {
            "serial": "VEXO-PY-YUV-0005",
            "stream": {"width": 64, "height": 48, "pixelBytes": 2, "format": "YUV"},
        },
        {
            "productId": 0x03F2, "serial": "VEXO-PY-MON-0006",
            "stream": {"width": 160, "height": 120, "pixelBytes": 1, "format": "MON"},
        },
    ]
}

os.environ["VEXO_VIRTUAL_BOARDS"] = json.dumps(BOARDS)
sys.path.insert(0, str(MODULE_DIR))

import VexoSDK  # noqa: E402  (needs the environment above)

# The namespace as the import left it (tests may rebind constants later).
NAMESPACE_AT_IMPORT = list(vars(VexoSDK))

FORMAT = {"RAW": 0, "RGB": 1, "YUV": 2, "JPG": 3, "MON": 4, "RAW_D": 5, "MON_D": 6}


def config(width=640, height=480, pixel_bytes=1, fmt="RAW", **extra):
    """A configuration dict for the boards above."""
    cfg = {
        "u32CameraType": 0x1234,
        "u32Width": width,
        "u32Height": height,
        "usbType": 0,
        "u8PixelBytes": pixel_bytes,
        "u16Vid": 0x0C45,
        "u32Size": 0,
        "u32I2cAddr": 0x20,
        "u8PixelBits": 8 * pixel_bytes,
        "emI2cMode": VexoSDK.I2C_MODE_16_16,
        "emImageFmtMode": FORMAT[fmt] if isinstance(fmt, str) else fmt,
        "u32TransLvl": 0,
    }
    cfg.update(extra)
    return cfg


BOARD_CONFIGS = {
    RAW_USB3: config(),
    USB2_TRIG: config(320, 240),
    JPG_USB3: config(320, 240, 1, "JPG"),
    YUV_USB3: config(64, 48, 2, "YUV"),
    MON_TRAILER: config(160, 120, 1, "MON"),
}


class Camera:
    """An opened board; closed at the end of the test unless the test closed it."""

    def __init__(self, index, cfg=None):
        self.cfg = dict(cfg or BOARD_CONFIGS[index])
        self.rc, self.handle, self.opened = VexoSDK.Py_Vexo_open(self.cfg, index)
        self.closed = False
        self.capturing = False

    def begin(self):
        assert VexoSDK.Py_Vexo_beginCaptureImage(self.handle) == 0
        self.capturing = True

    def end(self):
        if self.capturing:
            VexoSDK.Py_Vexo_endCaptureImage(self.handle)
            self.capturing = False

    def capture_until(self, frames=1, calls=2000):
        """Runs the capture loop until @frames frames are queued; returns the queue length."""
        for _ in range(calls):
            VexoSDK.Py_Vexo_captureImage(self.handle)
            if VexoSDK.Py_Vexo_availableImage(self.handle) >= frames:
                break
        return VexoSDK.Py_Vexo_availableImage(self.handle)

    def close(self):
        if not self.closed:
            self.end()
            # A single frame or a test leaves the board in trigger mode, which outlasts the
            # close: give the next test a streaming board.
            if VexoSDK.Py_Vexo_readReg_8_8(self.handle, 0x46, 8)[1] & 0x80:
                VexoSDK.Py_Vexo_setMode(self.handle, VexoSDK.CONTINUOUS_MODE)
            assert VexoSDK.Py_Vexo_close(self.handle) == 0
            self.closed = True


@pytest.fixture
def open_camera():
    """Opens a board by device index: open_camera(index[, cfg])."""
    cameras = []

    def opener(index=RAW_USB3, cfg=None):
        cam = Camera(index, cfg)
        cameras.append(cam)
        assert cam.rc == 0, hex(cam.rc)
        return cam

    yield opener
    for cam in cameras:
        cam.close()


@pytest.fixture
def camera(open_camera):
    """The default RAW USB 3 board, opened."""
    return open_camera(RAW_USB3)


def run_python(code, boards):
    """Runs @code in a fresh interpreter with its own virtual boards (None: no variable).
    Returns the completed process; the code prints what the test checks."""
    env = dict(os.environ)
    env.pop("VEXO_VIRTUAL_BOARDS", None)
    if boards is not None:
        env["VEXO_VIRTUAL_BOARDS"] = json.dumps(boards)
    prelude = f"import sys\nsys.path.insert(0, {str(MODULE_DIR)!r})\nimport VexoSDK\n"
    return subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=120)
