"""ordered_dither: known patterns, channel rules, and bit-exactness against a slow model."""

import numpy as np
import pytest
from reference import assert_images_equal, nearest_level, to_work
from reference import levels as ref_levels
from threshold_reference import (
    bayer_indices,
    bayer_thresholds,
    float_thresholds,
    index_thresholds,
    ordered_reference,
    random_image,
)

import tonalis

INDICES_2X3 = [[0, 5, 2], [4, 1, 3]]
FLOATS_3X2 = [[0.0, 1.0], [0.25, 0.5], [0.9, 0.1]]
MATRICES = [  # (argument, thresholds the engine must apply)
    pytest.param(None, bayer_thresholds(8), id="default"),
    pytest.param(2, bayer_thresholds(2), id="bayer2"),
    pytest.param("bayer4x4", bayer_thresholds(4), id="bayer4"),
    pytest.param("bayer16x16", bayer_thresholds(16), id="bayer16"),
    pytest.param(np.array(INDICES_2X3), index_thresholds(INDICES_2X3), id="indices2x3"),
    pytest.param(np.array(FLOATS_3X2), float_thresholds(FLOATS_3X2), id="floats3x2"),
]
SHAPES = [(17, 18), (9, 10, 1), (6, 7, 2), (6, 7, 3), (6, 7, 4), (5, 6, 5)]
PALETTES = {
    "black-white": [(0, 0, 0), (255, 255, 255)],
    "grays": [(0, 0, 0), (85, 85, 85), (170, 170, 170), (255, 255, 255)],
    "red-only": [(0, 0, 0), (255, 0, 0)],
    "repeats": [(0, 0, 0), (255, 0, 0), (0, 0, 0), (255, 0, 0), (0, 0, 255)],
    "colors": [tuple(int(v) for v in t) for t in random_image((9, 3), seed=99)],
}


def plain_quantization(image, levels, linear):
    codes, _, _, inv_step = ref_levels(levels, linear)
    work = to_work(linear)
    lookup = np.array(
        [codes[nearest_level(np.float32(work[b]), levels, inv_step)] for b in range(256)],
        dtype=np.uint8,
    )
    return lookup[image]


def test_uniform_gray_follows_bayer_indices():
    out = tonalis.ordered_dither(np.full((16, 24), 128, dtype=np.uint8))
    expected = np.where(np.tile(bayer_indices(8), (2, 3)) >= 32, 255, 0).astype(np.uint8)
    assert_images_equal(out, expected)


def test_non_square_matrix_tiles_by_row_and_column():
    # Thresholds (k + 0.5) / 6: mid-gray turns white exactly where k >= 3.
    out = tonalis.ordered_dither(np.full((5, 7), 128, dtype=np.uint8), np.array(INDICES_2X3))
    cell = np.where(np.array(INDICES_2X3) >= 3, 255, 0).astype(np.uint8)
    assert_images_equal(out, np.tile(cell, (3, 3))[:5, :7])


@pytest.mark.parametrize("matrix", [None, 2, 4, 16, [[0.0]], [[1.0]]])
@pytest.mark.parametrize("linear", [False, True])
def test_black_and_white_survive_two_levels(matrix, linear):
    for code in (0, 255):
        image = np.full((16, 17, 3), code, dtype=np.uint8)
        assert_images_equal(tonalis.ordered_dither(image, matrix, linear=linear), image)


@pytest.mark.parametrize("matrix, _", MATRICES)
@pytest.mark.parametrize("levels", [2, 3, 16, 256])
@pytest.mark.parametrize("linear", [False, True])
def test_strength_zero_is_plain_quantization(matrix, _, levels, linear):
    image = random_image((9, 11, 3), seed=levels)
    out = tonalis.ordered_dither(image, matrix, levels=levels, strength=0.0, linear=linear)
    assert_images_equal(out, plain_quantization(image, levels, linear))
    if levels == 256 and not linear:
        assert_images_equal(out, image)


@pytest.mark.parametrize("matrix, thresholds", MATRICES)
@pytest.mark.parametrize("levels", [2, 3, 4, 16, 256])
@pytest.mark.parametrize("linear", [False, True])
def test_levels_match_model(matrix, thresholds, levels, linear):
    shape = SHAPES[(levels + linear) % len(SHAPES)]
    image = random_image(shape, seed=levels * 2 + linear)
    for strength in (0.5, 1.0, 0.3):
        options = dict(levels=levels, strength=strength, linear=linear)
        assert_images_equal(
            tonalis.ordered_dither(image, matrix, **options),
            ordered_reference(image, thresholds, **options),
        )


@pytest.mark.parametrize("shape", SHAPES, ids=str)
@pytest.mark.parametrize("preserve_alpha", [True, False])
def test_channels_and_pass_through_match_model(shape, preserve_alpha):
    image = random_image(shape, seed=len(shape) + shape[-1])
    for levels in (2, 4):
        options = dict(levels=levels, preserve_alpha=preserve_alpha)
        out = tonalis.ordered_dither(image, **options)
        assert_images_equal(out, ordered_reference(image, bayer_thresholds(8), **options))
        # Each quantized channel sees the pixel's shift alone: it matches its own plane.
        planes = range(shape[2]) if len(shape) == 3 else []
        for c in planes:
            if preserve_alpha and shape[2] in (2, 4) and c == shape[2] - 1:
                assert_images_equal(out[..., c], image[..., c])
            else:
                assert_images_equal(
                    out[..., c], tonalis.ordered_dither(image[..., c], levels=levels)
                )


@pytest.mark.parametrize("matrix, thresholds", MATRICES[:2] + MATRICES[4:])
@pytest.mark.parametrize("name", PALETTES)
@pytest.mark.parametrize("linear", [False, True])
def test_palette_matches_model(matrix, thresholds, name, linear):
    image = random_image((7, 9, 4), seed=len(name) + linear)
    for strength, preserve_alpha in ((1.0, True), (0.5, False), (0.0, False)):
        options = dict(
            palette=PALETTES[name], strength=strength, linear=linear, preserve_alpha=preserve_alpha
        )
        out = tonalis.ordered_dither(image, matrix, **options)
        assert_images_equal(out, ordered_reference(image, thresholds, **options))
        assert_images_equal(out[..., 3], image[..., 3])  # alpha is never written


def test_palette_leaves_extra_channels_alone():
    image = random_image((5, 6, 5), seed=11)
    out = tonalis.ordered_dither(image, palette=["#000", "#fff", "#f00"], preserve_alpha=False)
    assert_images_equal(out[..., 3:], image[..., 3:])
    assert {tuple(p) for p in out[..., :3].reshape(-1, 3)} <= {
        (0, 0, 0),
        (255, 255, 255),
        (255, 0, 0),
    }


@pytest.mark.parametrize(
    "palette, expected",
    [
        ([(0, 0, 0), (254, 254, 254)], 0),
        ([(254, 254, 254), (0, 0, 0)], 254),
        ([(0, 0, 0), (0, 0, 0), (254, 254, 254)], 0),
    ],
)
def test_palette_tie_goes_to_the_earlier_colour(palette, expected):
    image = np.full((2, 2, 3), 127, dtype=np.uint8)
    out = tonalis.ordered_dither(image, [[0.5]], palette=palette)
    assert (out == expected).all()


def test_input_untouched_and_result_fresh():
    image = random_image((6, 8, 3), seed=5)
    before = image.copy()
    out = tonalis.ordered_dither(image, levels=3)
    assert_images_equal(image, before)
    assert out.dtype == np.uint8 and out.shape == image.shape
    assert not np.shares_memory(out, image)
