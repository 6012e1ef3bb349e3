"""The colours a panel shows, read from a photograph of its chart.

The four markers give the perspective transform from the chart to the
photograph; of more candidates than four, and of the four ways round the
chart can be, the one whose patches sort best by colour is taken. Each
patch is sampled over its middle half (away from the blur of its edges) on a
grid of up to 24 x 24 points, and reduced to the mean of the middle half of
the values of each channel (noise and stray pixels fall outside it).

Then, in linear light:

1. light falling off across the chart is taken out: a plane is fitted to
   the white patches per channel, and every patch is divided by the plane
   where it lies (times the white's mean);
2. the patches of one colour are averaged, after checking that they agree
   (glare or a shadow on some of them would not);
3. the white is balanced: per-channel gains make the white reference
   neutral at its own luminance as photographed, or at a given level. The
   panel's white stays as dull as it is: it is not stretched to #ffffff,
   since the dither must know how much lighter the paper is than the inks.

The arithmetic is float64; what feeds the colours written (sums, the
sRGB curve) is rounded the same way on every machine.
"""

from __future__ import annotations

import datetime
import functools
import itertools
import math
import os
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from .._portable_maths import power, pseudo_angle
from ..palettes.gamut import linear_oklab
from .markers import Marker, _solve, find_markers, homography, project
from .patches import Chart

__all__ = ["CalibrationError", "Measurement", "measure", "write_measurement"]

#: The largest Oklab distance (times 100, as in tonalis_tools.quality) a
#: patch may lie from the other patches of its colour: lighting that falls
#: off smoothly stays well below it, glare and shadows go beyond.
MAX_SPREAD = 6.0
#: The smallest photograph, in pixels on its shorter side, and the size
#: below which a photograph that shows no chart is said to be small.
MIN_PHOTO = 64
SMALL_PHOTO = 400
#: The fewest photograph pixels across the middle of a patch.
MIN_PATCH_PIXELS = 3
# The share of the patches' variance their colours may leave unexplained
# in the orientation taken: beyond it, the markers frame something else.
_LAYOUT_LIMIT = 0.25
# The share of the white reference's samples that may be at code 255 in a
# channel before the photograph counts as over-exposed.
_CLIPPED = 0.1
# Candidate markers tried in fours.
_CANDIDATES = 10
# Sample points across a patch: for choosing the orientation, and at most
# for measuring.
_COARSE = 5
_FINE = 24

_LUMINANCE = (0.2126, 0.7152, 0.0722)


class CalibrationError(ValueError):
    """A photograph that cannot be measured: no chart found, too small, or
    patches that disagree. The message says what was found.

    Args:
        args: the message, as for any exception.

    Examples:
        >>> import numpy as np
        >>> from tonalis_tools.calibrate import chart
        >>> measure(np.zeros((40, 40, 3), np.uint8), chart(["#000", "#fff"]))
        Traceback (most recent call last):
        ...
        tonalis_tools.calibrate.measurement.CalibrationError: the photo is 40 x 40 pixels; ...
    """


@dataclass(frozen=True)
class Measurement:
    """What `measure` read from a photograph.

    Args:
        colours: the measured colours, '#rrggbb', in the chart's order.
        chart_colours: the chart's (the driver's) colours, in that order.
        spread: for each colour, how far its patch furthest from the others
            lies from them (Oklab distance times 100).
        gains: the white balance, per-channel gains in linear light.
        white: the white reference as written, a code 0..255 (all three
            channels alike).
        markers: the markers' centres in the photograph, (x, y), at the
            chart's top left, top right, bottom right and bottom left.
        quarter_turns: how far the chart is turned in the photograph,
            clockwise.
        normalisation: how the colours were normalised, in words.

    Examples:
        >>> m = Measurement(("#101010", "#a0a0a0"), ("#000000", "#ffffff"), (0.5, 0.4),
        ...                 (1.0, 1.0, 1.0), 160, ((0, 0),) * 4, 0, "as photographed")
        >>> dict(zip(m.chart_colours, m.colours))
        {'#000000': '#101010', '#ffffff': '#a0a0a0'}
    """

    colours: tuple[str, ...]
    chart_colours: tuple[str, ...]
    spread: tuple[float, ...]
    gains: tuple[float, float, float]
    white: int
    markers: tuple[tuple[float, float], ...]
    quarter_turns: int
    normalisation: str


@functools.cache
def _linear_table() -> npt.NDArray[np.float64]:
    """sRGB codes 0..255 in linear light."""
    c = np.arange(256, dtype=np.float64) / 255.0
    return np.where(c <= 0.04045, c / 12.92, power((c + 0.055) / 1.055, 2.4))


def _encode(linear: Sequence[float]) -> list[int]:
    """Linear-light values (clipped to [0, 1]) as sRGB codes."""
    values = np.clip(np.asarray(linear, dtype=np.float64), 0.0, 1.0)
    curved = np.where(values <= 0.0031308, 12.92 * values, 1.055 * power(values, 1 / 2.4) - 0.055)
    return [int(math.floor(v * 255.0 + 0.5)) for v in curved.tolist()]


def _photo_array(photo: Any) -> npt.NDArray[np.uint8]:
    """The photograph as an H x W x 3 uint8 array."""
    try:
        from PIL import Image
    except ImportError:
        Image = None  # type: ignore[assignment]
    if Image is not None and isinstance(photo, Image.Image):
        return np.asarray(photo.convert("RGB"))
    array = np.asarray(photo)
    if array.dtype != np.uint8:
        raise TypeError(f"the photo must be a uint8 image, got {array.dtype}")
    if array.ndim == 2:
        array = np.repeat(array[..., None], 3, axis=2)
    if array.ndim != 3 or array.shape[2] not in (1, 3, 4):
        raise ValueError(f"the photo must be H x W or H x W x 3, got shape {list(array.shape)}")
    if array.shape[2] == 1:
        array = np.repeat(array, 3, axis=2)
    return np.ascontiguousarray(array[..., :3])


def _sample(
    photo: npt.NDArray[np.uint8], x: npt.NDArray[np.float64], y: npt.NDArray[np.float64]
) -> npt.NDArray[np.float64]:
    """Linear-light RGB at continuous photo points, interpolated between the
    four nearest pixels; points outside take the nearest edge."""
    height, width = photo.shape[:2]
    u = np.clip(x - 0.5, 0.0, width - 1.0)
    v = np.clip(y - 0.5, 0.0, height - 1.0)
    u0 = np.minimum(np.floor(u).astype(np.intp), width - 2 if width > 1 else 0)
    v0 = np.minimum(np.floor(v).astype(np.intp), height - 2 if height > 1 else 0)
    fu = (u - u0)[..., None]
    fv = (v - v0)[..., None]
    u1 = np.minimum(u0 + 1, width - 1)
    v1 = np.minimum(v0 + 1, height - 1)
    table = _linear_table()
    top = table[photo[v0, u0]] * (1 - fu) + table[photo[v0, u1]] * fu
    bottom = table[photo[v1, u0]] * (1 - fu) + table[photo[v1, u1]] * fu
    return np.asarray(top * (1 - fv) + bottom * fv, dtype=np.float64)


def _grid_points(chart: Chart, count: int) -> tuple[npt.NDArray[np.float64], ...]:
    """count x count points over the middle half of every patch, in chart
    pixels: (x, y), each patches x count^2."""
    steps = (np.arange(count, dtype=np.float64) + 0.5) / count * 0.5 + 0.25
    boxes = np.array([p.box for p in chart.patches], dtype=np.float64)
    left, top = boxes[:, 0:1], boxes[:, 1:2]
    width, height = boxes[:, 2:3] - left, boxes[:, 3:4] - top
    sx, sy = np.meshgrid(steps, steps)
    return left + width * sx.ravel()[None, :], top + height * sy.ravel()[None, :]


def _unexplained(samples: npt.NDArray[np.float64], labels: npt.NDArray[np.intp]) -> float:
    """The share of the patches' variance that their colours leave unexplained."""
    total = float(((samples - samples.mean(axis=0)) ** 2).sum())
    if total <= 0.0:
        return 1.0
    within = 0.0
    for colour in np.unique(labels).tolist():
        group = samples[labels == colour]
        within += float(((group - group.mean(axis=0)) ** 2).sum())
    return within / total


def _clockwise(markers: Sequence[Marker]) -> list[Marker]:
    """Four markers in clockwise order as seen (y down), from the one at the
    smallest angle."""
    cx = math.fsum(m.x for m in markers) / 4
    cy = math.fsum(m.y for m in markers) / 4
    keys = pseudo_angle(
        [round((m.y - cy) * 64) for m in markers], [round((m.x - cx) * 64) for m in markers]
    )
    return [markers[i] for i in np.argsort(keys, kind="stable").tolist()]


def _convex(points: Sequence[tuple[float, float]]) -> float:
    """The area of a quadrilateral if it is convex in the order given, else 0."""
    crosses = []
    for i in range(4):
        (x0, y0), (x1, y1), (x2, y2) = points[i], points[(i + 1) % 4], points[(i + 2) % 4]
        crosses.append((x1 - x0) * (y2 - y1) - (y1 - y0) * (x2 - x1))
    if not (all(c > 0 for c in crosses) or all(c < 0 for c in crosses)):
        return 0.0
    area = 0.0
    for i in range(4):
        (x0, y0), (x1, y1) = points[i], points[(i + 1) % 4]
        area += x0 * y1 - x1 * y0
    return abs(area) / 2


def _where(markers: Sequence[Marker]) -> str:
    return ", ".join(f"({m.x:.0f}, {m.y:.0f})" for m in markers)


def _locate(
    photo: npt.NDArray[np.uint8], chart: Chart, found: list[Marker]
) -> tuple[tuple[float, ...], list[Marker], int]:
    """The transform from the chart to the photograph, the markers at the
    chart's corners (top left first, clockwise) and the chart's quarter turns."""
    labels = np.array([p.colour for p in chart.patches], dtype=np.intp)
    px, py = _grid_points(chart, _COARSE)
    best: tuple[float, float, tuple[float, ...], list[Marker], int] | None = None
    for four in itertools.combinations(found[:_CANDIDATES], 4):
        modules = [m.module for m in four]
        if max(modules) > 3 * min(modules):
            continue
        ordered = _clockwise(four)
        area = _convex([(m.x, m.y) for m in ordered])
        if area < (7 * max(modules)) ** 2 * 4:
            continue
        for turns in range(4):
            corners = ordered[turns:] + ordered[:turns]
            h = homography(chart.markers, [(m.x, m.y) for m in corners])
            x, y = project(h, px, py)
            samples = _sample(photo, x, y).mean(axis=1)
            if (samples[labels == chart.white] <= samples[labels == chart.black].mean()).all():
                continue
            fit = _unexplained(samples, labels)
            key = (fit, -area)
            if best is None or key < best[:2]:
                best = (fit, -area, h, corners, turns)
    if best is None:
        raise CalibrationError(
            f"found {len(found)} markers at {_where(found[:_CANDIDATES])}, but no four of "
            "them frame a chart; the whole chart must be in the photo"
        )
    if best[0] > _LAYOUT_LIMIT:
        raise CalibrationError(
            f"found markers at {_where(best[3])}, but the patches between them do not "
            "match the chart's layout: was the chart made with the same colours and size?"
        )
    return best[2], best[3], best[4]


def _trimmed_means(samples: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """Per patch and channel, the mean of the middle half of the values
    (patches x points x 3 in, patches x 3 out)."""
    ordered = np.sort(samples, axis=1)
    n = ordered.shape[1]
    middle = ordered[:, n // 4 : n - n // 4]
    return np.array(
        [
            [math.fsum(middle[p, :, c].tolist()) / middle.shape[1] for c in range(3)]
            for p in range(middle.shape[0])
        ],
        dtype=np.float64,
    )


def _patch_size(h: Sequence[float], chart: Chart) -> float:
    """The smallest side, in photo pixels, of any patch's middle half."""
    smallest = math.inf
    for patch in chart.patches:
        left, top, right, bottom = patch.box
        qx = [left + (right - left) * f for f in (0.25, 0.75, 0.75, 0.25)]
        qy = [top + (bottom - top) * f for f in (0.25, 0.25, 0.75, 0.75)]
        x, y = project(h, qx, qy)
        for i in range(4):
            j = (i + 1) % 4
            dx, dy = float(x[j] - x[i]), float(y[j] - y[i])
            # sqrt rounds correctly everywhere; hypot is the platform's own.
            smallest = min(smallest, math.sqrt(dx * dx + dy * dy))
    return smallest


def _flat_field(chart: Chart, means: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """The patches' colours with the light falling off across the chart
    taken out: a plane fitted to the white patches, per channel."""
    width, height = chart.size
    centres = [(p.centre[0] / width - 0.5, p.centre[1] / height - 0.5) for p in chart.patches]
    whites = [i for i, p in enumerate(chart.patches) if p.colour == chart.white]
    corrected = means.copy()
    for c in range(3):
        level = math.fsum(float(means[i, c]) for i in whites) / len(whites)
        terms = [(1.0, centres[i][0], centres[i][1]) for i in whites]
        normal = [[math.fsum(t[r] * t[k] for t in terms) for k in range(3)] for r in range(3)]
        right = [
            math.fsum(t[r] * float(means[i, c]) for t, i in zip(terms, whites)) for r in range(3)
        ]
        try:
            a, b, d = _solve(normal, right)
        except ValueError:
            continue
        for p, (u, v) in enumerate(centres):
            field = a + b * u + d * v
            if field > level * 0.05:
                corrected[p, c] = float(means[p, c]) * level / field
    return corrected


def measure(
    photo: Any,
    chart: Chart,
    *,
    white_level: int | None = None,
    max_spread: float = MAX_SPREAD,
) -> Measurement:
    """The colours a panel shows, from a photograph of it showing `chart`.

    Take the photograph square on or at a slight angle (to keep reflections
    off), in even, diffuse light, with the whole chart in the frame; the
    phone's perspective, a tilt of a few degrees or a quarter turn, some
    blur and noise, a colour cast and the background around the panel do
    not matter.

    Args:
        photo: the photograph: a PIL image or a uint8 array, H x W x 3 (or
            gray, or with alpha, which is ignored).
        chart: the chart shown, as `chart` made it (the same colours and size).
        white_level: the code 0..255 the white reference becomes, all three
            channels alike; default its own luminance as photographed.
        max_spread: how far a patch may lie from the others of its colour
            (Oklab distance times 100) before the photograph is refused.

    Returns:
        The `Measurement`; its `colours` are the palette to dither against.

    Raises:
        TypeError: the photo is not a uint8 image, or `chart` not a `Chart`.
        ValueError: `white_level` or `max_spread` out of range.
        CalibrationError: the photo is too small, the markers are not found
            (saying which were), the patches are too small in it, or they
            disagree.

    Examples:
        >>> from tonalis_tools.calibrate import chart
        >>> shown = {"#000000": (40, 38, 36), "#ffffff": (200, 190, 180), "#ff0000": (150, 40, 30)}
        >>> c = chart(list(shown))
        >>> photo = np.array([shown[k] for k in c.colours], np.uint8)[c.indices]
        >>> measure(photo, c).colours       # white neutral at its own luminance
        ('#262627', '#bfbfbf', '#8f2821')
    """
    if not isinstance(chart, Chart):
        raise TypeError(f"chart must be a Chart, as chart() makes, not {type(chart).__name__}")
    if not 0 < max_spread:
        raise ValueError(f"max_spread must be above 0, got {max_spread}")
    if white_level is not None and (
        isinstance(white_level, bool)
        or not isinstance(white_level, int)
        or not 1 <= white_level <= 255
    ):
        raise ValueError(f"white_level must be a whole number from 1 to 255, got {white_level!r}")
    rgb = _photo_array(photo)
    height, width = rgb.shape[:2]
    if min(height, width) < MIN_PHOTO:
        raise CalibrationError(
            f"the photo is {width} x {height} pixels; a chart needs at least {MIN_PHOTO} "
            "on the shorter side, and far more to be measured well"
        )
    try:
        found = find_markers(rgb)
    except ValueError as exc:
        raise CalibrationError(str(exc)) from None
    if len(found) < 4:
        seen = f" at {_where(found)}" if found else ""
        small = ""
        if min(height, width) < SMALL_PHOTO:
            small = f" (the photo is only {width} x {height} pixels: take it closer or larger)"
        raise CalibrationError(
            f"found {len(found)} of the chart's 4 corner markers{seen}; the whole chart "
            "must be in the photo, in focus, with the light border round each marker "
            f"clear{small}"
        )
    h, corners, turns = _locate(rgb, chart, found)
    side = _patch_size(h, chart)
    if side < MIN_PATCH_PIXELS:
        raise CalibrationError(
            f"the chart's patches are {side:.1f} pixels across in the photo; at least "
            f"{MIN_PATCH_PIXELS} are needed: take the photo closer or at a higher resolution"
        )
    count = max(_COARSE, min(_FINE, int(side)))
    x, y = project(h, *_grid_points(chart, count))
    samples = _sample(rgb, x, y)
    whites = np.array([p.colour == chart.white for p in chart.patches])
    clipped = (samples[whites] >= _linear_table()[254]).mean(axis=(0, 1))
    if clipped.max() > _CLIPPED:
        channel = "red green blue".split()[int(np.argmax(clipped))]
        raise CalibrationError(
            f"the white reference is over-exposed: {100 * clipped.max():.0f}% of its "
            f"{channel} is at the top code 255 in the photo; expose for the white "
            "(tap it on the phone's screen, or lower the exposure) and take it again"
        )
    means = _flat_field(chart, _trimmed_means(samples))
    labels = [p.colour for p in chart.patches]
    n = len(chart.colours)
    colour_means = []
    for colour in range(n):
        rows = [means[i] for i, label in enumerate(labels) if label == colour]
        colour_means.append([math.fsum(float(r[c]) for r in rows) / len(rows) for c in range(3)])
    white = colour_means[chart.white]
    if min(white) <= 1e-4:
        raise CalibrationError(
            "the white reference is black in one channel of the photo; it is far under-exposed"
        )
    luminance = math.fsum(w * v for w, v in zip(_LUMINANCE, white))
    if white_level is None:
        target = luminance
        code = _encode([luminance])[0]
        normalisation = (
            "white-balanced in linear light: per-channel gains make the white reference "
            f"neutral at its own luminance as photographed (code {code}); light falling off "
            "across the chart evened out by the white patches"
        )
    else:
        target = float(_linear_table()[white_level])
        code = white_level
        normalisation = (
            "white-balanced in linear light: per-channel gains make the white reference "
            f"neutral at code {code}; light falling off across the chart evened out by the "
            "white patches"
        )
    gains = tuple(target / v for v in white)
    balanced = means * np.array(gains)
    lab = linear_oklab(balanced) * 100.0
    spread = []
    for colour in range(n):
        members = [i for i, label in enumerate(labels) if label == colour]
        centre = np.median(lab[members], axis=0)
        distances = np.sqrt(((lab[members] - centre) ** 2).sum(axis=1))
        worst = int(np.argmax(distances))
        spread.append(float(distances[worst]))
        if distances[worst] > max_spread:
            cx, cy = chart.patches[members[worst]].centre
            raise CalibrationError(
                f"the patches of colour {colour + 1} ({chart.colours[colour]}) disagree: the "
                f"one at ({cx:.0f}, {cy:.0f}) of the chart lies {distances[worst]:.1f} from "
                f"the others (at most {max_spread:g}); glare, a reflection or a shadow? "
                "Photograph the panel again in even light, at a slight angle"
            )
    colours = tuple(
        "#{:02x}{:02x}{:02x}".format(*_encode([g * v for g, v in zip(gains, m)]))
        for m in colour_means
    )
    return Measurement(
        colours=colours,
        chart_colours=chart.colours,
        spread=tuple(spread),
        gains=(gains[0], gains[1], gains[2]),
        white=code,
        markers=tuple((m.x, m.y) for m in corners),
        quarter_turns=turns,
        normalisation=normalisation,
    )


def write_measurement(
    measurement: Measurement,
    path: str | os.PathLike[str],
    *,
    photo: str,
    source: str,
    names: Sequence[str] | None = None,
) -> list[str]:
    """Write the measured colours as a palette file, with where they came
    from in its comments (.gpl and .txt; the other types hold none).

    Args:
        measurement: what `measure` gave.
        path: the palette file, of a type `write_palette` knows by its
            extension.
        photo: the photograph's file name, for the header.
        source: what the chart showed ("panel spectra6", "palette mine.gpl").
        names: a name for each colour, written beside it where the format
            holds names; default the chart's colours.

    Returns:
        The header's lines (written, or for the types without comments not).

    Raises:
        OSError: the file cannot be written.
        ValueError: an unknown extension.

    Examples:
        >>> m = Measurement(("#101010", "#a0a0a0"), ("#000000", "#ffffff"), (0.5, 0.4),
        ...                 (1.0, 1.0, 1.0), 160, ((0, 0),) * 4, 0, "as photographed")
        >>> header = write_measurement(m, "mine.gpl", photo="shot.jpg", source="panel bwr")
        >>> from tonalis_tools import read_palette
        >>> read_palette("mine.gpl")
        ['#101010', '#a0a0a0']
        >>> header[1]
        'photo: shot.jpg'
    """
    import tonalis

    from ..palettes.palette_files import format_palette, palette_holds_comments

    today = datetime.datetime.now(datetime.UTC).date().isoformat()
    spread = ", ".join(f"{s:.1f}" for s in measurement.spread)
    header = [
        f"measured by tonalis {tonalis.__version__} calibrate on {today}",
        f"photo: {Path(photo).name if photo != '-' else 'standard input'}",
        f"chart: {source}; driver colours {' '.join(measurement.chart_colours)}",
        f"normalised: {measurement.normalisation}",
        f"spread of the patches of each colour (Oklab x 100): {spread}",
    ]
    suffix = Path(path).suffix
    labels = (
        list(names) if names is not None else [f"driver {c}" for c in measurement.chart_colours]
    )
    holds = palette_holds_comments(suffix)
    data = format_palette(
        list(measurement.colours),
        suffix,
        name=Path(path).stem,
        comments=header if holds else (),
        names=labels,
    )
    from ..io.imagefile import save_bytes

    save_bytes(data, str(path))
    return header
