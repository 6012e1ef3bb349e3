"""Getting an image ready for a printer: its paper under transparency, its width in dots.

A receipt printer prints 384 or 576 dots a line and has no transparency: a
logo with an alpha channel prints on white paper, and an image wider than
the head is cut off at its edge. `flatten` lays an image over the paper's
colour and `fit_width` scales it to the printer's dots, both before
dithering. Scaling works in linear light, so that fine black-and-white
detail (text, hatching) keeps its average brightness instead of darkening.
"""

from __future__ import annotations

from typing import Any, Literal

import numpy as np
import numpy.typing as npt

from ..palettes.presets import parse_palette
from .channels import as_array, like_input

__all__ = ["FITS", "fit_width", "flatten"]

#: The most pixels 'fill' enlarges an image to.
MAX_PIXELS = 1 << 28

Fit = Literal["shrink", "fill", "refuse"]

#: How `fit_width` treats an image: shrink wider ones, fill the width
#: (wider shrunk, narrower enlarged), or refuse wider ones.
FITS: tuple[str, ...] = ("shrink", "fill", "refuse")


def _background(colour: object) -> npt.NDArray[np.float64]:
    if not isinstance(colour, str):
        raise TypeError(f"background must be a colour string, got {type(colour).__name__}")
    colours = parse_palette(colour)
    if len(colours) != 1:
        raise ValueError(f"background must be one colour, got {colour!r}")
    hex_colour = colours[0]
    return np.array([int(hex_colour[i : i + 2], 16) for i in (1, 3, 5)], dtype=np.float64)


def flatten(image: Any, background: str = "white") -> Any:
    """`image` laid over a background colour: its alpha channel gone.

    The colours are mixed as image viewers mix them, by alpha in sRGB. A
    gray image over a gray background stays gray; over a colour it becomes
    RGB. An image without alpha comes back as it is.

    Args:
        image: a uint8 array (H x W gray, or H x W x 1 to 4 channels: the
            second of two and the fourth of four are alpha) or a PIL image
            (a palette image's transparency counts as alpha).
        background: the paper's colour, a hex code or CSS name.

    Returns:
        A new image of the same kind (array or PIL), without alpha; or
        `image` itself when it has none.

    Raises:
        TypeError: `background` is not a str, or the array is not uint8.
        ValueError: `background` is not one colour.

    Examples:
        >>> import numpy as np
        >>> logo = np.array([[[0, 0, 0, 255], [0, 0, 0, 0], [0, 0, 0, 128]]], np.uint8)
        >>> flatten(logo).tolist()
        [[[0, 0, 0], [255, 255, 255], [127, 127, 127]]]
        >>> flatten(np.array([[[0, 0]]], np.uint8), "#ff0000").tolist()
        [[[255, 0, 0]]]
    """
    paper = _background(background)
    if getattr(image, "mode", None) == "PA" or (
        getattr(image, "mode", None) == "P" and "transparency" in image.info
    ):
        image = image.convert("RGBA")
    array, mode = as_array(image)
    channels = 1 if array.ndim == 2 else array.shape[2]
    if channels not in (2, 4):
        return image
    colour = array[..., :-1].astype(np.float64)
    alpha = array[..., -1:].astype(np.float64) / 255.0
    gray_paper = bool(paper[0] == paper[1] == paper[2])
    if channels == 2 and not gray_paper:
        colour = np.repeat(colour, 3, axis=2)
    under = paper[:1] if channels == 2 and gray_paper else paper
    mixed = np.floor(colour * alpha + under * (1.0 - alpha) + 0.5).astype(np.uint8)
    if mixed.shape[2] == 1:
        mixed = mixed[..., 0]
    return like_input(np.ascontiguousarray(mixed), mode)


def _to_linear(codes: npt.NDArray[np.uint8]) -> npt.NDArray[np.float64]:
    # A table made without the platform's pow, so every machine scales alike.
    from ..palettes.gamut import _decode_table

    return np.asarray(_decode_table()[codes], dtype=np.float64)


def _to_codes(linear: npt.NDArray[np.float64]) -> npt.NDArray[np.uint8]:
    # The nearest code in sRGB, found among the codes' midpoints in linear light.
    from ..palettes.gamut import _encode_edges

    value = np.clip(linear, 0.0, 1.0)
    return np.asarray(np.searchsorted(_encode_edges(), value, side="right"), dtype=np.uint8)


def _resize(array: npt.NDArray[np.uint8], width: int, height: int) -> npt.NDArray[np.uint8]:
    """Every channel resized (Lanczos) in linear light; alpha as it is, and
    the colours weighted by it, so that transparent pixels do not bleed."""
    from PIL import Image

    planes = array[:, :, None] if array.ndim == 2 else array
    channels = planes.shape[2]
    has_alpha = channels in (2, 4)
    alpha = planes[..., -1].astype(np.float64) / 255.0 if has_alpha else None

    def scaled(plane: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
        image = Image.fromarray(plane.astype(np.float32), mode="F")
        resized = image.resize((width, height), Image.Resampling.LANCZOS)
        return np.asarray(resized, dtype=np.float64)

    new_alpha = np.clip(scaled(alpha), 0.0, 1.0) if alpha is not None else None
    out = []
    for k in range(channels - (1 if has_alpha else 0)):
        linear = _to_linear(planes[..., k])
        if alpha is not None and new_alpha is not None:
            weighted = scaled(linear * alpha)
            linear = np.where(new_alpha > 0, weighted / np.maximum(new_alpha, 1e-12), 0.0)
        else:
            linear = scaled(linear)
        out.append(_to_codes(linear))
    if new_alpha is not None:
        out.append(np.asarray(np.floor(new_alpha * 255.0 + 0.5), dtype=np.uint8))
    result = np.stack(out, axis=2)
    return result[..., 0] if array.ndim == 2 else result


def fit_width(image: Any, width: int, *, fit: Fit = "shrink") -> Any:
    """`image` scaled to a printer's width in dots, keeping its aspect.

    Scaling is in linear light, with a Lanczos filter; the height is rounded
    to whole rows (at least one).

    Args:
        image: a uint8 array (H x W or H x W x C) or a PIL image.
        width: the printer's dots a line (384 on 58 mm paper, 576 on 80 mm).
        fit: 'shrink' scales wider images down and leaves narrower ones;
            'fill' also enlarges narrower ones to the full width; 'refuse'
            raises for a wider image.

    Returns:
        A new image of the same kind (array or PIL), or `image` itself when
        it is left as it is.

    Raises:
        ValueError: `width` is not a positive int, `fit` is not one of
            `FITS`, (with 'refuse') the image is wider than `width`, or
            (with 'fill') it would grow past `MAX_PIXELS`.

    Examples:
        >>> import numpy as np
        >>> stripes = np.tile(np.array([0, 255], np.uint8), (8, 16))   # 8 x 32, 1-dot stripes
        >>> half = fit_width(stripes, 16)
        >>> half.shape, int(half[2, 8])       # half the light: sRGB 188, not 128
        ((4, 16), 188)
        >>> fit_width(stripes, 64) is stripes
        True
        >>> fit_width(stripes, 16, fit="refuse")
        Traceback (most recent call last):
        ...
        ValueError: the image is 32 dots wide, the printer 16; pass fit='shrink' to scale it down
    """
    if isinstance(width, bool) or not isinstance(width, int) or width < 1:
        raise ValueError(f"width must be a positive int (dots a line), got {width!r}")
    if fit not in FITS:
        raise ValueError(f"fit must be one of {', '.join(FITS)}, got {fit!r}")
    array, mode = as_array(image)
    height, current = array.shape[:2]
    if current == width or (current < width and fit != "fill"):
        return image
    if current > width and fit == "refuse":
        raise ValueError(
            f"the image is {current} dots wide, the printer {width}; "
            "pass fit='shrink' to scale it down"
        )
    new_height = max(1, round(height * width / current))
    if width * new_height > MAX_PIXELS and current < width:
        raise ValueError(
            f"enlarging {current} x {height} to {width} dots wide makes "
            f"{width} x {new_height} pixels, more than {MAX_PIXELS}"
        )
    return like_input(_resize(array, width, new_height), mode)
