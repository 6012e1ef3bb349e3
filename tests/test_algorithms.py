"""Pattern dither, variable-coefficient diffusion and Riemersma dither:
bytes against the float32 models, tiling and determinism, the published
weight tables, and argument checks."""

import hashlib

import algorithms_reference as model
import numpy as np
import pytest
from PIL import Image
from reference import assert_images_equal
from threshold_reference import bayer_thresholds, random_image

import tonalis_tools
from tonalis_tools import _engines, preset
from tonalis_tools.algorithms import pattern_dither, riemersma, variable_diffuse

PALETTES = [preset("epaper-7"), preset("epaper-bwr"), preset("cga"), preset("pico8")]


# --- pattern dither ----------------------------------------------------------


@pytest.mark.parametrize("palette", PALETTES)
@pytest.mark.parametrize(
    "candidates,strength,linear,distance",
    [
        (8, 1.0, True, "rgb"),
        (3, 0.5, False, "rgb"),
        (16, 1.0, False, "luma"),
        (1, 1.0, True, "oklab"),
    ],
)
def test_pattern_matches_model(palette, candidates, strength, linear, distance):
    img = random_image((9, 13, 3), candidates)
    got = pattern_dither(
        img, palette, candidates=candidates, strength=strength, linear=linear, distance=distance
    )
    want = model.pattern(img, palette, bayer_thresholds(8), candidates, strength, linear, distance)
    assert_images_equal(got, want)


def test_pattern_cache_collisions_do_not_mix_colours():
    # More distinct colours than cache slots, each repeated far apart.
    rng = np.random.default_rng(5)
    colours = rng.integers(0, 256, (40000, 3), dtype=np.uint8)
    img = np.concatenate([colours, colours[::-1]]).reshape(400, 200, 3)
    whole = pattern_dither(img, PALETTES[3], candidates=4)
    pieces = np.concatenate(
        [pattern_dither(img[i : i + 8], PALETTES[3], candidates=4) for i in range(0, 400, 8)]
    )
    assert_images_equal(whole, pieces)
    small = img[:6, :7]
    assert_images_equal(whole[:6, :7], model.pattern(small, PALETTES[3], bayer_thresholds(8), 4))


@pytest.mark.parametrize(
    "matrix,period",
    [("bayer4x4", 4), (8, 8), ("bluenoise16", 16), (np.arange(6).reshape(2, 3), (2, 3))],
)
def test_pattern_tiles_with_the_matrix(matrix, period):
    ph, pw = period if isinstance(period, tuple) else (period, period)
    flat = np.full((3 * ph, 3 * pw, 3), (90, 140, 200), dtype=np.uint8)
    out = pattern_dither(flat, PALETTES[0], matrix=matrix)
    tile = out[:ph, :pw]
    assert_images_equal(out, np.tile(tile, (3, 3, 1)))
    assert len(np.unique(tile.reshape(-1, 3), axis=0)) > 1


def test_pattern_depends_only_on_pixel_and_position():
    img = random_image((32, 40, 3), 2)
    out = pattern_dither(img, PALETTES[1])
    changed = img.copy()
    changed[10:20, 5:9] = 255 - changed[10:20, 5:9]
    again = pattern_dither(changed, PALETTES[1])
    same = np.ones((32, 40), dtype=bool)
    same[10:20, 5:9] = False
    assert np.array_equal(out[same], again[same])
    # A crop aligned to the matrix is the crop of the result.
    assert_images_equal(pattern_dither(img[8:24, 16:40], PALETTES[1]), out[8:24, 16:40])


@pytest.mark.parametrize("gray", [0, 64, 128, 200, 255])
def test_pattern_mixes_to_the_mean(gray):
    flat = np.full((8, 8, 3), gray, dtype=np.uint8)
    out = pattern_dither(flat, ["#000000", "#ffffff"], candidates=64, linear=False)
    assert abs(out.mean() - gray) <= 255 / 64


def test_pattern_takes_gray_pil_and_keeps_alpha():
    gray = random_image((5, 6), 1)
    out = pattern_dither(gray, PALETTES[2])
    assert out.shape == (5, 6, 3)
    rgba = random_image((5, 6, 4), 2)
    assert np.array_equal(pattern_dither(rgba, PALETTES[2])[..., 3], rgba[..., 3])
    pil = pattern_dither(Image.fromarray(gray), PALETTES[2])
    assert pil.mode == "RGB" and np.array_equal(np.asarray(pil), out)


@pytest.mark.parametrize(
    "kwargs,exc,text",
    [
        (dict(palette=None), ValueError, "palette"),
        (dict(candidates=0), ValueError, "candidates"),
        (dict(candidates=257), ValueError, "candidates"),
        (dict(candidates=True), TypeError, "candidates"),
        (dict(candidates=2.0), TypeError, "candidates"),
        (dict(distance="lab"), ValueError, "distance"),
        (dict(matrix="nosuch"), ValueError, "matrix"),
    ],
)
def test_pattern_rejects_bad_arguments(kwargs, exc, text):
    args = dict(palette=PALETTES[0])
    args.update(kwargs)
    palette = args.pop("palette")
    with pytest.raises(exc, match=text):
        pattern_dither(random_image((4, 4, 3)), palette, **args)


# --- variable-coefficient diffusion -------------------------------------------

# (level, next, below-behind, below) rows as published.
OSTROMOUKHOV_ROWS = [
    (0, 13, 0, 5),
    (5, 47, 3, 28),
    (11, 501, 224, 211),
    (64, 1, 1, 0),
    (86, 65, 18, 17),
    (100, 5, 3, 2),
    (127, 4, 1, 1),
]
ZHOU_FANG_KEYS = [
    (0, 13, 0, 5),
    (10, 704075, 297466, 303694),
    (44, 43024, 42131, 14826),
    (64, 36411, 43219, 20369),
    (85, 35865, 34108, 30026),
    (127, 35269, 36066, 28664),
]


@pytest.mark.parametrize("kind,rows", [(0, OSTROMOUKHOV_ROWS), (1, ZHOU_FANG_KEYS)])
def test_weight_tables_match_published_rows(kind, rows):
    table = _engines.weights(kind)
    assert len(table) == 256
    for level, a, b, c in rows:
        total = a + b + c
        for got in (table[level], table[255 - level]):
            assert got == pytest.approx((a / total, b / total, c / total), abs=2e-7)
    for row in table:
        assert min(row) >= 0 and sum(row) == pytest.approx(1.0, abs=1e-6)


def test_zhou_fang_interpolates_between_keys():
    table = _engines.weights(1)
    # Level 5 lies a fifth of the way from key 4 to key 10 (authors' row 5).
    assert table[5] == pytest.approx((0.606570, 0.037983, 0.355447), abs=2e-6)
    assert table[100] == pytest.approx((0.348426, 0.362997, 0.288578), abs=2e-6)


@pytest.mark.parametrize("shape", [(1, 1), (3, 7), (6, 17), (9, 4)])
@pytest.mark.parametrize(
    "levels,linear,strength", [(2, False, 1.0), (3, True, 0.75), (5, False, 1.0)]
)
def test_ostromoukhov_matches_model(shape, levels, linear, strength):
    img = random_image(shape, shape[1])
    got = variable_diffuse(img, "ostromoukhov", levels=levels, linear=linear, strength=strength)
    want = model.variable(img, _engines.weights(0), levels, strength, linear)
    assert_images_equal(got, want)


@pytest.mark.parametrize("method", ["ostromoukhov", "zhou-fang"])
@pytest.mark.parametrize("gray", [3, 40, 127, 180, 250])
def test_variable_keeps_the_mean_and_is_deterministic(method, gray):
    flat = np.full((64, 64), gray, dtype=np.uint8)
    out = variable_diffuse(flat, method)
    assert set(np.unique(out)) <= {0, 255}
    assert abs(out.mean() - gray) < 2.5
    assert_images_equal(out, variable_diffuse(flat, method))


def test_zhou_fang_seed_and_colour():
    img = random_image((20, 30, 3), 4)
    a = variable_diffuse(img, "zhou_fang", seed=1)
    assert not np.array_equal(a, variable_diffuse(img, "zhou_fang", seed=2))
    rgba = random_image((5, 6, 4), 3)
    assert np.array_equal(variable_diffuse(rgba, levels=4)[..., 3], rgba[..., 3])


@pytest.mark.parametrize("channels", [2, 3, 4])
@pytest.mark.parametrize(
    "dither",
    [
        lambda a: variable_diffuse(a, "ostromoukhov", preserve_alpha=False),
        lambda a: variable_diffuse(a, "zhou_fang", levels=3, seed=4, preserve_alpha=False),
        lambda a: riemersma(a, strength=0.8, preserve_alpha=False),
        lambda a: riemersma(a, levels=5, history=7, preserve_alpha=False),
    ],
    ids=["ostromoukhov", "zhou-fang", "riemersma", "riemersma-5"],
)
def test_level_channels_are_independent(channels, dither):
    img = random_image((23, 37, channels), channels)
    got = dither(img)
    for c in range(channels):
        assert_images_equal(got[..., c], dither(np.ascontiguousarray(img[..., c])))


@pytest.mark.parametrize(
    "args,exc,text",
    [
        (dict(method="nosuch"), ValueError, "method"),
        (dict(method=3), TypeError, "method"),
        (dict(levels=1), ValueError, "levels"),
        (dict(seed=1.5), TypeError, "seed"),
        (dict(strength=2.0), ValueError, "strength"),
    ],
)
def test_variable_rejects_bad_arguments(args, exc, text):
    with pytest.raises(exc, match=text):
        variable_diffuse(random_image((4, 4)), **args)


# --- Riemersma ---------------------------------------------------------------


@pytest.mark.parametrize(
    "size", [(1, 1), (1, 9), (7, 1), (2, 2), (5, 3), (8, 8), (13, 6), (6, 17), (31, 12)]
)
def test_hilbert_path_covers_each_pixel_once(size):
    w, h = size
    path = model.hilbert(w, h)
    assert sorted(path) == [(x, y) for x in range(w) for y in range(h)]
    steps = [abs(x1 - x0) + abs(y1 - y0) for (x0, y0), (x1, y1) in zip(path, path[1:])]
    # Neighbours, or diagonal neighbours where an odd side forces it.
    assert max(steps, default=1) <= (1 if w % 2 == 0 and h % 2 == 0 else 2)


# The larger shapes repeat many small rectangles of the curve in several
# orientations.
@pytest.mark.parametrize("shape", [(1, 1), (4, 9), (13, 6), (16, 16), (3, 40), (61, 97), (9, 70)])
@pytest.mark.parametrize("history,ratio", [(16, 1 / 16), (1, 1.0), (5, 0.3)])
def test_riemersma_levels_match_model(shape, history, ratio):
    img = random_image(shape, history)
    for levels, linear in [(2, False), (4, True)]:
        got = riemersma(img, levels=levels, history=history, ratio=ratio, linear=linear)
        want = model.riemersma(img, history, ratio, levels=levels, linear=linear)
        assert_images_equal(got, want)


@pytest.mark.parametrize("palette", PALETTES[:3])
def test_riemersma_palette_matches_model(palette):
    img = random_image((11, 7, 3), 6)
    got = riemersma(img, palette=palette, strength=0.9)
    assert_images_equal(got, model.riemersma(img, palette=palette, strength=0.9))


def test_riemersma_keeps_the_mean():
    flat = np.full((48, 40), 77, dtype=np.uint8)
    assert abs(riemersma(flat).mean() - 77) < 2


@pytest.mark.parametrize(
    "args,exc,text",
    [
        (dict(history=0), ValueError, "history"),
        (dict(history=300), ValueError, "history"),
        (dict(ratio=0.0), ValueError, "ratio"),
        (dict(ratio=1.5), ValueError, "ratio"),
        (dict(ratio="x"), TypeError, "ratio"),
        (dict(distance="oklab"), ValueError, "palette"),
    ],
)
def test_riemersma_rejects_bad_arguments(args, exc, text):
    with pytest.raises(exc, match=text):
        riemersma(random_image((4, 4)), **args)


# --- pinned bytes --------------------------------------------------------------

# Output digests of the diffusion engines on a noisy ramp with black and
# white corners, per method, channel count and option set: the fast paths
# (two levels, unit strength, channels side by side) must keep every byte.
GOLDEN_OPTIONS = {
    "variable": [
        {},
        dict(strength=0.9, seed=2),
        dict(levels=3, linear=True, strength=0.8, seed=7),
        dict(levels=6, seed=3),
    ],
    "riemersma": [
        {},
        dict(strength=0.6, linear=True),
        dict(levels=4, linear=True, strength=0.7),
        dict(history=5, ratio=0.3),
        dict(history=1, ratio=1.0),
        dict(levels=9, history=40, ratio=0.5),
    ],
}
GOLDEN = {
    ("ostromoukhov", 1, 0): "05f1048809cba9f1",
    ("ostromoukhov", 1, 1): "bbe0a9fb8e10725f",
    ("ostromoukhov", 1, 2): "5bc33c43423b7bdb",
    ("ostromoukhov", 1, 3): "d6fdc2c5842a77df",
    ("zhou_fang", 1, 0): "52461e74fc629a9d",
    ("zhou_fang", 1, 1): "83f10504f8d66ac4",
    ("zhou_fang", 1, 2): "89cef255591f9679",
    ("zhou_fang", 1, 3): "2e72bcbf649e09e8",
    ("riemersma", 1, 0): "65d7c71b75e6e6fc",
    ("riemersma", 1, 1): "3eb4a739f5ded3e9",
    ("riemersma", 1, 2): "df02a90f21f9d59a",
    ("riemersma", 1, 3): "aee70c637edc6ad4",
    ("riemersma", 1, 4): "60933da81c071ffb",
    ("riemersma", 1, 5): "2a9ba97ba902e896",
    ("ostromoukhov", 2, 0): "bcaf62a6510f59f4",
    ("ostromoukhov", 2, 1): "d47b2e05f1993ad3",
    ("ostromoukhov", 2, 2): "051d94041ea15f04",
    ("ostromoukhov", 2, 3): "7597249ed8819d56",
    ("zhou_fang", 2, 0): "00bf740f89568833",
    ("zhou_fang", 2, 1): "9a2ab0a336624a6f",
    ("zhou_fang", 2, 2): "ff1a8ca6a2a8a602",
    ("zhou_fang", 2, 3): "3959342c9d1c1228",
    ("riemersma", 2, 0): "53f60973ceaef3b0",
    ("riemersma", 2, 1): "3a5cfb8a8990f732",
    ("riemersma", 2, 2): "4f13942071f22838",
    ("riemersma", 2, 3): "ed39b65fce9497e4",
    ("riemersma", 2, 4): "9a834706f08125fc",
    ("riemersma", 2, 5): "eb157a048308953b",
    ("ostromoukhov", 3, 0): "f0d0d9fb80023c06",
    ("ostromoukhov", 3, 1): "8532e2f89be40aeb",
    ("ostromoukhov", 3, 2): "b0696e35b3a22167",
    ("ostromoukhov", 3, 3): "7823ac7776b3821f",
    ("zhou_fang", 3, 0): "41cf011eaf80353b",
    ("zhou_fang", 3, 1): "a8243b0499ddf38b",
    ("zhou_fang", 3, 2): "c055a53bff6e9d4f",
    ("zhou_fang", 3, 3): "ececfbe35ff551c7",
    ("riemersma", 3, 0): "2fe2a693c1eb5072",
    ("riemersma", 3, 1): "5b8bc24a2ccb6778",
    ("riemersma", 3, 2): "e4b8ed60f4c6b158",
    ("riemersma", 3, 3): "b0920fb2858bd9c9",
    ("riemersma", 3, 4): "411100d607b6a76a",
    ("riemersma", 3, 5): "6642422906db099a",
    ("ostromoukhov", 4, 0): "005e5d23e5566e60",
    ("ostromoukhov", 4, 1): "01b5dedaba143d9a",
    ("ostromoukhov", 4, 2): "c020f8028930c787",
    ("ostromoukhov", 4, 3): "785d77bde6949060",
    ("zhou_fang", 4, 0): "bee3a173b653ebd4",
    ("zhou_fang", 4, 1): "ebbdd47bfa58b8a2",
    ("zhou_fang", 4, 2): "7b5b49dfd32136a1",
    ("zhou_fang", 4, 3): "a5f6e6912dca937b",
    ("riemersma", 4, 0): "a7a49fe3b9078050",
    ("riemersma", 4, 1): "f9c819b8afd840f3",
    ("riemersma", 4, 2): "0dc6f679185f167c",
    ("riemersma", 4, 3): "ab4190888222e717",
    ("riemersma", 4, 4): "650d95992dd5c97a",
    ("riemersma", 4, 5): "5ec00e5ee4c22aac",
    ("riemersma", "pico8", 0): "8e550400349087e3",
    ("riemersma", "epaper-bwr", 0): "93f6ff5264ca02ce",
}


def golden_image(channels):
    rng = np.random.default_rng(channels)
    y, x = np.mgrid[0:61, 0:83]
    planes = [
        np.clip((x * 3 + y * 2) % 256 + rng.normal(0, 20 * (c + 1), x.shape), 0, 255)
        for c in range(channels)
    ]
    img = np.stack(planes, axis=-1).astype(np.uint8)
    img[:3, :5], img[-3:, -5:] = 0, 255
    return img[..., 0] if channels == 1 else img


@pytest.mark.parametrize("method,channels,option", list(GOLDEN))
def test_diffusion_bytes_are_pinned(method, channels, option):
    if method == "riemersma" and isinstance(channels, str):
        out = riemersma(golden_image(3), palette=preset(channels), strength=0.9)
    elif method == "riemersma":
        out = riemersma(golden_image(channels), **GOLDEN_OPTIONS["riemersma"][option])
    else:
        out = variable_diffuse(golden_image(channels), method, **GOLDEN_OPTIONS["variable"][option])
    assert hashlib.sha256(out.tobytes()).hexdigest()[:16] == GOLDEN[method, channels, option]


# --- animation ----------------------------------------------------------------


def pan(count=6, width=40, step=1):
    rng = np.random.default_rng(8)
    base = np.clip(
        np.cumsum(rng.normal(0, 6, (32, width + count * step)), axis=1) + 128, 0, 255
    ).astype(np.uint8)
    return [base[:, i * step : i * step + width] for i in range(count)]


@pytest.mark.parametrize(
    "method,options",
    [
        ("floyd_steinberg", {}),
        ("atkinson", {"levels": 3}),
        ("ostromoukhov", {}),
        ("riemersma", {}),
        ("floyd_steinberg", {"palette": ["#000", "#fff", "#f00"]}),
        ("pattern", {"palette": ["#000", "#fff", "#f00"]}),
        ("bayer4x4", {}),
    ],
)
def test_unchanged_frames_give_identical_output(method, options):
    frame = pan(1)[0]
    frames = [frame, frame.copy(), frame.copy()]
    for stable in (True, False):
        outs = tonalis_tools.dither_frames(frames, method, stable=stable, **options)
        assert_images_equal(outs[1], outs[0])
        assert_images_equal(outs[2], outs[0])


def test_stable_keeps_still_pixels_and_redithers_changed_ones():
    frames = pan(4)
    plain = tonalis_tools.dither_frames(frames, stable=False)
    stable = tonalis_tools.dither_frames(frames, stable=True, tolerance=4)
    assert_images_equal(stable[0], plain[0])
    for k in range(1, 4):
        # A pixel whose kept output was made for an input within 4 of the
        # previous frame's must be redithered when it moved by more than 8.
        far = np.abs(frames[k].astype(int) - frames[k - 1].astype(int)) > 8
        assert far.any()
        assert np.array_equal(stable[k][far], plain[k][far])

    def flicker(outs):
        return np.mean([np.mean(a != b) for a, b in zip(outs, outs[1:])])

    assert flicker(tonalis_tools.dither_frames(frames)) * 5 <= flicker(plain)
    # Zero tolerance keeps at most the pixels whose input is unchanged.
    exact = tonalis_tools.dither_frames(frames, tolerance=0)
    same = frames[1] == frames[0]
    assert np.array_equal(exact[1][~same], plain[1][~same])
    assert np.all((exact[1] == exact[0]) | (exact[1] == plain[1]))


@pytest.mark.parametrize(
    "kwargs,exc,text",
    [
        (dict(stable=1), TypeError, "stable"),
        (dict(tolerance=-1), ValueError, "tolerance"),
        (dict(tolerance="x"), TypeError, "tolerance"),
        (dict(levels=1), ValueError, "levels must be between 2 and 256, got 1"),
        (dict(levels=(4, 1, 4)), ValueError, "levels must be between 2 and 256, got 1"),
        (dict(levels=()), ValueError, "per-channel levels need at least one count"),
        (dict(levels=1, stable=False), ValueError, "levels must be between 2 and 256"),
        (dict(palette="#000,#ggg"), ValueError, "palette: invalid hex color '#ggg'"),
        (dict(palette=[]), ValueError, "palette"),
    ],
)
def test_dither_frames_rejects_bad_arguments(kwargs, exc, text):
    with pytest.raises(exc, match=text):
        tonalis_tools.dither_frames(pan(2), **kwargs)


@pytest.mark.parametrize("levels", [1, 0, 257, (), (4, 1), True, 2.5, "4"])
def test_stable_tolerance_names_bad_levels(levels):
    with pytest.raises(ValueError, match="levels"):
        tonalis_tools.animation.stable_tolerance(levels)


@pytest.mark.parametrize(
    "levels, palette, expected",
    [(None, None, 255 / 4), (4, None, 85 / 4), ((8, 2, 8), None, 255 / 4), (None, ["#000"], 16)],
)
def test_stable_tolerance(levels, palette, expected):
    assert tonalis_tools.animation.stable_tolerance(levels, palette) == pytest.approx(expected)


def test_one_dither_frames_under_every_name():
    import tonalis_tools.animation
    import tonalis_tools.io.animation
    import tonalis_tools.pipeline

    assert (
        tonalis_tools.dither_frames
        is tonalis_tools.pipeline.dither_frames
        is tonalis_tools.io.animation.dither_frames
        is tonalis_tools.animation.dither_frames
    )


def _frames_object(arrays):
    from tonalis_tools.io.imagefile import Frames

    Image = pytest.importorskip("PIL.Image")
    return Frames([Image.fromarray(a) for a in arrays], [40] * len(arrays), [1] * len(arrays), 0)


@pytest.mark.parametrize("stable", [True, False])
@pytest.mark.parametrize(
    "call",
    [
        lambda s, frames, **k: tonalis_tools.dither_frames(frames, "atkinson", levels=3, **k),
        lambda s, frames, **k: tonalis_tools.dither_frames(frames, settings=s, **k),
        lambda s, frames, **k: tonalis_tools.dither_frames(s, frames, **k),
        lambda s, frames, **k: tonalis_tools.dither_frames(frames=frames, settings=s, **k),
    ],
    ids=["method", "settings-keyword", "settings-first", "keywords"],
)
def test_dither_frames_forms_agree(call, stable):
    from tonalis_tools.pipeline import DitherSettings

    settings = DitherSettings("atkinson", levels=3)
    frames = pan(4)
    expected = [
        np.asarray(a)
        for a in tonalis_tools.dither_frames(frames, "atkinson", levels=3, stable=stable)
    ]
    got = call(settings, frames, stable=stable)
    assert isinstance(got, list) and len(got) == 4
    for a, b in zip(got, expected):
        assert_images_equal(a, b)
    # Frames in give Frames out, timing kept, with the same pictures.
    animation = call(settings, _frames_object(frames), stable=stable)
    assert animation.durations == [40] * 4 and animation.loop == 0
    for image, b in zip(animation.images, expected):
        assert_images_equal(np.asarray(image), b)


def test_dither_frames_defaults_of_each_form():
    from tonalis_tools.pipeline import DitherSettings

    frames = pan(4)
    # A method name keeps pixels still by default; DitherSettings do not,
    # as the command line without --stable.
    by_name = tonalis_tools.dither_frames(frames)
    plain = tonalis_tools.dither_frames(frames, stable=False)
    by_settings = tonalis_tools.dither_frames(DitherSettings(), frames)
    assert any(not np.array_equal(a, b) for a, b in zip(by_name, plain))
    assert all(np.array_equal(a, b) for a, b in zip(by_settings, plain))
    # Unseeded random: seed 0 by name (the same each run), one seed for the
    # whole animation with settings.
    still = [frames[0]] * 3
    first = tonalis_tools.dither_frames(still, "random")
    assert all(np.array_equal(a, first[0]) for a in first)
    assert np.array_equal(first[0], tonalis_tools.dither(frames[0], "random", seed=0))
    drawn = tonalis_tools.dither_frames(DitherSettings("random"), still)
    assert all(np.array_equal(a, drawn[0]) for a in drawn)


@pytest.mark.parametrize(
    "args, kwargs, text",
    [
        ("settings-first", dict(settings="s"), "DitherSettings twice"),
        ("frames", dict(settings="s", levels=4), "not both"),
        ("frames", dict(settings="s", method="atkinson"), "not both"),
        ("frames", dict(settings="atkinson"), "settings must be DitherSettings"),
        ("settings-first", dict(stable="yes"), "stable must be a bool"),
        ("settings-first", dict(tolerance=[1]), "tolerance must be a number"),
        ("none", dict(), "needs the frames"),
    ],
)
def test_dither_frames_rejects_settings_given_twice_or_badly(args, kwargs, text):
    from tonalis_tools.pipeline import DitherSettings

    settings = DitherSettings("atkinson")
    kwargs = {k: settings if v == "s" else v for k, v in kwargs.items()}
    positional = {
        "settings-first": (settings, pan(2)),
        "frames": (pan(2),),
        "none": (settings,),
    }[args]
    with pytest.raises(TypeError, match=text):
        tonalis_tools.dither_frames(*positional, **kwargs)


def test_dither_frames_settings_tolerance_is_checked():
    from tonalis_tools.pipeline import DitherSettings

    with pytest.raises(ValueError, match="tolerance must be a number >= 0"):
        tonalis_tools.dither_frames(DitherSettings(), pan(2), stable=True, tolerance=-1)


def test_dither_frames_rejects_frames_of_other_sizes():
    frames = pan(2)
    with pytest.raises(ValueError, match="frames must share one shape"):
        tonalis_tools.dither_frames([frames[0], frames[1][:, :20]])


@pytest.mark.parametrize("channels", [5, 6, 7, 8])
@pytest.mark.parametrize(
    "dither",
    [
        lambda a: tonalis_tools.riemersma(a, levels=3),
        lambda a: tonalis_tools.variable_diffuse(a, levels=3),
        lambda a: tonalis_tools.variable_diffuse(a, "zhou_fang", levels=3, seed=2),
    ],
    ids=["riemersma", "ostromoukhov", "zhou_fang"],
)
def test_every_channel_past_the_fourth_is_dithered(dither, channels):
    # Each channel's levels are its own, so a wide image gives, channel by
    # channel, what the same channel gives alone.
    image = np.random.default_rng(channels).integers(0, 256, (9, 11, channels), dtype=np.uint8)
    out = np.asarray(dither(image))
    assert out.shape == image.shape
    assert set(np.unique(out)) <= {0, 127, 128, 255}
    for c in range(channels):
        alone = np.asarray(dither(np.ascontiguousarray(image[:, :, c : c + 1])))
        assert np.array_equal(out[:, :, c], alone.reshape(9, 11)), c
