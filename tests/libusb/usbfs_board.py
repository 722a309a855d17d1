"""What the Python tests on the emulated usbfs share: the vexo_usbfs_board helper, loaded into
this process with ctypes, which puts boards on the emulated usbfs (plug, unplug, and a check of
a frame against the board's picture), and the build's Python module directory on the path.

Imported by test files that run under umockdev-wrapper; skips them when VexoSDK is not built.
"""
import ctypes
import os
import sys
from pathlib import Path

import pytest

BUILD = Path(os.environ["VEXO_BUILD_DIR"])
HELPER = ctypes.CDLL(os.environ["VEXO_USBFS_BOARD"])
HELPER.vexo_usbfs_frame_matches.argtypes = [ctypes.c_char_p, ctypes.c_uint32]

if os.environ.get("VEXO_PYTHON_MODULE_BUILT") != "1":
    pytest.skip("VexoSDK is not built in this tree", allow_module_level=True)
sys.path.insert(0, str(BUILD / "python"))

# The size of every board the tests plug.
WIDTH, HEIGHT = 64, 32
