"""The vexo package's modules import one another without a circle, and each module a
document names is reachable as ``vexo.<module>`` after a plain ``import vexo``."""
import ast
import subprocess
import sys

from conftest import MODULE_DIR, ROOT

PACKAGE = ROOT / "python" / "vexo"


def imports(path):
    """The package modules that @path imports (relative imports, at any depth of the file)."""
    found = set()
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.ImportFrom) and node.level == 1:
            if node.module:
                found.add(node.module.split(".")[0])
            else:
                found.update(alias.name for alias in node.names)
    return found


def test_no_import_circles():
    graph = {p.stem: imports(p) for p in PACKAGE.glob("*.py")}
    circles = []

    def visit(module, path):
        for dep in sorted(graph.get(module, ())):
            if dep in path:
                circles.append(path[path.index(dep):] + [dep])
            else:
                visit(dep, path + [dep])

    for module in graph:
        visit(module, [module])
    assert circles == []


def test_documented_modules_come_with_the_package():
    code = "import vexo; print(vexo.convert.debayer.__name__, vexo.errors.check.__name__)"
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env={"PYTHONPATH": str(MODULE_DIR)}, timeout=60)
    assert (proc.returncode, proc.stdout.strip()) == (0, "debayer check"), proc.stderr
