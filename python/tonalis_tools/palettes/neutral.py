"""Gray photographs on colour palettes: dithered to the palette's neutral colours only.

Error diffusion of a gray image onto a colour palette mixes grays out of
colours where the palette's own grays do not match a tone exactly: a gray
ramp on a 7-colour e-paper panel comes out lilac, speckled with green and
red. A gray photograph (a Pillow L or LA image, or one whose pixels are
nearly all near-neutral) is better served by the palette's black, white
and grays alone: `is_gray_photo` tells such an image, `neutral_indices`
picks those colours.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np

from ..devices.channels import as_array
from .gamut import NEUTRAL_CHROMA, oklab
from .presets import palette_colours

__all__ = ["is_gray_photo", "neutral_indices", "NEUTRAL_CHROMA", "GRAY_SPREAD", "GRAY_SHARE"]

#: A pixel is near-neutral when its channels differ by at most this many codes.
GRAY_SPREAD = 12

#: An image is a gray photograph when at least this share of its pixels (its
#: visible ones, with alpha) is near-neutral.
GRAY_SHARE = 0.99


def is_gray_photo(image: Any) -> bool:
    """Whether `image` is a grayscale picture: gray pixels, however stored.

    Args:
        image: a uint8 array (H x W or H x W x C) or a PIL image. Gray
            arrays and PIL images in L or LA are gray; RGB(A) ones are when
            nearly every visible pixel's channels lie within `GRAY_SPREAD`
            codes of each other.

    Returns:
        True or False.

    Examples:
        >>> import numpy as np
        >>> ramp = np.repeat(np.arange(256, dtype=np.uint8)[None, :, None], 3, axis=2)
        >>> is_gray_photo(ramp), is_gray_photo(np.zeros((4, 4), np.uint8))
        (True, True)
        >>> ramp[0, :10] = (255, 0, 0)
        >>> is_gray_photo(ramp)
        False
    """
    if getattr(image, "mode", None) in ("L", "LA", "1", "I", "I;16", "F"):
        return True
    array, _ = as_array(image)
    channels = 1 if array.ndim == 2 else array.shape[2]
    if channels < 3:
        return True
    rgb = array[..., :3].astype(np.int16)
    spread = rgb.max(axis=-1) - rgb.min(axis=-1)
    visible = array[..., 3] > 0 if channels == 4 else np.ones(spread.shape, dtype=bool)
    total = int(visible.sum())
    if total == 0:
        return False
    gray = int(((spread <= GRAY_SPREAD) & visible).sum())
    return gray >= GRAY_SHARE * total


def neutral_indices(palette: Sequence[str]) -> list[int] | None:
    """The positions of a palette's neutral colours, when it has colours besides.

    Args:
        palette: '#rrggbb' strings (or what tonalis takes).

    Returns:
        The indices of its colours of Oklab chroma below `NEUTRAL_CHROMA`,
        in palette order; None when fewer than two are neutral (nothing to
        dither between) or when all are (a gray palette needs no choosing).

    Examples:
        >>> from tonalis_tools import panel_palette
        >>> neutral_indices(panel_palette("acep7"))      # its black and white
        [0, 1]
        >>> neutral_indices(["#000", "#777", "#fff"]) is None
        True
    """
    colours = palette_colours(palette, "palette")
    rgb = np.array([[int(c[i : i + 2], 16) for i in (1, 3, 5)] for c in colours], np.uint8)
    lab = oklab(rgb)
    chroma = np.sqrt(lab[:, 1] * lab[:, 1] + lab[:, 2] * lab[:, 2])
    chosen = [int(i) for i in np.flatnonzero(chroma < NEUTRAL_CHROMA)]
    if len(chosen) < 2 or len(chosen) == len(colours):
        return None
    return chosen
