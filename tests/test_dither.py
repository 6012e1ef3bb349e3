"""dither: dispatch to the three families, and what it checks before dispatching."""

import numpy as np
import pytest
from reference import assert_images_equal
from threshold_reference import quoted, raises_exactly, random_image

import tonalis

UNKNOWN_METHOD = (
    "unknown dither method {}; valid values: 'floyd_steinberg', 'false_floyd_steinberg', "
    "'jarvis_judice_ninke', 'stucki', 'atkinson', 'burkes', 'sierra', 'sierra_two_row', "
    "'sierra_lite', 'bayer2x2', 'bayer4x4', 'bayer8x8', 'bayer16x16', 'random'"
)
IMAGE = random_image((9, 12, 3), seed=21)
OPTION_SETS = [
    dict(),
    dict(levels=3, linear=True),
    dict(palette=[(0, 0, 0), (255, 0, 0), (0, 0, 255), (255, 255, 255)], strength=0.5),
]


@pytest.mark.parametrize("options", OPTION_SETS)
def test_default_method_is_floyd_steinberg(options):
    assert_images_equal(
        tonalis.dither(IMAGE, **options),
        tonalis.error_diffusion(IMAGE, "floyd_steinberg", **options),
    )


@pytest.mark.parametrize(
    "method", ["FS", "Floyd-Steinberg", "jjn", "sierra-2", "Atkinson", "sierra_lite"]
)
@pytest.mark.parametrize("serpentine", [False, True])
@pytest.mark.parametrize("options", OPTION_SETS)
def test_diffusion_names(method, serpentine, options):
    out = tonalis.dither(IMAGE, method, serpentine=serpentine, seed=5, **options)
    assert_images_equal(
        out, tonalis.error_diffusion(IMAGE, method, serpentine=serpentine, **options)
    )


@pytest.mark.parametrize("method", ["random", "Random", "RANDOM", "ran-dom", " _random_ "])
@pytest.mark.parametrize("options", OPTION_SETS)
def test_random_names(method, options):
    expected = tonalis.random_dither(IMAGE, seed=77, **options)
    for serpentine in (False, True):
        out = tonalis.dither(IMAGE, method, seed=77, serpentine=serpentine, **options)
        assert_images_equal(out, expected)


@pytest.mark.parametrize(
    "method, matrix",
    [
        ("bayer8x8", "bayer8x8"),
        ("Bayer 8x8", "bayer8x8"),
        ("BAYER-8X8", "bayer8x8"),
        ("8x8", "bayer8x8"),
        ("8", "bayer8x8"),
        ("bayer8", "bayer8x8"),
        ("bayer2x2", "bayer2x2"),
        ("16", "bayer16x16"),
        ("bayer_4x4", "bayer4x4"),
    ],
)
@pytest.mark.parametrize("options", OPTION_SETS)
def test_matrix_names(method, matrix, options):
    expected = tonalis.ordered_dither(IMAGE, matrix, **options)
    for seed, serpentine in ((None, False), (3, True)):
        out = tonalis.dither(IMAGE, method, seed=seed, serpentine=serpentine, **options)
        assert_images_equal(out, expected)


@pytest.mark.parametrize(
    "method",
    [
        "Foo",
        "bayer3x3",
        "bayer32x32",
        "08",
        "",
        "floyd",
        "random2",
        "randomx",
        "bayer",
        "+8",
        "bayer8x8x8",
        "Floyd–Steinberg",
        'a "quoted" \\ name',
        "sierra3row",
    ],
)
def test_unknown_method(method):
    raises_exactly(ValueError, UNKNOWN_METHOD.format(quoted(method)), tonalis.dither, IMAGE, method)


def test_unknown_method_message_in_full():
    raises_exactly(
        ValueError,
        "unknown dither method \"Foo\"; valid values: 'floyd_steinberg', "
        "'false_floyd_steinberg', 'jarvis_judice_ninke', 'stucki', 'atkinson', "
        "'burkes', 'sierra', 'sierra_two_row', 'sierra_lite', 'bayer2x2', "
        "'bayer4x4', 'bayer8x8', 'bayer16x16', 'random'",
        tonalis.dither,
        IMAGE,
        "Foo",
    )


@pytest.mark.parametrize("method", ["floyd_steinberg", "random", "bayer4x4", "Foo"])
@pytest.mark.parametrize(
    "bad, exc, note",
    [
        (dict(seed=1.5), TypeError, "while processing 'seed'"),
        (dict(seed="3"), TypeError, "while processing 'seed'"),
        (dict(seed=2**127), OverflowError, "while processing 'seed'"),
        (dict(serpentine=1), TypeError, "while processing 'serpentine'"),
        (dict(serpentine=None), TypeError, "while processing 'serpentine'"),
        (dict(linear="yes"), TypeError, "while processing 'linear'"),
    ],
)
def test_every_argument_converted_whatever_the_method(method, bad, exc, note):
    with pytest.raises(exc) as info:
        tonalis.dither(IMAGE, method, **bad)
    assert note in getattr(info.value, "__notes__", [])


def test_method_must_be_text():
    raises_exactly(TypeError, "'None' is not an instance of 'str'", tonalis.dither, IMAGE, None)
    raises_exactly(TypeError, "'int' object is not an instance of 'str'", tonalis.dither, IMAGE, 8)


@pytest.mark.parametrize("image", [np.zeros((4, 4)), "not an image", np.zeros(3, np.uint8)])
def test_unknown_method_reported_before_bad_image(image):
    raises_exactly(
        ValueError, UNKNOWN_METHOD.format('"bayer3x3"'), tonalis.dither, image, "bayer3x3"
    )


@pytest.mark.parametrize("method", ["floyd_steinberg", "random", "bayer4x4"])
def test_operation_errors_pass_through(method):
    float_image = np.zeros((4, 4))
    with pytest.raises(TypeError, match="^expected a uint8 image array, got dtype float64;"):
        tonalis.dither(float_image, method, seed=1)
    raises_exactly(
        ValueError,
        "strength must be between 0.0 and 1.0, got 2",
        tonalis.dither,
        IMAGE,
        method,
        strength=2.0,
    )
    raises_exactly(
        ValueError,
        "pass either levels or palette, not both",
        tonalis.dither,
        IMAGE,
        method,
        levels=3,
        palette=["#000", "#fff"],
    )
