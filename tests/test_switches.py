"""The environment switches TONALIS_ISA and TONALIS_NUM_THREADS: read when
the module is imported (so each case runs in a fresh interpreter), ignored
with a RuntimeWarning when malformed, and never changing an output byte."""

import os
import subprocess
import sys

import pytest

# Alone, not beside other test workers: a process per switch setting.
pytestmark = pytest.mark.serial

SWITCHES = ("TONALIS_ISA", "TONALIS_NUM_THREADS")

# Prints the import's warnings, then a digest of outputs that go through
# every engine form: cell tables and byte comparisons (ordered), vector
# draws and the formula (random), whole, scanned and blocked palettes, the
# level and palette passes of error diffusion, and worker threads (the
# linear-light random dither of a 1024² RGB image is split into bands).
PROBE = r"""
import hashlib, sys, warnings
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    import tonalis
for w in caught:
    print("WARNING", w.category.__name__, w.message)
import numpy as np

def image(h, w, c, salt):
    i = np.arange(h * w * c, dtype=np.uint64) * np.uint64(0x9E3779B97F4A7C15) + np.uint64(salt)
    a = ((i >> np.uint64(29)) % np.uint64(256)).astype(np.uint8)
    return a.reshape((h, w, c) if c > 1 else (h, w))

gray, rgb, rgba = image(96, 200, 1, 1), image(96, 200, 3, 2), image(64, 72, 4, 3)
big = image(1024, 1024, 3, 4)
def pal(n):
    return [tuple(int(v) for v in row) for row in image(n, 1, 3, 10 + n).reshape(n, 3)]

od, rd, ed = tonalis.ordered_dither, tonalis.random_dither, tonalis.error_diffusion
calls = [
    lambda: od(gray), lambda: od(rgb, levels=4), lambda: od(rgba, "bayer16x16", levels=3),
    lambda: od(rgb, 4, linear=True), lambda: od(rgb, palette=pal(6)),
    lambda: od(rgb, palette=pal(40)), lambda: od(rgba, palette=pal(300), strength=0.5),
    lambda: rd(gray, seed=7), lambda: rd(rgba, levels=5, seed=8),
    lambda: rd(rgb, seed=9, linear=True),
    lambda: rd(rgb, palette=pal(200), seed=3), lambda: rd(big, seed=5, linear=True),
    lambda: ed(gray), lambda: ed(rgb, "jjn", levels=3),
    lambda: ed(rgba, "atkinson", serpentine=True),
    lambda: ed(rgb, palette=pal(16)), lambda: ed(rgb, "stucki", palette=pal(600), linear=True),
]
digest = hashlib.sha256()
for call in calls:
    digest.update(np.ascontiguousarray(call()).tobytes())
print("DIGEST", digest.hexdigest())
"""


def run_python(args, **switches):
    env = {k: v for k, v in os.environ.items() if k not in SWITCHES}
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    env.update(switches)
    return subprocess.run(
        [sys.executable, *args], capture_output=True, text=True, env=env, timeout=300
    )


def run_probe(**switches):
    return run_python(["-c", PROBE], **switches)


def report(run):
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    warnings = [line for line in lines if line.startswith("WARNING")]
    digests = [line.split()[1] for line in lines if line.startswith("DIGEST")]
    return warnings, digests[0]


@pytest.fixture(scope="module")
def default_digest():
    warnings, digest = report(run_probe())
    assert warnings == []
    return digest


@pytest.mark.parametrize(
    "switches",
    [
        dict(TONALIS_ISA="baseline"),
        dict(TONALIS_ISA="avx2"),
        dict(TONALIS_ISA="avx512"),
        dict(TONALIS_ISA=" AVX2 "),
        dict(TONALIS_ISA=""),
        dict(TONALIS_NUM_THREADS="1"),
        dict(TONALIS_NUM_THREADS="2"),
        dict(TONALIS_NUM_THREADS="99999999999999999999999"),
        dict(TONALIS_ISA="baseline", TONALIS_NUM_THREADS="1"),
    ],
)
def test_valid_values_change_no_output_byte(switches, default_digest):
    warnings, digest = report(run_probe(**switches))
    assert warnings == []
    assert digest == default_digest


@pytest.mark.parametrize(
    "variable, value, accepted",
    [
        ("TONALIS_ISA", "avx3", "accepted values: 'baseline', 'avx2', 'avx512'"),
        ("TONALIS_ISA", "avx-512", "accepted values: 'baseline', 'avx2', 'avx512'"),
        ("TONALIS_ISA", "sse\u00e9\t2", "accepted values: 'baseline', 'avx2', 'avx512'"),
        ("TONALIS_NUM_THREADS", "0", "accepted values: a whole number from 1 up"),
        ("TONALIS_NUM_THREADS", "-2", "accepted values: a whole number from 1 up"),
        ("TONALIS_NUM_THREADS", "1.5", "accepted values: a whole number from 1 up"),
        ("TONALIS_NUM_THREADS", "four", "accepted values: a whole number from 1 up"),
    ],
)
def test_bad_value_is_ignored_with_a_warning_naming_it(variable, value, accepted, default_digest):
    warnings, digest = report(run_probe(**{variable: value}))
    shown = '"' + value.strip().replace("\t", "\\t") + '"'
    assert warnings == [f"WARNING RuntimeWarning {variable}={shown} is ignored; {accepted}"]
    assert digest == default_digest


def test_bad_value_under_an_error_filter_fails_the_import_cleanly():
    run = run_python(["-W", "error::RuntimeWarning", "-c", "import tonalis"], TONALIS_ISA="fastest")
    assert run.returncode == 1, run.stderr
    assert 'RuntimeWarning: TONALIS_ISA="fastest" is ignored' in run.stderr


def test_switches_are_read_once_at_import():
    code = (
        "import os, numpy as np, tonalis\n"
        "before = tonalis.random_dither(np.full((300, 300, 3), 99, np.uint8), seed=4)\n"
        "os.environ['TONALIS_ISA'] = 'nonsense'\n"
        "os.environ['TONALIS_NUM_THREADS'] = 'nonsense'\n"
        "after = tonalis.random_dither(np.full((300, 300, 3), 99, np.uint8), seed=4)\n"
        "assert (before == after).all()\n"
        "print('same')\n"
    )
    run = run_python(["-W", "error", "-c", code])
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "same"


@pytest.mark.parametrize(
    "first, second", [("tonalis", "tonalis_tools._engines"), ("tonalis_tools._engines", "tonalis")]
)
@pytest.mark.parametrize(
    "switches",
    [
        dict(TONALIS_ISA="avx3"),
        dict(TONALIS_NUM_THREADS="four"),
        dict(TONALIS_ISA="avx3", TONALIS_NUM_THREADS="0"),
    ],
)
def test_both_modules_give_each_warning_once(first, second, switches):
    code = (
        "import importlib, warnings\n"
        "with warnings.catch_warnings(record=True) as caught:\n"
        "    warnings.simplefilter('always')\n"
        f"    importlib.import_module({first!r})\n"
        f"    importlib.import_module({second!r})\n"
        "for w in caught:\n"
        "    print('WARNING', w.message)\n"
    )
    run = run_python(["-c", code], **switches)
    assert run.returncode == 0, run.stderr
    shown = sorted(line.split("=")[0] for line in run.stdout.splitlines())
    assert shown == sorted(f"WARNING {variable}" for variable in switches)


def test_second_module_fails_too_under_an_error_filter():
    code = (
        "import sys\n"
        "for name in ('tonalis', 'tonalis_tools._engines'):\n"
        "    try:\n"
        "        __import__(name)\n"
        "    except RuntimeWarning as exc:\n"
        "        print('RAISED', name)\n"
    )
    run = run_python(["-W", "error::RuntimeWarning", "-c", code], TONALIS_ISA="fastest")
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == ["RAISED", "tonalis", "RAISED", "tonalis_tools._engines"]
