"""Repeated calls on every success and failure path keep memory flat, and a
call needs little more memory than one copy of its image."""

import gc
import os
import subprocess
import sys
import textwrap
import tracemalloc

import hammer
import numpy as np
import pytest
from hammer import rss, sanitized, traced_growth

import tonalis

# Alone, not beside other test workers: their memory would blur the bounds.
pytestmark = pytest.mark.serial

Image = pytest.importorskip("PIL.Image")

ed, od, rd, dither = (
    tonalis.error_diffusion,
    tonalis.ordered_dither,
    tonalis.random_dither,
    tonalis.dither,
)
RNG = np.random.default_rng(5)
RGB = RNG.integers(0, 256, (12, 10, 3), dtype=np.uint8)
RGBA = RNG.integers(0, 256, (6, 5, 4), dtype=np.uint8)
GRAY = RNG.integers(0, 256, (9, 7), dtype=np.uint8)
BW = ["#000", "#fff"]
HUGE = np.broadcast_to(np.zeros((), np.uint8), (10**6, 10**6))


class Refuses(Exception):
    pass


def refuse(*args, **kwargs):
    raise Refuses("refused")


class BadNotes(Exception):
    def add_note(self, note):
        raise RuntimeError("no notes")


def raise_bad_notes(self):
    raise BadNotes("bad index")


BadIndex = type("BadIndex", (), {"__index__": refuse})
NoteRefusingIndex = type("NoteRefusingIndex", (), {"__index__": raise_bad_notes})
ModeRaises = type("ModeRaises", (Image.Image,), {"mode": property(refuse)})
ModeNotText = type("ModeNotText", (Image.Image,), {"mode": 5})


def failing_palette():
    yield "#000"
    refuse()


def subclassed(cls):
    im = cls()
    im.__dict__.update(Image.new("L", (2, 2)).__dict__)
    return im


def fromarray_fails():
    """The result is built, then cannot be handed back as a PIL image."""
    original, Image.fromarray = Image.fromarray, refuse
    try:
        ed(Image.new("L", (64, 64)))
    finally:
        Image.fromarray = original


# Each failure stands for one message of the module, or one way in which an
# exception from the caller's objects comes through.
SUCCESS = [
    lambda: ed(RGB),
    lambda: ed(GRAY, "jjn", levels=5, serpentine=True, linear=True),
    lambda: ed(RGBA, palette=BW + ["#f00"]),
    lambda: ed(RGB[::-1, ::2]),
    lambda: od(RGB),
    lambda: od(GRAY, 4, levels=3),
    lambda: od(RGB, "bayer16x16", linear=True),
    lambda: od(RGB, np.arange(6).reshape(2, 3)),
    lambda: od(RGBA, np.full((3, 2), 0.25)),
    lambda: od(RGB, palette=[(0, 0, 0), (9, 9, 9)]),
    lambda: rd(RGB, seed=2**100),
    lambda: rd(GRAY),
    lambda: rd(RGBA, palette=np.array([[0, 0, 0], [1, 2, 3]]), seed=-1),
    lambda: dither(RGB, "random", seed=np.int64(3)),
    lambda: dither(GRAY, "Bayer 2x2"),
    lambda: dither(RGB, "sierra2", strength=np.float32(0.5), preserve_alpha=np.True_),
    lambda: ed(Image.new("L", (5, 4))),
    lambda: od(Image.new("P", (5, 4))),
    lambda: rd(Image.new("LA", (3, 3)), seed=1),
    lambda: ed(GRAY.tolist() and GRAY.copy()),
    lambda: tonalis.available_methods(),
    lambda: tonalis.available_matrices(),
]
FAILURE = [
    lambda: dither(RGB, "fs", 3),
    lambda: rd(RGB, "fs"),
    lambda: dither(RGB, foo=1),
    lambda: dither(RGB, "fs", method="fs"),
    lambda: dither(levels=2),
    lambda: dither(RGB, b"fs"),
    lambda: dither(RGB, None),
    lambda: dither(RGB, "f\ud800"),
    lambda: ed(RGB, levels=2.0),
    lambda: ed(RGB, levels=-1),
    lambda: ed(RGB, levels=BadIndex()),
    lambda: ed(RGB, levels=NoteRefusingIndex()),
    lambda: ed(RGB, serpentine=1),
    lambda: ed(RGB, linear=None),
    lambda: rd(RGB, seed=2**127),
    lambda: rd(RGB, seed=1.5),
    lambda: rd(RGB, seed=2**70 * 3),
    lambda: ed(RGB, strength="x"),
    lambda: ed(RGB, "nope\u0301"),
    lambda: dither(RGB, "nope"),
    lambda: od(RGB, "bayer3x3"),
    lambda: od(RGB, 3),
    lambda: od(RGB, "\ud800"),
    lambda: od(RGB, np.array([[-1, 0]])),
    lambda: od(RGB, np.array([[2**24]])),
    lambda: od(RGB, np.array([[1.5]])),
    lambda: od(RGB, np.zeros(3)),
    lambda: od(RGB, np.zeros((2, 2), bool)),
    lambda: od(RGB, np.array([[1, "a"]], object)),
    lambda: ed(RGB, strength=1.5),
    lambda: ed(RGB, levels=300),
    lambda: ed(RGB, levels=3, palette=BW),
    lambda: ed(RGB, palette="#000"),
    lambda: ed(RGB, palette=5),
    lambda: ed(RGB, palette=failing_palette()),
    lambda: ed(RGB, palette=[1.5, "#fff"]),
    lambda: ed(RGB, palette=["#12", "#fff"]),
    lambda: ed(RGB, palette=[(1, 2), "#fff"]),
    lambda: ed(RGB, palette=[(1, 2, 300), "#fff"]),
    lambda: ed(RGB, palette=["#000"]),
    lambda: ed(RGB, palette=["#000"] * 4097),
    lambda: ed(RGB, palette=[(1, 2, 2**70), "#fff"]),
    lambda: ed(subclassed(ModeRaises)),
    lambda: ed(Image.new("La", (2, 2))),
    lambda: ed([[1, 2], [3]]),
    lambda: ed(np.zeros((2, 2))),
    lambda: ed(np.zeros(5, np.uint8)),
    lambda: ed(np.zeros((0, 3), np.uint8)),
    lambda: ed(GRAY, palette=BW),
    lambda: ed(HUGE),
    lambda: od(HUGE),
    lambda: rd(HUGE),
    lambda: ed(subclassed(ModeNotText)),
    fromarray_fails,
]
EXPECTED = (TypeError, ValueError, OverflowError, MemoryError, Refuses, BadNotes)


def run_all(calls, rounds):
    hammer.run_all(calls, rounds, EXPECTED)


@pytest.fixture
def traced():
    gc.collect()
    tracemalloc.start()
    yield
    tracemalloc.stop()


@pytest.mark.skipif(
    sys.getallocatedblocks() == 0,
    reason="without pymalloc, caches in numpy's Python code settle only after many thousand calls",
)
@pytest.mark.parametrize("calls", [SUCCESS, FAILURE], ids=["success", "failure"])
def test_repeated_calls_do_not_grow_traced_memory(calls):
    run_all(calls, 50)  # warm up: interned names, lazily imported modules
    # One leaked object per call on one path gives at least 500 * 16 bytes in
    # every round.
    rounds = traced_growth(lambda: run_all(calls, 500), 6000)
    assert rounds[-1] < 6000, f"traced memory grew by {rounds} bytes per round"


def test_repeated_large_calls_do_not_grow_rss():
    if sanitized():
        pytest.skip("the sanitizer's quarantine keeps freed memory resident")
    img = RNG.integers(0, 256, (256, 256, 3), dtype=np.uint8)
    calls = [
        lambda: ed(img),
        lambda: od(img, palette=BW),
        lambda: rd(Image.fromarray(img)),
        lambda: ed(img, levels=300),
        lambda: od(img, np.zeros(3)),
    ]
    run_all(calls, 20)
    start = rss()
    run_all(calls, 200)
    # A leaked image per call would be 200 * 196 KiB = 39 MiB per family.
    grown = rss() - start
    assert grown < 16 << 20, f"RSS grew by {grown >> 20} MiB"


BIG = RNG.integers(0, 256, (2048, 2048, 3), dtype=np.uint8)


@pytest.mark.parametrize(
    "call",
    [
        lambda img: ed(img, "stucki", levels=4),
        lambda img: ed(img, palette=BW, serpentine=True),
        lambda img: od(img, np.arange(64).reshape(8, 8)),
        lambda img: rd(img, palette=BW, seed=1),
    ],
    ids=["diffusion", "diffusion-palette", "ordered", "random"],
)
@pytest.mark.parametrize("layout", ["c", "fortran"])
def test_peak_memory_is_one_copy_of_the_image(traced, call, layout):
    img = BIG if layout == "c" else np.asfortranarray(BIG)
    tracemalloc.reset_peak()
    base = tracemalloc.get_traced_memory()[0]
    out = call(img)
    peak = tracemalloc.get_traced_memory()[1] - base
    assert out.shape == img.shape
    assert peak <= 1.1 * img.nbytes + (256 << 10), f"peak {peak} for {img.nbytes} image bytes"


def overcommitting():
    try:
        with open("/proc/sys/vm/overcommit_memory") as f:
            return f.read().strip() == "1"
    except OSError:
        return False


@pytest.mark.skipif(overcommitting(), reason="the kernel grants any allocation")
@pytest.mark.parametrize("fn", [ed, od, rd, dither])
def test_image_too_large_to_copy(fn):
    with pytest.raises(MemoryError):
        fn(HUGE)
    assert np.array_equal(fn(GRAY, levels=256, strength=0.0), GRAY)


LONG_ENTRY = textwrap.dedent("""
    import resource
    import numpy as np
    import tonalis

    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    try:
        tonalis.error_diffusion(np.zeros((2, 2, 3), np.uint8), palette=[(0, 0, 0), range(10 ** 7)])
    except ValueError as e:
        print(e)
    print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) >> 10)
""")


def test_a_long_palette_entry_is_checked_in_constant_memory():
    if sanitized():
        pytest.skip("the sanitizer's quarantine keeps freed memory resident")
    # A fresh interpreter, so that its peak RSS is this call's. Keeping every
    # item of a ten-million-item entry would take 80 MB or more.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    run = subprocess.run(
        [sys.executable, "-c", LONG_ENTRY], capture_output=True, text=True, env=env, timeout=300
    )
    assert run.returncode == 0, run.stderr
    message, grown_mib = run.stdout.splitlines()
    assert message == "palette color must have exactly 3 components (r, g, b), got 10000000"
    assert int(grown_mib) < 24, f"peak RSS grew by {grown_mib} MiB"
