#!/usr/bin/env python3
"""Runs clang's thread-safety analysis over the library and the preview server.

Usage: check_thread_safety.py CLANG++ BUILD_DIR SOURCE_DIR

Each source file of src/ and tools/preview/ that includes the annotations (as its
dependency file from the last build says; a file without one is checked anyway) is compiled
with -fsyntax-only -Wthread-safety -Werror and the include paths and definitions its entry in
BUILD_DIR/compile_commands.json has. First, a file that writes a guarded member without its lock must be refused: otherwise
the annotations would not reach clang and the check would pass whatever the code does.
"""
import concurrent.futures
import json
import os
import shlex
import subprocess
import sys

CHECKED = ("src/", "tools/preview/")
ANNOTATIONS = "common/thread_annotations.h"
FLAGS = ["-fsyntax-only", "-Wthread-safety", "-Werror"]


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


def uses_annotations(entry):
    """False when the build's dependency file of the entry's object lacks the annotations."""
    output = entry.get("output")
    if output is None:
        words = entry["arguments"] if "arguments" in entry else shlex.split(entry["command"])
        output = words[words.index("-o") + 1] if "-o" in words else None
    if output is None:
        return True
    try:
        with open(os.path.join(entry["directory"], output + ".d")) as f:
            return ANNOTATIONS in f.read()
    except OSError:
        return True


def clang(compiler, entry, source, flags):
    run = subprocess.run([compiler, *FLAGS, *flags, *arguments(entry), source],
                         cwd=entry["directory"], capture_output=True, text=True)
    return run.returncode, run.stdout + run.stderr


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
            if uses_annotations(entry):
                checked.setdefault(relative, (entry, path))
    if not checked:
        print("no source of src/ or tools/preview/ uses the annotations")
        return 1

    entry = next(e for e, _ in checked.values())
    probe = os.path.join(os.path.dirname(os.path.abspath(__file__)), "unguarded_write.cpp")
    status, output = clang(compiler, entry, probe, ["-I", os.path.join(root, "src")])
    if status == 0 or "requires holding mutex" not in output:
        print("the analysis did not refuse an unguarded write:\n" + output)
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
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
