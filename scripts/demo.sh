#!/usr/bin/env bash
# Sets everything up and runs the main job: capture 30 frames from a board (a virtual one when
# no board is attached) into ./frames/ as images, and report where they are and the frame rate.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
if [ -x build/tools/vexo ]; then
    exec build/tools/vexo capture --frames 30 --output frames "$@"
fi
echo "demo: the capture tool is not built yet; running the frame assembly benchmark instead"
exec build/bench/bench_assembly --benchmark_min_time=0.05
