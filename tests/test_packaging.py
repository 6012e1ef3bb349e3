"""One version everywhere, and what the installed distribution holds."""

import importlib.metadata
import re
import tomllib
from pathlib import Path

import pytest

import tonalis
import tonalis_tools

ROOT = Path(__file__).resolve().parent.parent
# The import names are tonalis and tonalis_tools; "tonalis" on PyPI is another project.
DISTRIBUTION = "tonalis-dither"

PUBLIC = [
    "__version__",
    "dither",
    "ordered_dither",
    "error_diffusion",
    "random_dither",
    "available_matrices",
    "available_methods",
]


@pytest.fixture(scope="module")
def distribution():
    try:
        return importlib.metadata.distribution(DISTRIBUTION)
    except importlib.metadata.PackageNotFoundError:
        pytest.skip(f"{DISTRIBUTION} is not installed (imported from a build tree)")


def test_versions_agree():
    assert tonalis_tools.__version__ == tonalis.__version__ == "0.2.0"


def test_metadata_version_comes_from_the_module_source():
    pyproject = ROOT / "pyproject.toml"
    if not pyproject.is_file():
        pytest.skip("no source tree beside the tests")
    config = tomllib.loads(pyproject.read_text())
    assert "version" in config["project"]["dynamic"] and "version" not in config["project"]
    provider = config["tool"]["scikit-build"]["metadata"]["version"]
    source = (ROOT / provider["input"]).read_text()
    matches = re.findall(provider["regex"], source)
    assert matches == [tonalis.__version__]


def test_installed_version_and_entry_point(distribution):
    assert distribution.version == tonalis.__version__
    scripts = {
        ep.name: ep.value for ep in distribution.entry_points if ep.group == "console_scripts"
    }
    assert scripts == {"tonalis": "tonalis_tools.cli:main"}


@pytest.mark.parametrize(
    "name",
    [
        "tonalis-stubs/__init__.pyi",
        "tonalis.pyi",
        "tonalis_tools/py.typed",
        "tonalis_tools/cli/__init__.py",
        "tonalis_tools/cli/commands.py",
        "tonalis_tools/palettes/presets.py",
        "tonalis_tools/io/animation.py",
        "tonalis_tools/data/coffee.png",
        "tonalis_tools/data/README.md",
    ],
)
def test_installed_files(distribution, name):
    assert name in {str(f) for f in distribution.files}


def test_installed_licence_and_classifiers(distribution):
    licence = [f for f in distribution.files if f.name == "LICENSE"]
    assert licence and "Copyright (c) 2026 the tonalis developers" in licence[0].read_text()
    assert distribution.metadata["License-Expression"] == "MIT"
    classifiers = set(distribution.metadata.get_all("Classifier"))
    assert {f"Programming Language :: Python :: 3.{minor}" for minor in (11, 12, 13)} <= classifiers
    assert "Programming Language :: Python :: Free Threading :: 2 - Beta" in classifiers


def test_companion_leaves_the_module_alone():
    import tonalis_tools.cli  # noqa: F401
    import tonalis_tools.dask_batch  # noqa: F401
    import tonalis_tools.gallery  # noqa: F401

    assert tonalis.__all__ == PUBLIC
    assert sorted(n for n in dir(tonalis) if not n.startswith("_")) == sorted(PUBLIC[1:])


def _module_name(package, path):
    parts = path.relative_to(package).with_suffix("").parts
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def _sibling_imports(package, path, modules):
    """The modules of tonalis_tools one of them imports, when it loads or
    inside its functions (not those for the type checker only)."""
    import ast

    name = _module_name(package, path)
    here = name.split(".") if path.stem == "__init__" else name.split(".")[:-1]
    if name == "":
        here = []
    found = set()
    for node in ast.parse(path.read_text(encoding="utf-8")).body:
        if isinstance(node, ast.If) and "TYPE_CHECKING" in ast.unparse(node.test):
            continue
        for inner in ast.walk(node):
            if not isinstance(inner, ast.ImportFrom) or inner.level == 0:
                continue
            base = here[: len(here) - (inner.level - 1)]
            target = ".".join([*base, *([inner.module] if inner.module else [])])
            # A module, or the names of a package, some of which are modules.
            for candidate in [target] + [f"{target}.{a.name}".lstrip(".") for a in inner.names]:
                # The package itself loads every module: it is no dependency.
                if candidate in modules and candidate not in ("", name):
                    found.add(candidate)
    return found


def test_modules_of_the_companion_import_each_other_without_cycles():
    package = Path(tonalis_tools.__file__).parent
    paths = {_module_name(package, path): path for path in package.rglob("*.py")}
    # The modules kept at their former names only stand for the moved ones.
    moved = {name for name, path in paths.items() if "sys.modules[__name__]" in path.read_text()}
    graph = {
        name: _sibling_imports(package, path, set(paths)) - moved
        for name, path in paths.items()
        if name not in moved
    }
    finished, visiting = set(), []

    def visit(name):
        if name in finished:
            return
        assert name not in visiting, "import cycle: " + " -> ".join([*visiting, name])
        visiting.append(name)
        for other in sorted(graph[name]):
            visit(other)
        visiting.pop()
        finished.add(name)

    for name in sorted(graph):
        visit(name)
    assert {"front", "pipeline", "io.animation", "steady", "palettes.presets"} <= set(graph)


# Run in a fresh interpreter for one module: the package's __init__ is left
# out (it imports everything, in an order that would hide a cycle), and every
# import statement executed while a module of tonalis_tools is still loading
# is checked against the modules loading at that moment.
_TRACE_IMPORTS = r"""
import builtins, importlib.machinery, importlib.util, sys, types

target = sys.argv[1]
loading, cycles = [], []
if target != "tonalis_tools":
    found = importlib.util.find_spec("tonalis_tools")
    package = types.ModuleType("tonalis_tools")
    package.__path__ = list(found.submodule_search_locations)
    sys.modules["tonalis_tools"] = package


class Tracer:
    @staticmethod
    def find_spec(name, path=None, target=None):
        if not name.startswith("tonalis_tools"):
            return None
        found = importlib.machinery.PathFinder.find_spec(name, path)
        if found is None or found.loader is None:
            return found
        run = found.loader.exec_module

        def exec_module(module):
            loading.append(name)
            try:
                run(module)
            finally:
                loading.remove(name)

        found.loader.exec_module = exec_module
        return found


sys.meta_path.insert(0, Tracer)
plain_import = builtins.__import__


def traced(name, globals=None, locals=None, fromlist=(), level=0):
    scope = globals or {}
    importer = scope.get("__name__", "")
    base = name
    if level:
        base = importlib.util.resolve_name("." * level + name, scope.get("__package__"))
    for wanted in [base, *(f"{base}.{item}" for item in fromlist or ())]:
        if wanted in loading and wanted != importer and not importer.startswith(wanted + "."):
            cycles.append(" -> ".join([*loading, wanted]))
    return plain_import(name, globals, locals, fromlist, level)


builtins.__import__ = traced
importlib.import_module(target)
assert not cycles, "import cycle: " + "; ".join(cycles)
"""


def _all_module_names():
    package = Path(tonalis_tools.__file__).parent
    names = {_module_name(package, path) for path in package.rglob("*.py")} - {"__main__"}
    return sorted(f"tonalis_tools.{name}".rstrip(".") for name in names)


@pytest.mark.parametrize("module", _all_module_names())
def test_each_module_imports_alone_without_cycles(module):
    import subprocess
    import sys

    result = subprocess.run(
        [sys.executable, "-c", _TRACE_IMPORTS, module],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.returncode == 0, result.stderr[-2000:]


@pytest.mark.parametrize(
    "old, new",
    [
        ("presets", "palettes.presets"),
        ("palette_files", "palettes.palette_files"),
        ("colour_names", "palettes.colour_names"),
        ("recolor", "palettes.recolor"),
        ("bluenoise", "matrices.bluenoise"),
        ("halftone", "matrices.halftone"),
        ("pack", "devices.pack"),
        ("channels", "devices.channels"),
        ("imagefile", "io.imagefile"),
        ("encoding", "io.encoding"),
        ("animation", "io.animation"),
        ("planner", "batch.planner"),
        ("dask_batch", "batch.dask_batch"),
    ],
)
def test_modules_keep_their_former_names(old, new):
    import importlib

    former = importlib.import_module(f"tonalis_tools.{old}")
    assert former is importlib.import_module(f"tonalis_tools.{new}")
    if old in ("pack", "recolor"):
        # The package's names of these are the functions, as they always were.
        assert getattr(tonalis_tools, old) is getattr(former, old)
    else:
        assert getattr(tonalis_tools, old) is former
