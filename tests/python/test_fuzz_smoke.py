"""A short run of the Python fuzzer (fuzz/fuzz_python.py; scripts/fuzz.sh runs it longer): one
fixed seed and one taken from the clock must find nothing. Modules with a planted fault show
that the fuzzer reports a crash, a hang and an undocumented exception, with the call."""
import os
import re
import subprocess
import sys
import textwrap
import time

import pytest

from conftest import BUILD, MODULE_DIR, ROOT

FUZZER = ROOT / "fuzz" / "fuzz_python.py"
RESULT = re.compile(r"^seed (\d+): (\d+) calls in ([\d.]+) s \((\d+) calls/s\), (\d+) findings"
                    r".*VexoSDK functions called (\d+)/(\d+)", re.M)


def fuzz(build, *args, timeout=180):
    proc = subprocess.run([sys.executable, str(FUZZER), "--build", str(build), *args],
                          capture_output=True, text=True, timeout=timeout)
    return proc, proc.stdout + proc.stderr


@pytest.mark.parametrize("seed", [1, None], ids=["fixed-seed", "clock-seed"])
def test_fuzz_run_finds_nothing(seed):
    if seed is None:
        seed = time.time_ns() % 1_000_000_007
    proc, out = fuzz(BUILD, "--seed", str(seed), "--seconds", "3")
    assert proc.returncode == 0, out
    found = RESULT.search(out)
    assert found, out
    calls, findings, called, functions = (int(found.group(i)) for i in (2, 5, 6, 7))
    assert int(found.group(1)) == seed
    assert findings == 0
    assert calls >= 200, out
    assert functions >= 37 and called >= functions - 3, out


PLANTED = """
import importlib.machinery, importlib.util, os, sys, time
_self = sys.modules[__name__]
_real = {real!r}
_loader = importlib.machinery.ExtensionFileLoader("VexoSDK", _real)
_module = importlib.util.module_from_spec(importlib.util.spec_from_loader("VexoSDK", _loader))
_loader.exec_module(_module)
globals().update({{k: v for k, v in vars(_module).items() if not k.startswith("__")}})
sys.modules[__name__] = _self  # loading the extension put it in the import table

def Py_Vexo_isFrameReady(handle):
    fault = os.environ["PLANTED_FAULT"]
    if fault == "crash":
        import ctypes
        ctypes.string_at(0)
    if fault == "hang":
        time.sleep(3600)
    if fault == "error":
        raise SystemError("planted")
    return _module.Py_Vexo_isFrameReady(handle)
"""


@pytest.fixture(scope="module")
def planted_build(tmp_path_factory):
    """A build directory whose VexoSDK is the real one with isFrameReady replaced."""
    build = tmp_path_factory.mktemp("planted")
    (build / "python").mkdir()
    real = next(MODULE_DIR.glob("VexoSDK*.so"))
    (build / "python" / "VexoSDK.py").write_text(PLANTED.format(real=str(real)))
    (build / "python" / "VexoSDK.planted.so").write_bytes(b"")  # what the fuzzer looks for
    os.symlink(MODULE_DIR / "vexo", build / "python" / "vexo")
    return build


@pytest.mark.parametrize("fault,words", [
    ("crash", "CRASH: the interpreter died of signal SIG"),  # SEGV, or ABRT under ASan
    ("hang", "HANG: no call finished for 2.0 s"),
    ("error", "FINDING (SystemError)"),
])
def test_planted_faults_are_reported_with_the_call(planted_build, fault, words, monkeypatch):
    monkeypatch.setenv("PLANTED_FAULT", fault)
    proc, out = fuzz(planted_build, "--seed", "3", "--seconds", "3", "--hang", "2",
                     "--one-thread")
    assert proc.returncode == 1, out
    assert words in out
    assert "Py_Vexo_isFrameReady(" in out
    if fault != "error":
        assert re.search(r"calls in progress:\n\s+\[MainThread\] Py_Vexo_isFrameReady\(", out), out
        assert "--seed 3" in out  # how to run it again
