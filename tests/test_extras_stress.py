"""The refined engines under load: many threads calling diffuse, ordered and
random with every refinement on shared inputs give the sequential results,
and repeated calls on the success and failure paths keep memory and the
inputs' reference counts flat."""

import gc
import sys
import threading

import hammer
import numpy as np
import pytest
from hammer import assert_same_from_threads, rss, sanitized, traced_growth

from tonalis_tools import _engines, diffuse, ordered, preset
from tonalis_tools import random as random_dither

RNG = np.random.default_rng(14)
RGB = RNG.integers(0, 256, (61, 83, 3), dtype=np.uint8)
RGBA = RNG.integers(0, 256, (29, 40, 4), dtype=np.uint8)
GRAY = RNG.integers(0, 256, (45, 70), dtype=np.uint8)
MASK = RNG.random((61, 83), dtype=np.float32)
MASK_U8 = RNG.integers(0, 256, (29, 40), dtype=np.uint8)
GRAY_MASK = RNG.random((45, 70), dtype=np.float32)
EPAPER7 = preset("epaper-7")
BWR = np.array(preset("epaper-bwr"))
MATRIX = np.arange(16).reshape(4, 4)

# Every refinement, each family, levels and palettes, then one call per
# argument check (wrong mask shape and dtype, values outside [0, 1], a
# negative limit, an unknown distance, a distance without a palette, and the
# engine's own checks of what the wrapper would refuse).
CALLS = [
    lambda: diffuse(RGB, palette=EPAPER7, error_limit=16, mask=MASK, distance="oklab"),
    lambda: diffuse(
        RGB,
        "jarvis_judice_ninke",
        palette=BWR,
        error_limit=8,
        mask=MASK,
        distance="luma",
        linear=True,
    ),
    lambda: diffuse(
        RGBA,
        "atkinson",
        palette=EPAPER7,
        mask=MASK_U8,
        distance="rgb",
        serpentine=True,
        error_limit=0,
    ),
    lambda: diffuse(GRAY, levels=2, error_limit=16, mask=GRAY_MASK),
    lambda: diffuse(RGB, "stucki", levels=5, error_limit=4, mask=MASK, strength=0.7),
    lambda: ordered(RGB, MATRIX, palette=EPAPER7, mask=MASK, distance="oklab"),
    lambda: ordered(RGBA, "bayer8x8", palette=BWR, mask=MASK_U8, distance="luma", linear=True),
    lambda: ordered(GRAY, levels=3, mask=GRAY_MASK),
    lambda: random_dither(RGB, palette=EPAPER7, seed=3, mask=MASK, distance="luma"),
    lambda: random_dither(RGBA, levels=4, seed=9, mask=MASK_U8, linear=True),
]
FAILURES = [
    lambda: diffuse(RGB, palette=EPAPER7, mask=GRAY_MASK),
    lambda: diffuse(RGB, palette=EPAPER7, mask=MASK.astype(np.int32)),
    lambda: ordered(RGB, palette=EPAPER7, mask=MASK * 2),
    lambda: random_dither(RGB, palette=EPAPER7, mask=np.full((61, 83), np.nan, np.float32)),
    lambda: diffuse(RGB, palette=EPAPER7, error_limit=-1),
    lambda: diffuse(RGB, palette=EPAPER7, error_limit="big"),
    lambda: diffuse(RGB, palette=EPAPER7, distance="lab"),
    lambda: ordered(GRAY, distance="oklab"),
    lambda: diffuse(RGB, "nope", palette=EPAPER7, mask=MASK),
    lambda: _engines.diffuse(-1.0, None, 0, RGB, "floyd_steinberg"),
    lambda: _engines.diffuse(16.0, MASK[:, :10].copy(), 0, RGB, "floyd_steinberg"),
    lambda: _engines.diffuse(16.0, MASK * 2, 0, RGB, "floyd_steinberg"),
    lambda: _engines.ordered(MASK[::2], 0, RGB, None),
    lambda: _engines.random(None, 7, RGB),
]
EXPECTED = (TypeError, ValueError)


def outcome(call):
    """Bytes of the result, or the exception's type and message."""
    try:
        out = call()
    except EXPECTED as e:
        return type(e), str(e)
    return out.shape, out.tobytes()


def test_failures_fail():
    for call in FAILURES:
        with pytest.raises(EXPECTED):
            call()


def test_concurrent_calls_match_sequential_ones():
    assert_same_from_threads(CALLS + FAILURES, outcome, threads=8, rounds=6, stride=3)


def test_inputs_stay_untouched_under_concurrent_calls():
    inputs = [RGB, RGBA, GRAY, MASK, MASK_U8, GRAY_MASK, BWR]
    before = [a.copy() for a in inputs]
    workers = [threading.Thread(target=lambda: [c() for c in CALLS]) for _ in range(4)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    for a, b in zip(inputs, before):
        assert np.array_equal(a, b)


def run_all(calls, rounds):
    hammer.run_all(calls, rounds, EXPECTED)


@pytest.mark.parametrize("calls", [CALLS, FAILURES], ids=["success", "failure"])
def test_repeated_calls_keep_reference_counts(calls):
    inputs = [RGB, RGBA, GRAY, MASK, MASK_U8, GRAY_MASK, BWR, MATRIX, EPAPER7]
    run_all(calls, 3)
    gc.collect()
    before = [sys.getrefcount(a) for a in inputs]
    run_all(calls, 100)
    gc.collect()
    assert [sys.getrefcount(a) for a in inputs] == before


@pytest.mark.serial  # memory bounds: alone, not beside other test workers
@pytest.mark.skipif(
    sys.getallocatedblocks() == 0,
    reason="without pymalloc, numpy's caches settle only after many calls",
)
@pytest.mark.parametrize("calls", [CALLS, FAILURES], ids=["success", "failure"])
def test_repeated_calls_do_not_grow_traced_memory(calls):
    run_all(calls, 20)  # warm up: interned names, lazily imported modules
    # One leaked object per call on one path gives at least 200 * 16 bytes a
    # round.
    rounds = traced_growth(lambda: run_all(calls, 200), 3000)
    assert rounds[-1] < 3000, f"traced memory grew by {rounds} bytes per round"


@pytest.mark.serial  # memory bounds: alone, not beside other test workers
def test_repeated_large_calls_do_not_grow_rss():
    if sanitized():
        pytest.skip("the sanitizer's quarantine keeps freed memory resident")
    img = RNG.integers(0, 256, (256, 256, 3), dtype=np.uint8)
    mask = RNG.random((256, 256), dtype=np.float32)
    calls = [
        lambda: diffuse(img, palette=EPAPER7, error_limit=16, mask=mask, distance="oklab"),
        lambda: ordered(img, palette=BWR, mask=mask, distance="luma"),
        lambda: random_dither(img, levels=3, mask=mask, seed=1),
        lambda: diffuse(img, palette=EPAPER7, mask=mask[:10]),
    ]
    run_all(calls, 10)
    start = rss()
    run_all(calls, 100)
    # A leaked image or mask per call would be 100 * 192 KiB = 19 MiB per call.
    grown = rss() - start
    assert grown < 8 << 20, f"RSS grew by {grown >> 20} MiB"


@pytest.mark.parametrize("family", ["diffuse", "ordered", "random"])
def test_a_mask_rewritten_during_the_run_gives_palette_colours(family):
    # The engine reads the mask passed to it in place; values written while
    # it runs (NaN, out of range) count as strengths in [0, 1].
    img = RNG.integers(0, 256, (384, 384, 3), dtype=np.uint8)
    mask = np.full((384, 384), 0.5, np.float32)
    palette = np.array([[int(h[i : i + 2], 16) for i in (1, 3, 5)] for h in EPAPER7])
    run = {
        "diffuse": lambda: _engines.diffuse(8.0, mask, 2, img, "floyd_steinberg", palette=EPAPER7),
        "ordered": lambda: _engines.ordered(mask, 2, img, None, palette=EPAPER7),
        "random": lambda: _engines.random(mask, 1, img, palette=EPAPER7, seed=2),
    }[family]
    stop = threading.Event()

    def scribble():
        values = [np.nan, 7.0, -3.0, np.inf, 0.25]
        i = 0
        while not stop.is_set():
            mask[i % 384] = values[i % len(values)]
            i += 1

    writer = threading.Thread(target=scribble)
    writer.start()
    try:
        for _ in range(10):
            try:
                out = run()
            except ValueError:
                continue  # the check before the run saw a written value
            colours = np.unique(out.reshape(-1, 3), axis=0)
            assert all((palette == c).all(axis=1).any() for c in colours)
    finally:
        stop.set()
        writer.join()
