"""Dithering animation frames without flicker.

Error diffusion carries every change across the rest of its frame, so in
an animation whole areas of the pattern change from frame to frame even
where the picture barely moves. `dither_frames` with ``stable=True``
keeps a pixel's previous output while its input stays within `tolerance`
of the input that output was made for; threshold dithers already stand
still. `dither_frames` is the one of `tonalis_tools.pipeline` (and of the
package): it takes a method with options or `DitherSettings`, and arrays,
PIL images or `Frames`.
"""

from __future__ import annotations

from ..pipeline import dither_frames, stabilised
from ..steady import is_threshold_method, stable_tolerance

__all__ = ["dither_frames", "is_threshold_method", "stable_tolerance", "stabilised"]
