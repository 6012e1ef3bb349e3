"""Frames that stand still where the picture does: the work under
`dither_frames`, apart from how each frame is dithered.

A pixel keeps its previous output while its input stays within a tolerance
of the input that output was made for (the input at the frame where the
pixel last changed, so slow drifts still refresh it); other pixels take the
frame's own dither. Threshold dithers need none of this: their output at a
pixel depends only on the pixel and its position.
"""

from __future__ import annotations

import numbers
import re
from collections.abc import Callable, Iterable
from typing import Any

import numpy as np
import numpy.typing as npt

from .matrices.halftone import screen
from .names import normalize_name

__all__ = ["is_threshold_method", "stable_tolerance", "steady_frames"]


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


def steady_frames(
    dither_one: Callable[[npt.NDArray[Any]], npt.NDArray[np.uint8]],
    frames: Iterable[npt.NDArray[Any]],
    tolerance: float,
    *,
    keep: bool = True,
) -> list[npt.NDArray[np.uint8]]:
    """`frames` each dithered by `dither_one`, pixels kept from the previous
    output while their input stays within `tolerance` (with `keep`).

    Args:
        dither_one: dithers one frame into a uint8 array.
        frames: arrays of one shape.
        tolerance: code units per channel an input may move from the input
            its pixel's output was made for and keep that output.
        keep: False dithers every frame on its own (for threshold methods).

    Returns:
        One uint8 array per frame.

    Raises:
        ValueError: frames of different shapes, or frames that dither to
            different shapes.

    Examples:
        >>> import numpy as np
        >>> odd = lambda a: (a % 2 * 255).astype(np.uint8)   # flips at every step
        >>> frames = [np.array([[10, 200]], np.uint8), np.array([[11, 91]], np.uint8)]
        >>> steady_frames(odd, frames, 4)[1]    # 10 -> 11 keeps its output, 200 -> 91 not
        array([[  0, 255]], dtype=uint8)
    """
    results: list[npt.NDArray[np.uint8]] = []
    reference: npt.NDArray[np.int16] | None = None
    for index, array in enumerate(frames):
        fresh = dither_one(array)
        if not keep:
            results.append(fresh)
            continue
        current = array.astype(np.int16)
        if reference is None:
            reference = current
            results.append(fresh)
            continue
        if current.shape != reference.shape:
            raise ValueError(
                f"frames must share one shape: frame {index} is {array.shape}, "
                f"frame 0 {tuple(reference.shape)}"
            )
        change = np.abs(current - reference)
        if change.ndim == 3:
            change = change.max(axis=2)
        still = change <= tolerance
        previous = results[-1]
        if previous.shape != fresh.shape:
            raise ValueError(f"frame {index} dithers to {fresh.shape}, frame 0 to {previous.shape}")
        results.append(
            np.where(still if fresh.ndim == 2 else still[:, :, None], previous, fresh).astype(
                np.uint8
            )
        )
        reference = np.where(still if current.ndim == 2 else still[:, :, None], reference, current)
    return results
