"""Dithering with a level count of its own for every channel.

Small TFT and LED panels store colour in uneven bit depths: RGB565 has 32
levels of red and blue but 64 of green, RGB332 8, 8 and 4. tonalis quantizes
each channel of a levels target independently of the others (error
diffusion runs one pass per channel, and ordered and random dither shift all
channels of a pixel by the same amount), so dithering each plane on its own
with its own level count gives exactly the per-channel result.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

import tonalis

from ..names import find_name

__all__ = ["DEVICE_LEVELS", "as_array", "device_levels", "dither_channels", "like_input"]

#: Device colour formats and their level counts per channel (R, G, B).
DEVICE_LEVELS: dict[str, tuple[int, int, int]] = {
    "rgb565": (32, 64, 32),
    "rgb555": (32, 32, 32),
    "rgb444": (16, 16, 16),
    "rgb666": (64, 64, 64),
    "rgb332": (8, 8, 4),
    "rgb111": (2, 2, 2),
}

_PIL_MODES = ("L", "LA", "RGB", "RGBA")


def device_levels(name: str) -> tuple[int, int, int]:
    """The per-channel level counts of a device format ('RGB565' -> (32, 64, 32)).

    Args:
        name: a format of `DEVICE_LEVELS`, spelled loosely.

    Returns:
        The (red, green, blue) level counts.

    Raises:
        TypeError: `name` is not a str.
        ValueError: no format has that name.

    Examples:
        >>> device_levels("RGB565")
        (32, 64, 32)
        >>> device_levels("rgb 332")
        (8, 8, 4)
    """
    return DEVICE_LEVELS[find_name(name, DEVICE_LEVELS, "device format")]


def as_array(image: Any) -> tuple[npt.NDArray[np.uint8], str | None]:
    """The pixels of a PIL image or uint8 array-like, and the PIL mode (None for arrays).

    PIL modes other than L, LA, RGB and RGBA are converted to RGB, as tonalis
    does. The array may be a view of the caller's; do not write to it.

    Args:
        image: a PIL image or anything `numpy.asarray` makes a uint8 array of.

    Returns:
        (pixels, mode): a uint8 array, H x W or H x W x C, and the PIL mode
        the pixels are in, or None when `image` was no PIL image.

    Raises:
        TypeError: the array is not uint8.
        ValueError: it is not 2-D or 3-D, or has an empty dimension.

    Examples:
        >>> import numpy as np
        >>> from PIL import Image
        >>> pixels, mode = as_array(Image.new("P", (3, 2)))
        >>> pixels.shape, mode
        ((2, 3, 3), 'RGB')
        >>> as_array(np.zeros((2, 3), dtype=np.uint8))[1] is None
        True
    """
    mode: str | None = None
    try:
        from PIL import Image
    except ImportError:
        pass
    else:
        if isinstance(image, Image.Image):
            if image.mode not in _PIL_MODES:
                image = image.convert("RGB")
            mode = image.mode
    array = np.asarray(image)
    if array.dtype != np.uint8:
        raise TypeError(f"expected a uint8 image, got dtype {array.dtype}")
    if array.ndim not in (2, 3):
        raise ValueError(
            f"expected a 2-D grayscale or 3-D (H, W, C) image, got shape {list(array.shape)}"
        )
    if 0 in array.shape:
        raise ValueError(f"image has an empty dimension: shape {list(array.shape)}")
    return array, mode


def like_input(array: npt.NDArray[np.uint8], mode: str | None) -> Any:
    """`array` as a PIL image when the input was one (`mode` not None), else as is.

    Args:
        array: the result's pixels.
        mode: the mode `as_array` returned for the input.

    Returns:
        A PIL image of `array`, or `array` itself.

    Examples:
        >>> import numpy as np
        >>> pixels = np.zeros((2, 3), dtype=np.uint8)
        >>> like_input(pixels, "L").size
        (3, 2)
        >>> like_input(pixels, None) is pixels
        True
    """
    if mode is None:
        return array
    from PIL import Image

    return Image.fromarray(np.ascontiguousarray(array))


def _level_counts(levels: object, count: int) -> list[int]:
    if isinstance(levels, str):
        levels = device_levels(levels)
    if isinstance(levels, (int, np.integer)) and not isinstance(levels, bool):
        return [int(levels)] * count
    if not isinstance(levels, Sequence) or isinstance(levels, (bytes, bytearray)):
        raise TypeError(
            "levels must be an int, a sequence of ints or a format name, "
            f"got {type(levels).__name__}"
        )
    values = list(levels)
    for value in values:
        if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
            raise TypeError(f"levels entries must be ints, got {value!r}")
    if len(values) != count:
        raise ValueError(
            f"levels {tuple(int(v) for v in values)} has {len(values)} entries "
            f"but the image has {count} channel(s) to dither"
        )
    return [int(v) for v in values]


def dither_channels(
    image: Any,
    method: str = "floyd_steinberg",
    levels: int | Sequence[int] | str = (32, 64, 32),
    *,
    matrix: Any = None,
    preserve_alpha: bool = True,
    **options: Any,
) -> Any:
    """Dither every channel to its own number of evenly spaced levels.

    Args:
        image: a uint8 array (2-D gray or H x W x C) or a PIL image; PIL in
            gives PIL out.
        method: any method name `tonalis.dither` takes.
        levels: one count per dithered channel (2..256 each), a single count
            for all, or a format name from DEVICE_LEVELS ('rgb565').
        matrix: when set, ordered dither with this matrix (what
            `tonalis.ordered_dither` takes), whatever `method` says.
        preserve_alpha: as in tonalis: the alpha channel of an LA or RGBA
            image is copied unchanged, and `levels` covers the other channels.
            When false, alpha is dithered too and needs a level count.
        options: `serpentine`, `seed`, `strength`, `linear`, passed to tonalis.

    The result equals dithering each plane as a grayscale image with its own
    level count; with equal counts it equals the single tonalis call.

    Raises:
        ValueError: wrong number of level counts, or a `palette` option
            (per-channel levels and a palette exclude each other); tonalis's
            own errors for bad methods, counts or options.
        TypeError: `levels` of the wrong type.

    Returns:
        A new image of the same kind and shape.

    Examples:
        >>> import numpy as np
        >>> rgb = np.full((2, 4, 3), 100, dtype=np.uint8)
        >>> rgb565 = dither_channels(rgb, "fs", (32, 64, 32))
        >>> rgb332 = dither_channels(rgb, "bayer8x8", "rgb332")
        >>> sorted(set(rgb332[..., 2].ravel().tolist()))     # blue: 4 levels
        [85, 170]
    """
    if "palette" in options:
        raise ValueError("per-channel levels and a palette exclude each other; pass one of them")
    array, mode = as_array(image)
    planes = array[:, :, None] if array.ndim == 2 else array
    channels = planes.shape[2]
    alpha = channels - 1 if array.ndim == 3 and preserve_alpha and channels in (2, 4) else None
    dithered = [c for c in range(channels) if c != alpha]
    counts = _level_counts(levels, len(dithered))
    out = planes.copy()
    for channel, count in zip(dithered, counts):
        plane = np.ascontiguousarray(planes[:, :, channel])
        if matrix is not None:
            result = tonalis.ordered_dither(plane, matrix, levels=count, **options)
        else:
            result = tonalis.dither(plane, method, levels=count, **options)
        out[:, :, channel] = result
    return like_input(out.reshape(array.shape), mode)
