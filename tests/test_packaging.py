"""One version everywhere, and what the installed distribution holds."""

import importlib.metadata
import re
import tomllib
from pathlib import Path

import pytest

import tonalis
import tonalis_tools

ROOT = Path(__file__).resolve().parent.parent

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
        return importlib.metadata.distribution("tonalis")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("tonalis is not installed (imported from a build tree)")


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
        "tonalis_tools/cli.py",
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


def _sibling_imports(path):
    """The sibling modules a module of tonalis_tools imports, when it loads
    or inside its functions (not those for the type checker only)."""
    import ast

    tree = ast.parse(path.read_text(encoding="utf-8"))
    found = set()
    for node in tree.body:
        if isinstance(node, ast.If) and "TYPE_CHECKING" in ast.unparse(node.test):
            continue
        for inner in ast.walk(node):
            if isinstance(inner, ast.ImportFrom) and inner.level == 1:
                if inner.module:
                    found.add(inner.module.split(".")[0])
                else:
                    found.update(alias.name for alias in inner.names)
    return found


def test_modules_of_the_companion_import_each_other_without_cycles():
    package = Path(tonalis_tools.__file__).parent
    graph = {
        path.stem: _sibling_imports(path)
        for path in package.glob("*.py")
        if path.stem != "__init__"
    }
    finished, visiting = set(), []

    def visit(name):
        if name in finished or name not in graph:
            return
        assert name not in visiting, "import cycle: " + " -> ".join([*visiting, name])
        visiting.append(name)
        for other in sorted(graph[name]):
            visit(other)
        visiting.pop()
        finished.add(name)

    for name in sorted(graph):
        visit(name)
    assert {"front", "pipeline", "animation", "steady"} <= set(graph)
