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

import tonalis

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
    expected = [outcome(call) for call in CALLS]
    threads, rounds = 8, 15
    barrier = threading.Barrier(threads)
    results = [None] * threads

    def work(slot):
        barrier.wait()
        mine = []
        for i in range(rounds):
            # each thread walks the calls from its own starting point
            order = [(j + slot + i) % len(CALLS) for j in range(len(CALLS))]
            mine.append({j: outcome(CALLS[j]) for j in order})
        results[slot] = mine

    workers = [threading.Thread(target=work, args=(t,)) for t in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    for mine in results:
        assert mine is not None, "a worker died"
        for round_results in mine:
            assert [round_results[j] for j in range(len(CALLS))] == expected


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

    def __enter__(self):
        self.start()
        while self.count == 0:
            pass
        return self

    def __exit__(self, *exc):
        self.running = False
        self.join()


BIG = RNG.integers(0, 256, (1024, 1024, 3), dtype=np.uint8)


@pytest.mark.parametrize("call", [
    lambda: tonalis.error_diffusion(BIG, "stucki", levels=3, serpentine=True),
    lambda: tonalis.ordered_dither(BIG, palette=PALETTE),
    lambda: tonalis.random_dither(BIG, palette=PALETTE, seed=1),
], ids=["diffusion", "ordered", "random"])
def test_other_threads_run_during_a_call(call):
    # Were the interpreter held throughout, the other thread could not run
    # between the two reads. A fast call may end before the scheduler lets it
    # run at all, so one call in several has to show progress.
    with Ticker() as ticker:
        for _ in range(20):
            before = ticker.count
            call()
            if ticker.count > before:
                break
        after = ticker.count
    assert after > before


@pytest.mark.skipif(FREE_THREADED, reason="without a global lock a writer can race the copy")
def test_writes_during_the_engine_run_do_not_reach_the_result():
    # An image whose whole main diagonal is one byte of memory: an engine that
    # read the caller's array while another thread flips that byte would see
    # a diagonal of mixed values. The copy, taken while no other Python code
    # can run, sees one value along it.
    # Gaps between the samples make the copy a slow sample-by-sample one.
    n = 2048
    buf = RNG.integers(0, 256, 4 * n, dtype=np.uint8)
    diagonal = 2 * (n - 1)
    img = np.lib.stride_tricks.as_strided(buf[diagonal:], shape=(n, n), strides=(-2, 2))
    flips = (0, 255)

    def candidates():
        for v in flips:
            buf[diagonal] = v
            yield tonalis.error_diffusion(np.array(img), levels=2)

    expected = list(candidates())
    assert not np.array_equal(*expected)

    def flip(i):
        buf[diagonal] = flips[i % 2]

    with Ticker(flip) as ticker:
        before = ticker.count
        out = tonalis.error_diffusion(img, levels=2)
        after = ticker.count
    assert after > before, "no write happened during the call"
    assert any(np.array_equal(out, e) for e in expected)


FIRST_USE = textwrap.dedent("""
    import sys, threading
    import numpy as np
    from PIL import Image
    import tonalis

    img = np.arange(60, dtype=np.uint8).reshape(5, 4, 3)
    calls = [
        lambda: tonalis.dither(img, "fs", levels=3, palette=None, serpentine=True),
        lambda: tonalis.ordered_dither(image=img, matrix=np.eye(2), strength=0.5),
        lambda: tonalis.random_dither(Image.fromarray(img), seed=3, linear=True),
        lambda: tonalis.error_diffusion(img, levels="3"),
    ]

    def outcome(call):
        try:
            out = call()
            return np.asarray(out).tobytes()
        except TypeError as e:
            return str(e), e.__notes__

    barrier = threading.Barrier(16)
    results = [None] * 16
    def first(slot):
        barrier.wait()
        results[slot] = outcome(calls[slot % len(calls)])
    threads = [threading.Thread(target=first, args=(i,)) for i in range(16)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    expected = [outcome(c) for c in calls]
    assert all(r == expected[i % len(calls)] for i, r in enumerate(results)), results
    print("ok")
""")


@pytest.mark.parametrize("attempt", range(3))
def test_first_use_of_the_caches_from_many_threads(attempt):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    run = subprocess.run([sys.executable, "-c", FIRST_USE], capture_output=True, text=True,
                         env=env, timeout=300)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "ok"
