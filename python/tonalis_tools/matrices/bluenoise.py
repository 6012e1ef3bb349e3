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

from ..names import normalize_name

__all__ = ["SIZES", "blue_noise_ranks", "blue_noise_matrix", "blue_noise_size"]

#: The sizes offered by name ('bluenoise16', 'bluenoise32', 'bluenoise64').
SIZES = (16, 32, 64)


def blue_noise_size(name: str) -> int | None:
    """64 for 'bluenoise64' (loosely spelt: 'blue-noise 64', 'BlueNoise'), else None.

    Args:
        name: a method or matrix name.

    Returns:
        The side of the named blue-noise matrix (64 when the name gives
        none), or None when it is not a blue-noise name of `SIZES`.

    Examples:
        >>> blue_noise_size("Blue-Noise 32"), blue_noise_size("bluenoise")
        (32, 64)
        >>> blue_noise_size("bayer8x8") is None
        True
    """
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


#: Sizes up to this one filter with the exact torus Gaussian; larger ones
#: with the Gaussian cut off at `_REACH` standard deviations, which changes
#: nothing visible and keeps each step local.
_EXACT_UP_TO = 128
#: Where the local filter is cut off, in standard deviations (the weight
#: there is below 1e-7 of the centre's).
_REACH = 6.0


class _Field:
    """How the energy of a size x size torus is filtered and searched."""

    size: int

    def energy(self, pattern: npt.NDArray[np.bool_]) -> npt.NDArray[np.float64]:
        raise NotImplementedError

    def splat(self, array: npt.NDArray[np.float64], y: int, x: int, sign: float) -> None:
        raise NotImplementedError

    def rows(self, y: int) -> list[slice]:
        """The rows a splat centred on row y touches, when row extrema are kept."""
        return []

    def argmax(self, array: npt.NDArray[np.float64], rows: npt.NDArray[np.float64]) -> int:
        return int(np.argmax(array))

    def argmin(self, array: npt.NDArray[np.float64], rows: npt.NDArray[np.float64]) -> int:
        return int(np.argmin(array))


class _TorusField(_Field):
    """The whole wrapped kernel added at every step."""

    def __init__(self, size: int, kernel: npt.NDArray[np.float64]) -> None:
        self.size = size
        self.kernel = kernel
        # Shifting the kernel to cell (y, x) is a window into the doubled tile:
        # tiled[size - y : 2*size - y, size - x : 2*size - x][i, j] == kernel[i - y, j - x].
        self.tiled = np.tile(kernel, (2, 2))

    def energy(self, pattern: npt.NDArray[np.bool_]) -> npt.NDArray[np.float64]:
        return np.fft.ifft2(np.fft.fft2(pattern) * np.fft.fft2(self.kernel)).real

    def splat(self, array: npt.NDArray[np.float64], y: int, x: int, sign: float) -> None:
        size = self.size
        window = self.tiled[size - y : 2 * size - y, size - x : 2 * size - x]
        if sign > 0:
            array += window
        else:
            array -= window


class _LocalField(_Field):
    """The kernel cut off at `reach` cells; the extremum of each row is kept,
    so a step touches only the rows within reach."""

    def __init__(self, size: int, sigma: float, reach: int) -> None:
        self.size = size
        offsets = np.arange(-reach, reach + 1, dtype=np.float64)
        line = np.exp(-(offsets**2) / (2.0 * sigma**2))
        self.window = np.outer(line, line)
        self.window /= self.window.sum()
        self.reach = reach
        # For each centre, the (destination, source) pieces of a window that
        # wraps around the edge: one piece, or two where it crosses the edge.
        width = 2 * reach + 1
        self.pieces: list[list[tuple[slice, slice]]] = []
        for centre in range(size):
            low, high = centre - reach, centre + reach + 1
            if low < 0:
                parts = [
                    (slice(low + size, size), slice(0, -low)),
                    (slice(0, high), slice(-low, width)),
                ]
            elif high > size:
                parts = [
                    (slice(low, size), slice(0, size - low)),
                    (slice(0, high - size), slice(size - low, width)),
                ]
            else:
                parts = [(slice(low, high), slice(0, width))]
            self.pieces.append(parts)

    def energy(self, pattern: npt.NDArray[np.bool_]) -> npt.NDArray[np.float64]:
        kernel = np.zeros((self.size, self.size))
        reach = self.reach
        for dy in range(-reach, reach + 1):
            kernel[dy % self.size, np.arange(-reach, reach + 1) % self.size] = self.window[
                dy + reach
            ]
        return np.fft.ifft2(np.fft.fft2(pattern) * np.fft.fft2(kernel)).real

    def splat(self, array: npt.NDArray[np.float64], y: int, x: int, sign: float) -> None:
        window = self.window
        for rows, wy in self.pieces[y]:
            for cols, wx in self.pieces[x]:
                if sign > 0:
                    array[rows, cols] += window[wy, wx]
                else:
                    array[rows, cols] -= window[wy, wx]

    def rows(self, y: int) -> list[slice]:
        return [rows for rows, _ in self.pieces[y]]

    def argmax(self, array: npt.NDArray[np.float64], rows: npt.NDArray[np.float64]) -> int:
        y = int(np.argmax(rows))
        return y * self.size + int(np.argmax(array[y]))

    def argmin(self, array: npt.NDArray[np.float64], rows: npt.NDArray[np.float64]) -> int:
        y = int(np.argmin(rows))
        return y * self.size + int(np.argmin(array[y]))


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

    Each step finds the tightest cluster or largest void by keeping the
    energies of the cells that are on and of those that are off apart, with
    the other kind masked by an infinity, so no step builds a new array.
    Up to size 128 every step adds the whole wrapped Gaussian; above, the
    Gaussian ends at 6 sigma and only the rows it reaches are searched again
    (size 256 then takes about a second instead of a minute).

    Raises:
        TypeError: `size` is not an int.
        ValueError: `size` out of 4 .. 256, or `sigma` out of 0.5 .. size / 4.

    Examples:
        >>> ranks = blue_noise_ranks(8)
        >>> ranks.shape, sorted(ranks.ravel().tolist()) == list(range(64))
        ((8, 8), True)
        >>> bool((blue_noise_ranks(8, seed=1) != ranks).any())
        True
    """
    if isinstance(size, bool) or not isinstance(size, (int, np.integer)):
        raise TypeError(f"size must be an int, got {type(size).__name__}")
    size = int(size)
    if not 4 <= size <= 256:
        raise ValueError(f"size must be between 4 and 256, got {size}")
    if not 0.5 <= sigma <= size / 4:
        raise ValueError(f"sigma must be between 0.5 and size / 4, got {sigma}")
    n = size * size
    # Initial binary pattern: the first tenth of the cells in hash order.
    ones = max(1, n // 10)
    pattern = np.zeros((size, size), dtype=bool)
    pattern.flat[np.argsort(_hash(n, seed), kind="stable")[:ones]] = True
    reach = int(np.ceil(_REACH * sigma))
    if size <= _EXACT_UP_TO or 4 * reach + 2 > size:
        field: _Field = _TorusField(size, _periodic_gaussian(size, sigma))
    else:
        field = _LocalField(size, sigma, reach)
    energy = field.energy(pattern)
    # on: the energy at the cells that are on, -inf elsewhere (where the
    # tightest cluster is looked for); off: the energy at the cells that
    # are off, +inf elsewhere (the largest void).
    on = np.where(pattern, energy, -np.inf)
    off = np.where(pattern, np.inf, energy)
    on_rows, off_rows = on.max(axis=1), off.min(axis=1)

    def turn(cell: int, sign: float, arrays: tuple[npt.NDArray[np.float64], ...]) -> None:
        y, x = divmod(cell, size)
        for array in arrays:
            field.splat(array, y, x, sign)

    def refresh(cell: int) -> None:
        rows = field.rows(cell // size)
        for part in rows:
            on_rows[part] = on[part].max(axis=1)
            off_rows[part] = off[part].min(axis=1)

    # Relax it into the prototype: move the tightest cluster to the largest
    # void until the move would put it back where it was.
    for _ in range(4 * n):
        cluster = field.argmax(on, on_rows)
        turn(cluster, -1.0, (energy, on, off))
        on.flat[cluster], off.flat[cluster] = -np.inf, energy.flat[cluster]
        refresh(cluster)
        void = field.argmin(off, off_rows)
        turn(void, +1.0, (energy, on, off))
        on.flat[void], off.flat[void] = energy.flat[void], np.inf
        refresh(void)
        if void == cluster:
            break

    ranks = np.empty(n, dtype=np.int64)
    # Below the prototype: strip its tightest clusters, highest rank first.
    for rank in range(ones - 1, -1, -1):
        cluster = field.argmax(on, on_rows)
        turn(cluster, -1.0, (on,))
        on.flat[cluster] = -np.inf
        for part in field.rows(cluster // size):
            on_rows[part] = on[part].max(axis=1)
        ranks[cluster] = rank
    # Above it: fill the largest voids. Past half full this is the same as
    # taking the tightest cluster of the empty cells, since the filter is linear.
    for rank in range(ones, n):
        void = field.argmin(off, off_rows)
        turn(void, +1.0, (off,))
        off.flat[void] = np.inf
        for part in field.rows(void // size):
            off_rows[part] = off[part].min(axis=1)
        ranks[void] = rank
    return ranks.reshape(size, size)


def blue_noise_matrix(
    size: int = 64, *, sigma: float = 1.5, seed: int = 0
) -> npt.NDArray[np.float64]:
    """A blue-noise threshold matrix for `tonalis.ordered_dither`.

    Sizes 16, 32 and 64 are the usual ones; 64 takes a fraction of a second
    to make, 256 about a second.

    Args:
        size: side of the square matrix, 4 to 256.
        sigma: as for `blue_noise_ranks`.
        seed: as for `blue_noise_ranks`.

    Returns:
        A float64 size x size array of thresholds (rank + 0.5) / size**2,
        each used exactly once, in (0, 1).

    Raises:
        TypeError: `size` is not an int.
        ValueError: `size` or `sigma` out of range.

    Examples:
        >>> import numpy as np
        >>> import tonalis
        >>> matrix = blue_noise_matrix(8)
        >>> matrix.shape, float(matrix.min()), float(matrix.max())
        ((8, 8), 0.0078125, 0.9921875)
        >>> quarter = tonalis.ordered_dither(np.full((8, 8), 64, np.uint8), matrix)
        >>> int((quarter == 255).sum())     # a quarter of the cells light
        16
    """
    ranks = blue_noise_ranks(size, sigma=sigma, seed=seed)
    return np.asarray((ranks + 0.5) / ranks.size, dtype=np.float64)
