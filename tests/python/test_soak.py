"""Concurrency soak: five threads on one camera in random order, closed and opened again under
them, on self-checking frames of both framings (soak_workload.py, in an interpreter of its own).

A short run by default; VEXO_PY_SOAK_SECONDS sets a longer one (per framing), and
VEXO_PY_SOAK_SEED a seed (default: from the clock, shown on failure).
"""
import json
import os
import subprocess
import sys
import time
from pathlib import Path

import pytest

from conftest import MODULE_DIR

WORKLOAD = Path(__file__).with_name("soak_workload.py")
SECONDS = float(os.environ.get("VEXO_PY_SOAK_SECONDS", "3"))


@pytest.mark.parametrize("framing", ["chunk", "trailer"])
def test_soak(framing):
    seed = int(os.environ.get("VEXO_PY_SOAK_SEED", time.time_ns() % 1_000_000))
    proc = subprocess.run(
        [sys.executable, str(WORKLOAD), str(SECONDS), framing, str(seed), str(MODULE_DIR)],
        capture_output=True, text=True, timeout=SECONDS + 120)
    where = f"{framing} framing, seed {seed}, exit {proc.returncode}"
    assert proc.returncode == 0, f"{where}\n{proc.stderr[-8000:]}"
    result = json.loads(proc.stdout.split("RESULT ", 1)[1].splitlines()[0])
    assert result["errors"] == [], where
    counts = result["counts"]
    # frames flowed over more than one open camera, and every kind of call ran
    assert counts["sessions"] >= 2 and counts["frames checked"] >= 20, counts
    for kind in ("setCtrl scans", "registrations", "refused reconfigurations", "register pairs"):
        assert counts.get(kind, 0) >= 1, counts
