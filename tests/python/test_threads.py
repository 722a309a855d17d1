"""Many threads on several cameras at once, and threads sharing one camera while another
closes it (thread_workload.py, in an interpreter of its own so that a crash shows its stacks).
"""
import json
import subprocess
import sys
from pathlib import Path

from conftest import MODULE_DIR

WORKLOAD = Path(__file__).with_name("thread_workload.py")


def test_threads_on_cameras_of_their_own_and_on_a_shared_one():
    proc = subprocess.run([sys.executable, str(WORKLOAD), "5", str(MODULE_DIR)],
                          capture_output=True, text=True, timeout=150)
    assert proc.returncode == 0, proc.stderr[-8000:]
    result = json.loads(proc.stdout.strip().split("\n")[-1])
    assert result["errors"] == []
    counts = result["counts"]
    # each camera thread opened its board more than once and checked frames meanwhile
    assert counts["opens"] >= 8 and counts["frames"] >= 100
    assert counts["register pairs"] >= 100 and counts["user data pairs"] >= 30
    assert counts["scans"] >= 20 and counts["misuse calls refused"] >= 1000
    # the shared camera was closed under its threads several times, views read afterwards
    assert counts["shared rounds"] >= 3 and counts["shared views checked"] >= 2
    assert counts["shared frames"] >= 10
    # while a capture call waited for data, Python code and register calls ran; close waited
    assert counts["lock checks"] == 1
    assert counts["register reads while capture waits"] == 50
    assert counts["python spins while capture waits"] > 1000
    assert counts["close waited ms"] >= 500
