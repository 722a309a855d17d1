"""vexo: Python access to Vexo camera boards, on top of the VexoSDK module.

    import vexo
    with vexo.open() as cam:                 # first board; or index=..., serial=...
        for frame in cam.frames(10):
            print(frame.timestamp, frame.array.mean())
        rgb = cam.frame().to_rgb()

Camera failures raise :class:`CameraError` with the status code's name. See
docs/python-package.md.
"""
from . import convert  # vexo.convert, as the guide names it, after a plain "import vexo"
from .camera import BoardInfo, Camera, Registers, UserData, open, scan
from .config import (BoardCommand, Config, ConfigError, RegisterStep, default_config,
                     load_config, parse_config)
from .controls import Control, ControlInfo, Controls
from .enums import Bayer, Format, I2cMode, TriggerMode
from .errors import CameraError, status_hint, status_name
from .frames import Frame
from .isp import AutoExposure, Isp
from .sync import SyncFrame, SyncGroup, SyncSet  # several boards as one rig (docs/sync.md)
from .hotplug import (BoardEvent, BoardMonitor, Gap, awatch, board_changes, wait_for_board,
                      watch)

__all__ = [
    "scan", "open", "Camera", "BoardInfo", "Registers", "UserData", "Frame", "Isp",
    "AutoExposure",
    "CameraError", "status_name", "status_hint",
    "Config", "ConfigError", "RegisterStep", "BoardCommand", "load_config", "parse_config",
    "default_config", "Control", "ControlInfo", "Controls", "Format", "I2cMode", "Bayer", "TriggerMode",
    "watch", "awatch", "BoardEvent", "BoardMonitor", "Gap", "board_changes", "wait_for_board",
]
