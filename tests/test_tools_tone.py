"""Tone curves applied before dithering."""

import numpy as np
import pytest

from tonalis_tools import DitherSettings, apply, dither, recolor
from tonalis_tools.tone import (
    LuminanceRamp,
    dot_gain_curve,
    dot_gain_inverse,
    is_one_hue,
    palette_luma,
    tone,
    tone_curve,
)

SETTINGS = [
    {"gamma": 0.05},
    {"gamma": 0.4},
    {"gamma": 1.25},
    {"gamma": 20.0},
    {"brightness": -1.0},
    {"brightness": -0.3},
    {"brightness": 0.7},
    {"contrast": -1.0},
    {"contrast": -0.5},
    {"contrast": 0.5},
    {"contrast": 1.0},
    {"s_curve": 0.5},
    {"s_curve": 1.0},
    {"dot_gain": 0.1},
    {"dot_gain": 0.25},
    {"black": 40, "white": 41},
    {"black": 30, "white": 220},
    {
        "gamma": 2.2,
        "brightness": 0.1,
        "contrast": 0.8,
        "s_curve": 1.0,
        "dot_gain": 0.25,
        "black": 10,
    },
    {"gamma": 0.3, "brightness": -0.9, "contrast": -0.99, "s_curve": 0.2},
]


def test_defaults_are_the_identity():
    table = tone_curve()
    assert table.dtype == np.uint8 and table.shape == (256,)
    assert np.array_equal(table, np.arange(256))


@pytest.mark.parametrize("settings", SETTINGS)
def test_tables_never_decrease(settings):
    assert np.all(np.diff(tone_curve(**settings).astype(int)) >= 0)


@pytest.mark.parametrize(
    "settings, check",
    [
        ({"gamma": 1.25}, lambda t: t[128] > 128 and t[0] == 0 and t[255] == 255),
        ({"gamma": 0.8}, lambda t: t[128] < 128 and t[0] == 0 and t[255] == 255),
        ({"brightness": 0.2}, lambda t: t[0] == 51 and t[255] == 255),
        ({"brightness": -0.2}, lambda t: t[0] == 0 and t[255] == 204),
        ({"contrast": 0.5}, lambda t: t[64] < 64 and t[192] > 192 and t[128] == 128),
        ({"contrast": -1.0}, lambda t: np.all(t == 128)),
        ({"s_curve": 1.0}, lambda t: t[64] < 64 and t[192] > 192 and t[0] == 0 and t[255] == 255),
        (
            {"dot_gain": 0.15},
            lambda t: np.all(t.astype(int) >= np.arange(256)) and t[0] == 0 and t[255] == 255,
        ),
        ({"black": 50, "white": 200}, lambda t: t[50] == 0 and t[200] == 255 and t[125] == 128),
    ],
)
def test_each_step_moves_tones_the_right_way(settings, check):
    assert check(tone_curve(**settings))


@pytest.mark.parametrize("gain", [0.0, 0.05, 0.15, 0.25])
def test_dot_gain_inverse_undoes_the_curve(gain):
    coverage = np.linspace(0, 1, 1001)
    assert np.allclose(dot_gain_inverse(dot_gain_curve(coverage, gain), gain), coverage, atol=1e-12)
    assert dot_gain_curve(0.5, gain) == pytest.approx(0.5 + gain)


@pytest.mark.parametrize("gain", [0.05, 0.2])
def test_dot_gain_table_prints_the_wanted_darkness(gain):
    # The code the table writes, printed with the gain, is as dark as the code asked for.
    table = tone_curve(dot_gain=gain)
    printed = dot_gain_curve(1 - table / 255.0, gain)
    assert np.all(np.abs(printed - (1 - np.arange(256) / 255.0)) <= 1.01 / 255 * (1 + 4 * gain))


def _image(shape, seed=3):
    return np.random.default_rng(seed).integers(0, 256, shape, dtype=np.uint8)


@pytest.mark.parametrize("shape", [(5, 7), (5, 7, 1), (5, 7, 2), (5, 7, 3), (5, 7, 4)])
def test_tone_applies_the_table_and_keeps_alpha(shape):
    image = _image(shape)
    before = image.copy()
    out = tone(image, gamma=1.8, contrast=0.3)
    table = tone_curve(gamma=1.8, contrast=0.3)
    assert np.array_equal(image, before)
    if len(shape) == 3 and shape[2] in (2, 4):
        assert np.array_equal(out[..., -1], image[..., -1])
        assert np.array_equal(out[..., :-1], table[image[..., :-1]])
        assert np.array_equal(
            tone(image, gamma=1.8, contrast=0.3, preserve_alpha=False), table[image]
        )
    else:
        assert np.array_equal(out, table[image])
    assert np.array_equal(tone(image), image)


@pytest.mark.parametrize("mode", ["L", "LA", "RGB", "RGBA", "P"])
def test_pil_in_pil_out(mode):
    Image = pytest.importorskip("PIL.Image")
    source = Image.fromarray(_image((6, 9, 4))).convert(mode)
    out = tone(source, brightness=0.1)
    assert isinstance(out, Image.Image)
    assert out.mode == ("RGB" if mode == "P" else mode)
    if "A" in mode:
        assert np.array_equal(np.asarray(out)[..., -1], np.asarray(source)[..., -1])


def test_auto_levels_stretches_colours_together():
    image = np.zeros((10, 10, 3), np.uint8)
    image[..., 0] = np.linspace(60, 180, 100).reshape(10, 10).astype(np.uint8)
    image[..., 1] = 100
    image[..., 2] = 120
    out = tone(image, auto_levels=True, clip=0.0)
    assert out[..., 0].min() == 0 and out[..., 0].max() == 255
    # One stretch for all channels: green stays below blue, both inside the range.
    assert 0 < out[0, 0, 1] < out[0, 0, 2] < 255


def test_auto_levels_leaves_a_flat_image_alone():
    flat = np.full((4, 4), 77, np.uint8)
    assert np.array_equal(tone(flat, auto_levels=True), flat)


def test_auto_levels_ignores_alpha():
    image = np.zeros((8, 8, 2), np.uint8)
    image[..., 0] = np.linspace(100, 150, 64).reshape(8, 8).astype(np.uint8)
    image[..., 1] = 255
    out = tone(image, auto_levels=True, clip=0.0)
    assert out[..., 0].min() == 0 and out[..., 0].max() == 255
    assert np.all(out[..., 1] == 255)


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"gamma": 0.0}, ValueError, "gamma must be between"),
        ({"gamma": float("nan")}, ValueError, "gamma"),
        ({"brightness": 1.5}, ValueError, "brightness must be between -1 and 1, got 1.5"),
        ({"contrast": -2}, ValueError, "contrast"),
        ({"s_curve": 2}, ValueError, "s_curve"),
        ({"dot_gain": 0.5}, ValueError, "dot_gain"),
        ({"gamma": "2"}, TypeError, "gamma must be a number"),
        ({"black": 100, "white": 100}, ValueError, "black must be below white"),
        ({"white": 256}, ValueError, "white must be between 0 and 255"),
        ({"black": 1.0}, TypeError, "black must be an int"),
    ],
)
def test_tone_curve_rejects_bad_values(kwargs, error, message):
    with pytest.raises(error, match=message):
        tone_curve(**kwargs)


@pytest.mark.parametrize(
    "image, kwargs, error",
    [
        (np.zeros((3, 3), np.float32), {}, TypeError),
        (np.zeros((3,), np.uint8), {}, ValueError),
        (np.zeros((0, 3), np.uint8), {}, ValueError),
        (np.zeros((3, 3), np.uint8), {"clip": 0.6}, ValueError),
    ],
)
def test_tone_rejects_bad_images(image, kwargs, error):
    with pytest.raises(error):
        tone(image, **kwargs)


# One-hue palettes and dithering by luminance.

GAMEBOY = ["#0f380f", "#306230", "#8bac0f", "#9bbc0f"]


@pytest.mark.parametrize(
    "palette, expected",
    [
        (GAMEBOY, True),
        (["#1b1008", "#4a2f1a", "#8a6240", "#c9a57a", "#f3e4c8"], True),  # sepia
        (["#000000", "#402000", "#804000", "#c06000", "#ff8000"], True),  # amber from black
        (["#000000", "#005555", "#00aaaa", "#55ffff", "#ffffff"], True),  # cyan, black to white
        (["#000", "#fff"], False),
        (["#000000", "#555555", "#aaaaaa", "#ffffff"], False),  # grays only
        (["#000", "#fff", "#f00"], False),  # one colour added to black and white
        (["#000000", "#55ffff", "#ff55ff", "#ffffff"], False),  # cga
        (["#200000", "#ff0000", "#00ff00"], False),
        (["#0f380f", "#306230"], False),  # two colours are no ramp
        ([f"#{v:02x}{v // 2:02x}00" for v in range(40, 256, 27)], True),  # eight oranges...
        ([f"#{v:02x}{v // 2:02x}00" for v in range(16, 256, 15)], False),  # ...sixteen, many
    ],
)
def test_one_hue_palettes_are_told_apart(palette, expected):
    assert is_one_hue(palette) is expected


def test_luminance_ramp_orders_the_palette_and_spans_its_range():
    # Two colours of one luma share a stand-in: the grayer of them.
    ramp = LuminanceRamp.of(["#ffffff", "#8f7f58", "#000000", "#7f7f7f"])
    luma = palette_luma(["#7f7f7f", "#8f7f58"])
    assert luma[0] == luma[1]
    assert ramp.colours == ("#000000", "#7f7f7f", "#ffffff")
    assert ramp.indices == (2, 3, 0)
    assert ramp.table[0] == 0 and ramp.table[255] == 255
    narrow = LuminanceRamp.of(GAMEBOY)
    assert (narrow.table[0], narrow.table[255]) == tuple(palette_luma(GAMEBOY)[[0, 3]])
    assert np.all(np.diff(narrow.table.astype(int)) >= 0)
    assert LuminanceRamp.of(["#808080", "#808080"]) is None


def _hex(pixels):
    return ["#" + bytes(p).hex() for p in np.asarray(pixels).reshape(-1, 3).tolist()]


def _colours_used(out):
    return set(_hex(out))


@pytest.mark.parametrize("method", ["floyd_steinberg", "atkinson", "bluenoise64", "riemersma"])
def test_a_one_hue_palette_reaches_its_darkest_and_lightest_colour(method):
    ramp = np.tile(np.linspace(0, 255, 96).round().astype(np.uint8), (24, 1))
    # A purple ramp the greens cannot hold, from black to white.
    rgb = np.dstack([ramp, ramp // 2, np.maximum(ramp, 40)])
    rgb[:, :4], rgb[:, -4:] = 0, 255
    out = dither(rgb, method, preset="gameboy")
    assert _colours_used(out) == set(GAMEBOY)
    # Black ends on the darkest colour, white on the lightest.
    assert _share(out[:, :4], GAMEBOY[0]) > 0.9
    assert _share(out[:, -4:], GAMEBOY[3]) > 0.6


def _share(out, colour):
    rgb = [int(colour[i : i + 2], 16) for i in (1, 3, 5)]
    return float(np.mean(np.all(out == rgb, axis=-1)))


def test_luminance_keeps_the_mapped_tones_on_average():
    ramp = LuminanceRamp.of(GAMEBOY)
    luma_of = dict(zip(GAMEBOY, palette_luma(GAMEBOY).tolist()))
    for gray in (30, 100, 170, 230):
        # In codes: the preset's profile would keep the mean in linear light.
        flat = np.full((32, 32), gray, np.uint8)
        out = dither(flat, "floyd_steinberg", preset="gameboy", linear=False)
        codes = [luma_of[c] for c in _hex(out)]
        assert abs(np.mean(codes) - ramp.table[gray]) < 1.0


def test_gray_with_a_palette_dithers_by_luminance():
    rgba = np.dstack([RNG_IMAGE, np.full(RNG_IMAGE.shape[:2], 200, np.uint8)])
    palette = ["#000", "#f00", "#fff"]  # not one hue: only gray asks for luminance
    gray = apply(DitherSettings(gray=True, palette=palette), rgba)
    assert gray.shape == rgba.shape and np.all(gray[..., 3] == 200)
    plain = {"linear": False, "serpentine": False}  # the settings' own, not the palette's profile
    assert np.array_equal(gray, dither(rgba, palette=palette, luminance=True, **plain))
    # The result depends on the luminance alone.
    luma = np.asarray(apply(DitherSettings(gray=True, levels=256), rgba))
    from_luma = dither(
        np.dstack([luma[..., 0]] * 3 + [luma[..., 1]]), palette=palette, gray=True, **plain
    )
    assert np.array_equal(gray, from_luma)


def test_display_colours_follow_the_luminance_dither():
    shown = ["#000000", "#555555", "#aaaaaa", "#ffffff"]
    recoloured = dither(RNG_IMAGE, preset="gameboy", display_palette=shown)
    assert np.array_equal(recoloured, recolor(dither(RNG_IMAGE, preset="gameboy"), GAMEBOY, shown))


@pytest.mark.parametrize(
    "options, error, message",
    [
        ({"levels": 4, "luminance": True}, ValueError, "luminance dithers onto a palette"),
        ({"preset": "gameboy", "luminance": "yes"}, TypeError, "luminance must be a bool"),
    ],
)
def test_luminance_rejects_what_it_cannot_do(options, error, message):
    with pytest.raises(error, match=message):
        dither(RNG_IMAGE, **options)


RNG_IMAGE = np.random.default_rng(5).integers(0, 256, (16, 20, 3), dtype=np.uint8)
