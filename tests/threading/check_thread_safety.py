#!/usr/bin/env python3
"""Runs clang's thread-safety analysis over the library, the C++ layer, the preview server and
the GStreamer source.

Usage: check_thread_safety.py CLANG++ BUILD_DIR SOURCE_DIR

Each source file of src/, tools/preview/ and gst/ that takes an annotated lock or
names what one guards (itself or in its own header) is compiled with -fsyntax-only
-Wthread-safety -Werror and the include paths and definitions its entry in
BUILD_DIR/compile_commands.json has. The Windows backend (src/driver/win32/), which only a
Windows build compiles, is checked the same way with clang targeting MinGW-w64, when
g++-mingw-w64 has installed that target's C++ library and Windows headers.
First, a file that writes a guarded member without its lock, and one under a reader's shared
lock, must be refused: otherwise the annotations would not reach clang and the check would pass
whatever the code does.
"""
import concurrent.futures
import glob
import json
import os
import re
import shlex
import subprocess
import sys

CHECKED = ("src/", "tools/preview/", "gst/")
WINDOWS = "src/driver/win32"
MINGW = "x86_64-w64-mingw32"
MARKS = re.compile(r"\b(MutexLock|SharedLock|ExclusiveLock)\b|\bVEXO_(GUARDED_BY|PT_GUARDED_BY|"
                   r"REQUIRES|REQUIRES_SHARED|EXCLUDES|ACQUIRE|ACQUIRE_SHARED|RELEASE|"
                   r"RELEASE_SHARED|TRY_ACQUIRE|ASSERT_CAPABILITY|RETURN_CAPABILITY)\b")
FLAGS = ["-fsyntax-only", "-Wthread-safety", "-Werror"]
# Files whose locks must stay in the check when they are built: one that stopped using the
# annotations would otherwise drop out of it silently.
REQUIRED = ("src/cpp/recorder.cpp",)


def arguments(entry):
    """The entry's include paths, definitions and language standard."""
    words = entry["arguments"] if "arguments" in entry else shlex.split(entry["command"])
    kept, words = [], iter(words[1:])
    for word in words:
        if word in ("-I", "-isystem", "-D", "-include"):
            kept += [word, next(words)]
        elif word.startswith(("-I", "-D", "-std=", "-isystem")):
            kept.append(word)
    return kept


def uses_annotations(path):
    """True when the source, or its own header next to it, takes an annotated lock or names
    what one guards: the functions that do live in the files of their class."""
    stem, _ = os.path.splitext(path)
    for name in (path, stem + ".h", stem + ".hpp"):
        try:
            with open(name, errors="replace") as f:
                if MARKS.search(f.read()):
                    return True
        except OSError:
            pass
    return False


def clang(compiler, entry, source, flags):
    run = subprocess.run([compiler, *FLAGS, *flags, *arguments(entry), source],
                         cwd=entry["directory"], capture_output=True, text=True)
    return run.returncode, run.stdout + run.stderr


def mingw_arguments(root):
    """Flags that let clang compile the Windows backend here: MinGW-w64's C++ library (the
    POSIX-threads flavour has std::thread) and Windows headers, as g++-mingw-w64 installs them;
    None when they are missing."""
    libraries = sorted(glob.glob(f"/usr/lib/gcc/{MINGW}/*/include/c++"),
                       key=lambda path: ("posix" not in path, path))
    headers = f"/usr/{MINGW}/include"
    if not libraries or not os.path.isdir(headers):
        return None
    cxx = libraries[0]
    return [f"--target={MINGW}", "-std=c++20", "-isystem", cxx, "-isystem",
            os.path.join(cxx, MINGW), "-isystem", headers, "-I", os.path.join(root, "src"),
            "-I", os.path.join(root, "include")]


def check_windows(compiler, root):
    """(files checked, files failed) of the Windows backend; None when it cannot be checked."""
    flags = mingw_arguments(root)
    if flags is None:
        return None
    sources = [path for path in sorted(glob.glob(os.path.join(root, WINDOWS, "*.cpp")))
               if uses_annotations(path)]
    failed = 0
    for path in sources:
        run = subprocess.run([compiler, *FLAGS, *flags, path], cwd=root, capture_output=True,
                             text=True)
        if run.returncode != 0:
            failed += 1
            print(f"{os.path.relpath(path, root)} (MinGW-w64):\n{run.stdout + run.stderr}")
    return len(sources), failed


def main():
    compiler, build, root = sys.argv[1:4]
    root = os.path.realpath(root)
    with open(os.path.join(build, "compile_commands.json")) as f:
        entries = json.load(f)
    checked, sources = {}, set()
    for entry in entries:
        path = os.path.realpath(os.path.join(entry["directory"], entry["file"]))
        relative = os.path.relpath(path, root)
        if relative.startswith(CHECKED):
            sources.add(relative)
            if uses_annotations(path):
                checked.setdefault(relative, (entry, path))
    if not checked:
        print("no source of src/ or tools/preview/ uses the annotated locks")
        return 1
    missing = [name for name in REQUIRED if name in sources and name not in checked]
    if missing:
        print("built but not checked (no annotated lock): " + ", ".join(missing))
        return 1

    entry = next(e for e, _ in checked.values())
    probe = os.path.join(os.path.dirname(os.path.abspath(__file__)), "unguarded_write.cpp")
    status, output = clang(compiler, entry, probe, ["-I", os.path.join(root, "src")])
    if status == 0 or any(f"requires holding {kind} '" not in output
                          for kind in ("mutex", "shared mutex")):
        print("the analysis did not refuse a write without its (exclusive) lock:\n" + output)
        return 1

    failed = 0
    with concurrent.futures.ThreadPoolExecutor(os.cpu_count() or 2) as pool:
        runs = {name: pool.submit(clang, compiler, entry, path, [])
                for name, (entry, path) in sorted(checked.items())}
        for name, run in runs.items():
            status, output = run.result()
            if status != 0:
                failed += 1
                print(f"{name}:\n{output}")
    print(f"{len(checked) - failed} of {len(checked)} files that use the annotations pass "
          f"-Wthread-safety ({len(sources) - len(checked)} files do not use them)")
    windows = check_windows(compiler, root)
    if windows is None:
        print(f"{WINDOWS}: not checked (no MinGW-w64 C++ headers: g++-mingw-w64-x86-64-posix)")
    else:
        count, broken = windows
        failed += broken
        print(f"{WINDOWS}: {count - broken} of {count} files pass -Wthread-safety for MinGW-w64")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
