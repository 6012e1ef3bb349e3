"""The matrix argument of ordered_dither: names, sizes, custom arrays, errors."""

from functools import cache

import numpy as np
import pytest
from reference import assert_images_equal
from threshold_reference import (
    bayer_indices,
    bayer_thresholds,
    float_thresholds,
    index_thresholds,
    ordered_reference,
    quoted,
    raises_exactly,
    random_image,
)

import tonalis

UNKNOWN = (
    "unknown dither matrix {}; valid values: 'bayer2x2', 'bayer4x4', 'bayer8x8', "
    "'bayer16x16', the size as an int (2, 4, 8, 16), or a custom 2-D numpy matrix"
)
SHAPE = (
    "custom dither matrix must be a non-empty 2-D array, got shape {}; pass 'bayerNxN', "
    "the size as an int (2, 4, 8, 16), or a 2-D numpy array"
)
KIND = (
    "custom dither matrix must have an integer dtype (Bayer-style indices) or float dtype "
    "(thresholds in [0, 1]), got kind {}"
)
NEGATIVE = (
    "integer matrix values must be >= 0, got {} "
    "(note: unsigned 64-bit values above 2^63 overflow to negative)"
)
TOO_LARGE = "integer matrix values must be below 2^24, got {}"
FLOAT_RANGE = "float matrix thresholds must be in [0, 1]"

PROBE = random_image((16, 16), seed=7)  # one full tile of the largest Bayer matrix


@cache
def bayer_probe(n):
    return ordered_reference(PROBE, bayer_thresholds(n))


def test_bayer_construction_reference():
    # Pins the recursive reference to the known tables before anything leans on it.
    assert bayer_indices(2).tolist() == [[0, 2], [3, 1]]
    assert bayer_indices(4).tolist() == [
        [0, 8, 2, 10],
        [12, 4, 14, 6],
        [3, 11, 1, 9],
        [15, 7, 13, 5],
    ]
    assert bayer_indices(8)[:2].tolist() == [
        [0, 32, 8, 40, 2, 34, 10, 42],
        [48, 16, 56, 24, 50, 18, 58, 26],
    ]
    assert sorted(bayer_indices(16).ravel().tolist()) == list(range(256))
    assert bayer_thresholds(2).tolist() == [[0.125, 0.625], [0.875, 0.375]]


@pytest.mark.parametrize(
    "matrix, n",
    [
        ("bayer8x8", 8),
        ("BAYER8X8", 8),
        ("Bayer 8x8", 8),
        ("bayer_8x8", 8),
        ("bayer-8", 8),
        ("bayer8", 8),
        ("8x8", 8),
        ("8", 8),
        ("16X16", 16),
        ("Bayer 16x16", 16),
        ("bayer2x2", 2),
        (" bayer 4 x 4 ", 4),
        ("bayer4", 4),
        (2, 2),
        (4, 4),
        (8, 8),
        (16, 16),
        (np.int64(4), 4),
        (np.uint8(16), 16),
    ],
)
def test_accepted_names_and_sizes(matrix, n):
    assert_images_equal(tonalis.ordered_dither(PROBE, matrix), bayer_probe(n))


def test_listed_matrix_names_are_accepted():
    names = tonalis.available_matrices()
    assert names == ["bayer2x2", "bayer4x4", "bayer8x8", "bayer16x16"]
    for name, n in zip(names, (2, 4, 8, 16)):
        assert_images_equal(tonalis.ordered_dither(PROBE, name), bayer_probe(n))


@pytest.mark.parametrize(
    "matrix",
    [
        [[0, 2], [3, 1]],
        np.array([[0, 2], [3, 1]], dtype=np.uint8),
        np.array([[0, 2], [3, 1]], dtype=np.int16),
        np.array([[0.125, 0.625], [0.875, 0.375]], dtype=np.float32),
    ],
)
def test_custom_forms_of_bayer2(matrix):
    assert_images_equal(tonalis.ordered_dither(PROBE, matrix), bayer_probe(2))


@pytest.mark.parametrize(
    "matrix, thresholds",
    [
        ([[0, 10]], [[0.5 / 11, 10.5 / 11]]),  # index beyond the cell count stretches
        ([[3, 3], [0, 3]], [[3.5 / 4, 3.5 / 4], [0.125, 3.5 / 4]]),  # repeats allowed
        ([[0], [1], [2]], [[1 / 6], [0.5], [5 / 6]]),
        ([[0.0, 1.0]], [[0.0, 0.99999988]]),  # 1.0 stored just below 1
        ([[-0.0, 0.3]], [[0.0, 0.3]]),
    ],
)
def test_custom_thresholds(matrix, thresholds):
    expected = ordered_reference(PROBE, np.asarray(thresholds, dtype=np.float32))
    assert_images_equal(tonalis.ordered_dither(PROBE, matrix), expected)
    model = (
        index_thresholds(matrix)
        if np.asarray(matrix).dtype.kind == "i"
        else float_thresholds(matrix)
    )
    np.testing.assert_array_equal(model, np.asarray(thresholds, dtype=np.float32))


@pytest.mark.parametrize("matrix", [[[0]], [[0.5]], np.full((2, 3), 0.5, dtype=np.float32)])
def test_neutral_matrices_quantize_plainly(matrix):
    # A lone index 0 and thresholds of 0.5 apply no shift.
    image = random_image((6, 9, 3), seed=3)
    for levels in (2, 5):
        plain = tonalis.ordered_dither(image, levels=levels, strength=0.0)
        assert_images_equal(tonalis.ordered_dither(image, matrix, levels=levels), plain)


@pytest.mark.parametrize("matrix", [[[2**24 - 1]], [[0, 2**24 - 1]], [[1.0]], [[0.9999999999]]])
def test_largest_threshold_keeps_black_black(matrix):
    # Rounding of index + 0.5 near 2^24 would give a threshold of exactly 1,
    # a shift of a full half step; it is held below 1 like the float form.
    image = np.zeros((2, 3), dtype=np.uint8)
    assert_images_equal(tonalis.ordered_dither(image, matrix), image)


def test_largest_accepted_index():
    image = random_image((3, 4), seed=1)
    matrix = [[0, 2**24 - 1], [5, 2**23]]
    assert_images_equal(
        tonalis.ordered_dither(image, np.array(matrix)),
        ordered_reference(image, index_thresholds(matrix)),
    )


@pytest.mark.parametrize(
    "matrix, exc, message",
    [
        # form 1: integers
        (3, ValueError, UNKNOWN.format('"3"')),
        (0, ValueError, UNKNOWN.format('"0"')),
        (32, ValueError, UNKNOWN.format('"32"')),
        (True, ValueError, UNKNOWN.format('"1"')),
        (np.int32(3), ValueError, UNKNOWN.format('"3"')),
        # form 2: strings, quoted as written
        *[
            (s, ValueError, UNKNOWN.format(quoted(s)))
            for s in [
                "bayer",
                "+8",
                "bayer+8",
                "bayer8x4",
                "bayer08",
                "08",
                "Bayer3X3",
                "bayer32x32",
                "bayer8x8x8",
                "",
                "x8",
                "8x",
                "bayerx",
                "bayer 8 x 8 x",
                "99999999999999999999",
                "18446744073709551624",
                'say "8"\\',
                "bayer８",
            ]
        ],
        # form 3: array-likes; shape before kind
        (np.zeros((0, 4)), ValueError, SHAPE.format("[0, 4]")),
        ([[]], ValueError, SHAPE.format("[1, 0]")),
        (np.zeros(5), ValueError, SHAPE.format("[5]")),
        (np.zeros((2, 2, 2), dtype=np.uint8), ValueError, SHAPE.format("[2, 2, 2]")),
        (8.0, ValueError, SHAPE.format("[]")),
        (-8, ValueError, SHAPE.format("[]")),
        (2**64, ValueError, SHAPE.format("[]")),
        (b"8x8", ValueError, SHAPE.format("[]")),
        (np.zeros(3, dtype=bool), ValueError, SHAPE.format("[3]")),
        (np.zeros((2, 2), dtype=bool), TypeError, KIND.format('"b"')),
        (np.zeros((2, 2), dtype=complex), TypeError, KIND.format('"c"')),
        ([["a", "b"]], TypeError, KIND.format('"U"')),
        (np.array([[b"a"]]), TypeError, KIND.format('"S"')),
        (np.array([[None]], dtype=object), TypeError, KIND.format('"O"')),
        (np.zeros((2, 2), dtype="datetime64[s]"), TypeError, KIND.format('"M"')),
        # index and threshold ranges
        ([[-1, 0]], ValueError, NEGATIVE.format(-1)),
        ([[-1, 2**24]], ValueError, NEGATIVE.format(-1)),  # minimum checked first
        ([[5, -7], [-3, 0]], ValueError, NEGATIVE.format(-7)),
        (np.array([[2**63]], dtype=np.uint64), ValueError, NEGATIVE.format(-(2**63))),
        ([[0, 2**24]], ValueError, TOO_LARGE.format(2**24)),
        ([[2**40, 2**30]], ValueError, TOO_LARGE.format(2**40)),
        ([[0.5, np.nan]], ValueError, FLOAT_RANGE),
        ([[1.0000001]], ValueError, FLOAT_RANGE),
        ([[-1e-300]], ValueError, FLOAT_RANGE),
        ([[0.2, np.inf]], ValueError, FLOAT_RANGE),
    ],
)
def test_matrix_errors(matrix, exc, message):
    raises_exactly(exc, message, tonalis.ordered_dither, PROBE, matrix)


@pytest.mark.parametrize(
    "matrix, exc, message",
    [
        ("bayer3x3", ValueError, UNKNOWN.format('"bayer3x3"')),
        ([[-1]], ValueError, NEGATIVE.format(-1)),
        (np.zeros(3), ValueError, SHAPE.format("[3]")),
    ],
)
@pytest.mark.parametrize(
    "bad_call",
    [
        dict(image="not an image"),
        dict(image=np.zeros((4, 4))),
        dict(image=np.zeros(5, dtype=np.uint8)),
        dict(image=PROBE, strength=2.0),
        dict(image=PROBE, levels=1),
        dict(image=PROBE, palette="#000"),
    ],
    ids=["str", "float64", "1-D", "strength", "levels", "palette"],
)
def test_matrix_errors_come_first(matrix, exc, message, bad_call):
    call = dict(bad_call)
    image = call.pop("image")
    raises_exactly(exc, message, tonalis.ordered_dither, image, matrix, **call)
