#!/usr/bin/env python3
"""Writes or checks tests/golden/corpus.txt: a few thousand dither calls
through tonalis and tonalis_tools, each with the FNV-1a 64-bit hash of its
output bytes.

The calls reach every engine path: the nine kernels in both scan orders,
levels from 2 to 256, palettes of every size at which a search changes its
strategy and one either side (hostile ones too: gray ramps, repeats, near
ties, colours on one plane, regular grids), Bayer and custom matrices,
seeded noise, linear light, strength, gray, LA, RGB, RGBA and five-channel
images with alpha kept or not, shapes of one row or one column and odd
sizes, images large enough for cell tables, palette grids and worker
threads, and the refined engines of tonalis_tools (error limit, mask,
distance, pattern, Riemersma, variable coefficients, direct binary search).
tests/golden_calls.py describes the line format and makes the inputs.

    python3 tools/golden_corpus.py           # run every call; report differences
    python3 tools/golden_corpus.py --write   # record today's hashes (and the
                                             # filters' taps, dbs_filters.txt)

--write refuses to record a corpus in which a refined call with every
refinement off differs from the plain call it repeats. Run it with an
interpreter that has tonalis and tonalis_tools installed, on x86-64.
"""

from __future__ import annotations

import argparse
import sys
import time
from itertools import product
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

import golden_calls as golden  # noqa: E402
from golden_calls import format_call  # noqa: E402

KERNELS = (
    "floyd_steinberg",
    "false_floyd_steinberg",
    "jarvis_judice_ninke",
    "stucki",
    "atkinson",
    "burkes",
    "sierra",
    "sierra_two_row",
    "sierra_lite",
)
LEVELS_MAIN = (2, 3, 4, 16, 255, 256)
LEVELS_MORE = (5, 7, 8, 15, 17, 31, 32, 64, 100, 128, 129, 200, 254)
# Around every size at which a palette search changes: the scan of the
# threshold passes (6) and their whole-palette groups (8), one vector of
# colours (16), the cell sets (31) and the distance match's search (32),
# the blocked layout and the diffusion grid (128), the neighbour lists
# (512), the finer grid (1024), and the largest palette.
# fmt: off
PALETTE_SIZES = (2, 3, 5, 6, 7, 8, 9, 15, 16, 17, 30, 31, 32, 33, 64, 127, 128, 129, 255, 256,
                 511, 512, 513, 1023, 1024, 1025, 2048, 4095, 4096)
# fmt: on
PALETTE_KINDS = ("rand", "gray", "dup", "tie", "plane", "cube")
IMAGE_KINDS = ("ramp", "noise", "edge", "flat", "tone")
STRENGTHS = (None, 0.5, 0.875, 0, 0.3, None)
# fmt: off
# Channel layouts: (channels or None for a 2-D array, alpha kept).
LAYOUTS = ((None, True), (3, True), (4, True), (2, True), (4, False), (1, True), (5, True),
           (2, False), (3, True), (4, True))
COLOUR_LAYOUTS = ((3, True), (4, True), (4, False), (3, True), (5, True))
SHAPES = ((19, 27), (23, 37), (13, 61), (31, 21), (17, 33), (26, 17), (11, 64), (21, 45))
TINY_SHAPES = ((1, 1), (1, 2), (2, 1), (1, 7), (1, 300), (7, 1), (300, 1), (2, 2), (3, 5),
               (5, 3), (8, 8), (9, 9), (7, 16), (16, 7), (15, 33), (17, 31), (33, 17), (4, 129))
# fmt: on
SEEDS = (0, 1, 12345, -1, 2**63, 2**64 - 1, 2**64 + 7, 987654321987)
MATRICES_CUSTOM = (
    "idx.1.1x1.1",
    "idx.2.1x7.7",
    "perm.3.3x5",
    "perm.4.4x4",
    "perm.5.16x16",
    "perm.6.17x17",
    "perm.7.2x64",
    "idx.8.5x5.1000",
    "idx.9.3x3.16777215",
    "thr.10.4x4",
    "thr.11.7x3",
    "thr.12.1x1",
    "thr.13.32x32",
    "thr.14.16x16",
    "idx.15.8x8.2",
)
BAYERS = ("bayer2", "bayer4", "bayer8", "bayer16")
MATRICES = BAYERS + MATRICES_CUSTOM


class Cycle:
    """The items of a sequence in turn, for spreading a setting over calls;
    each round starts one item further on, so that two cycles of the same
    length drawn together still meet in every pairing."""

    def __init__(self, items):
        self.items = tuple(items)
        self.at = 0

    def __call__(self):
        n = len(self.items)
        item = self.items[(self.at + self.at // n) % n]
        self.at += 1
        return item


def image_word(kind, seed, h, w, channels):
    dims = f"{h}x{w}" if channels is None else f"{h}x{w}x{channels}"
    return f"{kind}.{seed}.{dims}"


class Corpus:
    def __init__(self):
        self.lines = []
        self.seen = set()
        self.seed = 0
        self.strengths = Cycle(STRENGTHS)

    def section(self, number):
        """Seeds from number * 100000 on: a call added to one section leaves
        the inputs of every other as they were."""
        self.seed = number * 100_000

    def next_seed(self):
        self.seed += 1
        return self.seed

    def image(self, h, w, channels, kind=None):
        """An image of its own seed; of a kind drawn from the seed unless given."""
        seed = self.next_seed()
        kind = kind or IMAGE_KINDS[int(golden.draws(seed, 1)[0]) % len(IMAGE_KINDS)]
        return image_word(kind, seed, h, w, channels)

    def add(self, family, **words):
        line = format_call(family, **{k: v for k, v in words.items() if v is not None})
        if line in self.seen:
            raise ValueError(f"the corpus has this call twice: {line}")
        self.seen.add(line)
        self.lines.append(line)
        return line


def no_default(value, default):
    return None if value == default else value


def flag(value):
    return 1 if value else None


def alpha_word(kept):
    return None if kept else 0


def linear_word(on):
    return 1 if on else None


def palette_word(kind, seed, n):
    return f"{kind}.{seed}.{n}"


def error_diffusion_calls(c):
    shapes = Cycle(SHAPES)
    layouts = Cycle(LAYOUTS)
    # Every kernel, order, main level count and light.
    for kernel, serpentine, levels, linear in product(KERNELS, (0, 1), LEVELS_MAIN, (0, 1)):
        h, w = shapes()
        channels, kept = layouts()
        c.add(
            "error_diffusion",
            image=c.image(h, w, channels),
            levels=no_default(levels, 2),
            method=kernel,
            serpentine=flag(serpentine),
            strength=c.strengths(),
            linear=linear_word(linear),
            alpha=alpha_word(kept),
        )
    kernels = Cycle(KERNELS)
    orders = Cycle((0, 1, 1, 0))
    lights = Cycle((0, 1, 1))
    for levels, (channels, kept), linear in product(LEVELS_MORE, LAYOUTS[:4], (0, 1)):
        h, w = shapes()
        c.add(
            "error_diffusion",
            image=c.image(h, w, channels),
            levels=levels,
            method=kernels(),
            serpentine=flag(orders()),
            strength=c.strengths(),
            linear=linear_word(linear),
            alpha=alpha_word(kept),
        )
    # One row, one column, odd and small sizes: the vector loops' edges and
    # the row groups of gray images.
    tiny_levels = Cycle((2, 3, 16, 256, 7))
    for (h, w), kernel, serpentine in product(TINY_SHAPES, KERNELS, (0, 1)):
        channels, kept = layouts()
        c.add(
            "error_diffusion",
            image=c.image(h, w, channels),
            levels=no_default(tiny_levels(), 2),
            method=kernel,
            serpentine=flag(serpentine),
            linear=linear_word(lights()),
            alpha=alpha_word(kept),
        )
    tiny_palettes = Cycle((("rand", 8), ("tie", 40), ("rand", 600), ("gray", 3)))
    colour = Cycle(COLOUR_LAYOUTS)
    for h, w in TINY_SHAPES:
        for _ in range(2):
            kind, n = tiny_palettes()
            channels, kept = colour()
            c.add(
                "error_diffusion",
                image=c.image(h, w, channels),
                palette=palette_word(kind, c.next_seed(), n),
                method=kernels(),
                serpentine=flag(orders()),
                linear=linear_word(lights()),
                alpha=alpha_word(kept),
            )


def error_diffusion_palette_calls(c):
    shapes = Cycle(SHAPES)
    colour = Cycle(COLOUR_LAYOUTS)
    kernels = Cycle(KERNELS)
    orders = Cycle((0, 1, 1, 0, 1))
    lights = Cycle((0, 1, 0))
    for n, kind in product(PALETTE_SIZES, PALETTE_KINDS):
        h, w = shapes()
        channels, kept = colour()
        c.add(
            "error_diffusion",
            image=c.image(h, w, channels),
            palette=palette_word(kind, c.next_seed(), n),
            method=kernels(),
            serpentine=flag(orders()),
            strength=c.strengths(),
            linear=linear_word(lights()),
            alpha=alpha_word(kept),
        )
    # Every kernel in both orders on each side of the palette searches.
    for n, kind in ((6, "rand"), (33, "tie"), (129, "plane"), (513, "rand")):
        seed = c.next_seed()
        for kernel, serpentine in product(KERNELS, (0, 1)):
            h, w = shapes()
            channels, kept = colour()
            c.add(
                "error_diffusion",
                image=c.image(h, w, channels),
                palette=palette_word(kind, seed, n),
                method=kernel,
                serpentine=flag(serpentine),
                linear=linear_word(lights()),
                alpha=alpha_word(kept),
            )
    # Above 2^16 pixels palettes from 128 colours are searched through a
    # grid of cells (a finer one from 1024 colours above 2^19 pixels).
    grid = Cycle(PALETTE_KINDS)
    for n in (127, 128, 513, 1024, 4096):
        c.add(
            "error_diffusion",
            image=c.image(257, 256, 3),
            palette=palette_word(grid(), c.next_seed(), n),
            method=kernels(),
            linear=linear_word(lights()),
        )
    for n in (128, 1024):
        c.add(
            "error_diffusion",
            image=c.image(257, 256, 4),
            palette=palette_word("rand", c.next_seed(), n),
            method=kernels(),
            serpentine=1,
            strength=0.875,
        )
    c.add(
        "error_diffusion",
        image=c.image(725, 725, 3, "ramp"),
        palette=palette_word("rand", c.next_seed(), 4096),
        method="floyd_steinberg",
    )


def large_diffusion_calls(c):
    """Images large enough for the rows to be pipelined on worker threads
    (when the thread count is set)."""
    c.add("error_diffusion", image=c.image(1250, 2001, None, "ramp"), method="floyd_steinberg")
    c.add(
        "error_diffusion",
        image=c.image(160, 1600, 3, "ramp"),
        palette=palette_word("rand", c.next_seed(), 127),
        method="sierra",
    )
    c.add(
        "error_diffusion",
        image=c.image(130, 1000, 4, "ramp"),
        palette=palette_word("tie", c.next_seed(), 256),
        method="atkinson",
    )


def ordered_calls(c):
    layouts = Cycle(LAYOUTS)
    shapes = Cycle(SHAPES)
    # Small images take the formula; larger ones the cell table or its
    # byte comparisons (at most 16 distinct levels), from 256 samples per cell.
    for bayer, levels, linear in product(BAYERS, (2, 3, 4, 16, 17, 255, 256), (0, 1)):
        channels, kept = layouts()
        h, w = shapes()
        c.add(
            "ordered_dither",
            image=c.image(h, w, channels),
            levels=no_default(levels, 2),
            matrix=no_default(bayer, "bayer8"),
            strength=c.strengths(),
            linear=linear_word(linear),
            alpha=alpha_word(kept),
        )
        size = int(bayer[5:])
        depth = channels or 1
        height = 37 + size
        width = -(-(size * size * 256) // (height * depth)) + 3
        c.add(
            "ordered_dither",
            image=c.image(height, width, channels),
            levels=no_default(levels, 2),
            matrix=no_default(bayer, "bayer8"),
            strength=c.strengths(),
            linear=linear_word(linear),
            alpha=alpha_word(kept),
        )
    palettes = Cycle((("rand", 6), ("tie", 33), ("rand", 300)))
    for m in MATRICES_CUSTOM:
        channels, kept = layouts()
        h, w = shapes()
        c.add(
            "ordered_dither",
            image=c.image(h, w, channels),
            levels=3,
            matrix=m,
            alpha=alpha_word(kept),
        )
        rows, cols = golden.parse_dims(m.split(".")[2])
        height = 23 + rows
        width = -(-(rows * cols * 256) // (height * (channels or 1))) + 3
        c.add(
            "ordered_dither",
            image=c.image(height, width, channels),
            levels=16,
            matrix=m,
            strength=0.875,
            alpha=alpha_word(kept),
        )
        c.add("ordered_dither", image=c.image(h, w, 4), levels=4, matrix=m, linear=1)
        kind, n = palettes()
        c.add(
            "ordered_dither",
            image=c.image(h, w, 3),
            palette=palette_word(kind, c.next_seed(), n),
            matrix=m,
        )
    for (h, w), m in zip(TINY_SHAPES, MATRICES * 2):
        channels, kept = layouts()
        c.add(
            "ordered_dither",
            image=c.image(h, w, channels),
            levels=4,
            matrix=m,
            alpha=alpha_word(kept),
        )


def threshold_palette_calls(c, family, extra, large, banded):
    """Ordered or random dither to every palette size and kind, on small,
    medium (cell side 8) and large (cell side 16 and more) images."""
    shapes = Cycle(SHAPES)
    colour = Cycle(COLOUR_LAYOUTS)
    lights = Cycle((0, 1, 0, 0))
    for n, kind in product(PALETTE_SIZES, PALETTE_KINDS):
        h, w = shapes()
        channels, kept = colour()
        c.add(
            family,
            image=c.image(h, w, channels),
            palette=palette_word(kind, c.next_seed(), n),
            strength=c.strengths(),
            linear=linear_word(lights()),
            alpha=alpha_word(kept),
            **extra(),
        )
    kinds = Cycle(PALETTE_KINDS)
    for n in PALETTE_SIZES[:14]:
        channels, kept = colour()
        c.add(
            family,
            image=c.image(96, 86, channels),
            palette=palette_word(kinds(), c.next_seed(), n),
            linear=linear_word(lights()),
            alpha=alpha_word(kept),
            **extra(),
        )
    for n in large:
        c.add(
            family,
            image=c.image(257, 256, 3),
            palette=palette_word(kinds(), c.next_seed(), n),
            strength=c.strengths(),
            **extra(),
        )
    # Long enough to be cut into bands of rows for the worker threads: the
    # cell lists of a large palette, and the groups of a five-channel image.
    if banded:
        c.add(
            family,
            image=c.image(620, 620, 3, "ramp"),
            palette=palette_word("rand", c.next_seed(), 4096),
            **extra(),
        )
    c.add(
        family,
        image=c.image(252, 252, 5, "noise"),
        palette=palette_word("rand", c.next_seed(), 4096),
        **extra(),
    )


def random_calls(c):
    layouts = Cycle(LAYOUTS)
    shapes = Cycle(SHAPES)
    seeds = Cycle(SEEDS)
    for levels, linear, _ in product((2, 3, 4, 16, 17, 255, 256), (0, 1), range(3)):
        channels, kept = layouts()
        h, w = shapes()
        c.add(
            "random_dither",
            image=c.image(h, w, channels),
            levels=no_default(levels, 2),
            seed=seeds(),
            strength=c.strengths(),
            linear=linear_word(linear),
            alpha=alpha_word(kept),
        )
    # -1 and 2^64 - 1 are the same seed, and so are 7 and 2^64 + 7.
    img = c.image(31, 47, 3)
    for seed in (-1, 2**64 - 1, 7, 2**64 + 7):
        c.add("random_dither", image=img, levels=3, seed=seed)
    for (h, w), seed in zip(TINY_SHAPES, SEEDS * 3):
        channels, kept = layouts()
        c.add(
            "random_dither",
            image=c.image(h, w, channels),
            levels=5,
            seed=seed,
            alpha=alpha_word(kept),
        )
    # Banded: the formula (linear light; a matrix of more than 256 cells) on
    # worker threads, the noise of each band starting at its first pixel.
    c.add("random_dither", image=c.image(1000, 900, 3, "ramp"), levels=4, seed=99, linear=1)
    c.add("ordered_dither", image=c.image(600, 900, 5, "ramp"), levels=3, matrix="perm.6.17x17")


def dither_calls(c):
    names = (
        "fs",
        "Floyd-Steinberg",
        "ffs",
        "jjn",
        "Jarvis",
        "stucki",
        "atkinson",
        "burkes",
        "sierra3",
        "sierra2",
        "Two-Row-Sierra",
        "sierra_lite",
        "sierra24a",
        "random",
        "bayer2x2",
        "bayer4x4",
        "Bayer-8x8",
        "16x16",
        "4",
    )
    shapes = Cycle(SHAPES)
    layouts = Cycle(LAYOUTS)
    for name in names:
        h, w = shapes()
        channels, kept = layouts()
        c.add(
            "dither",
            image=c.image(h, w, channels),
            levels=4,
            method=name,
            serpentine=1 if name in ("jjn", "burkes") else None,
            seed=11,
            alpha=alpha_word(kept),
        )
        c.add(
            "dither",
            image=c.image(h, w, 3),
            palette=palette_word("rand", c.next_seed(), 20),
            method=name,
            seed=12,
            linear=1,
        )


def refined_calls(c):
    """tonalis_tools.diffuse, ordered and random with their refinements."""
    shapes = Cycle(SHAPES)
    layouts = Cycle(LAYOUTS)
    colour = Cycle(COLOUR_LAYOUTS)
    limits = Cycle((None, 0, 24, 1000, 2.5))
    masks = Cycle((None, "rand", "bin", "ramp", "half", None))
    distances = Cycle((None, "luma", "oklab"))
    targets = (
        ("levels", 2),
        ("levels", 4),
        ("levels", 256),
        ("palette", 6),
        ("palette", 40),
        ("palette", 600),
    )
    pkinds = Cycle(("rand", "tie", "plane", "gray"))
    lights = Cycle((0, 1, 0))

    def target_words(kind, n):
        if kind == "levels":
            return {"levels": no_default(n, 2)}
        return {"palette": palette_word(pkinds(), c.next_seed(), n), "distance": distances()}

    for kernel, serpentine, (kind, n) in product(KERNELS, (0, 1), targets):
        h, w = shapes()
        channels, kept = layouts() if kind == "levels" else colour()
        words = target_words(kind, n)
        m = masks()
        c.add(
            "diffuse",
            image=c.image(h, w, channels),
            method=kernel,
            serpentine=flag(serpentine),
            strength=c.strengths(),
            linear=linear_word(lights()),
            alpha=alpha_word(kept),
            limit=limits(),
            mask=m and f"{m}.{c.next_seed()}",
            **words,
        )
    for (h, w), kernel in zip(TINY_SHAPES, KERNELS * 2):
        channels, kept = colour()
        c.add(
            "diffuse",
            image=c.image(h, w, channels),
            method=kernel,
            limit=16,
            mask=f"rand.{c.next_seed()}",
            palette=palette_word("rand", c.next_seed(), 5),
            distance=distances(),
        )
    # Error limits against a palette that cannot reach the colours.
    for limit, distance in product((0, 8, 24, 64, 255), (None, "luma", "oklab")):
        c.add(
            "diffuse",
            image=c.image(33, 47, 3, "flat"),
            palette=palette_word("gray", 2, 3),
            limit=limit,
            distance=distance,
            method=KERNELS[limit % 9],
        )
    matrices = Cycle(MATRICES)
    seeds = Cycle(SEEDS)
    threshold_targets = (
        ("levels", 2),
        ("levels", 3),
        ("levels", 16),
        ("levels", 256),
        ("palette", 6),
        ("palette", 8),
        ("palette", 31),
        ("palette", 33),
        ("palette", 129),
        ("palette", 4096),
    )
    for (kind, n), round_ in product(threshold_targets, range(6)):
        h, w = shapes() if round_ < 5 else (96, 100)
        channels, kept = layouts() if kind == "levels" else colour()
        words = target_words(kind, n)
        m = masks()
        c.add(
            "ordered",
            image=c.image(h, w, channels),
            matrix=no_default(matrices(), "bayer8"),
            strength=c.strengths(),
            linear=linear_word(lights()),
            alpha=alpha_word(kept),
            mask=m and f"{m}.{c.next_seed()}",
            **words,
        )
        m = masks()
        words = target_words(kind, n)
        c.add(
            "random",
            image=c.image(h, w, channels),
            seed=seeds(),
            strength=c.strengths(),
            linear=linear_word(lights()),
            alpha=alpha_word(kept),
            mask=m and f"{m}.{c.next_seed()}",
            **words,
        )


def plain_twins(c):
    """Refined calls with every refinement off, each beside the plain call
    of the same arguments: their hashes must agree."""
    shapes = Cycle(SHAPES)
    layouts = Cycle(LAYOUTS)
    colour = Cycle(COLOUR_LAYOUTS)
    twins = []
    kernels = Cycle(KERNELS)
    for i in range(12):
        h, w = shapes()
        if i % 2:
            channels, kept = colour()
            target = {
                "palette": palette_word(PALETTE_KINDS[i % 6], c.next_seed(), (6, 33, 600)[i % 3])
            }
        else:
            channels, kept = layouts()
            target = {"levels": no_default((2, 3, 16, 256)[i % 4], 2)}
        img = c.image(h, w, channels)
        common = dict(
            image=img,
            strength=(None, 0.5)[i % 2],
            linear=linear_word(i % 3 == 0),
            alpha=alpha_word(kept),
            **target,
        )
        kernel, serpentine = kernels(), flag(i % 4 == 1)
        seed = SEEDS[i % len(SEEDS)]
        m = MATRICES[i % len(MATRICES)]
        twins.append(
            (
                c.add("error_diffusion", method=kernel, serpentine=serpentine, **common),
                c.add("diffuse", method=kernel, serpentine=serpentine, **common),
            )
        )
        twins.append(
            (
                c.add("ordered_dither", matrix=no_default(m, "bayer8"), **common),
                c.add("ordered", matrix=no_default(m, "bayer8"), **common),
            )
        )
        twins.append(
            (c.add("random_dither", seed=seed, **common), c.add("random", seed=seed, **common))
        )
    return twins


def pattern_calls(c):
    shapes = Cycle(SHAPES)
    colour = Cycle(COLOUR_LAYOUTS)
    distances = Cycle((None, "luma", "oklab"))
    matrices = Cycle(MATRICES)
    sizes = Cycle((2, 5, 6, 16, 31, 33, 64, 129, 600, 4096))
    pkinds = Cycle(PALETTE_KINDS)
    # Pattern dither, mostly in linear light (the function's own default;
    # the corpus's is off, so those calls say linear=1).
    for candidates, distance in product((1, 2, 3, 4, 8, 16, 64, 256), (None, "luma", "oklab")):
        h, w = shapes()
        channels, kept = colour()
        c.add(
            "pattern",
            image=c.image(h, w, channels),
            palette=palette_word(pkinds(), c.next_seed(), sizes()),
            matrix=no_default(matrices(), "bayer8"),
            strength=c.strengths(),
            linear=None if candidates == 3 else 1,
            alpha=alpha_word(kept),
            distance=distance,
            candidates=no_default(candidates, 8),
        )
    for channels in (None, 1, 2):
        c.add(
            "pattern",
            image=c.image(27, 35, channels),
            palette=palette_word("rand", c.next_seed(), 12),
            linear=1,
            distance=distances(),
        )
    for n in (8, 300):
        c.add(
            "pattern",
            image=c.image(128, 160, 3, "noise"),
            palette=palette_word("rand", c.next_seed(), n),
            linear=1,
            candidates=4,
        )
    for (h, w), m in zip(TINY_SHAPES, MATRICES * 2):
        c.add(
            "pattern",
            image=c.image(h, w, 3),
            palette=palette_word("tie", c.next_seed(), 24),
            matrix=no_default(m, "bayer8"),
            linear=1,
            candidates=6,
        )


# Riemersma and variable diffusion quantize at most four channels of an
# image (a fifth passes through as it came), so their level calls keep to
# four channels or fewer.
FOUR_LAYOUTS = tuple(layout for layout in LAYOUTS if layout[0] != 5)


def riemersma_calls(c):
    shapes = Cycle(SHAPES)
    colour = Cycle(COLOUR_LAYOUTS)
    layouts = Cycle(FOUR_LAYOUTS)
    distances = Cycle((None, "luma", "oklab"))
    pkinds = Cycle(PALETTE_KINDS)
    targets = Cycle(
        (
            ("levels", 2),
            ("levels", 3),
            ("palette", 6),
            ("levels", 16),
            ("palette", 33),
            ("levels", 256),
            ("palette", 600),
        )
    )

    def target_words(channels, kept):
        kind, n = targets()
        if kind == "levels":
            return {"levels": no_default(n, 2)}, channels, kept
        ch, kp = colour() if channels not in (None, 1, 2) else (channels, kept)
        return (
            {"palette": palette_word(pkinds(), c.next_seed(), n), "distance": distances()},
            ch,
            kp,
        )

    for history, ratio in product((1, 2, 3, 16, 64, 256), (1, 0.5, 0.0625, 0.001)):
        h, w = shapes()
        words, channels, kept = target_words(*layouts())
        c.add(
            "riemersma",
            image=c.image(h, w, channels),
            history=no_default(history, 16),
            ratio=no_default(ratio, 0.0625),
            strength=c.strengths(),
            linear=linear_word(history % 3 == 1),
            alpha=alpha_word(kept),
            **words,
        )
    riemersma_shapes = (
        (1, 1),
        (1, 5),
        (5, 1),
        (2, 3),
        (3, 2),
        (7, 11),
        (64, 64),
        (65, 33),
        (100, 1),
        (1, 100),
        (129, 257),
        (33, 200),
    )
    for h, w in riemersma_shapes:
        for _ in range(2):
            words, channels, kept = target_words(*layouts())
            c.add("riemersma", image=c.image(h, w, channels), alpha=alpha_word(kept), **words)


def variable_calls(c):
    shapes = Cycle(SHAPES)
    layouts = Cycle(FOUR_LAYOUTS)
    seeds = Cycle(SEEDS)
    for method, levels, linear in product(("ostromoukhov", "zhou_fang"), LEVELS_MAIN, (0, 1)):
        for _ in range(2):
            h, w = shapes()
            channels, kept = layouts()
            c.add(
                "variable",
                image=c.image(h, w, channels),
                levels=no_default(levels, 2),
                method=no_default(method, "ostromoukhov"),
                seed=seeds(),
                strength=c.strengths(),
                linear=linear_word(linear),
                alpha=alpha_word(kept),
            )
    for (h, w), method in zip(TINY_SHAPES, ("ostromoukhov", "zhou_fang") * 9):
        channels, kept = layouts()
        c.add(
            "variable",
            image=c.image(h, w, channels),
            levels=3,
            method=no_default(method, "ostromoukhov"),
            seed=5,
            alpha=alpha_word(kept),
        )


def dbs_calls(c):
    """Direct binary search: levels and palettes (below and above the size
    scanned in line), both filters, a few widths, pass limits, swaps off,
    and images of many tiles, which the worker threads share."""
    shapes = Cycle(SHAPES + ((70, 100), (129, 65), (1, 40), (40, 1), (2, 2)))
    layouts = Cycle(FOUR_LAYOUTS)
    colour = Cycle(COLOUR_LAYOUTS[:3])
    filters = Cycle(("g1.2", "g0.5", "g2.5", "n12.100", "g0.8", "n20.300"))
    passes = Cycle((1000, 1, 3, 1000, 2))
    pkinds = Cycle(PALETTE_KINDS)
    targets = (("levels", 2), ("levels", 3), ("levels", 4), ("levels", 16), ("levels", 256))
    targets += (("palette", 2), ("palette", 4), ("palette", 7), ("palette", 32))
    targets += (("palette", 33), ("palette", 64))
    for (kind, n), linear, swaps in product(targets, (0, 1), (1, 1, 0)):
        h, w = shapes()
        channels, kept = layouts() if kind == "levels" else colour()
        words = (
            {"levels": no_default(n, 2)}
            if kind == "levels"
            else {"palette": palette_word(pkinds(), c.next_seed(), n)}
        )
        c.add(
            "dbs",
            image=c.image(h, w, channels),
            filter=no_default(filters(), "g1.2"),
            passes=no_default(passes(), 1000),
            swaps=no_default(swaps, 1),
            linear=linear_word(linear),
            alpha=alpha_word(kept),
            **words,
        )
    # Large enough for the thread-count check of tests/test_golden.py.
    for h, w in ((320, 320), (33, 3100)):
        for words in ({"levels": 2}, {"palette": palette_word("rand", c.next_seed(), 7)}):
            channels = None if "levels" in words else 3
            c.add("dbs", image=c.image(h, w, channels), linear=1, **words)
    # Coloured palettes searched in lightness and colour differences, with
    # each filter kind, in linear light and codes.
    opponent_filters = Cycle(("g1.2", "g0.8", "n12.100", "g2.5", "g0.5"))
    for n, linear, swaps in product((2, 4, 7, 32), (0, 1), (1, 0)):
        h, w = shapes()
        channels, kept = colour()
        c.add(
            "dbs",
            image=c.image(h, w, channels),
            palette=palette_word(pkinds(), c.next_seed(), n),
            filter=no_default(opponent_filters(), "g1.2"),
            swaps=no_default(swaps, 1),
            linear=linear_word(linear),
            alpha=alpha_word(kept),
            opponent=1,
        )
    for h, w in ((320, 320), (33, 3100)):
        palette = palette_word("rand", c.next_seed(), 7)
        c.add("dbs", image=c.image(h, w, 3), palette=palette, linear=1, opponent=1)


def build():
    c = Corpus()
    matrices = Cycle(MATRICES)
    seeds = Cycle(SEEDS)
    twins = []
    sections = (
        error_diffusion_calls,
        error_diffusion_palette_calls,
        large_diffusion_calls,
        ordered_calls,
        lambda c: threshold_palette_calls(
            c,
            "ordered_dither",
            lambda: {"matrix": no_default(matrices(), "bayer8")},
            (6, 31, 32, 4096),
            False,
        ),
        lambda c: threshold_palette_calls(
            c, "random_dither", lambda: {"seed": seeds()}, (7, 256), True
        ),
        random_calls,
        dither_calls,
        refined_calls,
        lambda c: twins.extend(plain_twins(c)),
        pattern_calls,
        riemersma_calls,
        variable_calls,
        dbs_calls,
    )
    for number, section in enumerate(sections, 1):
        c.section(number)
        section(c)
    return c.lines, twins


HEADER = """\
# The golden corpus: one dither call a line, after the FNV-1a 64-bit hash of
# its output bytes as x86-64 computed it. tools/golden_corpus.py writes it
# (--write) and checks it; tests/golden_calls.py describes the words and makes
# the inputs; tests/test_golden.py and tests/core/golden_corpus.cpp check it.
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--write", action="store_true", help="record today's hashes")
    parser.add_argument("--corpus", type=Path, default=golden.CORPUS)
    args = parser.parse_args()

    lines, twins = build()
    began = time.perf_counter()
    hashes = {}
    for line in lines:
        hashes[line] = golden.hash_call(golden.parse_call(line))
    elapsed = time.perf_counter() - began
    print(f"{len(lines)} calls in {elapsed:.1f} s")
    bad = [(a, b) for a, b in twins if hashes[a] != hashes[b]]
    for a, b in bad:
        print(f"refined call differs from its plain twin:\n  {a}\n  {b}", file=sys.stderr)
    if args.write:
        if bad:
            return 1
        args.corpus.parent.mkdir(parents=True, exist_ok=True)
        body = "".join(f"{hashes[line]:016x} {line}\n" for line in lines)
        args.corpus.write_text(HEADER + body)
        filters = args.corpus.with_name(golden.FILTERS.name)
        calls = [golden.parse_call(line) for line in lines]
        filters.write_text(golden.format_filters(golden.dbs_filter_words(calls)))
        print(f"wrote {args.corpus} and {filters}")
        return 0
    recorded = {call.text: digest for digest, call in golden.read_corpus(args.corpus)}
    status = 1 if bad else 0
    if set(recorded) != set(lines):
        print(
            f"{args.corpus} lists other calls than this script makes; run --write", file=sys.stderr
        )
        status = 1
    differ = [line for line in lines if line in recorded and recorded[line] != hashes[line]]
    for line in differ[:20]:
        print(f"differs: {line}", file=sys.stderr)
    if differ:
        print(f"{len(differ)} of {len(lines)} calls differ from {args.corpus}", file=sys.stderr)
        status = 1
    return status


if __name__ == "__main__":
    sys.exit(main())
