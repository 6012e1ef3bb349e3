"""tonalis_tools.diffuse, ordered and random: the plain engines' bytes with
every refinement off, the refinements against the float32 model, and their
argument checks."""

import extras_reference as model
import numpy as np
import pytest
from reference import assert_images_equal
from threshold_reference import bayer_thresholds, draws, noise, random_image

import tonalis
from tonalis_tools import DitherSettings, apply, diffuse, ordered, preset
from tonalis_tools import random as random_dither
from tonalis_tools.algorithms import named_matrix

EPAPER7 = preset("epaper-7")
BWR = preset("epaper-bwr")
CGA = preset("cga")
PALETTES = [EPAPER7, BWR, CGA, preset("pico8")]
# Widths around the lag of paired rows (8), odd and even heights.
SHAPES = [(1, 1), (2, 9), (5, 8), (6, 17), (7, 31), (3, 1)]


def colour_image(shape, channels, seed):
    return random_image(shape + (channels,), seed)


@pytest.mark.parametrize("method", tonalis.available_methods())
@pytest.mark.parametrize("serpentine", [False, True])
@pytest.mark.parametrize("linear", [False, True])
def test_diffuse_without_extras_is_error_diffusion(method, serpentine, linear):
    for i, shape in enumerate(SHAPES):
        for channels, levels in [(None, 2), (None, 5), (2, 3), (3, 2), (4, 7), (6, 4)]:
            img = random_image(shape if channels is None else shape + (channels,), i)
            for alpha in (True, False):
                kw = dict(
                    levels=levels,
                    serpentine=serpentine,
                    linear=linear,
                    preserve_alpha=alpha,
                    strength=0.8,
                )
                assert_images_equal(
                    diffuse(img, method, **kw), tonalis.error_diffusion(img, method, **kw)
                )
        for j, palette in enumerate(PALETTES):
            img = colour_image(shape, 3 + j % 2, i + j)
            kw = dict(palette=palette, serpentine=serpentine, linear=linear, strength=1.0 - j / 8)
            assert_images_equal(
                diffuse(img, method, **kw), tonalis.error_diffusion(img, method, **kw)
            )


@pytest.mark.parametrize("size", [(64, 64), (33, 70)])
def test_diffuse_matches_on_larger_images(size):
    rng = np.random.default_rng(3)
    ramp = np.linspace(0, 255, size[1])[None, :, None] + rng.normal(0, 20, size + (3,))
    img = np.clip(ramp, 0, 255).astype(np.uint8)
    for palette in PALETTES:
        assert_images_equal(
            diffuse(img, palette=palette), tonalis.error_diffusion(img, palette=palette)
        )
    # A mask of ones and an infinite limit are no refinement at all.
    assert_images_equal(
        diffuse(img, palette=BWR, mask=np.ones(size), error_limit=float("inf")),
        tonalis.error_diffusion(img, palette=BWR),
    )


@pytest.mark.parametrize("linear", [False, True])
@pytest.mark.parametrize("palette", [EPAPER7, BWR, CGA])
def test_threshold_without_extras_is_tonalis(linear, palette):
    img = colour_image((9, 21), 4, 7)
    for matrix in (None, "bayer2x2", np.array([[0.1, 0.9, 0.4]])):
        kw = dict(palette=palette, linear=linear, strength=0.9)
        assert_images_equal(ordered(img, matrix, **kw), tonalis.ordered_dither(img, matrix, **kw))
    for seed in (0, 12345, -1):
        kw = dict(palette=palette, linear=linear, seed=seed)
        assert_images_equal(random_dither(img, **kw), tonalis.random_dither(img, **kw))
    gray = img[:, :, 0].copy()
    assert_images_equal(ordered(gray, levels=3), tonalis.ordered_dither(gray, levels=3))
    assert_images_equal(
        random_dither(gray, seed=4, levels=4), tonalis.random_dither(gray, seed=4, levels=4)
    )


# --- the refinements against the model ------------------------------------------

EXTRAS = [
    dict(limit=0.0),
    dict(limit=12.5),
    dict(distance="luma"),
    dict(distance="oklab"),
    dict(mask="ramp"),
    dict(mask="ramp", limit=8.0, distance="oklab"),
]


def mask_for(shape, kind):
    if kind is None:
        return None
    h, w = shape
    return (np.arange(h * w, dtype=np.float32).reshape(h, w) % 7) / np.float32(6)


@pytest.mark.parametrize("extras", EXTRAS, ids=lambda e: ",".join(f"{k}={v}" for k, v in e.items()))
@pytest.mark.parametrize("method", ["floyd_steinberg", "jarvis_judice_ninke", "atkinson"])
@pytest.mark.parametrize("serpentine", [False, True])
@pytest.mark.parametrize("linear", [False, True])
# Narrow rows are walked one at a time; wide ones four, two and one side by side.
@pytest.mark.parametrize("shape", [(6, 13), (7, 41)])
def test_diffuse_extras_match_the_model(extras, method, serpentine, linear, shape):
    mask = mask_for(shape, extras.get("mask"))
    limit = extras.get("limit")
    distance = extras.get("distance", "rgb")
    for palette in (EPAPER7, BWR):
        img = colour_image(shape, 3, 11)
        got = diffuse(
            img,
            method,
            palette=palette,
            serpentine=serpentine,
            linear=linear,
            error_limit=limit,
            mask=mask,
            distance=distance,
        )
        want = model.diffuse(
            img,
            method,
            palette=palette,
            serpentine=serpentine,
            linear=linear,
            limit=limit,
            mask=mask,
            distance=distance,
        )
        assert_images_equal(got, want)
    if distance == "rgb":
        for img in (colour_image(shape, 4, 5), random_image(shape, 6)):
            for levels in (2, 3):
                got = diffuse(
                    img,
                    method,
                    levels=levels,
                    serpentine=serpentine,
                    linear=linear,
                    error_limit=limit,
                    mask=mask,
                )
                want = model.diffuse(
                    img,
                    method,
                    levels=levels,
                    serpentine=serpentine,
                    linear=linear,
                    limit=limit,
                    mask=mask,
                )
                assert_images_equal(got, want)


@pytest.mark.parametrize("distance", ["rgb", "luma", "oklab"])
@pytest.mark.parametrize("linear", [False, True])
def test_threshold_extras_match_the_model(distance, linear):
    shape = (5, 11)
    img = colour_image(shape, 3, 2)
    mask = mask_for(shape, "ramp")
    t = bayer_thresholds(4)
    shifts = [[t[y % 4, x % 4] - np.float32(0.5) for x in range(11)] for y in range(5)]
    got = ordered(img, "bayer4x4", palette=CGA, linear=linear, mask=mask, distance=distance)
    assert_images_equal(
        got, model.threshold(img, shifts, CGA, linear=linear, mask=mask, distance=distance)
    )
    ks = draws(77, 55)
    shifts = [[noise(ks[y * 11 + x]) for x in range(11)] for y in range(5)]
    got = random_dither(img, palette=EPAPER7, seed=77, linear=linear, mask=mask, distance=distance)
    assert_images_equal(
        got, model.threshold(img, shifts, EPAPER7, linear=linear, mask=mask, distance=distance)
    )


def large_palette(count, seed):
    """Random colours with repeats and a gray ramp: ties the searches over
    laid-out palettes must settle as the plain scan does."""
    rng = np.random.default_rng(seed)
    colours = rng.integers(0, 256, (count, 3))
    colours[count // 2 : count // 2 + count // 8] = colours[: count // 8]
    colours[-16:] = np.linspace(0, 255, 16, dtype=np.int64)[:, None]
    return [tuple(int(v) for v in c) for c in colours]


# Above a few dozen colours the match goes through the wider palette searches.
@pytest.mark.parametrize("count", [33, 300, 700])
@pytest.mark.parametrize("distance", ["rgb", "luma", "oklab"])
def test_large_palettes_match_the_model(count, distance):
    palette = large_palette(count, count)
    shape = (5, 41)
    img = colour_image(shape, 3, count)
    for linear in (False, True):
        got = diffuse(
            img,
            "floyd_steinberg",
            palette=palette,
            linear=linear,
            distance=distance,
            error_limit=20.0,
        )
        want = model.diffuse(
            img, "floyd_steinberg", palette=palette, linear=linear, limit=20.0, distance=distance
        )
        assert_images_equal(got, want)
    t = bayer_thresholds(4)
    shifts = [[t[y % 4, x % 4] - np.float32(0.5) for x in range(shape[1])] for y in range(shape[0])]
    got = ordered(img, "bayer4x4", palette=palette, distance=distance)
    assert_images_equal(got, model.threshold(img, shifts, palette, distance=distance))


def test_cube_root_is_close():
    for x in np.geomspace(1e-8, 1.0, 200, dtype=np.float32):
        assert abs(model.cube_root(x) / np.cbrt(np.float64(x)) - 1) < 2e-4


# --- what the refinements do -------------------------------------------------------


def test_zero_mask_quantizes_to_the_nearest_colour():
    img = colour_image((12, 20), 3, 9)
    zero = np.zeros((12, 20), dtype=np.uint8)
    for palette in (EPAPER7, CGA):
        plain = tonalis.error_diffusion(img, palette=palette, strength=0.0)
        assert_images_equal(diffuse(img, palette=palette, mask=zero), plain)
        assert_images_equal(
            ordered(img, palette=palette, mask=zero),
            tonalis.ordered_dither(img, palette=palette, strength=0.0),
        )
        assert_images_equal(
            random_dither(img, palette=palette, mask=zero, seed=1),
            tonalis.random_dither(img, palette=palette, strength=0.0, seed=1),
        )


def test_mask_keeps_a_region_sharp():
    """Left half masked off: it is rounded on its own, while the right half
    still dithers, and no error crosses into the left half."""
    img = np.full((16, 32, 3), 100, dtype=np.uint8)
    mask = np.ones((16, 32), dtype=np.float32)
    mask[:, :16] = 0.0
    out = diffuse(img, palette=BWR, mask=mask)
    assert len(np.unique(out[:, :16].reshape(-1, 3), axis=0)) == 1
    assert len(np.unique(out[:, 16:].reshape(-1, 3), axis=0)) > 1


def test_uint8_and_float_masks_agree():
    img = colour_image((7, 9), 3, 4)
    m8 = random_image((7, 9), 8)
    assert_images_equal(
        diffuse(img, palette=CGA, mask=m8),
        diffuse(img, palette=CGA, mask=m8.astype(np.float32) / np.float32(255)),
    )


@pytest.mark.parametrize(
    "limit,white_share", [(None, (0.25, 0.4)), (64, (0.0, 0.0)), (0, (0.0, 0.0))]
)
def test_error_limit_bounds_what_an_unreachable_colour_piles_up(limit, white_share):
    """Pure blue on black/white/red: blue is out of reach, so the error piles
    up until white appears. A limit keeps the pile-up below that point, and
    the field stays black, its nearest colour."""
    img = np.zeros((32, 64, 3), dtype=np.uint8)
    img[:, :, 2] = 255
    out = diffuse(img, palette=BWR, error_limit=limit)
    white = np.all(out == 255, axis=-1).mean()
    assert white_share[0] <= white <= white_share[1]
    assert np.all(np.isin(out, (0, 255)))


@pytest.mark.parametrize("distance", ["luma", "oklab"])
def test_palette_colours_map_to_themselves(distance):
    for palette in PALETTES:
        rgb = np.array(
            [[int(c[i : i + 2], 16) for i in (1, 3, 5)] for c in palette], dtype=np.uint8
        )
        img = np.ascontiguousarray(rgb[None, :, :])
        for linear in (False, True):
            out = diffuse(img, palette=palette, distance=distance, strength=0.0, linear=linear)
            assert_images_equal(out, img)


def test_pil_in_gives_pil_out():
    Image = pytest.importorskip("PIL.Image")
    pil = Image.fromarray(colour_image((5, 6), 3, 1))
    out = diffuse(pil, palette=CGA, error_limit=8, mask=np.ones((5, 6)), distance="oklab")
    assert isinstance(out, Image.Image) and out.mode == "RGB" and out.size == (6, 5)


# --- argument checks ----------------------------------------------------------------

IMG = random_image((4, 5, 3), 0)
BAD = [
    (dict(mask=np.ones((5, 4))), ValueError, "mask"),
    (dict(mask=np.ones((4, 5, 1))), ValueError, "mask"),
    (dict(mask=np.ones((4, 5), dtype=np.int64)), TypeError, "mask"),
    (dict(mask=np.ones((4, 5), dtype=bool)), TypeError, "mask"),
    (dict(mask=np.full((4, 5), 1.5)), ValueError, "mask"),
    (dict(mask=np.full((4, 5), np.nan)), ValueError, "mask"),
    (dict(mask="abc"), TypeError, "mask"),
    (dict(error_limit=-1), ValueError, "error_limit"),
    (dict(error_limit=float("nan")), ValueError, "error_limit"),
    (dict(error_limit="8"), TypeError, "error_limit"),
    (dict(error_limit=True), TypeError, "error_limit"),
    (dict(distance="lab"), ValueError, "distance"),
    (dict(distance=2), TypeError, "distance"),
]


@pytest.mark.parametrize(
    "kwargs,exc,name", BAD, ids=[f"{n}-{i}" for i, (_, _, n) in enumerate(BAD)]
)
def test_bad_arguments_name_themselves(kwargs, exc, name):
    functions = [lambda **k: diffuse(IMG, palette=CGA, **k)]
    if "error_limit" not in kwargs:
        functions += [
            lambda **k: ordered(IMG, palette=CGA, **k),
            lambda **k: random_dither(IMG, palette=CGA, seed=1, **k),
        ]
    for fn in functions:
        with pytest.raises(exc) as info:
            fn(**kwargs)
        message = str(info.value)
        assert name in message and "\n" not in message


def test_distance_needs_a_palette():
    with pytest.raises(ValueError, match="distance"):
        diffuse(IMG, distance="oklab")


def test_common_arguments_fail_as_in_tonalis():
    for kwargs in (
        dict(levels=1),
        dict(strength=2.0),
        dict(palette=["#zzz"]),
        dict(levels=3, palette=CGA),
    ):
        with pytest.raises(ValueError) as ours:
            diffuse(IMG, **kwargs)
        with pytest.raises(ValueError) as theirs:
            tonalis.error_diffusion(IMG, **kwargs)
        assert str(ours.value) == str(theirs.value)
    with pytest.raises(ValueError, match="unknown error-diffusion method"):
        diffuse(IMG, "nope")
    with pytest.raises(TypeError):
        diffuse(IMG.astype(np.int16))


def test_engine_refuses_what_the_wrapper_would():
    from tonalis_tools import _engines

    with pytest.raises(ValueError, match="mask"):
        _engines.diffuse(1.0, np.ones((2, 2), dtype=np.float32), 0, IMG)
    with pytest.raises(ValueError, match="mask"):
        _engines.ordered(np.full((4, 5), 2.0, dtype=np.float32), 0, IMG, None)
    with pytest.raises(TypeError, match="mask"):
        _engines.random(np.ones((4, 5)), 0, IMG)
    with pytest.raises(ValueError, match="distance"):
        _engines.random(None, 7, IMG)
    with pytest.raises(ValueError, match="error_limit"):
        _engines.diffuse(-2.0, None, 0, IMG)
    with pytest.raises(TypeError):
        _engines.diffuse(1.0)


def test_input_is_left_alone():
    img = colour_image((6, 7), 3, 3)
    mask = np.full((6, 7), 0.5)
    before, mask_before = img.copy(), mask.copy()
    diffuse(img, palette=BWR, mask=mask, error_limit=4, distance="luma")
    assert_images_equal(img, before)
    assert np.array_equal(mask, mask_before)


@pytest.mark.parametrize(
    "name", ["bluenoise16", "BlueNoise 64", "bluenoise", "halftone45", "line0"]
)
def test_ordered_takes_the_matrix_names_the_pipeline_takes(name):
    # The same names go everywhere: ordered, pattern_dither and the command line.
    image = np.random.default_rng(3).integers(0, 256, (40, 37, 3), dtype=np.uint8)
    matrix = named_matrix(name)
    assert not isinstance(matrix, str)
    expected = tonalis.ordered_dither(image, matrix, palette=CGA)
    assert np.array_equal(ordered(image, name, palette=CGA), expected)
    assert np.array_equal(
        ordered(image, name, palette=CGA, distance="luma"),
        ordered(image, matrix, palette=CGA, distance="luma"),
    )
    assert np.array_equal(
        apply(
            DitherSettings(
                "ordered", matrix=name, palette=CGA, mask=np.full((40, 37), 255, np.uint8)
            ),
            image,
        ),
        expected,
    )


def test_ordered_names_an_unknown_matrix():
    with pytest.raises(ValueError, match="bluenoise17"):
        ordered(np.zeros((2, 2), np.uint8), "bluenoise17")
