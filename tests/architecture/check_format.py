#!/usr/bin/env python3
"""Fails on any C or C++ file of the tree that the repository's .clang-format would change.

Usage: check_format.py CLANG-FORMAT SOURCE_DIR
"""
import subprocess
import sys

SOURCES = ("*.c", "*.cpp", "*.h", "*.hpp")


def main():
    tool, root = sys.argv[1], sys.argv[2]
    files = subprocess.run(["git", "ls-files", "--", *SOURCES], cwd=root, capture_output=True,
                           text=True, check=True).stdout.split()
    if not files:
        print("check_format: git lists no C or C++ files under", root)
        return 1
    unformatted = []
    for start in range(0, len(files), 50):
        batch = files[start:start + 50]
        result = subprocess.run([tool, "--dry-run", "--Werror", "--style=file", *batch], cwd=root,
                                capture_output=True, text=True)
        if result.returncode != 0:
            unformatted += sorted({line.split(":", 1)[0] for line in result.stderr.splitlines()
                                   if ": error: " in line})
    for path in unformatted:
        print(f"{path}: not formatted (clang-format -i {path})")
    print(f"check_format: {len(files)} files, {len(unformatted)} not formatted")
    return 1 if unformatted else 0


if __name__ == "__main__":
    sys.exit(main())
