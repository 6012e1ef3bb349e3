"""Getting images ready for a printer: flatten over the paper, fit to its dots."""

import numpy as np
import pytest

from tonalis_tools.devices.printer import MAX_PIXELS, fit_width, flatten

Image = pytest.importorskip("PIL.Image")


@pytest.mark.parametrize(
    "pixel, background, expected",
    [
        ([0, 0], "white", [255]),
        ([0, 255], "white", [0]),
        ([100, 51], "white", [224]),  # 100 * 0.2 + 255 * 0.8
        ([100, 51], "#404040", [71]),  # gray paper keeps a gray image gray
        ([100, 51], "red", [224, 20, 20]),  # a coloured paper makes it RGB
        ([10, 20, 30, 0], "white", [255, 255, 255]),
        ([10, 20, 30, 255], "white", [10, 20, 30]),
        ([200, 0, 0, 128], "#0000ff", [100, 0, 127]),
    ],
)
def test_flatten_mixes_by_alpha(pixel, background, expected):
    image = np.array([[pixel]], np.uint8)
    out = flatten(image, background)
    assert out.dtype == np.uint8
    assert (out.reshape(-1).tolist()) == expected
    assert out.ndim == (2 if len(expected) == 1 else 3)


@pytest.mark.parametrize("shape", [(2, 3), (2, 3, 1), (2, 3, 3)])
def test_flatten_leaves_opaque_images_alone(shape):
    image = np.zeros(shape, np.uint8)
    assert flatten(image) is image


def test_flatten_keeps_pil_and_reads_palette_transparency():
    palette = Image.new("P", (2, 1))
    palette.putpalette([0, 0, 0, 255, 0, 0])
    palette.putpixel((1, 0), 1)
    palette.info["transparency"] = 1
    out = flatten(palette, "#00ff00")
    assert isinstance(out, Image.Image) and out.mode == "RGB"
    assert np.asarray(out).tolist() == [[[0, 0, 0], [0, 255, 0]]]
    la = flatten(Image.new("LA", (1, 1), (0, 0)))
    assert la.mode == "L" and la.getpixel((0, 0)) == 255


@pytest.mark.parametrize(
    "background, error, message",
    [
        ("nocolour", ValueError, "nocolour"),
        ("red, blue", ValueError, "one colour"),
        (7, TypeError, "colour string"),
    ],
)
def test_flatten_rejects_a_bad_background(background, error, message):
    with pytest.raises(error, match=message):
        flatten(np.zeros((1, 1, 2), np.uint8), background)


@pytest.mark.parametrize(
    "size, width, fit, expected",
    [
        ((1200, 500), 384, "shrink", (384, 160)),
        ((1200, 500), 576, "shrink", (576, 240)),
        ((7, 3), 5, "shrink", (5, 2)),
        ((1000, 1), 10, "shrink", (10, 1)),  # never less than a row
        ((200, 100), 384, "shrink", (200, 100)),  # narrower: left as it is
        ((200, 100), 384, "fill", (384, 192)),
        ((384, 100), 384, "refuse", (384, 100)),
    ],
)
@pytest.mark.parametrize("channels", [None, 2, 3, 4])
def test_fit_width_keeps_the_aspect(size, width, fit, expected, channels):
    shape = (size[1], size[0]) + (() if channels is None else (channels,))
    image = np.random.default_rng(1).integers(0, 256, shape, dtype=np.uint8)
    out = fit_width(image, width, fit=fit)
    assert out.shape == (expected[1], expected[0]) + shape[2:]
    assert out.dtype == np.uint8
    if expected == size:
        assert out is image


def test_fit_width_averages_light_not_codes():
    """One-dot black and white stripes shrink to half the light: sRGB 188, not 128."""
    stripes = np.tile(np.array([0, 255], np.uint8), (64, 64))
    out = fit_width(stripes, 64)
    assert np.abs(out[8:-8, 8:-8].astype(int) - 188).max() <= 1
    pil = fit_width(Image.fromarray(stripes), 64)
    assert isinstance(pil, Image.Image) and np.array_equal(np.asarray(pil), out)


def test_fit_width_keeps_transparent_colours_from_bleeding():
    """An invisible red beside opaque white does not tint it."""
    rgba = np.zeros((40, 80, 4), np.uint8)
    rgba[:, :40] = (255, 0, 0, 0)
    rgba[:, 40:] = (255, 255, 255, 255)
    out = fit_width(rgba, 20)
    opaque = out[..., 3] > 0
    assert (out[opaque][:, :3] >= 250).all()
    assert out[:, 0, 3].max() == 0 and out[:, -1, 3].min() == 255


@pytest.mark.parametrize(
    "width, fit, message",
    [
        (0, "shrink", "width must be a positive int"),
        (True, "shrink", "width must be a positive int"),
        (10.0, "shrink", "width must be a positive int"),
        (16, "crop", "fit must be one of shrink, fill, refuse"),
        (16, "refuse", "the image is 32 dots wide, the printer 16"),
    ],
)
def test_fit_width_rejects(width, fit, message):
    with pytest.raises(ValueError, match=message):
        fit_width(np.zeros((4, 32), np.uint8), width, fit=fit)


def test_fill_does_not_enlarge_without_bound():
    tall = np.zeros((1 << 16, 1), np.uint8)
    with pytest.raises(ValueError, match=f"more than {MAX_PIXELS}"):
        fit_width(tall, 1 << 12, fit="fill")
