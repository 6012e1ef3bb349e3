"""Per-channel level counts."""

import numpy as np
import pytest

import tonalis
from tonalis_tools.channels import DEVICE_LEVELS, device_levels, dither_channels

METHODS = tonalis.available_methods()
# (method, options): every family, with the options that change its course.
CASES = [(m, {}) for m in METHODS] + [
    ("fs", {"serpentine": True}),
    ("jjn", {"linear": True}),
    ("atkinson", {"strength": 0.6}),
    ("random", {"seed": 0}),
    ("random", {"seed": 42, "linear": True}),
    ("random", {"seed": -7}),
    ("bayer4x4", {"strength": 0.3}),
]


def _image(shape, seed=11):
    return np.random.default_rng(seed).integers(0, 256, shape, dtype=np.uint8)


def _first_difference(a, b):
    where = np.argwhere(a != b)
    return None if where.size == 0 else (tuple(where[0]), a[tuple(where[0])], b[tuple(where[0])])


@pytest.mark.parametrize("method, options", CASES)
@pytest.mark.parametrize(
    "shape, alpha", [((9, 13, 3), False), ((9, 13, 4), True), ((9, 13, 4), False)]
)
def test_equal_counts_equal_the_plain_call(method, options, shape, alpha):
    image = _image(shape)
    plain = tonalis.dither(image, method, levels=5, preserve_alpha=alpha, **options)
    count = 4 if (shape[2] == 4 and not alpha) else 3
    ours = dither_channels(image, method, (5,) * count, preserve_alpha=alpha, **options)
    assert _first_difference(ours, plain) is None


@pytest.mark.parametrize("method, options", CASES)
def test_each_channel_equals_its_own_plane(method, options):
    image = _image((11, 10, 3), seed=4)
    levels = (32, 64, 4)
    out = dither_channels(image, method, levels, **options)
    for channel, count in enumerate(levels):
        plane = tonalis.dither(
            np.ascontiguousarray(image[:, :, channel]), method, levels=count, **options
        )
        assert _first_difference(out[:, :, channel], plane) is None, channel


@pytest.mark.parametrize(
    "matrix", [2, "bayer16x16", np.array([[0.1, 0.9], [0.6, 0.4]]), np.arange(6).reshape(2, 3)]
)
def test_matrix_option_is_ordered_dither(matrix):
    image = _image((7, 9, 3))
    out = dither_channels(image, "fs", (2, 7, 3), matrix=matrix, strength=0.9)
    for channel, count in enumerate((2, 7, 3)):
        plane = tonalis.ordered_dither(
            np.ascontiguousarray(image[:, :, channel]), matrix, levels=count, strength=0.9
        )
        assert np.array_equal(out[:, :, channel], plane)


@pytest.mark.parametrize("name", sorted(DEVICE_LEVELS))
def test_device_formats_give_their_level_counts(name):
    image = np.dstack([np.tile(np.arange(256, dtype=np.uint8), (4, 1))] * 3)
    out = dither_channels(image, "floyd_steinberg", name, strength=0.0)
    counts = tuple(len(np.unique(out[:, :, c])) for c in range(3))
    assert counts == device_levels(name) == DEVICE_LEVELS[name]


@pytest.mark.parametrize(
    "shape, levels", [((6, 5), (3,)), ((6, 5), 3), ((6, 5, 1), [3]), ((6, 5, 2), (3,))]
)
def test_gray_and_gray_alpha(shape, levels):
    image = _image(shape)
    out = dither_channels(image, "atkinson", levels)
    assert out.shape == image.shape
    assert np.array_equal(out, tonalis.dither(image, "atkinson", levels=3))


def test_pil_in_pil_out_keeps_alpha():
    Image = pytest.importorskip("PIL.Image")
    source = Image.fromarray(_image((8, 8, 4)), "RGBA")
    out = dither_channels(source, "fs", "rgb332")
    assert isinstance(out, Image.Image) and out.mode == "RGBA"
    assert np.array_equal(np.asarray(out)[..., 3], np.asarray(source)[..., 3])


def test_caller_image_is_not_changed():
    image = _image((5, 5, 3))
    before = image.copy()
    dither_channels(image, "fs", (2, 3, 4))
    assert np.array_equal(image, before)


@pytest.mark.parametrize(
    "levels, kwargs, error, message",
    [
        ((32, 64), {}, ValueError, r"levels \(32, 64\) has 2 entries but the image has 3 channel"),
        ((2, 2, 2, 2), {}, ValueError, "has 4 entries"),
        ("rgb999", {}, ValueError, "unknown device format 'rgb999'"),
        ((2, 2.0, 2), {}, TypeError, "levels entries must be ints"),
        (True, {}, TypeError, "levels must be an int"),
        (2.5, {}, TypeError, "levels must be an int"),
        ((2, 1, 2), {}, ValueError, "levels must be between 2 and 256"),
        ((2, 2, 2), {"palette": ["#000", "#fff"]}, ValueError, "exclude each other"),
        ((2, 2, 2), {"seed": 1, "matrix": 4}, TypeError, "seed"),
    ],
)
def test_rejects_bad_arguments(levels, kwargs, error, message):
    with pytest.raises(error, match=message):
        dither_channels(_image((4, 4, 3)), "fs", levels, **kwargs)
