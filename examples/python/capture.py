#!/usr/bin/env python3
"""Capture frames with the vexo package and look at them with numpy.

    capture.py [FRAMES [CONFIG-FILE]]        (default 10 frames, the default virtual board)

Without hardware: VEXO_VIRTUAL_BOARDS=1 python3 capture.py
Without a configuration file the camera is set up as the default virtual board (640x480 RAW8,
RGGB, sensor at 0x20), as examples/configs/virtual-default.cfg describes it.
"""
import sys

import vexo


def main(wanted, config=None):
    boards = vexo.scan()
    if not boards:
        print("no board found (VEXO_VIRTUAL_BOARDS=1 adds a virtual one)", file=sys.stderr)
        return 1
    print(f"{len(boards)} board(s); opening device {boards[0].index}, "
          f"serial {boards[0].serial}")

    try:
        # Opens the first board and writes the configuration's start-up registers.
        with vexo.open(config=config) as cam:
            received = 0
            # Each frame is a view of the library's frame buffer (no copy), lent until the
            # loop asks for the next one; leaving the loop ends capture.
            for frame in cam.frames(wanted):
                image = frame.array
                line = f"frame {received}: {frame.size} bytes, mean {image.mean():.1f}"
                if frame.format == vexo.Format.RAW:
                    rgb = frame.to_rgb()  # debayered, in the configuration's Bayer order
                    line += f", red mean {rgb[..., 0].mean():.1f}"
                print(f"{line}, time stamp {frame.timestamp}")
                received += 1
    except vexo.CameraError as e:
        print(f"capture failed: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    frames = int(sys.argv[1]) if len(sys.argv) > 1 else 10
    sys.exit(main(frames, sys.argv[2] if len(sys.argv) > 2 else None))
