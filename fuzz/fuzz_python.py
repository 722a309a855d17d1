#!/usr/bin/env python3
"""Random-argument fuzzing of the Python side: every function of the VexoSDK module and of the
vexo package, called with random arguments, types and argument counts against virtual boards.

    fuzz/fuzz_python.py [--seconds S] [--seed N] [--run-seconds R] [--build DIR]

Runs for S seconds in all (default 10), as a series of runs of at most R seconds (default 15),
each in a fresh interpreter: the first with seed 1 unless --seed is given, the others with a
seed taken from the clock. Each seed is printed before its run starts, so a finding reproduces
with --seed N. The calls of a seed depend a little on timing (how many frames a capture call
completes), and a second thread makes its own random calls on the same handles and cameras;
--one-thread leaves it out, for findings that need no second thread.

A documented Python error is a correct answer to a wrong call: TypeError, ValueError (and
vexo.ConfigError), OverflowError, KeyError, IndexError, MemoryError, vexo.CameraError, and
the errors raised by the fuzzer's own argument objects. AttributeError is documented only for
a control name without .encode() and for controls without .contents. Findings:

- the interpreter dies (segmentation fault, abort): the run's last call and the Python stacks
  of every thread are printed;
- a call hangs (no call finished for --hang seconds, default 30): the same;
- any other exception, SystemError included, or a result of the wrong shape.

Exits 0 when no run found anything, 1 otherwise. The last line of each run reads
"seed N: C calls in T s (R calls/s), F findings".
"""
from __future__ import annotations

import argparse
import json
import mmap
import os
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]

# The boards of every run: the formats and both framings, a device that is not a board, a
# USB 2 board with triggers, one with frame faults and one that goes away.
BOARDS = {"boards": [
    {"serial": "FUZZ-RAW-0"},
    {"vendorId": 0x52CB, "productId": 0x02F1, "link": "high", "serial": "FUZZ-USB2-1",
     "boardController": {"present": True, "id": 35, "version": [18, 8, 17]},
     "stream": {"width": 320, "height": 240, "pixelBytes": 1, "format": "RAW"}},
    {"serial": "FUZZ-JPG-2", "stream": {"width": 320, "height": 240, "pixelBytes": 1,
                                        "format": "JPG"}},
    {"vendorId": 0x1234, "productId": 0x0001, "serial": "FUZZ-NOT-3"},
    {"serial": "FUZZ-YUV-4", "stream": {"width": 64, "height": 48, "pixelBytes": 2,
                                        "format": "YUV"}},
    {"productId": 0x03F2, "serial": "FUZZ-MON-5",
     "stream": {"width": 160, "height": 120, "pixelBytes": 2, "format": "MON"},
     "faults": [{"kind": "shortFrame", "atFrame": 5, "count": 3},
                {"kind": "skipIndex", "atFrame": 20}, {"kind": "corruptHeader", "atFrame": 30},
                {"kind": "longFrame", "atFrame": 40, "count": 2, "bytes": 7},
                {"kind": "controlFail", "atFrame": 50, "count": 20}]},
    {"serial": "FUZZ-GONE-6", "stream": {"width": 64, "height": 32, "format": "RAW_D"},
     "faults": [{"kind": "unplug", "atFrame": 400}]},
]}

# Status record shared with the run: calls made (8 bytes), then the text of the call in
# progress on the main thread, and from byte 4096 that of the second thread.
STATUS_BYTES = 8192
SLOT = 4096


def build_dir(arg: str | None) -> Path:
    return Path(arg or os.environ.get("VEXO_BUILD_DIR") or ROOT / "build").resolve()


# ------------------------------------------------------------------------------------------
# The supervisor: one run per seed, each in its own interpreter
# ------------------------------------------------------------------------------------------

def supervise(args: argparse.Namespace) -> int:
    build = build_dir(args.build)
    if not list((build / "python").glob("VexoSDK*.so")):
        print(f"fuzz_python: no VexoSDK module in {build / 'python'}", file=sys.stderr)
        return 2
    deadline = time.monotonic() + args.seconds
    seeds = [args.seed] if args.seed is not None else []
    total_calls = total_time = 0.0
    failed = []
    first = True
    while True:
        left = deadline - time.monotonic()
        if not first and left < 1.0:
            break
        if seeds:
            seed = seeds.pop(0)
        elif first:
            seed = 1
        else:
            seed = int(time.time() * 1000) % 1_000_000_007
        seconds = max(1.0, min(args.run_seconds, left))
        calls, spent, ok = run_one(seed, seconds, build, args)
        total_calls += calls
        total_time += spent
        if not ok:
            failed.append(seed)
        first = False
        if args.seed is not None:
            break
    rate = total_calls / total_time if total_time else 0.0
    print(f"fuzz_python: {int(total_calls)} calls in {total_time:.1f} s ({rate:.0f} calls/s), "
          f"seeds {'failed: ' + ', '.join(map(str, failed)) if failed else 'all passed'}")
    return 1 if failed else 0


def read_status(path: str) -> tuple[int, str]:
    with open(path, "rb") as f:
        raw = f.read(STATUS_BYTES)
    calls = int.from_bytes(raw[:8], "little")
    texts = [part.split(b"\0", 1)[0].decode("utf-8", "replace")
             for part in (raw[8:SLOT], raw[SLOT:])]
    return calls, "\n    ".join(t for t in texts if t)


def run_one(seed: int, seconds: float, build: Path, args: argparse.Namespace):
    print(f"seed {seed}: running {seconds:.1f} s", flush=True)
    fd, status = tempfile.mkstemp(prefix="vexo-fuzz-", suffix=".status")
    os.write(fd, bytes(STATUS_BYTES))
    os.close(fd)
    env = dict(os.environ)
    env["VEXO_VIRTUAL_BOARDS"] = json.dumps(BOARDS)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(build / "python"),
                                                      env.get("PYTHONPATH")]))
    cmd = [sys.executable, "-X", "faulthandler", __file__, "--child", "--seed", str(seed),
           "--seconds", str(seconds), "--status", status]
    if args.verbose:
        cmd.append("--verbose")
    if args.one_thread:
        cmd.append("--one-thread")
    started = time.monotonic()
    proc = subprocess.Popen(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, errors="replace", start_new_session=True)
    last_calls, last_change, hung = -1, time.monotonic(), False
    out_parts, err_parts = [], []
    import threading
    readers = [threading.Thread(target=lambda s=s, p=p: p.append(s.read()), daemon=True)
               for s, p in ((proc.stdout, out_parts), (proc.stderr, err_parts))]
    for r in readers:
        r.start()
    while proc.poll() is None:
        time.sleep(0.2)
        calls, _ = read_status(status)
        now = time.monotonic()
        if calls != last_calls:
            last_calls, last_change = calls, now
        elif now - last_change > args.hang:
            hung = True
            os.kill(proc.pid, signal.SIGUSR1)   # the run's faulthandler prints every stack
            time.sleep(1.0)
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
            break
        if now - started > seconds + args.hang + 60:  # a run that ignores its own end
            hung = True
            os.kill(proc.pid, signal.SIGUSR1)
            time.sleep(1.0)
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
            break
    for r in readers:
        r.join(10)
    spent = time.monotonic() - started
    out, err = "".join(out_parts), "".join(err_parts)
    calls, last_call = read_status(status)
    os.unlink(status)
    summary = None
    for line in out.splitlines():
        if line.startswith("FUZZ-SUMMARY "):
            summary = json.loads(line[len("FUZZ-SUMMARY "):])
    ok = proc.returncode == 0 and not hung and summary is not None
    if summary is not None:
        calls = summary["calls"]
        spent = summary["seconds"]
    if args.verbose:
        for line in out.splitlines():
            if not line.startswith("FUZZ-SUMMARY "):
                print(f"  {line}")
    if hung:
        print(f"seed {seed}: HANG: no call finished for {args.hang} s")
    elif proc.returncode < 0:
        print(f"seed {seed}: CRASH: the interpreter died of signal "
              f"{signal.Signals(-proc.returncode).name}")
    elif proc.returncode != 0 or summary is None:
        print(f"seed {seed}: the run failed with exit status {proc.returncode}")
    if not ok:
        print(f"  after {calls} calls; the calls in progress:\n    {last_call}")
        print("  " + err.strip()[-20000:].replace("\n", "\n  "))
        print(f"  reproduce: VEXO_BUILD_DIR={build} {sys.executable} fuzz/fuzz_python.py "
              f"--seed {seed} --seconds {seconds:.0f}{' --one-thread' if args.one_thread else ''}")
    findings = summary["findings"] if summary else err.count("FINDING (")
    rate = calls / spent if spent else 0.0
    coverage = ""
    if summary:
        coverage = (f" ({summary['returned']} returned, {summary['raised']} raised; "
                    f"{summary['frames']} frames), VexoSDK functions called {summary['sdk_covered']}/"
                    f"{summary['sdk_functions']}, {summary['package_calls']} vexo package calls")
        if summary["sdk_missing"]:
            coverage += f" (not called: {', '.join(summary['sdk_missing'])})"
    print(f"seed {seed}: {calls} calls in {spent:.1f} s ({rate:.0f} calls/s), "
          f"{findings} findings{coverage}", flush=True)
    return calls, spent, ok


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--seed", type=int)
    parser.add_argument("--run-seconds", type=float, default=15.0)
    parser.add_argument("--hang", type=float, default=30.0)
    parser.add_argument("--build")
    parser.add_argument("--verbose", action="store_true", help="print every call")
    parser.add_argument("--one-thread", action="store_true",
                        help="no second thread: the calls of a seed repeat more exactly")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--status", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        import fuzz_python_run
        return fuzz_python_run.run(args.seed, args.seconds, args.status, args.verbose,
                                   not args.one_thread)
    return supervise(args)


if __name__ == "__main__":
    sys.exit(main())
