"""Clustered-dot halftone screens as threshold matrices for ordered dither.

A halftone screen groups the pixels that turn dark into dots (or lines) on a
regular grid, the way a printing press or a laser printer does; the dots grow
with the darkness of the image. The grid has a period (`cell`, in pixels)
and an angle. Any angle is made exact enough with a rational tangent: the
screen vectors are u = (a, b) and v = (-b, a) for integers a, b (x right, y
down), so the period is hypot(a, b) and the angle atan2(-b, a). Such a lattice repeats
along both image axes every (a² + b²) / gcd(a, b) pixels, and the threshold
matrix is that square super-cell: tiled by `tonalis.ordered_dither`, it joins
without seams.

Within each screen cell a spot function says which pixels darken first. It
is evaluated in exact integer arithmetic on the pixel centres, so equal
positions in different cells get equal values and ties are broken by a fixed
rule, not by rounding noise.
"""

from __future__ import annotations

import math
from typing import Literal

import numpy as np
import numpy.typing as npt

from ..names import normalize_name
from ..tone import dot_gain_curve

__all__ = [
    "SCREENS",
    "SHAPES",
    "halftone_matrix",
    "screen",
    "screen_geometry",
    "screen_names",
    "spot_values",
]

Shape = Literal["round", "ellipse", "line", "square"]

#: The dot shapes `halftone_matrix` draws.
SHAPES: tuple[str, ...] = ("round", "ellipse", "line", "square")


def screen_geometry(cell: float, angle: float) -> tuple[int, int, int]:
    """The integer screen vector (a, b) nearest to `cell` at `angle` degrees,
    and the side of the square super-cell it tiles with.

    The screen's real period is hypot(a, b) and its real angle atan2(-b, a)
    (y runs down the image);
    both are as close to the request as whole pixels allow.

    Raises:
        TypeError: `cell` or `angle` is not a number.
        ValueError: `cell` is below 2 or above 32, or not finite; `angle` not finite.
            (At most 32 keeps the super-cell below 1100 pixels a side.)

    Args:
        cell: the screen period in pixels, 2 to 32.
        angle: the screen angle in degrees, counter-clockwise.

    Returns:
        (a, b, side): the screen vector in whole pixels and the side of the
        super-cell, (a² + b²) / gcd(a, b).

    Examples:
        >>> screen_geometry(8, 45)
        (6, -6, 12)
        >>> screen_geometry(8, 0)
        (8, 0, 8)
    """
    cell = _number("cell", cell)
    angle = _number("angle", angle)
    if not 2.0 <= cell <= 32.0:
        raise ValueError(f"cell must be between 2 and 32 pixels, got {cell:g}")
    radians = math.radians(angle)
    # Rows run down the image, so a counter-clockwise angle has a negative y step.
    a = round(cell * math.cos(radians))
    b = -round(cell * math.sin(radians))
    return a, b, (a * a + b * b) // math.gcd(a, b)


def _number(name: str, value: object) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name} must be a number, got {type(value).__name__}")
    result = float(value)
    if not math.isfinite(result):
        raise ValueError(f"{name} must be finite, got {result}")
    return result


def _cell_coordinates(
    a: int, b: int, xs: npt.NDArray[np.int64], ys: npt.NDArray[np.int64]
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.int64]]:
    """Position of pixel centres inside their screen cell, exactly.

    Returns (X, Y, n): X / n and Y / n lie in [-1, 1), with (0, 0) at the dot
    centre, X along u and Y along v. Twice the pixel centre is (2x+1, 2y+1),
    so its projections on u and v are whole multiples of 1 / (2n).
    """
    n = a * a + b * b
    s = (2 * xs + 1) * a + (2 * ys + 1) * b
    t = (2 * ys + 1) * a - (2 * xs + 1) * b
    return np.mod(s, 2 * n) - n, np.mod(t, 2 * n) - n, np.asarray(n, dtype=np.int64)


def _spot(
    shape: str, x: npt.NDArray[np.int64], y: npt.NDArray[np.int64], n: int
) -> npt.NDArray[np.int64]:
    """Integer spot values: the higher, the earlier the pixel darkens."""
    ax, ay = np.abs(x), np.abs(y)
    if shape == "round":
        # Round dots in the highlights, round holes in the shadows, the two
        # joining in a checkerboard at half coverage.
        inside = ax + ay <= n
        return np.where(inside, n * n - x * x - y * y, (ax - n) ** 2 + (ay - n) ** 2 - n * n)
    if shape == "ellipse":
        # Stretched along u (3:4), so neighbouring dots touch along one axis
        # first and form chains before the checkerboard closes.
        return -(9 * x * x + 16 * y * y)
    if shape == "line":
        return -ay
    if shape == "square":
        return -np.maximum(ax, ay)
    raise ValueError(f"unknown dot shape {shape!r}; valid values: {', '.join(SHAPES)}")


def spot_values(
    cell: float, angle: float, shape: Shape, width: int, height: int, *, x0: int = 0, y0: int = 0
) -> npt.NDArray[np.int64]:
    """The spot function of a screen over an image region (rows y0.., columns x0..).

    Higher values darken first. This is what `halftone_matrix` ranks; it is
    defined on the whole plane, so it shows where the screen's dots fall in
    an image of any size.

    Args:
        cell, angle: the screen, as for `screen_geometry`.
        shape: the dot shape, one of `SHAPES`.
        width, height: the size of the region.
        x0, y0: the region's first column and row.

    Returns:
        An int64 array, height x width.

    Raises:
        TypeError, ValueError: as for `screen_geometry`, or an unknown shape.

    Examples:
        >>> spot_values(4, 0, "line", 4, 2)      # lines along the rows
        array([[-12, -12, -12, -12],
               [ -4,  -4,  -4,  -4]])
    """
    a, b, _ = screen_geometry(cell, angle)
    ys, xs = np.mgrid[y0 : y0 + height, x0 : x0 + width].astype(np.int64)
    x, y, n = _cell_coordinates(a, b, xs, ys)
    return _spot(_shape(shape), x, y, int(n))


def _shape(shape: object) -> str:
    if not isinstance(shape, str):
        raise TypeError(f"shape must be a str, got {type(shape).__name__}")
    key = shape.strip().lower()
    if key not in SHAPES:
        raise ValueError(f"unknown dot shape {shape!r}; valid values: {', '.join(SHAPES)}")
    return key


def halftone_matrix(
    cell: float = 8.0, angle: float = 45.0, shape: Shape = "round", dot_gain: float = 0.0
) -> npt.NDArray[np.float64]:
    """A clustered-dot threshold matrix for `tonalis.ordered_dither`.

    Args:
        cell: screen period in pixels (distance between dot centres), 2 to 32;
            rounded so that the screen vector has whole-pixel components.
        angle: screen angle in degrees, counter-clockwise as seen on the
            image; 0, 15, 45 and 75 are the classic ones. Dots of line
            screens run along this direction.
        shape: 'round', 'ellipse', 'line' or 'square'.
        dot_gain: how much a printer darkens a half-covered area, as a
            fraction (0.15 means a 50 % dot prints like 65 %); the
            thresholds are bent so that the printed tones come out right.
            0 to 0.25; 0 leaves them linear.

    Returns:
        A float64 square matrix of side (a² + b²) / gcd(a, b) (see
        `screen_geometry`) with thresholds in (0, 1). Without dot gain they
        are (rank + 0.5) / count, each used once, lowest at the dot centres.

    Raises:
        TypeError: a setting of the wrong type.
        ValueError: `cell` out of 2 .. 32, an unknown shape, or `dot_gain`
            out of 0 .. 0.25.

    Examples:
        >>> import numpy as np
        >>> import tonalis
        >>> matrix = halftone_matrix(8, 45)
        >>> matrix.shape
        (12, 12)
        >>> gray = np.full((24, 24), 128, dtype=np.uint8)
        >>> dots = tonalis.ordered_dither(gray, matrix)
        >>> halftone_matrix(4, 0, "line")
        array([[0.53125, 0.59375, 0.65625, 0.71875],
               [0.03125, 0.09375, 0.15625, 0.21875],
               [0.46875, 0.40625, 0.34375, 0.28125],
               [0.96875, 0.90625, 0.84375, 0.78125]])
    """
    a, b, side = screen_geometry(cell, angle)
    shape_key = _shape(shape)
    gain = _number("dot_gain", dot_gain)
    if not 0.0 <= gain <= 0.25:
        raise ValueError(f"dot_gain must be between 0 and 0.25, got {gain:g}")
    ys, xs = np.mgrid[0:side, 0:side].astype(np.int64)
    x, y, n = _cell_coordinates(a, b, xs, ys)
    spot = _spot(shape_key, x, y, int(n)).ravel()
    # Ties (the same spot in several cells, or symmetric positions in one)
    # go by angle around the dot centre, then raster order: fixed, and
    # spreads the growth of equal dots evenly over the cells.
    around = np.arctan2(y, x).ravel()
    order = np.lexsort((np.arange(spot.size), around, -spot))
    ranks = np.empty(spot.size, dtype=np.int64)
    ranks[order] = np.arange(spot.size)
    thresholds = (ranks + 0.5) / spot.size
    if gain:
        thresholds = dot_gain_curve(thresholds, gain)
    return np.asarray(thresholds.reshape(side, side), dtype=np.float64)


#: Named screens: name -> (description, cell, angle, shape).
SCREENS: dict[str, tuple[str, float, float, Shape]] = {
    "halftone0": ("round dots, 8-pixel cell, 0 degrees", 8.0, 0.0, "round"),
    "halftone15": ("round dots, 8-pixel cell, 15 degrees", 8.0, 15.0, "round"),
    "halftone45": ("round dots, 8-pixel cell, 45 degrees", 8.0, 45.0, "round"),
    "halftone75": ("round dots, 8-pixel cell, 75 degrees", 8.0, 75.0, "round"),
    "halftone45fine": ("round dots, 5-pixel cell, 45 degrees", 5.0, 45.0, "round"),
    "ellipse45": ("elliptical dots, 8-pixel cell, 45 degrees", 8.0, 45.0, "ellipse"),
    "square45": ("square dots, 8-pixel cell, 45 degrees", 8.0, 45.0, "square"),
    "line0": ("horizontal lines, 6-pixel period", 6.0, 0.0, "line"),
    "line45": ("diagonal lines, 6-pixel period, 45 degrees", 6.0, 45.0, "line"),
    "line90": ("vertical lines, 6-pixel period", 6.0, 90.0, "line"),
}

_SCREEN_LOOKUP = {normalize_name(name): name for name in SCREENS} | {
    "halftone": "halftone45",
    "line": "line0",
}


def screen_names() -> list[str]:
    """The names of the ready-made screens, in a fixed order.

    Returns:
        A new list of the names of `SCREENS`.

    Examples:
        >>> screen_names()[:4]
        ['halftone0', 'halftone15', 'halftone45', 'halftone75']
    """
    return list(SCREENS)


def screen(name: str) -> npt.NDArray[np.float64] | None:
    """The threshold matrix of a named screen ('halftone45', 'line0', ...),
    or None when no screen has that name (case, '-', '_' and spaces do not
    matter), so a caller can try other kinds of matrix names next.

    Args:
        name: a name of `screen_names`, or 'halftone' (45 degrees) or
            'line' (0 degrees).

    Returns:
        The screen's float64 threshold matrix (see `halftone_matrix`), or None.

    Raises:
        TypeError: `name` is not a str.

    Examples:
        >>> screen("Halftone 45").shape
        (12, 12)
        >>> screen("bayer8x8") is None
        True
    """
    if not isinstance(name, str):
        raise TypeError(f"screen name must be a str, got {type(name).__name__}")
    canonical = _SCREEN_LOOKUP.get(normalize_name(name))
    if canonical is None:
        return None
    _, cell, angle, shape = SCREENS[canonical]
    return halftone_matrix(cell, angle, shape)
