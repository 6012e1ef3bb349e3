"""Tone and gamut preparation: a photograph brought into what a panel can show.

An e-paper panel's white is a light gray and its black a dark one, and its
colours are far duller than a screen's. Dithering a photograph straight onto
them spends the panel's few colours on what it cannot reach: the white of a
page, lighter than the panel's white, comes out as the panel's white mixed
with its yellow, and the error of saturated colours spreads into their
surroundings. `prepare` maps the image first, in Oklab:

- lightness: the image's range of L (its 0.5th to 99.5th percentile, never
  narrower than the palette's) onto the palette's darkest-to-lightest range,
  by a share from 0 (as it is) to 1 (the full map);
- chroma: the neutral axis moved onto the palette's own (the tint of its
  black and white, so that gray pixels become the panel's grays), and
  chroma beyond what the palette reaches in that direction compressed
  smoothly toward its edge, by a share from 0 to 1.

All arithmetic is sums, products, quotients and comparisons of doubles,
which round the same on every machine: the sRGB curve is a table made with
`tonalis_tools._portable_maths`, and cube roots are found by Newton's
method from an exact split of each value into mantissa and exponent.
"""

from __future__ import annotations

import functools
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from .. import _portable_maths
from ..devices.channels import as_array, like_input
from .presets import palette_colours

__all__ = ["prepare", "oklab", "linear_oklab", "from_oklab", "cube_root"]

F64 = npt.NDArray[np.float64]

# Oklab's matrices: linear sRGB to cone responses, their cube roots to Lab, and back.
_TO_LMS = (
    (0.4122214708, 0.5363325363, 0.0514459929),
    (0.2119034982, 0.6806995451, 0.1073969566),
    (0.0883024619, 0.2817188376, 0.6299787005),
)
_TO_LAB = (
    (0.2104542553, 0.7936177850, -0.0040720468),
    (1.9779984951, -2.4285922050, 0.4505937099),
    (0.0259040371, 0.7827717662, -0.8086757660),
)
_FROM_LAB = (
    (1.0, 0.3963377774, 0.2158037573),
    (1.0, -0.1055613458, -0.0638541728),
    (1.0, -0.0894841775, -1.2914855480),
)
_FROM_LMS = (
    (4.0767416621, -3.3077115913, 0.2309699292),
    (-1.2684380046, 2.6097574011, -0.3413193965),
    (-0.0041960863, -0.7034186147, 1.7076147010),
)

#: The share of pixels left out at each end of the image's lightness range.
PERCENTILE = 0.5


def _mix(matrix: tuple[tuple[float, ...], ...], planes: Sequence[F64]) -> list[F64]:
    # Products and sums one at a time, in a fixed order: no fused multiply-add.
    return [(row[0] * planes[0] + row[1] * planes[1]) + row[2] * planes[2] for row in matrix]


def cube_root(values: npt.ArrayLike) -> F64:
    """The cube root of each value (0 or more), the same double on every machine.

    Args:
        values: numbers, 0 or more.

    Returns:
        A float64 array of their cube roots, within a few units in the last
        place.

    Examples:
        >>> cube_root([0.0, 1.0, 8.0, 27.0, 0.125]).tolist()
        [0.0, 1.0, 2.0, 3.0, 0.5]
    """
    x = np.asarray(values, dtype=np.float64)
    mantissa, exponent = np.frexp(x)
    third, rest = np.divmod(exponent, 3)
    scaled = np.ldexp(mantissa, rest)  # in [0.5, 4): exact
    y = 0.7 + 0.2 * scaled
    for _ in range(7):
        y = (2.0 * y + scaled / (y * y)) / 3.0
    return np.asarray(np.where(x > 0.0, np.ldexp(y, third), 0.0), dtype=np.float64)


@functools.cache
def _decode_table() -> F64:
    """Linear light of the 256 sRGB codes."""
    value = np.arange(256, dtype=np.float64) / 255.0
    curve = _portable_maths.power((value + 0.055) / 1.055, 2.4)
    return np.asarray(np.where(value <= 0.04045, value / 12.92, curve), dtype=np.float64)


@functools.cache
def _encode_edges() -> F64:
    """Linear light halfway between consecutive codes: where rounding goes up."""
    value = (np.arange(255, dtype=np.float64) + 0.5) / 255.0
    curve = _portable_maths.power((value + 0.055) / 1.055, 2.4)
    return np.asarray(np.where(value <= 0.04045, value / 12.92, curve), dtype=np.float64)


def oklab(rgb: npt.NDArray[np.uint8]) -> F64:
    """Oklab of sRGB codes.

    Args:
        rgb: a uint8 array, ... x 3.

    Returns:
        A float64 array of the same shape: L, a, b.

    Examples:
        >>> import numpy as np
        >>> [round(v, 4) for v in oklab(np.array([255, 255, 255], np.uint8)).tolist()]
        [1.0, 0.0, 0.0]
    """
    return linear_oklab(_decode_table()[np.asarray(rgb, dtype=np.uint8)])


def linear_oklab(linear: npt.ArrayLike) -> F64:
    """Oklab of linear-light RGB, the same doubles on every machine.

    Args:
        linear: floats, ... x 3, linear sRGB (1 is white); cone responses
            below 0 count as 0.

    Returns:
        A float64 array of the same shape: L, a, b.

    Examples:
        >>> [round(v, 4) for v in linear_oklab([0.5, 0.5, 0.5]).tolist()]
        [0.7937, 0.0, 0.0]
    """
    planes = np.asarray(linear, dtype=np.float64)
    lms = _mix(_TO_LMS, [planes[..., k] for k in range(3)])
    return np.stack(_mix(_TO_LAB, [cube_root(np.maximum(p, 0.0)) for p in lms]), axis=-1)


def from_oklab(lab: F64) -> npt.NDArray[np.uint8]:
    """sRGB codes of Oklab colours, clipped to the sRGB gamut.

    Args:
        lab: a float64 array, ... x 3.

    Returns:
        A uint8 array of the same shape.

    Examples:
        >>> import numpy as np
        >>> rgb = np.array([[12, 200, 99], [255, 0, 0]], np.uint8)
        >>> from_oklab(oklab(rgb)).tolist()
        [[12, 200, 99], [255, 0, 0]]
    """
    roots = _mix(_FROM_LAB, [lab[..., k] for k in range(3)])
    linear = _mix(_FROM_LMS, [r * r * r for r in roots])
    edges = _encode_edges()
    codes = [np.searchsorted(edges, np.clip(p, 0.0, 1.0), side="right") for p in linear]
    return np.stack(codes, axis=-1).astype(np.uint8)


def _hull(points: F64) -> F64:
    """The convex hull of 2-D points, counter-clockwise (Andrew's monotone chain);
    fewer than three points when they enclose no area worth the name."""
    # Points a rounding error apart are one (a white's a and b are 1e-8, not 0).
    ordered = sorted({(round(float(x), 6), round(float(y), 6)) for x, y in points})
    if len(ordered) < 3:
        return np.array(ordered, dtype=np.float64).reshape(-1, 2)

    def cross(o: tuple[float, float], a: tuple[float, float], b: tuple[float, float]) -> float:
        return (a[0] - o[0]) * (b[1] - o[1]) - (a[1] - o[1]) * (b[0] - o[0])

    lower: list[tuple[float, float]] = []
    upper: list[tuple[float, float]] = []
    for point in ordered:
        while len(lower) >= 2 and cross(lower[-2], lower[-1], point) <= 0:
            lower.pop()
        lower.append(point)
    for point in reversed(ordered):
        while len(upper) >= 2 and cross(upper[-2], upper[-1], point) <= 0:
            upper.pop()
        upper.append(point)
    hull = lower[:-1] + upper[:-1]
    area = sum(a[0] * b[1] - a[1] * b[0] for a, b in zip(hull, hull[1:] + hull[:1])) / 2.0
    if area < MIN_AREA:
        return np.array(hull[:2], dtype=np.float64)
    return np.array(hull, dtype=np.float64)


#: The least area, in Oklab's a-b plane, of a palette's colours that bounds
#: chroma: below it they lie on a line through gray (black, white and one ink).
MIN_AREA = 1e-4


def _reach(a: F64, b: F64, hull: F64) -> F64:
    """How far from the neutral axis the hull reaches in the direction of (a, b):
    the ray's distance to the hull's edge per unit of chroma, 0 where it misses."""
    reach = np.zeros(a.shape, dtype=np.float64)
    if len(hull) < 3:
        return reach
    best = np.full(a.shape, np.inf)
    for i in range(len(hull)):
        p = hull[i]
        e = hull[(i + 1) % len(hull)] - p
        # Ray t·(a, b) meets p + u·e: t = (p × e) / (d × e), u = (p × d) / (d × e).
        denominator = a * e[1] - b * e[0]
        safe = np.where(denominator == 0.0, 1.0, denominator)
        t = (p[0] * e[1] - p[1] * e[0]) / safe
        u = (p[0] * b - p[1] * a) / safe
        hit = (denominator != 0.0) & (t > 0.0) & (u >= 0.0) & (u <= 1.0)
        best = np.where(hit & (t < best), t, best)
    return np.asarray(np.where(np.isfinite(best), best, 0.0), dtype=np.float64)


#: The share of the palette's lightness range at each end over which the
#: image's shadows and highlights are rolled off; the midtones between keep
#: their lightness.
ROLL_OFF = 0.3


def _roll(x: F64, knee: float, far: float, reach: float) -> F64:
    """x beyond `knee` (toward `far`) squeezed so that `far` lands on `reach`:
    g(t) = t (1 + c) / (1 + c t) of t = (x - knee) / (far - knee), slope 1 at the
    knee, monotone, exact at both ends."""
    span, room = far - knee, reach - knee
    if span == 0.0 or room == 0.0 or abs(room) >= abs(span):
        return x
    c = span / room - 1.0
    t = np.clip((x - knee) / span, 0.0, 1.0)
    rolled = knee + room * (t * (1.0 + c) / (1.0 + c * t))
    beyond = (x - knee) * span > 0.0
    return np.asarray(np.where(beyond, rolled, x), dtype=np.float64)


def _soft_range(lum: F64, start: float, end: float, low: float, high: float) -> F64:
    """Lightness from [start, end] onto [low, high]: the midtones kept, the
    shadows and highlights rolled off into the palette's ends."""
    margin = ROLL_OFF * (high - low)
    top = min(high - margin, (3.0 * high - end) / 2.0) if end > high else high
    bottom = max(low + margin, (3.0 * low - start) / 2.0) if start < low else low
    if bottom >= top:  # a narrow palette: a straight map
        scale = (high - low) / max(end - start, 1e-9)
        return np.asarray(np.clip(low + (lum - start) * scale, low, high), dtype=np.float64)
    lum = np.clip(lum, start, end)
    return _roll(_roll(lum, top, end, high), bottom, start, low)


#: Palette colours of less Oklab chroma than this count as its black, white and grays.
NEUTRAL_CHROMA = 0.04


def _black_and_white(ink: F64) -> tuple[int, int]:
    """The palette's black and white: its darkest and lightest neutral colours
    (a yellow may be as light as a panel's white), else its darkest and lightest."""
    chroma = np.sqrt(ink[:, 1] * ink[:, 1] + ink[:, 2] * ink[:, 2])
    neutral = np.flatnonzero(chroma < NEUTRAL_CHROMA)
    if len(neutral) < 2:
        neutral = np.arange(len(ink))
    lightness = ink[neutral, 0]
    return int(neutral[np.argmin(lightness)]), int(neutral[np.argmax(lightness)])


#: Chroma below this share of what the palette reaches is left as it is.
KNEE = 0.5


def prepare(image: Any, palette: Sequence[str], *, lightness: float, chroma: float) -> Any:
    """`image` mapped into the lightness range and colours `palette` reaches.

    Args:
        image: a uint8 array (H x W gray or H x W x 1 to 4 channels) or a PIL
            image. Gray images come back as they are (their lightness is
            mapped when the palette is gray too).
        palette: the colours dithered to, '#rrggbb' strings.
        lightness: the share of the lightness map, 0 (none) to 1 (the image's
            range onto the palette's black-to-white).
        chroma: the share of the chroma map, 0 (none) to 1 (the neutral axis
            onto the palette's, chroma compressed to what it reaches).

    Returns:
        A new image of the same kind, shape and alpha; `image` itself when
        both shares are 0.

    Raises:
        ValueError: a share outside [0, 1].

    Examples:
        >>> import numpy as np
        >>> white = np.full((2, 2, 3), 255, np.uint8)
        >>> prepare(white, ["#000000", "#808080"], lightness=1, chroma=0)[0, 0].tolist()
        [128, 128, 128]
        >>> prepare(white, ["#000000", "#808080"], lightness=0.5, chroma=0)[0, 0].tolist()
        [189, 189, 189]
    """
    for name, share in (("lightness", lightness), ("chroma", chroma)):
        if not 0.0 <= float(share) <= 1.0:
            raise ValueError(f"{name} must be a share from 0 to 1, got {share!r}")
    if not lightness and not chroma:
        return image
    array, mode = as_array(image)
    channels = 1 if array.ndim == 2 else array.shape[2]
    if channels < 3:
        return image
    rgb = array[..., :3]
    has_alpha = channels == 4
    lab = oklab(rgb)
    colours = palette_colours(palette, "palette")
    ink = oklab(
        np.array([[int(c[i : i + 2], 16) for i in (1, 3, 5)] for c in colours], dtype=np.uint8)
    )
    dark, light = _black_and_white(ink)
    low, high = float(ink[dark, 0]), float(ink[light, 0])
    lum = lab[..., 0]
    if lightness:
        counted = lum[array[..., 3] > 0] if has_alpha else lum.reshape(-1)
        if counted.size == 0:
            return image
        q_low, q_high = np.quantile(counted, [PERCENTILE / 100.0, 1.0 - PERCENTILE / 100.0])
        start, end = min(float(q_low), low), max(float(q_high), high)
        mapped = _soft_range(lum, start, end, low, high)
        lum = lum + float(lightness) * (mapped - lum)
    a, b = lab[..., 1], lab[..., 2]
    if chroma:
        share = float(chroma)
        # The palette's neutral axis: from its black's tint to its white's, by lightness.
        where = np.clip((lum - low) / max(high - low, 1e-9), 0.0, 1.0)
        axis_a = ink[dark, 1] + where * (ink[light, 1] - ink[dark, 1])
        axis_b = ink[dark, 2] + where * (ink[light, 2] - ink[dark, 2])
        hull = _hull(ink[:, 1:])
        size = np.sqrt(a * a + b * b)  # square roots are correctly rounded everywhere
        # The palette's chroma in the pixel's direction; a palette of one hue
        # (its colours on a line through gray) sets no bound.
        edge = _reach(a, b, hull) * size if len(hull) >= 3 else np.full(size.shape, np.inf)
        knee = KNEE * edge
        over = np.maximum(size - knee, 0.0)
        room = (1.0 - KNEE) * edge
        finite = np.isfinite(edge)
        squeezed = np.where(
            finite & (over > 0.0),
            knee
            + over
            * np.where(finite, room, 0.0)
            / np.maximum(np.where(finite, room, 1.0) + over, 1e-12),
            size,
        )
        wanted = size + share * (squeezed - size)
        factor = np.where(size > 0.0, wanted / np.where(size > 0.0, size, 1.0), 0.0)
        a = a * factor + share * axis_a
        b = b * factor + share * axis_b
    out = array.copy()
    out[..., :3] = from_oklab(np.stack([lum, a, b], axis=-1))
    return like_input(out, mode)
