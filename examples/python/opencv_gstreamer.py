#!/usr/bin/env python3
"""Frames of a Vexo board in OpenCV, through GStreamer and the vexosrc element.

    GST_PLUGIN_PATH=build/gst VEXO_VIRTUAL_BOARDS=1 python3 examples/python/opencv_gstreamer.py 10

Reads COUNT frames (default 10) of the first board with the default configuration (640x480
RAW8 RGGB; pass a configuration file as the second argument for another RAW sensor), prints the
colour of the middle of each of the eight bars a virtual board draws and saves the last frame
as vexo-opencv.png. OpenCV must be built with GStreamer (Debian's python3-opencv is).
"""
import sys

import cv2


def main() -> int:
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 10
    config = f" config={sys.argv[2]}" if len(sys.argv) > 2 else ""
    # bayer2rgb turns the mosaic into colour; appsink hands OpenCV BGR frames, keeping only the
    # newest two so a slow reader sees current pictures rather than a backlog.
    pipeline = (
        f"vexosrc{config} ! bayer2rgb ! videoconvert ! video/x-raw,format=BGR ! "
        "appsink drop=true max-buffers=2"
    )
    capture = cv2.VideoCapture(pipeline, cv2.CAP_GSTREAMER)
    if not capture.isOpened():
        print("cannot open the pipeline: is OpenCV built with GStreamer, and GST_PLUGIN_PATH set?",
              file=sys.stderr)
        return 1
    image = None
    for number in range(count):
        ok, image = capture.read()
        if not ok:
            print(f"frame {number}: the pipeline ended (see GStreamer's messages)", file=sys.stderr)
            return 1
        height, width = image.shape[:2]
        row = image[height // 2]
        bars = [tuple(int(c) for c in row[(2 * bar + 1) * width // 16][::-1]) for bar in range(8)]
        print(f"frame {number}: {width}x{height}, bar colours (RGB) {bars}")
    capture.release()
    cv2.imwrite("vexo-opencv.png", image)
    print("saved vexo-opencv.png")
    return 0


if __name__ == "__main__":
    sys.exit(main())
