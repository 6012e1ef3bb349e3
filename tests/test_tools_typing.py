"""The companion package passes mypy --strict as it is imported here."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest


def test_companion_package_is_strictly_typed(tmp_path):
    pytest.importorskip("mypy", reason="mypy is not installed")
    pytest.importorskip("PIL", reason="the package's Pillow types need Pillow")
    import tonalis_tools

    # A copy, so mypy checks the package on its own even when it is installed
    # in site-packages (which mypy will not take as a source root).
    package = tmp_path / "src" / "tonalis_tools"
    shutil.copytree(Path(tonalis_tools.__file__).resolve().parent, package,
                    ignore=shutil.ignore_patterns("__pycache__", "data"))
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-pretty", "--show-error-codes",
         "--cache-dir", str(tmp_path / "cache"), str(package)],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
