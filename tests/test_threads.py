"""Calls from many threads at once: identical results, other threads keep
running during a call, and the caller's array is read only before the engine
starts."""

import os
import subprocess
import sys
import sysconfig
import textwrap
import threading

import numpy as np
import pytest
from hammer import assert_same_from_threads

import tonalis

# Alone, not beside other test workers: thread hammers and a ticker
# that must get the processor.
pytestmark = pytest.mark.serial

Image = pytest.importorskip("PIL.Image")

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
RNG = np.random.default_rng(11)
RGB = RNG.integers(0, 256, (48, 40, 3), dtype=np.uint8)
RGBA = RNG.integers(0, 256, (20, 30, 4), dtype=np.uint8)
GRAY = RNG.integers(0, 256, (33, 17), dtype=np.uint8)
PALETTE = ["#000", "#fff", (200, 30, 30), np.array([0, 90, 200])]
MATRIX = np.arange(12).reshape(3, 4)

CALLS = [
    lambda: tonalis.error_diffusion(RGB, "jjn", levels=3, serpentine=True, linear=True),
    lambda: tonalis.error_diffusion(RGBA, palette=PALETTE, strength=0.7),
    lambda: tonalis.ordered_dither(GRAY, MATRIX, levels=4),
    lambda: tonalis.ordered_dither(RGB, "bayer16x16", palette=PALETTE, linear=True),
    lambda: tonalis.random_dither(RGBA, seed=99, levels=5),
    lambda: tonalis.dither(GRAY, "atkinson", levels=2),
    lambda: tonalis.dither(Image.fromarray(RGB), "bayer4x4"),
    lambda: tonalis.dither(RGB, "nope"),
    lambda: tonalis.ordered_dither(RGB, np.array([[-3]])),
    lambda: tonalis.error_diffusion(RGB, levels=2.5),
    lambda: tonalis.random_dither(RGB, palette=["#000", "#12"]),
]


def outcome(call):
    """Bytes of the result, or the exception's type, message and notes."""
    try:
        out = call()
    except (TypeError, ValueError) as e:
        return type(e), str(e), getattr(e, "__notes__", None)
    if isinstance(out, Image.Image):
        return out.mode, out.size, out.tobytes()
    return out.shape, out.tobytes()


def test_concurrent_calls_match_sequential_ones():
    assert_same_from_threads(CALLS, outcome, threads=8, rounds=15)


class Ticker(threading.Thread):
    """Counts loop iterations until stopped."""

    def __init__(self, work=None):
        super().__init__(daemon=True)
        self.count, self.running, self.work = 0, True, work

    def run(self):
        while self.running:
            if self.work:
                self.work(self.count)
            self.count += 1

    def calls(self, call, tries=20):
        """Results of call() until the count advanced during one of them.

        Were the interpreter held throughout a call, this thread could not
        run between the two reads of the count. When it is released, whether
        this thread is scheduled before the engine finishes is up to the
        operating system, so a call may pass unseen; a few tries make that
        vanishingly unlikely."""
        results = []
        while len(results) < tries:
            before = self.count
            results.append(call())
            if self.count > before:
                return results, True
        return results, False

    def __enter__(self):
        self.start()
        while self.count == 0:
            pass
        return self

    def __exit__(self, *exc):
        self.running = False
        self.join()


BIG = RNG.integers(0, 256, (1024, 1024, 3), dtype=np.uint8)


@pytest.mark.parametrize(
    "call",
    [
        lambda: tonalis.error_diffusion(BIG, "stucki", levels=3, serpentine=True),
        lambda: tonalis.ordered_dither(BIG, palette=PALETTE),
        lambda: tonalis.random_dither(BIG, palette=PALETTE, seed=1),
    ],
    ids=["diffusion", "ordered", "random"],
)
def test_other_threads_run_during_a_call(call):
    with Ticker() as ticker:
        _, advanced = ticker.calls(call)
    assert advanced


@pytest.mark.skipif(FREE_THREADED, reason="without a global lock a writer can race the copy")
@pytest.mark.parametrize(
    "dither",
    [
        lambda a: tonalis.error_diffusion(a, levels=2),
        lambda a: tonalis.ordered_dither(a),
        lambda a: tonalis.random_dither(a, seed=4),
    ],
    ids=["diffusion", "ordered", "random"],
)
def test_writes_during_the_engine_run_do_not_reach_the_result(dither):
    # An image whose whole main diagonal is one byte of memory: an engine that
    # read the caller's array while another thread flips that byte would see
    # a diagonal of mixed values. The copy, taken while no other Python code
    # can run, sees one value along it. Gaps between the samples make the
    # copy a slow sample-by-sample one, so that a copy made with the
    # interpreter released would be caught too.
    n = 2048
    buf = RNG.integers(0, 256, 4 * n, dtype=np.uint8)
    diagonal = 2 * (n - 1)
    img = np.lib.stride_tricks.as_strided(buf[diagonal:], shape=(n, n), strides=(-2, 2))
    flips = (0, 255)

    def candidates():
        for v in flips:
            buf[diagonal] = v
            yield dither(np.array(img))

    expected = list(candidates())
    assert not np.array_equal(*expected)

    def flip(i):
        buf[diagonal] = flips[i % 2]

    with Ticker(flip) as ticker:
        results, advanced = ticker.calls(lambda: dither(img))
    assert advanced, "no write happened during a call"
    for out in results:
        assert any(np.array_equal(out, e) for e in expected)


FIRST_USE = textwrap.dedent("""
    import threading
    import numpy as np
    from PIL import Image
    import tonalis

    img = np.arange(60, dtype=np.uint8).reshape(5, 4, 3)
    calls = [lambda: tonalis.dither(img, "fs", levels=3, palette=None, serpentine=True),
             lambda: tonalis.ordered_dither(image=img, matrix=np.eye(2), strength=0.5),
             lambda: tonalis.random_dither(Image.fromarray(img), seed=3, linear=True),
             lambda: tonalis.error_diffusion(img, levels="3")]

    def outcome(call):
        try:
            return np.asarray(call()).tobytes()
        except TypeError as e:
            return str(e), e.__notes__

    barrier, results = threading.Barrier(16), {}
    def first(i):
        barrier.wait()
        results[i] = outcome(calls[i % 4])
    threads = [threading.Thread(target=first, args=(i,)) for i in range(16)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(results[i] == outcome(calls[i % 4]) for i in range(16)), results
    print("ok")
""")


@pytest.mark.parametrize("attempt", range(3))
def test_first_use_of_the_caches_from_many_threads(attempt):
    # A fresh interpreter each time, so the calls are the first ones.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    run = subprocess.run(
        [sys.executable, "-c", FIRST_USE], capture_output=True, text=True, env=env, timeout=300
    )
    assert run.returncode == 0 and run.stdout.strip() == "ok", run.stderr
