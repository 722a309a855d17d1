#!/usr/bin/env python3
"""Checks that the tree keeps its layers: calls go one way, top to bottom.

Usage: check_layers.py SOURCE_DIR

Fails, naming each offender, when
- two files include or import each other, directly or through a chain (C/C++ includes of the
  project's own files; Python imports inside the vexo package);
- a file includes a file of a higher layer (the LAYERS table below), or a face includes another
  face's files (only the tool's commands may run the preview server);
- a CMakeLists.txt names a source file outside its own folder.
"""
import os
import re
import subprocess
import sys

# Layers from the bottom up. A file may include files of its own layer and of lower ones. The
# faces (rank 6) may include each other only as FACE_USES allows.
LAYERS = [
    ("include/vexo/", ".h", 0),  # the public C records, status codes and functions
    ("src/common/", "", 0),
    ("src/driver/", "", 1),
    ("src/usb/", "", 2),
    ("src/controls/", "", 2),
    ("src/camera/", "", 3),
    ("src/api/", "", 4),
    ("include/vexo/", ".hpp", 5),  # the C++ layer's public headers
    ("src/cpp/", "", 5),
    ("tools/cli/", "", 6),
    ("tools/preview/", "", 6),
    ("gst/", "", 6),
    ("python/", "", 6),
]
FACE_USES = {("tools/cli/", "tools/preview/")}
SOURCES = (".c", ".cpp", ".h", ".hpp")
INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]([^>"]+)[>"]', re.M)
PY_IMPORT = re.compile(r"^\s*(?:from\s+(\.+\w*|vexo(?:\.\w+)?)\s+import\s+([\w, ()]+)|"
                       r"import\s+(vexo\.\w+))", re.M)
CMAKE_SOURCE = re.compile(r"(?<![\w$])\.\./[\w./-]+\.(?:c|cpp|h|hpp)\b")


def layer(path):
    """(folder prefix, rank) of a file, or None for tests, benches, fuzzers and examples."""
    if "/tests/" in path:
        return None
    for prefix, suffix, rank in LAYERS:
        if path.startswith(prefix) and path.endswith(suffix):
            return prefix, rank
    return None


def resolve(includer, name, files):
    """The tracked file an include names, tried as the build's include paths would."""
    for base in (os.path.dirname(includer), "include", "src", "tools", "."):
        candidate = os.path.normpath(os.path.join(base, name))
        if candidate in files:
            return candidate
    return None


def include_edges(root, files):
    edges = {}
    for path in files:
        if not path.endswith(SOURCES):
            continue
        with open(os.path.join(root, path), errors="replace") as f:
            text = f.read()
        targets = {resolve(path, name, files) for name in INCLUDE.findall(text)}
        edges[path] = sorted(t for t in targets if t and t != path)
    return edges


def python_edges(root, files):
    package = "python/vexo/"
    modules = {p for p in files if p.startswith(package) and p.endswith(".py")}
    edges = {}
    for path in modules:
        with open(os.path.join(root, path)) as f:
            text = f.read()
        targets = set()
        for relative, names, absolute in PY_IMPORT.findall(text):
            module = (absolute or relative).lstrip(".").replace("vexo.", "").replace("vexo", "")
            if module:
                targets.add(package + module + ".py")
            else:  # "from . import a, b" names modules
                targets |= {package + n.strip() + ".py" for n in names.strip("()").split(",")}
        edges[path] = sorted(t for t in targets & modules if t != path)
    return edges


def cycles(edges):
    """Strongly connected components with more than one file (Tarjan, iterative)."""
    index, low, on_stack, stack, found = {}, {}, set(), [], []
    counter = 0
    for start in edges:
        if start in index:
            continue
        work = [(start, iter(edges.get(start, ())))]
        index[start] = low[start] = counter
        counter += 1
        stack.append(start)
        on_stack.add(start)
        while work:
            node, children = work[-1]
            child = next(children, None)
            if child is not None:
                if child not in index:
                    index[child] = low[child] = counter
                    counter += 1
                    stack.append(child)
                    on_stack.add(child)
                    work.append((child, iter(edges.get(child, ()))))
                elif child in on_stack:
                    low[node] = min(low[node], index[child])
                continue
            work.pop()
            if work:
                low[work[-1][0]] = min(low[work[-1][0]], low[node])
            if low[node] == index[node]:
                component = []
                while True:
                    member = stack.pop()
                    on_stack.discard(member)
                    component.append(member)
                    if member == node:
                        break
                if len(component) > 1:
                    found.append(sorted(component))
    return found


def upward(edges):
    wrong = []
    for path, targets in edges.items():
        own = layer(path)
        if own is None:
            continue
        for target in targets:
            other = layer(target)
            if other is None:
                wrong.append(f"{path} includes {target}, which is not part of the product")
            elif other[1] > own[1]:
                wrong.append(f"{path} includes {target} of a higher layer")
            elif other[1] == own[1] == 6 and other[0] != own[0] and \
                    (own[0], other[0]) not in FACE_USES:
                wrong.append(f"{path} includes {target} of another face")
    return wrong


def foreign_sources(root, files):
    wrong = []
    for path in files:
        if os.path.basename(path) != "CMakeLists.txt":
            continue
        with open(os.path.join(root, path)) as f:
            for number, line in enumerate(f, 1):
                code = line.split("#", 1)[0]
                for name in CMAKE_SOURCE.findall(code):
                    wrong.append(f"{path}:{number} compiles {name} of another folder")
    return wrong


def main():
    root = sys.argv[1]
    files = set(subprocess.run(["git", "ls-files"], cwd=root, capture_output=True, text=True,
                               check=True).stdout.split())
    if not files:
        print("check_layers: git lists no files under", root)
        return 1
    includes = include_edges(root, files)
    problems = [f"include circle: {' <-> '.join(c)}" for c in cycles(includes)]
    problems += [f"import circle: {' <-> '.join(c)}" for c in cycles(python_edges(root, files))]
    problems += upward(includes)
    problems += foreign_sources(root, files)
    for problem in problems:
        print(problem)
    print(f"check_layers: {len(includes)} files, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
