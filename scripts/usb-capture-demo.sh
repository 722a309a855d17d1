#!/bin/sh
# Makes a USB capture of a virtual board: a few frames of the default board (640x480 RAW) read
# through real libusb on an emulated usbfs (umockdev), recorded with VEXO_USB_CAPTURE. Open the
# result in Wireshark or read it with tshark.
#   scripts/usb-capture-demo.sh OUT.pcap [FRAMES]
# VEXO_BUILD_DIR names the build directory (default: build); it needs the usb_capture_demo
# target (cmake --build build --target usb_capture_demo) and umockdev-wrapper.
set -eu
[ $# -ge 1 ] || { echo "usage: $0 OUT.pcap [FRAMES]" >&2; exit 2; }
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VEXO_BUILD_DIR:-$root/build}
demo=$build/tests/libusb/usb_capture_demo
[ -x "$demo" ] || { echo "$0: $demo is not built" >&2; exit 1; }
VEXO_USB_CAPTURE=$1 exec sh "$root/tests/libusb/usbfs_run.sh" "$demo" "${2:-3}"
