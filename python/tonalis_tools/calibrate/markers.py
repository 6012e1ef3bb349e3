"""Finding a chart's corner markers in a photograph, and the perspective
transform from the chart to the photograph that they give.

The photograph is turned gray and, when large, reduced by whole blocks to at
most MAX_WORKING_SIDE pixels a side. A pixel is dark when it is darker than
the mean of the area around it (a window a third of the photograph's
shorter side, so that light falling off across the chart does not matter)
by a tenth of the photograph's contrast. Every row and every column is then
cut into runs of dark and light, and five runs dark, light, dark, light,
dark in the proportions 1:1:3:1:1 are a line through a marker's centre
(measured from edge to edge of a kind, which a threshold a little too
light or too dark does not move).
Crossings of rows and of columns that meet are one marker.

The arithmetic up to the runs is in integers, and the transform is solved
in Python's doubles, so the markers and the transform are the same on
every machine.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

__all__ = ["Marker", "find_markers", "homography", "project"]

#: The longest side the markers are looked for at; larger photographs are
#: reduced by whole blocks first.
MAX_WORKING_SIDE = 1600
# How far, in modules, the distance between two edges of a kind may be
# off.
_TOLERANCE = 0.6
# The smallest module, in working pixels, that is still told from noise.
_MIN_MODULE = 1.5
# The most line crossings looked at: a photograph with more is all texture.
_MAX_HITS = 50000


@dataclass(frozen=True)
class Marker:
    """A marker found in a photograph.

    Args:
        x: its centre across, in the photograph's pixels (pixel column j
            covers [j, j + 1)).
        y: its centre down.
        module: its module (a seventh of its side) in the photograph's pixels.
        hits: the rows and columns of the working image that crossed its
            centre: more for larger, sharper markers.

    Examples:
        >>> Marker(10.5, 20.0, 4.0, 24).module
        4.0
    """

    x: float
    y: float
    module: float
    hits: int


def _working_gray(rgb: npt.NDArray[np.uint8]) -> tuple[npt.NDArray[np.int64], int]:
    """The photograph as integer gray (2 R + 5 G + B, summed over blocks of
    factor x factor pixels), and the factor."""
    height, width = rgb.shape[:2]
    factor = max(1, -(-max(height, width) // MAX_WORKING_SIDE))
    rows, columns = height // factor, width // factor
    # 2 R + 5 G + B is at most 2040, and a block of a photograph reduced to
    # 1600 pixels a side is far fewer than 2^31 / 2040 pixels: int32 holds
    # the sums without holding several copies of a large photograph in int64.
    crop = rgb[: rows * factor, : columns * factor]
    gray = crop[..., 0].astype(np.int32) * 2
    gray += crop[..., 1].astype(np.int32) * 5
    gray += crop[..., 2]
    if factor > 1:
        gray = gray.reshape(rows, factor, columns, factor).sum(axis=(1, 3), dtype=np.int32)
    return gray.astype(np.int64), factor


def _dark(gray: npt.NDArray[np.int64]) -> npt.NDArray[np.bool_]:
    """Pixels darker than their surroundings' mean by a tenth of the contrast."""
    height, width = gray.shape
    radius = max(7, min(height, width) // 6)
    table = np.zeros((height + 1, width + 1), dtype=np.int64)
    table[1:, 1:] = gray.cumsum(axis=0).cumsum(axis=1)
    y0 = np.clip(np.arange(height) - radius, 0, height)
    y1 = np.clip(np.arange(height) + radius + 1, 0, height)
    x0 = np.clip(np.arange(width) - radius, 0, width)
    x1 = np.clip(np.arange(width) + radius + 1, 0, width)
    sums = table[y1][:, x1] - table[y0][:, x1] - table[y1][:, x0] + table[y0][:, x0]
    counts = (y1 - y0)[:, None] * (x1 - x0)[None, :]
    low, high = np.percentile(gray, [2, 98], method="lower")
    margin = (int(high) - int(low)) // 10
    return np.asarray(gray * counts < sums - margin * counts, dtype=np.bool_)


def _crossings(
    dark: npt.NDArray[np.bool_],
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """Every line of `dark` (its rows) that crosses a marker's centre: the
    line, where along it the centre is, and the module there."""
    lines, length = dark.shape
    change = np.ones((lines, length), dtype=np.bool_)
    change[:, 1:] = dark[:, 1:] != dark[:, :-1]
    starts = np.flatnonzero(change)
    if starts.size < 5:
        empty = np.zeros(0)
        return np.zeros(0, dtype=np.int64), empty, empty
    runs = np.diff(np.append(starts, lines * length))
    line = starts // length
    ink = dark.ravel()[starts]
    a, b, c, d, e = (runs[k : runs.size - 4 + k] for k in range(5))
    total = a + b + c + d + e
    # A threshold a little off makes the dark runs wider and the light ones
    # narrower, or the other way round, but leaves the distance from one
    # edge to the next edge of the same kind as it is: those are checked
    # against 2, 4, 4 and 2 modules (module = total / 7), in integers.
    slack = round(_TOLERANCE * 10)
    spans = [
        np.abs(70 * (r + s) - 10 * k * total) <= slack * total
        for r, s, k in ((a, b, 2), (b, c, 4), (c, d, 4), (d, e, 2))
    ]
    found = (
        (line[:-4] == line[4:])
        & ink[:-4]
        & spans[0]
        & spans[1]
        & spans[2]
        & spans[3]
        & (c > np.maximum(np.maximum(a, b), np.maximum(d, e)))
        & (total >= 7 * _MIN_MODULE)
    )
    where = (starts[2:-2] % length)[found] + c[found] / 2
    return line[:-4][found], where.astype(np.float64), total[found] / 7.0


def find_markers(photo: npt.NDArray[np.uint8]) -> list[Marker]:
    """The chart markers in a photograph, most clearly seen first.

    Anything of the same pattern (a dark square ring, a light ring, a dark
    centre) is found too: the caller picks the four that frame a chart.

    Args:
        photo: an H x W x 3 uint8 array.

    Returns:
        The markers found, by `Marker.hits` from the most.

    Raises:
        ValueError: the photograph is all texture (more line crossings than
            any chart gives).

    Examples:
        >>> from tonalis_tools.calibrate import chart
        >>> found = find_markers(chart(["#000", "#fff"]).rgb())
        >>> sorted((m.x, m.y) for m in found)
        [(36.0, 36.0), (36.0, 444.0), (764.0, 36.0), (764.0, 444.0)]
    """
    gray, factor = _working_gray(photo)
    dark = _dark(gray)
    row, across, row_module = _crossings(dark)
    column, down, column_module = _crossings(np.ascontiguousarray(dark.T))
    xs = np.concatenate([across, column + 0.5])
    ys = np.concatenate([row + 0.5, down])
    modules = np.concatenate([row_module, column_module])
    is_row = np.concatenate([np.ones(row.size, np.bool_), np.zeros(column.size, np.bool_)])
    if xs.size > _MAX_HITS:
        raise ValueError(
            f"the photograph is too busy to find markers in ({xs.size} candidate lines); "
            "frame the chart more closely"
        )
    return [
        Marker(x * factor, y * factor, module * factor, hits)
        for x, y, module, hits in _clusters(xs, ys, modules, is_row)
    ]


def _clusters(
    xs: npt.NDArray[np.float64],
    ys: npt.NDArray[np.float64],
    modules: npt.NDArray[np.float64],
    is_row: npt.NDArray[np.bool_],
) -> list[tuple[float, float, float, int]]:
    """Crossings grouped by place: (x, y, module, count) of every group
    crossed by at least two rows and two columns, most crossings first."""
    groups: list[list[int]] = []
    centres: list[tuple[float, float, float]] = []
    order = np.lexsort((xs, ys))
    for i in order.tolist():
        x, y, m = float(xs[i]), float(ys[i]), float(modules[i])
        for k in range(len(groups) - 1, -1, -1):
            cx, cy, cm = centres[k]
            if abs(x - cx) <= 2 * cm and abs(y - cy) <= 2 * cm and 0.5 <= m / cm <= 2:
                groups[k].append(i)
                n = len(groups[k])
                centres[k] = (cx + (x - cx) / n, cy + (y - cy) / n, cm + (m - cm) / n)
                break
        else:
            groups.append([i])
            centres.append((x, y, m))
    found = []
    for members in groups:
        rows = sum(bool(is_row[i]) for i in members)
        if rows < 2 or len(members) - rows < 2:
            continue
        x = math.fsum(float(xs[i]) for i in members) / len(members)
        y = math.fsum(float(ys[i]) for i in members) / len(members)
        module = sorted(float(modules[i]) for i in members)[len(members) // 2]
        found.append((x, y, module, len(members)))
    found.sort(key=lambda f: (-f[3], f[1], f[0]))
    return found


def _solve(matrix: list[list[float]], values: list[float]) -> list[float]:
    """`matrix` x = `values` by Gaussian elimination with partial pivoting."""
    n = len(values)
    rows = [list(r) + [v] for r, v in zip(matrix, values)]
    for col in range(n):
        pivot = max(range(col, n), key=lambda r: abs(rows[r][col]))
        if abs(rows[pivot][col]) < 1e-12:
            raise ValueError("the points are degenerate: three of them lie on a line")
        rows[col], rows[pivot] = rows[pivot], rows[col]
        for r in range(col + 1, n):
            f = rows[r][col] / rows[col][col]
            if f:
                rows[r] = [a - f * b for a, b in zip(rows[r], rows[col])]
    x = [0.0] * n
    for r in range(n - 1, -1, -1):
        x[r] = (rows[r][n] - sum(rows[r][k] * x[k] for k in range(r + 1, n))) / rows[r][r]
    return x


def homography(
    source: Sequence[tuple[float, float]], target: Sequence[tuple[float, float]]
) -> tuple[float, ...]:
    """The perspective transform taking four points to four others.

    Args:
        source: four (x, y) points, no three on a line.
        target: the four points they go to.

    Returns:
        The 3 x 3 matrix, row by row, its last entry 1.

    Raises:
        ValueError: not four points each, or three of them on a line.

    Examples:
        >>> square = [(0, 0), (1, 0), (1, 1), (0, 1)]
        >>> h = homography(square, [(10, 10), (30, 10), (30, 20), (10, 20)])
        >>> [round(v, 9) for v in h]
        [20.0, 0.0, 10.0, 0.0, 10.0, 10.0, 0.0, 0.0, 1.0]
    """
    if len(source) != 4 or len(target) != 4:
        raise ValueError(f"a homography takes 4 points to 4, got {len(source)} and {len(target)}")
    # Each pair gives two rows of the 8 x 8 system in h11 .. h32 (h33 = 1).
    matrix: list[list[float]] = []
    values: list[float] = []
    for (x, y), (u, v) in zip(source, target):
        x, y, u, v = float(x), float(y), float(u), float(v)
        matrix.append([x, y, 1.0, 0.0, 0.0, 0.0, -u * x, -u * y])
        values.append(u)
        matrix.append([0.0, 0.0, 0.0, x, y, 1.0, -v * x, -v * y])
        values.append(v)
    return (*_solve(matrix, values), 1.0)


def project(
    h: Sequence[float], x: npt.ArrayLike, y: npt.ArrayLike
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """Points taken through a homography.

    Args:
        h: the 3 x 3 matrix, row by row (as `homography` gives it).
        x: the points' x, any shape.
        y: their y, the same shape.

    Returns:
        (x, y) of the points it takes them to.

    Examples:
        >>> h = homography([(0, 0), (1, 0), (1, 1), (0, 1)], [(0, 0), (2, 0), (2, 2), (0, 2)])
        >>> [v.tolist() for v in project(h, [0.5], [0.25])]
        [[1.0], [0.5]]
    """
    px = np.asarray(x, dtype=np.float64)
    py = np.asarray(y, dtype=np.float64)
    w = h[6] * px + h[7] * py + h[8]
    return (h[0] * px + h[1] * py + h[2]) / w, (h[3] * px + h[4] * py + h[5]) / w
