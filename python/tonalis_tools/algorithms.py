"""Dither algorithms beyond tonalis's own: pattern dither for any palette,
variable-coefficient error diffusion (Ostromoukhov; Zhou and Fang) and
Riemersma's dither along a Hilbert curve.

- `pattern_dither` mixes, at each pixel, a few candidate palette colours
  whose average approaches the pixel's colour, and picks one of them by a
  threshold matrix. Unlike ordered dither with a palette, which shifts all
  three channels by one threshold, it suits irregular palettes (retro
  consoles, e-paper). Its output at a pixel depends only on that pixel's
  colour and position, so it stands still between animation frames.
- `variable_diffuse` diffuses the error to three neighbours with weights
  that depend on the input level (``"ostromoukhov"``), optionally with a
  threshold modulated by a seeded random share of the step
  (``"zhou_fang"``), on a serpentine scan as the papers use it. Levels per
  channel only: the weights were tuned for tone levels, not palettes.
- `riemersma` quantizes pixels in the order of a Hilbert curve, each
  receiving a weighted share of the last ``history`` errors.
"""

from __future__ import annotations

import numbers
import operator
from typing import TYPE_CHECKING, Any, TypeVar, overload

import numpy as np
import numpy.typing as npt

from . import _engines
from .extras import Palette, _distance_code
from .matrices import named_matrix
from .names import normalize_name

if TYPE_CHECKING:
    from PIL import Image

__all__ = [
    "ALGORITHMS",
    "VARIABLE_METHODS",
    "pattern_dither",
    "riemersma",
    "variable_diffuse",
    "named_matrix",
    "needs_colour",
    "to_colour",
]

#: The variable-coefficient methods, in the engine's numbering.
VARIABLE_METHODS: tuple[str, ...] = ("ostromoukhov", "zhou_fang")
#: The method names these algorithms add to the command line and pipeline.
ALGORITHMS: tuple[str, ...] = ("pattern", "riemersma") + VARIABLE_METHODS + ("dbs",)

_Image = TypeVar("_Image", bound="npt.NDArray[np.uint8] | Image.Image")


def _by_channel_groups(call: Any, image: Any, levels: Any) -> Any:
    """`call(image)`, for arrays of more than four channels quantized to
    levels: the engines walk at most four channel lanes, so the channels go
    through in groups of three (each channel's levels are its own, so the
    groups give what one walk over all of them would) and are put together
    again. Anything else is called as it is."""
    if levels is None or not isinstance(image, np.ndarray) or image.ndim != 3:
        return call(image)
    channels = image.shape[2]
    if channels <= 4:
        return call(image)
    # Groups of three, the rest one by one: a group of two or four would be
    # read as gray or colour with alpha.
    starts = list(range(0, channels - channels % 3, 3))
    groups = [(c, c + 3) for c in starts] + [(c, c + 1) for c in range(len(starts) * 3, channels)]
    parts = [np.asarray(call(np.ascontiguousarray(image[:, :, a:b]))) for a, b in groups]
    return np.concatenate([p.reshape(*image.shape[:2], -1) for p in parts], axis=2)


def needs_colour(image: Any) -> bool:
    """Whether an image is gray (L or LA, or an array of 1 or 2 channels).

    Args:
        image: a PIL image or an array-like.

    Returns:
        True when a palette or per-channel levels need it made RGB first.

    Examples:
        >>> import numpy as np
        >>> needs_colour(np.zeros((2, 2), np.uint8)), needs_colour(np.zeros((2, 2, 3), np.uint8))
        (True, False)
    """
    mode = getattr(image, "mode", None)
    if mode is not None:
        return bool(mode in ("L", "LA"))
    array = np.asarray(image)
    return array.ndim == 2 or (array.ndim == 3 and array.shape[2] in (1, 2))


def to_colour(image: Any) -> Any:
    """A gray image as RGB (LA as RGBA); PIL in gives PIL out.

    Args:
        image: a gray PIL image or array (1 or 2 channels).

    Returns:
        A new image with the gray copied to red, green and blue, alpha kept.

    Examples:
        >>> import numpy as np
        >>> to_colour(np.zeros((2, 2, 2), np.uint8)).shape
        (2, 2, 4)
        >>> to_colour(np.array([[7]], np.uint8)).tolist()
        [[[7, 7, 7]]]
    """
    mode = getattr(image, "mode", None)
    if mode is not None:
        return image.convert("RGBA" if mode == "LA" else "RGB")
    array = np.asarray(image)
    if array.ndim == 2:
        array = array[:, :, None]
    if array.shape[2] == 2:
        return np.dstack([array[:, :, :1]] * 3 + [array[:, :, 1:]])
    return np.dstack([array] * 3)


def _int_option(name: str, value: object, low: int, high: int) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an int, got {type(value).__name__}")
    number = operator.index(value)
    if not low <= number <= high:
        raise ValueError(f"{name} must be in {low}..={high}, got {number}")
    return number


@overload
def pattern_dither(
    image: _Image,
    palette: Palette,
    *,
    matrix: Any = ...,  # type: ignore[overload-overlap, unused-ignore]
    candidates: int = ...,
    strength: float = ...,
    linear: bool = ...,
    preserve_alpha: bool = ...,
    distance: str = ...,
) -> _Image: ...
@overload
def pattern_dither(
    image: npt.ArrayLike,
    palette: Palette,
    *,
    matrix: Any = ...,
    candidates: int = ...,
    strength: float = ...,
    linear: bool = ...,
    preserve_alpha: bool = ...,
    distance: str = ...,
) -> npt.NDArray[np.uint8]: ...
def pattern_dither(
    image: Any,
    palette: Palette,
    *,
    matrix: Any = "bayer8x8",
    candidates: int = 8,
    strength: float = 1.0,
    linear: bool = True,
    preserve_alpha: bool = True,
    distance: str = "rgb",
) -> Any:
    """Pattern dither with any palette.

    At each pixel, candidate k (of `candidates`, 1..=256) is the palette
    colour nearest to the pixel plus `strength` times the error the earlier
    candidates leave (the pixel minus each of them, summed). The candidates,
    ordered by luminance, are indexed by the matrix value at the pixel
    times their count. `matrix` takes what `ordered` takes ('bayer8x8', a
    size, index or threshold arrays) and blue-noise and halftone screen
    names. A gray image is dithered as RGB. `distance` chooses how the
    nearest colour is found (see `tonalis_tools.extras`). The colours are
    mixed in linear light by default (``linear=True``): the eye averages
    light, and mixing codes instead darkens mid-tones.

    Args:
        image: a uint8 array or a PIL image; PIL in gives PIL out.
        palette: the colours, as tonalis takes a palette.
        matrix: the threshold matrix or its name.
        candidates: how many colours each pixel mixes, 1 to 256.
        strength: 0 to 1; 0 takes the nearest colour.
        linear: mix in linear light.
        preserve_alpha: pass the alpha channel through.
        distance: 'rgb', 'luma' or 'oklab'.

    Returns:
        A new image of the same kind, RGB (or RGBA) for a gray input.

    Raises:
        TypeError, ValueError: a bad argument; no palette.

    Examples:
        >>> import numpy as np
        >>> from tonalis_tools import preset
        >>> rgb = np.full((8, 8, 3), (200, 60, 60), dtype=np.uint8)
        >>> out = pattern_dither(rgb, preset("pico8"))
        >>> out.shape, len({tuple(p) for p in out.reshape(-1, 3).tolist()})   # two colours mixed
        ((8, 8, 3), 2)
    """
    count = _int_option("candidates", candidates, 1, 256)
    code = _distance_code(distance)
    if palette is None:
        raise ValueError("palette is required for pattern dither")
    if needs_colour(image):
        image = to_colour(image)
    return _engines.pattern(
        count,
        code,
        image,
        named_matrix(matrix),
        palette=palette,
        strength=strength,
        linear=linear,
        preserve_alpha=preserve_alpha,
    )


def _variable_code(method: object) -> int:
    if not isinstance(method, str):
        raise TypeError(f"method must be a str, got {type(method).__name__}")
    key = normalize_name(method)
    for code, name in enumerate(VARIABLE_METHODS):
        if key == normalize_name(name):
            return code
    raise ValueError(f"unknown method {method!r} (valid: {', '.join(VARIABLE_METHODS)})")


@overload
def variable_diffuse(
    image: _Image,
    method: str = ...,
    *,
    levels: int = ...,
    seed: int = ...,  # type: ignore[overload-overlap, unused-ignore]
    strength: float = ...,
    linear: bool = ...,
    preserve_alpha: bool = ...,
) -> _Image: ...
@overload
def variable_diffuse(
    image: npt.ArrayLike,
    method: str = ...,
    *,
    levels: int = ...,
    seed: int = ...,
    strength: float = ...,
    linear: bool = ...,
    preserve_alpha: bool = ...,
) -> npt.NDArray[np.uint8]: ...
def variable_diffuse(
    image: Any,
    method: str = "ostromoukhov",
    *,
    levels: int = 2,
    seed: int = 0,
    strength: float = 1.0,
    linear: bool = False,
    preserve_alpha: bool = True,
) -> Any:
    """Variable-coefficient error diffusion, serpentine, `levels` per channel.

    ``"ostromoukhov"``: weights by input level from Ostromoukhov's table.
    ``"zhou_fang"``: Zhou and Fang's weights and a threshold raised by a
    random share of the step drawn from the pixel's position and `seed`
    (the same seed gives the same bytes). With more than two levels the
    tables are indexed by where the input lies between its two neighbouring
    levels.

    Args:
        image: a uint8 array or a PIL image; PIL in gives PIL out.
        method: 'ostromoukhov' or 'zhou_fang'.
        levels: levels per channel, 2 to 256.
        seed: for 'zhou_fang', an int.
        strength, linear, preserve_alpha: as for `tonalis.error_diffusion`.

    Returns:
        A new image of the same kind and shape.

    Raises:
        TypeError, ValueError: a bad argument, or an unknown method.

    Examples:
        >>> import numpy as np
        >>> quarter = np.full((16, 16), 64, dtype=np.uint8)
        >>> float((variable_diffuse(quarter) == 255).mean())
        0.2421875
        >>> a = variable_diffuse(quarter, "zhou_fang", seed=1)
        >>> np.array_equal(a, variable_diffuse(quarter, "zhou_fang", seed=1))
        True
    """
    code = _variable_code(method)
    if isinstance(seed, bool) or not isinstance(seed, numbers.Integral):
        raise TypeError(f"seed must be an int, got {type(seed).__name__}")
    return _by_channel_groups(
        lambda part: _engines.variable(
            code,
            part,
            levels=levels,
            seed=seed,
            strength=strength,
            linear=linear,
            preserve_alpha=preserve_alpha,
        ),
        image,
        levels,
    )


@overload
def riemersma(
    image: _Image,
    *,
    levels: int = ...,
    palette: Palette = ...,
    history: int = ...,  # type: ignore[overload-overlap, unused-ignore]
    ratio: float = ...,
    strength: float = ...,
    linear: bool = ...,
    preserve_alpha: bool = ...,
    distance: str = ...,
) -> _Image: ...
@overload
def riemersma(
    image: npt.ArrayLike,
    *,
    levels: int = ...,
    palette: Palette = ...,
    history: int = ...,
    ratio: float = ...,
    strength: float = ...,
    linear: bool = ...,
    preserve_alpha: bool = ...,
    distance: str = ...,
) -> npt.NDArray[np.uint8]: ...
def riemersma(
    image: Any,
    *,
    levels: int = 2,
    palette: Palette = None,
    history: int = 16,
    ratio: float = 1 / 16,
    strength: float = 1.0,
    linear: bool = False,
    preserve_alpha: bool = True,
    distance: str = "rgb",
) -> Any:
    """Riemersma dither: pixels in Hilbert-curve order, each taking the
    weighted sum of the last `history` (1..=256) errors, the latest weighted
    most and the oldest `ratio` (in (0, 1]) times as much; the weights sum
    to 1, so every error is passed on whole. Levels or a palette.

    Args:
        image: a uint8 array or a PIL image; PIL in gives PIL out.
        levels, palette: levels per channel, or a palette (a gray image is
            then dithered as RGB).
        history: how many past errors a pixel takes, 1 to 256.
        ratio: the weight of the oldest error against the latest, in (0, 1].
        strength, linear, preserve_alpha, distance: as for `diffuse`.

    Returns:
        A new image of the same kind.

    Raises:
        TypeError, ValueError: a bad argument.

    Examples:
        >>> import numpy as np
        >>> quarter = np.full((16, 16), 64, dtype=np.uint8)
        >>> float((riemersma(quarter) == 255).mean())
        0.24609375
        >>> riemersma(quarter, palette=["#000", "#888", "#fff"]).shape
        (16, 16, 3)
    """
    count = _int_option("history", history, 1, 256)
    if isinstance(ratio, bool) or not isinstance(ratio, numbers.Real):
        raise TypeError(f"ratio must be a number, got {type(ratio).__name__}")
    if not 0.0 < float(ratio) <= 1.0:
        raise ValueError(f"ratio must be in (0, 1], got {ratio!r}")
    code = _distance_code(distance)
    if palette is not None and needs_colour(image):
        image = to_colour(image)
    return _by_channel_groups(
        lambda part: _engines.riemersma(
            count,
            float(ratio),
            code,
            part,
            levels=levels,
            palette=palette,
            strength=strength,
            linear=linear,
            preserve_alpha=preserve_alpha,
        ),
        image,
        levels if palette is None else None,
    )
