"""Tone curves applied before dithering."""

import numpy as np
import pytest

from tonalis_tools.tone import dot_gain_curve, dot_gain_inverse, tone, tone_curve

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
