"""Refined dithering for small palettes: error limiting, per-pixel strength
and perceptual colour matching.

`diffuse`, `ordered` and `random` take the arguments of tonalis's
`error_diffusion`, `ordered_dither` and `random_dither` and give their bytes
when every refinement is off. The refinements:

- ``error_limit`` (error diffusion): before a pixel is quantized, its working
  value (its own value plus the error it received) is clamped to
  ``[-error_limit, 255 + error_limit]`` per channel, in code units (linear
  light scaled to 0..255 with ``linear=True``). With a palette that cannot
  reach a colour (no blue in black/white/red), plain diffusion piles the
  error up until far-away colours appear to pay it back (pure blue on
  black/white/red comes out a third white); the clamp bounds what one
  pixel can pass on. ``None`` means no limit. The
  clamp costs a little of the local mean colour; bench/quality.py measures
  the trade per palette.
- ``mask``: per-pixel strength, an H x W array of floats in [0, 1] or of
  uint8 0..255 (255 = 1). Error diffusion: a pixel takes that share of the
  error it receives and passes on that share of its own, so 0 leaves text
  and lines at their nearest colour, untouched by the dither around them.
  Ordered and random dither: the threshold's shift is scaled by it. A
  C-contiguous float32 mask is read in place while the call runs (another
  thread writing to it meanwhile gives a mixture of old and new strengths,
  each still taken as lying in [0, 1]).
- ``distance`` (palettes only): how the nearest colour is chosen.
  ``"rgb"`` is tonalis's squared distance of the working values;
  ``"luma"`` the squared distance in linear light weighted by luminance
  (0.2126, 0.7152, 0.0722); ``"oklab"`` the squared distance in Oklab (the
  palette is converted once, each pixel's working value as it is matched).
  For ``"luma"`` and ``"oklab"`` a working value outside [0, 255] is
  clamped into it for the match only: the error passed on is still the
  unclamped value minus the colour chosen. Cube roots are computed to about
  1e-4 in single precision, the same on every machine.
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, TypeVar, overload

import numpy as np
import numpy.typing as npt

from . import _engines
from .matrices import named_matrix
from .names import normalize_name

if TYPE_CHECKING:
    from PIL import Image

__all__ = ["diffuse", "ordered", "random", "random_dither", "DISTANCES"]

#: The colour distances, in the engine's numbering.
DISTANCES: tuple[str, ...] = ("rgb", "luma", "oklab")

Palette = Sequence[str] | Sequence[Sequence[int]] | npt.NDArray[Any] | None
_Image = TypeVar("_Image", bound="npt.NDArray[np.uint8] | Image.Image")


def _distance_code(distance: object) -> int:
    if not isinstance(distance, str):
        raise TypeError(f"distance must be a str, got {type(distance).__name__}")
    key = normalize_name(distance)
    for code, name in enumerate(DISTANCES):
        if key == name:
            return code
    raise ValueError(f"unknown distance {distance!r} (valid: {', '.join(DISTANCES)})")


def _limit_value(error_limit: object) -> float:
    if error_limit is None:
        return math.inf
    if isinstance(error_limit, bool) or not isinstance(error_limit, numbers.Real):
        raise TypeError(f"error_limit must be a number or None, got {type(error_limit).__name__}")
    value = float(error_limit)
    if not value >= 0.0:
        raise ValueError(f"error_limit must be a number >= 0 or None, got {error_limit!r}")
    return value


def _image_size(image: object) -> tuple[int, int] | None:
    """(height, width) of an image, or None when it is not one (the engine
    then refuses it with tonalis's message)."""
    size = getattr(image, "size", None)
    if hasattr(image, "mode") and isinstance(size, tuple) and len(size) == 2:
        return int(size[1]), int(size[0])
    try:
        shape = np.shape(image)  # type: ignore[call-overload, unused-ignore]
    except Exception:
        return None
    return (int(shape[0]), int(shape[1])) if len(shape) >= 2 else None


def _mask_array(mask: object, image: object) -> npt.NDArray[np.float32] | None:
    """The mask as a C-contiguous float32 array of strengths in [0, 1]: the
    caller's own when it is one already (the engine reads it in place)."""
    if mask is None:
        return None
    try:
        array = np.asarray(mask)
    except Exception as exc:
        raise TypeError(f"mask must be an array, got {type(mask).__name__}") from exc
    strengths: npt.NDArray[np.float32]
    if array.dtype == np.uint8:
        strengths = np.divide(array, np.float32(255.0), dtype=np.float32)
    elif array.dtype.kind == "f":
        strengths = np.ascontiguousarray(array, dtype=np.float32)
        # min and max are NaN when a value is (and scan without temporaries).
        if strengths.size and not (strengths.min() >= 0.0 and strengths.max() <= 1.0):
            raise ValueError("mask must hold values in [0, 1] (NaN is not one)")
    else:
        raise TypeError(f"mask must be float in [0, 1] or uint8, got dtype {array.dtype}")
    size = _image_size(image)
    if array.ndim != 2 or (size is not None and array.shape != size):
        expected = f"{size}" if size is not None else "(height, width)"
        raise ValueError(
            f"mask must have the image's height and width {expected}, got {array.shape}"
        )
    return strengths


@overload
def diffuse(
    image: _Image,
    method: str = ...,
    *,
    levels: int = ...,
    palette: Palette = ...,  # type: ignore[overload-overlap, unused-ignore]
    strength: float = ...,
    serpentine: bool = ...,
    linear: bool = ...,
    preserve_alpha: bool = ...,
    error_limit: float | None = ...,
    mask: npt.ArrayLike | None = ...,
    distance: str = ...,
) -> _Image: ...
@overload
def diffuse(
    image: npt.ArrayLike,
    method: str = ...,
    *,
    levels: int = ...,
    palette: Palette = ...,
    strength: float = ...,
    serpentine: bool = ...,
    linear: bool = ...,
    preserve_alpha: bool = ...,
    error_limit: float | None = ...,
    mask: npt.ArrayLike | None = ...,
    distance: str = ...,
) -> npt.NDArray[np.uint8]: ...
def diffuse(
    image: Any,
    method: str = "floyd_steinberg",
    *,
    levels: int = 2,
    palette: Palette = None,
    strength: float = 1.0,
    serpentine: bool = False,
    linear: bool = False,
    preserve_alpha: bool = True,
    error_limit: float | None = None,
    mask: npt.ArrayLike | None = None,
    distance: str = "rgb",
) -> Any:
    """Error diffusion with an error limit, a per-pixel strength mask and a
    choice of colour distance (see the module's help). With none of them it
    gives `tonalis.error_diffusion`'s bytes; other arguments and errors are
    those of `tonalis.error_diffusion`.

    Args:
        image: a uint8 array (2-D gray or H x W x C) or a PIL image; PIL in
            gives PIL out.
        method: an error-diffusion kernel, as `tonalis.error_diffusion` takes.
        levels, palette, strength, serpentine, linear, preserve_alpha: as for
            `tonalis.error_diffusion`.
        error_limit: the most, in code units, a working value may lie outside
            0..255 before it is quantized; None for no limit.
        mask: per-pixel strength, H x W, floats in [0, 1] or uint8 0..255.
        distance: 'rgb', 'luma' or 'oklab' (with a palette).

    Returns:
        A new image of the same kind and shape.

    Raises:
        TypeError, ValueError: a bad argument (the message names it), a
            mask of another size than the image, or tonalis's own errors.

    Examples:
        >>> import numpy as np
        >>> import tonalis
        >>> blue = np.zeros((8, 8, 3), dtype=np.uint8)
        >>> blue[..., 2] = 255
        >>> bwr = ["#000000", "#ffffff", "#ff0000"]
        >>> white = lambda out: float((out == 255).all(axis=2).mean())
        >>> white(tonalis.error_diffusion(blue, palette=bwr))      # blue paid back in white
        0.328125
        >>> white(diffuse(blue, palette=bwr, error_limit=24))
        0.0
        >>> gray = np.tile(np.linspace(0, 255, 16).astype(np.uint8), (4, 1))
        >>> np.array_equal(diffuse(gray, "atkinson"), tonalis.error_diffusion(gray, "atkinson"))
        True
    """
    limit = _limit_value(error_limit)
    code = _distance_code(distance)
    strengths = _mask_array(mask, image)
    return _engines.diffuse(
        limit,
        strengths,
        code,
        image,
        method,
        levels=levels,
        palette=palette,
        serpentine=serpentine,
        strength=strength,
        linear=linear,
        preserve_alpha=preserve_alpha,
    )


@overload
def ordered(
    image: _Image,
    matrix: Any = ...,
    *,
    levels: int = ...,
    palette: Palette = ...,  # type: ignore[overload-overlap, unused-ignore]
    strength: float = ...,
    linear: bool = ...,
    preserve_alpha: bool = ...,
    mask: npt.ArrayLike | None = ...,
    distance: str = ...,
) -> _Image: ...
@overload
def ordered(
    image: npt.ArrayLike,
    matrix: Any = ...,
    *,
    levels: int = ...,
    palette: Palette = ...,
    strength: float = ...,
    linear: bool = ...,
    preserve_alpha: bool = ...,
    mask: npt.ArrayLike | None = ...,
    distance: str = ...,
) -> npt.NDArray[np.uint8]: ...
def ordered(
    image: Any,
    matrix: Any = None,
    *,
    levels: int = 2,
    palette: Palette = None,
    strength: float = 1.0,
    linear: bool = False,
    preserve_alpha: bool = True,
    mask: npt.ArrayLike | None = None,
    distance: str = "rgb",
) -> Any:
    """Ordered dither with a per-pixel strength mask and a choice of colour
    distance. Without them it gives `tonalis.ordered_dither`'s bytes.

    Args:
        image: a uint8 array or a PIL image; PIL in gives PIL out.
        matrix: what `tonalis.ordered_dither` takes, or a blue-noise or
            halftone screen name ('bluenoise64', 'halftone45').
        levels, palette, strength, linear, preserve_alpha: as for
            `tonalis.ordered_dither`.
        mask: per-pixel strength, H x W, floats in [0, 1] or uint8 0..255.
        distance: 'rgb', 'luma' or 'oklab' (with a palette).

    Returns:
        A new image of the same kind and shape.

    Raises:
        TypeError, ValueError: a bad argument, or tonalis's own errors.

    Examples:
        >>> import numpy as np
        >>> import tonalis
        >>> gray = np.tile(np.linspace(0, 255, 16).astype(np.uint8), (4, 1))
        >>> np.array_equal(ordered(gray, "bayer4x4"), tonalis.ordered_dither(gray, "bayer4x4"))
        True
        >>> left = np.zeros((4, 16), dtype=np.float32)
        >>> left[:, :8] = 1.0                       # the right half at its nearest level
        >>> out = ordered(gray, "bluenoise16", mask=left)
        >>> out[:, 8:].tolist() == tonalis.ordered_dither(gray[:, 8:], strength=0.0).tolist()
        True
    """
    code = _distance_code(distance)
    strengths = _mask_array(mask, image)
    return _engines.ordered(
        strengths,
        code,
        image,
        named_matrix(matrix),
        levels=levels,
        palette=palette,
        strength=strength,
        linear=linear,
        preserve_alpha=preserve_alpha,
    )


@overload
def random(
    image: _Image,
    *,
    levels: int = ...,
    palette: Palette = ...,
    seed: int | None = ...,  # type: ignore[overload-overlap, unused-ignore]
    strength: float = ...,
    linear: bool = ...,
    preserve_alpha: bool = ...,
    mask: npt.ArrayLike | None = ...,
    distance: str = ...,
) -> _Image: ...
@overload
def random(
    image: npt.ArrayLike,
    *,
    levels: int = ...,
    palette: Palette = ...,
    seed: int | None = ...,
    strength: float = ...,
    linear: bool = ...,
    preserve_alpha: bool = ...,
    mask: npt.ArrayLike | None = ...,
    distance: str = ...,
) -> npt.NDArray[np.uint8]: ...
def random(
    image: Any,
    *,
    levels: int = 2,
    palette: Palette = None,
    seed: int | None = None,
    strength: float = 1.0,
    linear: bool = False,
    preserve_alpha: bool = True,
    mask: npt.ArrayLike | None = None,
    distance: str = "rgb",
) -> Any:
    """Random dither with a per-pixel strength mask and a choice of colour
    distance. Without them it gives `tonalis.random_dither`'s bytes for the
    same seed.

    Args:
        image: a uint8 array or a PIL image; PIL in gives PIL out.
        levels, palette, seed, strength, linear, preserve_alpha: as for
            `tonalis.random_dither`.
        mask: per-pixel strength, H x W, floats in [0, 1] or uint8 0..255.
        distance: 'rgb', 'luma' or 'oklab' (with a palette).

    Returns:
        A new image of the same kind and shape.

    Raises:
        TypeError, ValueError: a bad argument, or tonalis's own errors.

    Examples:
        >>> import numpy as np
        >>> import tonalis
        >>> gray = np.tile(np.linspace(0, 255, 16).astype(np.uint8), (4, 1))
        >>> np.array_equal(random(gray, seed=3), tonalis.random_dither(gray, seed=3))
        True
        >>> colour = np.full((2, 2, 3), 90, dtype=np.uint8)
        >>> random(colour, palette=["#000", "#fff", "#f00"], seed=1, distance="oklab").shape
        (2, 2, 3)
    """
    code = _distance_code(distance)
    strengths = _mask_array(mask, image)
    return _engines.random(
        strengths,
        code,
        image,
        levels=levels,
        palette=palette,
        seed=seed,
        strength=strength,
        linear=linear,
        preserve_alpha=preserve_alpha,
    )


#: `random` under a name that does not shadow the standard module's when
#: imported on its own.
random_dither = random
