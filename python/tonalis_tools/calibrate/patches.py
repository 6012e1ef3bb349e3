"""The patch chart a panel shows to be photographed: its colours, each in
several places, and a marker in every corner.

The chart is drawn in the panel's own colours only, so that it can be sent
to the panel as it is. The lightest colour is the paper between the patches
and the white reference, the darkest the black reference and the ink of the
markers. Each marker is a finder square (7 x 7 modules: a dark ring, a
light ring, a dark 3 x 3 centre) on a light border one module wide: along
any line through its centre it reads dark, light, dark, light, dark in the
proportions 1:1:3:1:1, which survives perspective, blur and a few degrees of
rotation, and which the patches, all of one size, never show.

The patches fill a grid between the markers. Every colour gets the same
number of patches, and the cells left over go to the white and the black
references; the cells are dealt in an order that spreads each colour's
patches over the whole chart (so that uneven lighting averages out) and
that no half-turn or quarter-turn of the chart maps onto itself, so that the
photograph's orientation can be read from the patches.
"""

from __future__ import annotations

import functools
import os
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np
import numpy.typing as npt

from ..palettes.presets import palette_colours

if TYPE_CHECKING:
    from PIL import Image

__all__ = ["DEFAULT_SIZE", "Chart", "Patch", "chart", "parse_size"]

#: The chart's size in pixels when none is given: 800 x 480, the resolution
#: of the common 7.3-inch colour panels.
DEFAULT_SIZE: tuple[int, int] = (800, 480)

#: Side of a marker's finder square, in modules.
MARKER_MODULES = 7
#: The smallest chart side, and the most colours a chart holds.
MIN_SIDE = 48
MAX_COLOURS = 64
#: The fewest patches of each colour, and of all colours.
MIN_REPEATS = 4
MIN_CELLS = 40
#: The smallest patch side in chart pixels.
MIN_PATCH = 6
# Shuffles tried when dealing the cells; the best one is kept.
_DEALS = 200


@dataclass(frozen=True)
class Patch:
    """One patch of a chart.

    Args:
        colour: its colour, an index into `Chart.colours`.
        box: its area in chart pixels, (left, top, right, bottom), right and
            bottom excluded.

    Examples:
        >>> Patch(2, (10, 10, 40, 30)).centre
        (25.0, 20.0)
    """

    colour: int
    box: tuple[int, int, int, int]

    @property
    def centre(self) -> tuple[float, float]:
        """The middle of the patch, (x, y) in chart pixels."""
        left, top, right, bottom = self.box
        return (left + right) / 2, (top + bottom) / 2


@dataclass(frozen=True)
class Chart:
    """A calibration chart: its pixels as palette indices and its layout.

    Coordinates are continuous chart pixels: pixel (row i, column j) covers
    x in [j, j + 1) and y in [i, i + 1).

    Args:
        colours: the palette, '#rrggbb' strings; index i is colour i.
        indices: the chart, an H x W uint8 array of indices into `colours`.
        patches: every patch, in the order of the grid's rows.
        markers: the centres of the four markers, (x, y): top left, top
            right, bottom right, bottom left.
        white: the index of the lightest colour, the white reference.
        black: the index of the darkest colour, the black reference.
        module: the side of a marker's module in pixels.

    Examples:
        >>> c = chart(["#000", "#fff", "#f00"])
        >>> c.size, len(c.patches), c.white, c.black
        ((800, 480), 48, 1, 0)
        >>> c.markers[0]
        (36.0, 36.0)
    """

    colours: tuple[str, ...]
    indices: npt.NDArray[np.uint8]
    patches: tuple[Patch, ...]
    markers: tuple[tuple[float, float], ...]
    white: int
    black: int
    module: int

    @property
    def size(self) -> tuple[int, int]:
        """(width, height) in pixels."""
        return int(self.indices.shape[1]), int(self.indices.shape[0])

    def rgb(self) -> npt.NDArray[np.uint8]:
        """The chart as an H x W x 3 uint8 array of its colours."""
        table = np.array(
            [[int(c[i : i + 2], 16) for i in (1, 3, 5)] for c in self.colours], dtype=np.uint8
        )
        return np.asarray(table[self.indices], dtype=np.uint8)

    def image(self) -> Image.Image:
        """The chart as a palette ('P') PIL image whose palette is `colours`
        in order, so that each pixel's index is the panel's colour index.
        Needs Pillow."""
        from PIL import Image

        picture = Image.fromarray(self.indices, "P")
        flat = [int(c[i : i + 2], 16) for c in self.colours for i in (1, 3, 5)]
        picture.putpalette(flat, "RGB")
        return picture

    def save(self, path: str | os.PathLike[str]) -> None:
        """Write the chart as an indexed PNG of its colours (see `image`),
        through a temporary file that is renamed once complete."""
        import io

        from ..io.imagefile import save_bytes

        buffer = io.BytesIO()
        self.image().save(buffer, format="PNG", optimize=True)
        save_bytes(buffer.getvalue(), path)


def parse_size(text: str) -> tuple[int, int]:
    """'800x480' -> (800, 480): a chart's width and height.

    Args:
        text: 'WxH' ('x' or 'X', spaces allowed).

    Returns:
        (width, height).

    Raises:
        ValueError: the text is not two whole numbers, or a side is below
            the smallest a chart can have.

    Examples:
        >>> parse_size("600 x 448")
        (600, 448)
        >>> parse_size("600")
        Traceback (most recent call last):
        ...
        ValueError: expected a size WxH such as '800x480', got '600'
    """
    fields = text.lower().replace(" ", "").split("x")
    if len(fields) != 2 or not all(f.isdigit() for f in fields):
        raise ValueError(f"expected a size WxH such as '800x480', got {text!r}")
    width, height = int(fields[0]), int(fields[1])
    _check_size(width, height)
    return width, height


def _check_size(width: int, height: int) -> None:
    if min(width, height) < MIN_SIDE or max(width, height) > 16384:
        raise ValueError(f"a chart is {MIN_SIDE} to 16384 pixels a side, got {width} x {height}")


def _luma(colour: str) -> int:
    r, g, b = (int(colour[i : i + 2], 16) for i in (1, 3, 5))
    return 2 * r + 5 * g + b


class _Deal:
    """A fixed stream of pseudo-random numbers (a 32-bit linear congruential
    generator): the same cells on every machine and every version of Python."""

    def __init__(self, seed: int) -> None:
        self.state = seed & 0xFFFFFFFF

    def below(self, n: int) -> int:
        self.state = (1664525 * self.state + 1013904223) & 0xFFFFFFFF
        return (self.state >> 8) * n >> 24


def _turns(rows: int, columns: int) -> list[npt.NDArray[np.intp]]:
    """For each way a wrong corner order turns the grid (a half turn, and
    the quarter turns when the grid is square), the cell each cell lands on."""
    cells = np.arange(rows * columns).reshape(rows, columns)
    found = [cells[::-1, ::-1].ravel()]
    if rows == columns:
        found += [np.rot90(cells, 1).ravel(), np.rot90(cells, -1).ravel()]
    return found


def _purity(labels: npt.NDArray[np.intp], turned: npt.NDArray[np.intp], n: int) -> int:
    """How well a turned chart's patches would still sort by colour: the
    number of cells whose colour the turned cell's colour predicts best."""
    pairs = np.zeros((n, n), dtype=np.int64)
    np.add.at(pairs, (labels, labels[turned]), 1)
    return int(pairs.max(axis=1).sum())


@functools.cache
def _deal(rows: int, columns: int, n: int, white: int, black: int) -> tuple[int, ...]:
    """The colour of every cell of a rows x columns grid, row by row."""
    total = rows * columns
    repeats = total // n
    base = [colour for colour in range(n) for _ in range(repeats)]
    base += [(white, black)[k % 2] for k in range(total - len(base))]
    y, x = np.divmod(np.arange(total), columns)
    dy = y[:, None] - y[None, :]
    dx = x[:, None] - x[None, :]
    # Repulsion between patches of one colour: near ones cost most. In
    # integers, so that every machine keeps the same deal.
    weight = (1 << 20) // np.maximum(dy * dy + dx * dx, 1).astype(np.int64)
    np.fill_diagonal(weight, 0)
    turns = _turns(rows, columns)
    stream = _Deal(rows * 7919 + columns * 104729 + n)
    best: tuple[int, list[int]] | None = None
    for _ in range(_DEALS):
        cells = list(base)
        for i in range(total - 1, 0, -1):
            j = stream.below(i + 1)
            cells[i], cells[j] = cells[j], cells[i]
        labels = np.array(cells, dtype=np.intp)
        same = labels[:, None] == labels[None, :]
        energy = int(weight[same].sum())
        worst = max(_purity(labels, turn, n) for turn in turns) if n > 1 else total
        cost = energy + (1 << 30) * max(0, 2 * worst - total)
        if best is None or cost < best[0]:
            best = (cost, cells)
    assert best is not None
    return tuple(best[1])


def _grid(n: int, width: int, height: int) -> tuple[int, int]:
    """Rows and columns of a grid of at least MIN_CELLS cells, and at least
    MIN_REPEATS per colour, over a width x height area, its cells about square."""
    rows = 1
    while True:
        columns = max(1, round(rows * width / height))
        if rows * columns >= max(MIN_CELLS, MIN_REPEATS * n):
            return rows, columns
        rows += 1


def chart(colours: Sequence[str] | object, *, size: tuple[int, int] = DEFAULT_SIZE) -> Chart:
    """The calibration chart of a palette: a panel's driver colours, in the
    order its palette lists them.

    Show it on the panel as it is (`Chart.save` writes an indexed PNG of
    exactly these colours), photograph it, and `measure` the photograph.

    Args:
        colours: the colours the panel's driver takes: '#rrggbb' strings,
            CSS names or (r, g, b) triples, 2 to 64 of them, e.g.
            ``panel_palette("spectra6", measured=False)``.
        size: (width, height) of the panel in pixels, each 48 or more.

    Returns:
        The `Chart`: its pixels and layout.

    Raises:
        TypeError: `colours` is not a sequence of colours.
        ValueError: a bad colour; fewer than 2 or more than 64 colours; a
            darkest and lightest colour too alike to draw markers with;
            a size too small for the palette's patches.

    Examples:
        >>> from tonalis_tools import panel_palette
        >>> c = chart(panel_palette("spectra6", measured=False))
        >>> sorted({int(i) for i in c.indices.ravel()})      # only the panel's colours
        [0, 1, 2, 3, 4, 5]
        >>> [sum(p.colour == k for p in c.patches) for k in range(6)]
        [8, 8, 8, 8, 8, 8]
        >>> chart(["#000", "#fff"], size=(640, 640)).size
        (640, 640)
    """
    hexes = palette_colours(colours, "colours")
    if not 2 <= len(hexes) <= MAX_COLOURS:
        raise ValueError(f"a chart holds 2 to {MAX_COLOURS} colours, got {len(hexes)}")
    width, height = (int(v) for v in size)
    _check_size(width, height)
    lumas = [_luma(c) for c in hexes]
    white = max(range(len(hexes)), key=lambda i: (lumas[i], -i))
    black = min(range(len(hexes)), key=lambda i: (lumas[i], i))
    if lumas[white] - lumas[black] < 8 * 64:
        raise ValueError(
            f"the lightest colour {hexes[white]} and the darkest {hexes[black]} are too "
            "alike to draw the chart's markers; a chart needs a light and a dark colour"
        )
    module = max(2, round(min(width, height) / 60))
    corner = (MARKER_MODULES + 2) * module
    indices = np.full((height, width), white, dtype=np.uint8)
    markers = []
    for cx, cy in ((0, 0), (1, 0), (1, 1), (0, 1)):
        left = module if cx == 0 else width - corner + module
        top = module if cy == 0 else height - corner + module
        _draw_marker(indices, left, top, module, black, white)
        half = MARKER_MODULES * module / 2
        markers.append((left + half, top + half))
    # The grid lies between the markers across the longer side, the whole
    # of the shorter side but a border of one module.
    gap = max(1, module // 2)
    if width >= height:
        area = (corner + gap, module, width - corner - gap, height - module)
    else:
        area = (module, corner + gap, width - module, height - corner - gap)
    rows, columns = _grid(len(hexes), area[2] - area[0], area[3] - area[1])
    cell_w = (area[2] - area[0]) / columns
    cell_h = (area[3] - area[1]) / rows
    if min(cell_w, cell_h) - 2 * gap < MIN_PATCH:
        raise ValueError(
            f"a {width} x {height} chart is too small for {len(hexes)} colours of "
            f"{MIN_REPEATS} patches each; make it larger"
        )
    labels = _deal(rows, columns, len(hexes), white, black)
    patches = []
    for cell, colour in enumerate(labels):
        row, column = divmod(cell, columns)
        box = (
            area[0] + round(column * cell_w) + gap,
            area[1] + round(row * cell_h) + gap,
            area[0] + round((column + 1) * cell_w) - gap,
            area[1] + round((row + 1) * cell_h) - gap,
        )
        indices[box[1] : box[3], box[0] : box[2]] = colour
        patches.append(Patch(colour, box))
    indices.setflags(write=False)
    return Chart(tuple(hexes), indices, tuple(patches), tuple(markers), white, black, module)


def _draw_marker(
    indices: npt.NDArray[np.uint8], left: int, top: int, module: int, ink: int, paper: int
) -> None:
    """A finder square of MARKER_MODULES modules with its top left at (left, top);
    the light border around it is the chart's paper."""
    side = MARKER_MODULES * module
    block = indices[top : top + side, left : left + side]
    block[...] = ink
    block[module:-module, module:-module] = paper
    block[2 * module : -2 * module, 2 * module : -2 * module] = ink
