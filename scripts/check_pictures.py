#!/usr/bin/env python3
"""Checks that a capture left pictures a person can open.

Usage: check_pictures.py DIR COUNT

Every file in DIR must decode as an image (with Pillow, which no one here wrote), none may be
empty or a single flat colour, and there must be COUNT of them.
"""
import os
import sys

from PIL import Image


def main():
    folder, count = sys.argv[1], int(sys.argv[2])
    names = sorted(os.listdir(folder)) if os.path.isdir(folder) else []
    problems = [] if len(names) == count else [f"{len(names)} files in {folder}, not {count}"]
    for name in names:
        path = os.path.join(folder, name)
        try:
            with Image.open(path) as picture:
                picture.load()
                bands = picture.getextrema()
                if not isinstance(bands[0], tuple):  # one band: (low, high)
                    bands = (bands,)
                size = picture.size
        except Exception as error:  # noqa: BLE001 - any failure to decode is the finding
            problems.append(f"{path}: {error}")
            continue
        if min(size) == 0 or all(low == high for low, high in bands):
            problems.append(f"{path}: a {size[0]}x{size[1]} picture of one flat colour")
    for problem in problems:
        print(problem)
    print(f"check_pictures: {len(names)} pictures, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
