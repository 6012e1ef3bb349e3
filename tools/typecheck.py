"""The static type checks, run once by the lint stage (tools/lint.sh) and by
pre-commit, against the tonalis installed in the running interpreter:

1. stubtest: the shipped stubs against the running module;
2. mypy --strict on tests/typing_usage.py (real use, which must pass) and
   tests/typing_rejects.py (calls the stubs must reject: each line marked
   `# E: code` gives that error, and no other line any);
3. mypy --strict over the companion package's sources, python/tonalis_tools.

    python tools/typecheck.py          # all three; exit status 1 if any fails
"""

from __future__ import annotations

import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
TESTS = ROOT / "tests"
PACKAGE = ROOT / "python" / "tonalis_tools"


def _mypy(args: list[str], folder: Path, module: str = "mypy") -> subprocess.Popen[str]:
    """mypy (or stubtest) in a folder of its own, with its cache there."""
    folder.mkdir()
    config = folder / "mypy.ini"
    config.write_text(f"[mypy]\ncache_dir = {folder / 'cache'}\n")
    option = "--mypy-config-file" if module == "mypy.stubtest" else "--config-file"
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    return subprocess.Popen(
        [sys.executable, "-m", module, option, str(config), *args],
        cwd=folder,
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
    )


def _expected_errors(source: Path) -> dict[int, str]:
    expected = {}
    for number, line in enumerate(source.read_text().splitlines(), 1):
        mark = re.search(r"  # E: ([\w-]+)$", line)
        if mark:
            expected[number] = mark.group(1)
    return expected


def _usage_problems(returncode: int, output: str, rejects: Path) -> list[str]:
    # mypy exits with 1 when it reports errors, 2 when it could not check at all.
    if returncode != 1:
        return [f"mypy exited with {returncode} on the usage files:\n{output}"]
    problems = []
    found: dict[int, set[str]] = {}
    for line in output.splitlines():
        if ": error: " not in line:
            continue
        match = re.match(r".*typing_rejects\.py:(\d+): error: .*\[([\w-]+)\]$", line)
        if not match:
            problems.append(f"unexpected error: {line}")
            continue
        found.setdefault(int(match.group(1)), set()).add(match.group(2))
    for number, code in _expected_errors(rejects).items():
        if code not in found.pop(number, set()):
            problems.append(f"typing_rejects.py:{number}: expected a [{code}] error")
    problems += [f"typing_rejects.py:{n}: unexpected errors {sorted(c)}" for n, c in found.items()]
    return problems


def main() -> int:
    for module in ("tonalis", "mypy"):
        try:
            __import__(module)
        except ImportError:
            print(
                f"{sys.executable} cannot import {module}: run this with the Python that has "
                "tonalis and the test extras installed (bash tools/test.sh makes one)"
            )
            return 2
    with tempfile.TemporaryDirectory() as tmp:
        base = Path(tmp)
        # The three run side by side: each spends most of its time on numpy's stubs.
        runs = {}
        strict = ["--strict", "--no-pretty", "--show-error-codes"]
        runs["stubtest tonalis"] = _mypy(["tonalis"], base / "stubtest", "mypy.stubtest")
        rejects = TESTS / "typing_rejects.py"
        runs["mypy --strict on the usage files"] = _mypy(
            [*strict, "--no-error-summary", str(TESTS / "typing_usage.py"), str(rejects)],
            base / "usage",
        )
        runs["mypy --strict over python/tonalis_tools"] = _mypy(
            [*strict, str(PACKAGE)], base / "package"
        )
        failed = []
        for what, process in runs.items():
            output, _ = process.communicate(timeout=600)
            if what.endswith("usage files"):
                problems = _usage_problems(process.returncode, output, rejects)
            else:
                problems = [output] if process.returncode != 0 else []
            print(f"{'FAILED' if problems else 'passed'}: {what}")
            for problem in problems:
                print("    " + problem.rstrip().replace("\n", "\n    "))
            if problems:
                failed.append(what)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
