"""The shipped stubs against the runtime signatures, and the usage file run
for real. The static checks (stubtest, mypy --strict on typing_usage.py,
typing_rejects.py and the companion package) are the lint stage's:
tools/typecheck.py."""

import ast
import importlib.util
import inspect
import sys
from pathlib import Path

import pytest

import tonalis

HERE = Path(__file__).resolve().parent
REPO_STUB = HERE.parent / "python" / "tonalis-stubs" / "__init__.pyi"
REPO_PACKAGE = HERE.parent / "python"


def _installed_stub():
    """The stub package beside the imported module, if tonalis was installed."""
    origin = Path(importlib.util.find_spec("tonalis").origin).parent
    stub = origin / "tonalis-stubs" / "__init__.pyi"
    return stub if stub.is_file() else None


def _stub_source():
    stub = _installed_stub() or REPO_STUB
    return ast.parse(stub.read_text())


def _stub_functions():
    functions = {}
    for node in _stub_source().body:
        if isinstance(node, ast.FunctionDef):
            functions.setdefault(node.name, []).append(node)
    return functions


def _parameters(node):
    """(name, kind, default) of a stub function, kinds as inspect names them."""
    args = node.args
    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    result = []
    for i, arg in enumerate(positional):
        kind = "POSITIONAL_ONLY" if i < len(args.posonlyargs) else "POSITIONAL_OR_KEYWORD"
        result.append((arg.arg, kind, defaults[i]))
    result += [
        (arg.arg, "KEYWORD_ONLY", default)
        for arg, default in zip(args.kwonlyargs, args.kw_defaults)
    ]
    return [
        (name, kind, inspect.Parameter.empty if d is None else ast.literal_eval(d))
        for name, kind, d in result
    ]


@pytest.mark.parametrize("name", [n for n in tonalis.__all__ if n != "__version__"])
def test_every_overload_has_the_runtime_signature(name):
    # stubtest compares overloads only loosely (it does not look at their
    # default values), so each one is held to the runtime signature here.
    runtime = [
        (p.name, p.kind.name, p.default)
        for p in inspect.signature(getattr(tonalis, name)).parameters.values()
    ]
    overloads = _stub_functions()[name]
    assert overloads
    for node in overloads:
        assert _parameters(node) == runtime, ast.unparse(node.args)


def test_stub_lists_the_public_names():
    names = set(_stub_functions())
    assert names == set(tonalis.__all__) - {"__version__"}


def test_installed_stub_is_the_source_stub():
    stub = _installed_stub()
    if stub is None:
        pytest.skip("tonalis is imported from a build tree, not installed")
    if not REPO_STUB.is_file():
        pytest.skip("no source tree beside the tests")
    assert stub.read_text() == REPO_STUB.read_text()
    assert (stub.parent.parent / "tonalis.pyi").read_text() == REPO_STUB.read_text()


def test_usage_file_runs(tmp_path):
    pytest.importorskip("PIL", reason="the usage file needs Pillow")
    sys.path.insert(0, str(HERE))
    try:
        import typing_usage
    finally:
        sys.path.remove(str(HERE))
    typing_usage.exercise(tmp_path)
    assert tonalis.__version__ == "0.2.0"
