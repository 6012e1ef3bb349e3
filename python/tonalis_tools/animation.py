"""Dithering animation frames without flicker.

Error diffusion carries every change across the rest of its frame, so in
an animation whole areas of the pattern change from frame to frame even
where the picture barely moves. `dither_frames` with ``stable=True``
keeps a pixel's previous output while its input stays within `tolerance`
of the input that output was made for (the input at the frame where the
pixel last changed, so slow drifts still refresh it); other pixels take
the frame's own dither. A frame equal to the one before gives exactly the
output before. Threshold dithers (ordered, blue noise, screens, pattern,
seeded random) already stand still and are applied frame by frame.
"""

from __future__ import annotations

import dataclasses
import numbers
import re
from collections.abc import Iterable
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from .names import normalize_name

if TYPE_CHECKING:
    from .pipeline import DitherSettings

__all__ = ["dither_frames", "is_threshold_method", "stable_tolerance", "stabilised"]


def is_threshold_method(method: str, matrix: object = None) -> bool:
    """Whether a method's output at a pixel depends only on the pixel and
    its position (nothing to stabilise)."""
    from .halftone import screen

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
    whose colours are rarely evenly spread)."""
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


def dither_frames(
    frames: Iterable[npt.ArrayLike],
    method: str = "floyd_steinberg",
    *,
    stable: bool = True,
    tolerance: float | None = None,
    **options: Any,
) -> list[npt.NDArray[np.uint8]]:
    """Dither each frame (arrays or PIL images of one size) with `method` and
    `options` (those of `tonalis_tools.dither`: levels, palette, preset,
    serpentine, strength, linear, ...; random dither without a seed takes
    seed 0 for every frame), keeping
    error-diffused pixels still where their input changed by at most
    `tolerance` code units per channel (default `stable_tolerance`).

    Returns one uint8 array per frame.
    """
    from .front import settings as front_settings
    from .pipeline import apply

    if not isinstance(stable, bool):
        raise TypeError(f"stable must be a bool, got {type(stable).__name__}")
    # Bad levels, palettes and the like are reported before any frame is read.
    settings = front_settings(method, **options)
    if settings.seed is None and normalize_name(method) == "random":
        settings = dataclasses.replace(settings, seed=0)
    if tolerance is None:
        limit = stable_tolerance(settings.levels, settings.palette)
    elif isinstance(tolerance, bool) or not isinstance(tolerance, numbers.Real):
        raise TypeError(f"tolerance must be a number or None, got {type(tolerance).__name__}")
    elif not float(tolerance) >= 0.0:
        raise ValueError(f"tolerance must be a number >= 0, got {tolerance!r}")
    else:
        limit = float(tolerance)
    if not stable:
        return [np.asarray(apply(settings, np.asarray(frame))) for frame in frames]
    return stabilised(settings, (np.asarray(frame) for frame in frames), limit)


def stabilised(
    settings: DitherSettings, frames: Iterable[npt.NDArray[Any]], tolerance: float
) -> list[npt.NDArray[np.uint8]]:
    """`frames` dithered with resolved `settings`, pixels kept from the
    previous output while their input stays within `tolerance`."""
    from .pipeline import apply

    keep = not is_threshold_method(settings.method, settings.matrix)
    results: list[npt.NDArray[np.uint8]] = []
    reference: npt.NDArray[np.int16] | None = None
    for index, array in enumerate(frames):
        fresh = np.asarray(apply(settings, array))
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
