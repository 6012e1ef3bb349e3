"""Direct binary search: the engine against the slow model bit for bit, the
error it lowers, the same bytes on any number of threads, and what it
refuses."""

import os
import subprocess
import sys

import dbs_reference as model
import numpy as np
import pytest
from reference import assert_images_equal, palette_rgb

import tonalis
import tonalis_tools
from tonalis_tools import _engines
from tonalis_tools.dbs import (
    _opponent_filters,
    dbs,
    dbs_run,
    filtered_error,
    gaussian_filter,
    nasanen_filter,
)

RNG = np.random.default_rng(2024)


def smooth(height, width, channels=None, seed=0):
    """A smooth image with some texture: ramps plus noise."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:height, 0:width]
    shape = (height, width) if channels is None else (height, width, channels)
    base = (x * 200 // max(width - 1, 1) + y * 50 // max(height - 1, 1))[..., None]
    if channels is None:
        base = base[..., 0]
    noise = rng.integers(-20, 21, shape)
    offsets = 0 if channels is None else np.arange(channels) * 40
    return np.clip(base + noise + offsets, 0, 255).astype(np.uint8)


PALETTE = ["#000", "#fff", "#e02020", "#2040e0"]
# The corners of the RGB cube: every colour lies within their gamut.
CUBE = ["#000", "#f00", "#0f0", "#00f", "#ff0", "#f0f", "#0ff", "#fff"]

EXACT = {
    # Gray to 2 levels over 3 x 2 tiles, so the phases and the tile skipping count.
    "gray_tiles": (smooth(40, 70), {"levels": 2}, 1.0, {}),
    # The widest filter: tiles of 40 pixels, blocks reaching 3 blocks out.
    "gray_widest_filter": (smooth(44, 84, seed=9), {"levels": 2}, 2.6, {"passes": 3}),
    "gray_4_codes": (smooth(30, 34, seed=1), {"levels": 4, "linear": False}, 0.8, {"passes": 3}),
    "gray_toggles_only": (smooth(24, 26, seed=2), {"levels": 2}, 1.2, {"swaps": False}),
    # Shadows and highlights, where pixels too near a level keep their start.
    "gray_ends": (
        np.clip(
            smooth(30, 36, seed=10).astype(int) // 3 + np.r_[0, 170][np.arange(30) // 15, None],
            0,
            255,
        ).astype(np.uint8),
        {"levels": 2},
        1.2,
        {},
    ),
    "rgb_levels": (smooth(20, 22, 3, seed=3), {"levels": 3}, 0.7, {}),
    "la_alpha_kept": (smooth(18, 20, 2, seed=4), {"levels": 2}, 0.9, {}),
    # Coloured palettes are searched in lightness and colour differences...
    "palette": (smooth(34, 40, 3, seed=5), {"palette": PALETTE}, 1.0, {}),
    # ... unless told to weigh the channels alike.
    "palette_channels_alike": (
        smooth(34, 40, 3, seed=5),
        {"palette": PALETTE},
        1.0,
        {"opponent": False},
    ),
    "palette_rgba_codes": (
        smooth(20, 24, 4, seed=6),
        {"palette": PALETTE[:3], "linear": False},
        0.7,
        {"passes": 2},
    ),
}


@pytest.mark.parametrize("case", list(EXACT))
def test_engine_matches_model(case):
    image, target, sigma, options = EXACT[case]
    opponent = options.get("opponent", True)
    if "palette" in target and opponent:
        taps = _opponent_filters(sigma, None, None)
    else:
        taps = gaussian_filter(sigma)
    passes = options.get("passes", 1000)
    swaps = options.get("swaps", True)
    linear = target.get("linear", True)
    kwargs = {k: v for k, v in target.items() if k != "linear"}
    expected, made = model.dbs(image, taps, passes=passes, swaps=swaps, linear=linear, **kwargs)
    run = dbs_run(
        image,
        sigma=sigma,
        passes=options.get("passes"),
        swaps=swaps,
        linear=linear,
        start="floyd_steinberg",
        opponent=opponent,
        **kwargs,
    )
    assert_images_equal(run.image, expected)
    assert run.passes == made


def test_nasanen_filter_matches_model():
    image = smooth(26, 30, seed=7)
    taps = nasanen_filter(8, 100)
    expected, _ = model.dbs(image, taps, levels=2)
    assert_images_equal(dbs(image, distance=8, dpi=100, start="floyd_steinberg"), expected)
    # A coloured palette's search takes the eye's filter in every channel.
    rgb = smooth(22, 26, 3, seed=8)
    expected, _ = model.dbs(rgb, (taps, None, 0.0, taps, 0.3), palette=PALETTE)
    assert_images_equal(
        dbs(rgb, palette=PALETTE, distance=8, dpi=100, start="floyd_steinberg"), expected
    )


def _black_white_start(image, linear=True):
    rgb = np.repeat(np.asarray(image)[:, :, None], 3, axis=2)
    first = tonalis_tools.diffuse(
        rgb,
        palette=["#000000", "#ffffff"],
        serpentine=True,
        linear=linear,
        error_limit=32,
        distance="oklab",
    )
    return np.ascontiguousarray(first[:, :, 0])


@pytest.mark.parametrize("linear", [True, False])
def test_black_and_white_starts_from_limited_oklab_diffusion(linear):
    # The default start of black and white on a gray image, as documented,
    # and the search from it as the model makes it.
    image = smooth(30, 34, seed=11)
    start = _black_white_start(image, linear)
    expected, made = model.dbs(image, gaussian_filter(1.2), levels=2, linear=linear, start=start)
    run = dbs_run(image, linear=linear)
    assert_images_equal(run.image, expected)
    assert run.passes == made
    assert_images_equal(dbs(image, linear=linear, start=start), run.image)
    # A palette of black and white takes the same start, as RGB.
    black_white = ["#000", "#FFFFFF"]
    rgb_start = np.ascontiguousarray(np.repeat(start[:, :, None], 3, axis=2))
    assert_images_equal(
        dbs(image, palette=black_white, linear=linear),
        dbs(image, palette=black_white, linear=linear, start=rgb_start),
    )
    assert not np.array_equal(
        dbs(image, palette=black_white, linear=linear),
        dbs(image, palette=black_white, linear=linear, start="floyd_steinberg"),
    )


@pytest.mark.parametrize(
    "image, kwargs",
    [
        (smooth(20, 24, seed=12), {}),
        (smooth(20, 24, 3, seed=13), {"levels": 3}),
        (smooth(20, 24, 3, seed=14), {"palette": PALETTE}),
        (smooth(20, 24, 2, seed=15), {"levels": 2}),
    ],
    ids=["gray", "rgb_levels", "palette", "la"],
)
def test_a_given_start_is_taken_at_its_nearest_levels_or_colours(image, kwargs):
    # Any bytes may start a search: each pixel starts at its nearest level
    # or colour, so a start and its plain quantization give the same result.
    noisy = RNG.integers(0, 256, image.shape, dtype=np.uint8)
    target = (
        {"palette": kwargs["palette"]}
        if "palette" in kwargs
        else {"levels": kwargs.get("levels", 2)}
    )
    nearest = tonalis.error_diffusion(noisy, strength=0.0, linear=True, **target)
    out = dbs(image, start=noisy, **kwargs)
    assert_images_equal(out, dbs(image, start=nearest, **kwargs))
    # Other targets than black and white on gray start from Floyd-Steinberg.
    if image.shape[-1] == 3:
        assert_images_equal(dbs(image, **kwargs), dbs(image, start="floyd_steinberg", **kwargs))


@pytest.mark.parametrize(
    "start, error, match",
    [
        ("random", ValueError, "start must be"),
        (None, TypeError, "start must be"),
        (np.zeros((4, 4), np.float32), TypeError, "uint8"),
        (np.zeros((4, 5), np.uint8), ValueError, "image's shape"),
        (np.zeros((4, 4, 3), np.uint8), ValueError, "image's shape"),
    ],
)
def test_bad_starts_are_refused(start, error, match):
    with pytest.raises(error, match=match):
        dbs(smooth(4, 4), start=start)


# The bound on DBS's error over Floyd-Steinberg's: a narrow filter passes
# much of the noise no halftone avoids, and leaves less to gain.
@pytest.mark.parametrize(
    "image, kwargs, bound",
    [
        (smooth(96, 128), {}, 0.75),
        (smooth(96, 128), {"levels": 3, "linear": False}, 0.75),
        (smooth(80, 96, 3), {"palette": CUBE, "opponent": False}, 0.75),
        (
            smooth(80, 96, 3),
            {"palette": CUBE, "distance": 12, "dpi": 150, "opponent": False},
            0.97,
        ),
        (smooth(80, 96, 3), {"palette": CUBE}, 0.75),
    ],
    ids=["gray", "gray_3_codes", "palette", "palette_nasanen", "palette_opponent"],
)
def test_filtered_error_falls_every_pass_below_floyd_steinberg(image, kwargs, bound):
    linear = kwargs.get("linear", True)
    taps = nasanen_filter(kwargs["distance"], kwargs["dpi"]) if "distance" in kwargs else None
    measure = filtered_error
    if kwargs.get("opponent", "palette" in kwargs):
        filters = _opponent_filters(None, None, None)

        def measure(original, halftone, taps, linear):
            return opponent_error(original, halftone, filters)

    seed_args = {"palette": kwargs["palette"]} if "palette" in kwargs else {}
    seed_args["levels" if "palette" not in kwargs else "palette"] = kwargs.get(
        "levels", kwargs.get("palette", 2)
    )
    start = tonalis.error_diffusion(image, "floyd_steinberg", linear=linear, **seed_args)
    errors = [measure(image, start, taps, linear=linear)]
    final = dbs_run(image, start="floyd_steinberg", **kwargs)
    for passes in range(1, final.passes + 1):
        out = dbs(image, passes=passes, start="floyd_steinberg", **kwargs)
        errors.append(measure(image, out, taps, linear=linear))
    assert np.array_equal(out, final.image)
    assert all(b <= a * (1 + 1e-9) for a, b in zip(errors, errors[1:])), errors
    assert errors[-1] < bound * errors[0], errors
    # The last pass changed nothing.
    assert final.passes < 2 or errors[-1] == errors[-2]


def _filtered(plane, taps):
    """plane (H, W) through taps, zero beyond the image, in float64."""
    r = taps.shape[0] // 2
    padded = np.pad(plane, r)
    out = np.zeros((plane.shape[0] + 2 * r, plane.shape[1] + 2 * r))
    for dy in range(-r, r + 1):
        for dx in range(-r, r + 1):
            out += taps[dy + r, dx + r] * np.roll(padded, (dy, dx), axis=(0, 1))
    return out


def opponent_error(original, halftone, filters):
    """The error an opponent search lowers, in linear light: lightness
    through the far filter plus the weighted near one, colour differences
    through theirs, weighted."""
    far, near, near_weight, chroma, chroma_weight = (
        np.asarray(f, dtype=np.float64) if isinstance(f, np.ndarray) else f for f in filters
    )
    work = model.ref.to_work(True).astype(np.float64)
    e = model.OPPONENT.astype(np.float64) @ np.moveaxis(
        work[np.asarray(halftone)[..., :3]] - work[np.asarray(original)[..., :3]], 2, 0
    ).reshape(3, -1)
    e = e.reshape(3, *np.asarray(original).shape[:2])
    total = (_filtered(e[0], far) ** 2).sum() + near_weight * (_filtered(e[0], near) ** 2).sum()
    for c in (1, 2):
        total += chroma_weight * (_filtered(e[c], chroma) ** 2).sum()
    return total / e[0].size


def test_swaps_lower_the_error_further():
    image = smooth(64, 64, seed=8)
    with_swaps = filtered_error(image, dbs(image))
    without = filtered_error(image, dbs(image, swaps=False))
    assert with_swaps < without


# Ramps through the faint ends: (first, last code, linear light, the
# minority level's code, bands of codes where the filter sees no lone pixel).
FAINT_ENDS = {
    # Linear light: about codes 1 to 45 at sigma 1.2.
    "shadows": (0, 80, True, 255, [(8, 24), (24, 40)]),
    # Codes: the last 7 below white.
    "highlights_in_codes": (236, 255, False, 0, [(249, 254)]),
}


@pytest.mark.parametrize("case", list(FAINT_ENDS))
def test_faint_ends_keep_the_start_pixels(case):
    # There a lone pixel of the other level raises the filtered error, and
    # the search would clear every one: it keeps Floyd-Steinberg's.
    first, last, linear, minority, bands = FAINT_ENDS[case]
    ramp = np.tile(np.linspace(first, last, 384).round().astype(np.uint8), (48, 1))
    out = dbs(ramp, linear=linear, start="floyd_steinberg")
    start = tonalis.error_diffusion(ramp, "floyd_steinberg", levels=2, linear=linear)
    for low, high in bands:
        columns = (ramp[0] >= low) & (ramp[0] < high)
        kept = int((out[:, columns] == minority).sum())
        assert kept == int((start[:, columns] == minority).sum()) > 0


@pytest.mark.parametrize("value", [0, 64, 128, 200, 255])
def test_flat_gray_keeps_its_mean_light(value):
    image = np.full((64, 64), value, np.uint8)
    out = dbs(image, linear=False)
    assert abs(float(out.mean()) - value) < 3.0
    if value in (0, 255):
        assert np.all(out == value)


PROBE = r"""
import hashlib, numpy as np
from tonalis_tools.dbs import dbs
rng = np.random.default_rng(3)
y, x = np.mgrid[0:300, 0:420]
gray = np.clip(x * 255 // 419 + rng.integers(-30, 31, x.shape), 0, 255).astype(np.uint8)
rgb = np.dstack([gray, gray[::-1], gray[:, ::-1]])
for name, out in (("gray", dbs(gray, sigma=1.5)), ("levels", dbs(rgb, levels=3)),
                  ("palette", dbs(rgb, palette=["#000", "#fff", "#f00", "#0f0", "#00f", "#ff0"]))):
    print(name, hashlib.sha256(out.tobytes()).hexdigest())
"""


def _digests(threads):
    env = {k: v for k, v in os.environ.items() if k != "TONALIS_NUM_THREADS"}
    env["TONALIS_NUM_THREADS"] = str(threads)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    run = subprocess.run(
        [sys.executable, "-c", PROBE], capture_output=True, text=True, env=env, timeout=600
    )
    assert run.returncode == 0, run.stderr
    return run.stdout


@pytest.mark.serial
def test_threads_give_the_bytes_of_one():
    one = _digests(1)
    assert len(one.splitlines()) == 3
    for threads in (2, 4):
        assert _digests(threads) == one


@pytest.mark.parametrize(
    "kwargs, error",
    [
        ({"sigma": 0}, ValueError),
        ({"sigma": -1.0}, ValueError),
        ({"sigma": float("nan")}, ValueError),
        ({"sigma": 3.0}, ValueError),
        ({"sigma": "1"}, TypeError),
        ({"passes": 0}, ValueError),
        ({"passes": 1001}, ValueError),
        ({"passes": 2.5}, TypeError),
        ({"swaps": "yes"}, TypeError),
        ({"palette": PALETTE, "opponent": "no"}, TypeError),
        ({"sigma": 1.0, "distance": 10, "dpi": 300}, ValueError),
        ({"distance": 10}, ValueError),
        ({"distance": 0, "dpi": 300}, ValueError),
        ({"levels": 2, "palette": PALETTE}, ValueError),
        ({"levels": 1}, ValueError),
        ({"levels": 257}, ValueError),
        ({"palette": ["#000"]}, ValueError),
    ],
)
def test_bad_arguments_are_refused(kwargs, error):
    with pytest.raises(error):
        dbs(smooth(8, 8), **kwargs)


GOOD_TAPS = gaussian_filter(1.0)


@pytest.mark.parametrize(
    "taps, error",
    [
        (GOOD_TAPS.astype(np.float64), TypeError),
        (GOOD_TAPS[:, :6].copy(), ValueError),
        (np.ones((4, 4), np.float32), ValueError),
        (np.ones((19, 19), np.float32), ValueError),
        (np.ones((1, 1), np.float32), ValueError),
        (np.zeros((5, 5), np.float32), ValueError),
        (np.full((5, 5), np.nan, np.float32), ValueError),
        (GOOD_TAPS.T, TypeError),
        ([[0.0, 0.0, 0.0]] * 3, TypeError),
    ],
    ids=[
        "float64",
        "not_square",
        "even",
        "too_wide",
        "too_small",
        "zero",
        "nan",
        "strided",
        "list",
    ],
)
def test_engine_refuses_bad_taps(taps, error):
    with pytest.raises(error):
        _engines.dbs(taps, 10, True, None, smooth(8, 8), levels=2)


WIDE_TAPS = np.ascontiguousarray(np.pad(GOOD_TAPS, 1))


@pytest.mark.parametrize(
    "filters, target, error, match",
    [
        ((GOOD_TAPS, None, 0.0, GOOD_TAPS), {"palette": PALETTE}, TypeError, "filters must"),
        ((GOOD_TAPS, None, 0.0, WIDE_TAPS, 0.3), {"palette": PALETTE}, ValueError, "same side"),
        ((GOOD_TAPS, WIDE_TAPS, 0.2, GOOD_TAPS, 0.3), {"palette": PALETTE}, ValueError, "same"),
        ((GOOD_TAPS, None, -1.0, GOOD_TAPS, 0.3), {"palette": PALETTE}, ValueError, "near"),
        ((GOOD_TAPS, None, 0.0, GOOD_TAPS, 0.0), {"palette": PALETTE}, ValueError, "chroma"),
        ((GOOD_TAPS, None, 0.0, GOOD_TAPS, np.inf), {"palette": PALETTE}, ValueError, "chroma"),
        ((GOOD_TAPS, None, 0.0, GOOD_TAPS, 1e39), {"palette": PALETTE}, ValueError, "chroma"),
        ((GOOD_TAPS, None, 0.0, GOOD_TAPS, "x"), {"palette": PALETTE}, TypeError, "real number"),
        ((GOOD_TAPS, None, 0.0, GOOD_TAPS, 0.3), {"levels": 2}, ValueError, "at most 32"),
        (
            (GOOD_TAPS, None, 0.0, GOOD_TAPS, 0.3),
            {"palette": [f"#{i:02x}{i:02x}00" for i in range(33)]},
            ValueError,
            "at most 32",
        ),
    ],
    ids=[
        "four",
        "chroma_side",
        "near_side",
        "negative_near",
        "zero_chroma",
        "infinite_chroma",
        "chroma_beyond_float32",
        "weight_str",
        "levels",
        "33_colours",
    ],
)
def test_engine_refuses_bad_colour_filters(filters, target, error, match):
    with pytest.raises(error, match=match):
        _engines.dbs(filters, 10, True, None, smooth(8, 8, 3), **target)


@pytest.mark.parametrize(
    "palette, searched_apart",
    [
        (PALETTE, True),
        (["#000", "#555", "#aaa", "#fff"], False),  # grays: nothing to split
        ([f"#{i:02x}{255 - i:02x}40" for i in range(0, 256, 8)], True),  # 32 colours
        ([f"#{i:02x}{255 - i:02x}40" for i in range(0, 256, 7)], False),  # 37 colours
    ],
    ids=["coloured", "grays", "32_colours", "37_colours"],
)
def test_which_palettes_are_searched_in_colour_differences(palette, searched_apart):
    image = smooth(30, 34, 3, seed=16)
    default = dbs(image, palette=palette)
    alike = dbs(image, palette=palette, opponent=False)
    assert np.array_equal(default, alike) != searched_apart


@pytest.mark.parametrize("target", [dict(levels=2), dict(palette=PALETTE)])
def test_too_faint_a_filter_still_gives_levels_or_colours(target):
    # Taps whose autocorrelation underflows weigh no error: no search runs,
    # and a given start comes back at its nearest levels or colours.
    taps = np.full((5, 5), 1e-30, np.float32)
    rng = np.random.default_rng(4)
    shape = (9, 11, 3) if "palette" in target else (9, 11)
    image = rng.integers(0, 256, shape, dtype=np.uint8)
    start = rng.integers(0, 256, shape, dtype=np.uint8)
    out = _engines.dbs(taps, 3, True, start, image, **target)[0]
    if "palette" in target:
        assert {tuple(int(v) for v in p) for p in out.reshape(-1, 3)} <= set(palette_rgb(PALETTE))
    else:
        assert_images_equal(out, np.where(start >= 128, 255, 0).astype(np.uint8))


def test_engine_refuses_a_palette_for_gray_and_bad_passes():
    with pytest.raises(ValueError, match="RGB"):
        _engines.dbs(GOOD_TAPS, 1, True, None, smooth(8, 8), palette=PALETTE)
    with pytest.raises(ValueError, match="passes"):
        _engines.dbs(GOOD_TAPS, 0, True, None, smooth(8, 8), levels=2)


@pytest.mark.parametrize("shape", [(0, 0), (0, 5)])
def test_empty_images_are_refused_as_tonalis_refuses_them(shape):
    with pytest.raises(ValueError, match="empty"):
        dbs(np.zeros(shape, np.uint8))


@pytest.mark.parametrize("shape", [(1, 1), (1, 40), (40, 1), (3, 3, 3)])
def test_tiny_images(shape):
    image = RNG.integers(0, 256, shape, dtype=np.uint8)
    out = dbs(image)
    assert out.shape == image.shape
    assert set(np.unique(out).tolist()) <= {0, 255}


def test_pil_in_pil_out_and_gray_to_palette():
    from PIL import Image

    image = Image.fromarray(smooth(16, 16))
    out = dbs(image, palette=PALETTE)
    assert out.mode == "RGB" and out.size == (16, 16)
    colours = {tuple(c) for c in np.asarray(out).reshape(-1, 3).tolist()}
    assert colours <= set(palette_rgb(PALETTE))


def test_front_door_and_command_line(tmp_path):
    from PIL import Image

    image = smooth(24, 30, 3)
    out = tonalis_tools.dither(image, "dbs", palette=PALETTE, linear=True)
    assert np.array_equal(out, dbs(image, palette=PALETTE))
    source, target = tmp_path / "in.png", tmp_path / "out.png"
    Image.fromarray(image).save(source)
    run = subprocess.run(
        [
            sys.executable,
            "-m",
            "tonalis_tools",
            str(source),
            "-o",
            str(target),
            "-m",
            "dbs",
            "--levels",
            "2",
        ],
        capture_output=True,
        text=True,
        env={**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)},
    )
    assert run.returncode == 0, run.stderr
    # The command line measures in linear light, as dbs does, unless told --no-linear.
    written = np.asarray(Image.open(target).convert("RGB"))
    assert np.array_equal(written, dbs(image, levels=2))
