"""Pixel art: alpha cut to on or off, and results enlarged by whole pixels.

Sprites drawn with soft edges carry alpha of every value, and a GIF or a
palette image holds only transparent or opaque pixels (and a PNG palette
at most 256 colour and alpha pairs). `binary_alpha` cuts alpha at a
threshold. `upscale` enlarges a result by repeating each pixel, so the
dither stays crisp: it is applied after dithering, never before.
"""

from __future__ import annotations

import numbers
from typing import Any

import numpy as np

from ..devices.channels import as_array, like_input

__all__ = ["DEFAULT_ALPHA_THRESHOLD", "MAX_SCALE", "binary_alpha", "check_scale", "upscale"]

#: Where alpha is cut when a format needs on-or-off alpha and none was given:
#: alpha below half becomes transparent.
DEFAULT_ALPHA_THRESHOLD = 128

#: The largest factor `upscale` takes.
MAX_SCALE = 64


def _check_threshold(threshold: object) -> int:
    if isinstance(threshold, bool) or not isinstance(threshold, numbers.Integral):
        raise TypeError(f"alpha_threshold must be an int, got {type(threshold).__name__}")
    if not 0 <= int(threshold) <= 255:
        raise ValueError(f"alpha_threshold must be between 0 and 255, got {threshold}")
    return int(threshold)


def binary_alpha(image: Any, threshold: int = DEFAULT_ALPHA_THRESHOLD) -> Any:
    """The image with alpha below `threshold` made 0 and the rest 255; PIL in
    gives PIL out. Images without alpha (L, RGB) come back as they are.

    Args:
        image: a uint8 array (H x W x 2 or H x W x 4 have alpha last) or a
            PIL image.
        threshold: 0 to 255; 0 makes every pixel opaque, 1 keeps only fully
            transparent pixels transparent.

    Returns:
        A new image of the same kind with alpha 0 or 255, or `image` itself
        when it has no alpha.

    Raises:
        TypeError: `threshold` is not an int, or the image not uint8.
        ValueError: `threshold` is out of range, or the image is no image.

    Examples:
        >>> import numpy as np
        >>> la = np.array([[[10, 0], [20, 90], [30, 128], [40, 255]]], dtype=np.uint8)
        >>> binary_alpha(la)[..., 1].tolist()
        [[0, 0, 255, 255]]
        >>> binary_alpha(la, 1)[..., 1].tolist()
        [[0, 255, 255, 255]]
    """
    threshold = _check_threshold(threshold)
    array, mode = as_array(image)
    if array.ndim != 3 or array.shape[2] not in (2, 4):
        return image
    out = array.copy()
    out[..., -1] = np.where(array[..., -1] < threshold, 0, 255).astype(np.uint8)
    return like_input(out, mode)


def check_scale(factor: object) -> int:
    """`factor` as an int when `upscale` takes it.

    Args:
        factor: the enlargement.

    Returns:
        The factor.

    Raises:
        TypeError: not an int.
        ValueError: not from 1 to `MAX_SCALE`.

    Examples:
        >>> check_scale(4)
        4
        >>> check_scale(0)
        Traceback (most recent call last):
        ...
        ValueError: scale must be a whole number from 1 to 64, got 0
    """
    if isinstance(factor, bool) or not isinstance(factor, numbers.Integral):
        raise TypeError(f"scale must be an int, got {type(factor).__name__}")
    if not 1 <= int(factor) <= MAX_SCALE:
        raise ValueError(f"scale must be a whole number from 1 to {MAX_SCALE}, got {factor}")
    return int(factor)


def upscale(image: Any, factor: int) -> Any:
    """The image enlarged `factor` times by repeating every pixel
    (nearest neighbour); PIL in gives PIL out, in the same mode.

    Args:
        image: a uint8 array (2-D or H x W x C) or a PIL image.
        factor: a whole number from 1 to `MAX_SCALE`; 1 gives `image` itself.

    Returns:
        The enlarged image: every pixel a `factor` x `factor` block.

    Raises:
        TypeError: `factor` is not an int, or the image not uint8.
        ValueError: `factor` is out of range, or the image is no image.

    Examples:
        >>> import numpy as np
        >>> upscale(np.array([[0, 255]], dtype=np.uint8), 2)
        array([[  0,   0, 255, 255],
               [  0,   0, 255, 255]], dtype=uint8)
    """
    factor = check_scale(factor)
    if factor == 1:
        return image
    try:
        from PIL import Image
    except ImportError:
        pass
    else:
        if isinstance(image, Image.Image):
            # Palette and 1-bit images keep their mode and palette.
            return image.resize(
                (image.width * factor, image.height * factor), Image.Resampling.NEAREST
            )
    array, mode = as_array(image)
    return like_input(np.repeat(np.repeat(array, factor, axis=0), factor, axis=1), mode)
