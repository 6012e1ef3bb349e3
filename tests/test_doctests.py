"""The examples in the docstrings of tonalis_tools run, and every public
function and class has one.

Public are the modules whose names have no part starting with '_' (the
modules kept at their former names stand for the moved ones and are left
out), and in each the names of its ``__all__``. An object listed by several
modules (the package re-exports most of them) is run once, with the module
that defines it, or with the first module listing it when that one is
private. The examples run in a temporary folder, so those that write files
leave nothing behind.
"""

from __future__ import annotations

import doctest
import importlib
import inspect
import pkgutil
import sys

import pytest

import tonalis_tools

pytest.importorskip("PIL.Image")

FLAGS = doctest.NORMALIZE_WHITESPACE | doctest.ELLIPSIS
# What a module's examples need beyond the test requirements' Pillow.
NEEDS = {"tonalis_tools.batch.dask_batch": "dask"}


def public_modules() -> list[str]:
    names = ["tonalis_tools"]
    for info in pkgutil.walk_packages(tonalis_tools.__path__, "tonalis_tools."):
        if any(part.startswith("_") for part in info.name.split(".")[1:]):
            continue
        module = importlib.import_module(info.name)
        if module.__name__ == info.name:
            names.append(info.name)
    return names


MODULES = public_modules()


def public_objects(module: object) -> list[tuple[str, object]]:
    """(name, object) for the functions and classes of a module's __all__."""
    found = []
    for name in getattr(module, "__all__", []):
        obj = getattr(module, name)
        if inspect.isclass(obj) or inspect.isroutine(obj):
            found.append((name, obj))
    return found


def home(obj: object) -> str:
    """The public module whose doctests run `obj`'s examples."""
    defined = getattr(obj, "__module__", None)
    if defined in MODULES:
        return defined
    for name in MODULES:
        if any(other is obj for _, other in public_objects(sys.modules[name])):
            return name
    raise AssertionError(f"{obj!r} is listed by no public module")


def examples_of(obj: object) -> list[doctest.Example]:
    found = doctest.DocTestParser().get_examples(inspect.getdoc(obj) or "")
    return [e for e in found if not e.options.get(doctest.SKIP)]


@pytest.mark.parametrize("name", MODULES)
def test_public_callables_have_examples(name):
    module = sys.modules[name]
    missing = [attribute for attribute, obj in public_objects(module) if not examples_of(obj)]
    assert not missing, f"{name}: no example that runs in the docstrings of {', '.join(missing)}"


@pytest.mark.parametrize("name", MODULES)
def test_public_callables_document_their_arguments(name):
    module = sys.modules[name]
    missing = []
    for attribute, obj in public_objects(module):
        try:
            parameters = inspect.signature(obj).parameters
        except (TypeError, ValueError):
            continue
        takes = [p for p in parameters if p not in ("self", "cls")]
        doc = inspect.getdoc(obj) or ""
        if takes and "Args:" not in doc:
            missing.append(attribute)
    assert not missing, f"{name}: no Args section in the docstrings of {', '.join(missing)}"


@pytest.mark.parametrize("name", MODULES)
def test_examples_run(name, tmp_path, monkeypatch):
    if name in NEEDS:
        pytest.importorskip(NEEDS[name])
    monkeypatch.chdir(tmp_path)
    module = sys.modules[name]
    finder = doctest.DocTestFinder(exclude_empty=True)
    # The module's docstring and those of what it defines, with its globals.
    tests = finder.find(module, name)
    # What a private module defines runs with a public module listing it.
    for attribute, obj in public_objects(module):
        if home(obj) == name and getattr(obj, "__module__", None) != name:
            tests += finder.find(obj, f"{name}.{attribute}", globs=dict(vars(module)))
    runner = doctest.DocTestRunner(optionflags=FLAGS)
    report: list[str] = []
    for test in sorted(tests, key=lambda t: t.name):
        runner.run(test, out=report.append)
    assert runner.failures == 0, "".join(report)
