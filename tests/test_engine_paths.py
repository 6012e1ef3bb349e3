"""The engines' alternative ways of computing the same bits, each reached
through the public functions by the image size, the channel count, the
level count, the matrix or the palette size, against float32 models.

The models here are vectorised with numpy: elementwise float32 operations
round each step to single precision and never fuse a multiply with an add,
so they compute what the slow per-pixel models of reference.py compute,
only fast enough for images large enough to reach every path (table
lookups, vector lanes, worker threads, blocked palette searches)."""

import numpy as np
import pytest
import reference as ref
from reference import assert_images_equal
from threshold_reference import bayer_thresholds, draws, float_thresholds, index_thresholds

import tonalis

F = np.float32
MASK64 = (1 << 64) - 1


# --- vectorised models ------------------------------------------------------------


def round_half_away(x):
    x = np.asarray(x, dtype=F)
    t = np.trunc(x)
    with np.errstate(invalid="ignore"):  # inf - inf where x is infinite
        return np.where(np.abs(x - t) >= F(0.5), t + np.sign(x), t).astype(F)


def nearest_levels(v, n, inv_step):
    t = round_half_away(v * F(inv_step))
    t = np.where(np.isnan(t), F(0), t)
    return np.clip(t, 0, n - 1).astype(np.intp)


def noise_draws(seed, count):
    """The 24-bit draws of the seeded generator: the k-th state is the
    initial state plus k + 1 increments."""
    state = np.uint64(((seed & MASK64) ^ 0xD1B54A32D192ED03) & MASK64)
    k = np.arange(1, count + 1, dtype=np.uint64)
    with np.errstate(over="ignore"):
        z = state + k * np.uint64(0x9E3779B97F4A7C15)
        z = (z ^ (z >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
        z = (z ^ (z >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)
    return z >> np.uint64(40)


def noise_shifts(seed, h, w):
    return (noise_draws(seed, h * w).astype(F) * F(2.0**-24) - F(0.5)).reshape(h, w)


def tiled_shifts(thresholds, h, w):
    t = np.asarray(thresholds, dtype=F)
    reps = (-(-h // t.shape[0]), -(-w // t.shape[1]))
    return np.tile(t, reps)[:h, :w] - F(0.5)


def levels_model(image, shifts, levels, strength=1.0, linear=False, preserve_alpha=True):
    out = np.array(image, dtype=np.uint8, copy=True)
    px = out if out.ndim == 3 else out[:, :, None]
    codes, _, step, inv_step = ref.levels(levels, linear)
    work = ref.to_work(linear)
    d = (shifts * (F(strength) * F(step))).astype(F)
    v = (work[px] + d[:, :, None]).astype(F)
    q = codes[nearest_levels(v, levels, inv_step)]
    channels = px.shape[2]
    alpha = channels - 1 if out.ndim == 3 and preserve_alpha and channels in (2, 4) else None
    for c in range(channels):
        if c != alpha:
            px[:, :, c] = q[:, :, c]
    return out


def nearest_colors(p, colors):
    """Index of the first nearest colour for each row of p: distances
    ((dr² + dg²) + db²) in float32, and argmin's first minimum."""
    p = np.asarray(p, dtype=F)
    colors = np.asarray(colors, dtype=F)
    out = np.empty(len(p), dtype=np.intp)
    chunk = max(1, (1 << 22) // len(colors))
    for i in range(0, len(p), chunk):
        q = p[i : i + chunk, None, :]
        dr = q[..., 0] - colors[None, :, 0]
        dg = q[..., 1] - colors[None, :, 1]
        db = q[..., 2] - colors[None, :, 2]
        out[i : i + chunk] = np.argmin((dr * dr + dg * dg) + db * db, axis=1)
    return out


def palette_model(image, shifts, palette, strength=1.0, linear=False):
    out = np.array(image, dtype=np.uint8, copy=True)
    h, w = out.shape[:2]
    triples = np.asarray(palette, dtype=np.uint8)
    colors, spread = ref.palette([tuple(int(v) for v in t) for t in triples], linear)
    work = ref.to_work(linear)
    s = shifts.reshape(-1)
    p = np.stack(
        [work[out[:, :, k].reshape(-1)] + (F(strength) * spread[k]) * s for k in range(3)], axis=1
    ).astype(F)
    out[:, :, :3] = triples[nearest_colors(p, colors)].reshape(h, w, 3)
    return out


@pytest.fixture
def fast_reference_search(monkeypatch):
    """The slow error-diffusion model with its colour search vectorised,
    so that palettes of thousands of colours stay affordable."""

    def nearest_color(p, colors):
        return int(nearest_colors([[F(p[0]), F(p[1]), F(p[2])]], colors)[0])

    monkeypatch.setattr(ref, "nearest_color", nearest_color)


def test_models_agree_with_the_slow_ones():
    # The vectorised generator and levels against reference.py's.
    for seed in (0, 42, -1, 2**64 - 5):
        assert noise_draws(seed, 500).tolist() == draws(seed, 500)
    v = np.random.default_rng(3).uniform(-300, 600, 4000).astype(F)
    v[:6] = [F(127.5), F(-0.5), F(0.49999997), np.nan, np.inf, -np.inf]
    for n in (2, 3, 5, 16, 256):
        _, _, _, inv_step = ref.levels(n, False)
        assert nearest_levels(v, n, inv_step).tolist() == [
            ref.nearest_level(x, n, inv_step) for x in v
        ]


# --- images -------------------------------------------------------------------------


def photo(shape, seed):
    """Smooth ramps with noise, so that both outputs of most cells occur."""
    rng = np.random.default_rng(seed)
    h, w = shape[:2]
    yy, xx = np.mgrid[0:h, 0:w]
    base = (xx * 255 // max(w - 1, 1) + yy * 255 // max(h - 1, 1)) // 2
    if len(shape) == 3:
        base = base[:, :, None] + 37 * np.arange(shape[2])
    return ((base + rng.integers(-24, 25, shape)) % 256).astype(np.uint8)


# Wide and narrow rows, tails after the last full vector, every channel
# count the engines group differently, and one image large enough to be
# cut into bands for the worker threads.
LEVEL_SHAPES = [
    (300, 301),
    (131, 257, 3),
    (130, 129, 4),
    (97, 203, 2),
    (64, 70, 5),
    (129, 130, 1),
    (520, 530),
]
MATRICES = [
    pytest.param(None, bayer_thresholds(8), id="bayer8"),
    pytest.param("bayer16x16", bayer_thresholds(16), id="bayer16"),
    pytest.param(2, bayer_thresholds(2), id="bayer2"),
    pytest.param(
        np.arange(15).reshape(3, 5), index_thresholds(np.arange(15).reshape(3, 5)), id="indices3x5"
    ),
    pytest.param(
        np.linspace(0, 1, 400).reshape(20, 20),
        float_thresholds(np.linspace(0, 1, 400).reshape(20, 20)),
        id="floats20x20",
    ),
    pytest.param([[0.5]], float_thresholds([[0.5]]), id="half"),
]


# --- ordered and random dither, levels ----------------------------------------------


@pytest.mark.parametrize("levels", [2, 3, 16, 17, 256])
@pytest.mark.parametrize("matrix,thresholds", MATRICES)
@pytest.mark.parametrize("shape", LEVEL_SHAPES, ids=str)
def test_ordered_levels(shape, matrix, thresholds, levels):
    img = photo(shape, seed=levels)
    h, w = shape[:2]
    shifts = tiled_shifts(thresholds, h, w)
    for linear, strength, preserve_alpha in [(False, 1.0, True), (True, 0.37, False)]:
        got = tonalis.ordered_dither(
            img,
            matrix,
            levels=levels,
            linear=linear,
            strength=strength,
            preserve_alpha=preserve_alpha,
        )
        assert_images_equal(
            got, levels_model(img, shifts, levels, strength, linear, preserve_alpha)
        )


@pytest.mark.parametrize("levels", [2, 4, 16, 17])
@pytest.mark.parametrize("shape", LEVEL_SHAPES + [(1, 1), (1, 15), (3, 17, 3), (2, 9, 4)], ids=str)
def test_random_levels(shape, levels):
    img = photo(shape, seed=levels + 1)
    h, w = shape[:2]
    for seed, linear, strength, preserve_alpha in [
        (7, False, 1.0, True),
        (2**63 + 11, True, 0.8, True),
        (-3, False, 0.25, False),
    ]:
        got = tonalis.random_dither(
            img,
            levels=levels,
            seed=seed,
            linear=linear,
            strength=strength,
            preserve_alpha=preserve_alpha,
        )
        assert_images_equal(
            got,
            levels_model(img, noise_shifts(seed, h, w), levels, strength, linear, preserve_alpha),
        )


# --- palettes -------------------------------------------------------------------------

LATTICE = np.stack(np.meshgrid(*[np.arange(0, 256, 34)] * 3, indexing="ij"), -1).reshape(-1, 3)


def palette_of(kind, n, seed):
    """Palettes that make the searches' shortcuts matter: exact ties at the
    same distance in several directions, repeated colours, colours one code
    apart, and colours all on one line."""
    rng = np.random.default_rng(seed)
    if kind == "random":
        pal = rng.integers(0, 256, (n, 3))
    elif kind == "lattice":  # a shuffled grid: pixels between grid points tie
        pal = LATTICE[rng.permutation(len(LATTICE))][:n]
        pal = np.concatenate([pal, rng.integers(0, 256, (max(0, n - len(pal)), 3))])
    elif kind == "lattice-repeats":  # the grid several times over: more ties, farther apart
        pal = np.tile(LATTICE, (-(-n // len(LATTICE)), 1))[rng.permutation(n)]
    elif kind == "repeats":
        pal = rng.integers(0, 256, (max(2, n // 5), 3))[rng.integers(0, max(2, n // 5), n)]
    elif kind == "near":  # neighbours one code apart in one channel
        base = rng.integers(0, 255, (max(1, n // 2), 3))
        step = np.zeros_like(base)
        step[np.arange(len(base)), rng.integers(0, 3, len(base))] = 1
        pal = np.concatenate([base, base + step])[:n]
    else:  # "gray": every colour on the diagonal
        pal = np.repeat(rng.integers(0, 256, (n, 1)), 3, axis=1)
    pal = np.asarray(pal[:n], dtype=np.uint8)
    if len(pal) < n:
        pal = np.concatenate([pal, pal[: n - len(pal)]])
    return pal


def palette_image(shape, pal, seed):
    """Random pixels, pixels equal to palette colours, and pixels halfway
    between grid colours (equally near to two, four or eight of them)."""
    rng = np.random.default_rng(seed)
    img = rng.integers(0, 256, shape, dtype=np.uint8)
    h, w = shape[:2]
    pick = rng.random((h, w))
    img[pick < 0.3, :3] = pal[rng.integers(0, len(pal), int((pick < 0.3).sum()))]
    middle = (pick >= 0.3) & (pick < 0.6)
    img[middle, :3] = 17 + 34 * rng.integers(0, 7, (int(middle.sum()), 3))
    return img


# Sizes on both sides of every change of method: pixels in the lanes
# against the whole palette, one vector of colours, cells holding sets of
# colours, whole scans, the blocked search of the threshold engines, the
# blocked search of error diffusion, the largest palette.
PALETTE_SIZES = [
    2,
    6,
    7,
    8,
    9,
    16,
    17,
    31,
    32,
    64,
    65,
    128,
    129,
    191,
    192,
    256,
    512,
    513,
    1000,
    4096,
]
KINDS = ["random", "lattice", "lattice-repeats", "repeats", "near", "gray"]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("n", PALETTE_SIZES)
def test_threshold_palette_search(n, kind):
    pal = palette_of(kind, n, seed=n)
    img = palette_image((48, 53, 3 + n % 2), pal, seed=n + 1)
    h, w = img.shape[:2]
    thresholds = bayer_thresholds(4)
    for linear, strength in [(False, 1.0), (False, 0.0), (True, 0.6)]:
        got = tonalis.ordered_dither(img, 4, palette=pal, linear=linear, strength=strength)
        assert_images_equal(
            got, palette_model(img, tiled_shifts(thresholds, h, w), pal, strength, linear)
        )
        got = tonalis.random_dither(img, palette=pal, seed=n, linear=linear, strength=strength)
        assert_images_equal(got, palette_model(img, noise_shifts(n, h, w), pal, strength, linear))


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("n", [9, 64, 65, 512, 513, 4096])
def test_diffusion_palette_search(n, kind, fast_reference_search):
    pal = palette_of(kind, n, seed=n + 2)
    img = palette_image((7, 23, 3), pal, seed=n + 3)
    for method, serpentine, linear, strength in [
        ("floyd_steinberg", False, False, 1.0),
        ("jarvis_judice_ninke", True, True, 1.0),
        ("sierra_lite", False, False, 0.0),
    ]:
        got = tonalis.error_diffusion(
            img, method, palette=pal, serpentine=serpentine, linear=linear, strength=strength
        )
        want = ref.error_diffusion(
            img,
            method,
            palette=[tuple(int(v) for v in t) for t in pal],
            serpentine=serpentine,
            linear=linear,
            strength=strength,
        )
        assert_images_equal(got, want)


# Every point halfway between grid colours, on one to three axes: each is
# equally near to two, four or eight colours, which the blocked searches
# find in different blocks and groups of blocks, in any order.
MIDPOINTS = (
    np.stack(np.meshgrid(*[np.arange(0, 256, 17)[:-1]] * 3, indexing="ij"), -1)
    .reshape(-1, 1, 3)
    .astype(np.uint8)
)


@pytest.mark.parametrize("n", [16, 65, 128, 193, 513, 1000, 4096])
@pytest.mark.parametrize("shuffle", range(12))
def test_ties_between_blocks(n, shuffle):
    rng = np.random.default_rng(shuffle)
    pal = np.tile(LATTICE, (-(-n // len(LATTICE)), 1))[rng.permutation(n)].astype(np.uint8)
    colors, _ = ref.palette([tuple(int(v) for v in t) for t in pal], False)
    want = pal[nearest_colors(MIDPOINTS.reshape(-1, 3).astype(F), colors)].reshape(MIDPOINTS.shape)
    # At strength 0 every engine is the bare search.
    assert_images_equal(tonalis.ordered_dither(MIDPOINTS, palette=pal, strength=0), want)
    assert_images_equal(tonalis.error_diffusion(MIDPOINTS, palette=pal, strength=0), want)


@pytest.mark.parametrize("n", [9, 16, 64, 129, 256, 600, 4096])
def test_threshold_palette_search_on_smooth_images(n):
    # Neighbouring pixels alike, as in photographs: the searches that
    # compare a group of pixels with only the colours near all of them
    # then skip most of the palette.
    pal = palette_of("random", n, seed=n + 7)
    img = photo((40, 203, 3), seed=n)
    h, w = img.shape[:2]
    for strength in (1.0, 0.0):
        got = tonalis.ordered_dither(img, palette=pal, strength=strength)
        assert_images_equal(
            got, palette_model(img, tiled_shifts(bayer_thresholds(8), h, w), pal, strength)
        )
        got = tonalis.random_dither(img, palette=pal, seed=n, strength=strength)
        assert_images_equal(got, palette_model(img, noise_shifts(n, h, w), pal, strength))


# Images of more than four channels: only the first three are written,
# with every palette size's method.
@pytest.mark.parametrize("channels", [5, 6])
@pytest.mark.parametrize("n", [3, 7, 16, 100])
def test_threshold_palette_search_beyond_four_channels(n, channels):
    pal = palette_of("random", n, seed=n + 3)
    img = palette_image((37, 41, channels), pal, seed=n)
    h, w = img.shape[:2]
    got = tonalis.ordered_dither(img, palette=pal, preserve_alpha=False)
    assert_images_equal(got, palette_model(img, tiled_shifts(bayer_thresholds(8), h, w), pal))
    got = tonalis.random_dither(img, palette=pal, seed=n)
    assert_images_equal(got, palette_model(img, noise_shifts(n, h, w), pal))


# Palettes for the candidate lists of the threshold engines' grid of cells:
# colours on one plane or one line, colours at one distance from a whole
# box of working values, neighbours that differ in one code, repeats. A
# list that drops a colour which is nearest somewhere in its cell, or keeps
# the wrong one of two equally near, changes some pixel below.
def hostile_palette(kind, n, seed):
    rng = np.random.default_rng(seed)
    if kind == "plane":  # all at one blue
        pal = np.concatenate([rng.integers(0, 256, (n, 2)), np.full((n, 1), 128)], axis=1)
    elif kind == "diagonal-plane":  # red equals green
        rg = rng.integers(0, 256, (n, 1))
        pal = np.concatenate([rg, rg, rng.integers(0, 256, (n, 1))], axis=1)
    elif kind == "ramp":  # an evenly spaced gray ramp, the caller's order shuffled
        pal = np.repeat(np.linspace(0, 255, n).round()[rng.permutation(n), None], 3, axis=1)
    elif kind == "shells":  # the corners and face centres of cubes around a few centres
        offsets = np.array(
            [
                [x, y, z]
                for x in (-1, 0, 1)
                for y in (-1, 0, 1)
                for z in (-1, 0, 1)
                if (x, y, z) != (0, 0, 0)
            ]
        )
        centres = rng.integers(40, 216, (-(-n // len(offsets)), 3))
        radii = rng.integers(1, 40, (len(centres), 1, 1))
        pal = (centres[:, None, :] + radii * offsets[None]).reshape(-1, 3)[:n]
    else:  # "twins": every colour twice, the second copy later in the list
        half = rng.integers(0, 256, (-(-n // 2), 3))
        pal = np.concatenate([half, half[rng.permutation(len(half))]])[:n]
    return np.clip(pal, 0, 255).astype(np.uint8)


def hostile_image(shape, pal, seed):
    """palette_image's pixels plus every palette colour give or take one
    code, and the mean of two palette colours (equally near to both)."""
    img = palette_image(shape, pal, seed)
    rng = np.random.default_rng(seed + 1)
    h, w = shape[:2]
    pick = rng.random((h, w))
    near = pick < 0.2
    img[near, :3] = np.clip(
        pal[rng.integers(0, len(pal), int(near.sum()))].astype(int)
        + rng.integers(-1, 2, (int(near.sum()), 3)),
        0,
        255,
    )
    mean = (pick >= 0.2) & (pick < 0.35)
    a = pal[rng.integers(0, len(pal), int(mean.sum()))].astype(int)
    b = pal[rng.integers(0, len(pal), int(mean.sum()))].astype(int)
    img[mean, :3] = (a + b) // 2
    return img


HOSTILE = ["plane", "diagonal-plane", "ramp", "shells", "twins"]


@pytest.mark.parametrize("kind", HOSTILE)
@pytest.mark.parametrize("n", [9, 17, 31, 64, 300, 4096])
def test_cell_lists_on_hostile_palettes(n, kind):
    pal = hostile_palette(kind, n, seed=n)
    # RGB rows of whole vectors: the last pixels read nothing past the image.
    img = hostile_image((97, 93 + 3 * (n % 2 == 0), 3 + n % 2), pal, seed=n + 1)
    h, w = img.shape[:2]
    # Thresholds that reach both ends of the shift, on a matrix that is
    # neither square nor a power of two.
    matrix = np.array([[0.0, 1.0, 0.25], [0.5, 0.999, 0.01]])
    for linear, strength in [(False, 1.0), (False, 0.5), (False, 0.0), (True, 1.0), (True, 0.5)]:
        got = tonalis.ordered_dither(img, matrix, palette=pal, linear=linear, strength=strength)
        assert_images_equal(
            got,
            palette_model(img, tiled_shifts(float_thresholds(matrix), h, w), pal, strength, linear),
        )
        got = tonalis.random_dither(img, palette=pal, seed=n, linear=linear, strength=strength)
        assert_images_equal(got, palette_model(img, noise_shifts(n, h, w), pal, strength, linear))


# Larger images get finer grids of cells, and shorter lists.
@pytest.mark.parametrize("kind", ["random", "lattice-repeats", "gray"])
@pytest.mark.parametrize("n", [16, 31, 32, 256])
def test_cell_lists_on_fine_grids(n, kind):
    pal = palette_of(kind, n, seed=n + 11)
    img = palette_image((330, 317, 3), pal, seed=n + 12)
    h, w = img.shape[:2]
    for linear, strength in [(False, 1.0), (True, 0.5)]:
        got = tonalis.ordered_dither(img, 8, palette=pal, linear=linear, strength=strength)
        assert_images_equal(
            got, palette_model(img, tiled_shifts(bayer_thresholds(8), h, w), pal, strength, linear)
        )
        got = tonalis.random_dither(img, palette=pal, seed=3, linear=linear, strength=strength)
        assert_images_equal(got, palette_model(img, noise_shifts(3, h, w), pal, strength, linear))


# Error diffusion searches palettes of 128 colours and more through a grid
# of cells on images of more than 256² pixels (finer for 1024 colours and
# more from 724² pixels), and the plain way on smaller ones. No row depends
# on the rows below it, so the first rows of a large image come out as
# they do alone.
@pytest.mark.parametrize("kind", HOSTILE + KINDS)
@pytest.mark.parametrize("n", [128, 300, 4096])
def test_diffusion_grid_agrees_with_the_plain_search(n, kind):
    seed = n + len(kind)
    pal = hostile_palette(kind, n, seed) if kind in HOSTILE else palette_of(kind, n, seed)
    img = hostile_image((130 if n >= 1024 else 40, 4100, 3 + n % 2), pal, seed=seed + 1)
    for method, serpentine, linear, strength in [
        ("floyd_steinberg", False, False, 1.0),
        ("jarvis_judice_ninke", True, True, 0.75),
        ("atkinson", False, True, 1.0),
    ]:
        args = dict(palette=pal, serpentine=serpentine, linear=linear, strength=strength)
        whole = tonalis.error_diffusion(img, method, **args)
        top = tonalis.error_diffusion(img[:8], method, **args)
        assert_images_equal(whole[:8], top)


# Every code triple on a lattice of step 5 at strength 0 (the working
# values are the codes), on a grid of cells fine enough that most cells
# hold a few colours: any colour dropped from a list shows.
CUBE = np.stack(np.meshgrid(*[np.arange(0, 256, 5)] * 3, indexing="ij"), -1).reshape(-1, 1, 3)
CUBE = np.ascontiguousarray(CUBE.reshape(-1, 338, 3)).astype(np.uint8)


@pytest.mark.parametrize("linear", [False, True])
@pytest.mark.parametrize("kind", HOSTILE + ["random"])
@pytest.mark.parametrize("n", [12, 31, 40, 256, 1500])
def test_cell_lists_over_the_whole_cube(n, kind, linear):
    pal = hostile_palette(kind, n, seed=n + 31) if kind != "random" else palette_of(kind, n, n)
    colors, _ = ref.palette([tuple(int(v) for v in t) for t in pal], linear)
    work = ref.to_work(linear)
    want = pal[nearest_colors(work[CUBE.reshape(-1, 3)], colors)].reshape(CUBE.shape)
    assert_images_equal(tonalis.ordered_dither(CUBE, palette=pal, strength=0, linear=linear), want)


# Lists of every length from 2 to 13 side by side in each vector, read a
# block of four members at a time: clusters of k colours around points far
# apart, the pixels at and around the points in random order, on rows whose
# last pixels go one by one. A member lost or misread at a block's edge, or
# a lane reading past its list, changes some pixel.
def cluster_palette(seed):
    rng = np.random.default_rng(seed)
    centres = np.stack(np.meshgrid(*[np.arange(44, 256, 80)] * 3, indexing="ij"), -1)
    centres = centres.reshape(-1, 3)[rng.permutation(27)[:12]]
    ways = np.array(
        [
            [x, y, z]
            for x in (-1, 0, 1)
            for y in (-1, 0, 1)
            for z in (-1, 0, 1)
            if (x, y, z) != (0, 0, 0)
        ]
    )
    groups = [c + 3 * ways[rng.permutation(len(ways))[:k]] for k, c in enumerate(centres, 2)]
    pal = np.concatenate(groups)
    return centres, pal[rng.permutation(len(pal))].astype(np.uint8)


@pytest.mark.parametrize("channels", [3, 4])
@pytest.mark.parametrize("width", [61, 64, 67])
def test_cell_lists_of_every_length(width, channels):
    centres, pal = cluster_palette(width)
    rng = np.random.default_rng(width + channels)
    h = 330  # a grid of 8 cells per channel: one cluster per cell
    img = rng.integers(0, 256, (h, width, channels)).astype(np.uint8)
    img[:, :, :3] = np.clip(
        centres[rng.integers(0, len(centres), (h, width))] + rng.integers(-4, 5, (h, width, 3)),
        0,
        255,
    )
    for linear, strength in [(False, 0.0), (False, 1.0), (True, 0.7)]:
        got = tonalis.ordered_dither(img, palette=pal, linear=linear, strength=strength)
        assert_images_equal(
            got,
            palette_model(img, tiled_shifts(bayer_thresholds(8), h, width), pal, strength, linear),
        )
        got = tonalis.random_dither(img, palette=pal, seed=5, linear=linear, strength=strength)
        assert_images_equal(
            got, palette_model(img, noise_shifts(5, h, width), pal, strength, linear)
        )


# Lists too long to keep (thousands of copies of a few colours): those
# cells are searched the plain way, which must agree with the lists of
# the cells around them.
@pytest.mark.parametrize("distinct", [1, 3, 40])
def test_cells_without_lists(distinct):
    rng = np.random.default_rng(distinct)
    pal = rng.integers(0, 256, (distinct, 3))[rng.integers(0, distinct, 4096)].astype(np.uint8)
    used = np.unique(pal, axis=0)
    pal[: len(used)] = used  # every colour early in the list, then its copies
    img = hostile_image((64, 96, 3), pal, seed=distinct + 5)
    h, w = img.shape[:2]
    for linear, strength in [(False, 1.0), (True, 0.5)]:
        got = tonalis.ordered_dither(img, palette=pal, linear=linear, strength=strength)
        assert_images_equal(
            got, palette_model(img, tiled_shifts(bayer_thresholds(8), h, w), pal, strength, linear)
        )
        got = tonalis.random_dither(img, palette=pal, seed=9, linear=linear, strength=strength)
        assert_images_equal(got, palette_model(img, noise_shifts(9, h, w), pal, strength, linear))


# Worker threads build the lists of one shared grid as their pixels reach
# the cells, both at once near the bands' seams.
@pytest.mark.parametrize("n", [20, 100])
def test_cell_lists_built_by_several_threads(n):
    pal = palette_of("lattice", n, seed=21)
    img = photo((1500, 1424, 3), seed=22)
    h, w = img.shape[:2]
    assert_images_equal(
        tonalis.ordered_dither(img, palette=pal),
        palette_model(img, tiled_shifts(bayer_thresholds(8), h, w), pal),
    )
    assert_images_equal(
        tonalis.random_dither(img, palette=pal, seed=23),
        palette_model(img, noise_shifts(23, h, w), pal),
    )


# Passes long enough to be cut into bands of rows for worker threads: the
# bands must meet without a seam, the generator must start each band at
# its first pixel's draw.
def test_bands_of_rows():
    img = photo((1700, 1650), seed=11)
    h, w = img.shape
    thresholds = np.linspace(0, 1, 400).reshape(20, 20)  # too many cells for a table
    got = tonalis.ordered_dither(img, thresholds, levels=3)
    assert_images_equal(got, levels_model(img, tiled_shifts(float_thresholds(thresholds), h, w), 3))
    got = tonalis.random_dither(img, seed=12, linear=True)
    assert_images_equal(got, levels_model(img, noise_shifts(12, h, w), 2, linear=True))

    pal = palette_of("lattice-repeats", 4096, seed=5)
    img = palette_image((260, 250, 4), pal, seed=6)
    h, w = img.shape[:2]
    assert_images_equal(
        tonalis.ordered_dither(img, palette=pal),
        palette_model(img, tiled_shifts(bayer_thresholds(8), h, w), pal),
    )
    assert_images_equal(
        tonalis.random_dither(img, palette=pal, seed=4),
        palette_model(img, noise_shifts(4, h, w), pal),
    )


# --- error diffusion, levels -----------------------------------------------------------


# Widths around the distance by which the second of two rows walked side
# by side trails the first, odd and even heights (a last row walked
# alone), and channel counts that share vector lanes differently.
@pytest.mark.parametrize("levels", [2, 5])
@pytest.mark.parametrize("method", ref.METHODS)
@pytest.mark.parametrize("shape", [(3, 8), (4, 9), (3, 31, 2), (4, 12, 3), (3, 10, 5)], ids=str)
def test_diffusion_rows_side_by_side(shape, method, levels):
    img = photo(shape, seed=len(method) + levels)
    for strength, linear, preserve_alpha in [(1.0, False, True), (0.6, True, False)]:
        got = tonalis.error_diffusion(
            img,
            method,
            levels=levels,
            strength=strength,
            linear=linear,
            preserve_alpha=preserve_alpha,
        )
        want = ref.error_diffusion(
            img,
            method,
            levels=levels,
            strength=strength,
            linear=linear,
            preserve_alpha=preserve_alpha,
        )
        assert_images_equal(got, want)


@pytest.mark.parametrize("method", ["floyd_steinberg", "jarvis_judice_ninke", "atkinson"])
def test_diffusion_long_rows(method):
    img = photo((6, 700), seed=9)
    for levels, serpentine in [(2, False), (4, False), (2, True)]:
        got = tonalis.error_diffusion(img, method, levels=levels, serpentine=serpentine)
        want = ref.error_diffusion(img, method, levels=levels, serpentine=serpentine)
        assert_images_equal(got, want)
