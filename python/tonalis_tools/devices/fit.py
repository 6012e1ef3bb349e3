"""Fitting an image to a panel's size and orientation before dithering.

A panel shows exactly its width and height in pixels, and a driver given
another size either refuses it or cuts it. `fit_image` scales a picture to
the panel: 'cover' fills it and crops what overflows (centred), 'contain'
shows all of it, letterboxed on a background colour, and 'crop' keeps the
pixels as they are and crops or pads around the centre. A portrait photo
meant for a landscape panel is turned a quarter (and the reverse) when that
fills more of the panel, unless told not to.

Scaling works in linear light, with a Catmull-Rom cubic widened to the
scale when shrinking, and the colours weighted by alpha. Every step is a
sum of products taken in a fixed order and the sRGB curve a table made
with `tonalis_tools._portable_maths`, so the bytes are the same on every
machine; an exact scale of 1 leaves pixels as they are.
"""

from __future__ import annotations

import math
import re
from typing import Any, Literal

import numpy as np
import numpy.typing as npt

from ..names import find_name
from ..palettes.gamut import _decode_table, _encode_edges
from .channels import as_array, like_input
from .printer import MAX_PIXELS, _background

__all__ = ["FIT_MODES", "PANEL_SIZES", "fit_image", "panel_size"]

FitMode = Literal["cover", "contain", "crop"]

#: How `fit_image` meets a size: fill it and crop the overflow, show all of
#: the image letterboxed, or neither scale nor stretch (crop or pad).
FIT_MODES: tuple[str, ...] = ("cover", "contain", "crop")

#: Panel model -> (width, height) in pixels, in the orientation its driver
#: takes (landscape for all of these).
PANEL_SIZES: dict[str, tuple[int, int]] = {
    "spectra6-13.3": (1600, 1200),
    "spectra6-7.3": (800, 480),
    "spectra6-4.0": (600, 400),
    "acep7-7.3": (800, 480),
    "acep7-5.65": (600, 448),
    "acep7-4.01": (640, 400),
    "gray-13.3": (1600, 1200),
    "gray-10.3": (1872, 1404),
    "gray-7.5": (800, 480),
    "gray-6.0": (800, 600),
    "gray-4.2": (400, 300),
    "gray-2.9": (296, 128),
    "gray-2.13": (250, 122),
    "bwr-7.5": (800, 480),
    "bwr-4.2": (400, 300),
}

_SIZE = re.compile(r"\s*(\d+)\s*[xX×]\s*(\d+)\s*")


def panel_size(text: str) -> tuple[int, int]:
    """A size from 'WxH' or a panel model's name (`PANEL_SIZES`).

    Args:
        text: '800x480' or a model such as 'spectra6-13.3' (spelled loosely).

    Returns:
        (width, height).

    Raises:
        TypeError: `text` is not a str.
        ValueError: neither a size nor a known model.

    Examples:
        >>> panel_size("800x480"), panel_size("Spectra6 13.3")
        ((800, 480), (1600, 1200))
        >>> panel_size("0x5")
        Traceback (most recent call last):
        ...
        ValueError: a size must be at least 1 x 1, got '0x5'
    """
    if not isinstance(text, str):
        raise TypeError(f"size must be a str such as '800x480', got {type(text).__name__}")
    match = _SIZE.fullmatch(text)
    if match is None:
        model = find_name(text, PANEL_SIZES, "panel size (or WIDTHxHEIGHT)")
        return PANEL_SIZES[model]
    width, height = int(match[1]), int(match[2])
    if width < 1 or height < 1:
        raise ValueError(f"a size must be at least 1 x 1, got {text!r}")
    return width, height


def _cubic(x: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """The Catmull-Rom kernel: 1 at 0, 0 at every other whole number."""
    d = np.abs(x)
    near = (1.5 * d - 2.5) * d * d + 1.0
    far = ((-0.5 * d + 2.5) * d - 4.0) * d + 2.0
    return np.asarray(np.where(d < 1.0, near, np.where(d < 2.0, far, 0.0)), dtype=np.float64)


def _weights(
    size: int, count: int, start: float, step: float
) -> tuple[npt.NDArray[np.intp], npt.NDArray[np.float64]]:
    """Source indices and weights for `count` output pixels, output pixel i
    covering source pixels start + i·step to start + (i + 1)·step."""
    widen = max(step, 1.0)
    support = 2.0 * widen
    taps = int(math.ceil(support)) * 2 + 1
    centre = start + (np.arange(count, dtype=np.float64) + 0.5) * step
    first = np.floor(centre - support).astype(np.intp)
    index = first[:, None] + np.arange(taps, dtype=np.intp)[None, :]
    weight = _cubic((index.astype(np.float64) + 0.5 - centre[:, None]) / widen)
    weight = np.where((index >= 0) & (index < size), weight, 0.0)
    total = np.zeros(count, dtype=np.float64)
    for k in range(taps):
        total = total + weight[:, k]
    weight = weight / np.where(total == 0.0, 1.0, total)[:, None]
    return np.clip(index, 0, size - 1), weight


def _resample(
    plane: npt.NDArray[np.float64], axis: int, count: int, start: float, step: float
) -> npt.NDArray[np.float64]:
    if step == 1.0 and start == int(start) and count + int(start) <= plane.shape[axis]:
        return np.take(plane, np.arange(int(start), int(start) + count), axis=axis)
    index, weight = _weights(plane.shape[axis], count, start, step)
    shape = [1] * plane.ndim
    shape[axis] = count
    out = np.zeros(plane.shape[:axis] + (count,) + plane.shape[axis + 1 :], dtype=np.float64)
    for k in range(index.shape[1]):
        out = out + np.take(plane, index[:, k], axis=axis) * weight[:, k].reshape(shape)
    return out


def _scale(
    array: npt.NDArray[np.uint8],
    size: tuple[int, int],
    start: tuple[float, float],
    step: tuple[float, float],
) -> npt.NDArray[np.uint8]:
    """`array` (H x W x C) resampled to `size`, in linear light, alpha-weighted."""
    width, height = size
    channels = array.shape[2]
    has_alpha = channels in (2, 4)
    colour = _decode_table()[array[..., : channels - has_alpha]]
    if has_alpha:
        alpha = array[..., -1:].astype(np.float64) / 255.0
        colour = np.concatenate([colour * alpha, alpha], axis=2)
    rows = _resample(colour, 0, height, start[1], step[1])
    scaled = _resample(rows, 1, width, start[0], step[0])
    if has_alpha:
        alpha = np.clip(scaled[..., -1:], 0.0, 1.0)
        safe = np.where(alpha > 0.0, alpha, 1.0)
        colour = np.where(alpha > 0.0, scaled[..., :-1] / safe, 0.0)
    else:
        colour = scaled
    codes = np.searchsorted(_encode_edges(), np.clip(colour, 0.0, 1.0), side="right")
    out = codes.astype(np.uint8)
    if has_alpha:
        out = np.concatenate([out, np.floor(alpha * 255.0 + 0.5).astype(np.uint8)], axis=2)
    return out


def _place(
    array: npt.NDArray[np.uint8], size: tuple[int, int], paper: npt.NDArray[np.float64]
) -> npt.NDArray[np.uint8]:
    """`array` centred on a canvas of `size` in the background colour, cropped
    where it is larger; alpha (if any) opaque around it."""
    width, height = size
    h, w, channels = array.shape
    fill = paper.astype(np.uint8)
    has_alpha = channels in (2, 4)
    colours = channels - has_alpha
    canvas = np.empty((height, width, channels), dtype=np.uint8)
    canvas[..., :colours] = fill[:colours] if colours == 3 else fill[:1]
    if has_alpha:
        canvas[..., -1] = 255
    # Centred; an odd pixel over goes to the right and bottom, under to the left and top.
    top = (height - h) // 2 if height >= h else -((h - height) // 2)
    left = (width - w) // 2 if width >= w else -((w - width) // 2)
    src_top, src_left = max(0, -top), max(0, -left)
    dst_top, dst_left = max(0, top), max(0, left)
    rows, cols = min(h - src_top, height - dst_top), min(w - src_left, width - dst_left)
    canvas[dst_top : dst_top + rows, dst_left : dst_left + cols] = array[
        src_top : src_top + rows, src_left : src_left + cols
    ]
    return canvas


def _filled(w: int, h: int, width: int, height: int, mode: str) -> float:
    """The share of the panel an image of w x h fills (contain), or keeps of
    the image (cover, crop)."""
    if mode == "contain":
        scale = min(width / w, height / h)
        return (w * scale) * (h * scale) / (width * height)
    if mode == "cover":
        scale = max(width / w, height / h)
        return (width * height) / ((w * scale) * (h * scale))
    return (min(w, width) * min(h, height)) / max(w * h, width * height)


def fit_image(
    image: Any,
    size: tuple[int, int] | str,
    *,
    mode: FitMode = "cover",
    rotate: bool = True,
    background: str = "white",
) -> Any:
    """`image` made exactly `size`: scaled in linear light, cropped or letterboxed.

    Args:
        image: a uint8 array (H x W gray or H x W x 1 to 4 channels) or a PIL
            image.
        size: (width, height), 'WxH' or a panel model of `PANEL_SIZES`.
        mode: 'cover' scales to fill the size and crops the overflow around
            the centre; 'contain' scales to fit inside it and pads with
            `background`; 'crop' does not scale, and crops or pads around
            the centre.
        rotate: turn the image a quarter counter-clockwise when that fills
            (contain) or keeps (cover, crop) more, or as much with the image
            then in the panel's orientation: a portrait photo on a landscape
            panel.
        background: the colour around a 'contain' or 'crop' image smaller
            than the size (a gray image on a colour becomes RGB).

    Returns:
        A new image of the same kind (array or PIL), `size` in pixels, with
        alpha if the input had it (opaque where padded).

    Raises:
        TypeError: `size`, `rotate` or `background` of the wrong type.
        ValueError: an unknown mode, a size below 1 x 1 or above
            `MAX_PIXELS`, a background that is not one colour.

    Examples:
        >>> import numpy as np
        >>> wide = np.arange(8, dtype=np.uint8).reshape(2, 4) * 30
        >>> fit_image(wide, (2, 2)).tolist()                    # cover: the middle
        [[30, 60], [150, 180]]
        >>> fit_image(wide, (4, 4), mode="crop", background="black").tolist()
        [[0, 0, 0, 0], [0, 30, 60, 90], [120, 150, 180, 210], [0, 0, 0, 0]]
        >>> fit_image(wide, (2, 4)).shape                       # turned to fit upright
        (4, 2)
    """
    if isinstance(size, str):
        size = panel_size(size)
    if (
        not isinstance(size, tuple)
        or len(size) != 2
        or not all(isinstance(v, int) and not isinstance(v, bool) for v in size)
    ):
        raise TypeError(f"size must be (width, height) or 'WxH', got {size!r}")
    width, height = size
    if width < 1 or height < 1:
        raise ValueError(f"size must be at least 1 x 1, got {width} x {height}")
    if width * height > MAX_PIXELS:
        raise ValueError(f"size {width} x {height} is more than {MAX_PIXELS} pixels")
    if mode not in FIT_MODES:
        raise ValueError(f"mode must be one of {', '.join(FIT_MODES)}, got {mode!r}")
    if not isinstance(rotate, bool):
        raise TypeError(f"rotate must be a bool, got {type(rotate).__name__}")
    paper = _background(background)
    array, pil_mode = as_array(image)
    gray_input = array.ndim == 2
    planes = array[:, :, None] if gray_input else array
    h, w = planes.shape[:2]
    turned, kept = _filled(h, w, width, height, mode), _filled(w, h, width, height, mode)
    crosswise = (w - h) * (width - height) < 0  # portrait on landscape, or the reverse
    if rotate and (turned > kept or (turned == kept and crosswise)):
        planes = np.ascontiguousarray(np.rot90(planes))
        h, w = w, h
    if mode == "cover":
        step = min(w / width, h / height)
        start = ((w - width * step) / 2.0, (h - height * step) / 2.0)
        if step == 1.0:
            # No scaling: whole pixels, as 'crop' takes them.
            start = (float((w - width) // 2), float((h - height) // 2))
        out = _scale(planes, (width, height), start, (step, step))
    else:
        if mode == "contain":
            scale = min(width / w, height / h)
            inner = (
                width if width / w == scale else max(1, min(width, round(w * scale))),
                height if height / h == scale else max(1, min(height, round(h * scale))),
            )
            planes = _scale(planes, inner, (0.0, 0.0), (w / inner[0], h / inner[1]))
        gray_paper = bool(paper[0] == paper[1] == paper[2])
        if planes.shape[2] in (1, 2) and not gray_paper and (planes.shape[:2] != (height, width)):
            planes = np.concatenate(
                [np.repeat(planes[..., :1], 3, axis=2), planes[..., 1:]], axis=2
            )
        out = _place(planes, (width, height), paper)
    if out.shape[2] == 1:
        out = out[..., 0]
    return like_input(np.ascontiguousarray(out), pil_mode)
