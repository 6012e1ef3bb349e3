"""tonalis_tools.quality: the figures' scale, what they reward, and their inputs."""

import numpy as np
import pytest

import tonalis
from tonalis_tools.quality import METRICS, colour_gradient, score, scores

PIL = pytest.importorskip("PIL")
from PIL import Image

RAMP = np.tile(np.linspace(0, 255, 96).round().astype(np.uint8), (48, 1))
GRADIENT = colour_gradient(96, 48)


def flat(colour, size=(24, 24)):
    return np.full((*size, 3), colour, dtype=np.uint8)


@pytest.mark.parametrize("metric", METRICS)
def test_an_image_scores_zero_against_itself(metric):
    assert score(GRADIENT, GRADIENT, metric) == 0.0


@pytest.mark.parametrize(
    "a, b, expected",
    [
        # CIELAB (D65) of sRGB black, white and red: L 0 / 100, red (53.24, 80.09, 67.20).
        ((0, 0, 0), (255, 255, 255), 100.0),
        ((255, 0, 0), (0, 0, 0), float(np.sqrt(53.24**2 + 80.09**2 + 67.20**2))),
        ((255, 0, 0), (255, 255, 255), float(np.sqrt(46.76**2 + 80.09**2 + 67.20**2))),
    ],
    ids=["black-white", "red-black", "red-white"],
)
def test_scielab_of_flat_colours_is_their_cielab_difference(a, b, expected):
    # The spatial filters keep a flat image flat: what is left is Delta E 1976.
    assert score(flat(a), flat(b), "scielab") == pytest.approx(expected, abs=0.05)


def test_oklab_of_black_and_white_is_100():
    assert score(flat(0), flat(255)) == pytest.approx(100.0, abs=1e-6)


@pytest.mark.parametrize("metric", ["oklab", "scielab"])
def test_diffusion_scores_better_than_a_threshold(metric):
    diffused = tonalis.error_diffusion(RAMP, linear=True)
    threshold = np.where(RAMP < 128, 0, 255).astype(np.uint8)
    assert score(RAMP, diffused, metric) < 0.5 * score(RAMP, threshold, metric)


def test_scielab_sees_coarse_patterns_more_than_fine_ones():
    # The same share of red and green, in one-pixel and eight-pixel checks.
    y, x = np.indices((64, 64))
    red, green = np.array([255, 0, 0], np.uint8), np.array([0, 160, 0], np.uint8)
    fine = np.where(((x + y) % 2 == 0)[..., None], red, green)
    coarse = np.where(((x // 8 + y // 8) % 2 == 0)[..., None], red, green)
    light = ((np.array([255, 0, 0]) / 255.0) ** 2.2 + (np.array([0, 160, 0]) / 255.0) ** 2.2) / 2
    mean = flat((light ** (1 / 2.2) * 255).round(), (64, 64))
    assert score(mean, fine, "scielab") < 0.2 * score(mean, coarse, "scielab")


@pytest.mark.parametrize(
    "other, share",
    [((0, 200, 0), 50.0), ((0, 0, 0), 0.0), ((255, 120, 0), 0.0), ((120, 120, 120), 0.0)],
    ids=["green", "black", "orange", "gray"],
)
def test_speckle_counts_hues_far_from_the_original(other, share):
    original = flat((220, 30, 30), (8, 8))
    dithered = original.copy()
    dithered[:, ::2] = other
    assert score(original, dithered, "speckle") == pytest.approx(share)


def test_gray_originals_have_no_speckle():
    assert score(RAMP, np.dstack([RAMP, RAMP[::-1], RAMP]), "speckle") == 0.0


@pytest.mark.parametrize("metric", METRICS)
def test_indices_with_their_palette_score_as_the_colours(metric):
    palette = ["#000000", "#ffffff", "#ff0000", "#0000ff"]
    rgb = tonalis.dither(GRADIENT, palette=palette)
    table = np.array([[0, 0, 0], [255, 255, 255], [255, 0, 0], [0, 0, 255]], np.uint8)
    indices = np.argmax((rgb[:, :, None, :] == table).all(axis=-1), axis=-1)
    assert score(GRADIENT, indices, metric, palette=palette) == score(GRADIENT, rgb, metric)


@pytest.mark.parametrize(
    "convert",
    [
        lambda a: np.dstack([a[:, :, :1]] * 3),
        lambda a: np.dstack([a[:, :, :1], np.full(a.shape[:2] + (1,), 7, np.uint8)]),
        lambda a: Image.fromarray(a[:, :, 0]),
    ],
    ids=["rgb", "gray-alpha", "pil"],
)
def test_gray_inputs_in_any_form_score_alike(convert):
    original = np.dstack([RAMP] * 3)
    dithered = np.dstack([tonalis.error_diffusion(RAMP)] * 3)
    expected = score(RAMP, dithered[:, :, 0])
    assert score(convert(original), convert(dithered)) == pytest.approx(expected)


def test_scores_are_score_for_each():
    outs = [tonalis.dither(GRADIENT, m, levels=2) for m in ("atkinson", "bayer4x4")]
    for metric in ("oklab", "speckle"):
        assert scores(GRADIENT, outs, metric) == [score(GRADIENT, o, metric) for o in outs]


def test_alpha_is_left_out():
    rgba = np.dstack([GRADIENT, np.full(GRADIENT.shape[:2], 9, np.uint8)])
    out = tonalis.dither(GRADIENT, levels=2)
    assert score(rgba, out) == score(GRADIENT, out)


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda: score(GRADIENT, GRADIENT[:, :-1]), ValueError, "differ in size"),
        (lambda: score(GRADIENT, GRADIENT, "psnr"), ValueError, "valid: oklab, scielab"),
        (lambda: score(GRADIENT, GRADIENT, 3), TypeError, "metric must be a str"),
        (lambda: score(GRADIENT, GRADIENT / 255.0), TypeError, "uint8"),
        (
            lambda: score(RAMP, np.full(RAMP.shape, 2), palette=["#000", "#fff"]),
            ValueError,
            "index 2, outside",
        ),
        (
            lambda: score(RAMP, np.dstack([RAMP] * 3), palette=["#000", "#fff"]),
            ValueError,
            "2-D array of indices",
        ),
        (lambda: scores(RAMP, [RAMP, RAMP[1:]]), ValueError, "differ in size"),
        (lambda: colour_gradient(0, 4), ValueError, "at least 1x1"),
    ],
    ids=[
        "size",
        "metric",
        "metric-type",
        "float",
        "index",
        "indices-shape",
        "scores-size",
        "gradient",
    ],
)
def test_bad_input_is_refused_clearly(call, error, text):
    with pytest.raises(error, match=text):
        call()
