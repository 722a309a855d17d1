#!/usr/bin/env python3
"""Capture frames with the VexoSDK module and look at them with numpy.

    capture.py [FRAMES]        (default 10)

Without hardware: VEXO_VIRTUAL_BOARDS=1 python3 capture.py
The configuration matches the default virtual board (640x480 RAW8, RGGB, sensor at 0x20).
"""
import sys

import numpy as np
import VexoSDK as sdk

CONFIG = {
    "u32CameraType": 0,
    "u32Width": 640,
    "u32Height": 480,
    "usbType": 0,
    "u8PixelBytes": 1,
    "u16Vid": 0,
    "u32Size": 0,
    "u32I2cAddr": 0x20,
    "u8PixelBits": 8,
    "emI2cMode": sdk.I2C_MODE_16_8,
    "emImageFmtMode": sdk.FORMAT_MODE_RAW,
    "u32TransLvl": 0,
}

STARTUP = [(0x0100, 0x00), (0x3012, 0x40), (0x3013, 0x02), (0x0100, 0x01)]


def main(wanted):
    count, indexes, serials = sdk.Py_Vexo_scan()
    if count == 0:
        print("no board found (VEXO_VIRTUAL_BOARDS=1 adds a virtual one)", file=sys.stderr)
        return 1
    serial = bytes(serials[0]).split(b"\0")[0].decode("ascii", "replace")
    print(f"{count} board(s); opening device {indexes[0]}, serial {serial}")

    # A handle comes back even when the open fails; it is always closed.
    status, handle, applied = sdk.Py_Vexo_open(CONFIG, indexes[0])
    try:
        if status != sdk.USB_CAMERA_NO_ERROR:
            print(f"open failed: 0x{status:04X}", file=sys.stderr)
            return 1
        for reg, value in STARTUP:
            sdk.Py_Vexo_writeSensorReg(handle, reg, value)

        width, height = applied["u32Width"], applied["u32Height"]
        sdk.Py_Vexo_beginCaptureImage(handle)
        received = failures = 0
        while received < wanted and failures < 10:
            result = sdk.Py_Vexo_captureImage(handle)
            if result > 0xFF:  # a status code, not a frame count
                failures += 1
                continue
            status, data, frame = sdk.Py_Vexo_readImage(handle)
            while status == sdk.USB_CAMERA_NO_ERROR and received < wanted:
                # A view of the library's frame buffer: no copy. It stays valid until
                # Py_Vexo_del hands the buffer back.
                mosaic = np.frombuffer(data, dtype=np.uint8).reshape(height, width)
                red = mosaic[0::2, 0::2]  # RGGB: red at even rows and columns
                print(f"frame {received}: {frame['u32Size']} bytes, "
                      f"mean {mosaic.mean():.1f}, red mean {red.mean():.1f}, "
                      f"time stamp {frame['u64Time']}")
                sdk.Py_Vexo_del(handle)
                received += 1
                status, data, frame = sdk.Py_Vexo_readImage(handle)
        sdk.Py_Vexo_endCaptureImage(handle)
        if received < wanted:
            print(f"only {received} of {wanted} frames arrived", file=sys.stderr)
            return 1
        return 0
    finally:
        sdk.Py_Vexo_close(handle)


if __name__ == "__main__":
    sys.exit(main(int(sys.argv[1]) if len(sys.argv) > 1 else 10))
