"""Blue-noise threshold matrices made with the void-and-cluster method.

A blue-noise matrix orders its cells so that, at every gray level, the cells
that are "on" spread out evenly with no clumps and no regular grid: its
energy sits at high spatial frequencies, which the eye averages away. Used as
an ordered-dither matrix it gives a grain like error diffusion's without the
worms, while keeping ordered dither's independence between pixels.

The matrices are generated on demand, deterministically (a fixed integer hash
seeds the initial pattern, so no random-number generator is involved), and
tile seamlessly: all filtering is done on the torus.
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

from .names import normalize_name

__all__ = ["SIZES", "blue_noise_ranks", "blue_noise_matrix", "blue_noise_size"]

#: The sizes offered by name ('bluenoise16', 'bluenoise32', 'bluenoise64').
SIZES = (16, 32, 64)


def blue_noise_size(name: str) -> int | None:
    """64 for 'bluenoise64' (loosely spelt: 'blue-noise 64', 'BlueNoise'), else None."""
    key = normalize_name(name)
    if not key.startswith("bluenoise"):
        return None
    rest = key[len("bluenoise") :]
    if rest == "":
        return 64
    if rest.isdigit() and int(rest) in SIZES:
        return int(rest)
    return None


def _hash(count: int, seed: int) -> npt.NDArray[np.uint64]:
    """SplitMix64 finaliser of 0..count-1 mixed with the seed (wrapping uint64)."""
    z = np.arange(count, dtype=np.uint64)
    z += np.uint64((seed * 0x9E3779B97F4A7C15 + 0x632BE59BD9B4E019) & 0xFFFFFFFFFFFFFFFF)
    z ^= z >> np.uint64(30)
    z *= np.uint64(0xBF58476D1CE4E5B9)
    z ^= z >> np.uint64(27)
    z *= np.uint64(0x94D049BB133111EB)
    z ^= z >> np.uint64(31)
    return z


def _periodic_gaussian(size: int, sigma: float) -> npt.NDArray[np.float64]:
    """The Gaussian of standard deviation `sigma`, wrapped onto a size x size torus.

    Built from its exact Fourier transform, so it has no truncation and sums
    to one; entry [dy, dx] is the weight at offset (dy, dx) modulo size.
    """
    f = np.fft.fftfreq(size)
    response = np.exp(-2.0 * np.pi**2 * sigma**2 * (f[:, None] ** 2 + f[None, :] ** 2))
    return np.fft.ifft2(response).real


def blue_noise_ranks(size: int, *, sigma: float = 1.5, seed: int = 0) -> npt.NDArray[np.int64]:
    """The void-and-cluster ranking of a size x size torus.

    Returns an int64 array holding each of 0 .. size*size - 1 exactly once:
    the order in which the cells turn on as the gray level rises.

    Args:
        size: side of the square matrix, 4 to 256.
        sigma: standard deviation, in cells, of the Gaussian that measures
            how crowded a neighbourhood is; 1.5 is the classic choice.
        seed: selects the initial pattern; the same seed always gives the
            same matrix.
    """
    if isinstance(size, bool) or not isinstance(size, (int, np.integer)):
        raise TypeError(f"size must be an int, got {type(size).__name__}")
    size = int(size)
    if not 4 <= size <= 256:
        raise ValueError(f"size must be between 4 and 256, got {size}")
    if not 0.5 <= sigma <= size / 4:
        raise ValueError(f"sigma must be between 0.5 and size / 4, got {sigma}")
    n = size * size
    kernel = _periodic_gaussian(size, sigma)
    # Shifting the kernel to cell (y, x) is a window into the doubled tile:
    # tiled[size - y : 2*size - y, size - x : 2*size - x][i, j] == kernel[i - y, j - x].
    tiled = np.tile(kernel, (2, 2))

    def splat(energy: npt.NDArray[np.float64], cell: int, sign: float) -> None:
        y, x = divmod(cell, size)
        window = tiled[size - y : 2 * size - y, size - x : 2 * size - x]
        if sign > 0:
            energy += window
        else:
            energy -= window

    def tightest_cluster(pattern: npt.NDArray[np.bool_], energy: npt.NDArray[np.float64]) -> int:
        return int(np.argmax(np.where(pattern, energy, -np.inf)))

    def largest_void(pattern: npt.NDArray[np.bool_], energy: npt.NDArray[np.float64]) -> int:
        return int(np.argmin(np.where(pattern, np.inf, energy)))

    # Initial binary pattern: the first tenth of the cells in hash order.
    ones = max(1, n // 10)
    pattern = np.zeros((size, size), dtype=bool)
    pattern.flat[np.argsort(_hash(n, seed), kind="stable")[:ones]] = True
    energy = np.fft.ifft2(np.fft.fft2(pattern) * np.fft.fft2(kernel)).real

    # Relax it into the prototype: move the tightest cluster to the largest
    # void until the move would put it back where it was.
    for _ in range(4 * n):
        cluster = tightest_cluster(pattern, energy)
        pattern.flat[cluster] = False
        splat(energy, cluster, -1.0)
        void = largest_void(pattern, energy)
        pattern.flat[void] = True
        splat(energy, void, +1.0)
        if void == cluster:
            break

    ranks = np.empty(n, dtype=np.int64)
    # Below the prototype: strip its tightest clusters, highest rank first.
    p, e = pattern.copy(), energy.copy()
    for rank in range(ones - 1, -1, -1):
        cluster = tightest_cluster(p, e)
        p.flat[cluster] = False
        splat(e, cluster, -1.0)
        ranks[cluster] = rank
    # Above it: fill the largest voids. Past half full this is the same as
    # taking the tightest cluster of the empty cells, since the filter is linear.
    for rank in range(ones, n):
        void = largest_void(pattern, energy)
        pattern.flat[void] = True
        splat(energy, void, +1.0)
        ranks[void] = rank
    return ranks.reshape(size, size)


def blue_noise_matrix(
    size: int = 64, *, sigma: float = 1.5, seed: int = 0
) -> npt.NDArray[np.float64]:
    """A blue-noise threshold matrix for `tonalis.ordered_dither`.

    Returns a float64 size x size array of thresholds (rank + 0.5) / size**2,
    each used exactly once, in (0, 1):

    >>> import tonalis
    >>> from tonalis_tools import blue_noise_matrix
    >>> out = tonalis.ordered_dither(gray, blue_noise_matrix(64))  # doctest: +SKIP

    Arguments as for `blue_noise_ranks`. Sizes 16, 32 and 64 are the usual
    ones; 64 takes a fraction of a second to make.
    """
    ranks = blue_noise_ranks(size, sigma=sigma, seed=seed)
    return np.asarray((ranks + 0.5) / ranks.size, dtype=np.float64)
