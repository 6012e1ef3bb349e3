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
from collections.abc import Iterable
from typing import Any

import numpy as np
import numpy.typing as npt

from ..front import settings as front_settings
from ..names import normalize_name
from ..pipeline import DitherSettings, apply
from ..steady import is_threshold_method, stable_tolerance, steady_frames

__all__ = ["dither_frames", "is_threshold_method", "stable_tolerance", "stabilised"]


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
    return steady_frames(
        lambda array: np.asarray(apply(settings, array)),
        frames,
        tolerance,
        keep=not is_threshold_method(settings.method, settings.matrix),
    )
