"""The shipped stubs against the running module (stubtest) and against real
use (mypy --strict on typing_usage.py and typing_rejects.py)."""

import ast
import importlib.util
import inspect
import os
import re
import shutil
import subprocess
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
    result += [(arg.arg, "KEYWORD_ONLY", default) for arg, default in zip(args.kwonlyargs, args.kw_defaults)]
    return [(name, kind, inspect.Parameter.empty if d is None else ast.literal_eval(d))
            for name, kind, d in result]


@pytest.mark.parametrize("name", [n for n in tonalis.__all__ if n != "__version__"])
def test_every_overload_has_the_runtime_signature(name):
    # stubtest compares overloads only loosely (it does not look at their
    # default values), so each one is held to the runtime signature here.
    runtime = [(p.name, p.kind.name, p.default)
               for p in inspect.signature(getattr(tonalis, name)).parameters.values()]
    overloads = _stub_functions()[name]
    assert overloads
    for node in overloads:
        assert _parameters(node) == runtime, ast.unparse(node.args)


def test_stub_lists_the_public_names():
    names = set(_stub_functions())
    assert names == set(tonalis.__all__) - {"__version__"}


@pytest.fixture(scope="module")
def mypy_env(tmp_path_factory):
    """Environment in which mypy sees the stubs the way a user's would.

    Installed: nothing to add, mypy must find tonalis-stubs in site-packages
    on its own. From a build tree: the stub as tonalis.pyi on MYPYPATH, with
    the companion package's sources.
    """
    pytest.importorskip("mypy", reason="mypy is not installed")
    pytest.importorskip("PIL", reason="the usage file needs Pillow")
    env = dict(os.environ)
    env.pop("MYPYPATH", None)
    base = tmp_path_factory.mktemp("mypy")
    if _installed_stub() is None:
        stubs = base / "stubs"
        stubs.mkdir()
        shutil.copy(REPO_STUB, stubs / "tonalis.pyi")
        env["MYPYPATH"] = os.pathsep.join([str(stubs), str(REPO_PACKAGE)])
    # stubtest and mypy run side by side below, so each gets a cache of its own.
    configs = []
    for name in ("stubtest", "mypy"):
        config = base / f"{name}.ini"
        config.write_text(f"[mypy]\ncache_dir = {base / ('cache-' + name)}\n")
        configs.append(config)
    return env, configs


def _run(args, env):
    return subprocess.run([sys.executable, *args], env=env, capture_output=True, text=True, timeout=300)


def test_installed_stub_is_the_source_stub():
    stub = _installed_stub()
    if stub is None:
        pytest.skip("tonalis is imported from a build tree, not installed")
    if not REPO_STUB.is_file():
        pytest.skip("no source tree beside the tests")
    assert stub.read_text() == REPO_STUB.read_text()
    assert (stub.parent.parent / "tonalis.pyi").read_text() == REPO_STUB.read_text()


def _expected_errors(source):
    expected = {}
    for number, line in enumerate(source.read_text().splitlines(), 1):
        mark = re.search(r"  # E: ([\w-]+)$", line)
        if mark:
            expected[number] = mark.group(1)
    return expected


def test_stubs_match_runtime_and_use(mypy_env):
    env, (stubtest_config, config) = mypy_env
    # stubtest and mypy run side by side: each spends most of its time on numpy's stubs.
    stubtest = subprocess.Popen(
        [sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", str(stubtest_config),
         "tonalis"],
        env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
    )
    usage, rejects = HERE / "typing_usage.py", HERE / "typing_rejects.py"
    result = _run(["-m", "mypy", "--config-file", str(config), "--strict", "--no-pretty",
                   "--show-error-codes", "--no-error-summary", str(usage), str(rejects)], env)
    stub_out, _ = stubtest.communicate(timeout=300)
    assert stubtest.returncode == 0, stub_out
    # mypy exits with 1 when it reports errors, 2 when it could not check at all.
    assert result.returncode == 1, result.stdout + result.stderr

    errors = [line for line in result.stdout.splitlines() if ": error: " in line]
    assert not [e for e in errors if "typing_rejects.py" not in e], result.stdout + result.stderr
    found = {}
    for line in errors:
        match = re.match(r".*typing_rejects\.py:(\d+): error: .*\[([\w-]+)\]$", line)
        assert match, line
        found.setdefault(int(match.group(1)), set()).add(match.group(2))
    expected = _expected_errors(rejects)
    assert set(found) == set(expected), result.stdout
    for number, code in expected.items():
        assert code in found[number], (number, result.stdout)


def test_usage_file_runs(tmp_path):
    pytest.importorskip("PIL", reason="the usage file needs Pillow")
    sys.path.insert(0, str(HERE))
    try:
        import typing_usage
    finally:
        sys.path.remove(str(HERE))
    typing_usage.exercise(tmp_path)
    assert tonalis.__version__ == "0.2.0"
