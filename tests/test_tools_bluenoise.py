"""Void-and-cluster blue-noise matrices."""

import hashlib
import time

import numpy as np
import pytest

import tonalis
from tonalis_tools.bluenoise import blue_noise_matrix, blue_noise_ranks
from tonalis_tools.matrices import bluenoise


@pytest.fixture(scope="module", params=[16, 32, 64, 200, 256])
def ranks(request):
    return blue_noise_ranks(request.param)


def _radial_power(pattern):
    """Mean power of the pattern's spectrum (mean removed) in radial frequency bands."""
    n = pattern.shape[0]
    f = np.fft.fftfreq(n)
    radius = np.hypot(f[:, None], f[None, :])
    power = np.abs(np.fft.fft2(pattern - pattern.mean())) ** 2 / pattern.size
    low = power[(radius > 0) & (radius <= 0.1)].mean()
    high = power[radius > 0.3].mean()
    return low, high


def test_every_rank_once(ranks):
    assert ranks.dtype == np.int64
    assert np.array_equal(np.sort(ranks.ravel()), np.arange(ranks.size))


def test_thresholds_are_centred_ranks(ranks):
    matrix = blue_noise_matrix(ranks.shape[0])
    assert matrix.dtype == np.float64
    assert np.array_equal(matrix, (ranks + 0.5) / ranks.size)
    assert 0 < matrix.min() and matrix.max() < 1


@pytest.mark.parametrize("level", [0.1, 0.25, 0.5, 0.75, 0.9])
def test_low_frequencies_are_quiet(ranks, level):
    # At every gray level the cells that are on form blue noise: far less
    # power near zero frequency than at high frequency, and far less than
    # white noise of the same density has there.
    pattern = (ranks < level * ranks.size).astype(np.float64)
    low, high = _radial_power(pattern)
    white = level * (1 - level)  # flat spectrum of independent cells
    assert low < 0.1 * white
    assert high > 0.8 * white
    assert low < 0.1 * high


def test_matrix_spectrum_is_blue(ranks):
    low, high = _radial_power(ranks / ranks.size)
    assert low < 0.01 * high


def test_neighbours_differ_in_rank(ranks):
    # On the torus, the first 2 % of cells to turn on never touch.
    first = ranks < max(2, ranks.size // 50)
    for dy, dx in [(0, 1), (1, 0), (1, 1), (1, -1)]:
        assert not np.any(first & np.roll(first, (dy, dx), axis=(0, 1)))


def test_deterministic_and_seeded():
    a, b = blue_noise_ranks(32), blue_noise_ranks(32)
    assert np.array_equal(a, b)
    assert not np.array_equal(a, blue_noise_ranks(32, seed=1))
    assert np.array_equal(blue_noise_ranks(32, seed=1), blue_noise_ranks(32, seed=1))


@pytest.mark.serial  # timed: alone, not beside other test workers
@pytest.mark.parametrize("size, seconds", [(64, 3.0), (256, 6.0)])
def test_fast_enough(size, seconds):
    start = time.perf_counter()
    blue_noise_ranks(size)
    assert time.perf_counter() - start < seconds


@pytest.mark.parametrize("gray", [0, 1, 37, 128, 200, 254, 255])
def test_ordered_dither_keeps_the_mean(gray):
    # Each threshold is used once per tile, so a flat gray over whole tiles
    # turns on the share of cells its value asks for, to within one cell.
    matrix = blue_noise_matrix(32)
    flat = np.full((64, 64), gray, np.uint8)
    out = tonalis.ordered_dither(flat, matrix)
    assert set(np.unique(out)) <= {0, 255}
    on = np.count_nonzero(out) / out.size
    assert abs(on - gray / 255) <= 4 / 1024 + 1e-9


def test_tiles_seamlessly():
    # Seen through the tile seam, the first cells to turn on still never touch.
    ranks = blue_noise_ranks(16)
    tiled = np.tile(ranks < 12, (2, 2))
    assert not np.any(tiled[:, :-1] & tiled[:, 1:])
    assert not np.any(tiled[:-1, :] & tiled[1:, :])


@pytest.mark.parametrize(
    "kwargs, error",
    [
        ({"size": 3}, ValueError),
        ({"size": 257}, ValueError),
        ({"size": 16.0}, TypeError),
        ({"size": True}, TypeError),
        ({"size": 16, "sigma": 0.1}, ValueError),
        ({"size": 16, "sigma": 5.0}, ValueError),
    ],
)
def test_rejects_bad_arguments(kwargs, error):
    with pytest.raises(error):
        blue_noise_ranks(**kwargs)


@pytest.mark.parametrize(
    "size, digest", [(16, "e5b467e1814ddba1"), (32, "0f861122d2716ad8"), (64, "55274961eb355d38")]
)
def test_named_matrices_do_not_change(size, digest):
    # The named matrices shape every ordered-dither output made with them:
    # the shipped ranks and the generator that made them must both stay.
    shipped = blue_noise_ranks(size)
    assert hashlib.sha256(shipped.tobytes()).hexdigest()[:16] == digest
    generated = bluenoise._generated_ranks(size, 1.5, 0)
    assert hashlib.sha256(generated.tobytes()).hexdigest()[:16] == digest
    # The caller's copy is its own: changing it leaves the next call's alone.
    shipped[0, 0] = -1
    assert hashlib.sha256(blue_noise_ranks(size).tobytes()).hexdigest()[:16] == digest
