"""random_dither: the seeded draw sequence, seed handling, and bit-exactness."""

import numpy as np
import pytest
from reference import assert_images_equal, nearest_level
from reference import levels as ref_levels
from threshold_reference import draws, noise, random_image, random_reference

import tonalis

KNOWN_DRAWS = {0: [2953000, 7701871, 8811707, 6036809], 42: [13163963, 3879733]}
SHAPES = [(8, 9), (7, 8, 1), (5, 6, 2), (5, 6, 3), (5, 6, 4), (4, 5, 5)]
PALETTES = [
    [(0, 0, 0), (255, 255, 255)],
    [(0, 0, 0), (85, 85, 85), (170, 170, 170), (255, 255, 255)],
    [(20, 40, 60), (20, 40, 60), (200, 10, 90), (0, 255, 0), (255, 255, 0)],
]


def test_draw_model_matches_known_sequences():
    for seed, known in KNOWN_DRAWS.items():
        assert draws(seed, len(known)) == known
    assert abs(float(noise(KNOWN_DRAWS[0][0])) + 0.323987) < 1e-6


@pytest.mark.parametrize("seed", KNOWN_DRAWS)
def test_known_draws_show_in_output(seed):
    # Pixel i of a uniform row turns white exactly when code + 255 n_i reaches
    # level 1; sweeping every code pins each n_i to within 1/255.
    known = KNOWN_DRAWS[seed]
    _, _, step, inv_step = ref_levels(2, False)
    white_from = []
    for k in known:
        d = noise(k) * np.float32(step)
        white_from.append(
            next(b for b in range(256) if nearest_level(np.float32(b) + d, 2, inv_step) == 1)
        )
    if seed == 0:
        assert white_from[0] == 211  # n0 is about -0.324
    for code in range(256):
        row = tonalis.random_dither(np.full((1, len(known)), code, dtype=np.uint8), seed=seed)
        expected = [255 if code >= w else 0 for w in white_from]
        assert row[0].tolist() == expected, code


@pytest.mark.parametrize(
    "seed, same_as",
    [
        (-1, 2**64 - 1),
        (5, 2**64 + 5),
        (-(2**127), 0),
        (2**127 - 1, 2**64 - 1),
        (np.int64(-3), 2**64 - 3),
        (np.uint64(7), 7),
        (True, 1),
    ],
)
def test_only_the_low_64_bits_of_the_seed_count(seed, same_as):
    image = random_image((6, 7, 3), seed=1)
    out = tonalis.random_dither(image, seed=seed, levels=3)
    assert_images_equal(out, tonalis.random_dither(image, seed=same_as, levels=3))
    assert_images_equal(out, random_reference(image, same_as, levels=3))


@pytest.mark.parametrize(
    "seed, exc, message",
    [
        (2**127, OverflowError, "Python int larger than 128 bits"),
        (-(2**127) - 1, OverflowError, "Python int larger than 128 bits"),
        (1.5, TypeError, None),
        ("1", TypeError, None),
    ],
)
def test_bad_seeds(seed, exc, message):
    with pytest.raises(exc) as info:
        tonalis.random_dither(np.zeros((2, 2), dtype=np.uint8), seed=seed)
    if message is not None:
        assert str(info.value) == message
    assert "while processing 'seed'" in getattr(info.value, "__notes__", [])


def test_same_seed_repeats_and_seeds_differ():
    image = np.full((32, 32), 128, dtype=np.uint8)
    first = tonalis.random_dither(image, seed=123)
    assert_images_equal(tonalis.random_dither(image, seed=123), first)
    assert not np.array_equal(tonalis.random_dither(image, seed=124), first)


def test_unseeded_calls_differ():
    image = np.full((64, 64), 128, dtype=np.uint8)
    a, b = tonalis.random_dither(image), tonalis.random_dither(image)
    assert set(np.unique(a)) <= {0, 255} and not np.array_equal(a, b)
    assert_images_equal(
        tonalis.random_dither(np.zeros((8, 8, 3), dtype=np.uint8)),
        np.zeros((8, 8, 3), dtype=np.uint8),
    )


@pytest.mark.parametrize("seed", [0, 1, 42, 2**64 - 1, None])
def test_black_and_white_survive_two_levels(seed):
    for code in (0, 255):
        image = np.full((12, 13, 4), code, dtype=np.uint8)
        out = tonalis.random_dither(image, seed=seed, preserve_alpha=False)
        assert_images_equal(out, image)


def test_one_draw_per_pixel():
    image = random_image((2, 11, 3), seed=4)
    two_rows = tonalis.random_dither(image, seed=9)
    assert_images_equal(two_rows[:1], tonalis.random_dither(image[:1], seed=9))
    # All channels of a pixel share its draw, so each plane matches a gray image.
    for c in range(3):
        assert_images_equal(two_rows[..., c], tonalis.random_dither(image[..., c], seed=9))


@pytest.mark.parametrize("seed", [0, 77, 2**63])
@pytest.mark.parametrize("palette", [None, PALETTES[2]])
def test_strength_zero_is_plain_quantization(seed, palette):
    image = random_image((6, 7, 3), seed=2)
    options = dict(palette=palette, strength=0.0) if palette else dict(levels=5, strength=0.0)
    out = tonalis.random_dither(image, seed=seed, **options)
    # A 0.5 threshold matrix applies no shift at all.
    assert_images_equal(out, tonalis.ordered_dither(image, [[0.5]], **options))


@pytest.mark.parametrize("levels", [2, 3, 4, 16, 256])
@pytest.mark.parametrize("linear", [False, True])
@pytest.mark.parametrize("preserve_alpha", [True, False])
def test_levels_match_model(levels, linear, preserve_alpha):
    for i, strength in enumerate((1.0, 0.5, 0.0)):
        shape = SHAPES[(levels + i + 2 * linear) % len(SHAPES)]
        image = random_image(shape, seed=levels + i)
        seed = levels * 1000 + i
        options = dict(
            levels=levels, strength=strength, linear=linear, preserve_alpha=preserve_alpha
        )
        assert_images_equal(
            tonalis.random_dither(image, seed=seed, **options),
            random_reference(image, seed, **options),
        )


@pytest.mark.parametrize("palette", PALETTES, ids=["bw", "grays", "mixed"])
@pytest.mark.parametrize("linear", [False, True])
@pytest.mark.parametrize("channels", [3, 4, 5])
def test_palette_matches_model(palette, linear, channels):
    image = random_image((6, 7, channels), seed=channels)
    for seed, strength, preserve_alpha in ((0, 1.0, True), (42, 0.5, False), (-1, 1.0, False)):
        options = dict(
            palette=palette, strength=strength, linear=linear, preserve_alpha=preserve_alpha
        )
        out = tonalis.random_dither(image, seed=seed, **options)
        assert_images_equal(out, random_reference(image, seed, **options))
        assert_images_equal(out[..., 3:], image[..., 3:])
