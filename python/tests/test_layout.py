"""The package's modules: their imports go one way, and the package
imports with numpy only."""

import ast
import os
import subprocess
import sys
from pathlib import Path

import quendix

PACKAGE = Path(quendix.__file__).parent
MODULES = sorted(path.stem for path in PACKAGE.glob("*.py"))


def package_imports(module):
    """The package's modules that `module` imports, at its top or inside
    its functions alike."""
    tree = ast.parse((PACKAGE / (module + ".py")).read_text(encoding="utf-8"))
    found = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.ImportFrom) and node.level == 1:
            if node.module:
                found.add(node.module.split(".")[0])
            else:
                found.update(alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom) and node.level == 0 and (node.module or "").startswith("quendix"):
            found.add(node.module.split(".")[1] if "." in node.module else "__init__")
        elif isinstance(node, ast.Import):
            found.update(alias.name.split(".")[1] for alias in node.names if alias.name.startswith("quendix."))
    return found & set(MODULES)


def test_no_module_imports_itself_through_others():
    graph = {module: package_imports(module) for module in MODULES}
    assert "recording" in graph["__init__"]  # the parse finds imports at all
    done, path = set(), []

    def visit(module):
        if module in path:
            raise AssertionError("an import circle: %s" % " -> ".join(path[path.index(module):] + [module]))
        if module in done:
            return
        path.append(module)
        for imported in sorted(graph[module]):
            visit(imported)
        path.pop()
        done.add(module)

    for module in MODULES:
        visit(module)


def test_the_package_imports_with_numpy_only():
    script = ("import sys, quendix, quendix.__main__\n"
              "print(' '.join(sorted({'pandas', 'dask', 'distributed', 'matplotlib', 'h5py'}"
              " & set(sys.modules))))")
    paths = [str(PACKAGE.parent)] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          env=dict(os.environ, PYTHONPATH=os.pathsep.join(paths)))
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == ""
