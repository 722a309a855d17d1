#!/usr/bin/env bash
# Sets everything up and runs the main job: capture 30 frames from a board (a virtual one when
# no board is attached: the tool says so) into ./frames/ as images, and report where they are
# and the frame rate. Extra arguments go to 'vexo capture' (for instance --config FILE).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --demo
exec build-demo/tools/vexo capture --frames 30 --output frames "$@"
