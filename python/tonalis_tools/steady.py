"""Frames that stand still where the picture does: the work under
`dither_frames`, apart from how each frame is dithered.

A pixel keeps its previous output while its input stays within a tolerance
of the input that output was made for (the input at the frame where the
pixel last changed, so slow drifts still refresh it), and while the kept
pixels around it still look like the frame's own dither: blurred as the
eye blurs a dither, the picture with the kept pixels may differ from the
frame's own dither by at most a margin (`look_alike_margin`, a small
share of the gap between output levels). Other pixels take
the frame's own dither. Without that second test a pan or a zoom, whose
pixels each move by less than the tolerance, keeps the texture of earlier
frames in place while the picture moves under it. Threshold dithers need
none of this: their output at a pixel depends only on the pixel and its
position.
"""

from __future__ import annotations

import numbers
import re
from collections.abc import Callable, Iterable
from typing import Any

import numpy as np
import numpy.typing as npt

from ._portable_maths import exp
from .matrices.halftone import screen
from .names import normalize_name

__all__ = ["is_threshold_method", "look_alike_margin", "stable_tolerance", "steady_frames"]

# How the eye blurs a dither at a normal distance, in pixels, and how far the
# blurred picture with kept pixels may stray from the frame's own dither, as
# a share of the tolerance (about 10 codes for black and white).
_SIGMA = 2.0
_LOOK_ALIKE = 0.15


def _kernel(sigma: float) -> npt.NDArray[np.float32]:
    radius = int(np.ceil(3.0 * sigma))
    taps = exp(-0.5 * (np.arange(-radius, radius + 1) / sigma) ** 2)
    kernel: npt.NDArray[np.float32] = (taps / taps.sum()).astype(np.float32)
    return kernel


_KERNEL = _kernel(_SIGMA)


def _blur(plane: npt.NDArray[Any]) -> npt.NDArray[np.float32]:
    """A separable Gaussian blur of an H x W (x C) array, edges mirrored.

    The kernel is symmetric, so each pair of taps at the same distance takes
    one multiplication of their sum.
    """
    radius = len(_KERNEL) // 2
    out = plane.astype(np.float32)
    for axis in (0, 1):
        size = out.shape[axis]
        pad = [(0, 0)] * out.ndim
        pad[axis] = (radius, radius)
        padded = np.pad(out, pad, mode="symmetric" if size <= radius else "reflect")

        windows = [
            padded[(slice(None),) * axis + (slice(offset, offset + size),)]
            for offset in range(2 * radius + 1)
        ]
        total = _KERNEL[radius] * windows[radius]
        pair = np.empty_like(total)
        for distance in range(1, radius + 1):
            np.add(windows[radius - distance], windows[radius + distance], out=pair)
            pair *= _KERNEL[radius + distance]
            total += pair
        out = total
    result: npt.NDArray[np.float32] = out
    return result


def _near_any(changed: npt.NDArray[np.bool_]) -> npt.NDArray[np.bool_]:
    """Whether any pixel within the blur's reach (a square of its radius,
    clipped at the edges) is True: where the blur of a nonnegative plane is
    not zero."""
    radius = len(_KERNEL) // 2
    near = changed
    for axis in (0, 1):
        # A running count along the axis: a window holds a True pixel when
        # the counts at its two ends differ.
        counts = np.cumsum(near, axis=axis, dtype=np.int32)
        counts = np.concatenate([np.zeros_like(counts.take([0], axis=axis)), counts], axis=axis)
        size = near.shape[axis]
        lo = np.clip(np.arange(size) - radius, 0, size)
        hi = np.clip(np.arange(size) + radius + 1, 0, size)
        near = counts.take(hi, axis=axis) > counts.take(lo, axis=axis)
    return near


def _largest(array: npt.NDArray[Any]) -> npt.NDArray[Any]:
    """The largest channel of each pixel (a reduction over the short last
    axis is several times slower than folding its planes)."""
    if array.ndim == 2:
        return array
    largest = array[:, :, 0].copy()
    for channel in range(1, array.shape[2]):
        np.maximum(largest, array[:, :, channel], out=largest)
    return largest


def is_threshold_method(method: str, matrix: object = None) -> bool:
    """Whether a method's output at a pixel depends only on the pixel and its
    position (nothing to stabilise).

    Args:
        method: a method name as `tonalis_tools.dither` takes it.
        matrix: the custom matrix of the settings, if any; any matrix makes
            it ordered dither.

    Returns:
        True for ordered, blue-noise, halftone-screen, pattern and random
        dither; False for error diffusion and the other algorithms.

    Examples:
        >>> is_threshold_method("bayer8x8"), is_threshold_method("halftone45")
        (True, True)
        >>> is_threshold_method("atkinson")
        False
    """
    key = normalize_name(method)
    return (
        matrix is not None
        or key in ("pattern", "random", "ordered")
        or key.startswith("bluenoise")
        or re.fullmatch(r"(bayer)?\d+(x\d+)?", key) is not None
        or screen(method) is not None
    )


def stable_tolerance(levels: Any = None, palette: Any = None) -> float:
    """The default tolerance in code units: a quarter of the gap between
    neighbouring output levels (a sixteenth of the range with a palette,
    whose colours are rarely evenly spread).

    Args:
        levels: the level count, one per channel (the smallest counts), or
            None for the default of 2.
        palette: the palette, if any; its colours are not looked at.

    Returns:
        The tolerance, in code units per channel.

    Raises:
        ValueError: a level count that is not a whole number from 2 to 256.

    Examples:
        >>> stable_tolerance(), stable_tolerance(4)
        (63.75, 21.25)
        >>> stable_tolerance(palette=["#000", "#fff"])
        16.0
    """
    if palette is not None:
        return 16.0
    if isinstance(levels, tuple) and not levels:
        raise ValueError("levels needs at least one count")
    count = 2 if levels is None else (min(levels) if isinstance(levels, tuple) else levels)
    if (
        isinstance(count, bool)
        or not isinstance(count, numbers.Integral)
        or not 2 <= int(count) <= 256
    ):
        raise ValueError(f"levels must be between 2 and 256, got {levels!r}")
    return 255.0 / (int(count) - 1) / 4.0


def look_alike_margin(levels: Any = None, palette: Any = None) -> float:
    """How far, in code units, the blurred result with kept pixels may stray
    from the frame's own dither: 15 % of the default tolerance for levels
    (about 10 codes for black and white), and for a palette 15 % of a
    quarter of the typical gap between its colours (the median, over its
    colours, of the largest channel difference to the nearest other one).

    Args:
        levels: the level count, one per channel, or None for 2.
        palette: the palette ('#rrggbb' strings or what tonalis takes), if any.

    Returns:
        The margin, in code units.

    Raises:
        TypeError, ValueError: bad levels or an unreadable palette.

    Examples:
        >>> round(look_alike_margin(), 2), round(look_alike_margin(4), 2)
        (9.56, 3.19)
        >>> round(look_alike_margin(palette=["#000", "#fff", "#f00"]), 2)
        9.56
    """
    if palette is None:
        return _LOOK_ALIKE * stable_tolerance(levels)
    from .palettes.presets import palette_colours

    colours = palette_colours(palette)
    rgb = np.array([[int(c[i : i + 2], 16) for i in (1, 3, 5)] for c in colours], np.int64)
    if len(rgb) < 2:
        return _LOOK_ALIKE * stable_tolerance()
    gaps = np.abs(rgb[:, None, :] - rgb[None, :, :]).max(axis=2).astype(np.float64)
    np.fill_diagonal(gaps, np.inf)
    return _LOOK_ALIKE * float(np.median(gaps.min(axis=1))) / 4.0


def steady_frames(
    dither_one: Callable[[npt.NDArray[Any]], npt.NDArray[np.uint8]],
    frames: Iterable[npt.NDArray[Any]],
    tolerance: float,
    *,
    keep: bool = True,
    margin: float | None = None,
) -> list[npt.NDArray[np.uint8]]:
    """`frames` each dithered by `dither_one`, pixels kept from the previous
    output while their input stays within `tolerance` and the kept pixels
    around them, blurred, still look like the frame's own dither (with
    `keep`). A frame whose input equals the one before gives the output
    before.

    Args:
        dither_one: dithers one frame into a uint8 array.
        frames: arrays of one shape.
        tolerance: code units per channel an input may move from the input
            its pixel's output was made for and keep that output.
        keep: False dithers every frame on its own (for threshold methods).
        margin: how far, in code units, the blurred result with kept pixels
            may stray from the frame's own dither; default 15 % of
            `tolerance` (see `look_alike_margin`).

    Returns:
        One uint8 array per frame.

    Raises:
        ValueError: frames of different shapes, or frames that dither to
            different shapes.

    Examples:
        >>> import numpy as np
        >>> import tonalis
        >>> first = np.full((8, 12), 120, np.uint8)
        >>> second = first + 2                # a little lighter...
        >>> second[:, 9:] = 250               # ...and three columns much lighter
        >>> atkinson = lambda a: tonalis.dither(a, "atkinson")
        >>> out = steady_frames(atkinson, [first, second], 8)
        >>> np.array_equal(out[1][:, :3], out[0][:, :3])    # kept
        True
        >>> np.array_equal(out[1][:, 9:], atkinson(second)[:, 9:])   # dithered anew
        True
    """
    limit = _LOOK_ALIKE * tolerance if margin is None else margin
    results: list[npt.NDArray[np.uint8]] = []
    reference: npt.NDArray[np.int16] | None = None
    last: npt.NDArray[np.int16] | None = None
    for index, array in enumerate(frames):
        fresh = dither_one(array)
        if not keep:
            results.append(fresh)
            continue
        current = array.astype(np.int16)
        if reference is None or last is None:
            reference = last = current
            results.append(fresh)
            continue
        if current.shape != reference.shape:
            raise ValueError(
                f"frames must share one shape: frame {index} is {array.shape}, "
                f"frame 0 {tuple(reference.shape)}"
            )
        previous = results[-1]
        if previous.shape != fresh.shape:
            raise ValueError(f"frame {index} dithers to {fresh.shape}, frame 0 to {previous.shape}")
        still = _largest(np.abs(current - reference)) <= tolerance
        kept = _choose(still, previous, fresh)
        # Where the picture moves under kept pixels, the blurred result drifts
        # from the frame's own dither: those pixels are dithered anew. Where
        # nothing near a pixel changed since the frame before, it stays.
        unchanged = ~_near_any(_largest(current != last))
        target = _target(array, fresh)
        # The blur is linear: the blur of a difference is the difference of
        # the blurs, for one blur less.
        if target is None:
            stray = _largest(np.abs(_blur(kept.astype(np.int16) - fresh)))
        else:
            # Against the picture itself: the kept pixels may miss it by as
            # much as the frame's own dither does, and the margin more.
            aim = target.astype(np.int16)
            stray = _largest(np.abs(_blur(kept - aim))) - _largest(np.abs(_blur(fresh - aim)))
        still &= unchanged | (stray <= limit)
        results.append(_choose(still, previous, fresh))
        reference = np.where(still if current.ndim == 2 else still[:, :, None], reference, current)
        last = current
    return results


def _target(array: npt.NDArray[Any], fresh: npt.NDArray[np.uint8]) -> npt.NDArray[Any] | None:
    """The picture in the layout of its dither (a gray one as RGB for a
    palette), or None when the dither is in another layout."""
    if array.shape == fresh.shape:
        return array
    if fresh.ndim == 3 and (array.ndim == 2 or array.shape[2] == 2):
        gray = array if array.ndim == 2 else array[:, :, 0]
        planes = [gray] * 3 + ([array[:, :, 1]] if fresh.shape[2] == 4 and array.ndim == 3 else [])
        if len(planes) == fresh.shape[2]:
            return np.dstack(planes)
    return None


def _choose(
    still: npt.NDArray[np.bool_], previous: npt.NDArray[np.uint8], fresh: npt.NDArray[np.uint8]
) -> npt.NDArray[np.uint8]:
    where = still if fresh.ndim == 2 else still[:, :, None]
    return np.where(where, previous, fresh).astype(np.uint8)
